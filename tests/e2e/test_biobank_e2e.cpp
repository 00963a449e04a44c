// Runs at and past 65535 subjects, where a subject count no longer fits in
// 16 bits: every mode's kept pairs, permuted values and adjusted p-values
// against the subject-by-subject scan, split runs against the single run,
// and a binary fileset of that size against the same text file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "blocks.h"
#include "fileset_writer.h"
#include "naive_scan.h"
#include "scan_driver.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

constexpr std::uint64_t kPermutations = 4;

struct BiobankCase {
  std::size_t subjects;
  bool epistasis;
  bool score;
  bool missing;
  bool minP;
};

void PrintTo(const BiobankCase& c, std::ostream* os) {
  *os << c.subjects << " subjects " << (c.epistasis ? "epistasis " : "association ")
      << (c.score ? "score " : "likelihood ") << (c.missing ? "missing " : "nomissing ") << (c.minP ? "minP" : "maxT");
}

// Eight SNPs, a fifth of the subjects cases. SNP 0 carries an effect so that
// some pairs pass by far and take the exact statistics. SNPs 1 and 2 are
// rare and never missing: their pair's cell (0, 0) holds about 96 % of the
// subjects, and under --missing its amount is every subject, so that the
// counts kept per pair pass 65535.
GenotypeData biobankData(std::size_t subjects, bool missing) {
  GenotypeData data = randomGenotypes(static_cast<std::uint32_t>(subjects), 8, subjects, 0.2, missing ? 0.03 : 0.0);
  for (std::size_t s = 0; s < subjects; ++s) {
    if (data.traits[s] == 1 && s % 25 == 0) data.genotypes[s][0] = 2;
    data.genotypes[s][1] = s % 50 == 1 ? 1 : 0;
    data.genotypes[s][2] = s % 60 == 2 ? 2 : 0;
  }
  return data;
}

RunParameters parametersOf(const BiobankCase& c, std::uint64_t permutations) {
  RunParameters p;
  p.hypothesisOption = c.epistasis ? 1 : 0;
  p.testTypeOption = c.score ? 1 : 0;
  p.missingGenoOption = c.missing ? 1 : 0;
  p.algoOption = c.minP ? 1 : 0;
  if (c.epistasis)
    p.thresholdParam = c.minP ? 0.5f : 2.0f;
  else
    p.thresholdParam = c.score ? (c.minP ? 0.01f : 7.5f) : (c.minP ? 0.5f : 6.0f);
  p.permutationParam = permutations;
  p.randomParam = 77;
  p.processAmount = 1;
  p.blockAmount = 3;
  return p;
}

std::vector<std::string> arguments(const BiobankCase& c, const std::string& input, bool permutations,
                                   const std::string& n, const std::string& p) {
  std::ostringstream threshold;
  threshold << parametersOf(c, 0).thresholdParam;
  std::vector<std::string> args = {"-n", n, "-p", p, "-i", input, "-o", "res", "-b", "3", "-t", threshold.str()};
  if (permutations) {
    for (const char* a : {"-r", "77", "--permutations"}) args.push_back(a);
    args.push_back(std::to_string(kPermutations));
  }
  args.push_back(c.epistasis ? "--epistasis" : "--association");
  args.push_back(c.score ? "--score" : "--likelihood");
  args.push_back(c.missing ? "--missing" : "--nomissing");
  args.push_back(c.minP ? "--minP" : "--maxT");
  return args;
}

std::vector<std::string> resultBody(const std::filesystem::path& file) {
  const std::vector<std::string> lines = splitLines(readFile(file));
  return lines.empty() ? lines : std::vector<std::string>(lines.begin() + 1, lines.end());
}

// The permuted values of every kept pair, to the last bit, from a scan in
// this process.
void expectPermutedValuesOfTheNaiveScan(const BiobankCase& c, const GenotypeData& data, std::size_t kept) {
  const RunParameters params = parametersOf(c, kPermutations);
  const auto expected = naivePermutationValues(params, data, 3);
  const GenotypeStore store = loadStore(data, params);
  ASSERT_EQ(store.total_amount, c.subjects);
  RunParameters run_params = params;
  BlockTable blocks;
  ::testing::internal::CaptureStdout();
  ASSERT_FALSE(formBlocks(run_params, store.snp_amount, blocks).stopped());
  ScanContext ctx(run_params, store, blocks);
  const Outcome scanned = scanBlockCombinations(ctx, ScanPath::Fast);
  const std::string console = ::testing::internal::GetCapturedStdout();
  ASSERT_FALSE(scanned.stopped()) << console;
  ASSERT_EQ(ctx.top_vect.size(), kept);
  for (const TestStat2DObject& pair : ctx.top_vect) {
    const auto found = expected.find({pair.i, pair.j});
    ASSERT_NE(found, expected.end()) << pair.i << "," << pair.j;
    ASSERT_EQ(pair.permutValues.size(), kPermutations);
    for (std::size_t p = 0; p < kPermutations; ++p) {
      EXPECT_DOUBLE_EQ(pair.permutValues[p], found->second[p]) << pair.i << "," << pair.j << " permutation " << p + 1;
    }
  }
}

class BiobankScan : public ::testing::TestWithParam<BiobankCase> {};

TEST_P(BiobankScan, MatchesTheSubjectBySubjectScanWithAndWithoutPermutationsAndSplit) {
  const BiobankCase c = GetParam();
  const GenotypeData data = biobankData(c.subjects, c.missing);
  const RunParameters plain = parametersOf(c, 0);
  const std::vector<NaivePair> kept = naiveScan(plain, data);
  ASSERT_GT(kept.size(), 2u) << "the threshold should keep some pairs";
  ASSERT_LT(kept.size(), 28u) << "the threshold should reject some pairs";

  ScratchDir dir;
  writeFile(dir / "data.txt", data.toText());
  std::filesystem::create_directories(dir / "single");
  std::filesystem::create_directories(dir / "split");

  // Without permutations: exactly the naively kept pairs and values.
  RunResult run = runDyadmill(arguments(c, "../data.txt", false, "1", "1"), dir / "single");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const std::string unpermuted = readFile(dir / "single" / "res.txt");
  std::vector<std::string> body = resultBody(dir / "single" / "res.txt");
  std::sort(body.begin(), body.end());
  EXPECT_EQ(body, expectedResultLines(plain, data, kept));

  // Three processes and the assembly write the single run's files. Under
  // minP with the epistasis likelihood test, the screening value a process
  // carries between its combinations under permutations differs from a
  // single run's by design, so that mode is split without them.
  const bool split_permuted = !(c.minP && c.epistasis && !c.score);
  for (const char* p : {"1", "2", "3", "0"}) {
    run = runDyadmill(arguments(c, "../data.txt", split_permuted, "3", p), dir / "split");
    ASSERT_EQ(run.exit_status, 0) << p << "\n" << run.output;
  }
  if (!split_permuted) {
    EXPECT_EQ(readFile(dir / "split" / "res.txt"), unpermuted);
  }

  // With permutations: the adjusted p-values of the naive permuted values.
  const RunParameters permuted = parametersOf(c, kPermutations);
  run = runDyadmill(arguments(c, "../data.txt", true, "1", "1"), dir / "single");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  std::vector<std::string> expected_lines;
  const auto values = naivePermutationValues(permuted, data, 3);
  for (const auto& [pair, adjusted] : naiveAdjustedPValues(permuted, kept, values)) {
    char text[128];
    std::snprintf(text, sizeof text, "%s\t%s\t%g\t%u\t%g", data.names[pair.i].c_str(), data.names[pair.j].c_str(),
                  pair.value, static_cast<unsigned>(pair.df), adjusted);
    expected_lines.push_back(text);
  }
  // Sorted as text: the order of tied values is not fixed.
  body = resultBody(dir / "single" / "res.txt");
  std::sort(body.begin(), body.end());
  std::sort(expected_lines.begin(), expected_lines.end());
  EXPECT_EQ(body, expected_lines);

  if (split_permuted) {
    EXPECT_EQ(readFile(dir / "split" / "res.txt"), readFile(dir / "single" / "res.txt"));
    const std::string matrix = c.minP ? "SNP_pairs_and_permut_p_vals_minP.txt" : "SNP_pairs_and_permut_p_vals_maxT.txt";
    EXPECT_EQ(readFile(dir / "split" / matrix), readFile(dir / "single" / matrix));
  }

  expectPermutedValuesOfTheNaiveScan(c, data, kept.size());
}

std::vector<BiobankCase> biobankCases() {
  std::vector<BiobankCase> cases;
  for (std::size_t subjects : {65535u, 65536u, 100003u}) {
    for (bool epistasis : {false, true}) {
      for (bool score : {false, true}) {
        for (bool missing : {false, true}) {
          // minP in every other mode, the other half maxT.
          cases.push_back({subjects, epistasis, score, missing, score != missing});
        }
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(PastSixteenBits, BiobankScan, ::testing::ValuesIn(biobankCases()));

// A binary fileset past 65535 phenotyped subjects, with subjects without a
// phenotype among them, reads as the same text file does. Cases outnumber
// the controls here, so the groups are swapped with counts past 16 bits.
TEST(BiobankInput, BinaryFilesetPastSixteenBitsMatchesTheTextFile) {
  const BiobankCase c{100003, true, false, true, false};
  GenotypeData data = biobankData(c.subjects, c.missing);
  for (int& trait : data.traits) trait = 1 - trait;
  const GenotypeStore store = loadStore(data, parametersOf(c, 0));
  EXPECT_EQ(store.affected_amount + store.unaffected_amount, c.subjects);
  EXPECT_LT(store.affected_amount, store.unaffected_amount);
  EXPECT_GT(store.unaffected_amount, 65535u);
  ScratchDir dir;
  writeFile(dir / "data.txt", data.toText());
  writeFileset(dir / "data", makeFileset(data, 5));
  std::filesystem::create_directories(dir / "text");
  std::filesystem::create_directories(dir / "bed");
  RunResult run = runDyadmill(arguments(c, "../data.txt", true, "1", "1"), dir / "text");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  run = runDyadmill(arguments(c, "../data.bed", true, "1", "1"), dir / "bed");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const std::string results = readFile(dir / "text" / "res.txt");
  EXPECT_GT(splitLines(results).size(), 3u);
  EXPECT_EQ(readFile(dir / "bed" / "res.txt"), results);
  EXPECT_EQ(readFile(dir / "bed" / "SNP_pairs_and_permut_p_vals_maxT.txt"),
            readFile(dir / "text" / "SNP_pairs_and_permut_p_vals_maxT.txt"));
}

}  // namespace
}  // namespace dyadmill::testing
