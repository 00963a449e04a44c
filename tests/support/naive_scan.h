// A deliberately plain scan, subject by subject, that the tests compare the
// program's bit-packed scan against: no bit rows, no margins by
// subtraction, no reduced statistics.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run_parameters.h"
#include "test_support.h"

namespace dyadmill::testing {

struct NaiveTable {
  std::uint16_t affected[9] = {};
  std::uint16_t total[9] = {};
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
