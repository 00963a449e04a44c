// Partial files of format v2 with the workers' genome-wide extremes
// (--fwer): written, read back and combined; damaged or mismatched fwer data
// refused; and the rules for v1 files.
#include <gtest/gtest.h>

#include "console.h"
#include "partial_results.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

// Three workers over 10 SNPs in 2 blocks (one combination each), 3
// permutations; worker 1 keeps a pair across the blocks.
class FwerFiles : public ::testing::Test {
 protected:
  RunParameters params(bool fwer, bool minP = false) const {
    RunParameters p;
    p.outFile = (dir_ / "out").string();
    p.processAmount = 3;
    p.processID = 0;
    p.blockAmount = 2;
    p.permutationParam = 3;
    p.randomParam = 5;
    p.fwerOption = p.tableOption = fwer;
    p.algoOption = minP ? 1 : 0;
    p.thresholdParam = minP ? 0.05f : 9.5f;
    return p;
  }
  std::string name(int k) const { return (dir_ / ("out_partial" + std::to_string(k) + ".txt")).string(); }

  void writeWorkers(const RunParameters& p, const std::vector<std::vector<double>>& extremes) const {
    TestStat2DObject pair;
    pair.i = 1;
    pair.j = 7;
    pair.DegFreedom = 4;
    pair.testStatValue = p.minP() ? 0.001 : 12.5;
    pair.permutValues = {0.5, 0.25, 1};
    for (int k = 1; k <= 3; ++k) {
      RunParameters worker = p;
      worker.processID = static_cast<std::uint16_t>(k);
      ConsoleCapture quiet(ConsoleCapture::Mode::Discard);
      const TopVector top = k == 1 ? TopVector{pair} : TopVector{};
      ASSERT_FALSE(writePartialFile(worker, provenanceOf(worker, 2, names_, 100), top, extremes[k - 1]).stopped());
    }
  }
  // The set, or with `only` that one file as --check-partial reads it.
  Outcome assemble(const RunParameters& p, std::vector<double>& fwer, std::string& out, std::uint64_t only = 0) {
    top_.clear();
    console().startCapture();
    const Outcome o = only == 0 ? assemblePartialFiles(p, names_, top_, fwer)
                                : assemblePartialFiles(p, names_, top_, fwer, only, only, true);
    out = console().endCapture();
    return o;
  }
  void editFirstLines(int k, const std::string& line1, const std::string& line2) const {
    std::vector<std::string> lines = splitLines(readFile(name(k)));
    if (!line1.empty()) lines[0] = line1;
    lines[1] = line2;
    std::string text;
    for (const std::string& line : lines) text += line.empty() ? "" : line + "\n";
    writeFile(name(k), text);
  }
  // Rewrites worker k's file as format v1 wrote it: no fwer field.
  void toVersionOne(int k) const {
    std::string first = splitLines(readFile(name(k)))[0];
    first.replace(first.find(" v2 "), 4, " v1 ");
    first.erase(first.find(" fwer=0"), 7);
    editFirstLines(k, first, splitLines(readFile(name(k)))[1]);
  }
  void expectRefused(const RunParameters& p, int k, const std::string& what, std::uint64_t only = 0) {
    std::vector<double> fwer;
    std::string out;
    EXPECT_EQ(assemble(p, fwer, out, only).exitStatus(), 255) << out;
    EXPECT_TRUE(contains(out, "ERROR: " + name(k) + ", ") || contains(out, "ERROR: Partial output file " + name(k)))
        << out;
    EXPECT_TRUE(contains(out, what)) << out;
  }

  ScratchDir dir_;
  TopVector top_;
  std::vector<std::string> names_ = {"rs0", "rs1", "rs2", "rs3", "rs4", "rs5", "rs6", "rs7", "rs8", "rs9"};
};

TEST_F(FwerFiles, ExtremesRoundTripAndCombineOverTheFiles) {
  for (const bool minP : {false, true}) {
    SCOPED_TRACE(minP ? "minP" : "maxT");
    const std::vector<std::vector<double>> extremes =
        minP ? std::vector<std::vector<double>>{{0.01, 0.5, 1.0 / 3.0}, {0.2, 1e-300, 1}, {1, 1, 1}}
             : std::vector<std::vector<double>>{{14, 20.5, 1.0 / 3.0}, {10, 2, 0}, {0, 30.125, 0}};
    writeWorkers(params(true, minP), extremes);
    const std::vector<std::string> lines = splitLines(readFile(name(1)));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(contains(lines[0], " fwer=1 ")) << lines[0];
    EXPECT_EQ(lines[2], minP ? "# fwer=0.01,0.5,0.3333333333333333" : "# fwer=14,20.5,0.3333333333333333");
    std::vector<double> fwer;
    std::string out;
    ASSERT_FALSE(assemble(params(true, minP), fwer, out).stopped()) << out;
    EXPECT_EQ(top_.size(), 1u);
    EXPECT_EQ(fwer,
              minP ? (std::vector<double>{0.01, 1e-300, 1.0 / 3.0}) : (std::vector<double>{14, 30.125, 1.0 / 3.0}));
    ASSERT_FALSE(assemble(params(true, minP), fwer, out, 2).stopped()) << out;
    EXPECT_EQ(fwer, extremes[1]);
  }
  // Without --fwer: no fwer line, no extremes.
  writeWorkers(params(false), {{}, {}, {}});
  EXPECT_EQ(splitLines(readFile(name(2))).size(), 2u);
  std::vector<double> fwer = {1};
  std::string out;
  ASSERT_FALSE(assemble(params(false), fwer, out).stopped()) << out;
  EXPECT_TRUE(fwer.empty());
}

TEST_F(FwerFiles, DamagedOrMismatchedExtremesAreRefused) {
  const struct {
    bool minP;
    std::string line2;  // of worker 2, whose line 2 is its fwer line
    std::string message;
  } cases[] = {
      {false, "# fwer=1,2", "line 2: the fwer line holds 2 values but --permutations is 3"},
      {false, "# fwer=1,x,1", "line 2: fwer value 2 (\"x\") is not a number"},
      {false, "# fwer=1,nan,1", "line 2: fwer value 2 (nan) is not a finite number"},
      {false, "# fwer=1,1,inf", "line 2: fwer value 3 (inf) is not a finite number"},
      {false, "# fwer=-1,1,1", "line 2: fwer value 1 (-1) is negative"},
      {true, "# fwer=0.5,1.5,0", "line 2: fwer value 2 (1.5) is not a p-value in [0, 1]"},
      {false, "", "line 2: the provenance line records fwer=1 but no fwer line comes before the pair-count line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    writeWorkers(params(true, c.minP), {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
    editFirstLines(2, "", c.line2);
    expectRefused(params(true, c.minP), 2, c.message);
    expectRefused(params(true, c.minP), 2, c.message, 2);  // --check-partial alike
  }
  // --fwer exactly when the workers had it.
  writeWorkers(params(true), {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  expectRefused(params(false), 1, "does not belong to this run: --fwer is 1 in the file but 0 in this run");
  writeWorkers(params(false), {{}, {}, {}});
  expectRefused(params(true), 1, "does not belong to this run: --fwer is 0 in the file but 1 in this run");
}

TEST_F(FwerFiles, VersionOneSetsAreReadAloneAndNeverWithFwer) {
  writeWorkers(params(false), {{}, {}, {}});
  for (int k = 1; k <= 3; ++k) toVersionOne(k);
  std::vector<double> fwer;
  std::string out;
  ASSERT_FALSE(assemble(params(false), fwer, out).stopped()) << out;
  ASSERT_EQ(top_.size(), 1u);
  EXPECT_EQ(top_[0].testStatValue, 12.5);
  EXPECT_EQ(top_[0].DegFreedom, 4);
  expectRefused(params(true), 1,
                "is in partial file format v1, written by an earlier version, and holds no genome-wide");
  expectRefused(params(false), 2, "is in partial file format v1", 2);  // could not join what its worker writes now

  // A set mixing the versions names the v1 file, wherever it stands.
  for (const int old : {2, 1}) {
    writeWorkers(params(false), {{}, {}, {}});
    toVersionOne(old);
    expectRefused(params(false), old,
                  "does not belong to this run: it is in partial file format v1, written by an earlier version, but " +
                      name(old == 1 ? 2 : 1) + " is in format v2");
  }
}

// The fwer line lies between the provenance and pair-count lines, so the
// hash covers it: another plausible extreme is refused, checked alone too.
TEST_F(FwerFiles, AnEditedExtremeFailsTheHash) {
  writeWorkers(params(true), {{14, 20.5, 3}, {10, 2, 0}, {0, 30.125, 0}});
  std::vector<std::string> lines = splitLines(readFile(name(2)));
  ASSERT_EQ(lines[1], "# fwer=10,2,0");
  lines[1] = "# fwer=10,2,0.5";
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  writeFile(name(2), text);
  for (const std::uint64_t only : {0, 2}) {
    std::vector<double> fwer;
    std::string out;
    EXPECT_EQ(assemble(params(true), fwer, out, only).exitStatus(), 255) << out;
    EXPECT_TRUE(contains(out, "ERROR: " + name(2) + ": its pair lines do not match the hash in its last line")) << out;
  }
}

}  // namespace
}  // namespace dyadmill::testing
