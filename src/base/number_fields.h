// Whole-field integers: of the input files, the partial files, the command
// line and the program's own temporary names, all read by one routine.
//
// A field is an integer and nothing else: digits in the given base (leading
// zeros allowed), a sign only where the field's kind allows one, and a value
// within [lo, hi]. Boost's lexical conversion to 16-bit types multiplies in
// promoted int and overflows (undefined behaviour) on long digit strings
// such as "000000479", and converts "-1" to an unsigned type by wrapping;
// this reads the magnitude in 64 bits with the standard library's checked
// conversion and compares the signed value with the range.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace dyadmill {

enum class Sign {
  None,       // digits only
  MinusOnly,  // an optional '-'
  Either,     // an optional '+' or '-'
};

template <typename T>
bool parseWholeInteger(std::string_view text, T lo, T hi, Sign sign, T& value, int base = 10) {
  static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(std::int64_t));
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || (text.front() == '+' && sign == Sign::Either))) {
    if (sign == Sign::None) return false;
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // The magnitude's own conversion takes no sign: "+-5" and "--5" fail here.
  if (text.empty() || text.front() == '+' || text.front() == '-') return false;
  std::uint64_t magnitude = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  // In 128 bits every 64-bit magnitude and both signs compare exactly.
  const __int128 signed_value = negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
  if (signed_value < static_cast<__int128>(lo) || signed_value > static_cast<__int128>(hi)) return false;
  value = static_cast<T>(signed_value);
  return true;
}

}  // namespace dyadmill
