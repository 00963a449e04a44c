// Counting the two-locus table of a pair from a combination's split bit
// rows: the cells counted by AND and population count, row 0 and column 0
// from the SNPs' margins without missing genotypes, and the minimum cell
// size rule.
#pragma once

#include <cstdint>

#include "block_working_set.h"
#include "pair_table.h"
#include "run_parameters.h"

namespace dyadmill {

// The whole table from its counted cells: row 0 and column 0 from the SNPs'
// margins (--nomissing), then the cell rule, amounts and the pair's margins.
void completePairTable(const RunParameters& params, const BlockWorkingSet& set, SubjectCount affected_amount,
                       SubjectCount total_amount, std::uint64_t i, std::uint64_t j, const CountedCells& counted,
                       PairTable& table);

// The case side of a table under permuted labels from its counted case
// cells; `table` holds the saved totals, amounts and total margins.
void completePermutedCaseTable(const RunParameters& params, const BlockWorkingSet& set, SubjectCount affected_amount,
                               std::uint64_t i, std::uint64_t j, const CountedCells& counted, PairTable& table);

// Counts the table of block-1 SNP i and block-2 SNP j, cases and totals,
// and applies the cell rule. With --nomissing only the four cells of levels
// 1 and 2 are counted; row 0 and column 0 follow from the SNPs' margins.
void countPairTable(const RunParameters& params, const BlockWorkingSet& set, SubjectCount affected_amount,
                    SubjectCount total_amount, std::uint64_t i, std::uint64_t j, PairTable& table);

// Recounts only the case cells of a pair under permuted labels: the totals,
// amounts and total margins come from the first scan (a relabelling changes
// nobody's genotype). Cells whose saved total is 0 were dropped and stay 0.
// `table` must hold the saved total_subjects, total_subjects_amount and
// total margins on entry.
void countPermutedCaseTable(const RunParameters& params, const BlockWorkingSet& set, SubjectCount affected_amount,
                            std::uint64_t i, std::uint64_t j, PairTable& table);

}  // namespace dyadmill
