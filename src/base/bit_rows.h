// Primitives of packed subject rows: member k of a set is bit k % 64 of
// word k / 64, bits above the last member are 0.
#pragma once

#include <bit>
#include <cstdint>

#include "table_shape.h"

namespace dyadmill {

// Population count of a row of `words` words.
inline SubjectCount popcountRow(const std::uint64_t* row, std::uint64_t words) {
  SubjectCount total = 0;
  for (std::uint64_t w = 0; w < words; ++w) total = static_cast<SubjectCount>(total + std::popcount(row[w]));
  return total;
}

// Population count of the AND of two rows of `words` words each.
inline SubjectCount popcountAnd(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t words) {
  SubjectCount total = 0;
  for (std::uint64_t w = 0; w < words; ++w) total = static_cast<SubjectCount>(total + std::popcount(a[w] & b[w]));
  return total;
}

// Words needed for a packed set of `members` members.
inline std::uint64_t wordsFor(std::uint64_t members) {
  return (members + 63) / 64;
}

}  // namespace dyadmill
