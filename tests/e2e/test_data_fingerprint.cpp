// Partial files record a fingerprint of the genotype data, not only of its
// SNP names: an assembly or --check-partial given other data with the same
// names and subject count refuses the files, naming the file and both
// fingerprints; text and its gzip copy are the same data.
#include <gtest/gtest.h>

#include <xxhash.h>

#include <cinttypes>
#include <cstdio>

#include "fileset_writer.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

std::string fingerprint(const std::string& bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "xxh3:%016" PRIx64,
                static_cast<std::uint64_t>(XXH3_64bits(bytes.data(), bytes.size())));
  return text;
}

std::string lengthBytes(std::uint64_t n) {
  std::string out;
  for (int k = 0; k < 8; ++k) out += static_cast<char>((n >> (8 * k)) & 0xff);
  return out;
}

std::string fingerprint(const Fileset& f) {
  return fingerprint(lengthBytes(f.bed.size()) + f.bed + lengthBytes(f.bim.size()) + f.bim + lengthBytes(f.fam.size()) +
                     f.fam);
}

// Three workers over 12 SNPs in 3 blocks, each keeping pairs.
class DataFingerprint : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = randomGenotypes(5150, 12, 150, 0.4);
    writeFile(dir_ / "data.txt", data_.toText());
  }

  std::vector<std::string> options(const std::string& input, const std::string& p,
                                   const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = {"-n",
                                     "3",
                                     "-p",
                                     p,
                                     "-i",
                                     input,
                                     "-o",
                                     "res",
                                     "-b",
                                     "3",
                                     "-t",
                                     "0.5",
                                     "--association",
                                     "--score",
                                     "--maxT",
                                     "--nomissing",
                                     "--permutations",
                                     "3",
                                     "-r",
                                     "7"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  void runWorkers(const std::string& input) const {
    for (const char* k : {"1", "2", "3"}) {
      const RunResult run = runDyadmill(options(input, k), dir_.path());
      ASSERT_EQ(run.exit_status, 0) << run.output;
    }
  }
  RunResult assemble(const std::string& input, const std::vector<std::string>& extra = {}) const {
    return runDyadmill(options(input, "0", extra), dir_.path());
  }

  // The assembly and --check-partial both stop with 255 on `input`, naming
  // the file they read first and both fingerprints, and write no results.
  void expectRefused(const std::string& input, const std::string& in_file, const std::string& for_input) const {
    const std::string tail = "does not belong to this run: the genotype data's fingerprint is " + in_file +
                             " in the file but " + for_input + " for " + input;
    RunResult run = assemble(input);
    EXPECT_EQ(run.exit_status, 255) << run.output;
    EXPECT_TRUE(contains(run.output, "ERROR: Partial output file res_partial1.txt " + tail)) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "res.txt"));
    run = assemble(input, {"--check-partial", "2"});
    EXPECT_EQ(run.exit_status, 255) << run.output;
    EXPECT_TRUE(contains(run.output, "ERROR: Partial output file res_partial2.txt " + tail)) << run.output;
  }

  ScratchDir dir_;
  GenotypeData data_;
};

TEST_F(DataFingerprint, OtherTextDataWithTheSameNamesIsRefused) {
  runWorkers("data.txt");
  const std::string recorded = fingerprint(data_.toText());
  EXPECT_TRUE(contains(readFile(dir_ / "res_partial1.txt"), " data=" + recorded)) << "the worker records it";

  GenotypeData genotype = data_;
  genotype.genotypes[7][3] = (genotype.genotypes[7][3] + 1) % 3;
  GenotypeData trait = data_;
  trait.traits[10] = 1 - trait.traits[10];
  const struct {
    const char* what;
    const GenotypeData& data;
  } cases[] = {{"one genotype changed", genotype}, {"one trait changed", trait}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFile(dir_ / "other.txt", c.data.toText());
    expectRefused("other.txt", recorded, fingerprint(c.data.toText()));
    // Compressed, the changed text is still the changed text.
    writeGzipFile(dir_ / "other.txt.gz", c.data.toText());
    expectRefused("other.txt.gz", recorded, fingerprint(c.data.toText()));
  }
  // The unchanged data under another name passes.
  writeFile(dir_ / "copy.txt", data_.toText());
  const RunResult run = assemble("copy.txt");
  EXPECT_EQ(run.exit_status, 0) << run.output;
}

// Workers read text, the assembly its gzip copy (and --check-partial the
// same): one fingerprint, one result. A fileset of the same genotypes is
// other bytes, so it does not stand in for the text.
TEST_F(DataFingerprint, GzipOfTheSameTextIsTheSameData) {
  runWorkers("data.txt");
  RunResult run = assemble("data.txt");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const std::string recorded = fingerprint(data_.toText());
  EXPECT_TRUE(contains(run.output, "INFO: Fingerprint of the genotype data: " + recorded)) << run.output;
  const std::string reference = readFile(dir_ / "res.txt");
  std::filesystem::remove(dir_ / "res.txt");

  writeGzipFile(dir_ / "data.txt.gz", data_.toText());
  run = assemble("data.txt.gz", {"--check-partial", "3"});
  EXPECT_EQ(run.exit_status, 0) << run.output;
  run = assemble("data.txt.gz");
  ASSERT_EQ(run.exit_status, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "INFO: Fingerprint of the genotype data: " + recorded)) << run.output;
  EXPECT_EQ(readFile(dir_ / "res.txt"), reference);
  std::filesystem::remove(dir_ / "res.txt");

  const Fileset fileset = makeFileset(data_);
  writeFileset(dir_ / "data", fileset);
  expectRefused("data.bed", recorded, fingerprint(fileset));
}

TEST_F(DataFingerprint, OtherFilesetDataWithTheSameNamesIsRefused) {
  const Fileset original = makeFileset(data_);
  writeFileset(dir_ / "data", original);
  runWorkers("data.bed");
  const std::string recorded = fingerprint(original);
  EXPECT_TRUE(contains(readFile(dir_ / "res_partial3.txt"), " data=" + recorded));

  // Subject 0's sex: nothing the scan uses, but other data.
  Fileset fam = original;
  const std::size_t sex = fam.fam.find(" 0 0 1 ");
  ASSERT_EQ(sex, fam.fam.find('\n') - 8);
  fam.fam[sex + 5] = '2';
  // One subject's genotype code of the first SNP.
  Fileset bed = original;
  bed.bed[3] = static_cast<char>(bed.bed[3] ^ 0xc0);
  const struct {
    const char* what;
    const Fileset& fileset;
  } cases[] = {{".fam changed", fam}, {".bed changed", bed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFileset(dir_ / "other", c.fileset);
    expectRefused("other.bed", recorded, fingerprint(c.fileset));
  }
  // Every file of the fileset is part of the data.
  std::filesystem::remove(dir_ / "data.fam");
  const RunResult run = assemble("data.bed");
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output, "ERROR: data.fam: unable to open the subject file (.fam)")) << run.output;
}

// A file whose provenance line has no data field was written before the
// field existed: its data cannot be checked, so it is refused, by name.
TEST_F(DataFingerprint, FilesOfAnEarlierBuildWithoutTheFieldAreRefused) {
  runWorkers("data.txt");
  std::vector<std::string> lines = splitLines(readFile(dir_ / "res_partial2.txt"));
  const std::size_t field = lines[0].find(" data=xxh3:");
  ASSERT_NE(field, std::string::npos) << lines[0];
  lines[0].erase(field, 27);
  ASSERT_EQ(lines[0].find("data="), std::string::npos) << lines[0];
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  writeFile(dir_ / "res_partial2.txt", text);

  const std::string why =
      "ERROR: Partial output file res_partial2.txt records no fingerprint of the genotype data "
      "(its provenance line has no data= field): it was written by an earlier version of dyadmill "
      "and cannot be checked against data.txt; rerun worker 2 with this version";
  RunResult run = assemble("data.txt");
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output, why)) << run.output;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "res.txt"));
  run = assemble("data.txt", {"--check-partial", "2"});
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output, why)) << run.output;
  run = assemble("data.txt", {"--check-partial", "1"});
  EXPECT_EQ(run.exit_status, 0) << run.output;
}

}  // namespace
}  // namespace dyadmill::testing
