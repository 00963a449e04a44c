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

void PairStores::assignEntries(const RunParameters& params, std::uint64_t subjects, std::uint64_t entries) {
  totals_pairs.assign(entries * kCells, subjects);
  degreesoffreedom.assign(entries, 0);
  if (!params.reducedForms()) {
    totals_amounts.assign(entries, subjects);
    if (params.epistasis()) {
      totals_marg1.assign(entries * kLevels, subjects);
      totals_marg2.assign(entries * kLevels, subjects);
    }
  }
}

void PairStores::allocate(const RunParameters& params, std::uint64_t subjects, std::uint64_t rows, std::uint64_t cols) {
  *this = PairStores{};
  columns = cols;
  if (params.permutationParam == 0) return;
  console().line("INFO: PERMUTATION MODE: Assigning memory to store subject counts (cases, controls)");
  assignEntries(params, subjects, rows * cols);
}

void PairStores::defer(const RunParameters& params, std::uint64_t cols) {
  *this = PairStores{};
  columns = cols;
  if (params.permutationParam == 0) return;
  console().line("INFO: PERMUTATION MODE: Assigning memory to store subject counts (cases, controls)");
  deferred_ = true;
}

void PairStores::countEveryPair(const RunParameters& params, std::uint64_t subjects, const PairScorer& scorer) {
  const BlockWorkingSet& set = scorer.set();
  deferred_ = false;
  recount_ = nullptr;
  kept_positions_.clear();
  assignEntries(params, subjects, set.block1.snp_amount * columns);
  PairTable table;
  for (std::uint64_t i = 0; i < set.firstSnpEnd(); ++i) {
    for (std::uint64_t j = set.firstPartner(i); j < set.block2().snp_amount; ++j) {
      scorer.count(i, j, table);
      save(table, scorer.degreesOfFreedom(table), i * columns + j);
    }
  }
}

void PairStores::countKeptPairs(const RunParameters& params, std::uint64_t subjects, const PairScorer& scorer,
                                const TopVector& top_vect_block) {
  const BlockWorkingSet& set = scorer.set();
  deferred_ = false;
  recount_ = &scorer;
  kept_positions_.clear();
  kept_positions_.reserve(top_vect_block.size());
  assignEntries(params, subjects, top_vect_block.size());
  PairTable table;
  for (const TestStat2DObject& kept : top_vect_block) {
    const std::uint64_t i = kept.i - set.block1.first_snp;
    const std::uint64_t j = kept.j - set.block2().first_snp;
    scorer.count(i, j, table);
    saveEntry(table, scorer.degreesOfFreedom(table), kept_positions_.size());
    kept_positions_.push_back(i * columns + j);
  }
}

void PairStores::saveEntry(const PairTable& table, std::uint16_t df, std::uint64_t entry) {
  totals_pairs.write(entry * kCells, table.total_subjects.data(), kCells);
  degreesoffreedom[entry] = df;
  if (!totals_amounts.empty()) totals_amounts.write(entry, &table.total_subjects_amount, 1);
  if (!totals_marg1.empty()) {
    totals_marg1.write(entry * kLevels, table.total_subjects_marg1.data(), kLevels);
    totals_marg2.write(entry * kLevels, table.total_subjects_marg2.data(), kLevels);
  }
}

void PairStores::save(const PairTable& table, std::uint16_t df, std::uint64_t pair) {
  saveEntry(table, df, pair);
}

std::uint64_t PairStores::keptEntry(std::uint64_t position) const {
  const auto found = std::lower_bound(kept_positions_.begin(), kept_positions_.end(), position);
  if (found == kept_positions_.end() || *found != position) return ~std::uint64_t{0};
  return static_cast<std::uint64_t>(found - kept_positions_.begin());
}

bool PairStores::isPair(std::uint64_t position) const {
  const BlockWorkingSet& set = recount_->set();
  const std::uint64_t i = position / columns;
  const std::uint64_t j = position % columns;
  return i < set.firstSnpEnd() && j >= set.firstPartner(i) && j < set.block2().snp_amount;
}

std::uint16_t PairStores::df(std::uint64_t position) const {
  if (everyPair()) return degreesoffreedom[position];
  if (const std::uint64_t entry = keptEntry(position); entry != ~std::uint64_t{0}) return degreesoffreedom[entry];
  if (!isPair(position)) return 0;
  PairTable table;
  recount_->count(position / columns, position % columns, table);
  return recount_->degreesOfFreedom(table);
}

void PairStores::load(std::uint64_t position, PairTable& table) const {
  std::uint64_t entry = position;
  if (!everyPair()) {
    entry = keptEntry(position);
    if (entry == ~std::uint64_t{0}) {
      recount_->count(position / columns, position % columns, table);
      return;
    }
  }
  totals_pairs.read(entry * kCells, kCells, table.total_subjects.data());
  if (!totals_amounts.empty()) table.total_subjects_amount = totals_amounts[entry];
  if (!totals_marg1.empty()) {
    totals_marg1.read(entry * kLevels, kLevels, table.total_subjects_marg1.data());
    totals_marg2.read(entry * kLevels, kLevels, table.total_subjects_marg2.data());
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
