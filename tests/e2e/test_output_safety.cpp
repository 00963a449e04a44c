// Output files are checked before anything is read: none may be the input
// under another name, and every folder written into must take new files.
#include <gtest/gtest.h>

#include <unistd.h>

#include "fileset_writer.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> scan(const std::string& input, const std::string& out, std::vector<std::string> more = {}) {
  std::vector<std::string> args = {
      "-n", "1", "-p", "1", "-i", input, "-o", out, "-t", "0.5", "--association", "--score", "--maxT", "--missing"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class OutputSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    text_ = randomGenotypes(31, 5, 40, 0.4).toText();
    writeFile(dir_ / "data.txt", text_);
    fs::create_directory(dir_ / "sub");
  }

  // The run stopped before reading anything, with the given last lines.
  void expectStoppedEarly(const RunResult& r, const std::string& ending) {
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_TRUE(r.output.ends_with(ending)) << r.output;
    EXPECT_FALSE(contains(r.output, "INFO: Reading SNP names")) << r.output;
  }

  ScratchDir dir_;
  std::string text_;
};

TEST_F(OutputSafety, NoOutputMayBeTheInputUnderAnyName) {
  struct Case {
    const char* label;
    std::vector<std::string> args;
    std::string input;   // the file that must survive, relative to the run folder
    std::string output;  // as named in the message
  };
  fs::create_hard_link(dir_ / "data.txt", dir_ / "hard.txt");
  fs::create_symlink(dir_ / "data.txt", dir_ / "sub" / "link.tsv");
  fs::create_symlink(dir_ / "data.txt", dir_ / "sub" / "ext.fwer");
  writeFile(dir_ / "matrix_minP.txt", text_);
  writeFile(dir_ / "res_partial2.txt", text_);
  const std::vector<Case> cases = {
      {"results file", scan("data.txt", "data"), "data.txt", "data.txt"},
      {"results file by another path", scan("./sub/../data.txt", "data"), "data.txt", "data.txt"},
      {"results file through a hard link", scan("data.txt", "hard"), "data.txt", "hard.txt"},
      {"table through a symbolic link", scan("data.txt", "sub/link", {"--table"}), "data.txt", "sub/link.tsv"},
      {"extremes file through a symbolic link",
       scan("data.txt", "sub/ext", {"--fwer", "--permutations", "19", "-r", "3"}), "data.txt", "sub/ext.fwer"},
      {"table implied by --fwer", scan("data.txt", "sub/link", {"--fwer", "--permutations", "19", "-r", "3"}),
       "data.txt", "sub/link.tsv"},
      {"matrix file", scan("matrix_minP.txt", "res", {"--minP"}), "matrix_minP.txt", "matrix_minP.txt"},
      {"partial file",
       {"-n", "2", "-p", "2", "-i", "res_partial2.txt", "-o", "res", "-t", "1", "--association", "--score", "--maxT",
        "--missing"},
       "res_partial2.txt",
       "res_partial2.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const RunResult r = runDyadmill(c.args, dir_.path());
    expectStoppedEarly(r, "ERROR! Output file " + c.output + " would overwrite the input file\n");
    EXPECT_EQ(readFile(dir_ / c.input), text_);
  }

  // A fileset is three files: the map is protected as well.
  writeFileset(dir_ / "set", makeFileset(randomGenotypes(32, 4, 30, 0.4)));
  const std::string map = readFile(dir_ / "set.bim");
  fs::create_symlink(dir_ / "set.bim", dir_ / "maplink.txt");
  const RunResult r = runDyadmill(scan("set.bed", "maplink"), dir_.path());
  expectStoppedEarly(r, "ERROR! Output file maplink.txt would overwrite the input file\n");
  EXPECT_EQ(readFile(dir_ / "set.bim"), map);
}

TEST_F(OutputSafety, UnwritableFoldersStopBeforeTheScan) {
  RunResult r = runDyadmill(scan("data.txt", "missing/res"), dir_.path());
  expectStoppedEarly(r,
                     "Unable to open OUTPUT file\n"
                     "ERROR: missing/res.txt cannot be created: folder missing: No such file or directory\n");

  r = runDyadmill({"-n", "2", "-p", "1", "-i", "data.txt", "-o", "gone/res", "-t", "1", "--association", "--score",
                   "--maxT", "--missing"},
                  dir_.path());
  expectStoppedEarly(r, "ERROR: gone/res_partial1.txt cannot be created: folder gone: No such file or directory\n");

  r = runDyadmill(scan("data.txt", "data.txt/res", {"--table"}), dir_.path());
  expectStoppedEarly(r, "ERROR: data.txt/res.txt cannot be created: folder data.txt: Not a directory\n");
  EXPECT_EQ(readFile(dir_ / "data.txt"), text_);

  // Permission bits do not stop the superuser: the rest needs another user.
  if (::geteuid() == 0) GTEST_SKIP() << "running as root";
  fs::create_directory(dir_ / "locked");
  fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  r = runDyadmill(scan("data.txt", "locked/res"), dir_.path());
  expectStoppedEarly(r, "ERROR: locked/res.txt cannot be created: folder locked: Permission denied\n");
  // The matrix files go to the working folder even when -o points elsewhere.
  r = runDyadmill(scan("../data.txt", "../sub/res"), dir_ / "locked");
  expectStoppedEarly(r, "ERROR: SNP_pairs_and_permut_p_vals_maxT.txt cannot be created: folder .: Permission denied\n");
  fs::permissions(dir_ / "locked", fs::perms::owner_all);
  EXPECT_TRUE(fs::is_empty(dir_ / "locked"));
}

// A writable folder passes the check and keeps no trace of it.
// An output name taken by a folder, or too long for the file system, would
// fail only when the finished files are moved into place: it stops the run
// before anything is read.
TEST_F(OutputSafety, OutputNamesTakenByFoldersOrTooLongStopBeforeTheScan) {
  fs::create_directory(dir_ / "res.txt");
  RunResult r = runDyadmill(scan("data.txt", "res"), dir_.path());
  expectStoppedEarly(r, "ERROR: Output file res.txt is a folder; choose another output name (-o)\n");
  fs::create_directory(dir_ / "out.tsv");
  r = runDyadmill(scan("data.txt", "out", {"--table"}), dir_.path());
  expectStoppedEarly(r, "ERROR: Output file out.tsv is a folder; choose another output name (-o)\n");
  EXPECT_TRUE(fs::is_directory(dir_ / "res.txt"));

  // A name the file system cannot hold would fail only after the scan.
  const std::string long_name(250, 'x');
  r = runDyadmill(scan("data.txt", long_name), dir_.path());
  expectStoppedEarly(r, "ERROR: Output file name " + long_name +
                            ".txt is too long for its folder (at most 255 characters with the temporary suffix, "
                            "which needs 11); choose a shorter output name (-o)\n");
}

TEST_F(OutputSafety, TheCheckLeavesNothingBehind) {
  const RunResult r = runDyadmill(scan("../data.txt", "res"), dir_ / "sub");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir_ / "sub")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"SNP_pairs_and_permut_p_vals_maxT.txt", "res.log", "res.txt"}));
}

}  // namespace
}  // namespace dyadmill::testing
