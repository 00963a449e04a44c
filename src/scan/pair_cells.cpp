#include "pair_cells.h"

#include <algorithm>
#include <numeric>

#include "block_working_set.h"
#include "pair_table.h"
#include "table_counting.h"

namespace dyadmill {

std::vector<PairCells> countPairCells(const RunParameters& params, const GenotypeStore& store, const TopVector& pairs) {
  std::vector<PairCells> cells(pairs.size());
  // In order of the first SNP, so that its rows are split once for all its
  // partners.
  std::vector<std::size_t> order(pairs.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&pairs](std::size_t a, std::size_t b) {
    return pairs[a].i != pairs[b].i ? pairs[a].i < pairs[b].i : pairs[a].j < pairs[b].j;
  });
  const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
  const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
  BlockWorkingSet set;
  PairTable table;
  for (const std::size_t x : order) {
    loadSnpPair(params, store, pairs[x].i, pairs[x].j, cases, controls, set);
    countPairTable(params, set, store.affected_amount, store.total_amount, 0, 0, table);
    // The table's cases are the run's smaller group; a reader of the table
    // knows the file's groups.
    PairCells& out = cells[x];
    for (unsigned k = 0; k < kCells; ++k) {
      const SubjectCount run_cases = table.affected_subjects[k];
      const auto run_controls = static_cast<SubjectCount>(table.total_subjects[k] - run_cases);
      out.cases[k] = store.groups_swapped ? run_controls : run_cases;
      out.controls[k] = store.groups_swapped ? run_cases : run_controls;
    }
  }
  return cells;
}

}  // namespace dyadmill
