// The terminal's progress line: its text, how often it is redrawn, and
// that it leaves the terminal clean; and that runs whose standard error is
// not a terminal print nothing of it.
#include <gtest/gtest.h>

#include "blocks.h"
#include "progress.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

using Clock = ProgressLine::Clock;
using std::chrono::milliseconds;

TEST(ProgressLine, TextShowsShareRateAndTimeLeft) {
  EXPECT_EQ(formatProgress(0, 1000, 0.0), "  0.0%");
  // 250 of 1000 pairs in 5 s: 50 pairs/s, 750 left take 15 s.
  EXPECT_EQ(formatProgress(250, 1000, 5.0), " 25.0%  50 pairs/s  0:00:15 left");
  // The share is rounded down: 99.99% is not done yet.
  EXPECT_EQ(formatProgress(9999, 10000, 1.0), " 99.9%  9999 pairs/s  0:00:00 left");
  // 12.3 million pairs a second, 4 h 6 min 40 s left.
  EXPECT_EQ(formatProgress(12'300'000, 12'300'000ull * 14801, 1.0), "  0.0%  12.3M pairs/s  4:06:40 left");
  EXPECT_EQ(formatProgress(2'000'000'000, 4'000'000'000, 2.0), " 50.0%  1.0G pairs/s  0:00:02 left");
  EXPECT_EQ(formatProgress(123'456, 246'912, 1.0), " 50.0%  123k pairs/s  0:00:01 left");
}

TEST(ProgressLine, RedrawsAtMostEveryQuarterSecondAndClearsAtTheEnd) {
  std::vector<std::string> drawn;
  const Clock::time_point start{};
  {
    ProgressLine line(
        1000, [&](std::string_view text) { drawn.emplace_back(text); }, start);
    line.advanceAt(100, start + milliseconds(1000));  // first: drawn at once
    line.advanceAt(100, start + milliseconds(1100));  // too soon
    line.advanceAt(100, start + milliseconds(1249));  // still too soon
    line.advanceAt(100, start + milliseconds(1250));  // drawn
    ASSERT_EQ(drawn.size(), 2u);
    EXPECT_EQ(drawn[0], "\r 10.0%  100 pairs/s  0:00:09 left\x1b[K\r");
    EXPECT_EQ(drawn[1], "\r 40.0%  320 pairs/s  0:00:02 left\x1b[K\r");
    // Reaching the total erases the line instead of drawing 100%.
    line.advanceAt(600, start + milliseconds(1300));
    ASSERT_EQ(drawn.size(), 3u);
    EXPECT_EQ(drawn[2], "\r\x1b[K");
  }
  EXPECT_EQ(drawn.size(), 3u);  // nothing left to clear

  drawn.clear();
  {
    ProgressLine line(
        1000, [&](std::string_view text) { drawn.emplace_back(text); }, start);
    line.advanceAt(10, start + milliseconds(500));
  }
  // A run that stops early still leaves a clean line behind.
  ASSERT_EQ(drawn.size(), 2u);
  EXPECT_EQ(drawn[1], "\r\x1b[K");
}

TEST(ProgressLine, WorkCountsEveryPairOnceAndOncePerPermutation) {
  // 10 SNPs in 2 blocks of 5: combinations (0,1) with 25 pairs, then each
  // block with itself, 10 pairs each.
  BlockTable blocks = listBlockCombinations(10, 2);
  ASSERT_EQ(blocks.blockcombo_amount, 3u);
  blocks.Kbegin = 0;
  blocks.Kend = 3;
  EXPECT_EQ(combinationPairs(blocks, 0) + combinationPairs(blocks, 1) + combinationPairs(blocks, 2), 45u);
  EXPECT_EQ(shareWork(blocks, 0), 45u);
  EXPECT_EQ(shareWork(blocks, 9), 450u);
  blocks.Kbegin = 1;
  EXPECT_EQ(shareWork(blocks, 0), 20u);
}

// The tests run the program with standard error in a file: a whole scan,
// with permutations, prints no trace of the line.
TEST(ProgressLine, NotDrawnWhenStandardErrorIsNoTerminal) {
  ScratchDir dir;
  writeFile(dir / "g.txt", randomGenotypes(8, 30, 90, 0.4).toText());
  const RunResult r = runDyadmill({"-n", "1", "-p", "1", "-i", "g.txt", "-o", "res", "-t", "3", "-r", "4",
                                   "--permutations", "20", "--association", "--score", "--maxT", "--missing"},
                                  dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_FALSE(contains(r.output, "\r")) << r.output;
  EXPECT_FALSE(contains(r.output, "pairs/s")) << r.output;
}

TEST(ProgressLine, CountsTakeThousandsSeparators) {
  EXPECT_EQ(withThousands(0), "0");
  EXPECT_EQ(withThousands(999), "999");
  EXPECT_EQ(withThousands(1000), "1,000");
  EXPECT_EQ(withThousands(1000000), "1,000,000");
  EXPECT_EQ(withThousands(12345678), "12,345,678");
}

}  // namespace
}  // namespace dyadmill::testing
