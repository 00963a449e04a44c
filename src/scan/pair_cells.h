// The cells of kept pairs' tables for the annotated table (--cells): the
// nine case and nine control counts each pair's statistic used.
#pragma once

#include <array>
#include <vector>

#include "PairTallier.h"
#include "genotype_store.h"
#include "run_parameters.h"
#include "table_shape.h"

namespace dyadmill {

// Cell k = c * 3 + d: subjects with level c at the pair's first SNP (i) and
// level d at its second (j), after the minimum cell size rule (-m), which
// empties a small cell on both sides. `cases` are the input file's cases
// (trait 1, phenotype 2) even when the run swapped the groups internally.
struct PairCells {
  std::array<SubjectCount, kCells> cases{};
  std::array<SubjectCount, kCells> controls{};
};

// The cells of every pair of `pairs`, in the same order, counted from the
// store with the scan's own table counting. Costs a few population counts
// over the subjects per pair: meant for the kept pairs, not for a scan.
std::vector<PairCells> countPairCells(const RunParameters& params, const GenotypeStore& store, const TopVector& pairs);

}  // namespace dyadmill
