// The scoring of one pair of a block combination: counting its table,
// its degrees of freedom and its exact statistics. A scorer holds what is
// the same for every pair of the combination (the run's parameters and
// totals, the statistics object, the combination's working set), so that a
// pair-level call takes the pair and its table; the working set is held by
// reference and may be relabelled between permutations.
#pragma once

#include <cstdint>

#include "BinaryTestStat.h"
#include "block_working_set.h"
#include "genotype_store.h"
#include "pair_table.h"
#include "run_parameters.h"
#include "table_counting.h"

namespace dyadmill {

class PairScorer {
 public:
  PairScorer(const RunParameters& params, const GenotypeStore& store, const BlockWorkingSet& set)
      : params_(params),
        set_(set),
        stat_(params),
        affected_(store.affected_amount),
        total_(store.total_amount),
        epistasis_(params.epistasis()),
        reduced_(params.reducedForms()),
        screened_(params.epistasis() && !params.score()) {}

  const RunParameters& params() const { return params_; }
  const BlockWorkingSet& set() const { return set_; }

  // The table of block-1 SNP i and block-2 SNP j (see countPairTable).
  void count(std::uint64_t i, std::uint64_t j, PairTable& table) const {
    countPairTable(params_, set_, affected_, total_, i, j, table);
  }
  // The same from cells a kernel has counted (see completePairTable).
  void complete(std::uint64_t i, std::uint64_t j, const CountedCells& counted, PairTable& table) const {
    completePairTable(params_, set_, affected_, total_, i, j, counted, table);
  }
  // The case side under the current labels; `table` holds the saved totals.
  void countPermutedCases(std::uint64_t i, std::uint64_t j, PairTable& table) const {
    countPermutedCaseTable(params_, set_, affected_, i, j, table);
  }
  void completePermutedCases(std::uint64_t i, std::uint64_t j, const CountedCells& counted, PairTable& table) const {
    completePermutedCaseTable(params_, set_, affected_, i, j, counted, table);
  }

  std::uint16_t degreesOfFreedom(const PairTable& table) const { return dyadmill::degreesOfFreedom(params_, table); }

  // The pair's statistic by the run's mode: the reduced forms with
  // --nomissing and no cell dropped, the full forms otherwise. Under
  // epistasis with the likelihood-ratio test the KSA screen comes first and
  // the IPF statistic replaces it only when KSA > threshold_KSA.
  double statistic(std::uint64_t i, std::uint64_t j, const PairTable& table, double threshold_KSA) const;

  // The screen and the final interaction statistic of an epistasis pair, by
  // the reduced or full forms as statistic() chooses them.
  double ksa(std::uint64_t i, std::uint64_t j, const PairTable& table) const;
  double ipf(std::uint64_t i, std::uint64_t j, const PairTable& table) const;

  // The IPF statistic of a table from its fitted case and control tables.
  double fitted(const PairTable& table, const double* affected_fitted, const double* unaffected_fitted) const {
    return stat_.fittedTableStatistic(table.affected_subjects, table.total_subjects, affected_fitted, unaffected_fitted,
                                      kCells);
  }

 private:
  const RunParameters& params_;
  const BlockWorkingSet& set_;
  const BinaryTestStat stat_;
  const SubjectCount affected_;
  const SubjectCount total_;
  const bool epistasis_;
  const bool reduced_;
  const bool screened_;  // epistasis with the likelihood ratio: KSA before IPF
};

}  // namespace dyadmill
