#include "permutation.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "chi_square.h"
#include "console.h"
#include "fast_scan.h"
#include "fast_statistics.h"
#include "progress.h"

namespace dyadmill {

TraitShuffler::TraitShuffler(std::uint64_t seed, const std::vector<std::uint16_t>& labels) : labels_(labels) {
  std::srand(static_cast<unsigned>(seed));
}

void TraitShuffler::shuffle() {
  for (std::size_t g = 1; g < labels_.size(); ++g) {
    const std::size_t temp2 = static_cast<std::size_t>(std::rand()) % (g + 1);
    std::swap(labels_[g], labels_[temp2]);
  }
}

namespace {

// The KSA screening cut-off met by each pair of a permutation's rescan. It
// is carried from pair to pair: every scored pair that is not a kept pair
// replaces it with its own statistic (maxT) or with the critical value at
// its own p-value (minP), and the last such value of a permutation is
// carried to the same permutation of the next combination. Under minP the
// p-value and the critical values are computed only when something reads
// them, which leaves the results as they would be if computed eagerly.
class CarriedScreen {
 public:
  CarriedScreen(const RunParameters& params, std::uint16_t maxdf, double carried)
      : params_(params), critical_(maxdf + 1u), carried_(carried) {
    threshold_KSA_ = params_.score() ? 0.0 : static_cast<double>(params_.thresholdParam);
  }

  double thresholdFor(std::uint16_t df) {
    if (!params_.epistasis() || params_.score()) return params_.minP() ? 0.0 : threshold_KSA_;
    if (!params_.minP()) return threshold_KSA_;
    Critical& c = critical_[df];
    if (c.generation != generation_) {
      c.value = upperTailCriticalValue(df, carriedValue());
      c.generation = generation_;
    }
    return c.value;
  }

  void notKept(double statistic, std::uint16_t df) {
    if (params_.minP()) {
      pending_statistic_ = statistic;
      pending_df_ = df;
      pending_ = true;
      ++generation_;
      return;
    }
    carried_ = statistic;
    if (params_.epistasis() && !params_.score()) threshold_KSA_ = statistic;
  }

  // maxT: the statistic, minP: the p-value of the latest scored pair that is
  // not kept; the value carried in when there was none.
  double carriedValue() {
    if (pending_) {
      carried_ = upperTailPValue(pending_statistic_, pending_df_);
      pending_ = false;
    }
    return carried_;
  }

 private:
  struct Critical {
    double value = 0.0;
    std::uint64_t generation = 0;
  };

  const RunParameters& params_;
  std::vector<Critical> critical_;
  double carried_;
  double threshold_KSA_ = 0.0;
  bool pending_ = false;
  double pending_statistic_ = 0.0;
  std::uint16_t pending_df_ = 0;
  std::uint64_t generation_ = 1;
};

void rebuildCaseRows(const RunParameters& params, const GenotypeStore& store, const SubjectSubset& cases,
                     SplitBlock& block) {
  const std::uint64_t rows = block.snp_amount * params.rowsPerSnp();
  const std::uint64_t words = store.snp_matrix.words();
  for (std::uint64_t r = 0; r < rows; ++r)
    cases.pack(store.snp_matrix.row(block.first_row + r), words, block.cases.row(r));
}

void relabelBlocks(const RunParameters& params, const GenotypeStore& store, const std::vector<std::uint16_t>& labels,
                   BlockWorkingSet& set) {
  const SubjectSubset cases(labels, 1, true);
  SplitBlock* blocks[2] = {&set.block1, set.coincide ? nullptr : &set.block2()};
  for (SplitBlock* block : blocks) {
    if (block == nullptr) continue;
    rebuildCaseRows(params, store, cases, *block);
    if (params.missing()) continue;
    countCaseMargins(params, store.affected_amount, set.affected_int_amount, *block);
    if (params.epistasis() && !params.score() && params.reducedForms()) computeMarginFractions(*block);
  }
}

// Walks the kept pairs (in scan order) from `cursor` to the pair (gi, gj);
// returns it, or nullptr when it is not a kept pair.
TestStat2DObject* matchKeptPair(TopVector& top_vect_block, std::uint64_t& cursor, std::uint64_t gi, std::uint64_t gj) {
  while (cursor < top_vect_block.size()) {
    TestStat2DObject& entry = top_vect_block[cursor];
    if (entry.i < gi || (entry.i == gi && entry.j < gj)) {
      ++cursor;
    } else if (entry.i == gi && entry.j == gj) {
      ++cursor;
      return &entry;
    } else {
      break;
    }
  }
  return nullptr;
}

void loadSavedTotals(const PairStores& stores, std::uint64_t pair, PairTable& table) {
  std::copy_n(stores.totals_pairs.begin() + pair * kCells, kCells, table.total_subjects.begin());
  if (!stores.totals_amounts.empty()) table.total_subjects_amount = stores.totals_amounts[pair];
  if (!stores.totals_marg1.empty()) {
    table.total_subjects_marg1 = stores.totals_marg1[pair];
    table.total_subjects_marg2 = stores.totals_marg2[pair];
  }
}

double keptValue(const RunParameters& params, double statistic, std::uint16_t df) {
  return params.minP() ? upperTailPValue(statistic, df) : statistic;
}

// Permutation p scored pair by pair with the exact statistics, carrying the
// screening cut-off along the scan.
void rescanEveryPair(ScanContext& ctx, const BlockWorkingSet& set, const Thresholds& thresholds,
                     const PairStores& stores, TopVector& top_vect_block, std::uint64_t p) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const std::uint64_t i_end = set.firstSnpEnd();
  PairTable table;
  CarriedScreen screen(params, thresholds.maxdf, ctx.current_max[p - 1]);
  std::uint64_t cursor = 0;
  for (std::uint64_t i = 0; i < i_end; ++i) {
    for (std::uint64_t j = set.firstPartner(i); j < b2.snp_amount; ++j) {
      const std::uint64_t pair = i * stores.columns + j;
      const std::uint16_t df = stores.degreesoffreedom[pair];
      if (df == 0) continue;
      const double threshold_KSA = screen.thresholdFor(df);
      loadSavedTotals(stores, pair, table);
      countPermutedCaseTable(params, set, store.affected_amount, i, j, table);
      const double current_test_stat =
          pairStatistic(params, ctx.stat, set, store.affected_amount, store.total_amount, i, j, table, threshold_KSA);
      TestStat2DObject* kept = matchKeptPair(top_vect_block, cursor, b1.first_snp + i, b2.first_snp + j);
      if (kept != nullptr) {
        kept->permutValues[p - 1] = keptValue(params, current_test_stat, df);
      } else {
        screen.notKept(current_test_stat, df);
      }
    }
  }
  ctx.current_max[p - 1] = screen.carriedValue();
}

// Without a screen carried from pair to pair (association, or the epistasis
// score test), a pair that is not kept leaves no trace: only the kept pairs
// need scoring under permutation p.
void rescoreKeptPairs(ScanContext& ctx, const BlockWorkingSet& set, const PairStores& stores, TopVector& top_vect_block,
                      std::uint64_t p) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  PairTable table;
  for (TestStat2DObject& kept : top_vect_block) {
    const std::uint64_t i = kept.i - set.block1.first_snp;
    const std::uint64_t j = kept.j - set.block2().first_snp;
    const std::uint64_t pair = i * stores.columns + j;
    loadSavedTotals(stores, pair, table);
    countPermutedCaseTable(params, set, store.affected_amount, i, j, table);
    const double statistic =
        pairStatistic(params, ctx.stat, set, store.affected_amount, store.total_amount, i, j, table, 0.0);
    kept.permutValues[p - 1] = keptValue(params, statistic, kept.DegFreedom);
  }
}

// Epistasis likelihood-ratio rescan under maxT: every scored pair that is not
// kept hands its statistic on as the next pair's KSA cut-off, so every pair
// is screened, eight at a time with the counting kernel and with the KSA
// approximation. A pair's exact KSA statistic is computed only when the
// approximation cannot settle its comparison with the cut-off, or when its
// value must be reported or compared exactly later.
class ScreenChain {
 public:
  ScreenChain(ScanContext& ctx, const BlockWorkingSet& set, const PairStores& stores, const FastStatistics& fast)
      : ctx_(ctx), set_(set), stores_(stores), fast_(fast) {}

  void start() { cutoff_ = {static_cast<double>(ctx_.params.thresholdParam), true, false, 0, 0}; }

  // The pair's statistic for this permutation: exact for a kept pair, for
  // the others possibly an approximation that is made exact when needed.
  // `approximation` is the pair's KSA screen; `fitted()` approximates its
  // fitted statistic, and is called only when that statistic is needed.
  template <typename Fitted>
  double score(std::uint64_t i, std::uint64_t j, double approximation, Fitted&& fitted, bool kept) {
    Value ksa{approximation, false, false, i, j};
    bool above;
    if (cutoff_.exact || !decided(approximation, above)) {
      const double cutoff = exactValue(cutoff_);
      if (!fast_.mayExceed(approximation, cutoff)) {
        above = false;
      } else if (approximation - fast_.tolerance(approximation) > cutoff) {
        above = true;
      } else {
        above = exactValue(ksa) > cutoff;
      }
    }
    Value statistic = above ? Value{fitted(), false, true, i, j} : ksa;
    if (kept) return exactValue(statistic);
    cutoff_ = statistic;
    return statistic.value;
  }

 private:
  struct Value {
    double value;  // exact, or an approximation of pair (i, j)'s KSA or IPF statistic
    bool exact;
    bool ipf;
    std::uint64_t i;
    std::uint64_t j;
  };

  // Settles "KSA > cut-off" from the approximations alone when their
  // tolerances keep them apart.
  bool decided(double approximation, bool& above) const {
    const double tolerance = fast_.tolerance(approximation);
    const double cutoff_tolerance = fast_.tolerance(cutoff_.value);
    if (approximation + tolerance <= cutoff_.value - cutoff_tolerance) {
      above = false;
      return true;
    }
    if (approximation - tolerance > cutoff_.value + cutoff_tolerance) {
      above = true;
      return true;
    }
    return false;
  }

  double exactValue(Value& v) {
    if (!v.exact) {
      PairTable table;
      loadSavedTotals(stores_, v.i * stores_.columns + v.j, table);
      countPermutedCaseTable(ctx_.params, set_, ctx_.store.affected_amount, v.i, v.j, table);
      v.value = v.ipf ? pairIpfStatistic(ctx_.params, ctx_.stat, set_, ctx_.store.affected_amount,
                                         ctx_.store.total_amount, v.i, v.j, table)
                      : pairKsaStatistic(ctx_.params, ctx_.stat, set_, ctx_.store.total_amount, v.i, v.j, table);
      v.exact = true;
    }
    return v.value;
  }

  ScanContext& ctx_;
  const BlockWorkingSet& set_;
  const PairStores& stores_;
  const FastStatistics& fast_;
  Value cutoff_{0.0, true, false, 0, 0};
};

void rescanScreenChain(ScanContext& ctx, const BlockWorkingSet& set, const PairStores& stores,
                       TopVector& top_vect_block, std::uint64_t p, FastStatistics& fast) {
  const RunParameters& params = ctx.params;
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const unsigned levels = static_cast<unsigned>(params.rowsPerSnp());
  const unsigned first_level = params.missing() ? 0 : 1;
  const std::uint64_t i_end = set.firstSnpEnd();
  // Without dropped cells the tables of a tile are formed and screened
  // together; with the cell rule, pair by pair.
  const bool whole_tiles = params.minCellSize() <= 1;
  const bool reduced = params.reducedForms();
  fast.prepareBlocks(set);
  const TiledRows tiled_cases(b2.cases, b2.snp_amount, levels);
  LevelColumns case_margins2, total_margins2;
  if (reduced) {
    case_margins2.fill(b2.affecteds_marginal);
    total_margins2.fill(b2.totals_marginal);
  }
  TileFit tile_fit;
  std::uint32_t counts[kMaxRowLevels * kMaxRowLevels * kTileLanes];
  LaneCells tile_cases{}, tile_totals{};
  double approximations[kTileLanes];
  CountedCells counted;
  PairTable table;
  ScreenChain chain(ctx, set, stores, fast);
  chain.start();
  std::uint64_t cursor = 0;
  for (std::uint64_t i = 0; i < i_end; ++i) {
    const std::uint64_t j_first = set.firstPartner(i);
    for (std::uint64_t t = j_first / kTileLanes; t < tiled_cases.tiles(); ++t) {
      const std::uint64_t j_base = t * kTileLanes;
      const std::uint64_t lanes = std::min<std::uint64_t>(kTileLanes, b2.snp_amount - j_base);
      const std::uint64_t first_lane = j_first > j_base ? j_first - j_base : 0;
      ctx.kernel(b1.cases.row(i * levels), tiled_cases.tile(t), set.affected_int_amount, levels, counts);
      if (whole_tiles) {
        if (reduced) deriveTile(counts, b1.affecteds_marginal[i], case_margins2, j_base, lanes, tile_cases);
        for (unsigned lane = 0; lane < kTileLanes; ++lane) {
          const bool in_use = lane >= first_lane && lane < lanes;
          const std::uint16_t* saved = stores.totals_pairs.data() + (i * stores.columns + j_base + lane) * kCells;
          for (unsigned k = 0; k < kCells; ++k) {
            tile_totals[k][lane] = in_use ? saved[k] : 0;
            if (!in_use)
              tile_cases[k][lane] = 0;
            else if (!reduced)
              tile_cases[k][lane] = static_cast<std::int32_t>(counts[k * kTileLanes + lane]);
          }
        }
        if (reduced) {
          fast.screenTile(tile_cases, tile_totals, i, j_base, approximations);
        } else {
          fast.screenTileFull(tile_cases, tile_totals, approximations);
        }
      }
      // The tile's fits, made at the first pair that needs its fitted
      // statistic: fitting eight tables side by side costs little more
      // than fitting one.
      bool tile_fitted = false;
      auto fitTileOnce = [&]() {
        if (tile_fitted) return;
        fitTileTables(reduced, snpMargins(b1.affecteds_marginal, i), snpMargins(b1.totals_marginal, i), case_margins2,
                      total_margins2, j_base, tile_cases, tile_totals, tile_fit);
        tile_fitted = true;
      };
      for (std::uint64_t lane = first_lane; lane < lanes; ++lane) {
        const std::uint64_t j = j_base + lane;
        const std::uint64_t pair = i * stores.columns + j;
        const std::uint16_t df = stores.degreesoffreedom[pair];
        if (df == 0) continue;
        const auto l = static_cast<unsigned>(lane);
        if (!whole_tiles) {
          for (unsigned r1 = 0; r1 < levels; ++r1) {
            for (unsigned r2 = 0; r2 < levels; ++r2) {
              counted.cases[(r1 + first_level) * kLevels + r2 + first_level] =
                  static_cast<std::uint16_t>(counts[(r1 * levels + r2) * kTileLanes + lane]);
            }
          }
          loadSavedTotals(stores, pair, table);
          completePermutedCaseTable(params, set, ctx.store.affected_amount, i, j, counted, table);
          approximations[l] = fast.screen(table, i, j);
        }
        auto fitted = [&]() {
          if (!whole_tiles) return fast.ipf(table, set, i, j);
          fitTileOnce();
          return fast.ipf(tile_cases, tile_totals, tile_fit, l);
        };
        TestStat2DObject* kept = matchKeptPair(top_vect_block, cursor, b1.first_snp + i, b2.first_snp + j);
        const double statistic = chain.score(i, j, approximations[l], fitted, kept != nullptr);
        if (kept != nullptr) kept->permutValues[p - 1] = statistic;
      }
    }
  }
}

}  // namespace

void runPermutations(ScanContext& ctx, BlockWorkingSet& set, Thresholds& thresholds, const PairStores& stores,
                     TopVector& top_vect_block, std::time_t start_time) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  const std::uint64_t P = params.permutationParam;
  TraitShuffler shuffler(params.randomParam, store.binary_diagnostic_vect);
  const bool fast = ctx.path == ScanPath::Fast;
  const bool screen_chain = params.epistasis() && !params.score();
  FastStatistics approximations(params, store.total_amount, store.affected_amount);

  for (std::uint64_t p = 1; p <= P; ++p) {
    const std::time_t now_perm = std::time(nullptr);
    console().print("INFO PERMUTATION TIME:\n-->Started permutation #%" PRIu64 " out of %" PRIu64
                    " of data block %" PRIu64 " out of %" PRIu64 " on %s",
                    p, P, set.K, ctx.blocks.Kend, std::ctime(&now_perm));
    if (p == 2) reportPermutationEstimate(P, ctx.blocks.Kend - set.K, now_perm, start_time);

    shuffler.shuffle();
    relabelBlocks(params, store, shuffler.labels(), set);
    if (!fast || (screen_chain && params.minP())) {
      rescanEveryPair(ctx, set, thresholds, stores, top_vect_block, p);
    } else if (screen_chain) {
      rescanScreenChain(ctx, set, stores, top_vect_block, p, approximations);
    } else {
      rescoreKeptPairs(ctx, set, stores, top_vect_block, p);
    }
    ctx.progress.advance(combinationPairs(ctx.blocks, set.K));
  }
}

}  // namespace dyadmill
