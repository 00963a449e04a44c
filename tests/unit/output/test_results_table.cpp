// The annotated table on injected kept pairs: its header, the locus
// columns, the p-values derived from what each pair carries, and numbers
// that read back to the very doubles they were written from.
#include <gtest/gtest.h>

#include <boost/math/distributions/chi_squared.hpp>
#include <cmath>
#include <cstdlib>
#include <random>

#include "console.h"
#include "output_set.h"
#include "results_table.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

double upperTail(double statistic, double df) {
  return boost::math::cdf(boost::math::complement(boost::math::chi_squared_distribution<double>(df), statistic));
}

double number(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  EXPECT_EQ(*end, '\0') << text;
  return value;
}

std::vector<std::string> fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    const auto tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

TestStat2DObject pair(std::uint64_t i, std::uint64_t j, double value, std::uint16_t df) {
  TestStat2DObject p;
  p.i = i;
  p.j = j;
  p.testStatValue = value;
  p.DegFreedom = df;
  return p;
}

class ResultsTable : public ::testing::Test {
 protected:
  std::vector<std::vector<std::string>> write(const RunParameters& params, const SnpLoci& loci, const TopVector& top,
                                              const std::vector<std::uint64_t>& p_vect,
                                              const std::vector<double>& fwer = {},
                                              const std::vector<PairCells>& cells = {}) {
    console().startCapture();
    OutputSet outputs;
    writeResultsTable(params, (dir_ / "t.tsv").string(), names_, loci, top, p_vect, outputs, fwer, cells);
    EXPECT_TRUE(outputs.commit());
    console().endCapture();
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : splitLines(readFile(dir_ / "t.tsv"))) rows.push_back(fieldsOf(line));
    return rows;
  }

  ScratchDir dir_;
  std::vector<std::string> names_ = {"rs1", "rs2", "rs3", "rs4", "rs5"};  // 10 pairs
  std::vector<std::string> chromosomes_ = {"1", "1", "2", "X", "22"};
  std::vector<std::string> positions_ = {"100", "2500", "7", "88", "123456789"};
};

TEST_F(ResultsTable, MaxTRowsCarryLociStatisticAndThreePValues) {
  RunParameters params;
  params.permutationParam = 4;
  const TopVector top = {pair(1, 3, 30.25, 4), pair(0, 4, 11.5, 8), pair(2, 3, 1e-3, 1)};
  const auto rows = write(params, {chromosomes_, positions_}, top, {1, 3, 5});
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"CHR1", "BP1", "SNP1", "CHR2", "BP2", "SNP2", "STAT", "DF", "P",
                                               "P_BONF", "P_PERM"}));
  EXPECT_EQ(std::vector<std::string>(rows[1].begin(), rows[1].begin() + 8),
            (std::vector<std::string>{"1", "2500", "rs2", "X", "88", "rs4", "30.25", "4"}));
  EXPECT_EQ(std::vector<std::string>(rows[2].begin(), rows[2].begin() + 6),
            (std::vector<std::string>{"1", "100", "rs1", "22", "123456789", "rs5"}));
  for (std::size_t x = 0; x < top.size(); ++x) {
    SCOPED_TRACE(x);
    const std::vector<std::string>& r = rows[x + 1];
    ASSERT_EQ(r.size(), 11u);
    const double p = upperTail(top[x].testStatValue, top[x].DegFreedom);
    EXPECT_EQ(number(r[6]), top[x].testStatValue);
    EXPECT_DOUBLE_EQ(number(r[8]), p);
    EXPECT_DOUBLE_EQ(number(r[9]), std::min(1.0, 10 * p));
  }
  // Counters 1, 3, 5 of 4 permutations; the last is capped at 1.
  EXPECT_EQ(rows[1][10], "0.25");
  EXPECT_EQ(rows[2][10], "0.75");
  EXPECT_EQ(rows[3][10], "1");
  EXPECT_EQ(rows[3][9], "1");  // a large p-value times 10 pairs is capped too
}

TEST_F(ResultsTable, MinPRecoversTheStatisticAndTextInputHasNoLoci) {
  RunParameters params;
  params.algoOption = 1;
  const double p = upperTail(17.5, 8);
  const TopVector top = {pair(0, 1, 0.0, 4), pair(2, 4, p, 8)};
  const auto rows = write(params, {}, top, {1, 1});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].size(), 10u);  // no P_PERM without permutations
  EXPECT_EQ(rows[0].back(), "P_BONF");
  // A p-value that underflowed to 0 has an infinite statistic.
  EXPECT_EQ(rows[1], (std::vector<std::string>{"NA", "NA", "rs1", "NA", "NA", "rs2", "inf", "4", "0", "0"}));
  EXPECT_NEAR(number(rows[2][6]), 17.5, 1e-9);
  EXPECT_EQ(number(rows[2][8]), p);  // the pair's own p-value, exactly
  EXPECT_EQ(rows[2][2], "rs3");
}

// The cells come last, after P_FWER, each side in the order n00 .. n22;
// a pair the caller has no cells for reads NA.
TEST_F(ResultsTable, CellColumnsComeLastInCellOrder) {
  RunParameters params;
  params.permutationParam = 2;
  params.fwerOption = params.tableOption = params.cellsOption = true;
  const TopVector top = {pair(1, 3, 30.25, 4), pair(0, 4, 11.5, 8), pair(2, 3, 9.5, 4)};
  PairCells first;
  PairCells second;
  for (unsigned k = 0; k < kCells; ++k) {
    first.cases[k] = k;
    first.controls[k] = 100 + k;
    second.cases[k] = k == 4 ? 70000 : 0;  // counts past 16 bits
    second.controls[k] = 8 - k;
  }
  const auto rows = write(params, {}, top, {1, 2, 3}, {40.0, 10.0}, {first, second});
  ASSERT_EQ(rows.size(), 4u);
  ASSERT_EQ(rows[0].size(), 14u);
  EXPECT_EQ(std::vector<std::string>(rows[0].begin() + 10, rows[0].end()),
            (std::vector<std::string>{"P_PERM", "P_FWER", "CASE_CELLS", "CONTROL_CELLS"}));
  ASSERT_EQ(rows[1].size(), 14u);
  EXPECT_EQ(rows[1][11], "0.6666666666666666");  // one of the two extremes reaches 30.25
  EXPECT_EQ(rows[1][12], "0,1,2,3,4,5,6,7,8");
  EXPECT_EQ(rows[1][13], "100,101,102,103,104,105,106,107,108");
  EXPECT_EQ(rows[2][12], "0,0,0,0,70000,0,0,0,0");
  EXPECT_EQ(rows[2][13], "8,7,6,5,4,3,2,1,0");
  EXPECT_EQ(std::vector<std::string>(rows[3].begin() + 12, rows[3].end()), (std::vector<std::string>{"NA", "NA"}));

  // Without --cells the same call writes no cell column, whatever it is given.
  params.cellsOption = false;
  const auto plain = write(params, {}, top, {1, 2, 3}, {40.0, 10.0}, {first, second});
  ASSERT_EQ(plain.size(), 4u);
  EXPECT_EQ(plain[0].back(), "P_FWER");
  for (std::size_t r = 0; r < plain.size(); ++r) {
    EXPECT_EQ(plain[r], std::vector<std::string>(rows[r].begin(), rows[r].begin() + 12));
  }
}

TEST_F(ResultsTable, NumbersReadBackExactlyInTheirShortestForm) {
  EXPECT_EQ(roundTripText(0.1), "0.1");
  EXPECT_EQ(roundTripText(1e-300), "1e-300");
  EXPECT_EQ(roundTripText(9.487729), "9.487729");
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> exponent(-300.0, 300.0);
  for (int k = 0; k < 1000; ++k) {
    const double x = std::pow(10.0, exponent(rng)) * std::uniform_real_distribution<double>(1.0, 10.0)(rng);
    ASSERT_EQ(number(roundTripText(x)), x) << roundTripText(x);
  }
}

TEST_F(ResultsTable, AnUnwritableTableStopsTheRun) {
  RunParameters params;
  console().startCapture();
  OutputSet outputs;
  writeResultsTable(params, (dir_ / "no" / "t.tsv").string(), names_, {}, {}, {}, outputs);
  EXPECT_FALSE(outputs.commit());
  const std::string out = console().endCapture();
  EXPECT_TRUE(contains(out, "ERROR: Unable to write output file " + (dir_ / "no" / "t.tsv").string())) << out;
}

}  // namespace
}  // namespace dyadmill::testing
