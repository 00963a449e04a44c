#include "pair_scan.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "chi_square.h"
#include "console.h"
#include "fast_scan.h"
#include "permutation.h"
#include "progress.h"

namespace dyadmill {

void initThresholds(const RunParameters& params, Thresholds& t) {
  t.threshold_by_df.clear();
  t.threshold_by_df_KSA.clear();
  if (!params.minP()) {
    t.threshold = static_cast<double>(params.thresholdParam);
    t.maxdf = 0;
    if (!params.epistasis()) {
      t.threshold_KSA = 0.0;
    } else {
      t.threshold_KSA = params.score() ? static_cast<double>(params.thresholdParam * 0.0f) : t.threshold;
    }
    return;
  }
  t.threshold_by_df.push_back(upperTailCriticalValue(1, static_cast<double>(params.thresholdParam)));
  if (params.epistasis()) {
    t.threshold_by_df_KSA.push_back(params.score() ? 0.0 * t.threshold_by_df[0] : t.threshold_by_df[0]);
  }
  t.threshold = 0.0;
  t.threshold_KSA = 0.0;
  t.maxdf = 1;
}

void extendThresholds(const RunParameters& params, Thresholds& t, std::uint16_t df) {
  if (df <= t.maxdf) return;
  t.threshold_by_df.resize(df, 0.0);
  if (params.epistasis()) t.threshold_by_df_KSA.resize(df, 0.0);
  for (std::uint16_t s = t.maxdf; s < df; ++s) {
    t.threshold_by_df[s] =
        upperTailCriticalValue(static_cast<std::uint16_t>(s + 1), static_cast<double>(params.thresholdParam));
  }
  if (params.epistasis()) {
    if (!params.score()) {
      t.threshold_by_df_KSA = t.threshold_by_df;
    } else {
      for (std::uint16_t s = t.maxdf; s < df; ++s) t.threshold_by_df_KSA[s] = 0.0;
    }
  }
  t.maxdf = df;
}

void useThresholdsFor(const RunParameters& params, std::uint16_t df, Thresholds& thresholds) {
  if (!params.minP()) return;
  extendThresholds(params, thresholds, df);
  if (df == 0) return;
  thresholds.threshold = thresholds.threshold_by_df[df - 1];
  if (params.epistasis()) thresholds.threshold_KSA = thresholds.threshold_by_df_KSA[df - 1];
}

namespace {

void allocateStores(const RunParameters& params, std::uint64_t rows, std::uint64_t columns, PairStores& stores) {
  console().line("INFO: Allocating memory for final results storage");
  stores = PairStores{};
  stores.columns = columns;
  if (params.permutationParam == 0) return;
  console().line("INFO: PERMUTATION MODE: Assigning memory to store subject counts (cases, controls)");
  const std::uint64_t pairs = rows * columns;
  stores.totals_pairs.assign(pairs * kCells, 0);
  stores.degreesoffreedom.assign(pairs, 0);
  if (!params.reducedForms()) {
    stores.totals_amounts.assign(pairs, 0);
    if (params.epistasis()) {
      stores.totals_marg1.assign(pairs, LevelCounts{});
      stores.totals_marg2.assign(pairs, LevelCounts{});
    }
  }
}

}  // namespace

void savePairForPermutations(const PairTable& table, std::uint16_t df, std::uint64_t pair, PairStores& stores) {
  std::copy(table.total_subjects.begin(), table.total_subjects.end(), stores.totals_pairs.begin() + pair * kCells);
  stores.degreesoffreedom[pair] = df;
  if (!stores.totals_amounts.empty()) stores.totals_amounts[pair] = table.total_subjects_amount;
  if (!stores.totals_marg1.empty()) {
    stores.totals_marg1[pair] = table.total_subjects_marg1;
    stores.totals_marg2[pair] = table.total_subjects_marg2;
  }
}

Outcome keepPair(const RunParameters& params, std::uint64_t gi, std::uint64_t gj, double statistic, std::uint16_t df,
                 TopVector& top_vect_block) {
  if (top_vect_block.size() > kMaxKeptPairs) {
    console().print("ERROR: Increase current treshold value (-t) of %f as there are %zd significant pairs already!\n",
                    static_cast<double>(params.thresholdParam), top_vect_block.size());
    return Outcome::stop(kExitLimit);
  }
  TestStat2DObject obj;
  obj.i = gi;
  obj.j = gj;
  obj.DegFreedom = df;
  obj.testStatValue = params.minP() ? upperTailPValue(statistic, df) : statistic;
  obj.permutValues.assign(params.permutationParam, static_cast<double>(params.thresholdParam));
  top_vect_block.push_back(std::move(obj));
  return Outcome::proceed();
}

Outcome runPairLoop(ScanContext& ctx, const BlockWorkingSet& set, Thresholds& thresholds, PairStores& stores,
                    TopVector& top_vect_block, std::time_t& start_time) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const std::uint64_t i_end = set.firstSnpEnd();
  const std::uint64_t half_snp_amount_block = i_end / 2;
  const bool permutations = params.permutationParam != 0;

  start_time = std::time(nullptr);
  PairTable table;
  for (std::uint64_t i = 0; i < i_end; ++i) {
    if (!permutations && progressStepDue(i, half_snp_amount_block)) {
      reportPairLoopProgress({i, start_time, b1.snp_amount, set.coincide, ctx.top_vect.size(), top_vect_block.size(),
                              set.K, ctx.blocks.Kend});
    }
    for (std::uint64_t j = set.firstPartner(i); j < b2.snp_amount; ++j) {
      countPairTable(params, set, store.affected_amount, store.total_amount, i, j, table);
      const std::uint16_t df = degreesOfFreedom(params, table);
      useThresholdsFor(params, df, thresholds);
      if (df != 0) {
        const double current_test_stat = pairStatistic(params, ctx.stat, set, store.affected_amount, store.total_amount,
                                                       i, j, table, thresholds.threshold_KSA);
        if (current_test_stat > thresholds.threshold) {
          if (Outcome o = keepPair(params, b1.first_snp + i, b2.first_snp + j, current_test_stat, df, top_vect_block);
              o.stopped()) {
            return o;
          }
        }
      }
      if (permutations) savePairForPermutations(table, df, i * stores.columns + j, stores);
    }
    ctx.progress.advance(b2.snp_amount - set.firstPartner(i));
  }
  return Outcome::proceed();
}

Outcome scanBlockCombinations(ScanContext& ctx) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
  const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
  ctx.current_max.assign(params.permutationParam, static_cast<double>(params.thresholdParam));

  for (std::uint64_t K = ctx.blocks.Kbegin; K < ctx.blocks.Kend; ++K) {
    BlockWorkingSet set;
    loadBlockCombination(params, store, ctx.blocks, K, cases, controls, set);
    PairStores stores;
    allocateStores(params, set.block1.snp_amount, set.block2().snp_amount, stores);
    Thresholds thresholds;
    initThresholds(params, thresholds);
    console().line("INFO: Looping over SNP pairs and counting number of cases and countrols for each SNP pair");

    TopVector top_vect_block;
    std::time_t start_time = 0;
    const Outcome scanned = ctx.path == ScanPath::Fast
                                ? runFastPairLoop(ctx, set, thresholds, stores, top_vect_block, start_time)
                                : runPairLoop(ctx, set, thresholds, stores, top_vect_block, start_time);
    if (scanned.stopped()) return scanned;
    if (params.permutationParam != 0) {
      runPermutations(ctx, set, thresholds, stores, top_vect_block, start_time);
    }

    ctx.top_vect.insert(ctx.top_vect.end(), std::make_move_iterator(top_vect_block.begin()),
                        std::make_move_iterator(top_vect_block.end()));
    if (ctx.top_vect.size() > kMaxKeptPairs) {
      console().print(
          "ERROR (top_vect): Increase treshold value (-t) of %f as there are %zd significant pairs already!\n",
          static_cast<double>(params.thresholdParam), ctx.top_vect.size());
      console().line("ERROR: Aborting to prevent memory issues!....");
      return Outcome::stop(kExitLimit);
    }
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
