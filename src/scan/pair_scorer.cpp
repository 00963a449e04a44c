#include "pair_scorer.h"

namespace dyadmill {

double PairScorer::ksa(std::uint64_t i, std::uint64_t j, const PairTable& t) const {
  const Counts affected(t.affected_subjects);
  const Counts totals(t.total_subjects);
  if (reduced_) {
    const SplitBlock& b1 = set_.block1;
    const SplitBlock& b2 = set_.block2();
    return stat_.computeBinary2DEpistasisKSAreducedTestStat(
        affected, totals, b1.affecteds_marginal_fractions[i], b2.affecteds_marginal_fractions[j],
        b1.unaffecteds_marginal_fractions[i], b2.unaffecteds_marginal_fractions[j], total_, set_.affected_fraction,
        set_.unaffected_fraction, kLevels, kLevels);
  }
  return stat_.computeBinary2DEpistasisKSATestStat(
      affected, totals, t.affected_subjects_marg1, t.affected_subjects_marg2, t.total_subjects_marg1,
      t.total_subjects_marg2, t.affected_subjects_amount, t.total_subjects_amount, kLevels, kLevels);
}

double PairScorer::ipf(std::uint64_t i, std::uint64_t j, const PairTable& t) const {
  const Counts affected(t.affected_subjects);
  const Counts totals(t.total_subjects);
  if (reduced_) {
    const SplitBlock& b1 = set_.block1;
    const SplitBlock& b2 = set_.block2();
    return stat_.computeBinary2DEpistasisIPFTestStat(affected, totals, b1.affecteds_marginal[i],
                                                     b2.affecteds_marginal[j], b1.totals_marginal[i],
                                                     b2.totals_marginal[j], affected_, total_, kLevels, kLevels);
  }
  return stat_.computeBinary2DEpistasisIPFTestStat(
      affected, totals, t.affected_subjects_marg1, t.affected_subjects_marg2, t.total_subjects_marg1,
      t.total_subjects_marg2, t.affected_subjects_amount, t.total_subjects_amount, kLevels, kLevels);
}

double PairScorer::statistic(std::uint64_t i, std::uint64_t j, const PairTable& t, double threshold_KSA) const {
  if (!epistasis_) {
    const Counts affected(t.affected_subjects);
    const Counts totals(t.total_subjects);
    return reduced_ ? stat_.computeBinary2DAssociationReducedTestStat(affected, totals, set_.affected_fraction, kCells)
                    : stat_.computeBinary2DAssociationTestStat(affected, totals, t.affected_subjects_amount,
                                                               t.total_subjects_amount, kCells);
  }
  if (screened_) {
    const double value = ksa(i, j, t);
    if (!(value > threshold_KSA)) return value;
  }
  return ipf(i, j, t);
}

}  // namespace dyadmill
