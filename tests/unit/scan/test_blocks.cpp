// Block table: the automatic block count, the listing order of block
// combinations, and that the combinations cover every SNP pair exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
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

namespace dyadmill {
namespace {

// A set layout over `groups` sizes whose SNPs sit in the file in an order
// drawn from `seed`, each group in file order.
SetLayout shuffledLayout(std::uint64_t first_only, std::uint64_t both, std::uint64_t second_only, unsigned seed) {
  SetLayout layout{true, first_only, both, second_only, {}};
  const std::uint64_t n = layout.snps();
  std::vector<std::uint64_t> positions(n);
  for (std::uint64_t k = 0; k < n; ++k) positions[k] = k;
  std::uint64_t state = seed * 2654435761u + 1;
  for (std::uint64_t k = n; k > 1; --k) {  // Fisher-Yates with a fixed generator
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    std::swap(positions[k - 1], positions[(state >> 33) % k]);
  }
  // Each group takes its positions sorted: groups are in file order.
  const std::uint64_t ends[] = {first_only, first_only + both, n};
  std::uint64_t from = 0;
  for (const std::uint64_t end : ends) {
    std::sort(positions.begin() + static_cast<std::ptrdiff_t>(from),
              positions.begin() + static_cast<std::ptrdiff_t>(end));
    from = end;
  }
  layout.file_index = positions;
  return layout;
}

SetSide sideOf(const SetLayout& l, std::uint64_t snp) {
  if (snp < l.first_only) return SetSide::FirstOnly;
  return snp < l.first_only + l.both ? SetSide::Both : SetSide::SecondOnly;
}

// Every pair a set table holds, as (first SNP, second SNP), with its
// combination, expanding staircases the way the scans walk them.
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> listedPairs(const SetLayout& l,
                                                                                 const BlockTable& t) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> pairs;
  for (std::uint64_t K = 0; K < t.blockcombo_amount; ++K) {
    const bool stairs = t.staircase[K] != 0;
    const std::vector<std::uint64_t> starts =
        stairs ? staircaseStarts(l.file_index, t.begin[K], t.end[K], t.begin2[K], t.end2[K])
               : std::vector<std::uint64_t>{};
    for (std::uint64_t i = t.begin[K]; i < t.end[K]; ++i) {
      std::uint64_t j = t.begin2[K];
      if (stairs) j += starts[i - t.begin[K]];
      if (t.begin[K] == t.begin2[K]) j = i + 1;
      for (; j < t.end2[K]; ++j) pairs.emplace_back(i, j, K);
    }
  }
  return pairs;
}

TEST(SetCombinations, HoldEveryPairBetweenTheSetsOnceInFileOrder) {
  const std::uint64_t sizes[][3] = {{0, 5, 12}, {4, 3, 9}, {6, 0, 7}, {0, 9, 0}, {3, 1, 1}, {1, 0, 1}};
  for (const auto& size : sizes) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
      const SetLayout l = shuffledLayout(size[0], size[1], size[2], seed);
      const std::uint64_t n = l.snps();
      for (std::uint64_t blocks = 1; blocks <= std::min<std::uint64_t>(n, 6); ++blocks) {
        SCOPED_TRACE(::testing::Message()
                     << size[0] << "/" << size[1] << "/" << size[2] << " seed " << seed << " blocks " << blocks);
        const BlockTable t = listSetCombinations(l, blocks);
        const auto listed = listedPairs(l, t);
        std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
        for (const auto& [i, j, K] : listed) {
          EXPECT_LT(l.file_index[i], l.file_index[j]) << "a pair keeps the file's order";
          const SetSide a = sideOf(l, i), b = sideOf(l, j);
          EXPECT_FALSE(a == b && a != SetSide::Both) << "no pair within the first or the last group";
          EXPECT_TRUE(seen.insert({std::min(i, j), std::max(i, j)}).second) << "each pair once";
        }
        EXPECT_EQ(seen.size(), l.pairs(n));
        EXPECT_EQ(pairsTested(t), l.pairs(n));
        // The lookup finds every listed pair's combination, and none for a
        // pair turned round or not tested.
        const CombinationIndex index(n, blocks, l);
        EXPECT_EQ(index.combinations(), t.blockcombo_amount);
        EXPECT_EQ(index.blocksUsed(), t.blockAmount);
        for (const auto& [i, j, K] : listed) {
          EXPECT_EQ(index.of(i, j), K);
          EXPECT_EQ(index.of(j, i), index.combinations());
        }
        for (std::uint64_t i = 0; i < n; ++i) {
          for (std::uint64_t j = 0; j < n; ++j) {
            if (i == j || seen.count({std::min(i, j), std::max(i, j)}) != 0) continue;
            EXPECT_EQ(index.of(i, j), index.combinations());
          }
        }
      }
    }
  }
}

TEST(SetCombinations, CutEachGroupIntoBlocksOfTheRunsSize) {
  // 10 SNPs in 2 blocks: blocks of at most 5, cut per group (4 | 6 -> 4 | 3 3).
  const SetLayout l = shuffledLayout(0, 4, 6, 1);
  const BlockTable t = listSetCombinations(l, 2);
  EXPECT_EQ(t.blockAmount, 3u);
  EXPECT_EQ(t.maxblock_size, 4u);
  for (std::uint64_t K = 0; K < t.blockcombo_amount; ++K) {
    EXPECT_FALSE(t.begin[K] >= 4 && t.begin2[K] >= 4) << "no combination within the second group";
  }
}

}  // namespace
}  // namespace dyadmill
