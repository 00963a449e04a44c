// Reading genotype files through the real binary: the progress lines, every
// rejected input with its line number, and the layouts that must read the
// same as a plain file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fileset_writer.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

// A scan that keeps every pair (threshold 0), so the results list SNP names.
std::vector<std::string> scanArgs(const std::string& mode, const std::string& processes = "1",
                                  const std::string& process = "1") {
  return {"--association", "--maxT", "--score", "-t",      "0",  "-i",   "g.txt", "-o",
          "out",           mode,     "-n",      processes, "-p", process};
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

struct BadInput {
  const char* label;
  std::string content;
  std::string mode;
  std::string prefix;              // start of the error line
  std::vector<std::string> words;  // the problem, in the error line's own terms
};

TEST(GenotypeReaderRun, RejectsInputOutsideTheFormatNamingTheLine) {
  const std::string H = "Trait a b c\n";
  const std::vector<BadInput> cases = {
      {"word as genotype", H + "1 0 1 2\n0 1 x 0\n", "--missing", "ERROR: g.txt, line 3: ", {"\"x\"", "integer"}},
      {"decimal trait", H + "1.0 0 1 2\n", "--missing", "ERROR: g.txt, line 2: ", {"\"1.0\"", "integer"}},
      {"above int16", H + "1 0 1 2\n0 1 1 40000\n", "--missing", "ERROR: g.txt, line 3: ", {"40000", "integer"}},
      {"below int16", H + "1 0 1 2\n0 -32769 1 1\n", "--missing", "ERROR: g.txt, line 3: ", {"-32769", "integer"}},
      {"tab is no separator", H + "1 0\t1 2\n", "--missing", "ERROR: g.txt, line 2: ", {"integer"}},
      {"too few fields", H + "1 0 1 2\n0 1 1\n", "--missing", "ERROR: g.txt, line 3: ", {"4 fields", "found 3"}},
      {"too many fields", H + "1 0 1 2\n0 1 1 0 2\n", "--missing", "ERROR: g.txt, line 3: ", {"4 fields", "found 5"}},
      {"genotype code 3", H + "1 0 1 2\n0 1 3 0\n", "--missing", "ERROR: g.txt, line 3: ", {"code 3", "SNP b"}},
      {"leading zeros read as a number", H + "1 007 1 2\n", "--missing", "ERROR: g.txt, line 2: ", {"code 7", "SNP a"}},
      // Long digit strings are read without overflowing on the way.
      {"many leading zeros", H + "1 0000000000479 1 2\n", "--missing", "ERROR: g.txt, line 2: ", {"code 479"}},
      {"long number",
       H + "1 0 1 2\n0 1 1 99999999999999999999\n",
       "--missing",
       "ERROR: g.txt, line 3: ",
       {"99999999999999999999", "integer"}},
      {"trait 2", H + "1 0 1 2\n2 0 1 2\n", "--missing", "ERROR: g.txt, line 3: ", {"trait value 2"}},
      {"trait -1", H + "-1 0 1 2\n", "--missing", "ERROR: g.txt, line 2: ", {"trait value -1"}},
      {"missing code under --nomissing",
       H + "1 0 1 2\n0 -9 1 2\n",
       "--nomissing",
       "ERROR: g.txt, line 3: ",
       {"-9", "SNP a", "--missing"}},
      {"empty file", "", "--missing", "ERROR: g.txt, line 1: ", {"header", "empty"}},
      {"empty header", "\n1 0 1 2\n", "--missing", "ERROR: g.txt, line 1: ", {"header", "empty"}},
      {"header of spaces", "   \n1 0 1 2\n", "--missing", "ERROR: g.txt, line 1: ", {"header", "spaces"}},
      {"header without SNPs", "Trait\n1\n0\n", "--missing", "ERROR: g.txt, line 1: ", {"no SNP"}},
      {"line of spaces", H + "1 0 1 2\n    \n0 1 1 0\n", "--missing", "ERROR: g.txt, line 3: ", {"spaces"}},
      {"blank lines are counted", H + "\n1 0 1 2\n\n\n0 1 9 0\n", "--missing", "ERROR: g.txt, line 6: ", {"code 9"}},
      {"windows line ends",
       "Trait a b c\r\n1 0 1 2\r\n\r\n0 2 1 3\r\n",
       "--missing",
       "ERROR: g.txt, line 4: ",
       {"code 3", "SNP c"}},
      {"no subjects", H, "--missing", "ERROR: g.txt: ", {"no subject"}},
      {"only blank lines after the header", H + "\n\n", "--missing", "ERROR: g.txt: ", {"no subject"}},
      {"no cases", H + "0 0 1 2\n0 1 1 1\n", "--missing", "ERROR: g.txt: ", {"every subject is a control"}},
      {"no controls", H + "1 0 1 2\n1 1 1 1\n", "--nomissing", "ERROR: g.txt: ", {"every subject is a case"}},
  };
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    writeFile(dir / "g.txt", c.content);
    const RunResult r = runDyadmill(scanArgs(c.mode), dir.path());
    EXPECT_EQ(r.exit_status, 255);
    const std::vector<std::string> lines = splitLines(r.output);
    ASSERT_FALSE(lines.empty());
    // The error ends the run: nothing is printed after it, nothing written.
    const std::string& error = lines.back();
    EXPECT_EQ(error.rfind(c.prefix, 0), 0u) << error;
    for (const std::string& w : c.words) EXPECT_TRUE(contains(error, w)) << error;
    EXPECT_FALSE(contains(r.output, "\r"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
  }
}

TEST(GenotypeReaderRun, ProgressLinesOfAScanningRun) {
  ScratchDir dir;
  writeFile(dir / "g.txt", randomGenotypes(3, 4, 30, 0.4).toText());
  const RunResult r = runDyadmill(scanArgs("--missing"), dir.path());
  EXPECT_EQ(r.exit_status, 0);
  const std::vector<std::string> lines = splitLines(r.output);
  const std::vector<std::string> expected = {
      "INFO: Reading SNP names", "INFO: Counting number of lines(subjects) in the input file....",
      "INFO: Total number of SNPs in the INPUT file: 4",
      "INFO: Starting to convert genotypes of INPUT file line by line", "INFO: Done reading the input genotype data"};
  const auto first = std::find(lines.begin(), lines.end(), expected.front());
  ASSERT_NE(first, lines.end()) << r.output;
  ASSERT_GE(lines.end() - first, static_cast<long>(expected.size()));
  EXPECT_EQ(std::vector<std::string>(first, first + static_cast<long>(expected.size())), expected);
}

// The same subjects written in any accepted layout give the same results
// file as the plain layout, SNP names included.
TEST(GenotypeReaderRun, AcceptedLayoutsReadLikeThePlainFile) {
  const GenotypeData data = randomGenotypes(11, 5, 70, 0.4, 0.1);
  const std::string plain = data.toText();

  std::string padded;  // runs of spaces between fields and at both ends
  for (const std::string& line : splitLines(plain)) padded += "  " + replaceAll(line, " ", "   ") + " \n";
  std::string blank_lines;  // blank lines after the header, between subjects and at the end
  for (const std::string& line : splitLines(plain)) blank_lines += line + "\n\n";
  std::string signs = "Trait";  // "+1", "00", "000", "01" and "+2" are the numbers 1, 0, 0, 1 and 2
  for (const std::string& name : data.names) signs += " " + name;
  signs += "\n";
  for (std::size_t s = 0; s < data.subjects(); ++s) {
    signs += data.traits[s] == 1 ? "+1" : "00";
    for (int g : data.genotypes[s]) signs += g == 0 ? " 000" : g == 1 ? " 01" : g == 2 ? " +2" : " -9";
    signs += "\n";
  }
  const std::vector<std::pair<const char*, std::string>> variants = {
      {"windows line ends", replaceAll(plain, "\n", "\r\n")},
      {"no line end after the last subject", plain.substr(0, plain.size() - 1)},
      {"windows line ends, none after the last subject", replaceAll(plain.substr(0, plain.size() - 1), "\n", "\r\n")},
      {"extra spaces", padded},
      {"blank lines", blank_lines},
      {"signs and leading zeros", signs},
  };

  ScratchDir dir;
  writeFile(dir / "g.txt", plain);
  ASSERT_EQ(runDyadmill(scanArgs("--missing"), dir.path()).exit_status, 0);
  const std::string expected = readFile(dir / "out.txt");
  ASSERT_GT(splitLines(expected).size(), 5u) << expected;
  EXPECT_TRUE(contains(expected, "rs1000\trs1001\t"));
  for (const auto& [label, content] : variants) {
    SCOPED_TRACE(label);
    ScratchDir variant;
    writeFile(variant / "g.txt", content);
    EXPECT_EQ(runDyadmill(scanArgs("--missing"), variant.path()).exit_status, 0);
    EXPECT_EQ(readFile(variant / "out.txt"), expected);
  }
}

// A fileset named by its prefix, or a gzip file named without .gz: the
// message names the file the user most likely meant.
TEST(GenotypeReaderRun, AMissingInputSuggestsTheFileMeant) {
  ScratchDir dir;
  writeFileset(dir / "study", makeFileset(randomGenotypes(8, 5, 30, 0.4)));
  writeGzipFile(dir / "cohort.txt.gz", randomGenotypes(9, 5, 30, 0.4).toText());
  for (const auto& [given, meant] : {std::pair<std::string, std::string>{"study", "study.bed"},
                                     std::pair<std::string, std::string>{"cohort.txt", "cohort.txt.gz"}}) {
    const RunResult r = runDyadmill(
        {"-n", "1", "-p", "1", "-i", given, "-o", "res", "-t", "5", "--association", "--score", "--maxT", "--missing"},
        dir.path());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_TRUE(contains(r.output, "ERROR: " + given + " does not exist; did you mean " + meant + "?\n")) << r.output;
  }
  // Nothing to suggest: only the plain message.
  const RunResult r = runDyadmill({"-n", "1", "-p", "1", "-i", "nothing", "-o", "res", "-t", "5", "--association",
                                   "--score", "--maxT", "--missing"},
                                  dir.path());
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_FALSE(contains(r.output, "did you mean")) << r.output;
}

// In a fileset the SNP names are lines of the .bim: the warning about
// duplicates names that file and those lines.
TEST(GenotypeReaderRun, DuplicateNamesInAFilesetPointAtTheMapLines) {
  ScratchDir dir;
  GenotypeData data = randomGenotypes(10, 6, 40, 0.4);
  data.names[4] = data.names[1];
  writeFileset(dir / "set", makeFileset(data));
  const RunResult r = runDyadmill({"-n", "1", "-p", "1", "-i", "set.bed", "-o", "res", "-t", "5", "--association",
                                   "--score", "--maxT", "--missing"},
                                  dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.output;
  EXPECT_TRUE(contains(r.output, "WARNING: set.bim: 1 duplicate SNP name, so results name some pairs ambiguously: " +
                                     data.names[1] + " (lines 2 and 5)\n"))
      << r.output;
}

TEST(GenotypeReaderRun, AssemblyRunReadsOnlyTheHeader) {
  struct Case {
    const char* label;
    std::string content;
    bool file;  // false: no genotype file at all
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const std::string unreadable = "ERROR: Unable to open the input genotype file! Check the path to the file!";
  const std::vector<Case> cases = {
      {"garbage subject lines",
       "Trait a b c\nnot a subject\n1 2 3 4 5 6 7\n\t\n",
       true,
       {"INFO: Reading SNP names"},
       {"INFO: Counting", "ERROR: g.txt"}},
      {"header without SNPs", "Trait\n", true, {"ERROR: g.txt, line 1: "}, {}},
      {"no file", "", false, {unreadable}, {"INFO: Reading SNP names"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    if (c.file) writeFile(dir / "g.txt", c.content);
    // Without partial files the merge that follows fails; only the reading
    // step is of interest here.
    const RunResult r = runDyadmill(scanArgs("--missing", "2", "0"), dir.path());
    EXPECT_EQ(r.exit_status, 255);
    for (const std::string& p : c.present) EXPECT_TRUE(contains(r.output, p)) << r.output;
    for (const std::string& a : c.absent) EXPECT_FALSE(contains(r.output, a)) << r.output;
  }
  // A scanning run stops at a missing file the same way.
  ScratchDir dir;
  const RunResult r = runDyadmill(scanArgs("--missing"), dir.path());
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(splitLines(r.output).back(), unreadable);
}

}  // namespace
}  // namespace dyadmill::testing
