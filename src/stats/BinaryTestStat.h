// Stage stats: the statistics of one two-locus table, its degrees of
// freedom and the chi-square distribution. Uses base only.
//
// Chi-square statistics of one two-locus table of a binary trait.
//
// A table is two arrays of `dimfull` = dim1 x dim2 counts: affected_subjects
// (cases) and total_subjects (cases plus controls), cell k = c * dim2 + d for
// level c of the first SNP and level d of the second. Controls of a cell are
// total - affected. Every operation reads the run's test type on each call:
// testTypeOption != 0 selects the score (Pearson) form, 0 the
// likelihood-ratio form.
//
// The operations allocate nothing; tables have at most 3 x 3 cells.
#pragma once

#include <cstdint>
#include <iterator>
#include <span>
#include <type_traits>

#include "run_parameters.h"
#include "table_shape.h"

namespace dyadmill {

// A read-only view of a table's counts held at 16 or 32 bits: callers keep
// whatever width their store has, and every count reads back as the same
// number (so the same doubles) whichever width held it.
class Counts {
 public:
  Counts() = default;  // no counts: for arguments an operation ignores
  template <typename Range>
  requires std::is_same_v<std::remove_cvref_t<decltype(*std::data(std::declval<const Range&>()))>, std::uint16_t> ||
      std::is_same_v<std::remove_cvref_t<decltype(*std::data(std::declval<const Range&>()))>, std::uint32_t>
      Counts(const Range& range) {  // NOLINT(google-explicit-constructor): spans and arrays convert implicitly
    using Value = std::remove_cvref_t<decltype(*std::data(range))>;
    if constexpr (std::is_same_v<Value, std::uint16_t>) {
      narrow_ = std::data(range);
    } else {
      wide_ = std::data(range);
    }
  }

  SubjectCount operator[](std::size_t k) const { return wide_ != nullptr ? wide_[k] : narrow_[k]; }

 private:
  const std::uint16_t* narrow_ = nullptr;
  const std::uint32_t* wide_ = nullptr;
};

using Fractions = std::span<const double>;

class BinaryTestStat {
 public:
  explicit BinaryTestStat(const RunParameters& params) : params_(&params) {}

  // Association of the joint genotype with the trait, df = cells - 1 (less
  // empty cells). Score (Pearson's chi-square of the 2 x cells table):
  // sum n_k (a_k/n_k - p)^2 / (p (1 - p)) with p = A / N.
  // Likelihood ratio: 2 [N ln N - A ln A - U ln U + sum a ln(a/n) + u ln(u/n)].
  double computeBinary2DAssociationTestStat(Counts affected_subjects, Counts total_subjects,
                                            SubjectCount affected_subjects_amount, SubjectCount total_subjects_amount,
                                            std::uint16_t dimfull) const;

  // The same with the run-wide constant prepared once by the caller:
  // p = A / N (score) or N ln N - A ln A - U ln U (likelihood ratio).
  double computeBinary2DAssociationReducedTestStat(Counts affected_subjects, Counts total_subjects,
                                                   double meansuccesfraction, std::uint16_t dimfull) const;

  // Interaction screen: likelihood-ratio distance of the table from the
  // Kirkwood superposition approximation built from its three two-way
  // margins, rescaled to sum to N.
  double computeBinary2DEpistasisKSATestStat(Counts affected_subjects, Counts total_subjects,
                                             Counts affected_subjects_marg1, Counts affected_subjects_marg2,
                                             Counts total_subjects_marg1, Counts total_subjects_marg2,
                                             SubjectCount affected_subjects_amount, SubjectCount total_subjects_amount,
                                             std::uint16_t dim1, std::uint16_t dim2) const;

  // The same with per-SNP level fractions and the run's case fraction
  // prepared by the caller.
  double computeBinary2DEpistasisKSAreducedTestStat(
      Counts affected_subjects, Counts total_subjects, Fractions affected_fractions_marg1,
      Fractions affected_fractions_marg2, Fractions unaffected_fractions_marg1, Fractions unaffected_fractions_marg2,
      SubjectCount total_subjects_amount, double affected_fraction, double unaffected_fraction, std::uint16_t dim1,
      std::uint16_t dim2) const;

  // Interaction test against the no-three-way-interaction log-linear model,
  // fitted by iterative proportional fitting (at most kIpfMaxIterations
  // sweeps, stopping once a sweep changes the fit by less than
  // kIpfTolerance in summed absolute value). The amounts are accepted for
  // symmetry with the KSA form and not used.
  double computeBinary2DEpistasisIPFTestStat(Counts affected_subjects, Counts total_subjects,
                                             Counts affected_subjects_marg1, Counts affected_subjects_marg2,
                                             Counts total_subjects_marg1, Counts total_subjects_marg2,
                                             SubjectCount affected_subjects_amount, SubjectCount total_subjects_amount,
                                             std::uint16_t dim1, std::uint16_t dim2) const;

  // The IPF statistic's final sum over a table and its fitted case and
  // control tables (the likelihood-ratio or Pearson form by test type).
  double fittedTableStatistic(Counts affected_subjects, Counts total_subjects, const double* affected_fitted,
                              const double* unaffected_fitted, unsigned dimfull) const;

  // N ln N - A ln A - U ln U: the log-likelihood term of the case/control
  // split, formed exactly as the full likelihood-ratio form forms it, so
  // that the reduced form given this constant agrees to the last bit.
  static double caseControlLogLikelihood(SubjectCount total, SubjectCount affected);

  static constexpr int kIpfMaxIterations = 25;
  static constexpr double kIpfTolerance = 0.001;

 private:
  const RunParameters* params_;
};

// The fitted tables of the IPF statistic, exposed so that tests can check
// the fit and its iteration count.
struct IpfFit {
  double affected_fitted[9];
  double unaffected_fitted[9];
  int iterations;  // sweeps performed, 1 .. kIpfMaxIterations
};

IpfFit fitNoThreeWayInteraction(Counts affected_subjects, Counts total_subjects, Counts affected_subjects_marg1,
                                Counts affected_subjects_marg2, Counts total_subjects_marg1,
                                Counts total_subjects_marg2, std::uint16_t dim1, std::uint16_t dim2);

}  // namespace dyadmill
