// The final stage on injected kept pairs: step-down maxT and minP
// p-values, the permutation matrix files and the results file, and with
// --fwer the extremes file, the genome-wide column and threshold.
#include <gtest/gtest.h>

#include <unistd.h>

#include "console.h"
#include "final_stage.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

// Runs the stage inside a scratch folder, where it writes its fixed-name files.
class FinalStage : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(previous_); }

  static TestStat2DObject pair(std::uint64_t i, std::uint64_t j, double value, std::vector<double> permuted,
                               std::uint16_t df = 4) {
    TestStat2DObject p;
    p.i = i;
    p.j = j;
    p.testStatValue = value;
    p.permutValues = std::move(permuted);
    p.DegFreedom = df;
    return p;
  }

  std::string run(RunParameters& params, TopVector& top, std::vector<std::uint64_t>& p_vect) {
    console().startCapture();
    OutputSet outputs;
    p_vect = permutationPValues(params, names_, top, outputs);
    params.outFile = (dir_.path() / "res").string();
    writeResultsFile(params, names_, top, p_vect, outputs);
    EXPECT_TRUE(outputs.commit());
    return console().endCapture();
  }

  ScratchDir dir_;
  std::filesystem::path previous_;
  std::vector<std::string> names_ = {"rs1", "rs2", "rs3", "rs4"};
};

TEST_F(FinalStage, MaxTStepDownOfTheWorkedExample) {
  RunParameters params;
  params.permutationParam = 2;
  // Given out of order: the stage sorts by statistic, largest first.
  TopVector top = {pair(1, 2, 20, {25, 2}), pair(0, 3, 10, {8, 3}), pair(0, 1, 30, {5, 1})};
  std::vector<std::uint64_t> p_vect;
  const std::string out = run(params, top, p_vect);
  EXPECT_EQ(p_vect, (std::vector<std::uint64_t>{1, 2, 2}));
  // The matrix file holds the raw permuted statistics in sorted order.
  EXPECT_EQ(readFile("SNP_pairs_and_permut_p_vals_maxT.txt"),
            "rs1//rs2\t30\t5\t\t1\t\nrs2//rs3\t20\t25\t\t2\t\nrs1//rs4\t10\t8\t\t3\t\n");
  // ... and the list now holds the successive maxima.
  EXPECT_EQ(top[0].permutValues, (std::vector<double>{25, 3}));
  EXPECT_EQ(top[2].permutValues, (std::vector<double>{8, 3}));
  EXPECT_EQ(readFile(dir_ / "res.txt"),
            "FistSNP\tSecondSNP\tRaw_Statistic(ChiSq)\tDF_interaction\tp-value(2 permutations based)\n"
            "rs1\trs2\t30\t4\t0.5\nrs2\trs3\t20\t4\t1\nrs1\trs4\t10\t4\t1\n");
  EXPECT_TRUE(contains(
      out, "INFO: Final results ....\nINFO: There is total of 3 signif. SNP pairs to write to results file\n"));
}

TEST_F(FinalStage, MinPStepDownCountsEqualityAndNeverReportsAboveOne) {
  RunParameters params;
  params.algoOption = 1;
  params.permutationParam = 4;
  TopVector top = {pair(0, 1, 0.01, {0.5, 0.01, 0.2, 0.9}, 2), pair(2, 3, 0.001, {0.3, 0.6, 0.002, 0.7}, 8),
                   pair(1, 3, 0.04, {0.03, 0.001, 0.0005, 0.02}, 1)};
  std::vector<std::uint64_t> p_vect;
  const std::string out = run(params, top, p_vect);
  // Sorted by p-value: 0.001, 0.01, 0.04. Successive minima per permutation:
  // pair 0.04 -> {0.03, 0.001, 0.0005, 0.02}; 0.01 -> {0.03, 0.001, 0.0005,
  // 0.02}; 0.001 -> {0.03, 0.001, 0.0005, 0.02}.
  // Counts (1 + minima <= observed): 0.001: 1 + 2 (0.001 ties, 0.0005) = 3;
  // 0.01: 1 + 2 = 3; 0.04: 1 + 4 = 5 -> reported min(1, 5/4) = 1.
  EXPECT_EQ(p_vect, (std::vector<std::uint64_t>{3, 3, 5}));
  EXPECT_EQ(readFile("SNP_pairs_and_permut_p_vals_minP.txt"),
            "rs3//rs4\t0.001\t0.3\t\t0.6\t\t0.002\t\t0.7\t\n"
            "rs1//rs2\t0.01\t0.5\t\t0.01\t\t0.2\t\t0.9\t\n"
            "rs2//rs4\t0.04\t0.03\t\t0.001\t\t0.0005\t\t0.02\t\n");
  EXPECT_EQ(readFile("matrix_minP.txt"),
            "rs3//rs4\t0.001\t0.03\t\t0.001\t\t0.0005\t\t0.02\t\n"
            "rs1//rs2\t0.01\t0.03\t\t0.001\t\t0.0005\t\t0.02\t\n"
            "rs2//rs4\t0.04\t0.03\t\t0.001\t\t0.0005\t\t0.02\t\n");
  EXPECT_EQ(readFile(dir_ / "res.txt"),
            "FistSNP\tSecondSNP\tp-value(raw)\tDF_interaction\tp-value(4 permutations based)\n"
            "rs3\trs4\t0.001\t8\t0.75\nrs1\trs2\t0.01\t2\t0.75\nrs2\trs4\t0.04\t1\t1\n");
  EXPECT_TRUE(contains(out,
                       "INFO: The permutation based p-values for each signif. SNP pair are written in "
                       "\"sorted_SNP_pairs_and_permut_p_vals_minP.txt\" \nmatrix_minP.txt\n"));
}

TEST_F(FinalStage, MonotonicityRaisesALaterPairToItsPredecessor) {
  RunParameters params;
  params.permutationParam = 3;
  // Pair 20 is exceeded twice, pair 15 never by its own successive maxima
  // (its later pair is weak), yet it must not look more significant.
  TopVector top = {pair(0, 1, 20, {21, 22, 1}), pair(0, 2, 15, {1, 2, 3}), pair(0, 3, 14, {1, 1, 1})};
  std::vector<std::uint64_t> p_vect;
  run(params, top, p_vect);
  EXPECT_EQ(p_vect, (std::vector<std::uint64_t>{3, 3, 3}));
}

TEST_F(FinalStage, WithoutPermutationsOrPairsTheFilesAreBare) {
  RunParameters params;
  TopVector top = {pair(2, 3, 0.000012345, {}), pair(0, 1, 123456789.0, {})};
  std::vector<std::uint64_t> p_vect;
  const std::string out = run(params, top, p_vect);
  EXPECT_EQ(readFile(dir_ / "res.txt"),
            "FistSNP\tSecondSNP\tRaw_Statistic(ChiSq)\tDF_interaction\t\nrs1\trs2\t1.23457e+08\t4\t\n"
            "rs3\trs4\t1.2345e-05\t4\t\n");
  EXPECT_EQ(readFile("SNP_pairs_and_permut_p_vals_maxT.txt"), "rs1//rs2\t1.23457e+08\nrs3//rs4\t1.2345e-05\n");

  TopVector none;
  params = RunParameters{};
  params.algoOption = 1;
  run(params, none, p_vect);
  EXPECT_EQ(readFile(dir_ / "res.txt"), "FistSNP\tSecondSNP\tp-value(raw)\tDF_interaction\t\n");
  EXPECT_EQ(readFile("matrix_minP.txt"), "");
}

// With --fwer the stage adds NAME.fwer, the table's P_FWER column and the
// threshold line, and leaves the results and matrix files as they were.
TEST_F(FinalStage, FwerAddsTheExtremesFileTheColumnAndTheThreshold) {
  const std::string base = (dir_.path() / "res").string();
  const auto stage = [&](bool fwer, TopVector top, const std::vector<double>& extremes, bool minP) {
    RunParameters params;
    params.outFile = base;
    params.algoOption = minP ? 1 : 0;
    params.permutationParam = extremes.size();
    params.fwerOption = params.tableOption = fwer;
    console().startCapture();
    EXPECT_FALSE(runFinalStage(params, names_, top, {}, fwer ? extremes : std::vector<double>{}).stopped());
    return console().endCapture();
  };
  // maxT, 19 permutations (j = 1): 1/3, 2, 3, 4, 18, 6, ..., 19.
  std::vector<double> m(19);
  for (std::size_t k = 0; k < m.size(); ++k) m[k] = static_cast<double>(k + 1);
  m[0] = 1.0 / 3.0;
  m[4] = 18.0;
  const TopVector top = {pair(0, 3, 10.5, std::vector<double>(19, 2.0)), pair(0, 1, 30, std::vector<double>(19, 1.0)),
                         pair(1, 2, 18, std::vector<double>(19, 3.0))};
  const std::string plain_out = stage(false, top, m, false);
  const std::string results = readFile(base + ".txt") + readFile("SNP_pairs_and_permut_p_vals_maxT.txt");
  const std::string out = stage(true, top, m, false);
  EXPECT_EQ(readFile(base + ".txt") + readFile("SNP_pairs_and_permut_p_vals_maxT.txt"), results);
  const std::vector<std::string> fwer_lines = splitLines(readFile(base + ".fwer"));
  ASSERT_EQ(fwer_lines.size(), 20u);
  EXPECT_EQ(fwer_lines[0], "PERM\tMAX_STAT");
  EXPECT_EQ(fwer_lines[1], "1\t0.3333333333333333");
  EXPECT_EQ(fwer_lines[5], "5\t18");
  EXPECT_EQ(fwer_lines[19], "19\t19");
  // Extremes reaching 30: none; 18: two 18s and 19; 10.5: 11..19 and the 18 at 5.
  const std::vector<std::string> rows = splitLines(readFile(base + ".tsv"));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_TRUE(rows[0].ends_with("\tP_PERM\tP_FWER")) << rows[0];
  EXPECT_TRUE(rows[1].ends_with("\t0.05") && rows[2].ends_with("\t0.2") && rows[3].ends_with("\t0.55"))
      << rows[1] << "\n"
      << rows[2] << "\n"
      << rows[3];
  EXPECT_TRUE(contains(out, "\nGenome-wide 5% threshold from 19 permutations: STAT > 19\n")) << out;
  EXPECT_FALSE(contains(plain_out, "Genome-wide"));

  // minP, 10 permutations: P_FWER from the raw p-value, too few for a threshold.
  const std::vector<double> p = {0.0005, 0.002, 0.001, 1, 0.5, 0.25, 0.125, 1e-300, 0.75, 0.9};
  const std::string minp_out = stage(true, {pair(0, 1, 0.001, std::vector<double>(10, 0.5), 2)}, p, true);
  EXPECT_EQ(splitLines(readFile(base + ".fwer"))[0], "PERM\tMIN_P");
  // 0.0005, 0.001 (a tie) and 1e-300 reach 0.001: (1 + 3) / 11.
  const std::string row = splitLines(readFile(base + ".tsv"))[1];
  EXPECT_EQ(std::stod(row.substr(row.rfind('\t') + 1)), 4.0 / 11.0) << row;
  EXPECT_TRUE(contains(minp_out,
                       "\nINFO: 10 permutations are too few for a genome-wide 5% threshold (at least 19 are needed)\n"))
      << minp_out;
}

TEST_F(FinalStage, FwerWithoutOneExtremePerPermutationWritesNothing) {
  RunParameters params;
  params.outFile = (dir_.path() / "res").string();
  params.permutationParam = 3;
  params.fwerOption = params.tableOption = true;
  TopVector top = {pair(0, 1, 30, {1, 2, 3})};
  console().startCapture();
  EXPECT_EQ(runFinalStage(params, names_, top, {}, {5, 6}).exitStatus(), 255);
  const std::string out = console().endCapture();
  EXPECT_TRUE(contains(out, "ERROR: --fwer: 2 genome-wide permutation extremes for 3 permutations")) << out;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "res.txt"));
}

TEST_F(FinalStage, SizeLineRoundsDownToWholeMegabytes) {
  RunParameters params;
  std::vector<std::uint64_t> p_vect;
  TopVector top(41667, pair(0, 1, 5, {}));
  EXPECT_TRUE(
      contains(run(params, top, p_vect), "INFO: Writing the final 1 MBs output file containing 41667 pairs \n"));
  top.pop_back();
  params = RunParameters{};
  EXPECT_TRUE(
      contains(run(params, top, p_vect), "INFO: Writing the final 0 MBs output file containing 41666 pairs \n"));
}

}  // namespace
}  // namespace dyadmill::testing
