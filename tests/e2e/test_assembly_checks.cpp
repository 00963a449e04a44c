// The assembly refuses partial files that do not belong to the run it is
// given, or that were damaged, and still reads files of an earlier version.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "test_support.h"

namespace dyadmill::testing {
namespace {

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Three workers over 12 SNPs in 3 blocks (6 combinations, two a worker),
// with a threshold low enough that every worker keeps pairs.
class AssemblyChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir_ / "data.txt", randomGenotypes(4242, 12, 150, 0.4).toText());
    for (const char* k : {"1", "2", "3"}) {
      const RunResult run = runDyadmill(base_ + std::vector<std::string>{"-p", k}, dir_.path());
      ASSERT_EQ(run.exit_status, 0) << run.output;
    }
    const RunResult run = runDyadmill(base_ + std::vector<std::string>{"-p", "0"}, dir_.path());
    ASSERT_EQ(run.exit_status, 0) << run.output;
    reference_ = readFile(dir_ / "res.txt");
    std::filesystem::remove(dir_ / "res.txt");
    for (int k = 1; k <= 3; ++k) ASSERT_GE(lines(k).size(), 3u) << "worker " << k << " kept no pair";
  }

  // The name the run prints, relative to its folder, and the path.
  static std::string partial(int k) { return "res_partial" + std::to_string(k) + ".txt"; }
  std::filesystem::path path(int k) const { return dir_ / partial(k); }
  std::vector<std::string> lines(int k) const { return splitLines(readFile(path(k))); }
  void setLines(int k, const std::vector<std::string>& content) const {
    std::string text;
    for (const std::string& line : content) text += line + "\n";
    writeFile(path(k), text);
  }
  RunResult assemble(const std::vector<std::string>& extra = {}) const {
    return runDyadmill(base_ + std::vector<std::string>{"-p", "0"} + extra, dir_.path());
  }
  // The assembly stops with 255, names the file and says `what`, and
  // writes no results.
  void expectRefused(const RunResult& run, int k, const std::string& what) const {
    EXPECT_EQ(run.exit_status, 255) << run.output;
    EXPECT_TRUE(contains(run.output, partial(k))) << run.output;
    EXPECT_TRUE(contains(run.output, what)) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "res.txt"));
  }

  ScratchDir dir_;
  std::vector<std::string> base_ = {"-n",
                                    "3",
                                    "-i",
                                    "data.txt",
                                    "-o",
                                    "res",
                                    "-b",
                                    "3",
                                    "-t",
                                    "0.5",
                                    "-r",
                                    "7",
                                    "--association",
                                    "--score",
                                    "--maxT",
                                    "--nomissing",
                                    "--permutations",
                                    "4"};
  std::string reference_;
};

TEST_F(AssemblyChecks, FilesOfAnotherRunNameTheFieldAndBothValues) {
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"-r", "8"}, "does not belong to this run: -r (seed) is 7 in the file but 8 in this run"},
      {{"--epistasis"}, "hypothesis (--epistasis/--association) is association in the file but epistasis"},
      {{"--likelihood"}, "test (--score/--likelihood) is score in the file but likelihood"},
      {{"--missing"}, "missingness (--missing/--nomissing) is nomissing in the file but missing"},
      {{"-t", "0.75"}, "-t (threshold) is 0.5 in the file but 0.75 in this run"},
      {{"-m", "3"}, "-m (minimum cell size) is 1 in the file but 3"},
      {{"--permutations", "6"}, "--permutations is 4 in the file but 6"},
      {{"--fwer"}, "does not belong to this run: --fwer is 0 in the file but 1 in this run"},
      {{"-b", "4"}, "-b (number of data blocks used) is 3 in the file but 4"},
      {{"-n", "2"}, "-n (number of processes) is 3 in the file but 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    expectRefused(assemble(c.options), 1, c.message);
  }
  // Another genotype file: more SNPs, or as many with other names.
  GenotypeData other = randomGenotypes(4242, 14, 150, 0.4);
  writeFile(dir_ / "other.txt", other.toText());
  expectRefused(assemble({"-i", "other.txt"}), 1, "number of SNPs in the genotype file is 12 in the file but 14");
  other = randomGenotypes(4242, 12, 150, 0.4);
  other.names[5] = "renamed";
  writeFile(dir_ / "other.txt", other.toText());
  expectRefused(assemble({"-i", "other.txt"}), 1, "SNP names of the genotype file is fnv1a64:");
  // A file renamed to another worker's number.
  std::filesystem::remove(path(2));
  std::filesystem::copy_file(path(3), path(2));
  expectRefused(assemble(), 2, "-p (process number) is 3 in the file but 2 in this run");
}

TEST_F(AssemblyChecks, IncompleteOrJoinedFilesAreRefused) {
  const std::vector<std::string> original = lines(2);
  const std::vector<std::string> pairs(original.begin() + 1, original.end() - 1);

  setLines(2, {});
  expectRefused(assemble(), 2, "is empty: it has no provenance line");
  setLines(2, pairs);
  expectRefused(assemble(), 2, "has no provenance line although the other partial files of this run have one");

  setLines(2, std::vector<std::string>(original.begin(), original.end() - 1));
  expectRefused(assemble(), 2, "ends without its pair-count line");

  std::vector<std::string> shorter = original;
  shorter.erase(shorter.begin() + 1);
  setLines(2, shorter);
  expectRefused(assemble(), 2,
                "holds " + std::to_string(pairs.size() - 1) + " pair lines but its last line records " +
                    std::to_string(pairs.size()));

  // Two pair lines joined: the extra fields pass for permutation values,
  // but a pair is missing from the count.
  std::vector<std::string> joined = original;
  joined[1] += " " + joined[2];
  joined.erase(joined.begin() + 2);
  setLines(2, joined);
  expectRefused(assemble(), 2, "pair lines but its last line records");

  setLines(2, original + lines(3));
  expectRefused(assemble(), 2, "after the pair-count line: was another file appended");

  // A repeated pair, with a count that agrees.
  std::vector<std::string> repeated = original;
  repeated.insert(repeated.begin() + 1, original[1]);
  repeated.back() = "# pairs=" + std::to_string(pairs.size() + 1);
  setLines(2, repeated);
  expectRefused(assemble(), 2, "was already read");

  setLines(2, original);
  ASSERT_EQ(assemble().exit_status, 0);
  EXPECT_EQ(readFile(dir_ / "res.txt"), reference_);
}

TEST_F(AssemblyChecks, ValuesTheScanCannotWriteAreRefused) {
  const std::vector<std::string> original = lines(1);
  // Fields of the first pair line: i j statistic df, then 4 permutation values.
  const auto edited = [&](std::size_t field, const std::string& value) {
    std::vector<std::string> copy = original;
    std::vector<std::string> fields;
    std::istringstream in(copy[1]);
    for (std::string f; in >> f;) fields.push_back(f);
    fields[field] = value;
    copy[1].clear();
    for (const std::string& f : fields) copy[1] += (copy[1].empty() ? "" : " ") + f;
    return copy;
  };
  const struct {
    std::size_t field;
    const char* value;
    const char* message;
  } cases[] = {
      {2, "nan", "is not a value the scan can keep"},
      {2, "inf", "is not a value the scan can keep"},
      {2, "0.25", "does not pass the threshold -t 0.5"},
      {3, "0", "0 degrees of freedom are outside the range 1 to 8"},
      {3, "9", "9 degrees of freedom are outside the range 1 to 8"},
      {4, "nan", "permutation value 1 (nan) is not a value the scan can produce"},
      {5, "inf", "permutation value 2 (inf) is not a value the scan can produce"},
      {7, "-1", "permutation value 4 (-1) is not a value the scan can produce"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    setLines(1, edited(c.field, c.value));
    expectRefused(assemble(), 1, c.message);
  }

  // A pair moved to another worker lies outside that worker's share.
  std::vector<std::string> one = original;
  std::vector<std::string> three = lines(3);
  three.insert(three.begin() + 1, one[1]);
  one.erase(one.begin() + 1);
  one.back() = "# pairs=" + std::to_string(one.size() - 2);
  three.back() = "# pairs=" + std::to_string(three.size() - 2);
  setLines(1, one);
  setLines(3, three);
  expectRefused(assemble(), 3, "outside the share of process 3 (combinations 4 to 5)");
}

TEST_F(AssemblyChecks, FilesOfAnEarlierVersionAreReadWithAWarning) {
  for (int k = 1; k <= 3; ++k) {
    std::vector<std::string> content = lines(k);
    setLines(k, std::vector<std::string>(content.begin() + 1, content.end() - 1));
  }
  const RunResult run = assemble();
  ASSERT_EQ(run.exit_status, 0) << run.output;
  for (int k = 1; k <= 3; ++k) {
    EXPECT_TRUE(contains(run.output, "WARNING: Partial output file " + partial(k) +
                                         " has no provenance lines (it was written by an earlier version)"));
  }
  EXPECT_EQ(readFile(dir_ / "res.txt"), reference_);

  // A huge permutation count is checked against each line before any value
  // is stored, so the assembly stops at once instead of asking for memory.
  std::filesystem::remove(dir_ / "res.txt");
  const RunResult huge = assemble({"--permutations", "2147483647"});
  EXPECT_EQ(huge.exit_status, 255);
  EXPECT_TRUE(contains(huge.output, partial(1) + ", line 1: partial file has less permutation values (4) than "
                                                 "specified (2147483647)"))
      << huge.output;
}

TEST_F(AssemblyChecks, CheckPartialJudgesOneFile) {
  RunResult run = assemble({"--check-partial", "2"});
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_TRUE(contains(run.output, "INFO: Partial output file " + partial(2) + " passes every check\n"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "res.txt"));

  std::vector<std::string> content = lines(2);
  content.pop_back();
  setLines(2, content);
  expectRefused(assemble({"--check-partial", "2"}), 2, "ends without its pair-count line");
  EXPECT_EQ(assemble({"--check-partial", "3"}).exit_status, 0);
  // A file without provenance cannot be vouched for.
  setLines(3, std::vector<std::string>(content.begin() + 1, content.end()));
  expectRefused(assemble({"--check-partial", "3"}), 3, "has no provenance line");
  std::filesystem::remove(path(3));
  EXPECT_EQ(assemble({"--check-partial", "3"}).exit_status, 255);
  EXPECT_EQ(assemble({"--check-partial", "4"}).exit_status, 255);
}

// Runs refused before they could go wrong: too many blocks, an input that
// cannot be read twice; and duplicate SNP names, which only warn.
TEST(RunChecks, BlocksBeyondTheSnpCountAndNonRegularInputStop) {
  ScratchDir dir;
  writeFile(dir / "data.txt", randomGenotypes(3, 12, 40).toText());
  const std::vector<std::string> base = {"-i", "data.txt",      "-o",      "res",    "-t",
                                         "5",  "--association", "--score", "--maxT", "--nomissing"};
  for (const char* b : {"13", "200", "65535"}) {
    for (const std::vector<std::string>& process :
         {std::vector<std::string>{"-n", "1", "-p", "1"}, std::vector<std::string>{"-n", "2", "-p", "0"}}) {
      const RunResult run = runDyadmill(base + process + std::vector<std::string>{"-b", b}, dir.path());
      EXPECT_EQ(run.exit_status, 255);
      EXPECT_TRUE(contains(run.output, std::string("ERROR! -b ") + b + " is more than the number of SNPs (12)\n"))
          << run.output;
      EXPECT_FALSE(contains(run.output, "Block combination"));
    }
  }
  const RunResult twelve = runDyadmill(base + std::vector<std::string>{"-n", "1", "-p", "1", "-b", "12"}, dir.path());
  EXPECT_EQ(twelve.exit_status, 0) << twelve.output;

  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  const RunResult pipe = runDyadmill(
      {"-n", "1", "-p", "1", "-i", "pipe", "-o", "res", "-t", "5", "--association", "--score", "--maxT", "--nomissing"},
      dir.path());
  EXPECT_EQ(pipe.exit_status, 255);
  EXPECT_TRUE(contains(pipe.output, "ERROR: pipe: the genotype file must be a regular file (it is read twice)\n"))
      << pipe.output;

  GenotypeData dup = randomGenotypes(3, 12, 40);
  dup.names[4] = dup.names[1];
  dup.names[9] = dup.names[1];
  dup.names[11] = dup.names[10];
  writeFile(dir / "dup.txt", dup.toText());
  const RunResult warned = runDyadmill({"-n", "1", "-p", "1", "-i", "dup.txt", "-o", "res", "-t", "5", "--association",
                                        "--score", "--maxT", "--nomissing"},
                                       dir.path());
  EXPECT_EQ(warned.exit_status, 0) << warned.output;
  EXPECT_TRUE(contains(warned.output,
                       "WARNING: dup.txt: 3 duplicate SNP names, so results name some pairs "
                       "ambiguously: " +
                           dup.names[1] + " (columns 3 and 6), " + dup.names[1] + " (columns 3 and 11), " +
                           dup.names[10] + " (columns 12 and 13)\n"))
      << warned.output;
}

// A permutation count whose values alone exceed the machine's memory is
// refused before the scan asks for any of it.
TEST(RunChecks, PermutationCountBeyondMemoryStopsBeforeAllocating) {
  const std::uint64_t memory =
      static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  if (memory / 16 >= 2147483647u) GTEST_SKIP() << "this machine could hold 2147483647 permutation values twice";
  ScratchDir dir;
  writeFile(dir / "data.txt", randomGenotypes(3, 6, 40).toText());
  const RunResult run = runDyadmill({"-n", "1", "-p", "1", "-i", "data.txt", "-o", "res", "-t", "5", "--association",
                                     "--score", "--maxT", "--nomissing", "--permutations", "2147483647", "-r", "3"},
                                    dir.path());
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output, "ERROR: --permutations 2147483647 needs at least 34359 MB")) << run.output;
}

}  // namespace
}  // namespace dyadmill::testing
