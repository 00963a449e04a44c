// Whole-field decimal integers of the input files.
//
// Boost's lexical conversion to 16-bit types multiplies in promoted int and
// overflows (undefined behaviour) on long digit strings such as
// "000000479"; this reads the same texts (an optional sign, then digits,
// leading zeros allowed) with a range check and no overflow.
#pragma once

#include <cstdint>
#include <string_view>

namespace dyadmill {

inline bool parseDecimalField(std::string_view text, std::int64_t lo, std::int64_t hi, bool allow_sign,
                              std::int64_t& value) {
  bool negative = false;
  if (allow_sign && !text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  const std::int64_t limit = negative ? -lo : hi;  // the magnitude allowed
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return false;
  }
  value = negative ? -magnitude : magnitude;
  return value >= lo && value <= hi;
}

}  // namespace dyadmill
