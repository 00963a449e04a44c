// --fwer end to end: NAME.fwer and the P_FWER column against a brute force
// that rescores every pair under every permutation, in every mode, from a
// single process and from a split run with its assembly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "fwer.h"
#include "naive_scan.h"
#include "results_table.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

constexpr int kPermutations = 19;  // j = floor(0.05 x 20) = 1: the threshold is the extreme of extremes

RunParameters parametersOf(const RunMode& m, const std::string& min_cell) {
  RunParameters p;
  p.hypothesisOption = m.epistasis ? 1 : 0;
  p.testTypeOption = m.score ? 1 : 0;
  p.missingGenoOption = m.missing ? 1 : 0;
  p.algoOption = m.minP ? 1 : 0;
  p.minGroupSizeParam = std::atoi(min_cell.c_str());
  p.permutationParam = kPermutations;
  p.randomParam = 11;  // the seed runModeOptions passes
  return p;
}

std::string describe(const RunMode& m, const std::string& min_cell) {
  std::ostringstream s;
  PrintTo(m, &s);
  return s.str() + " -m " + min_cell;
}

struct Outputs {
  std::string results, table, fwer, console;
};

Outputs runSingle(const RunMode& m, const std::string& min_cell, const GenotypeData& data, bool fwer) {
  ScratchDir dir;
  writeFile(dir / "g.txt", data.toText());
  std::vector<std::string> args = runModeOptions(m, "g.txt", "1", "1");
  args.insert(args.end(), {"-m", min_cell, "--table"});
  if (fwer) args.push_back("--fwer");
  const RunResult run = runDyadmill(args, dir.path());
  EXPECT_EQ(run.exit_status, 0) << run.output;
  return {readFile(dir / "res.txt"), readFile(dir / "res.tsv"), fwer ? readFile(dir / "res.fwer") : "", run.output};
}

Outputs runSplit(const RunMode& m, const std::string& min_cell, const GenotypeData& data) {
  ScratchDir dir;
  writeFile(dir / "g.txt", data.toText());
  for (const char* p : {"1", "2", "3", "0"}) {
    std::vector<std::string> args = runModeOptions(m, "g.txt", "3", p);
    args.insert(args.end(), {"-m", min_cell, "--fwer"});
    const RunResult run = runDyadmill(args, dir.path());
    EXPECT_EQ(run.exit_status, 0) << "process " << p << ": " << run.output;
  }
  return {readFile(dir / "res.txt"), readFile(dir / "res.tsv"), readFile(dir / "res.fwer"), ""};
}

TEST(FwerEndToEnd, FilesMatchTheBruteForceInEveryModeSingleAndSplit) {
  for (const bool missing : {false, true}) {
    GenotypeData data = randomGenotypes(missing ? 314 : 271, 12, 90, 0.4, missing ? 0.05 : 0.0);
    for (std::vector<int>& subject : data.genotypes) {
      if (subject[3] == 2) subject[3] = 1;  // a SNP without a level: empty rows in its tables
    }
    for (const bool epistasis : {false, true}) {
      for (const bool score : {false, true}) {
        for (const bool minP : {false, true}) {
          const RunMode m{epistasis, score, missing, minP, kPermutations};
          const std::string min_cell = epistasis && score ? "3" : "1";
          const std::string what = describe(m, min_cell);
          const RunParameters params = parametersOf(m, min_cell);
          const std::vector<double> extremes = naiveFwerExtremes(params, data);

          const Outputs single = runSingle(m, min_cell, data, true);
          // NAME.fwer: one line per permutation, each value read back exactly.
          const std::vector<std::string> lines = splitLines(single.fwer);
          ASSERT_EQ(lines.size(), kPermutations + 1u) << what;
          EXPECT_EQ(lines[0], minP ? "PERM\tMIN_P" : "PERM\tMAX_STAT") << what;
          for (int k = 1; k <= kPermutations; ++k) {
            const std::vector<std::string> f = tabFields(lines[k]);
            ASSERT_EQ(f.size(), 2u) << what << ": " << lines[k];
            EXPECT_EQ(f[0], std::to_string(k)) << what;
            EXPECT_EQ(std::strtod(f[1].c_str(), nullptr), extremes[k - 1]) << what << " permutation " << k;
          }
          // P_FWER of every kept pair from the brute-force extremes.
          const std::vector<std::string> table = splitLines(single.table);
          ASSERT_GT(table.size(), 1u) << what << ": no kept pair";
          const std::vector<std::string> header = tabFields(table[0]);
          ASSERT_EQ(header.back(), "P_FWER") << what;
          ASSERT_EQ(header[header.size() - 2], "P_PERM") << what;
          for (std::size_t r = 1; r < table.size(); ++r) {
            const std::vector<std::string> f = tabFields(table[r]);
            const double value = std::strtod((minP ? f[8] : f[6]).c_str(), nullptr);  // P or STAT
            EXPECT_EQ(std::strtod(f.back().c_str(), nullptr), fwerPValue(params, extremes, value))
                << what << ": " << table[r];
          }
          // The genome-wide threshold: with 19 permutations the extreme of all.
          double threshold = extremes[0];
          for (const double e : extremes) threshold = minP ? std::min(threshold, e) : std::max(threshold, e);
          EXPECT_TRUE(contains(single.console, "Genome-wide 5% threshold from 19 permutations: " +
                                                   std::string(minP ? "p < " : "STAT > ") + roundTripText(threshold) +
                                                   "\n"))
              << what << single.console;

          // --fwer changes neither the results file nor the other columns.
          const Outputs plain = runSingle(m, min_cell, data, false);
          EXPECT_EQ(plain.results, single.results) << what;
          const std::vector<std::string> plain_table = splitLines(plain.table);
          ASSERT_EQ(plain_table.size(), table.size()) << what;
          for (std::size_t r = 0; r < table.size(); ++r) {
            EXPECT_EQ(table[r].substr(0, table[r].rfind('\t')), plain_table[r]) << what;
          }

          // Three workers and the assembly write the same bytes.
          const Outputs split = runSplit(m, min_cell, data);
          EXPECT_EQ(split.results, single.results) << what;
          EXPECT_EQ(split.table, single.table) << what;
          EXPECT_EQ(split.fwer, single.fwer) << what;
        }
      }
    }
  }
}

}  // namespace
}  // namespace dyadmill::testing
