#include "fast_scan.h"

#include <algorithm>
#include <vector>

#include "approximations.h"
#include "progress.h"
#include "tile_scan.h"

namespace dyadmill {

namespace {

// First SNPs per group: their case and control rows stay in the first-level
// cache while all tiles of the second block pass by.
constexpr std::uint64_t kFirstSnpGroup = 32;

class FastFirstScan {
 public:
  FastFirstScan(ScanContext& ctx, const PairScorer& scorer, Thresholds& thresholds, PairStores& stores)
      : ctx_(ctx),
        params_(ctx.params),
        scorer_(scorer),
        set_(scorer.set()),
        thresholds_(thresholds),
        stores_(stores),
        tiles_(scorer, ctx.simd, true),
        fast_(ctx.params, ctx.store.total_amount, ctx.store.affected_amount, ctx.simd.vectors),
        permutations_(ctx.params.permutationParam != 0),
        full_df_(ctx.params.epistasis() ? 4 : 8) {
    fast_.prepareBlocks(set_);
  }

  // Scores the pairs of first SNPs [i0, i1) into the group's found pairs.
  void scanGroup(std::uint64_t i0, std::uint64_t i1);

  // Keeps the group's found pairs in scan order, with the progress lines a
  // pair-by-pair scan prints between them.
  Outcome replayGroup(std::uint64_t i0, std::uint64_t i1, std::time_t start_time, TopVector& top_vect_block);

 private:
  void scanWholeTile(std::uint64_t i, const TileLanes& lanes);
  void scoreWholeLane(std::uint64_t i, std::uint64_t j, unsigned lane);
  void scanTileByPair(std::uint64_t i, const TileLanes& lanes);
  double fittedStatistic(const PairTable& table, unsigned lane) const;
  bool passes(std::uint64_t i, std::uint64_t j, const PairTable& table, double& statistic) const;
  void save(const PairTable& table, std::uint16_t df, std::uint64_t i, std::uint64_t j) {
    if (permutations_) stores_.save(table, df, i * stores_.columns + j);
  }

  ScanContext& ctx_;
  const RunParameters& params_;
  const PairScorer& scorer_;
  const BlockWorkingSet& set_;
  Thresholds& thresholds_;
  PairStores& stores_;
  TileScan tiles_;
  FastStatistics fast_;
  const bool permutations_;
  const std::uint16_t full_df_;
  std::vector<FoundPair> found_;
  PairTable table_;
  double approximations_[kTileLanes] = {};
};

void FastFirstScan::scanGroup(std::uint64_t i0, std::uint64_t i1) {
  found_.clear();
  for (std::uint64_t t = tiles_.firstTile(i0); t < tiles_.tiles(); ++t) {
    for (std::uint64_t i = i0; i < i1; ++i) {
      const TileLanes lanes = tiles_.lanes(i, t);
      if (lanes.first >= lanes.end) continue;
      tiles_.count(i, t);
      if (tiles_.wholeTiles()) {
        scanWholeTile(i, lanes);
      } else {
        scanTileByPair(i, lanes);
      }
    }
  }
}

void FastFirstScan::scanWholeTile(std::uint64_t i, const TileLanes& lanes) {
  tiles_.formTables(i, lanes);
  if (!fast_.screens()) {
    // Without a screen every pair gets the fitted statistic: the tile's
    // eight tables are fitted side by side.
    tiles_.fitTables(i, lanes);
  } else if (tiles_.reduced()) {
    fast_.screenTile(tiles_.cases(), tiles_.totals(), i, lanes.j_base, approximations_);
  } else {
    fast_.screenTileFull(tiles_.cases(), tiles_.totals(), approximations_);
  }
  for (std::uint64_t lane = lanes.first; lane < lanes.end; ++lane) {
    scoreWholeLane(i, lanes.j_base + lane, static_cast<unsigned>(lane));
  }
}

void FastFirstScan::scoreWholeLane(std::uint64_t i, std::uint64_t j, unsigned lane) {
  // The lane's PairTable is unpacked only when something reads it.
  bool table_ready = false;
  auto table = [&]() -> const PairTable& {
    if (!table_ready) tiles_.pairTable(i, j, lane, table_);
    table_ready = true;
    return table_;
  };
  const std::uint16_t df = tiles_.filled(lane) ? full_df_ : scorer_.degreesOfFreedom(table());
  useThresholdsFor(params_, df, thresholds_);
  if (df != 0) {
    const double cutoff =
        params_.epistasis() ? std::min(thresholds_.threshold, thresholds_.threshold_KSA) : thresholds_.threshold;
    double statistic = 0.0;
    if (!fast_.screens()) {
      statistic = fittedStatistic(table(), lane);
      if (statistic > thresholds_.threshold) found_.push_back({i, j, statistic, df});
    } else if (fast_.mayExceed(approximations_[lane], cutoff) && passes(i, j, table(), statistic)) {
      found_.push_back({i, j, statistic, df});
    }
  }
  if (permutations_) save(table(), df, i, j);
}

double FastFirstScan::fittedStatistic(const PairTable& table, unsigned lane) const {
  const TileFit& fit = tiles_.fit();
  double affected_fitted[kCells], unaffected_fitted[kCells];
  for (unsigned k = 0; k < kCells; ++k) {
    affected_fitted[k] = fit.affected[k][lane];
    unaffected_fitted[k] = fit.unaffected[k][lane];
  }
  return scorer_.fitted(table, affected_fitted, unaffected_fitted);
}

void FastFirstScan::scanTileByPair(std::uint64_t i, const TileLanes& lanes) {
  for (std::uint64_t lane = lanes.first; lane < lanes.end; ++lane) {
    const std::uint64_t j = lanes.j_base + lane;
    tiles_.pairTable(i, j, static_cast<unsigned>(lane), table_);
    const std::uint16_t df = scorer_.degreesOfFreedom(table_);
    useThresholdsFor(params_, df, thresholds_);
    double statistic = 0.0;
    if (df != 0 && passes(i, j, table_, statistic)) found_.push_back({i, j, statistic, df});
    save(table_, df, i, j);
  }
}

// The statistic of a pair that may pass, exactly as the reference scan
// computes it; false when the approximation shows the pair cannot pass.
bool FastFirstScan::passes(std::uint64_t i, std::uint64_t j, const PairTable& table, double& statistic) const {
  if (!fast_.screens()) {
    statistic = scorer_.ipf(i, j, table);
    return statistic > thresholds_.threshold;
  }
  const double approximation = fast_.screen(table, i, j);
  if (!params_.epistasis()) {
    if (!fast_.mayExceed(approximation, thresholds_.threshold)) return false;
    statistic = scorer_.statistic(i, j, table, thresholds_.threshold_KSA);
    return statistic > thresholds_.threshold;
  }
  // A screen that stays at or below its cut-off is itself the statistic.
  if (!fast_.mayExceed(approximation, thresholds_.threshold_KSA) &&
      !fast_.mayExceed(approximation, thresholds_.threshold)) {
    return false;
  }
  const double ksa = scorer_.ksa(i, j, table);
  statistic = ksa > thresholds_.threshold_KSA ? scorer_.ipf(i, j, table) : ksa;
  return statistic > thresholds_.threshold;
}

Outcome FastFirstScan::replayGroup(std::uint64_t i0, std::uint64_t i1, std::time_t start_time,
                                   TopVector& top_vect_block) {
  const SplitBlock& b1 = set_.block1;
  const SplitBlock& b2 = set_.block2();
  const std::uint64_t half_snp_amount_block = set_.firstSnpEnd() / 2;
  std::sort(found_.begin(), found_.end(),
            [](const FoundPair& x, const FoundPair& y) { return x.i != y.i ? x.i < y.i : x.j < y.j; });
  auto next = found_.begin();
  for (std::uint64_t i = i0; i < i1; ++i) {
    if (!permutations_ && progressStepDue(i, half_snp_amount_block)) {
      reportPairLoopProgress({i, start_time, b1.snp_amount, set_.coincide, ctx_.top_vect.size(), top_vect_block.size(),
                              set_.K, ctx_.blocks.Kend});
    }
    for (; next != found_.end() && next->i == i; ++next) {
      if (Outcome o =
              keepPair(params_, b1.first_snp + i, b2.first_snp + next->j, next->statistic, next->df, top_vect_block);
          o.stopped()) {
        return o;
      }
    }
    ctx_.progress.advance(b2.snp_amount - set_.firstPartner(i));
  }
  return Outcome::proceed();
}

}  // namespace

Outcome runFastPairLoop(ScanContext& ctx, BlockCombination& combo) {
  FastFirstScan scan(ctx, combo.scorer, combo.thresholds, combo.stores);
  const std::uint64_t i_end = combo.set.firstSnpEnd();
  std::time_t& start_time = combo.start_time;
  TopVector& top_vect_block = combo.top_vect_block;
  start_time = std::time(nullptr);
  for (std::uint64_t i0 = 0; i0 < i_end; i0 += kFirstSnpGroup) {
    const std::uint64_t i1 = std::min(i0 + kFirstSnpGroup, i_end);
    scan.scanGroup(i0, i1);
    if (Outcome o = scan.replayGroup(i0, i1, start_time, top_vect_block); o.stopped()) return o;
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
