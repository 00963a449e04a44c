// Partial result files: the line format, the reading rule, the assembly
// order and every way a partial file can be refused.
#include <gtest/gtest.h>
#include <xxhash.h>

#include "console.h"
#include "partial_results.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

TestStat2DObject record(std::uint64_t i, std::uint64_t j, double value, std::uint16_t df,
                        std::vector<double> permuted) {
  TestStat2DObject r;
  r.i = i;
  r.j = j;
  r.testStatValue = value;
  r.DegFreedom = df;
  r.permutValues = std::move(permuted);
  return r;
}

TEST(PartialLine, SeparatorsAndPrecision) {
  EXPECT_EQ(formatPartialLine(record(12, 345, 12.5, 4, {})), "12 345 12.5 4 \n");
  EXPECT_EQ(formatPartialLine(record(12, 345, 12.5, 4, {3.14159265, 0.5})), "12 345 12.5 4  3.14159265 0.5\n");
  EXPECT_EQ(formatPartialLine(record(0, 1, 0.1, 8, {})), "0 1 0.10000000000000000555 8 \n");
  // Permutation values keep every digit needed to read back the same double.
  const double third = 1.0 / 3.0;
  const std::string line = formatPartialLine(record(0, 1, 2.0, 1, {third, 123456.0, 1e-300}));
  EXPECT_EQ(line, "0 1 2 1  0.3333333333333333 123456 1e-300\n");
}

class Assembly : public ::testing::Test {
 protected:
  RunParameters params(std::uint16_t processes, std::uint64_t permutations) const {
    RunParameters p;
    p.outFile = (dir_ / "out").string();
    p.processAmount = processes;
    p.processID = 0;
    p.permutationParam = permutations;
    return p;
  }
  void write(int k, const std::string& content) const {
    writeFile(dir_ / ("out_partial" + std::to_string(k) + ".txt"), content);
  }

  Outcome assemble(const RunParameters& p, TopVector& top, std::string& out, std::uint64_t snps = 1000) const {
    std::vector<std::string> names;
    for (std::uint64_t k = 0; k < snps; ++k) names.push_back("rs" + std::to_string(k));
    std::vector<double> fwer;
    console().startCapture();
    const Outcome o = assemblePartialFiles(p, names, top, fwer);
    out = console().endCapture();
    return o;
  }

  ScratchDir dir_;
};

TEST_F(Assembly, ReadsFilesInOrderWhateverTheSpacing) {
  write(1, "3 7 10.5 4  1 2\n\n1\t2\t\t99.25 8 0.5\t0.25 0.125\n");
  write(2, "");
  write(3, "  5 6 1e-3 2 7 8 \n9 10 2 1 3 4\n4 5 6 2 1 1");  // last line without a line feed
  TopVector top;
  std::string out;
  ASSERT_FALSE(assemble(params(3, 2), top, out).stopped()) << out;
  ASSERT_EQ(top.size(), 5u);
  EXPECT_EQ(top[0].i, 3u);
  EXPECT_EQ(top[1].testStatValue, 99.25);
  EXPECT_EQ(top[1].permutValues, (std::vector<double>{0.5, 0.25}));  // the third value is ignored
  EXPECT_EQ(top[2].testStatValue, 0.001);
  EXPECT_EQ(top[3].i, 9u);
  EXPECT_EQ(top[4].DegFreedom, 2);
  // Files of an earlier version carry no provenance: read, with a warning each.
  std::string expected = "ASSEMBLING PARTIAL RESULTS FILES ...\n";
  for (int k = 1; k <= 3; ++k) {
    const std::string name = (dir_ / ("out_partial" + std::to_string(k) + ".txt")).string();
    expected += "\nINFO: Partial output file " + name + " is being open \nWARNING: Partial output file " + name +
                " has no provenance lines (it was written by an earlier version): the options, genotype file and "
                "completeness it was made with cannot be checked\n"
                "INFO: Done reading the partial file and generating the top vector\n";
  }
  EXPECT_EQ(out, expected);

  // Without permutations in the assembly run, values present are ignored.
  top.clear();
  ASSERT_FALSE(assemble(params(3, 0), top, out).stopped());
  EXPECT_TRUE(top[0].permutValues.empty());

  // A file of one line holds one record; its first line is a record too.
  write(1, "5 6 1.5 2 ");
  top.clear();
  ASSERT_FALSE(assemble(params(1, 0), top, out).stopped());
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].j, 6u);
}

TEST_F(Assembly, RefusesMissingShortAndMalformedFiles) {
  TopVector top;
  std::string out;
  write(1, "1 2 3 4 \n");
  Outcome o = assemble(params(3, 0), top, out);
  EXPECT_EQ(o.exitStatus(), 255);
  EXPECT_TRUE(contains(out, "ERROR: Unable to open partial output file2 " + (dir_ / "out_partial2.txt").string() +
                                "\nERROR: Check that the output file name used to create partial files is the same\n"))
      << out;

  write(2, "1 2 3 4  0.5 0.25\n");
  write(3, "");
  top.clear();
  o = assemble(params(3, 3), top, out);
  EXPECT_EQ(o.exitStatus(), 255);
  EXPECT_TRUE(contains(out, "ERROR: " + (dir_ / "out_partial1.txt").string() +
                                ", line 1: partial file has less permutation values (0) than specified (3); give the "
                                "assembly the workers' --permutations\n"))
      << out;

  const struct {
    const char* line;
    const char* problem;
  } malformed[] = {
      {"1 2 3\n", "line 1: expected at least 4 fields"},
      {"\n   \n", "line 2: expected at least 4 fields"},
      {"1 x 3 4 \n", "line 1: field 2 (\"x\") is not a SNP index"},
      {"-1 2 3 4 \n", "line 1: field 1 (\"-1\") is not a SNP index"},
      {"1 2 NA 4 \n", "line 1: field 3 (\"NA\") is not a number"},
      {"1 2 3 70000 \n", "line 1: field 4 (\"70000\") is not a number of degrees of freedom"},
      {"1 2 3 000000000000065536 0.5 1\n", "line 1: field 4 (\"000000000000065536\") is not a number of degrees"},
      {"1 2 3 000000000000000009 0.5 1\n", "line 1: 9 degrees of freedom are outside the range 1 to 8 of this test"},
      {"1 2 3 4\r\n", "line 1: field 4 (\"4\r\") is not a number of degrees of freedom"},
      {"1 2 3 4 0.5 zz\n", "line 1: field 6 (\"zz\") is not a number"},
      {"5 2000 3 4 0.5 1\n", "line 1: the SNP pair (5, 2000) does not exist in a genotype file of 1000 SNPs"},
      {"7 7 3 4 0.5 1\n", "line 1: the SNP pair (7, 7) does not exist"},
  };
  for (const auto& bad : malformed) {
    write(1, bad.line);
    top.clear();
    o = assemble(params(1, 2), top, out);
    EXPECT_EQ(o.exitStatus(), 255) << bad.line;
    EXPECT_TRUE(contains(out, "ERROR: " + (dir_ / "out_partial1.txt").string() + ", " + bad.problem)) << out;
  }
}

TEST(PartialWriter, WritesTheFileAndRefusesOversizedOnes) {
  ScratchDir dir;
  RunParameters params;
  params.outFile = (dir / "w").string();
  params.processAmount = 4;
  params.processID = 3;
  params.permutationParam = 1;
  const Provenance provenance = provenanceOf(params, 0, {"a", "b"}, 10);
  const std::string header = formatProvenanceLine(provenance);
  const TopVector top = {record(1, 2, 3.5, 4, {0.25}), record(2, 9, 1.0 / 3.0, 8, {7})};

  console().startCapture();
  Outcome o = writePartialFile(params, provenance, top);
  std::string out = console().endCapture();
  ASSERT_FALSE(o.stopped()) << out;
  const std::string stars(74, '*');
  EXPECT_EQ(out, "INFO: The resulting partial output file is estimated to be of 0.000 MBs in size\n" + stars +
                     "\nThe partial output will be written in file " + params.outFile + "_partial3.txt \n" + stars +
                     "\n");
  // The hash covers the pair lines, line ends included, and nothing else.
  const std::string pair_lines = "1 2 3.5 4  0.25\n2 9 0.33333333333333331483 8  7\n";
  const std::string written =
      header + pair_lines + formatPairCountLine(2, XXH3_64bits(pair_lines.data(), pair_lines.size()));
  EXPECT_EQ(readFile(dir / "w_partial3.txt"), written);

  // The guard counts 30 bytes a pair, whatever the permutations.
  console().startCapture();
  o = writePartialFile(params, provenance, TopVector(40000, record(1, 2, 1, 1, {1, 2, 3})), {}, 1.0);
  out = console().endCapture();
  EXPECT_EQ(o.exitStatus(), 1);
  EXPECT_EQ(out,
            "INFO: The resulting partial output file is estimated to be of 1.200 MBs in size\n"
            "ERROR: The partial output file exceeded 700MB limit! Process is stopped! Increase the treshold value "
            "(-t).\n");
  EXPECT_EQ(readFile(dir / "w_partial3.txt"), written);

  params.outFile = (dir / "missing-folder" / "w").string();
  console().startCapture();
  o = writePartialFile(params, provenance, top);
  out = console().endCapture();
  EXPECT_EQ(o.exitStatus(), 255);
  EXPECT_TRUE(contains(out, "ERROR: Unable to write partial output file: " + params.outFile + "_partial3.txt.\n"));
}

// The assembly given the data's fingerprint: a file recording the same one
// passes, another one is refused naming both and the input, a v2 file
// without one is refused as written by an earlier version, and a v1 set
// (which never had one) is read with a warning per file.
TEST(AssemblyData, FingerprintRules) {
  ScratchDir dir;
  RunParameters params;
  params.outFile = (dir / "d").string();
  params.inFile = "study.bed";
  params.processAmount = 2;
  params.blockAmount = 1;
  const std::vector<std::string> names = {"a", "b", "c"};
  auto writeWorkers = [&](std::optional<std::uint64_t> data) {
    for (std::uint16_t k = 1; k <= 2; ++k) {
      RunParameters worker = params;
      worker.processID = k;
      Provenance provenance = provenanceOf(worker, 1, names, 10);
      provenance.dataFingerprint = data;
      ConsoleCapture quiet(ConsoleCapture::Mode::Discard);
      ASSERT_FALSE(writePartialFile(worker, provenance, {}).stopped());
    }
  };
  auto assemble = [&](std::string& out) {
    AssemblyExpectations expect;
    expect.data_fingerprint = 0x1234;
    TopVector top;
    std::vector<double> fwer;
    console().startCapture();
    const Outcome o = assemblePartialFiles(params, names, top, fwer, 1, 0, false, expect);
    out = console().endCapture();
    return o.stopped() ? o.exitStatus() : 0;
  };
  const std::string first = (dir / "d_partial1.txt").string();
  std::string out;
  writeWorkers(0x1234);
  EXPECT_EQ(assemble(out), 0) << out;

  writeWorkers(0x99);
  EXPECT_EQ(assemble(out), 255);
  EXPECT_TRUE(contains(out, "ERROR: Partial output file " + first +
                                " does not belong to this run: the genotype data's fingerprint is "
                                "xxh3:0000000000000099 in the file but xxh3:0000000000001234 for study.bed\n"))
      << out;

  writeWorkers(std::nullopt);
  EXPECT_EQ(assemble(out), 255);
  EXPECT_TRUE(contains(out, "ERROR: Partial output file " + first +
                                " records no fingerprint of the genotype data (its provenance line has no data= "
                                "field): it was written by an earlier version of dyadmill and cannot be checked "
                                "against study.bed; rerun worker 1 with this version\n"))
      << out;

  for (int k = 1; k <= 2; ++k) {
    const std::string file = (dir / ("d_partial" + std::to_string(k) + ".txt")).string();
    std::string text = readFile(file);
    text.replace(text.find(" v2 "), 4, " v1 ");
    text.erase(text.find(" fwer=0"), 7);
    writeFile(file, text);
  }
  EXPECT_EQ(assemble(out), 0) << out;
  EXPECT_TRUE(contains(out, "WARNING: Partial output file " + first +
                                " (format v1) records no fingerprint of the genotype data: that it was made from "
                                "study.bed cannot be checked\n"))
      << out;
}

}  // namespace
}  // namespace dyadmill::testing
