// Worker threads change nothing a run writes: every output file byte for
// byte, and the console's lines in the same order (time estimates aside),
// for every thread count, in every mode, single process and split.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace dyadmill::testing {
namespace {

bool isLog(const std::string& name) {
  return name.ends_with(".log");
}

// Every file a run left in `dir`, by name, except the input and the logs
// (which record the thread count and the times; see logConsole).
std::map<std::string, std::string> outputFiles(const ScratchDir& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name != "g.txt" && !isLog(name)) files[name] = readFile(entry.path());
  }
  return files;
}

// The console part of a run log.
std::string logConsole(const std::filesystem::path& log) {
  const std::string text = readFile(log);
  const std::string marker = "\nconsole output:\n";
  const std::size_t at = text.find(marker);
  return at == std::string::npos ? std::string() : text.substr(at + marker.size());
}

// The console without what depends on the clock or the folder: the
// run-time estimates (whose lines appear only when a second has passed) and
// where the results were written.
std::vector<std::string> clockFreeLines(const std::string& output) {
  std::vector<std::string> lines;
  for (const std::string& line : splitLines(output)) {
    if (contains(line, "Est. Time left") || contains(line, "Estimated TOTAL time") || contains(line, "***Location:"))
      continue;
    lines.push_back(line);
  }
  return lines;
}

struct Outputs {
  std::map<std::string, std::string> files;
  std::vector<std::string> console;  // of the single process, or of every process in turn
};

std::vector<std::string> modeOptions(const RunMode& m, const std::string& n, const std::string& p,
                                     const std::string& threads) {
  std::vector<std::string> args = runModeOptions(m, "g.txt", n, p);
  // Three blocks of 50 SNPs: each block has two groups of first SNPs to
  // share, and the combinations carry the permutations' values over.
  args.insert(args.end(), {"-m", m.missing ? "1" : "3", "--threads", threads});
  if (m.permutations != 0) args.push_back("--fwer");
  return args;
}

Outputs runSingle(const RunMode& m, const GenotypeData& data, const std::string& threads) {
  ScratchDir dir;
  writeFile(dir / "g.txt", data.toText());
  const RunResult run = runDyadmill(modeOptions(m, "1", "1", threads), dir.path());
  EXPECT_EQ(run.exit_status, 0) << run.output;
  // The log holds what the console printed, in every mode.
  EXPECT_TRUE(logConsole(dir / "res.log") == run.output);
  return {outputFiles(dir), clockFreeLines(run.output)};
}

Outputs runSplit(const RunMode& m, const GenotypeData& data, const std::string& threads) {
  ScratchDir dir;
  writeFile(dir / "g.txt", data.toText());
  Outputs result;
  for (const char* p : {"1", "2", "3", "0"}) {
    const RunResult run = runDyadmill(modeOptions(m, "3", p, threads), dir.path());
    EXPECT_EQ(run.exit_status, 0) << "process " << p << ": " << run.output;
    const std::string log = std::string(p) == "0" ? "res.log" : "res_partial" + std::string(p) + ".txt.log";
    EXPECT_TRUE(logConsole(dir / log) == run.output) << log;
    const std::vector<std::string> lines = clockFreeLines(run.output);
    result.console.insert(result.console.end(), lines.begin(), lines.end());
  }
  result.files = outputFiles(dir);
  return result;
}

class ThreadCounts : public ::testing::TestWithParam<RunMode> {};

TEST_P(ThreadCounts, EveryCountWritesTheSameFilesAndLines) {
  const RunMode m = GetParam();
  const GenotypeData data = randomGenotypes(m.missing ? 47 : 46, 150, 120, 0.4, m.missing ? 0.04 : 0.0);
  const Outputs single = runSingle(m, data, "1");
  const Outputs split = runSplit(m, data, "1");
  ASSERT_FALSE(single.files.empty());
  // The threshold keeps pairs, so the files compared are not empty ones.
  ASSERT_GT(splitLines(single.files.at("res.txt")).size(), 3u);
  for (const char* threads : {"2", "3", "7"}) {
    SCOPED_TRACE(std::string("--threads ") + threads);
    const Outputs s = runSingle(m, data, threads);
    EXPECT_EQ(s.files, single.files);
    EXPECT_EQ(s.console, single.console);
    const Outputs t = runSplit(m, data, threads);
    EXPECT_EQ(t.files, split.files);
    EXPECT_EQ(t.console, split.console);
  }
}

std::vector<RunMode> threadModes() {
  std::vector<RunMode> modes;
  for (const bool epistasis : {false, true}) {
    for (const bool score : {false, true}) {
      for (const bool minP : {false, true}) {
        // The eight test modes, each once with and once without permutations,
        // alternating the missing-genotype forms.
        const bool missing = (epistasis ? 1 : 0) ^ (score ? 1 : 0) ^ (minP ? 1 : 0);
        modes.push_back({epistasis, score, missing, minP, 0});
        modes.push_back({epistasis, score, !missing, minP, 19});
      }
    }
  }
  return modes;
}

INSTANTIATE_TEST_SUITE_P(Modes, ThreadCounts, ::testing::ValuesIn(threadModes()));

}  // namespace
}  // namespace dyadmill::testing
