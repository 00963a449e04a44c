#include "scan_types.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "chi_square.h"
#include "console.h"

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

void PairStores::allocate(const RunParameters& params, std::uint64_t subjects, std::uint64_t rows, std::uint64_t cols) {
  *this = PairStores{};
  columns = cols;
  if (params.permutationParam == 0) return;
  console().line("INFO: PERMUTATION MODE: Assigning memory to store subject counts (cases, controls)");
  const std::uint64_t pairs = rows * cols;
  totals_pairs.assign(pairs * kCells, subjects);
  degreesoffreedom.assign(pairs, 0);
  if (!params.reducedForms()) {
    totals_amounts.assign(pairs, subjects);
    if (params.epistasis()) {
      totals_marg1.assign(pairs * kLevels, subjects);
      totals_marg2.assign(pairs * kLevels, subjects);
    }
  }
}

void PairStores::save(const PairTable& table, std::uint16_t df, std::uint64_t pair) {
  totals_pairs.write(pair * kCells, table.total_subjects.data(), kCells);
  degreesoffreedom[pair] = df;
  if (!totals_amounts.empty()) totals_amounts.write(pair, &table.total_subjects_amount, 1);
  if (!totals_marg1.empty()) {
    totals_marg1.write(pair * kLevels, table.total_subjects_marg1.data(), kLevels);
    totals_marg2.write(pair * kLevels, table.total_subjects_marg2.data(), kLevels);
  }
}

void PairStores::load(std::uint64_t pair, PairTable& table) const {
  totals_pairs.read(pair * kCells, kCells, table.total_subjects.data());
  if (!totals_amounts.empty()) table.total_subjects_amount = totals_amounts[pair];
  if (!totals_marg1.empty()) {
    totals_marg1.read(pair * kLevels, kLevels, table.total_subjects_marg1.data());
    totals_marg2.read(pair * kLevels, kLevels, table.total_subjects_marg2.data());
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

}  // namespace dyadmill
