// A 64-bit FNV-1a fingerprint of a list of names, each followed by a line
// feed (so that "ab","c" and "a","bc" differ): the partial files record the
// input's SNP names and the run's selection lists with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dyadmill {

inline std::uint64_t namesFingerprint(const std::vector<std::string>& names) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  };
  for (const std::string& name : names) {
    for (char c : name) mix(static_cast<unsigned char>(c));
    mix('\n');
  }
  return hash;
}

}  // namespace dyadmill
