// End-to-end scans: the real binary against a plain subject-by-subject scan,
// in every mode, and the scan's limits and failure paths.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "naive_scan.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

struct Mode : ScanMode {
  const char* blocks;  // "" = automatic
};

std::string describe(const Mode& m) {
  std::string name = std::string(m.epistasis ? "Epistasis" : "Association") + (m.score ? "Score" : "Likelihood") +
                     (m.missing ? "Missing" : "NoMissing") + (m.minP ? "MinP" : "MaxT") + "M" +
                     std::to_string(m.min_cell) + "B" + (m.blocks[0] != '\0' ? m.blocks : "auto");
  return name;
}

RunParameters parametersOf(const Mode& m, float threshold) {
  RunParameters p = modeParameters(m);
  p.thresholdParam = threshold;
  return p;
}

std::vector<std::string> argumentsOf(const Mode& m, const std::string& threshold) {
  std::vector<std::string> args = {"-n", "1",   "-p", "1",       "-i", "data.txt",
                                   "-o", "res", "-t", threshold, "-m", std::to_string(m.min_cell)};
  args.push_back(m.epistasis ? "--epistasis" : "--association");
  args.push_back(m.score ? "--score" : "--likelihood");
  args.push_back(m.missing ? "--missing" : "--nomissing");
  args.push_back(m.minP ? "--minP" : "--maxT");
  if (m.blocks[0] != '\0') {
    args.push_back("-b");
    args.push_back(m.blocks);
  }
  return args;
}

void PrintTo(const Mode& m, std::ostream* os) {
  *os << describe(m);
}

class ScanMatchesNaiveScan : public ::testing::TestWithParam<Mode> {};

TEST_P(ScanMatchesNaiveScan, ResultsFileHoldsExactlyTheNaivelyKeptPairs) {
  const Mode m = GetParam();
  const std::string threshold = m.minP ? "0.35" : (m.epistasis ? "2.5" : "9");
  GenotypeData data = randomGenotypes(1234, 14, 130, 0.4, m.missing ? 0.08 : 0.0);
  // SNPs without a genotype level give tables with empty rows and columns,
  // cell (0, 0) included.
  for (std::vector<int>& subject : data.genotypes) {
    if (subject[0] == 0) subject[0] = 1;
    if (subject[5] == 2) subject[5] = 1;
    if (subject[9] == 0) subject[9] = 2;
  }
  const RunParameters params = parametersOf(m, std::strtof(threshold.c_str(), nullptr));
  const std::vector<NaivePair> kept = naiveScan(params, data);
  ASSERT_GT(kept.size(), 3u) << "the threshold should keep some pairs";
  ASSERT_LT(kept.size(), 91u) << "the threshold should reject some pairs";

  ScratchDir dir;
  writeFile(dir / "data.txt", data.toText());
  const RunResult run = runDyadmill(argumentsOf(m, threshold), dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;

  std::vector<std::string> lines = splitLines(readFile(dir / "res.txt"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], std::string("FistSNP\tSecondSNP\t") + (m.minP ? "p-value(raw)\t" : "Raw_Statistic(ChiSq)\t") +
                          "DF_interaction\t");
  std::vector<std::string> body(lines.begin() + 1, lines.end());
  // Most significant first: statistics fall, p-values rise.
  for (std::size_t x = 1; x < body.size(); ++x) {
    const double before = std::stod(body[x - 1].substr(body[x - 1].find('\t', body[x - 1].find('\t') + 1) + 1));
    const double after = std::stod(body[x].substr(body[x].find('\t', body[x].find('\t') + 1) + 1));
    if (m.minP)
      EXPECT_LE(before, after) << x;
    else
      EXPECT_GE(before, after) << x;
  }
  std::sort(body.begin(), body.end());
  EXPECT_EQ(body, expectedResultLines(params, data, kept));

  const std::string matrix = m.minP ? "SNP_pairs_and_permut_p_vals_minP.txt" : "SNP_pairs_and_permut_p_vals_maxT.txt";
  EXPECT_EQ(splitLines(readFile(dir / matrix)).size(), kept.size());
  EXPECT_EQ(m.minP, std::filesystem::exists(dir / "matrix_minP.txt"));
  EXPECT_TRUE(contains(run.output, "INFO: There is total of " + std::to_string(kept.size()) +
                                       " signif. SNP pairs to write to results file\n"));
}

std::vector<Mode> allModes() {
  std::vector<Mode> modes;
  for (const ScanMode& m : everyScanMode({1, 4})) {
    for (const char* blocks : {"", "3", "14"}) modes.push_back({m, blocks});
  }
  return modes;
}

INSTANTIATE_TEST_SUITE_P(EveryMode, ScanMatchesNaiveScan, ::testing::ValuesIn(allModes()),
                         [](const ::testing::TestParamInfo<Mode>& info) { return describe(info.param); });

// Two SNPs whose table puts 4 cases in cell (1, 1) and 4 controls in cell
// (2, 2): the association score is exactly 8 with 1 degree of freedom (two
// occupied cells).
const char* kExactEight = "Trait a b\n1 1 1\n1 1 1\n1 1 1\n1 1 1\n0 2 2\n0 2 2\n0 2 2\n0 2 2\n";

TEST(ScanThreshold, IsStrictAndProgressReportsOncePerCombination) {
  ScratchDir dir;
  writeFile(dir / "data.txt", kExactEight);
  const std::vector<std::string> base = {
      "-n", "1", "-p", "1", "-i", "data.txt", "-o", "res", "--association", "--score", "--maxT", "--nomissing", "-t"};
  std::vector<std::string> at = base;
  at.push_back("8");
  RunResult run = runDyadmill(at, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(readFile(dir / "res.txt"), "FistSNP\tSecondSNP\tRaw_Statistic(ChiSq)\tDF_interaction\t\n");
  // A block of two SNPs has one first SNP: one progress report, no division by zero.
  std::size_t reports = 0;
  for (const std::string& line : splitLines(run.output))
    reports += contains(line, "INFO: Number of significant") ? 1 : 0;
  EXPECT_EQ(reports, 1u);

  std::vector<std::string> below = base;
  below.push_back("7.99");
  run = runDyadmill(below, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(readFile(dir / "res.txt"), "FistSNP\tSecondSNP\tRaw_Statistic(ChiSq)\tDF_interaction\t\na\tb\t8\t1\t\n");
  EXPECT_EQ(readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt"), "a//b\t8\n");
  EXPECT_TRUE(contains(run.output, "INFO: Writing the final 0 MBs output file containing 1 pairs \n"));
  EXPECT_TRUE(contains(run.output, "***Output file name: \"res.txt\"\n"));
  EXPECT_TRUE(contains(run.output, "***Location: " + std::filesystem::canonical(dir.path()).string() + "\n"));
}

TEST(ScanOutput, AnnouncesEveryCombinationAndItsBlock) {
  ScratchDir dir;
  writeFile(dir / "data.txt", randomGenotypes(5, 10, 40).toText());
  const RunResult run = runDyadmill({"-n", "1", "-p", "1", "-i", "data.txt", "-o", "res", "-t", "100", "-b", "3",
                                     "--association", "--likelihood", "--maxT", "--missing"},
                                    dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;
  // Blocks of 4, 3 and 3 SNPs: distinct pairs first, then each block with itself.
  const char* expected[] = {
      "\n\nINFO: Processing data block combinatation 1 out of 6 \n\nINFO: SNPs in the block: 4 \n",
      "\n\nINFO: Processing data block combinatation 3 out of 6 \n\nINFO: SNPs in the block: 3 \n",
      "\n\nINFO: Processing data block combinatation 6 out of 6 \n\nINFO: SNPs in the block: 3 \n"};
  for (const char* piece : expected) EXPECT_TRUE(contains(run.output, piece)) << piece;
  EXPECT_TRUE(contains(run.output,
                       "INFO: Calculating marginal fractions for the 1st marker (BEFORE PERMUTATION if any)\n"
                       "INFO: Allocating memory for final results storage\n"
                       "INFO: Looping over SNP pairs and counting number of cases and countrols for each SNP pair\n"));
  EXPECT_FALSE(contains(run.output, "PERMUTATION MODE"));
}

TEST(ScanOutput, LocationPrintsALongWorkingDirectoryWhole) {
  ScratchDir dir;
  std::filesystem::path deep = dir.path();
  for (int k = 0; k < 6; ++k) deep /= std::string(60, static_cast<char>('a' + k));
  std::filesystem::create_directories(deep);
  writeFile(deep / "data.txt", kExactEight);
  const RunResult run = runDyadmill({"-n", "1", "-p", "1", "-i", "data.txt", "-o", "res", "-t", "1", "--association",
                                     "--score", "--maxT", "--nomissing"},
                                    deep);
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "***Location: " + std::filesystem::canonical(deep).string() + "\n"));
}

// The outputs of a run are committed together: when one cannot be written,
// none replaces the file of an earlier run, the error names the file and
// the reason, and no temporary is left. An output name taken by a folder is
// found before the scan.
TEST(ScanOutput, UnwritableFilesAreReportedAndLeaveNothingBehind) {
  ScratchDir dir;
  writeFile(dir / "data.txt", kExactEight);
  writeFile(dir / "res.txt", "earlier results\n");
  std::filesystem::create_directory(dir / "SNP_pairs_and_permut_p_vals_maxT.txt");
  const std::vector<std::string> args = {
      "-n", "1", "-p", "1", "-i", "data.txt", "-t", "1", "--association", "--score", "--maxT", "--nomissing", "-o"};
  std::vector<std::string> with_output = args;
  with_output.push_back("res");
  RunResult run = runDyadmill(with_output, dir.path());
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output,
                       "ERROR: Output file SNP_pairs_and_permut_p_vals_maxT.txt is a folder; choose another output "
                       "name (-o)\n"))
      << run.output;
  EXPECT_EQ(readFile(dir / "res.txt"), "earlier results\n");

  std::filesystem::remove(dir / "SNP_pairs_and_permut_p_vals_maxT.txt");
  writeFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt", "earlier matrix\n");
  std::filesystem::create_directory(dir / "blocked.txt");
  std::vector<std::string> blocked = args;
  blocked.push_back("blocked");
  run = runDyadmill(blocked, dir.path());
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output, "ERROR: Output file blocked.txt is a folder; choose another output name (-o)\n"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "blocked.txt"));
  EXPECT_EQ(readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt"), "earlier matrix\n");

  std::vector<std::string> missing_folder = args;
  missing_folder.push_back("no/such/folder/res");
  run = runDyadmill(missing_folder, dir.path());
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output, "\nUnable to open OUTPUT file\n"));

  // A successful run replaces the whole set and removes the temporary files
  // its output names were left with by processes that no longer exist (a
  // process id above any the system hands out), not those of live ones.
  const std::string live = "res.txt.tmp" + std::to_string(::getpid());
  writeFile(dir / "res.txt.tmp99999999", "stale");
  writeFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt.tmp99999998", "stale");
  writeFile(dir / live, "busy");
  run = runDyadmill(with_output, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_EQ(readFile(dir / "res.txt"), "FistSNP\tSecondSNP\tRaw_Statistic(ChiSq)\tDF_interaction\t\na\tb\t8\t1\t\n");
  EXPECT_EQ(readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt"), "a//b\t8\n");
  EXPECT_TRUE(std::filesystem::exists(dir / live));
  std::filesystem::remove(dir / live);

  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_FALSE(contains(entry.path().filename().string(), ".tmp")) << entry.path();
  }
}

// Over a million kept pairs: 1415 SNPs give 1,000,405 pairs, and -t -1 keeps
// every one of them (two subjects make every SNP polymorphic, so no pair has
// 0 degrees of freedom).
GenotypeData millionPairs() {
  GenotypeData data = randomGenotypes(77, 1415, 24, 0.4);
  std::fill(data.genotypes[0].begin(), data.genotypes[0].end(), 1);
  std::fill(data.genotypes[1].begin(), data.genotypes[1].end(), 2);
  return data;
}

TEST(ScanStorageLimit, StopsWhenOneCombinationKeepsTooManyPairs) {
  ScratchDir dir;
  writeFile(dir / "data.txt", millionPairs().toText());
  const RunResult run = runDyadmill({"-n", "1", "-p", "1", "-i", "data.txt", "-o", "res", "-t", "-1", "--association",
                                     "--score", "--maxT", "--nomissing"},
                                    dir.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(contains(run.output,
                       "ERROR: Increase current treshold value (-t) of -1.000000 as there are 1000001 "
                       "significant pairs already!\n"));
  EXPECT_FALSE(std::filesystem::exists(dir / "res.txt"));
}

TEST(ScanStorageLimit, StopsWhenTheRunKeepsTooManyPairs) {
  ScratchDir dir;
  writeFile(dir / "data.txt", millionPairs().toText());
  // Blocks of 708 and 707 SNPs: no single combination passes the limit, the
  // third one takes the run over it.
  const RunResult run = runDyadmill({"-n", "1", "-p", "1", "-i", "data.txt", "-o", "res", "-t", "-1", "-b", "2",
                                     "--association", "--score", "--maxT", "--nomissing"},
                                    dir.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_TRUE(contains(run.output,
                       "ERROR (top_vect): Increase treshold value (-t) of -1.000000 as there are 1000405 "
                       "significant pairs already!\nERROR: Aborting to prevent memory issues!....\n"));
  EXPECT_TRUE(contains(run.output, "INFO: Processing data block combinatation 3 out of 3"));
  EXPECT_FALSE(std::filesystem::exists(dir / "res.txt"));
}

}  // namespace
}  // namespace dyadmill::testing
