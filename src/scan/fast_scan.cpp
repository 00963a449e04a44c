#include "fast_scan.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

#include "approximations.h"
#include "progress.h"
#include "tile_scan.h"

namespace dyadmill {

namespace {

// First SNPs per group: their case and control rows stay in the first-level
// cache while all tiles of the second block pass by.
constexpr std::uint64_t kFirstSnpGroup = 32;

// Smaller groups where a combination has too few first SNPs to give each
// thread several: with small blocks, 32 would leave a thread idle for much
// of each combination. Which pairs are kept does not depend on the groups.
std::uint64_t firstSnpGroup(std::uint64_t first_snps, std::uint64_t threads) {
  constexpr std::uint64_t kGroupsPerThread = 8;
  if (threads <= 1) return kFirstSnpGroup;
  const std::uint64_t share = (first_snps + threads * kGroupsPerThread - 1) / (threads * kGroupsPerThread);
  return std::clamp<std::uint64_t>(share, 1, kFirstSnpGroup);
}

// One thread's scan of groups of first SNPs. The working set, the tile
// layout, the approximations and the stores are shared; the tables, the
// cut-offs (which minP sets per df) and the found pairs are the thread's.
class FastFirstScan {
 public:
  FastFirstScan(const ScanContext& ctx, const PairScorer& scorer, const Thresholds& thresholds, PairStores& stores,
                const TileLayout& layout, const FastStatistics& fast)
      : params_(ctx.params),
        scorer_(scorer),
        set_(scorer.set()),
        thresholds_(thresholds),
        stores_(stores),
        tiles_(scorer, ctx.simd, layout),
        fast_(fast),
        saves_(stores.savesFirstScan()),
        full_df_(ctx.params.epistasis() ? 4 : 8) {}

  // Scores the pairs of first SNPs [i0, i1) into `found`, in any order.
  void scanGroup(std::uint64_t i0, std::uint64_t i1, std::vector<FoundPair>& found);

  // The largest df whose cut-offs this thread has needed (minP).
  std::uint16_t maxdf() const { return thresholds_.maxdf; }

 private:
  void scanWholeTile(std::uint64_t i, const TileLanes& lanes);
  void scoreWholeLane(std::uint64_t i, std::uint64_t j, unsigned lane);
  void scanTileByPair(std::uint64_t i, const TileLanes& lanes);
  double fittedStatistic(const PairTable& table, unsigned lane) const;
  bool passes(std::uint64_t i, std::uint64_t j, const PairTable& table, double& statistic) const;
  void save(const PairTable& table, std::uint16_t df, std::uint64_t i, std::uint64_t j) {
    // Each pair has its own entries, so threads never write the same ones.
    if (saves_) stores_.save(table, df, i * stores_.columns + j);
  }

  const RunParameters& params_;
  const PairScorer& scorer_;
  const BlockWorkingSet& set_;
  Thresholds thresholds_;
  PairStores& stores_;
  TileScan tiles_;
  const FastStatistics& fast_;
  const bool saves_;  // the stores take every pair as the first scan meets it
  const std::uint16_t full_df_;
  std::vector<FoundPair>* found_ = nullptr;
  PairTable table_;
  double approximations_[kTileLanes] = {};
};

void FastFirstScan::scanGroup(std::uint64_t i0, std::uint64_t i1, std::vector<FoundPair>& found) {
  found.clear();
  found_ = &found;
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
      if (statistic > thresholds_.threshold) found_->push_back({i, j, statistic, df});
    } else if (fast_.mayExceed(approximations_[lane], cutoff) && passes(i, j, table(), statistic)) {
      found_->push_back({i, j, statistic, df});
    }
  }
  if (saves_) save(table(), df, i, j);
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
    if (df != 0 && passes(i, j, table_, statistic)) found_->push_back({i, j, statistic, df});
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

// Hands the found pairs of each group to the combination's list in scan
// order, with the progress lines a pair-by-pair scan prints between them.
// Groups may finish in any order; each is kept as soon as every group
// before it is.
class GroupReplay {
 public:
  GroupReplay(ScanContext& ctx, BlockCombination& combo, std::uint64_t groups, std::uint64_t group_size)
      : ctx_(ctx), combo_(combo), group_size_(group_size), pending_(groups), done_(groups, 0) {}

  // Group g has finished with `found`; keeps it and every finished group
  // after it that was waiting. Called by one thread at a time.
  void finish(std::uint64_t g, std::vector<FoundPair>& found) {
    pending_[g].swap(found);
    done_[g] = 1;
    while (next_ < done_.size() && done_[next_] != 0 && !outcome_.stopped()) {
      outcome_ = keepGroup(next_, pending_[next_]);
      std::vector<FoundPair>().swap(pending_[next_]);
      ++next_;
    }
  }

  const Outcome& outcome() const { return outcome_; }

 private:
  Outcome keepGroup(std::uint64_t g, std::vector<FoundPair>& found);

  ScanContext& ctx_;
  BlockCombination& combo_;
  const std::uint64_t group_size_;
  std::vector<std::vector<FoundPair>> pending_;
  std::vector<unsigned char> done_;
  std::uint64_t next_ = 0;
  Outcome outcome_ = Outcome::proceed();
};

Outcome GroupReplay::keepGroup(std::uint64_t g, std::vector<FoundPair>& found) {
  const BlockWorkingSet& set = combo_.set;
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const std::uint64_t half_snp_amount_block = set.firstSnpEnd() / 2;
  const bool permutations = ctx_.params.permutationParam != 0;
  const std::uint64_t i0 = g * group_size_;
  const std::uint64_t i1 = std::min(i0 + group_size_, set.firstSnpEnd());
  std::sort(found.begin(), found.end(),
            [](const FoundPair& x, const FoundPair& y) { return x.i != y.i ? x.i < y.i : x.j < y.j; });
  auto next = found.begin();
  for (std::uint64_t i = i0; i < i1; ++i) {
    if (!permutations && progressStepDue(i, half_snp_amount_block)) {
      reportPairLoopProgress({i, combo_.start_time, b1.snp_amount, set.coincide, ctx_.top_vect.size(),
                              combo_.top_vect_block.size(), set.K, ctx_.blocks.Kend});
    }
    for (; next != found.end() && next->i == i; ++next) {
      if (Outcome o = keepPair(ctx_.params, b1.first_snp + i, b2.first_snp + next->j, next->statistic, next->df,
                               combo_.top_vect_block);
          o.stopped()) {
        return o;
      }
    }
    ctx_.progress.advance(b2.snp_amount - set.firstPartner(i));
  }
  return Outcome::proceed();
}

}  // namespace

Outcome runFastPairLoop(ScanContext& ctx, BlockCombination& combo) {
  const RunParameters& params = ctx.params;
  combo.start_time = std::time(nullptr);
  const std::uint64_t i_end = combo.set.firstSnpEnd();
  const std::uint64_t group_size = firstSnpGroup(i_end, ctx.threads);
  const std::uint64_t groups = (i_end + group_size - 1) / group_size;
  const TileLayout layout(params, combo.set, true);
  FastStatistics fast(params, ctx.store.total_amount, ctx.store.affected_amount, ctx.simd.vectors);
  fast.prepareBlocks(combo.set);

  GroupReplay replay(ctx, combo, groups, group_size);
  std::uint16_t maxdf = combo.thresholds.maxdf;
  // A small combination is scanned by the calling thread alone, outside any
  // parallel region: waking the others would cost more than they save.
  constexpr std::uint64_t kPairsWorthThreads = 16384;
  if (ctx.threads <= 1 || combinationPairs(ctx.blocks, combo.set.K) < kPairsWorthThreads) {
    FastFirstScan scan(ctx, combo.scorer, combo.thresholds, combo.stores, layout, fast);
    std::vector<FoundPair> found;
    for (std::uint64_t g = 0; g < groups && !replay.outcome().stopped(); ++g) {
      const std::uint64_t i0 = g * group_size;
      scan.scanGroup(i0, std::min(i0 + group_size, i_end), found);
      replay.finish(g, found);
    }
    extendThresholds(params, combo.thresholds, std::max(maxdf, scan.maxdf()));
    return replay.outcome();
  }

  std::mutex replay_mutex;
  std::atomic<bool> stop{false};
  std::exception_ptr failure;
#pragma omp parallel num_threads(teamSize(ctx.threads, groups))
  {
    std::optional<FastFirstScan> scan;
    std::vector<FoundPair> found;
    try {
      scan.emplace(ctx, combo.scorer, combo.thresholds, combo.stores, layout, fast);
    } catch (...) {
      const std::lock_guard<std::mutex> lock(replay_mutex);
      if (!failure) failure = std::current_exception();
      stop = true;
    }
    // Groups are handed out in order, so the groups begun always form a
    // prefix of the scan: stopping early never leaves a gap before the point
    // where the list fills up.
#pragma omp for schedule(dynamic, 1)
    for (std::uint64_t g = 0; g < groups; ++g) {
      if (stop.load(std::memory_order_relaxed)) continue;
      try {
        const std::uint64_t i0 = g * group_size;
        scan->scanGroup(i0, std::min(i0 + group_size, i_end), found);
        const std::lock_guard<std::mutex> lock(replay_mutex);
        replay.finish(g, found);
        if (replay.outcome().stopped()) stop = true;
      } catch (...) {
        const std::lock_guard<std::mutex> lock(replay_mutex);
        if (!failure) failure = std::current_exception();
        stop = true;
      }
    }
    if (scan) {
      const std::lock_guard<std::mutex> lock(replay_mutex);
      maxdf = std::max(maxdf, scan->maxdf());
    }
  }
  if (failure) std::rethrow_exception(failure);
  // The rescans size their per-df tables by the largest df the scan met.
  extendThresholds(params, combo.thresholds, maxdf);
  return replay.outcome();
}

}  // namespace dyadmill
