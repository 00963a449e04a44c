// Cheap approximations of the statistics, used to decide which pairs need
// the exact statistic at all.
//
// The exact statistics take one or two logarithms per cell. Rewritten with
// x ln x terms, every logarithm of a count comes from a table, and the
// per-SNP parts of the KSA screen are computed once per SNP:
//
//   likelihood-ratio association / 2 = C + sum_k [a ln a + u ln u - n ln n]
//   KSA / 2 = sum_k [a ln a + u ln u - n ln n] - K1(SNP 1) - K2(SNP 2)
//             + A ln(A/N) + U ln(U/N) + N ln(eta / N)
//
// with K = sum over levels of a ln(case share) + u ln(control share) and eta
// the summed KSA predictions (one logarithm per pair). The sums run in
// another order than the formulas', so the values differ from the exact
// ones by rounding; tolerance() bounds that difference generously. A pair
// whose approximation lies within the tolerance of a cut-off, or above it,
// gets the exact statistic, so every decision and every reported value is
// the exact statistic's.
#pragma once

#include <cstdint>
#include <vector>

#include "block_working_set.h"
#include "pair_table.h"
#include "run_parameters.h"

namespace dyadmill {

class FastStatistics {
 public:
  FastStatistics(const RunParameters& params, std::uint16_t total_amount, std::uint16_t affected_amount);

  // Whether the run's statistic has an approximation (the epistasis score
  // statistic, a fitted model for every pair, has none).
  bool screens() const { return screens_; }

  // Per-SNP parts of the reduced KSA screen for the blocks' current case
  // margins and shares; call again whenever they change.
  void prepareBlocks(const BlockWorkingSet& set);

  // Approximates the value first compared with a cut-off: the association
  // statistic, or the KSA screen under epistasis with the likelihood ratio.
  double screen(const PairTable& table, std::uint64_t i, std::uint64_t j) const;

  // Largest difference to expect between screen() and the exact value.
  double tolerance(double value) const;

  // True when the exact value may exceed `cutoff`.
  bool mayExceed(double approximation, double cutoff) const {
    return !(approximation + tolerance(approximation) <= cutoff);
  }

 private:
  struct SnpTerms {
    double k = 0.0;       // sum over levels of a ln(case share) + u ln(control share)
    double cases[3] = {};     // case share of each level (block 2: divided by the run's case share)
    double controls[3] = {};  // control share of each level (block 2: divided by the control share)
  };

  double cellTerms(const PairTable& t) const;
  double association(const PairTable& t) const;
  double reducedKsa(const PairTable& t, std::uint64_t i, std::uint64_t j) const;
  double fullKsa(const PairTable& t) const;
  void snpTerms(const SplitBlock& block, bool second, std::vector<SnpTerms>& terms) const;

  const RunParameters& params_;
  bool screens_;
  std::uint16_t total_;
  std::uint16_t affected_;
  double scale_;               // magnitude of the largest x ln x term
  double split_term_;          // N ln N - A ln A - U ln U
  double case_share_;          // A / N
  double control_share_;       // 1 - A / N
  double ksa_constant_;        // A ln(A/N) + U ln(U/N)
  std::vector<double> xlnx_;   // x ln x for x = 0 .. N
  std::vector<double> inverse_;  // 1 / x for x = 1 .. N
  std::vector<SnpTerms> first_;
  std::vector<SnpTerms> second_;
};

}  // namespace dyadmill
