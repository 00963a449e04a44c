#include "fwer.h"

#include <algorithm>
#include <functional>

namespace dyadmill {

double fwerNeutral(const RunParameters& params) {
  return params.minP() ? 1.0 : 0.0;
}

std::vector<double> fwerStart(const RunParameters& params) {
  return std::vector<double>(params.permutationParam, fwerNeutral(params));
}

void fwerCombine(const RunParameters& params, const std::vector<double>& share, std::vector<double>& into) {
  const bool minP = params.minP();
  for (std::size_t k = 0; k < into.size() && k < share.size(); ++k) fwerTake(minP, share[k], into[k]);
}

double fwerPValue(const RunParameters& params, const std::vector<double>& extremes, double value) {
  std::uint64_t reached = 0;
  for (const double extreme : extremes) {
    if (params.minP() ? extreme <= value : extreme >= value) ++reached;
  }
  return static_cast<double>(1 + reached) / static_cast<double>(extremes.size() + 1);
}

GenomeWideThreshold genomeWideThreshold(const RunParameters& params, const std::vector<double>& extremes) {
  // j = floor(0.05 (P + 1)) without the rounding of 0.05 in binary.
  const std::uint64_t j = (extremes.size() + 1) / 20;
  if (j == 0) return {};
  std::vector<double> sorted = extremes;
  if (params.minP()) {
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(j - 1), sorted.end());
  } else {
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(j - 1), sorted.end(),
                     std::greater<>());
  }
  return {true, sorted[j - 1]};
}

}  // namespace dyadmill
