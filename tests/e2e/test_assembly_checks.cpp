// The assembly refuses partial files that do not belong to the run it is
// given, or that were damaged, and still reads files of an earlier version.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

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

// Edits that leave every line readable and every value plausible, with the
// count adjusted where a line went: only the hash in the last line tells.
TEST_F(AssemblyChecks, EditsThatKeepTheFormFailTheHash) {
  const std::vector<std::string> original = lines(2);
  ASSERT_GE(original.size(), 4u);  // two pair lines at least
  const auto withField = [&](std::size_t field, const std::string& value) {
    std::vector<std::string> copy = original;
    std::vector<std::string> fields;
    std::istringstream in(copy[1]);
    for (std::string f; in >> f;) fields.push_back(f);
    fields[field] = value;
    // The writer's spacing: one space between fields, two before the values.
    copy[1] = fields[0] + " " + fields[1] + " " + fields[2] + " " + fields[3] + " ";
    for (std::size_t f = 4; f < fields.size(); ++f) copy[1] += " " + fields[f];
    return copy;
  };
  std::vector<std::string> fields;
  {
    std::istringstream in(original[1]);
    for (std::string f; in >> f;) fields.push_back(f);
  }
  ASSERT_EQ(fields.size(), 8u);
  const std::string df = fields[3] == "8" ? "4" : "8";
  ASSERT_EQ(withField(2, fields[2]), original) << "the rebuilt line must match the writer's";

  std::vector<std::string> deleted = original;
  deleted.erase(deleted.begin() + 1);
  deleted.back() =
      "# pairs=" + std::to_string(deleted.size() - 2) + original.back().substr(original.back().find(' ', 2));
  std::vector<std::string> swapped = original;
  std::swap(swapped[1], swapped[2]);
  std::vector<std::string> blank = original;
  blank.insert(blank.begin() + 2, "");

  const struct {
    const char* what;
    std::vector<std::string> content;
  } cases[] = {
      {"a statistic", withField(2, "1" + fields[2])},
      {"a permutation value", withField(5, fields[5] == "1" ? "2" : "1")},
      {"the degrees of freedom", withField(3, df)},
      {"a pair line deleted, the count adjusted", deleted},
      {"two pair lines swapped", swapped},
      {"an empty line added", blank},
  };
  const std::string refusal =
      "ERROR: " + partial(2) + ": its pair lines do not match the hash in its last line (edited or truncated?)";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.content, original);
    setLines(2, c.content);
    expectRefused(assemble(), 2, refusal);
    expectRefused(assemble({"--check-partial", "2"}), 2, refusal);
  }
  setLines(2, original);
  const RunResult untouched = assemble();
  ASSERT_EQ(untouched.exit_status, 0) << untouched.output;
  EXPECT_FALSE(contains(untouched.output, "WARNING")) << untouched.output;
  EXPECT_EQ(readFile(dir_ / "res.txt"), reference_);
}

TEST_F(AssemblyChecks, FwerValuesAreCoveredByTheHash) {
  for (const char* k : {"1", "2", "3"}) {
    const RunResult run = runDyadmill(base_ + std::vector<std::string>{"--fwer", "-p", k}, dir_.path());
    ASSERT_EQ(run.exit_status, 0) << run.output;
  }
  std::vector<std::string> content = lines(3);
  const auto fwer = std::find_if(content.begin(), content.end(),
                                 [](const std::string& line) { return line.rfind("# fwer=", 0) == 0; });
  ASSERT_NE(fwer, content.end());
  // A larger extreme is as plausible as the one written.
  *fwer = "# fwer=1" + fwer->substr(7);
  setLines(3, content);
  expectRefused(assemble({"--fwer"}), 3, "its pair lines do not match the hash in its last line");
}

// Files of this version whose last line lacks the hash were written before
// it was added: read with a warning, unless another file of the set has one.
TEST_F(AssemblyChecks, LastLinesWithoutHash) {
  const auto dropHash = [&](int k) {
    std::vector<std::string> content = lines(k);
    content.back() = content.back().substr(0, content.back().find(" hash="));
    setLines(k, content);
  };
  dropHash(1);
  expectRefused(assemble(), 1, "has no hash in its last line, but " + partial(2) + " of the same run has one");
  dropHash(2);
  dropHash(3);
  const RunResult run = assemble();
  ASSERT_EQ(run.exit_status, 0) << run.output;
  for (int k = 1; k <= 3; ++k) {
    EXPECT_TRUE(contains(run.output, "WARNING: Partial output file " + partial(k) +
                                         " has no hash in its last line (it was written by an earlier version)"))
        << run.output;
  }
  EXPECT_EQ(readFile(dir_ / "res.txt"), reference_);
}

// A FIFO would block the assembly's open until some writer came; a folder
// or a device is no file a worker wrote. The run is given a deadline: a
// watchdog opens the FIFO for writing, which releases a blocked reader.
TEST_F(AssemblyChecks, NamesThatAreNoRegularFileStopWithoutWaiting) {
  std::filesystem::remove(path(2));
  ASSERT_EQ(::mkfifo(path(2).c_str(), 0600), 0);
  std::atomic<bool> finished{false};
  std::atomic<bool> released{false};
  std::thread watchdog([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (std::chrono::steady_clock::now() < deadline) continue;
      released = true;
      const int fd = ::open(path(2).c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  });
  const RunResult fifo = assemble();
  finished = true;
  watchdog.join();
  EXPECT_FALSE(released) << "the assembly waited on the FIFO";
  expectRefused(fifo, 2, "is a FIFO (named pipe), not a regular file");
  const RunResult check = assemble({"--check-partial", "2"});
  expectRefused(check, 2, "is a FIFO (named pipe), not a regular file");

  std::filesystem::remove(path(2));
  std::filesystem::create_directory(path(2));
  expectRefused(assemble(), 2, "is a folder, not a regular file");
  std::filesystem::remove(path(2));
  std::filesystem::create_symlink("/dev/null", path(2));
  expectRefused(assemble(), 2, "is a character device, not a regular file");
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
  std::filesystem::remove(dir_ / "res.txt");

  // Such files cannot tell a run that kept no pair from files emptied by a
  // failure: a set of them without a single pair line is refused.
  std::vector<std::string> earlier[3];
  for (int k = 1; k <= 3; ++k) {
    earlier[k - 1] = lines(k);
    setLines(k, {});
  }
  const RunResult empty = assemble();
  EXPECT_EQ(empty.exit_status, 255) << empty.output;
  EXPECT_TRUE(contains(empty.output, "ERROR: None of the partial output files " + partial(1) + " to " + partial(3) +
                                         " holds a pair line"))
      << empty.output;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "res.txt"));
  // One pair in the whole set is enough.
  setLines(3, {earlier[2].front()});
  EXPECT_EQ(assemble().exit_status, 0);
  std::filesystem::remove(dir_ / "res.txt");
  for (int k = 1; k <= 3; ++k) setLines(k, earlier[k - 1]);

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
