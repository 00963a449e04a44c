// Case rows, case margins and margin shares rebuilt SNP by SNP under
// permuted labels against a rebuild of the whole blocks, with both ways of
// packing a row, at word-boundary subject counts.
#include <gtest/gtest.h>

#include <vector>

#include "block_working_set.h"
#include "blocks.h"
#include "console.h"
#include "lazy_case_rows.h"
#include "naive_scan.h"
#include "pair_table.h"
#include "permutation.h"
#include "simd_kernels.h"

namespace dyadmill::testing {
namespace {

// What relabelling every row of a block makes of it.
void relabelWholeBlock(const RunParameters& params, const GenotypeStore& store, const SubjectSubset& cases,
                       const BlockWorkingSet& set, SplitBlock& block) {
  for (std::uint64_t r = 0; r < block.snp_amount * params.rowsPerSnp(); ++r)
    cases.pack(store.snp_matrix.row(block.first_row + r), store.snp_matrix.words(), block.cases.row(r));
  if (params.missing()) return;
  countCaseMargins(store.affected_amount, set.affected_int_amount, block);
  if (params.epistasis() && !params.score() && params.reducedForms()) computeMarginFractions(block);
}

// The case cells of pair (i, j) as the AND of the two SNPs' case rows, one
// level pair at a time (level 0 has no row with --nomissing).
CountedCells caseCellsOf(const RunParameters& params, const BlockWorkingSet& set, std::uint64_t i, std::uint64_t j) {
  CountedCells counted;
  const unsigned first = params.missing() ? 0 : 1;
  const std::uint64_t rows = params.rowsPerSnp();
  for (unsigned c = first; c < kLevels; ++c) {
    for (unsigned d = first; d < kLevels; ++d) {
      counted.cases[c * kLevels + d] =
          popcountAnd(set.block1.cases.row(i * rows + c - first), set.block2().cases.row(j * rows + d - first),
                      set.affected_int_amount);
    }
  }
  return counted;
}

void expectSameCaseSide(const RunParameters& params, const SplitBlock& whole, const SplitBlock& lazy,
                        std::uint64_t words, const std::string& what) {
  for (std::uint64_t r = 0; r < whole.snp_amount * params.rowsPerSnp(); ++r) {
    for (std::uint64_t w = 0; w < words; ++w)
      ASSERT_EQ(whole.cases.row(r)[w], lazy.cases.row(r)[w]) << what << " row " << r;
  }
  EXPECT_EQ(whole.affecteds_marginal, lazy.affecteds_marginal) << what;
  EXPECT_EQ(whole.affecteds_marginal_fractions, lazy.affecteds_marginal_fractions) << what;
  EXPECT_EQ(whole.unaffecteds_marginal_fractions, lazy.unaffecteds_marginal_fractions) << what;
}

// The row kernels of the portable build, and those the CPU probe chooses
// (its bit count and, where it has one, its bit extract).
std::vector<SimdKernels> everyRowKernelSet() {
  SimdKernels portable = probeSimdKernels();
  usePortableRowKernels(portable);
  std::vector<SimdKernels> sets = {portable};
  const SimdKernels probed = probeSimdKernels();
  if (probed.count_and != portable.count_and || probed.extract != nullptr) sets.push_back(probed);
  return sets;
}

TEST(LazyCaseRows, RebuildsEachSnpAsTheWholeBlockRebuild) {
  const std::vector<SimdKernels> ways = everyRowKernelSet();
  for (std::size_t subjects : {2, 63, 64, 65, 130, 200}) {
    for (bool missing : {false, true}) {
      const GenotypeData data =
          randomGenotypes(static_cast<std::uint32_t>(subjects), 11, subjects, 0.4, 0.05 * missing);
      RunParameters params;
      params.hypothesisOption = 1;
      params.missingGenoOption = missing ? 1 : 0;
      params.processAmount = 1;
      params.blockAmount = 3;
      params.permutationParam = 3;
      const GenotypeStore store = loadStore(data, params);
      BlockTable blocks;
      console().startCapture();
      ASSERT_FALSE(formBlocks(params, store.snp_amount, blocks).stopped());
      const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
      const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
      for (std::uint64_t K = blocks.Kbegin; K < blocks.Kend; ++K) {
        for (const SimdKernels& simd : ways) {
          BlockWorkingSet whole, lazy;
          loadBlockCombination(params, store, blocks, K, cases, controls, whole);
          loadBlockCombination(params, store, blocks, K, cases, controls, lazy);
          LazyCaseRows rows(params, store, lazy, simd);
          TraitShuffler shuffler(99, store.binary_diagnostic_vect);
          for (int p = 0; p < 3; ++p) {
            shuffler.shuffle();
            const SubjectSubset permuted(shuffler.labels(), 1, true);
            relabelWholeBlock(params, store, permuted, whole, whole.block1);
            if (!whole.coincide) relabelWholeBlock(params, store, permuted, whole, whole.block2());
            rows.relabel(shuffler.labels());
            // Every pair once: the case cells counted from the rows built on
            // demand equal those of the whole rebuild.
            for (std::uint64_t i = 0; i < lazy.firstSnpEnd(); ++i) {
              for (std::uint64_t j = lazy.firstPartner(i); j < lazy.block2().snp_amount; ++j) {
                CountedCells on_demand;
                rows.countCases(i, j, on_demand);
                ASSERT_EQ(on_demand.cases, caseCellsOf(params, whole, i, j).cases) << i << " " << j;
              }
            }
            const std::string what = "subjects " + std::to_string(subjects) + (missing ? " missing" : "") + " K " +
                                     std::to_string(K) + (simd.extract != nullptr ? " bit extract" : " portable");
            expectSameCaseSide(params, whole.block1, lazy.block1, whole.affected_int_amount, what + " block 1");
            expectSameCaseSide(params, whole.block2(), lazy.block2(), whole.affected_int_amount, what + " block 2");
          }
        }
      }
      console().endCapture();
    }
  }
}

}  // namespace
}  // namespace dyadmill::testing
