// A run split among processes must write what a single process writes.
#include <gtest/gtest.h>

#include "test_support.h"

namespace dyadmill::testing {
namespace {

using SplitMode = RunMode;

class SplitRunMatchesSingleRun : public ::testing::TestWithParam<SplitMode> {};

TEST_P(SplitRunMatchesSingleRun, ResultsAndMatrixFilesAreIdentical) {
  const SplitMode m = GetParam();
  ScratchDir dir;
  writeFile(dir / "data.txt", randomGenotypes(808, 15, 110, 0.35, m.missing ? 0.05 : 0.0).toText());
  std::filesystem::create_directory(dir / "single");
  std::filesystem::create_directory(dir / "split");

  RunResult run = runDyadmill(runModeOptions(m, "../data.txt", "1", "1"), dir / "single");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  for (const char* k : {"1", "2", "3"}) {
    run = runDyadmill(runModeOptions(m, "../data.txt", "3", k), dir / "split");
    ASSERT_EQ(run.exit_status, 0) << run.output;
    EXPECT_TRUE(std::filesystem::exists(dir / "split" / (std::string("res_partial") + k + ".txt")));
    EXPECT_FALSE(std::filesystem::exists(dir / "split" / "res.txt"));
  }
  run = runDyadmill(runModeOptions(m, "../data.txt", "3", "0"), dir / "split");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "ASSEMBLING PARTIAL RESULTS FILES ...\n"));
  EXPECT_FALSE(contains(run.output, "INFO: Counting number of lines"));

  const std::string results = readFile(dir / "single" / "res.txt");
  EXPECT_GT(splitLines(results).size(), 3u);
  EXPECT_EQ(readFile(dir / "split" / "res.txt"), results);
  const std::vector<std::string> matrices =
      m.minP ? std::vector<std::string>{"SNP_pairs_and_permut_p_vals_minP.txt", "matrix_minP.txt"}
             : std::vector<std::string>{"SNP_pairs_and_permut_p_vals_maxT.txt"};
  for (const std::string& name : matrices) {
    EXPECT_EQ(readFile(dir / "split" / name), readFile(dir / "single" / name)) << name;
  }
}

std::vector<SplitMode> splitModes() {
  std::vector<SplitMode> modes;
  for (bool epistasis : {false, true}) {
    for (bool score : {false, true}) {
      for (bool missing : {false, true}) {
        for (bool minP : {false, true}) {
          for (int permutations : {0, 7}) {
            // Under minP with the epistasis likelihood test, the screening
            // value carried between a process's combinations differs by design.
            if (minP && epistasis && !score && permutations > 0) continue;
            modes.push_back({epistasis, score, missing, minP, permutations});
          }
        }
      }
    }
  }
  return modes;
}

INSTANTIATE_TEST_SUITE_P(Modes, SplitRunMatchesSingleRun, ::testing::ValuesIn(splitModes()));

TEST(SplitRun, WorkersWithoutPairsWriteEmptyFilesAndTheAssemblyStillWorks) {
  ScratchDir dir;
  writeFile(dir / "data.txt", randomGenotypes(9, 10, 60).toText());
  const std::vector<std::string> base = {"-n", "2",  "-i",   "data.txt",      "-o",      "res",    "-b",
                                         "3",  "-t", "1000", "--association", "--score", "--maxT", "--nomissing",
                                         "-p"};
  for (const char* k : {"1", "2", "0"}) {
    std::vector<std::string> args = base;
    args.push_back(k);
    const RunResult run = runDyadmill(args, dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.output;
    if (k[0] == '1') {
      EXPECT_TRUE(contains(run.output, "is estimated to be of 0.000 MBs in size\n"));
      // No pair lines, only the provenance line and the count.
      const std::vector<std::string> lines = splitLines(readFile(dir / "res_partial1.txt"));
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0].rfind("# dyadmill-partial v2 n=2 p=1 b=3 b_used=3 ", 0), 0u) << lines[0];
      // The hash of no bytes at all.
      EXPECT_EQ(lines[1], "# pairs=0 hash=xxh3:2d06800538d394c2");
    }
  }
  EXPECT_EQ(readFile(dir / "res.txt"), "FistSNP\tSecondSNP\tRaw_Statistic(ChiSq)\tDF_interaction\t\n");
}

}  // namespace
}  // namespace dyadmill::testing
