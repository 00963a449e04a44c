// Block table: the automatic block count, the listing order of block
// combinations, and that the combinations cover every SNP pair exactly once.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "blocks.h"

namespace dyadmill {
namespace {

using Range = std::pair<std::uint64_t, std::uint64_t>;
using Combination = std::pair<Range, Range>;

std::vector<Combination> combinations(const BlockTable& t) {
  std::vector<Combination> out;
  for (std::size_t k = 0; k < t.begin.size(); ++k) out.push_back({{t.begin[k], t.end[k]}, {t.begin2[k], t.end2[k]}});
  return out;
}

TEST(BlockTable, TenSnpsInThreeBlocks) {
  const BlockTable t = listBlockCombinations(10, 3);
  EXPECT_EQ(t.blockcombo_amount, 6u);
  EXPECT_EQ(t.maxblock_size, 4u);
  EXPECT_EQ(t.maxblock_amount, 1u);
  const std::vector<Combination> expected = {
      {{0, 4}, {4, 7}}, {{0, 4}, {7, 10}}, {{4, 7}, {7, 10}}, {{0, 4}, {0, 4}}, {{4, 7}, {4, 7}}, {{7, 10}, {7, 10}},
  };
  EXPECT_EQ(combinations(t), expected);
}

TEST(BlockTable, MoreBlocksThanSnpsListsEmptyBlocks) {
  const BlockTable t = listBlockCombinations(5, 8);
  EXPECT_EQ(t.blockcombo_amount, 36u);
  EXPECT_EQ(t.maxblock_size, 1u);
  EXPECT_EQ(t.maxblock_amount, 5u);
  const std::vector<Combination> c = combinations(t);
  ASSERT_EQ(c.size(), 36u);
  // Block 0 with the later one-SNP blocks, then with the three empty ones.
  const std::vector<Combination> first = {{{0, 1}, {1, 2}}, {{0, 1}, {2, 3}}, {{0, 1}, {3, 4}}, {{0, 1}, {4, 5}},
                                          {{0, 1}, {5, 5}}, {{0, 1}, {5, 5}}, {{0, 1}, {5, 5}}, {{1, 2}, {2, 3}}};
  EXPECT_EQ(std::vector<Combination>(c.begin(), c.begin() + 8), first);
  // Same-block combinations close the list, the empty blocks last.
  const std::vector<Combination> last = {{{0, 1}, {0, 1}}, {{1, 2}, {1, 2}}, {{2, 3}, {2, 3}}, {{3, 4}, {3, 4}},
                                         {{4, 5}, {4, 5}}, {{5, 5}, {5, 5}}, {{5, 5}, {5, 5}}, {{5, 5}, {5, 5}}};
  EXPECT_EQ(std::vector<Combination>(c.end() - 8, c.end()), last);
}

TEST(BlockTable, AutomaticBlockCount) {
  struct Case {
    std::uint64_t snps, permutations, blocks, larger_size, larger_blocks;
  };
  const std::vector<Case> cases = {
      {1, 0, 1, 1, 1},         {9999, 0, 1, 9999, 1},   {10000, 0, 1, 10000, 1}, {19999, 0, 1, 19999, 1},
      {20000, 0, 2, 10000, 2}, {29999, 0, 2, 15000, 1}, {30000, 0, 3, 10000, 3}, {999, 99, 1, 999, 1},
      {1000, 99, 1, 1000, 1},  {1998, 99, 1, 1998, 1},  {1999, 2, 2, 1000, 1},   {2999, 2, 3, 1000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.snps) + " SNPs, " + std::to_string(c.permutations) + " permutations");
    ASSERT_EQ(automaticBlockAmount(c.snps, c.permutations), c.blocks);
    const BlockTable t = listBlockCombinations(c.snps, c.blocks);
    EXPECT_EQ(t.maxblock_size, c.larger_size);
    EXPECT_EQ(t.maxblock_amount, c.larger_blocks);
  }
}

// For many shapes: the same-block combinations (the last B) tile the SNPs in
// order, all distinct-block combinations come before them with block 1 before
// block 2, and together they count every pair i < j exactly once.
TEST(BlockTable, CombinationsCoverEveryPairOnce) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> shapes;
  for (std::uint64_t snps = 1; snps <= 24; ++snps) {
    for (std::uint64_t b = 1; b <= 10; ++b) shapes.emplace_back(snps, b);
  }
  for (const auto& shape : {std::pair<std::uint64_t, std::uint64_t>{100, 7}, {257, 16}, {600, 13}, {64, 64}}) {
    shapes.push_back(shape);
  }
  for (const auto& [snps, B] : shapes) {
    SCOPED_TRACE(std::to_string(snps) + " SNPs in " + std::to_string(B) + " blocks");
    const std::vector<Combination> c = combinations(listBlockCombinations(snps, B));
    ASSERT_EQ(c.size(), B * (B + 1) / 2);

    std::uint64_t next = 0;
    for (std::size_t k = c.size() - B; k < c.size(); ++k) {
      ASSERT_EQ(c[k].first, c[k].second);
      EXPECT_EQ(c[k].first.first, next);
      ASSERT_LE(c[k].first.first, c[k].first.second);
      next = c[k].first.second;
    }
    EXPECT_EQ(next, snps);

    std::vector<std::uint32_t> seen(snps * snps, 0);
    for (std::size_t k = 0; k < c.size(); ++k) {
      const auto& [b1, b2] = c[k];
      if (k < c.size() - B) {
        ASSERT_LE(b1.second, b2.first) << "combination " << k;
      }
      for (std::uint64_t i = b1.first; i < b1.second; ++i) {
        for (std::uint64_t j = b1 == b2 ? i + 1 : b2.first; j < b2.second; ++j) ++seen[i * snps + j];
      }
    }
    for (std::uint64_t i = 0; i < snps; ++i) {
      for (std::uint64_t j = 0; j < snps; ++j) ASSERT_EQ(seen[i * snps + j], i < j ? 1u : 0u) << i << "," << j;
    }
  }
}

}  // namespace
}  // namespace dyadmill

namespace dyadmill {
namespace {

// The assembly places a pair in its combination arithmetically; it must
// agree with the listed table for every pair, whatever the block shapes.
TEST(CombinationOfPair, AgreesWithTheListedTable) {
  for (std::uint64_t snps : {1u, 2u, 7u, 10u, 23u}) {
    for (std::uint64_t blocks = 1; blocks <= snps; ++blocks) {
      const BlockTable table = listBlockCombinations(snps, blocks);
      for (std::uint64_t K = 0; K < table.blockcombo_amount; ++K) {
        for (std::uint64_t i = table.begin[K]; i < table.end[K]; ++i) {
          for (std::uint64_t j = std::max(i + 1, table.begin2[K]); j < table.end2[K]; ++j) {
            ASSERT_EQ(combinationOfPair(snps, blocks, i, j), K)
                << snps << " SNPs, " << blocks << " blocks, pair " << i << "," << j;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace dyadmill
