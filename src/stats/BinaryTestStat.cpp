#include "BinaryTestStat.h"

#include <type_traits>

#include <cmath>

namespace dyadmill {

namespace {

// Every statistic has a full form (constants derived from the pair's own
// counts) and a reduced form (constants prepared once by the caller). Both
// forms go through the same routine below, so that the same inputs give the
// same bits whichever form the pair loop picks.

double associationScore(Counts affected_subjects, Counts total_subjects, double meansuccesfraction,
                        std::uint16_t dimfull) {
  double test = 0.0;
  for (std::uint16_t k = 0; k < dimfull; ++k) {
    if (total_subjects[k] > 0) {
      const double difference =
          static_cast<double>(affected_subjects[k]) / static_cast<double>(total_subjects[k]) - meansuccesfraction;
      test += static_cast<double>(total_subjects[k]) * difference * difference;
    }
  }
  // Pearson's chi-square of the 2 x cells table: sum n (a/n - p)^2 / (p (1 - p)).
  // A table without cases or without controls (p = 0 or 1) gives 0 / 0, not
  // a number, so it is never kept.
  return test / (meansuccesfraction * (1.0 - meansuccesfraction));
}

// `test` enters already holding N ln N - A ln A - U ln U.
double associationLikelihood(Counts affected_subjects, Counts total_subjects, double test, std::uint16_t dimfull) {
  for (std::uint16_t k = 0; k < dimfull; ++k) {
    const SubjectCount affected = affected_subjects[k];
    const auto unaffected = static_cast<SubjectCount>(total_subjects[k] - affected);
    const double total = static_cast<double>(total_subjects[k]);
    if (affected > 0) {
      test += static_cast<double>(affected) * std::log(static_cast<double>(affected) / total);
    }
    if (unaffected > 0) {
      test += static_cast<double>(unaffected) * std::log(static_cast<double>(unaffected) / total);
    }
  }
  return 2.0 * test;
}

double ksaLikelihood(Counts affected_subjects, Counts total_subjects, const double* affected_fractions_marg1,
                     const double* affected_fractions_marg2, const double* unaffected_fractions_marg1,
                     const double* unaffected_fractions_marg2, SubjectCount total_subjects_amount,
                     double affected_fraction, double unaffected_fraction, std::uint16_t dim1, std::uint16_t dim2) {
  double eta = 0.0;
  double test = 0.0;
  for (std::uint16_t i = 0; i < dim1; ++i) {
    for (std::uint16_t j = 0; j < dim2; ++j) {
      const unsigned k = static_cast<unsigned>(i) * dim2 + j;
      const SubjectCount affected = affected_subjects[k];
      const auto unaffected = static_cast<SubjectCount>(total_subjects[k] - affected);
      const double total = static_cast<double>(total_subjects[k]);
      const double affected_subjects_KSA =
          total * affected_fractions_marg1[i] * affected_fractions_marg2[j] / affected_fraction;
      const double unaffected_subjects_KSA =
          total * unaffected_fractions_marg1[i] * unaffected_fractions_marg2[j] / unaffected_fraction;
      eta += affected_subjects_KSA + unaffected_subjects_KSA;
      if (affected > 0) {
        test += static_cast<double>(affected) * std::log(static_cast<double>(affected) / affected_subjects_KSA);
      }
      if (unaffected > 0) {
        test += static_cast<double>(unaffected) * std::log(static_cast<double>(unaffected) / unaffected_subjects_KSA);
      }
    }
  }
  // The superposition predictions do not sum to N in general; this term
  // rescales them so that they do.
  const double amount = static_cast<double>(total_subjects_amount);
  return 2.0 * (test + amount * std::log(eta / amount));
}

// Level fractions from marginal counts; a level without subjects keeps 0 in
// both, so all of its cells predict nothing.
void levelFractions(Counts affected_marg, Counts total_marg, std::uint16_t dim, double* affected_fractions,
                    double* unaffected_fractions) {
  for (std::uint16_t i = 0; i < dim; ++i) {
    affected_fractions[i] = 0.0;
    unaffected_fractions[i] = 0.0;
    if (total_marg[i] > 0) {
      affected_fractions[i] = static_cast<double>(affected_marg[i]) / static_cast<double>(total_marg[i]);
      unaffected_fractions[i] = 1.0 - affected_fractions[i];
    }
  }
}

// Scales the case (or control) cells cell0, cell0 + stride, ... (count of
// them) so that they sum to `target`; a zero fitted sum zeroes them instead.
template <typename Stride, typename Count>
void scaleToMargin(double* fitted, unsigned cell0, Stride stride, Count count, SubjectCount target) {
  double fitted_marg = 0.0;
  for (unsigned m = 0, k = cell0; m < count; ++m, k += stride) {
    fitted_marg += fitted[k];
  }
  if (fitted_marg > 0.0) {
    const double factor = static_cast<double>(target) / fitted_marg;
    for (unsigned m = 0, k = cell0; m < count; ++m, k += stride) {
      fitted[k] *= factor;
    }
  } else {
    for (unsigned m = 0, k = cell0; m < count; ++m, k += stride) {
      fitted[k] = 0.0;
    }
  }
}

}  // namespace

double BinaryTestStat::caseControlLogLikelihood(SubjectCount total, SubjectCount affected) {
  const auto unaffected = static_cast<SubjectCount>(total - affected);
  const double n = static_cast<double>(total);
  const double a = static_cast<double>(affected);
  const double u = static_cast<double>(unaffected);
  // Deliberately unguarded: no cases or no controls gives 0 ln 0 = NaN, and
  // a NaN statistic never passes a threshold.
  return n * std::log(n) - a * std::log(a) - u * std::log(u);
}

double BinaryTestStat::computeBinary2DAssociationTestStat(Counts affected_subjects, Counts total_subjects,
                                                          SubjectCount affected_subjects_amount,
                                                          SubjectCount total_subjects_amount,
                                                          std::uint16_t dimfull) const {
  if (params_->testTypeOption != 0) {
    const double meansuccesfraction =
        static_cast<double>(affected_subjects_amount) / static_cast<double>(total_subjects_amount);
    return associationScore(affected_subjects, total_subjects, meansuccesfraction, dimfull);
  }
  return associationLikelihood(affected_subjects, total_subjects,
                               caseControlLogLikelihood(total_subjects_amount, affected_subjects_amount), dimfull);
}

double BinaryTestStat::computeBinary2DAssociationReducedTestStat(Counts affected_subjects, Counts total_subjects,
                                                                 double meansuccesfraction,
                                                                 std::uint16_t dimfull) const {
  if (params_->testTypeOption != 0) {
    return associationScore(affected_subjects, total_subjects, meansuccesfraction, dimfull);
  }
  return associationLikelihood(affected_subjects, total_subjects, meansuccesfraction, dimfull);
}

// The KSA screen exists only in likelihood-ratio form (the pair loop calls it
// only under the likelihood test), so the test type does not change it.
double BinaryTestStat::computeBinary2DEpistasisKSATestStat(
    Counts affected_subjects, Counts total_subjects, Counts affected_subjects_marg1, Counts affected_subjects_marg2,
    Counts total_subjects_marg1, Counts total_subjects_marg2, SubjectCount affected_subjects_amount,
    SubjectCount total_subjects_amount, std::uint16_t dim1, std::uint16_t dim2) const {
  double affected_fractions_marg1[3];
  double unaffected_fractions_marg1[3];
  double affected_fractions_marg2[3];
  double unaffected_fractions_marg2[3];
  levelFractions(affected_subjects_marg1, total_subjects_marg1, dim1, affected_fractions_marg1,
                 unaffected_fractions_marg1);
  levelFractions(affected_subjects_marg2, total_subjects_marg2, dim2, affected_fractions_marg2,
                 unaffected_fractions_marg2);
  const double affected_fraction =
      static_cast<double>(affected_subjects_amount) / static_cast<double>(total_subjects_amount);
  const double unaffected_fraction = 1.0 - affected_fraction;
  return ksaLikelihood(affected_subjects, total_subjects, affected_fractions_marg1, affected_fractions_marg2,
                       unaffected_fractions_marg1, unaffected_fractions_marg2, total_subjects_amount, affected_fraction,
                       unaffected_fraction, dim1, dim2);
}

double BinaryTestStat::computeBinary2DEpistasisKSAreducedTestStat(
    Counts affected_subjects, Counts total_subjects, Fractions affected_fractions_marg1,
    Fractions affected_fractions_marg2, Fractions unaffected_fractions_marg1, Fractions unaffected_fractions_marg2,
    SubjectCount total_subjects_amount, double affected_fraction, double unaffected_fraction, std::uint16_t dim1,
    std::uint16_t dim2) const {
  return ksaLikelihood(affected_subjects, total_subjects, affected_fractions_marg1.data(),
                       affected_fractions_marg2.data(), unaffected_fractions_marg1.data(),
                       unaffected_fractions_marg2.data(), total_subjects_amount, affected_fraction, unaffected_fraction,
                       dim1, dim2);
}

// The fit sees the case cells only through the margins passed: the model
// reproduces cell totals and the two SNP x trait margins, nothing else.
namespace {

// `Dim` is unsigned, or a compile-time constant for the 3 x 3 tables of the
// scan, whose loops the compiler then unrolls; the arithmetic is the same.
template <typename Dim>
IpfFit fitTables(Counts total_subjects, Counts affected_subjects_marg1, Counts affected_subjects_marg2,
                 Counts total_subjects_marg1, Counts total_subjects_marg2, Dim rows, Dim cols) {
  const unsigned dimfull = rows * cols;

  SubjectCount unaffected_subjects_marg1[3];
  SubjectCount unaffected_subjects_marg2[3];
  for (unsigned i = 0; i < rows; ++i) {
    unaffected_subjects_marg1[i] = static_cast<SubjectCount>(total_subjects_marg1[i] - affected_subjects_marg1[i]);
  }
  for (unsigned j = 0; j < cols; ++j) {
    unaffected_subjects_marg2[j] = static_cast<SubjectCount>(total_subjects_marg2[j] - affected_subjects_marg2[j]);
  }

  IpfFit fit{};
  double* const affected_fitted = fit.affected_fitted;
  double* const unaffected_fitted = fit.unaffected_fitted;
  double affected_oldfit[9];
  double unaffected_oldfit[9];
  for (unsigned k = 0; k < dimfull; ++k) {
    affected_oldfit[k] = unaffected_oldfit[k] = 1.0;
    affected_fitted[k] = unaffected_fitted[k] = 1.0;
  }

  for (int it = 0; it < BinaryTestStat::kIpfMaxIterations; ++it) {
    fit.iterations = it + 1;

    // SNP 1 x SNP 2 cell totals.
    for (unsigned k = 0; k < dimfull; ++k) {
      const double total_fitted = affected_fitted[k] + unaffected_fitted[k];
      if (total_fitted > 0.0) {
        const double factor = static_cast<double>(total_subjects[k]) / total_fitted;
        affected_fitted[k] *= factor;
        unaffected_fitted[k] *= factor;
      } else {
        affected_fitted[k] = 0.0;
        unaffected_fitted[k] = 0.0;
      }
    }
    // SNP 1 x trait: the cells of row i.
    for (unsigned i = 0; i < rows; ++i) {
      scaleToMargin(affected_fitted, i * cols, 1, cols, affected_subjects_marg1[i]);
      scaleToMargin(unaffected_fitted, i * cols, 1, cols, unaffected_subjects_marg1[i]);
    }
    // SNP 2 x trait: the cells of column j.
    for (unsigned j = 0; j < cols; ++j) {
      scaleToMargin(affected_fitted, j, cols, rows, affected_subjects_marg2[j]);
      scaleToMargin(unaffected_fitted, j, cols, rows, unaffected_subjects_marg2[j]);
    }

    double error = 0.0;
    for (unsigned k = 0; k < dimfull; ++k) {
      error += std::fabs(affected_fitted[k] - affected_oldfit[k]);
      error += std::fabs(unaffected_fitted[k] - unaffected_oldfit[k]);
    }
    if (error < BinaryTestStat::kIpfTolerance) {
      break;
    }
    for (unsigned k = 0; k < dimfull; ++k) {
      affected_oldfit[k] = affected_fitted[k];
      unaffected_oldfit[k] = unaffected_fitted[k];
    }
  }
  return fit;
}

}  // namespace

IpfFit fitNoThreeWayInteraction(Counts /*affected_subjects*/, Counts total_subjects, Counts affected_subjects_marg1,
                                Counts affected_subjects_marg2, Counts total_subjects_marg1,
                                Counts total_subjects_marg2, std::uint16_t dim1, std::uint16_t dim2) {
  if (dim1 == 3 && dim2 == 3) {
    using Three = std::integral_constant<unsigned, 3>;
    return fitTables(total_subjects, affected_subjects_marg1, affected_subjects_marg2, total_subjects_marg1,
                     total_subjects_marg2, Three{}, Three{});
  }
  return fitTables(total_subjects, affected_subjects_marg1, affected_subjects_marg2, total_subjects_marg1,
                   total_subjects_marg2, static_cast<unsigned>(dim1), static_cast<unsigned>(dim2));
}

double BinaryTestStat::computeBinary2DEpistasisIPFTestStat(
    Counts affected_subjects, Counts total_subjects, Counts affected_subjects_marg1, Counts affected_subjects_marg2,
    Counts total_subjects_marg1, Counts total_subjects_marg2, SubjectCount /*affected_subjects_amount*/,
    SubjectCount /*total_subjects_amount*/, std::uint16_t dim1, std::uint16_t dim2) const {
  const IpfFit fit =
      fitNoThreeWayInteraction(affected_subjects, total_subjects, affected_subjects_marg1, affected_subjects_marg2,
                               total_subjects_marg1, total_subjects_marg2, dim1, dim2);
  return fittedTableStatistic(affected_subjects, total_subjects, fit.affected_fitted, fit.unaffected_fitted,
                              static_cast<unsigned>(dim1) * dim2);
}

double BinaryTestStat::fittedTableStatistic(Counts affected_subjects, Counts total_subjects,
                                            const double* affected_fitted, const double* unaffected_fitted,
                                            unsigned dimfull) const {
  double test = 0.0;
  if (params_->testTypeOption != 0) {
    // Pearson: cells fitted to 0 (structural zeros) are skipped.
    for (unsigned k = 0; k < dimfull; ++k) {
      const double affected = static_cast<double>(affected_subjects[k]);
      const double unaffected = static_cast<double>(total_subjects[k]) - affected;
      if (affected_fitted[k] > 0.0) {
        const double difference = affected - affected_fitted[k];
        test += difference * difference / affected_fitted[k];
      }
      if (unaffected_fitted[k] > 0.0) {
        const double difference = unaffected - unaffected_fitted[k];
        test += difference * difference / unaffected_fitted[k];
      }
    }
    return test;
  }
  for (unsigned k = 0; k < dimfull; ++k) {
    const SubjectCount affected = affected_subjects[k];
    const auto unaffected = static_cast<SubjectCount>(total_subjects[k] - affected);
    if (affected > 0) {
      test += static_cast<double>(affected) * std::log(static_cast<double>(affected) / affected_fitted[k]);
    }
    if (unaffected > 0) {
      test += static_cast<double>(unaffected) * std::log(static_cast<double>(unaffected) / unaffected_fitted[k]);
    }
  }
  return 2.0 * test;
}

}  // namespace dyadmill
