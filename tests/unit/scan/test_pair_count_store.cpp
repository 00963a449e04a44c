// The per-pair count stores keep 16-bit counts while a run's subjects fit
// them and 32-bit counts beyond, and the statistics read counts of either
// width as the same numbers.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "BinaryTestStat.h"
#include "pair_count_store.h"

namespace dyadmill {
namespace {

TEST(PairCountStore, NarrowUpTo65535SubjectsWideBeyondAndEveryCountReadsBack) {
  PairCountStore store;
  store.assign(5, 65535);
  EXPECT_FALSE(store.wide());
  EXPECT_EQ(store.size(), 5u);
  const std::array<SubjectCount, 3> narrow_values = {0, 1, 65535};
  store.write(2, narrow_values.data(), 3);
  std::array<SubjectCount, 3> back{};
  store.read(2, 3, back.data());
  EXPECT_EQ(back, narrow_values);
  EXPECT_EQ(store[0], 0u);

  store.assign(4, 65536);
  EXPECT_TRUE(store.wide());
  EXPECT_EQ(store[3], 0u);
  const std::array<SubjectCount, 4> wide_values = {65535, 65536, 100003, 2147483647};
  store.write(0, wide_values.data(), 4);
  std::array<SubjectCount, 4> wide_back{};
  store.read(0, 4, wide_back.data());
  EXPECT_EQ(wide_back, wide_values);
  EXPECT_EQ(store[2], 100003u);

  // Sized again for a small run, the store is narrow and cleared.
  store.assign(2, 10);
  EXPECT_FALSE(store.wide());
  EXPECT_EQ(store[1], 0u);
  EXPECT_FALSE(store.empty());
  store.assign(0, 10);
  EXPECT_TRUE(store.empty());
}

// Every statistic of a table gives the same bits whether its counts come at
// 16 or at 32 bits.
TEST(CountsView, SixteenAndThirtyTwoBitCountsGiveIdenticalStatistics) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> cell(0, 7000);
  for (int test_type : {0, 1}) {
    RunParameters params;
    params.testTypeOption = test_type;
    const BinaryTestStat stat(params);
    for (int trial = 0; trial < 50; ++trial) {
      std::array<std::uint16_t, 9> a16{}, n16{};
      std::array<std::uint32_t, 9> a32{}, n32{};
      std::array<std::uint16_t, 3> am1_16{}, am2_16{}, nm1_16{}, nm2_16{};
      std::array<std::uint32_t, 3> am1_32{}, am2_32{}, nm1_32{}, nm2_32{};
      std::uint32_t A = 0, N = 0;
      for (unsigned k = 0; k < 9; ++k) {
        const int cases = cell(rng), controls = cell(rng);
        a16[k] = static_cast<std::uint16_t>(cases);
        n16[k] = static_cast<std::uint16_t>(cases + controls);
        a32[k] = a16[k];
        n32[k] = n16[k];
        A += a32[k];
        N += n32[k];
        am1_32[k / 3] += a32[k];
        nm1_32[k / 3] += n32[k];
        am2_32[k % 3] += a32[k];
        nm2_32[k % 3] += n32[k];
      }
      for (unsigned c = 0; c < 3; ++c) {
        am1_16[c] = static_cast<std::uint16_t>(am1_32[c]);
        nm1_16[c] = static_cast<std::uint16_t>(nm1_32[c]);
        am2_16[c] = static_cast<std::uint16_t>(am2_32[c]);
        nm2_16[c] = static_cast<std::uint16_t>(nm2_32[c]);
      }
      EXPECT_EQ(stat.computeBinary2DAssociationTestStat(a16, n16, A, N, 9),
                stat.computeBinary2DAssociationTestStat(a32, n32, A, N, 9));
      EXPECT_EQ(stat.computeBinary2DEpistasisKSATestStat(a16, n16, am1_16, am2_16, nm1_16, nm2_16, A, N, 3, 3),
                stat.computeBinary2DEpistasisKSATestStat(a32, n32, am1_32, am2_32, nm1_32, nm2_32, A, N, 3, 3));
      EXPECT_EQ(stat.computeBinary2DEpistasisIPFTestStat(a16, n16, am1_16, am2_16, nm1_16, nm2_16, A, N, 3, 3),
                stat.computeBinary2DEpistasisIPFTestStat(a32, n32, am1_32, am2_32, nm1_32, nm2_32, A, N, 3, 3));
    }
  }
}

}  // namespace
}  // namespace dyadmill
