#include "table_counting.h"

namespace dyadmill {

namespace {

using Count = SubjectCount;

inline Count minus(Count a, Count b) {
  return static_cast<Count>(a - b);
}
inline Count plus(Count a, Count b) {
  return static_cast<Count>(a + b);
}

// Row of level `level` of SNP `snp` within a split block.
inline std::uint64_t levelRow(const RunParameters& params, std::uint64_t snp, unsigned level) {
  return params.missing() ? snp * 3 + level : snp * 2 + level - 1;
}

// Row 0 and column 0 of a --nomissing table from the SNPs' margins and the
// counted cells of levels >= 1. `cells` holds the counted cells on entry and
// the whole table on return, all in 16-bit arithmetic.
void deriveLevelZeroCells(const LevelCounts& margin1, const LevelCounts& margin2, std::array<Count, kCells>& cells) {
  for (unsigned d = 0; d < kLevels; ++d) cells[d] = margin2[d];
  for (unsigned c = 1; c < kLevels; ++c) {
    const unsigned row0 = c * kLevels;
    cells[row0] = margin1[c];
    for (unsigned d = 1; d < kLevels; ++d) {
      cells[row0] = minus(cells[row0], cells[row0 + d]);
      cells[d] = minus(cells[d], cells[row0 + d]);
    }
    cells[0] = minus(cells[0], cells[row0]);
  }
}

// Empties the cells of a --nomissing table with fewer than `min_cell`
// subjects, taking them off the amounts and (under epistasis) the pair's
// margins, which start as the run's totals and the SNPs' margins.
void dropSmallCells(const BlockWorkingSet& set, bool epistasis, std::int32_t min_cell, Count affected_amount,
                    Count total_amount, std::uint64_t i, std::uint64_t j, PairTable& table) {
  table.affected_subjects_amount = affected_amount;
  table.total_subjects_amount = total_amount;
  if (epistasis) {
    table.affected_subjects_marg1 = set.block1.affecteds_marginal[i];
    table.affected_subjects_marg2 = set.block2().affecteds_marginal[j];
    table.total_subjects_marg1 = set.block1.totals_marginal[i];
    table.total_subjects_marg2 = set.block2().totals_marginal[j];
  }
  for (unsigned k = 0; k < kCells; ++k) {
    if (static_cast<std::int64_t>(table.total_subjects[k]) >= min_cell) continue;
    const unsigned c = k / kLevels, d = k % kLevels;
    const Count a = table.affected_subjects[k];
    const Count t = table.total_subjects[k];
    if (epistasis) {
      table.affected_subjects_marg1[c] = minus(table.affected_subjects_marg1[c], a);
      table.affected_subjects_marg2[d] = minus(table.affected_subjects_marg2[d], a);
      table.total_subjects_marg1[c] = minus(table.total_subjects_marg1[c], t);
      table.total_subjects_marg2[d] = minus(table.total_subjects_marg2[d], t);
    }
    table.affected_subjects_amount = minus(table.affected_subjects_amount, a);
    table.total_subjects_amount = minus(table.total_subjects_amount, t);
    table.affected_subjects[k] = 0;
    table.total_subjects[k] = 0;
  }
}

// --missing: all nine cells are counted; the amounts and the pair's margins
// are the sums of the cells the rule keeps.
void keepLargeCells(bool epistasis, std::int32_t min_cell, const CountedCells& counted, PairTable& table) {
  table.affected_subjects_amount = 0;
  table.total_subjects_amount = 0;
  table.affected_subjects_marg1 = {};
  table.affected_subjects_marg2 = {};
  table.total_subjects_marg1 = {};
  table.total_subjects_marg2 = {};
  for (unsigned k = 0; k < kCells; ++k) {
    const unsigned c = k / kLevels, d = k % kLevels;
    const Count a = counted.cases[k];
    const Count t = plus(a, counted.controls[k]);
    const bool kept = static_cast<std::int64_t>(t) >= min_cell;
    table.affected_subjects[k] = kept ? a : 0;
    table.total_subjects[k] = kept ? t : 0;
    if (!kept) continue;
    table.affected_subjects_amount = plus(table.affected_subjects_amount, a);
    table.total_subjects_amount = plus(table.total_subjects_amount, t);
    if (epistasis) {
      table.affected_subjects_marg1[c] = plus(table.affected_subjects_marg1[c], a);
      table.affected_subjects_marg2[d] = plus(table.affected_subjects_marg2[d], a);
      table.total_subjects_marg1[c] = plus(table.total_subjects_marg1[c], t);
      table.total_subjects_marg2[d] = plus(table.total_subjects_marg2[d], t);
    }
  }
}

// The case side under permuted labels of a --nomissing table whose
// dropped cells are those with a saved total of 0.
void dropEmptyCaseCells(const BlockWorkingSet& set, bool epistasis, Count affected_amount, std::uint64_t i,
                        std::uint64_t j, PairTable& table) {
  table.affected_subjects_amount = affected_amount;
  if (epistasis) {
    table.affected_subjects_marg1 = set.block1.affecteds_marginal[i];
    table.affected_subjects_marg2 = set.block2().affecteds_marginal[j];
  }
  for (unsigned k = 0; k < kCells; ++k) {
    if (table.total_subjects[k] != 0) continue;
    const unsigned c = k / kLevels, d = k % kLevels;
    const Count a = table.affected_subjects[k];
    if (epistasis) {
      table.affected_subjects_marg1[c] = minus(table.affected_subjects_marg1[c], a);
      table.affected_subjects_marg2[d] = minus(table.affected_subjects_marg2[d], a);
    }
    table.affected_subjects_amount = minus(table.affected_subjects_amount, a);
    table.affected_subjects[k] = 0;
  }
}

// --missing, permuted labels: the counted cases of the cells the first
// scan kept, summed into the amount and the pair's case margins.
void keepSavedCaseCells(bool epistasis, const CountedCells& counted, PairTable& table) {
  table.affected_subjects_amount = 0;
  table.affected_subjects_marg1 = {};
  table.affected_subjects_marg2 = {};
  for (unsigned k = 0; k < kCells; ++k) {
    const unsigned c = k / kLevels, d = k % kLevels;
    const Count a = table.total_subjects[k] == 0 ? 0 : counted.cases[k];
    table.affected_subjects[k] = a;
    if (table.total_subjects[k] == 0) continue;
    table.affected_subjects_amount = plus(table.affected_subjects_amount, a);
    if (epistasis) {
      table.affected_subjects_marg1[c] = plus(table.affected_subjects_marg1[c], a);
      table.affected_subjects_marg2[d] = plus(table.affected_subjects_marg2[d], a);
    }
  }
}

// Cells counted from the bit rows, cases and controls apart.
void countCells(const RunParameters& params, const BlockWorkingSet& set, std::uint64_t i, std::uint64_t j,
                bool with_controls, CountedCells& counted) {
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const unsigned first = params.missing() ? 0 : 1;
  for (unsigned c = first; c < kLevels; ++c) {
    const std::uint64_t r1 = levelRow(params, i, c);
    for (unsigned d = first; d < kLevels; ++d) {
      const std::uint64_t r2 = levelRow(params, j, d);
      const unsigned k = c * kLevels + d;
      counted.cases[k] = popcountAnd(b1.cases.row(r1), b2.cases.row(r2), set.affected_int_amount);
      if (with_controls) {
        counted.controls[k] = popcountAnd(b1.controls.row(r1), b2.controls.row(r2), set.unaffected_int_amount);
      }
    }
  }
}

}  // namespace

void completePairTable(const RunParameters& params, const BlockWorkingSet& set, Count affected_amount,
                       Count total_amount, std::uint64_t i, std::uint64_t j, const CountedCells& counted,
                       PairTable& table) {
  const std::int32_t min_cell = params.minCellSize();
  if (params.missing()) {
    keepLargeCells(params.epistasis(), min_cell, counted, table);
    return;
  }
  for (unsigned c = 1; c < kLevels; ++c) {
    for (unsigned d = 1; d < kLevels; ++d) {
      const unsigned k = c * kLevels + d;
      table.affected_subjects[k] = counted.cases[k];
      table.total_subjects[k] = plus(counted.cases[k], counted.controls[k]);
    }
  }
  deriveLevelZeroCells(set.block1.affecteds_marginal[i], set.block2().affecteds_marginal[j], table.affected_subjects);
  deriveLevelZeroCells(set.block1.totals_marginal[i], set.block2().totals_marginal[j], table.total_subjects);
  if (min_cell > 1) {
    dropSmallCells(set, params.epistasis(), min_cell, affected_amount, total_amount, i, j, table);
  } else {
    table.affected_subjects_amount = 0;
    table.total_subjects_amount = 0;
  }
}

void countPairTable(const RunParameters& params, const BlockWorkingSet& set, Count affected_amount, Count total_amount,
                    std::uint64_t i, std::uint64_t j, PairTable& table) {
  CountedCells counted;
  countCells(params, set, i, j, true, counted);
  completePairTable(params, set, affected_amount, total_amount, i, j, counted, table);
}

void completePermutedCaseTable(const RunParameters& params, const BlockWorkingSet& set, Count affected_amount,
                               std::uint64_t i, std::uint64_t j, const CountedCells& counted, PairTable& table) {
  if (params.missing()) {
    keepSavedCaseCells(params.epistasis(), counted, table);
    return;
  }
  for (unsigned c = 1; c < kLevels; ++c) {
    for (unsigned d = 1; d < kLevels; ++d) table.affected_subjects[c * kLevels + d] = counted.cases[c * kLevels + d];
  }
  deriveLevelZeroCells(set.block1.affecteds_marginal[i], set.block2().affecteds_marginal[j], table.affected_subjects);
  if (params.minCellSize() > 1) {
    dropEmptyCaseCells(set, params.epistasis(), affected_amount, i, j, table);
  } else {
    table.affected_subjects_amount = 0;
  }
}

void countPermutedCaseTable(const RunParameters& params, const BlockWorkingSet& set, Count affected_amount,
                            std::uint64_t i, std::uint64_t j, PairTable& table) {
  CountedCells counted;
  countCells(params, set, i, j, false, counted);
  completePermutedCaseTable(params, set, affected_amount, i, j, counted, table);
}

}  // namespace dyadmill
