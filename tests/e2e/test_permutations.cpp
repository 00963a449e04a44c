// Permutation runs: the seeded relabellings, every kept pair's permuted
// values against a from-scratch rescoring, and the adjusted p-values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "blocks.h"
#include "naive_scan.h"
#include "permutation.h"
#include "scan_driver.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

TEST(TraitShuffler, ReplaysTheSameRelabellingsAndKeepsTheCases) {
  const std::vector<std::uint16_t> labels = {1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0};
  auto sequence = [&](std::uint64_t seed) {
    TraitShuffler shuffler(seed, labels);
    std::vector<std::vector<std::uint16_t>> all;
    for (int p = 0; p < 6; ++p) {
      shuffler.shuffle();
      all.push_back(shuffler.labels());
    }
    return all;
  };
  const auto first = sequence(1980);
  EXPECT_EQ(first, sequence(1980));  // reseeding replays the relabellings
  EXPECT_NE(first, sequence(1981));
  for (const auto& permuted : first) {
    EXPECT_EQ(std::count(permuted.begin(), permuted.end(), 1), 4);
    EXPECT_NE(permuted, labels);
  }
  // Each permutation shuffles the previous one's labels, with exactly
  // n - 1 draws: the same as a plain loop over rand().
  std::vector<int> as_int(labels.begin(), labels.end());
  const auto expected = shuffledLabels(as_int, 1980, 6);
  for (std::size_t p = 0; p < expected.size(); ++p) {
    EXPECT_TRUE(std::equal(expected[p].begin(), expected[p].end(), first[p].begin())) << p;
  }
  // A single subject needs no draw at all.
  TraitShuffler single(5, {1});
  single.shuffle();
  EXPECT_EQ(single.labels(), std::vector<std::uint16_t>{1});
  // The generator is a private copy of the C library's: shuffling leaves
  // the program's rand() where it was.
  std::srand(5);
  const int next = std::rand();
  std::srand(5);
  TraitShuffler shuffler(5, labels);
  shuffler.shuffle();
  EXPECT_EQ(std::rand(), next);
}

struct PermutationMode {
  bool epistasis;
  bool score;
  bool missing;
  bool minP;
};

void PrintTo(const PermutationMode& m, std::ostream* os) {
  *os << (m.epistasis ? "epistasis " : "association ") << (m.score ? "score " : "likelihood ")
      << (m.missing ? "missing " : "nomissing ") << (m.minP ? "minP" : "maxT");
}

class PermutationsMatchBruteForce : public ::testing::TestWithParam<PermutationMode> {};

// Three blocks, so that the relabelling of permutation k must be the same in
// every combination and the carried screening values cross combinations.
TEST_P(PermutationsMatchBruteForce, PermutedValuesAndAdjustedPValues) {
  const PermutationMode m = GetParam();
  GenotypeData data = randomGenotypes(4242, 12, 90, 0.4, m.missing ? 0.06 : 0.0);
  RunParameters params;
  params.hypothesisOption = m.epistasis ? 1 : 0;
  params.testTypeOption = m.score ? 1 : 0;
  params.missingGenoOption = m.missing ? 1 : 0;
  params.algoOption = m.minP ? 1 : 0;
  params.thresholdParam = m.minP ? 0.3f : (m.epistasis ? 2.0f : 8.0f);
  params.permutationParam = 19;
  params.randomParam = 1980;
  params.processAmount = 1;
  params.blockAmount = 3;

  const std::vector<NaivePair> kept = naiveScan(params, data);
  ASSERT_GE(kept.size(), 4u);
  const auto expected_values = naivePermutationValues(params, data, 3);

  // In process, for the exact doubles; with the run's relabellings kept,
  // and drawn again in every combination.
  const GenotypeStore store = loadStore(data, params);
  RunParameters run_params = params;
  for (const std::uint64_t budget : {kDefaultRelabellingBudget, std::uint64_t{0}}) {
    SCOPED_TRACE("relabelling budget " + std::to_string(budget));
    setRelabellingBudget(budget);
    BlockTable blocks;
    ::testing::internal::CaptureStdout();
    ASSERT_FALSE(formBlocks(run_params, store.snp_amount, blocks).stopped());
    ScanContext ctx(run_params, store, blocks);
    const Outcome scanned = scanBlockCombinations(ctx, ScanPath::Fast);
    setRelabellingBudget(kDefaultRelabellingBudget);
    const std::string console = ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(scanned.stopped()) << console;
    ASSERT_EQ(ctx.relabellings.empty(), budget == 0);
    ASSERT_EQ(ctx.top_vect.size(), kept.size());
    for (const TestStat2DObject& pair : ctx.top_vect) {
      const auto found = expected_values.find({pair.i, pair.j});
      ASSERT_NE(found, expected_values.end()) << pair.i << "," << pair.j;
      ASSERT_EQ(pair.permutValues.size(), 19u);
      for (std::size_t p = 0; p < 19; ++p) {
        EXPECT_DOUBLE_EQ(pair.permutValues[p], found->second[p]) << pair.i << "," << pair.j << " permutation " << p + 1;
        if (m.minP) {
          EXPECT_GE(pair.permutValues[p], 0.0);
          EXPECT_LE(pair.permutValues[p], 1.0);
        }
      }
    }
  }

  // The real binary's results file carries the adjusted p-values.
  ScratchDir dir;
  writeFile(dir / "data.txt", data.toText());
  std::ostringstream threshold;
  threshold << params.thresholdParam;
  const RunResult run = runDyadmill({"-n",
                                     "1",
                                     "-p",
                                     "1",
                                     "-i",
                                     "data.txt",
                                     "-o",
                                     "res",
                                     "-t",
                                     threshold.str(),
                                     "-b",
                                     "3",
                                     "-r",
                                     "1980",
                                     "--permutations",
                                     "19",
                                     m.epistasis ? "--epistasis" : "--association",
                                     m.score ? "--score" : "--likelihood",
                                     m.missing ? "--missing" : "--nomissing",
                                     m.minP ? "--minP" : "--maxT"},
                                    dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const std::vector<std::string> lines = splitLines(readFile(dir / "res.txt"));
  ASSERT_EQ(lines.size(), kept.size() + 1);
  EXPECT_TRUE(contains(lines[0], "DF_interaction\tp-value(19 permutations based)"));
  std::vector<std::string> expected_lines;
  for (const auto& [pair, adjusted] : naiveAdjustedPValues(params, kept, expected_values)) {
    char text[128];
    std::snprintf(text, sizeof text, "%s\t%s\t%g\t%u\t%g", data.names[pair.i].c_str(), data.names[pair.j].c_str(),
                  pair.value, static_cast<unsigned>(pair.df), adjusted);
    expected_lines.push_back(text);
  }
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected_lines);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PermutationsMatchBruteForce,
    ::testing::Values(PermutationMode{false, false, false, false}, PermutationMode{false, true, true, false},
                      PermutationMode{false, false, true, true}, PermutationMode{true, false, false, false},
                      PermutationMode{true, false, true, false}, PermutationMode{true, true, false, true},
                      PermutationMode{true, false, false, true}, PermutationMode{true, false, true, true}));

std::vector<std::string> permutationRun(const std::string& seed, const std::string& permutations) {
  return {"-n",
          "1",
          "-p",
          "1",
          "-i",
          "data.txt",
          "-o",
          "res",
          "-t",
          "3",
          "-r",
          seed,
          "--permutations",
          permutations,
          "--association",
          "--likelihood",
          "--maxT",
          "--nomissing"};
}

TEST(PermutationRuns, SameSeedSameValuesOtherSeedOtherValues) {
  ScratchDir dir;
  writeFile(dir / "data.txt", randomGenotypes(31, 10, 80).toText());
  ASSERT_EQ(runDyadmill(permutationRun("7", "25"), dir.path()).exit_status, 0);
  const std::string first = readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt");
  ASSERT_EQ(runDyadmill(permutationRun("7", "25"), dir.path()).exit_status, 0);
  EXPECT_EQ(readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt"), first);
  ASSERT_EQ(runDyadmill(permutationRun("-8", "25"), dir.path()).exit_status, 0);
  EXPECT_NE(readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt"), first);
  EXPECT_FALSE(first.empty());
}

std::size_t occurrences(const std::string& text, const std::string& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

// The permutation phase says once per block combination that it is done,
// after one estimate at the combination's second permutation, and prints
// nothing per permutation; the log counts the permutations.
TEST(PermutationRuns, ReportEachCombinationOnceAndTheEstimateOnlyAtTheSecond) {
  ScratchDir dir;
  writeFile(dir / "data.txt", randomGenotypes(31, 10, 80).toText());
  std::vector<std::string> args = permutationRun("7", "3");
  args.insert(args.end(), {"-b", "2"});
  const RunResult run = runDyadmill(args, dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_TRUE(
      contains(run.output, "INFO: PERMUTATION MODE: Assigning memory to store subject counts (cases, controls)\n"));
  EXPECT_FALSE(contains(run.output, "INFO: Number of significant loci pairs identified so far"));
  EXPECT_FALSE(contains(run.output, "permutation #"));
  EXPECT_FALSE(contains(run.output, "INFO PERMUTATION TIME"));
  const std::string estimate = "\n\nINFO PERMUTATION: \nEstimated TOTAL time of the run: ";
  EXPECT_EQ(occurrences(run.output, estimate), 3u);
  std::size_t previous_done = 0;
  for (const std::string k : {"1", "2", "3"}) {
    SCOPED_TRACE("combination " + k);
    const std::string done = "\nINFO: Permutations of block combination " + k + " out of 3: 3 done\n";
    ASSERT_EQ(occurrences(run.output, done), 1u) << run.output;
    const std::size_t processing = run.output.find("INFO: Processing data block combinatation " + k + " out of 3 \n");
    ASSERT_NE(processing, std::string::npos);
    const std::size_t done_at = run.output.find(done);
    // Within its combination: after the combination starts and its estimate,
    // before the next combination starts.
    EXPECT_GT(processing, previous_done);
    const std::size_t estimate_at = run.output.find(estimate, processing);
    ASSERT_NE(estimate_at, std::string::npos);
    EXPECT_LT(estimate_at, done_at);
    previous_done = done_at;
  }
  EXPECT_TRUE(contains(readFile(dir / "res.log"), "\npermutations done: 9 (3 in each of 3 block combinations)\n"));
}

// Counters and loops are wide enough for more permutations than a 16-bit
// count holds.
TEST(PermutationRuns, MoreThan65535Permutations) {
  ScratchDir dir;
  writeFile(dir / "data.txt", "Trait a b\n1 1 1\n1 1 2\n1 0 1\n0 2 2\n0 2 0\n0 1 0\n0 0 2\n1 2 1\n");
  const RunResult run = runDyadmill({"-n", "1", "-p", "1", "-i", "data.txt", "-o", "res", "-t", "0", "-r", "3",
                                     "--permutations", "70001", "--association", "--score", "--maxT", "--nomissing"},
                                    dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output.substr(run.output.size() - 500);
  const std::vector<std::string> lines = splitLines(readFile(dir / "res.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(contains(lines[0], "p-value(70001 permutations based)"));
  const std::string matrix = readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt");
  EXPECT_EQ(std::count(matrix.begin(), matrix.end(), '\t'), 1 + 2 * 70001);
  const double adjusted = std::stod(lines[1].substr(lines[1].rfind('\t') + 1));
  EXPECT_GT(adjusted, 0.0);
  EXPECT_LE(adjusted, 1.0);
}

}  // namespace
}  // namespace dyadmill::testing
