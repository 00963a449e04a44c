#include "fast_scan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fast_statistics.h"
#include "progress.h"

namespace dyadmill {

void TiledRows::Free::operator()(std::uint64_t* p) const {
  std::free(p);
}

TiledRows::TiledRows(const BitMatrix& rows, std::uint64_t snps, unsigned levels) {
  const std::uint64_t words = rows.words();
  tiles_ = (snps + kTileLanes - 1) / kTileLanes;
  tile_words_ = levels * words * kTileLanes;
  // Whole cache lines: a tile row word is one 64-byte vector.
  const std::size_t bytes = std::max<std::size_t>(64, tiles_ * tile_words_ * sizeof(std::uint64_t));
  data_.reset(static_cast<std::uint64_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64)));
  if (!data_) throw std::bad_alloc();
  std::memset(data_.get(), 0, bytes);
  for (std::uint64_t snp = 0; snp < snps; ++snp) {
    std::uint64_t* tile = data_.get() + (snp / kTileLanes) * tile_words_;
    const std::uint64_t lane = snp % kTileLanes;
    for (unsigned r = 0; r < levels; ++r) {
      const std::uint64_t* row = rows.row(snp * levels + r);
      for (std::uint64_t w = 0; w < words; ++w) tile[(r * words + w) * kTileLanes + lane] = row[w];
    }
  }
}

namespace {

struct FoundPair {
  std::uint64_t i;
  std::uint64_t j;
  double statistic;
  std::uint16_t df;
};

// The statistic of a pair that may pass, exactly as the plain scan computes
// it; false when the approximation shows the pair cannot pass.
bool passes(const ScanContext& ctx, const BlockWorkingSet& set, const FastStatistics& fast,
            const Thresholds& thresholds, std::uint64_t i, std::uint64_t j, const PairTable& table, double& statistic) {
  const RunParameters& params = ctx.params;
  const std::uint16_t A = ctx.store.affected_amount;
  const std::uint16_t N = ctx.store.total_amount;
  if (!fast.screens()) {
    statistic = pairIpfStatistic(params, ctx.stat, set, A, N, i, j, table);
    return statistic > thresholds.threshold;
  }
  const double approximation = fast.screen(table, i, j);
  if (!params.epistasis()) {
    if (!fast.mayExceed(approximation, thresholds.threshold)) return false;
    statistic = pairStatistic(params, ctx.stat, set, A, N, i, j, table, thresholds.threshold_KSA);
    return statistic > thresholds.threshold;
  }
  // A screen that stays at or below its cut-off is itself the statistic.
  if (!fast.mayExceed(approximation, thresholds.threshold_KSA) &&
      !fast.mayExceed(approximation, thresholds.threshold)) {
    return false;
  }
  const double ksa = pairKsaStatistic(params, ctx.stat, set, N, i, j, table);
  statistic = ksa > thresholds.threshold_KSA ? pairIpfStatistic(params, ctx.stat, set, A, N, i, j, table) : ksa;
  return statistic > thresholds.threshold;
}

// First SNPs per group: their case and control rows stay in the first-level
// cache while all tiles of the second block pass by.
constexpr std::uint64_t kFirstSnpGroup = 32;

}  // namespace

void LevelColumns::fill(const std::vector<LevelCounts>& counts) {
  const std::size_t padded = (counts.size() + kTileLanes - 1) / kTileLanes * kTileLanes;
  for (unsigned d = 0; d < kLevels; ++d) {
    level[d].assign(padded, 0);
    for (std::size_t j = 0; j < counts.size(); ++j) level[d][j] = counts[j][d];
  }
}

void deriveTile(const std::uint32_t* counted, const LevelCounts& margin1, const LevelColumns& margin2,
                std::uint64_t j_base, std::uint64_t lanes, LaneCells& cells) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    const std::int32_t c11 = static_cast<std::int32_t>(counted[0 * kTileLanes + lane]);
    const std::int32_t c12 = static_cast<std::int32_t>(counted[1 * kTileLanes + lane]);
    const std::int32_t c21 = static_cast<std::int32_t>(counted[2 * kTileLanes + lane]);
    const std::int32_t c22 = static_cast<std::int32_t>(counted[3 * kTileLanes + lane]);
    const std::int32_t c10 = margin1[1] - c11 - c12;
    const std::int32_t c20 = margin1[2] - c21 - c22;
    cells[4][lane] = c11;
    cells[5][lane] = c12;
    cells[7][lane] = c21;
    cells[8][lane] = c22;
    cells[3][lane] = c10;
    cells[6][lane] = c20;
    cells[1][lane] = margin2.level[1][j_base + lane] - c11 - c21;
    cells[2][lane] = margin2.level[2][j_base + lane] - c12 - c22;
    cells[0][lane] = margin2.level[0][j_base + lane] - c10 - c20;
  }
  for (unsigned lane = static_cast<unsigned>(lanes); lane < kTileLanes; ++lane) {
    for (unsigned k = 0; k < kCells; ++k) cells[k][lane] = 0;
  }
}

namespace {

// The table of one lane of a --nomissing tile, as the reduced forms read it
// (no amounts or pair margins).
void laneTable(const LaneCells& cases, const LaneCells& totals, unsigned lane, PairTable& table) {
  for (unsigned k = 0; k < kCells; ++k) {
    table.affected_subjects[k] = static_cast<std::uint16_t>(cases[k][lane]);
    table.total_subjects[k] = static_cast<std::uint16_t>(totals[k][lane]);
  }
  table.affected_subjects_amount = 0;
  table.total_subjects_amount = 0;
}

}  // namespace

void fitTileTables(bool reduced, const LevelCounts& affected1, const LevelCounts& total1, const LevelColumns& affected2,
                   const LevelColumns& total2, std::uint64_t j_base, const LaneCells& cases, const LaneCells& totals,
                   TileFit& fit) {
  std::int32_t a1[kLevels][kTileLanes], t1[kLevels][kTileLanes], a2[kLevels][kTileLanes], t2[kLevels][kTileLanes];
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      if (reduced) {
        a1[c][lane] = affected1[c];
        t1[c][lane] = total1[c];
        a2[c][lane] = affected2.level[c][j_base + lane];
        t2[c][lane] = total2.level[c][j_base + lane];
        continue;
      }
      a1[c][lane] = t1[c][lane] = a2[c][lane] = t2[c][lane] = 0;
      for (unsigned d = 0; d < kLevels; ++d) {
        a1[c][lane] += cases[c * kLevels + d][lane];
        t1[c][lane] += totals[c * kLevels + d][lane];
        a2[c][lane] += cases[d * kLevels + c][lane];
        t2[c][lane] += totals[d * kLevels + c][lane];
      }
    }
  }
  fitTile(totals, a1, t1, a2, t2, fit);
}

Outcome runFastPairLoop(ScanContext& ctx, const BlockWorkingSet& set, Thresholds& thresholds, PairStores& stores,
                        TopVector& top_vect_block, std::time_t& start_time) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const unsigned levels = static_cast<unsigned>(params.rowsPerSnp());
  const std::uint64_t i_end = set.firstSnpEnd();
  const std::uint64_t half_snp_amount_block = i_end / 2;
  const bool permutations = params.permutationParam != 0;
  const unsigned first_level = params.missing() ? 0 : 1;

  const TiledRows tiled_cases(b2.cases, b2.snp_amount, levels);
  const TiledRows tiled_controls(b2.controls, b2.snp_amount, levels);
  FastStatistics fast(params, store.total_amount, store.affected_amount);
  fast.prepareBlocks(set);

  std::uint32_t case_counts[kMaxRowLevels * kMaxRowLevels * kTileLanes];
  std::uint32_t control_counts[kMaxRowLevels * kMaxRowLevels * kTileLanes];
  std::vector<FoundPair> found;
  CountedCells counted;
  PairTable table;

  // Without dropped cells, whole tables of a tile are formed and screened
  // together: by subtraction from the margins (--nomissing, reduced forms)
  // or straight from the counts (--missing).
  const bool reduced = params.reducedForms();
  const bool whole_tiles = params.minCellSize() <= 1;
  LevelColumns case_margins2, total_margins2;
  if (reduced) {
    case_margins2.fill(b2.affecteds_marginal);
    total_margins2.fill(b2.totals_marginal);
  }
  LaneCells tile_cases{}, tile_totals{};
  double approximations[kTileLanes] = {};
  TileFit tile_fit;
  const std::uint16_t full_df = params.epistasis() ? 4 : 8;

  start_time = std::time(nullptr);
  for (std::uint64_t i0 = 0; i0 < i_end; i0 += kFirstSnpGroup) {
    const std::uint64_t i1 = std::min(i0 + kFirstSnpGroup, i_end);
    found.clear();
    for (std::uint64_t t = set.firstPartner(i0) / kTileLanes; t < tiled_cases.tiles(); ++t) {
      const std::uint64_t j_base = t * kTileLanes;
      const std::uint64_t lanes = std::min<std::uint64_t>(kTileLanes, b2.snp_amount - j_base);
      for (std::uint64_t i = i0; i < i1; ++i) {
        const std::uint64_t j_first = set.firstPartner(i);
        if (j_base + lanes <= j_first) continue;
        ctx.kernel(b1.cases.row(i * levels), tiled_cases.tile(t), set.affected_int_amount, levels, case_counts);
        ctx.kernel(b1.controls.row(i * levels), tiled_controls.tile(t), set.unaffected_int_amount, levels,
                   control_counts);
        const std::uint64_t first_lane = j_first > j_base ? j_first - j_base : 0;
        if (whole_tiles) {
          if (reduced) {
            deriveTile(case_counts, b1.affecteds_marginal[i], case_margins2, j_base, lanes, tile_cases);
            for (unsigned x = 0; x < levels * levels; ++x) {
              for (unsigned lane = 0; lane < kTileLanes; ++lane) {
                control_counts[x * kTileLanes + lane] += case_counts[x * kTileLanes + lane];
              }
            }
            deriveTile(control_counts, b1.totals_marginal[i], total_margins2, j_base, lanes, tile_totals);
            if (fast.screens()) fast.screenTile(tile_cases, tile_totals, i, j_base, approximations);
          } else {
            // --missing: all nine cells are counted; padding lanes count 0.
            for (unsigned k = 0; k < kCells; ++k) {
              for (unsigned lane = 0; lane < kTileLanes; ++lane) {
                tile_cases[k][lane] = static_cast<std::int32_t>(case_counts[k * kTileLanes + lane]);
                tile_totals[k][lane] = static_cast<std::int32_t>(case_counts[k * kTileLanes + lane] +
                                                                 control_counts[k * kTileLanes + lane]);
              }
            }
            if (fast.screens()) fast.screenTileFull(tile_cases, tile_totals, approximations);
          }
          // Without a screen every pair gets the fitted statistic: the
          // tile's eight tables are fitted side by side.
          if (!fast.screens()) {
            fitTileTables(reduced, snpMargins(b1.affecteds_marginal, i), snpMargins(b1.totals_marginal, i),
                          case_margins2, total_margins2, j_base, tile_cases, tile_totals, tile_fit);
          }
          for (std::uint64_t lane = first_lane; lane < lanes; ++lane) {
            const std::uint64_t j = j_base + lane;
            const auto l = static_cast<unsigned>(lane);
            bool table_ready = false;
            auto ready = [&]() -> PairTable& {
              if (!table_ready) {
                if (reduced) {
                  laneTable(tile_cases, tile_totals, l, table);
                } else {
                  for (unsigned k = 0; k < kCells; ++k) {
                    counted.cases[k] = static_cast<std::uint16_t>(case_counts[k * kTileLanes + l]);
                    counted.controls[k] = static_cast<std::uint16_t>(control_counts[k * kTileLanes + l]);
                  }
                  completePairTable(params, set, store.affected_amount, store.total_amount, i, j, counted, table);
                }
                table_ready = true;
              }
              return table;
            };
            bool filled = true;
            for (unsigned k = 1; k < kCells; ++k) filled = filled && tile_totals[k][l] != 0;
            filled = filled && (!params.epistasis() || tile_totals[0][l] != 0);
            const std::uint16_t df = filled ? full_df : degreesOfFreedom(params, ready());
            useThresholdsFor(params, df, thresholds);
            if (df != 0) {
              const double cutoff =
                  params.epistasis() ? std::min(thresholds.threshold, thresholds.threshold_KSA) : thresholds.threshold;
              double statistic = 0.0;
              if (!fast.screens()) {
                const PairTable& t = ready();
                double affected_fitted[kCells], unaffected_fitted[kCells];
                for (unsigned k = 0; k < kCells; ++k) {
                  affected_fitted[k] = tile_fit.affected[k][l];
                  unaffected_fitted[k] = tile_fit.unaffected[k][l];
                }
                statistic = ctx.stat.fittedTableStatistic(t.affected_subjects, t.total_subjects, affected_fitted,
                                                          unaffected_fitted, kCells);
                if (statistic > thresholds.threshold) found.push_back({i, j, statistic, df});
              } else if (fast.mayExceed(approximations[l], cutoff) &&
                         passes(ctx, set, fast, thresholds, i, j, ready(), statistic)) {
                found.push_back({i, j, statistic, df});
              }
            }
            if (permutations) savePairForPermutations(ready(), df, i * stores.columns + j, stores);
          }
          continue;
        }
        for (std::uint64_t lane = first_lane; lane < lanes; ++lane) {
          const std::uint64_t j = j_base + lane;
          for (unsigned r1 = 0; r1 < levels; ++r1) {
            for (unsigned r2 = 0; r2 < levels; ++r2) {
              const unsigned k = (r1 + first_level) * kLevels + r2 + first_level;
              const unsigned from = (r1 * levels + r2) * kTileLanes + static_cast<unsigned>(lane);
              counted.cases[k] = static_cast<std::uint16_t>(case_counts[from]);
              counted.controls[k] = static_cast<std::uint16_t>(control_counts[from]);
            }
          }
          completePairTable(params, set, store.affected_amount, store.total_amount, i, j, counted, table);
          const std::uint16_t df = degreesOfFreedom(params, table);
          useThresholdsFor(params, df, thresholds);
          if (df != 0) {
            double statistic = 0.0;
            if (passes(ctx, set, fast, thresholds, i, j, table, statistic)) found.push_back({i, j, statistic, df});
          }
          if (permutations) savePairForPermutations(table, df, i * stores.columns + j, stores);
        }
      }
    }

    // Replay the group in scan order.
    std::sort(found.begin(), found.end(),
              [](const FoundPair& x, const FoundPair& y) { return x.i != y.i ? x.i < y.i : x.j < y.j; });
    auto next = found.begin();
    for (std::uint64_t i = i0; i < i1; ++i) {
      if (!permutations && progressStepDue(i, half_snp_amount_block)) {
        reportPairLoopProgress({i, start_time, b1.snp_amount, set.coincide, ctx.top_vect.size(), top_vect_block.size(),
                                set.K, ctx.blocks.Kend});
      }
      for (; next != found.end() && next->i == i; ++next) {
        if (Outcome o =
                keepPair(params, b1.first_snp + i, b2.first_snp + next->j, next->statistic, next->df, top_vect_block);
            o.stopped()) {
          return o;
        }
      }
      ctx.progress.advance(b2.snp_amount - set.firstPartner(i));
    }
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
