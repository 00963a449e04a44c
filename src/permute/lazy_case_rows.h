// The case side of a combination's working set under permuted labels,
// rebuilt per SNP when a pair of that SNP is first read in a permutation.
//
// A rescan that scores only a few pairs reads the rows of only a few SNPs;
// rebuilding every case row, case margin and margin share of both blocks in
// every permutation would cost more than the scoring itself.
#pragma once

#include <cstdint>
#include <vector>

#include "block_working_set.h"
#include "genotype_store.h"
#include "pair_table.h"
#include "run_parameters.h"
#include "simd_kernels.h"

namespace dyadmill {

class LazyCaseRows {
 public:
  // `set` holds the combination's split blocks; its case rows, case margins
  // and margin shares are overwritten SNP by SNP as they are asked for.
  // Rows are packed with `simd`'s bit extract where it has one, else with a
  // portable loop, and counted with its row counters.
  LazyCaseRows(const RunParameters& params, const GenotypeStore& store, BlockWorkingSet& set, const SimdKernels& simd);

  // A new relabelling: every SNP's case side is stale from here on.
  // `labels` must live until the next call: the cases are worked out from
  // them when a row is first asked for, so that a permutation that reads no
  // row costs nothing.
  void relabel(const std::vector<std::uint16_t>& labels);

  // Brings the case side of block-1 SNP i and block-2 SNP j up to the
  // current labels, exactly as a rebuild of the whole blocks would leave it.
  void ensure(std::uint64_t i, std::uint64_t j);

  // Brings every SNP of both blocks up to the current labels.
  void ensureAll();

  // ensure(i, j), then the case cells of the pair's table that are counted
  // from the rows: those of levels 1 and 2 with --nomissing, all nine with
  // --missing (as countCells counts them, cases only).
  void countCases(std::uint64_t i, std::uint64_t j, CountedCells& counted);

 private:
  void ensureSnp(SplitBlock& block, std::vector<std::uint64_t>& built, std::uint64_t snp);
  void findCases();
  void packRow(const std::uint64_t* source, std::uint64_t* destination) const;
  void updateMargins(SplitBlock& block, std::uint64_t snp) const;

  const RunParameters& params_;
  const GenotypeStore& store_;
  BlockWorkingSet& set_;
  const RowCounter count_row_;
  const AndCounter count_and_;
  const RowExtract extract_;  // nullptr: the portable loop
  // The current cases: per word of a row over all subjects, which of its
  // subjects are cases, and per subject its bit in a case row.
  std::vector<std::uint64_t> case_mask_;
  std::vector<std::uint32_t> case_bit_;
  const std::vector<std::uint16_t>* labels_ = nullptr;  // of the current relabelling
  bool cases_found_ = false;                            // case_mask_ and case_bit_ follow labels_
  std::uint64_t generation_ = 0;
  std::vector<std::uint64_t> built1_;  // per SNP: generation its case side was built for
  std::vector<std::uint64_t> built2_;  // unused when the blocks coincide
};

}  // namespace dyadmill
