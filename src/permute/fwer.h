// Genome-wide family-wise error rate from permutations (--fwer).
//
// Under permutation k every pair the scan covers is scored, and only the
// extreme is kept: M_k, the largest statistic (maxT), or m_k, the smallest
// raw chi-square p-value at the pair's own degrees of freedom (minP). Pairs
// whose statistic is not a number or whose df is 0 take no part. A pair's
// genome-wide p-value is then the share of permuted data sets (the observed
// one counted in) whose extreme reaches it, which bounds the chance of any
// false positive over the whole scan, not only among the kept pairs.
//
// The extremes start at a neutral value (0 for statistics, 1 for p-values),
// so a share of the scan with no testable pair still yields P finite
// values, and shares combine by taking the extreme again.
#pragma once

#include <cstdint>
#include <vector>

#include "run_parameters.h"

namespace dyadmill {

// The neutral start of every permutation's extreme.
double fwerNeutral(const RunParameters& params);

// P neutral extremes.
std::vector<double> fwerStart(const RunParameters& params);

// Folds `value` (a statistic under maxT, a raw p-value under minP) into the
// extreme; a value that is not a number is ignored.
inline void fwerTake(bool minP, double value, double& extreme) {
  if (minP) {
    if (value < extreme) extreme = value;
  } else if (value > extreme) {
    extreme = value;
  }
}

// Combines another share's extremes into `into` (same length).
void fwerCombine(const RunParameters& params, const std::vector<double>& share, std::vector<double>& into);

// (1 + #{k : M_k >= statistic}) / (P + 1) under maxT, (1 + #{k : m_k <= p})
// / (P + 1) under minP; `value` is the pair's statistic or raw p-value.
double fwerPValue(const RunParameters& params, const std::vector<double>& extremes, double value);

// The genome-wide 5 % threshold: the j-th largest M_k (maxT) or j-th
// smallest m_k (minP), j = floor(0.05 (P + 1)), so that every pair beyond
// it has a genome-wide p-value of at most 0.05. `available` is false when
// j is 0 (too few permutations).
struct GenomeWideThreshold {
  bool available = false;
  double value = 0.0;
};
GenomeWideThreshold genomeWideThreshold(const RunParameters& params, const std::vector<double>& extremes);

}  // namespace dyadmill
