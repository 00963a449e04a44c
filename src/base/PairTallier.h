// One kept SNP pair and the orderings of the final stage.
#pragma once

#include <cstdint>
#include <vector>

namespace dyadmill {

struct TestStat2DObject {
  std::uint64_t i = 0;  // index of the first SNP in snp_names
  std::uint64_t j = 0;  // index of the second SNP, always after the first in file order
  // maxT: the observed chi-square statistic; minP: its upper-tail p-value.
  double testStatValue = 0.0;
  // One value per permutation, of the same kind as testStatValue; every entry
  // starts at the threshold until the permutation loop writes it.
  std::vector<double> permutValues;
  std::uint16_t DegFreedom = 0;  // degrees of freedom of the pair's statistic
};

// Largest statistic first (maxT).
inline bool compareTestStat2DObjects(const TestStat2DObject& a, const TestStat2DObject& b) {
  return a.testStatValue > b.testStatValue;
}

// Smallest p-value first (minP).
inline bool compareTestStat2DObjectsReverse(const TestStat2DObject& a, const TestStat2DObject& b) {
  return b.testStatValue > a.testStatValue;
}

// The run's kept pairs: in scan order until the final stage sorts them.
using TopVector = std::vector<TestStat2DObject>;

// A scanning run keeps at most this many pairs.
inline constexpr std::size_t kMaxKeptPairs = 1000000;

}  // namespace dyadmill
