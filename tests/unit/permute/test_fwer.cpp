// Genome-wide p-values and the 5 % threshold from the per-permutation
// extremes: ties reach a pair, j = floor(0.05 (P + 1)), and the threshold
// agrees with the p-values.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "fwer.h"

namespace dyadmill {
namespace {

RunParameters run(bool minP, std::uint64_t permutations) {
  RunParameters p;
  p.algoOption = minP ? 1 : 0;
  p.permutationParam = permutations;
  p.fwerOption = true;
  return p;
}

TEST(Fwer, PValuesCountTheObservedDataSetAndTies) {
  const std::vector<double> m = {5, 3, 5, 1}, p = {0.01, 0.2, 0.01, 0.5};
  EXPECT_DOUBLE_EQ(fwerPValue(run(false, 4), m, 5.0), 3.0 / 5.0);  // both 5s reach it
  EXPECT_DOUBLE_EQ(fwerPValue(run(false, 4), m, std::nextafter(5.0, 6.0)), 1.0 / 5.0);
  EXPECT_DOUBLE_EQ(fwerPValue(run(false, 4), m, 0.0), 1.0);
  EXPECT_DOUBLE_EQ(fwerPValue(run(true, 4), p, 0.01), 3.0 / 5.0);
  EXPECT_DOUBLE_EQ(fwerPValue(run(true, 4), p, std::nextafter(0.01, 0.0)), 1.0 / 5.0);
  EXPECT_DOUBLE_EQ(fwerPValue(run(true, 4), p, 0.5), 1.0);
}

TEST(Fwer, ThresholdIsTheJthExtreme) {
  EXPECT_FALSE(genomeWideThreshold(run(false, 18), std::vector<double>(18, 3.0)).available);  // j = 0
  std::vector<double> m(38, 1.0), p(38, 0.5);
  m[5] = 9.0, m[30] = 8.0, p[5] = 0.001, p[30] = 0.002;
  EXPECT_EQ(genomeWideThreshold(run(false, 38), m).value, 9.0);  // j = 1
  EXPECT_EQ(genomeWideThreshold(run(true, 38), p).value, 0.001);
  m.push_back(2.0), p.push_back(0.3);
  EXPECT_EQ(genomeWideThreshold(run(false, 39), m).value, 8.0);  // j = 2
  EXPECT_EQ(genomeWideThreshold(run(true, 39), p).value, 0.002);
  m[30] = 9.0, p[30] = 0.001;
  EXPECT_EQ(genomeWideThreshold(run(false, 39), m).value, 9.0);  // tied with the first
  EXPECT_EQ(genomeWideThreshold(run(true, 39), p).value, 0.001);
}

// Just beyond the threshold a pair's genome-wide p-value is at most 0.05,
// at the threshold itself above, ties included.
TEST(Fwer, ThresholdSeparatesGenomeWidePValuesAtFivePercent) {
  std::mt19937_64 rng(11);
  std::uniform_int_distribution<int> level(1, 12);  // few distinct values: many ties
  for (const bool minP : {false, true}) {
    for (const std::uint64_t P : {19u, 20u, 39u, 59u, 999u}) {
      SCOPED_TRACE(::testing::Message() << (minP ? "minP " : "maxT ") << P);
      std::vector<double> extremes(P);
      for (double& e : extremes) e = minP ? level(rng) / 100.0 : level(rng) * 2.5;
      const GenomeWideThreshold t = genomeWideThreshold(run(minP, P), extremes);
      ASSERT_TRUE(t.available);
      EXPECT_LE(fwerPValue(run(minP, P), extremes, std::nextafter(t.value, minP ? 0.0 : 1e9)), 0.05);
      EXPECT_GT(fwerPValue(run(minP, P), extremes, t.value), 0.05);
    }
  }
}

}  // namespace
}  // namespace dyadmill
