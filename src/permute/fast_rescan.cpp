#include "fast_rescan.h"

#include "rescan_common.h"
#include "tile_scan.h"

namespace dyadmill {

void rescanCarriedPairs(const ScanInputs& in, const RescanTarget& target, std::uint64_t p, double& carried) {
  const PairScorer& scorer = target.scorer;
  const PairStores& stores = target.stores;
  const Thresholds& thresholds = target.thresholds;
  const BlockWorkingSet& set = target.set;
  TopVector& top_vect_block = target.top_vect_block;
  TileScan tiles(scorer, in.simd, false);
  CarriedScreen screen(in.params, thresholds.maxdf, carried);
  PairTable table;
  std::uint64_t cursor = 0;
  for (std::uint64_t i = 0; i < set.firstSnpEnd(); ++i) {
    for (std::uint64_t t = tiles.firstTile(i); t < tiles.tiles(); ++t) {
      const TileLanes lanes = tiles.lanes(i, t);
      tiles.count(i, t);
      for (std::uint64_t lane = lanes.first; lane < lanes.end; ++lane) {
        const std::uint64_t j = lanes.j_base + lane;
        const std::uint16_t df = stores.degreesoffreedom[i * stores.columns + j];
        if (df == 0) continue;
        const double threshold_KSA = screen.thresholdFor(df);
        tiles.permutedPairTable(i, j, static_cast<unsigned>(lane), stores, table);
        const double statistic = scorer.statistic(i, j, table, threshold_KSA);
        TestStat2DObject* kept =
            matchKeptPair(top_vect_block, cursor, set.block1.first_snp + i, set.block2().first_snp + j);
        if (kept != nullptr) {
          kept->permutValues[p - 1] = keptValue(in.params, statistic, df);
        } else {
          screen.notKept(statistic, df);
        }
      }
    }
  }
  carried = screen.carriedValue();
}

namespace {

// Epistasis likelihood-ratio rescan under maxT: every scored pair that is not
// kept hands its statistic on as the next pair's KSA cut-off, so every pair
// is screened, eight at a time with the counting kernel and with the KSA
// approximation. A pair's exact KSA statistic is computed only when the
// approximation cannot settle its comparison with the cut-off, or when its
// value must be reported or compared exactly later.
class ScreenChain {
 public:
  ScreenChain(const PairScorer& scorer, const PairStores& stores, const FastStatistics& fast)
      : scorer_(scorer), stores_(stores), fast_(fast) {
    cutoff_ = {static_cast<double>(scorer.params().thresholdParam), true, false, 0, 0};
  }

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
      stores_.load(v.i * stores_.columns + v.j, table);
      scorer_.countPermutedCases(v.i, v.j, table);
      v.value = v.ipf ? scorer_.ipf(v.i, v.j, table) : scorer_.ksa(v.i, v.j, table);
      v.exact = true;
    }
    return v.value;
  }

  const PairScorer& scorer_;
  const PairStores& stores_;
  const FastStatistics& fast_;
  Value cutoff_{0.0, true, false, 0, 0};
};

// One permutation's screen chain over the combination, a tile at a time.
class ScreenChainRescan {
 public:
  ScreenChainRescan(const ScanInputs& in, const PairScorer& scorer, const PairStores& stores, FastStatistics& fast)
      : set_(scorer.set()),
        stores_(stores),
        fast_(fast),
        tiles_(scorer, in.simd, false),
        chain_(scorer, stores, fast) {}

  void run(TopVector& top_vect_block, std::uint64_t p) {
    for (std::uint64_t i = 0; i < set_.firstSnpEnd(); ++i) {
      for (std::uint64_t t = tiles_.firstTile(i); t < tiles_.tiles(); ++t) scanTile(i, t, top_vect_block, p);
    }
  }

 private:
  void scanTile(std::uint64_t i, std::uint64_t t, TopVector& top_vect_block, std::uint64_t p);
  double fittedApproximation(std::uint64_t i, std::uint64_t j, unsigned lane, const TileLanes& lanes);

  const BlockWorkingSet& set_;
  const PairStores& stores_;
  FastStatistics& fast_;
  TileScan tiles_;
  ScreenChain chain_;
  PairTable table_;
  double approximations_[kTileLanes] = {};
  bool tile_fitted_ = false;
  std::uint64_t cursor_ = 0;
};

void ScreenChainRescan::scanTile(std::uint64_t i, std::uint64_t t, TopVector& top_vect_block, std::uint64_t p) {
  const TileLanes lanes = tiles_.lanes(i, t);
  tiles_.count(i, t);
  if (tiles_.wholeTiles()) {
    tiles_.formPermutedTables(i, lanes, stores_);
    if (tiles_.reduced()) {
      fast_.screenTile(tiles_.cases(), tiles_.totals(), i, lanes.j_base, approximations_);
    } else {
      fast_.screenTileFull(tiles_.cases(), tiles_.totals(), approximations_);
    }
  }
  tile_fitted_ = false;
  for (std::uint64_t lane = lanes.first; lane < lanes.end; ++lane) {
    const std::uint64_t j = lanes.j_base + lane;
    if (stores_.degreesoffreedom[i * stores_.columns + j] == 0) continue;
    const auto l = static_cast<unsigned>(lane);
    if (!tiles_.wholeTiles()) {
      tiles_.permutedPairTable(i, j, l, stores_, table_);
      approximations_[l] = fast_.screen(table_, i, j);
    }
    auto fitted = [&]() { return fittedApproximation(i, j, l, lanes); };
    TestStat2DObject* kept =
        matchKeptPair(top_vect_block, cursor_, set_.block1.first_snp + i, set_.block2().first_snp + j);
    const double statistic = chain_.score(i, j, approximations_[l], fitted, kept != nullptr);
    if (kept != nullptr) kept->permutValues[p - 1] = statistic;
  }
}

// The approximated fitted statistic of a lane. Whole tiles are fitted at
// the first pair that needs it: fitting eight tables side by side costs
// little more than fitting one.
double ScreenChainRescan::fittedApproximation(std::uint64_t i, std::uint64_t j, unsigned lane, const TileLanes& lanes) {
  if (!tiles_.wholeTiles()) return fast_.ipf(table_, set_, i, j);
  if (!tile_fitted_) tiles_.fitTables(i, lanes);
  tile_fitted_ = true;
  return fast_.ipf(tiles_.cases(), tiles_.totals(), tiles_.fit(), lane);
}

}  // namespace

void rescanScreenChain(const ScanInputs& in, const RescanTarget& target, std::uint64_t p, FastStatistics& fast) {
  fast.prepareBlocks(target.set);
  ScreenChainRescan rescan(in, target.scorer, target.stores, fast);
  rescan.run(target.top_vect_block, p);
}

}  // namespace dyadmill
