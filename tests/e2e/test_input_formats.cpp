// The three input forms (text, gzip-compressed text, binary fileset) must
// give the same results and matrix files in every mode, in one process and
// split among several.
#include <gtest/gtest.h>

#include "fileset_writer.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

using FormatMode = RunMode;

std::vector<std::string> matrixFiles(const FormatMode& m) {
  return m.minP ? std::vector<std::string>{"SNP_pairs_and_permut_p_vals_minP.txt", "matrix_minP.txt"}
                : std::vector<std::string>{"SNP_pairs_and_permut_p_vals_maxT.txt"};
}

// The results file and the matrix files of a run folder, in one string.
std::string outputsOf(const FormatMode& m, const std::filesystem::path& folder) {
  std::string all = readFile(folder / "res.txt");
  for (const std::string& name : matrixFiles(m)) all += "|" + name + "|" + readFile(folder / name);
  return all;
}

class InputFormats : public ::testing::TestWithParam<FormatMode> {
 protected:
  void SetUp() override {
    const FormatMode m = GetParam();
    // 117 subjects with a phenotype and 8 without: 125 in the fileset, so
    // the last byte of every SNP holds one subject and three padding codes.
    const GenotypeData data = randomGenotypes(4242, 13, 117, 0.45, m.missing ? 0.06 : 0.0);
    writeFile(dir_ / "data.txt", data.toText());
    writeGzipFile(dir_ / "data.txt.gz", data.toText());
    writeFileset(dir_ / "data", makeFileset(data, 8));
  }

  // A single-process run on `input` in a folder of its own.
  std::string single(const std::string& input, const std::string& folder) {
    std::filesystem::create_directory(dir_ / folder);
    const RunResult run = runDyadmill(runModeOptions(GetParam(), "../" + input, "1", "1"), dir_ / folder);
    EXPECT_EQ(run.exit_status, 0) << run.output;
    return outputsOf(GetParam(), dir_ / folder);
  }

  // Two scanning processes and the assembly.
  std::string split(const std::string& input, const std::string& folder) {
    std::filesystem::create_directory(dir_ / folder);
    for (const char* p : {"1", "2", "0"}) {
      const RunResult run = runDyadmill(runModeOptions(GetParam(), "../" + input, "2", p), dir_ / folder);
      EXPECT_EQ(run.exit_status, 0) << run.output;
    }
    return outputsOf(GetParam(), dir_ / folder);
  }

  ScratchDir dir_;
};

TEST_P(InputFormats, GiveByteIdenticalResultsAndMatrixFiles) {
  const std::string text = single("data.txt", "text");
  EXPECT_GT(splitLines(text).size(), 4u) << "the threshold should keep some pairs";
  EXPECT_EQ(single("data.txt.gz", "gzip"), text);
  EXPECT_EQ(single("data.bed", "bed"), text);
}

TEST_P(InputFormats, SplitRunsOnEveryFormMatchTheSingleTextRun) {
  const FormatMode m = GetParam();
  // Under minP with the epistasis likelihood test and permutations, the
  // screening value carried between a process's combinations differs from
  // a single run's by design.
  if (m.minP && m.epistasis && !m.score && m.permutations > 0) GTEST_SKIP();
  const std::string text = single("data.txt", "text");
  EXPECT_EQ(split("data.txt.gz", "gzip-split"), text);
  EXPECT_EQ(split("data.bed", "bed-split"), text);
}

std::vector<FormatMode> formatModes() {
  std::vector<FormatMode> modes;
  for (bool epistasis : {false, true}) {
    for (bool score : {false, true}) {
      for (bool missing : {false, true}) {
        for (bool minP : {false, true}) {
          for (int permutations : {0, 6}) modes.push_back({epistasis, score, missing, minP, permutations});
        }
      }
    }
  }
  return modes;
}

INSTANTIATE_TEST_SUITE_P(Modes, InputFormats, ::testing::ValuesIn(formatModes()));

}  // namespace
}  // namespace dyadmill::testing

namespace dyadmill::testing {
namespace {

std::vector<std::string> tableFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    const auto tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string general(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", value);
  return text;
}

// The table beside the results file, from real runs: the same pairs in the
// same order, the loci of the map, the statistic also under minP, and the
// results file's permutation p-values; written by the assembly in a split
// run, identical to a single run's.
TEST(ResultsTableRuns, FollowTheResultsFileLineByLine) {
  ScratchDir dir;
  const GenotypeData data = randomGenotypes(2024, 12, 150, 0.4, 0.03);
  writeFileset(dir / "data", makeFileset(data, 5));
  writeFile(dir / "data.txt", data.toText());
  for (bool minP : {false, true}) {
    SCOPED_TRACE(minP ? "minP" : "maxT");
    const FormatMode m{false, true, true, minP, 9};
    std::vector<std::string> args = runModeOptions(m, "../data.bed", "1", "1");
    args.push_back("--table");
    const std::filesystem::path single = dir / (minP ? "single-minP" : "single-maxT");
    std::filesystem::create_directory(single);
    RunResult run = runDyadmill(args, single);
    ASSERT_EQ(run.exit_status, 0) << run.output;
    const std::vector<std::string> results = splitLines(readFile(single / "res.txt"));
    const std::vector<std::string> table = splitLines(readFile(single / "res.tsv"));
    ASSERT_GT(results.size(), 3u);
    ASSERT_EQ(table.size(), results.size());
    EXPECT_EQ(table[0], "CHR1\tBP1\tSNP1\tCHR2\tBP2\tSNP2\tSTAT\tDF\tP\tP_BONF\tP_PERM");
    for (std::size_t x = 1; x < table.size(); ++x) {
      const std::vector<std::string> t = tableFields(table[x]);
      const std::vector<std::string> r = tableFields(results[x]);
      ASSERT_EQ(t.size(), 11u) << table[x];
      const std::size_t i = std::stoul(r[0].substr(2)) - 1000;
      const std::size_t j = std::stoul(r[1].substr(2)) - 1000;
      EXPECT_EQ(t[0], chromosomeOf(i));
      EXPECT_EQ(t[1], positionOf(i));
      EXPECT_EQ(t[2], r[0]);
      EXPECT_EQ(t[3], chromosomeOf(j));
      EXPECT_EQ(t[4], positionOf(j));
      EXPECT_EQ(t[5], r[1]);
      EXPECT_EQ(general(std::stod(minP ? t[8] : t[6])), r[2]);
      EXPECT_EQ(t[7], r[3]);
      EXPECT_EQ(general(std::stod(t[10])), r[4]);
      // Bonferroni over the 66 pairs of 12 SNPs.
      EXPECT_DOUBLE_EQ(std::stod(t[9]), std::min(1.0, std::stod(t[8]) * 66));
    }

    const std::filesystem::path split = dir / (minP ? "split-minP" : "split-maxT");
    std::filesystem::create_directory(split);
    for (const char* p : {"1", "2", "0"}) {
      std::vector<std::string> part = runModeOptions(m, "../data.bed", "2", p);
      part.push_back("--table");
      run = runDyadmill(part, split);
      ASSERT_EQ(run.exit_status, 0) << run.output;
      if (std::string(p) != "0") {
        EXPECT_FALSE(std::filesystem::exists(split / "res.tsv"));
      }
    }
    EXPECT_EQ(readFile(split / "res.tsv"), readFile(single / "res.tsv"));
  }

  // Text input has no map; without --table there is no table.
  std::filesystem::create_directory(dir / "text");
  std::vector<std::string> args = runModeOptions({false, true, true, false, 0}, "../data.txt", "1", "1");
  args.push_back("--table");
  RunResult run = runDyadmill(args, dir / "text");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const std::vector<std::string> table = splitLines(readFile(dir / "text" / "res.tsv"));
  ASSERT_GT(table.size(), 1u);
  EXPECT_EQ(table[0], "CHR1\tBP1\tSNP1\tCHR2\tBP2\tSNP2\tSTAT\tDF\tP\tP_BONF");
  EXPECT_TRUE(table[1].starts_with("NA\tNA\trs")) << table[1];
  args.pop_back();
  std::filesystem::create_directory(dir / "plain");
  run = runDyadmill(args, dir / "plain");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_FALSE(std::filesystem::exists(dir / "plain" / "res.tsv"));
}

}  // namespace
}  // namespace dyadmill::testing
