// The command line as a user meets it: help text, option errors, the
// missing-choice messages, the parameter echo and the numbering and
// permutation checks, each seen through the real binary.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

// Splits a command written on one line; options never contain spaces here.
std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// True when `expected` appear among the output lines as whole lines, in order.
::testing::AssertionResult hasLinesInOrder(const std::string& output, const std::vector<std::string>& expected) {
  const std::vector<std::string> lines = splitLines(output);
  std::size_t at = 0;
  for (const std::string& want : expected) {
    while (at < lines.size() && lines[at] != want) ++at;
    if (at == lines.size()) return ::testing::AssertionFailure() << "missing line \"" << want << "\" in:\n" << output;
    ++at;
  }
  return ::testing::AssertionSuccess();
}

// Subjects of both groups and no missing genotype, so every mode accepts it.
constexpr char kGenotypes[] =
    "Trait a b c\n"
    "1 0 1 2\n"
    "0 1 1 0\n"
    "0 2 0 1\n"
    "1 0 0 0\n"
    "0 1 2 2\n";

const std::string kHelpBanner = "*          WELCOME TO DyadMILL     *";
const std::string kChoices = "--epistasis --maxT --score --missing ";
// A complete single-process scan of the small file.
const std::string kRun = "-n 1 -p 1 " + kChoices + "-t 3 -i g.txt -o out";

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override { writeFile(dir_ / "g.txt", kGenotypes); }
  RunResult run(const std::vector<std::string>& args) { return runDyadmill(args, dir_.path()); }
  ScratchDir dir_;
};

// An option the parser accepts but the help text does not name is one a
// user cannot find.
TEST_F(CommandLine, TheHelpTextNamesEveryAcceptedOption) {
  const std::string help = readFile(std::string(DYADMILL_TEST_DATA) + "/help_text.txt");
  for (const std::string& option : acceptedOptions()) {
    EXPECT_TRUE(contains(help, " " + option + " ") || contains(help, " " + option + ",")) << option;
  }
}

TEST_F(CommandLine, TooFewArgumentsPrintTheHelpTextExactly) {
  const std::string expected =
      "ERROR! You passed too few arguments\n" + readFile(std::string(DYADMILL_TEST_DATA) + "/help_text.txt");
  ASSERT_TRUE(contains(expected, kHelpBanner));
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, words("-n"), words("--epistasis")}) {
    SCOPED_TRACE(args.empty() ? "no arguments" : args[0]);
    const RunResult r = run(args);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.output, expected);
  }
}

struct StopCase {
  const char* label;
  std::vector<std::string> args;
  std::string output;  // the whole output: these stops come before the echo
};

// Every stop of the option stage prints exactly its own line(s), never the
// help text nor the echo, and exits 255.
TEST_F(CommandLine, OptionStageStopsPrintOnlyTheirMessage) {
  const std::string zero_name =
      "Output file name of size zero. Have you used -o option? Could not read output file name\n";
  const std::string minp_range = "ERROR! With --minP the threshold (-t) is a p-value and must be in (0, 1]\n";
  auto invalid = [](const std::string& option, const std::string& value) {
    return "ERROR! Invalid value for option " + option + ": " + value + "\n";
  };
  const std::vector<StopCase> cases = {
      {"two arguments are enough to skip the help", words("-n 1"), zero_name},
      {"unknown option from the help text", words("--permut 999 " + kRun), "ERROR! Unknown command option: --permut\n"},
      {"unknown option after valid ones", words(kRun + " --likelihoodratio"),
       "ERROR! Unknown command option: --likelihoodratio\n"},
      {"value option written last", words(kRun + " -i"), "ERROR! Option -i requires a value\n"},
      {"threshold written last", words(kRun + " -t"), "ERROR! Option -t requires a value\n"},
      {"empty output name", words(kRun) + std::vector<std::string>{"-o", ""}, zero_name},
      {"no -o at all", words("-n 1 -p 1 " + kChoices + "-t 3 -i g.txt"), zero_name},

      // Missing choices, each reported only once the earlier ones are made.
      {"no choice made", words("-n 1 -p 1 -o out"),
       "Marker Hypothesis is not defined! Should be either --epistasis or --association\n"},
      {"hypothesis only", words("-n 1 -p 1 -o out --association"),
       "Algorithm option is not defined! Should be either --maxT or --minP\n"},
      {"hypothesis and algorithm", words("-n 1 -p 1 -o out --association --minP"),
       "Test option is not defined! Should be either --score or --likelihoodratio\n"},
      {"no missingness choice", words("-n 1 -p 1 -o out --association --minP --likelihood"),
       "Data missingness option is not defined! Should be either --missing or --nomissing\n"},
      {"no threshold", words("-n 1 -p 1 -o out --association --minP --likelihood --nomissing"),
       "Threshold is not defined. Use -t option for that\n"},
      {"no input file", words("-n 1 -p 1 -o out --association --minP --likelihood --nomissing -t 0.5"),
       "No input file with genotypes provided. Use -i option followed by path to the input file\n"},

      // Malformed or out-of-range numbers.
      {"-n not a number", words(kRun + " -n abc"), invalid("-n", "abc")},
      {"-n above 16 bits", words(kRun + " -n 70000"), invalid("-n", "70000")},
      {"-n two signs", words(kRun + " -n +-5"), invalid("-n", "+-5")},
      {"-p negative", words(kRun + " -p -1"), invalid("-p", "-1")},
      {"-p leading space", words(kRun) + std::vector<std::string>{"-p", " 1"}, invalid("-p", " 1")},
      {"-b fraction", words(kRun + " -b 1.5"), invalid("-b", "1.5")},
      {"-b above 16 bits", words(kRun + " -b 65536"), invalid("-b", "65536")},
      {"-r above 32 bits", words(kRun + " -r 2147483648"), invalid("-r", "2147483648")},
      {"-r two signs", words(kRun + " -r +-5"), invalid("-r", "+-5")},
      {"-m not a number", words(kRun + " -m x"), invalid("-m", "x")},
      {"-m trailing text", words(kRun + " -m 5x"), invalid("-m", "5x")},
      {"permutations negative", words(kRun + " --permutations -1"), invalid("--permutations", "-1")},
      {"threads zero", words(kRun + " --threads 0"), invalid("--threads", "0")},
      {"threads above the limit", words(kRun + " --threads 1025"), invalid("--threads", "1025")},
      {"threads negative", words(kRun + " --threads -2"), invalid("--threads", "-2")},
      {"threads not a number", words(kRun + " --threads all"), invalid("--threads", "all")},
      {"-t not a number", words(kRun + " -t abc"), invalid("-t", "abc")},
      {"-t infinite", words(kRun + " -t inf"), invalid("-t", "inf")},
      {"-t not a number (nan)", words(kRun + " -t nan"), invalid("-t", "nan")},
      {"-t beyond float", words(kRun + " -t 1e39"), invalid("-t", "1e39")},
      {"-t two signs", words(kRun + " -t +-1"), invalid("-t", "+-1")},
      {"-t empty", words(kRun) + std::vector<std::string>{"-t", ""}, invalid("-t", "")},

      // Under minP the threshold is a p-value.
      {"minP threshold 0", words("-n 1 -p 1 --epistasis --minP --score --missing -i g.txt -o out -t 0"), minp_range},
      {"minP threshold above 1", words("-n 1 -p 1 --epistasis --minP --score --missing -i g.txt -o out -t 1.5"),
       minp_range},
      {"minP threshold negative", words("-n 1 -p 1 --epistasis --minP --score --missing -i g.txt -o out -t -0.1"),
       minp_range},

      // Only arguments in option positions satisfy the presence checks: a
      // value that looks like an option is still a value.
      {"-t only as the value of -o", words("-n 1 -p 1 " + kChoices + "-i g.txt -o -t"),
       "Threshold is not defined. Use -t option for that\n"},
      {"-o swallowing --epistasis", words("-n 1 -p 1 -o --epistasis --maxT --score --missing -i g.txt -t 5"),
       "Marker Hypothesis is not defined! Should be either --epistasis or --association\n"},
      {"-i only as the value of -o", words("-n 1 -p 1 " + kChoices + "-t 5 -o -i"),
       "No input file with genotypes provided. Use -i option followed by path to the input file\n"},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.label);
    const RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.output, c.output);
  }
}

struct PassCase {
  const char* label;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> lines;   // must appear, in this order
  std::vector<std::string> absent;  // no output line may contain these
};

// Runs that get past the option stage: they echo, then either stop at the
// numbering or permutation checks or go on to read the file.
TEST_F(CommandLine, ChecksAfterTheEcho) {
  const std::string echo_end = "You had set -m parameter (GroupSize) to 1";
  const std::string seed = "ERROR! The random seed is mandatory.";
  const std::string fwer_permutations = "ERROR! --fwer needs permutations: add --permutations P with P >= 2";
  const std::string fwer_seed = "ERROR! --fwer needs the permutation seed: add -r SEED (non-zero)";
  const std::vector<PassCase> cases = {
      {"the last flag is applied",
       words(kRun + " --nomissing"),
       0,
       {"missingGenoOption:  0 (no missigness in data)", "INFO: Done reading the input genotype data"},
       {"missigness in data allowed"}},
      {"-t in exponent form", words(kRun + " -t 1e-3"), 0, {"Threshold (-t): 0.001"}, {}},
      {"explicit plus signs", words(kRun + " -t +5 -n +1"), 0, {"Threshold (-t): 5", "Kbegin=0  Kend=1"}, {}},
      {"minP threshold of 1",
       words("-n 1 -p 1 --epistasis --minP --score --missing -i g.txt -o out -t 1"),
       0,
       {"Threshold (-t): 1", "algoOption:   minP"},
       {}},
      {"-r at the bottom of its range", words(kRun + " -r -2147483648 --permutations 0"), 0, {echo_end}, {}},

      {"-n 0",
       words(kRun + " -n 0"),
       255,
       {echo_end, "ERROR! The number of processes is mandatory and must be higher than 0."},
       {"INFO:"}},
      {"-n 1 -p 0",
       words(kRun + " -p 0"),
       255,
       {echo_end, "ERROR! The unique process ID must be 1 when the number of processes is 1."},
       {"INFO:"}},
      {"-n 4 -p 5",
       words(kRun + " -n 4 -p 5"),
       255,
       {echo_end, "ERROR! The unique process ID number is mandatory when the number of processes is larger than 1.",
        "It must be a number between 1 and the number of parallel processes (parallel phase), or 0 (final "
        "sequential phase)."},
       {"INFO:"}},
      // Process 0 reads the header and goes on to merge partial files,
      // of which there are none here.
      {"-n 4 -p 0 is the assembly run",
       words(kRun + " -n 4 -p 0"),
       255,
       {echo_end, "INFO: Reading SNP names"},
       {"ERROR!", "INFO: Counting"}},

      {"a single permutation",
       words(kRun + " --permutations 1 -r 5"),
       255,
       {echo_end, "ERROR! Select # of permuations > 1"},
       {"INFO:"}},
      {"seed is checked before the count",
       words(kRun + " --permutations 1"),
       255,
       {echo_end, seed},
       {"permuations > 1", "INFO:"}},
      {"scanning run without seed",
       words(kRun + " --permutations 99 -r 0 -n 4 -p 3"),
       255,
       {echo_end, seed},
       {"INFO:"}},
      {"assembly run needs no seed",
       words(kRun + " --permutations 99 -r 0 -n 4 -p 0"),
       255,
       {"permutationParam:  99 permutations", echo_end, "INFO: Reading SNP names"},
       {"ERROR!", "INFO: Counting"}},

      // The genome-wide p-values need permutations, and a seed wherever a
      // scan permutes.
      {"--fwer without permutations", words(kRun + " --fwer -r 5"), 255, {echo_end, fwer_permutations}, {"INFO:"}},
      {"--fwer with one permutation",
       words(kRun + " --fwer --permutations 1 -r 5"),
       255,
       {echo_end, fwer_permutations},
       {"INFO:", "permuations > 1"}},
      {"--fwer without seed", words(kRun + " --fwer --permutations 19"), 255, {echo_end, fwer_seed}, {"INFO:"}},
      {"--fwer without seed in a worker",
       words(kRun + " --fwer --permutations 19 -n 4 -p 3"),
       255,
       {echo_end, fwer_seed},
       {"INFO:"}},
      {"--fwer assembly run needs no seed",
       words(kRun + " --fwer --permutations 19 -n 4 -p 0"),
       255,
       {"fwerOption:  1 (genome-wide FWER from permutations, with the table)", echo_end, "INFO: Reading SNP names"},
       {"ERROR!", "INFO: Counting"}},
  };
  for (const PassCase& c : cases) {
    SCOPED_TRACE(c.label);
    const RunResult r = run(c.args);
    EXPECT_EQ(r.exit_status, c.status);
    EXPECT_TRUE(hasLinesInOrder(r.output, c.lines));
    EXPECT_FALSE(contains(r.output, kHelpBanner));
    for (const std::string& line : splitLines(r.output)) {
      for (const std::string& bad : c.absent) EXPECT_FALSE(contains(line, bad)) << line;
    }
  }
}

// The echo is the first thing a run that passes the option stage prints.
TEST_F(CommandLine, EchoBlockLines) {
  struct EchoCase {
    std::string args;
    std::vector<std::string> echo;
  };
  const std::vector<EchoCase> cases = {
      {kRun,
       {"*************CHOSEN PARAMETERES*********************", "Input genotype file: g.txt",
        "Output final results file: out", "Threshold (-t): 3", "permutationParam:  No Permutations (0)",
        "testTypeOption:   SCORE (1)", "hypothesisOption:    EPISTASIS", "algoOption:  maxT", "KSAsafetyParam:  1",
        "Number of Permutations: 0", "dimensionOption:  0", "missingGenoOption:  1 (missigness in data allowed)",
        "*************************************************", "You had set -m parameter (GroupSize) to 1"}},
      {"-n 2 -p 0 --association --minP --likelihood --nomissing -t 0.05 -m 10 --permutations 99 -r 7 "
       "-i g.txt -o res",
       {"*************CHOSEN PARAMETERES*********************", "Input genotype file: g.txt",
        "Output final results file: res", "Threshold (-t): 0.05", "permutationParam:  99 permutations",
        "testTypeOption:  LIKELIHOODRATIO (0)", "hypothesisOption:   ASSOCIATION", "algoOption:   minP",
        "KSAsafetyParam:  1", "Number of Permutations: 99", "dimensionOption:  0",
        "missingGenoOption:  0 (no missigness in data)", "*************************************************",
        "You had set -m parameter (GroupSize) to 10"}},
      // Repeated options: the later value wins; -m is echoed as given.
      {"-n 1 -p 1 --association --epistasis --minP --maxT --likelihood --score --nomissing --missing "
       "-t 9 -t 12.5 -m -3 --permutations 2147483647 --permutations 0 -i x.txt -i g.txt -o a -o b",
       {"*************CHOSEN PARAMETERES*********************", "Input genotype file: g.txt",
        "Output final results file: b", "Threshold (-t): 12.5", "permutationParam:  No Permutations (0)",
        "testTypeOption:   SCORE (1)", "hypothesisOption:    EPISTASIS", "algoOption:  maxT", "KSAsafetyParam:  1",
        "Number of Permutations: 0", "dimensionOption:  0", "missingGenoOption:  1 (missigness in data allowed)",
        "*************************************************", "You had set -m parameter (GroupSize) to -3"}},
  };
  for (const EchoCase& c : cases) {
    SCOPED_TRACE(c.args);
    const std::vector<std::string> lines = splitLines(run(words(c.args)).output);
    ASSERT_GE(lines.size(), c.echo.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(c.echo.size())), c.echo);
  }
}

// Asking for help or the version is a success and prints nothing else;
// either word among other arguments is just an unknown option.
TEST_F(CommandLine, HelpAndVersionAlone) {
  const std::string help = readFile(std::string(DYADMILL_TEST_DATA) + "/help_text.txt");
  for (const char* ask : {"--help", "-h"}) {
    SCOPED_TRACE(ask);
    const RunResult r = run({ask});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.output, help);
  }
  RunResult r = run({"--version"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(::testing::internal::RE::FullMatch(r.output, "dyadmill [0-9]+\\.[0-9]+\\.[0-9]+\n")) << r.output;

  r = run(words("--help -n 1"));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.output, "ERROR! Unknown command option: --help\n");
  r = run(words(kRun + " --version"));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.output, "ERROR! Unknown command option: --version\n");
}

}  // namespace
}  // namespace dyadmill::testing
