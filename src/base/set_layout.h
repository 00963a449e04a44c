// The order of the SNPs in a run with pair sets, and which pairs it tests.
//
// With --set1 (and --set2) the store holds the SNPs of the first set only,
// then those of both sets, then those of the second set only, each group in
// file order; a run without --set2 takes every selected SNP as its second
// set. The pairs tested are those with one SNP in each set, each unordered
// pair once: exactly the pairs that do not lie within the first group or
// within the last. Grouping makes the tested pairs a few large regions, so
// that a set scan costs in proportion to the pairs it tests.
#pragma once

#include <cstdint>
#include <vector>

namespace dyadmill {

// Which group of the layout a SNP is in.
enum class SetSide : std::uint8_t { FirstOnly, Both, SecondOnly };

struct SetLayout {
  bool active = false;            // false: every pair of the store is tested
  std::uint64_t first_only = 0;   // SNPs 0 .. first_only - 1
  std::uint64_t both = 0;         // the next `both` SNPs
  std::uint64_t second_only = 0;  // the rest
  // Position in the input file of each SNP, in the order above: a pair is
  // always tested with the SNP that comes first in the file as its first
  // SNP, exactly as a scan of every pair tests it.
  std::vector<std::uint64_t> file_index;

  std::uint64_t snps() const { return first_only + both + second_only; }

  // Pairs tested among `snp_amount` SNPs.
  std::uint64_t pairs(std::uint64_t snp_amount) const {
    if (!active) return snp_amount < 2 ? 0 : snp_amount * (snp_amount - 1) / 2;
    const std::uint64_t within_both = both < 2 ? 0 : both * (both - 1) / 2;
    return first_only * (both + second_only) + within_both + both * second_only;
  }
};

}  // namespace dyadmill
