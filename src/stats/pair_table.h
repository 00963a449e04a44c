// The two-locus table of one SNP pair and its degrees of freedom.
#pragma once

#include <array>
#include <cstdint>

#include "run_parameters.h"
#include "table_shape.h"

namespace dyadmill {

// Cell k = c * 3 + d holds the subjects with level c at the first SNP and
// level d at the second. Amounts and the pair's own margins count the
// subjects left in the table after the cell rule; they are filled only where
// the full statistics need them.
struct PairTable {
  std::array<SubjectCount, kCells> affected_subjects{};
  std::array<SubjectCount, kCells> total_subjects{};
  SubjectCount affected_subjects_amount = 0;
  SubjectCount total_subjects_amount = 0;
  LevelCounts affected_subjects_marg1{};
  LevelCounts affected_subjects_marg2{};
  LevelCounts total_subjects_marg1{};
  LevelCounts total_subjects_marg2{};
};

// Cells counted from the bit rows, cases and controls apart: the cells of
// levels 1 and 2 with --nomissing, all nine with --missing.
struct CountedCells {
  std::array<SubjectCount, kCells> cases{};
  std::array<SubjectCount, kCells> controls{};
};

// Degrees of freedom depend only on which cells are occupied (a total above
// 0 after the cell rule), so they do not change when either SNP's levels
// are reversed (the other allele counted) or the SNPs are swapped. With E
// occupied cells:
//   association: E - 1 (Pearson's df of the 2 x E table);
//   epistasis:   E - R - C + K, R and C the occupied rows and columns, K the
//                connected components of the rows and columns linked by
//                occupied cells: the interaction parameters the model
//                without three-way interaction cannot fit.
// A full table gives 8 and 4.
inline constexpr unsigned kOccupancyPatterns = 1u << kCells;

// Bit k set when cell k of the table is occupied.
unsigned occupancyPattern(const PairTable& table);

// From a table made once: no cost in the pair loop.
std::uint16_t degreesOfFreedomOfPattern(bool epistasis, unsigned occupied);

std::uint16_t degreesOfFreedom(const RunParameters& params, const PairTable& table);

}  // namespace dyadmill
