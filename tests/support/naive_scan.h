// A deliberately naive scan, subject by subject, that the tests compare the
// program's bit-packed scans against: no bit rows, no margins by
// subtraction, no reduced statistics. It is not the program's reference
// scan (reference_scan.h), which shares the bit rows, tables and
// statistics with the fast scan and is compared with it bit for bit; this
// one shares nothing with either.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_parameters.h"
#include "test_support.h"

namespace dyadmill::testing {

struct NaiveTable {
  std::uint32_t affected[9] = {};
  std::uint32_t total[9] = {};
};

// Trait labels as the program uses them: 1 = case, where the cases are the
// smaller group (labels swapped when the file's cases outnumber its
// controls).
std::vector<int> recodedTraits(const GenotypeData& data);

// The table of SNPs a and b under `labels`, counting every subject whose
// genotypes at both SNPs are known; cells with fewer than `min_cell`
// subjects are emptied.
NaiveTable naiveTable(const GenotypeData& data, const std::vector<int>& labels, std::size_t a, std::size_t b,
                      int min_cell);

// The degrees of freedom by brute force: the occupied cells less the rank
// of the main-effects design restricted to them (intercept only under
// association; intercept and both SNPs' levels under epistasis), i.e. the
// trait-by-cell parameters the model without interaction cannot fit.
int designRankDegreesOfFreedom(unsigned occupied, bool epistasis);
std::uint16_t naiveDegreesOfFreedom(const NaiveTable& table, bool epistasis);

// The statistic of a table by the full forms only; under epistasis with
// the likelihood-ratio test the KSA screen decides whether the IPF
// statistic is computed (IPF when KSA > ksa_cutoff).
double naiveStatistic(const RunParameters& params, const NaiveTable& table, double ksa_cutoff);

struct NaivePair {
  std::size_t i;
  std::size_t j;
  double value;  // statistic (maxT) or p-value (minP)
  std::uint16_t df;
};

// Every pair i < j kept by the run's threshold, in (i, j) order.
std::vector<NaivePair> naiveScan(const RunParameters& params, const GenotypeData& data);

// The results-file lines the kept pairs must produce (without permutation
// column), sorted as text so that the order of ties does not matter.
std::vector<std::string> expectedResultLines(const RunParameters& params, const GenotypeData& data,
                                             const std::vector<NaivePair>& pairs);

}  // namespace dyadmill::testing

#include "genotype_store.h"

namespace dyadmill::testing {

// Reads `data` into a genotype store the way a scanning run does (its
// console lines are swallowed).
GenotypeStore loadStore(const GenotypeData& data, const RunParameters& params);

}  // namespace dyadmill::testing

#include <map>
#include <utility>

namespace dyadmill::testing {

// The trait labels of permutations 1..P for seed `seed`, each the shuffle of
// the previous ones: srand(seed), then for g = 1..n-1 swap g with
// rand() % (g + 1), permutation after permutation.
std::vector<std::vector<int>> shuffledLabels(const std::vector<int>& labels, std::uint64_t seed, std::uint64_t P);

// Every kept pair's value under every permutation, found by rescoring each
// pair from scratch under the shuffled labels. Block combinations and pairs
// are visited in scan order because, under epistasis with the
// likelihood-ratio test, the KSA cut-off of a permuted pair is carried over
// from the previous scored pair that is not kept.
std::map<std::pair<std::size_t, std::size_t>, std::vector<double>> naivePermutationValues(const RunParameters& params,
                                                                                          const GenotypeData& data,
                                                                                          std::uint64_t blocks);

// The genome-wide extremes of permutations 1..P (--fwer), every pair
// rescored from scratch under every permutation: the largest statistic
// (maxT) or smallest raw p-value (minP), starting from 0 or 1. The statistic
// of a pair is the one reported for a kept pair (under epistasis the fitted
// one); pairs with df 0 or a statistic that is not a number take no part.
std::vector<double> naiveFwerExtremes(const RunParameters& params, const GenotypeData& data);

// Step-down adjusted p-values (maxT or minP) of the kept pairs, computed
// directly from their definition: for the pair at sorted rank r, one plus
// the permutations whose best value among the pairs ranked r and later
// reaches the pair's own value, made monotone along the ranking, over P.
// Returned in the sorted order, with the pairs.
std::vector<std::pair<NaivePair, double>> naiveAdjustedPValues(
    const RunParameters& params, const std::vector<NaivePair>& kept,
    const std::map<std::pair<std::size_t, std::size_t>, std::vector<double>>& values);

}  // namespace dyadmill::testing
