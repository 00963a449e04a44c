// The run log (NAME.log) of single, split and failed runs, and --quiet:
// the log's facts match the run, its console part is what the console
// printed, and a quiet run prints only warnings, errors and its summary
// while writing the same files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
// GCC 12 reports a member of std::function inside std::regex as possibly
// uninitialised at -O1 (the sanitizer build); the library is not at fault.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#include <string>
#include <vector>

#include "fileset_writer.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

namespace fs = std::filesystem;

struct RunLogText {
  std::multimap<std::string, std::string> fields;  // the head's "key: value" lines
  std::string console;                             // everything after "console output:"

  // The one value of `key`; empty (and a failure) when it is not there once.
  std::string operator[](const std::string& key) const {
    EXPECT_EQ(fields.count(key), 1u) << key;
    const auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
  }
  std::vector<std::string> all(const std::string& key) const {
    std::vector<std::string> values;
    for (auto [it, end] = fields.equal_range(key); it != end; ++it) values.push_back(it->second);
    return values;
  }
};

RunLogText readRunLog(const fs::path& path) {
  const std::string text = readFile(path);
  const std::string marker = "\nconsole output:\n";
  const std::size_t split = text.find(marker);
  EXPECT_NE(split, std::string::npos) << path;
  RunLogText log;
  if (split == std::string::npos) return log;
  log.console = text.substr(split + marker.size());
  const std::vector<std::string> lines = splitLines(text.substr(0, split));
  EXPECT_EQ(lines.front(), "dyadmill run log");
  for (std::size_t k = 1; k < lines.size(); ++k) {
    const std::size_t colon = lines[k].find(": ");
    EXPECT_NE(colon, std::string::npos) << lines[k];
    if (colon != std::string::npos) log.fields.emplace(lines[k].substr(0, colon), lines[k].substr(colon + 2));
  }
  return log;
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& start) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(text)) {
    if (line.starts_with(start)) found.push_back(line);
  }
  return found;
}

std::size_t traitCount(const GenotypeData& data, int trait) {
  return static_cast<std::size_t>(std::count(data.traits.begin(), data.traits.end(), trait));
}

const std::regex kIsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");

// 12 SNPs of which two share a name (a warning), 90 subjects.
GenotypeData warnedData() {
  GenotypeData data = randomGenotypes(71, 12, 90, 0.4);
  data.names[7] = data.names[3];
  return data;
}

std::vector<std::string> fwerScan(const std::string& input, const std::string& out, std::vector<std::string> more) {
  std::vector<std::string> args = {"-n",
                                   "1",
                                   "-p",
                                   "1",
                                   "-i",
                                   input,
                                   "-o",
                                   out,
                                   "-t",
                                   "2",
                                   "-b",
                                   "2",
                                   "-r",
                                   "5",
                                   "--permutations",
                                   "19",
                                   "--association",
                                   "--likelihood",
                                   "--maxT",
                                   "--nomissing",
                                   "--fwer"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

TEST(RunLog, RecordsASingleRunAndEveryConsoleLine) {
  ScratchDir dir;
  const GenotypeData data = warnedData();
  writeFile(dir / "my data.txt", data.toText());
  const RunResult run = runDyadmill(fwerScan("my data.txt", "res", {"--threads", "2"}), dir.path());
  ASSERT_EQ(run.exit_status, 0) << run.output;
  const RunLogText log = readRunLog(dir / "res.log");

  // The command pastes back: the name with a space comes quoted.
  EXPECT_EQ(log["command"], std::string(DYADMILL_BINARY) +
                                " -n 1 -p 1 -i 'my data.txt' -o res -t 2 -b 2 -r 5 --permutations 19 --association "
                                "--likelihood --maxT --nomissing --fwer --threads 2");
  EXPECT_EQ(log["version"] + "\n", runDyadmill({"--version"}, dir.path()).output);
  const std::string start = log["start"];
  const std::string end = log["end"];
  EXPECT_TRUE(std::regex_match(start, kIsoTime)) << start;
  EXPECT_TRUE(std::regex_match(end, kIsoTime)) << end;
  EXPECT_LE(start, end);
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(log["host"], host);
  EXPECT_EQ(log["threads"], "2");

  EXPECT_EQ(log["input form"], "text");
  EXPECT_EQ(log["input path"], "my data.txt");
  EXPECT_EQ(log["SNPs"], "12");
  EXPECT_EQ(log["subjects"], "90");
  EXPECT_EQ(log["cases"], std::to_string(traitCount(data, 1)));
  EXPECT_EQ(log["controls"], std::to_string(traitCount(data, 0)));
  EXPECT_EQ(log["subjects left out"], "0");
  EXPECT_EQ(log["groups swapped"], "no");
  EXPECT_EQ(log["blocks"], "2");
  EXPECT_EQ(log["block combinations"], "3");
  EXPECT_EQ(log["process share"], "block combinations 1 to 3 of 3 (process 1 of 1)");
  EXPECT_EQ(log["permutations done"], "57 (19 in each of 3 block combinations)");
  const std::size_t kept = splitLines(readFile(dir / "res.txt")).size() - 1;
  ASSERT_GT(kept, 0u);
  EXPECT_EQ(log["kept pairs"], std::to_string(kept));
  EXPECT_EQ(log["outputs"], "res.txt, res.tsv, res.fwer, SNP_pairs_and_permut_p_vals_maxT.txt");

  // The warning and the threshold line are the console's own lines.
  const std::vector<std::string> warnings = linesStartingWith(run.output, "WARNING");
  ASSERT_EQ(warnings.size(), 1u) << run.output;
  EXPECT_EQ(log["warnings"], "1");
  EXPECT_EQ(log.all("warning"), warnings);
  const std::vector<std::string> threshold = linesStartingWith(run.output, "Genome-wide 5% threshold from 19");
  ASSERT_EQ(threshold.size(), 1u);
  EXPECT_EQ(log["genome-wide threshold"], threshold[0]);
  EXPECT_EQ(log["errors"], "0");
  EXPECT_TRUE(log.all("error").empty());

  EXPECT_EQ(log["exit status"], "0 (completed)");
  EXPECT_TRUE(std::regex_match(log["wall time"], std::regex(R"(\d+\.\d{3} s)"))) << log["wall time"];
  EXPECT_TRUE(
      std::regex_match(log["CPU time"], std::regex(R"(\d+\.\d{3} s \(user \d+\.\d{3} s, system \d+\.\d{3} s\))")))
      << log["CPU time"];
  const std::string memory = log["peak memory"];
  ASSERT_TRUE(std::regex_match(memory, std::regex(R"([1-9]\d* kB)"))) << memory;

  EXPECT_TRUE(log.console == run.output);
  for (const fs::directory_entry& e : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
  }
}

TEST(RunLog, NamesTheInputFormAndTheSubjectsLeftOut) {
  ScratchDir dir;
  // More cases than controls: the scan swaps the groups, the log keeps the
  // file's own counts.
  const GenotypeData data = randomGenotypes(72, 9, 70, 0.7);
  ASSERT_GT(traitCount(data, 1), traitCount(data, 0));
  writeFileset(dir / "set", makeFileset(data, 5));
  writeGzipFile(dir / "data.txt.gz", data.toText());
  struct Case {
    std::string input, form, left_out;
  };
  for (const Case& c : {Case{"set.bed", "fileset", "5"}, Case{"data.txt.gz", "gzip text", "0"}}) {
    SCOPED_TRACE(c.form);
    const RunResult run = runDyadmill(fwerScan(c.input, "res", {}), dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.output;
    const RunLogText log = readRunLog(dir / "res.log");
    EXPECT_EQ(log["input form"], c.form);
    EXPECT_EQ(log["input path"], c.input);
    EXPECT_EQ(log["SNPs"], "9");
    EXPECT_EQ(log["subjects"], "70");
    EXPECT_EQ(log["cases"], std::to_string(traitCount(data, 1)));
    EXPECT_EQ(log["controls"], std::to_string(traitCount(data, 0)));
    EXPECT_EQ(log["subjects left out"], c.left_out);
    EXPECT_TRUE(log["groups swapped"].starts_with("yes")) << log["groups swapped"];
  }
}

TEST(RunLog, EachWorkerOfASplitRunHasItsOwnAndTheAssemblyWritesNameLog) {
  ScratchDir dir;
  writeFile(dir / "g.txt", randomGenotypes(73, 12, 80, 0.4).toText());
  auto split = [](const std::string& p, std::vector<std::string> more = {}) {
    std::vector<std::string> args = fwerScan("g.txt", "res", more);
    args[1] = "3";
    args[3] = p;
    return args;
  };
  for (const std::string p : {"1", "2", "3"}) {
    SCOPED_TRACE("worker " + p);
    const RunResult run = runDyadmill(split(p), dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.output;
    const std::string partial = "res_partial" + p + ".txt";
    const RunLogText log = readRunLog(dir / (partial + ".log"));
    EXPECT_EQ(log["process share"], "block combinations " + p + " to " + p + " of 3 (process " + p + " of 3)");
    EXPECT_EQ(log["permutations done"], "19 (19 in each of 1 block combination)");
    EXPECT_EQ(log["outputs"], partial);
    std::size_t pair_lines = 0;
    for (const std::string& line : splitLines(readFile(dir / partial))) pair_lines += line.starts_with("#") ? 0 : 1;
    EXPECT_EQ(log["kept pairs"], std::to_string(pair_lines));
    EXPECT_EQ(log["exit status"], "0 (completed)");
    EXPECT_TRUE(log.console == run.output);
  }
  // Checking a partial file writes nothing, not even a log.
  ASSERT_EQ(runDyadmill(split("0", {"--check-partial", "2"}), dir.path()).exit_status, 0);
  EXPECT_FALSE(fs::exists(dir / "res.log"));

  const RunResult assembly = runDyadmill(split("0"), dir.path());
  ASSERT_EQ(assembly.exit_status, 0) << assembly.output;
  const RunLogText log = readRunLog(dir / "res.log");
  EXPECT_EQ(log["process share"], "assembly of the partial files of 3 processes");
  EXPECT_EQ(log["blocks"], "2");
  EXPECT_EQ(log["subjects"], "not read (an assembly reads only the SNP names)");
  EXPECT_EQ(log["SNPs"], "12");
  EXPECT_EQ(log["kept pairs"], std::to_string(splitLines(readFile(dir / "res.txt")).size() - 1));
  EXPECT_EQ(log["outputs"], "res.txt, res.tsv, res.fwer, SNP_pairs_and_permut_p_vals_maxT.txt");
  EXPECT_EQ(log.all("genome-wide threshold"), linesStartingWith(assembly.output, "Genome-wide 5% threshold"));
  EXPECT_TRUE(log.console == assembly.output);
}

TEST(RunLog, AFailedRunLeavesALogThatNamesItsError) {
  ScratchDir dir;
  GenotypeData data = randomGenotypes(74, 6, 40, 0.4);
  writeFile(dir / "g.txt", data.toText());
  ASSERT_EQ(runDyadmill(fwerScan("g.txt", "res", {}), dir.path()).exit_status, 0);
  const std::string earlier_results = readFile(dir / "res.txt");

  // Line 7 (the header is line 1) gets a genotype the format has no room for.
  std::vector<std::string> lines = splitLines(data.toText());
  lines[6] += " 1";
  std::string spoiled;
  for (const std::string& line : lines) spoiled += line + "\n";
  writeFile(dir / "g.txt", spoiled);
  const RunResult run = runDyadmill(fwerScan("g.txt", "res", {}), dir.path());
  ASSERT_EQ(run.exit_status, 255) << run.output;
  const std::vector<std::string> errors = linesStartingWith(run.output, "ERROR");
  ASSERT_EQ(errors.size(), 1u) << run.output;
  EXPECT_TRUE(contains(errors[0], "g.txt, line 7")) << errors[0];

  const RunLogText log = readRunLog(dir / "res.log");
  EXPECT_EQ(log["exit status"], "255 (stopped by an error)");
  EXPECT_EQ(log["errors"], "1");
  EXPECT_EQ(log.all("error"), errors);
  EXPECT_EQ(log["outputs"], "none");
  EXPECT_EQ(log["SNPs"], "6");
  EXPECT_EQ(log["subjects"], "unknown");
  EXPECT_EQ(log["kept pairs"], "unknown");
  EXPECT_TRUE(log.console == run.output);
  // The earlier run's results stay as they were.
  EXPECT_EQ(readFile(dir / "res.txt"), earlier_results);
}

TEST(RunLog, TheLogNameIsCheckedLikeEveryOutput) {
  ScratchDir dir;
  const std::string text = randomGenotypes(75, 5, 40, 0.4).toText();
  writeFile(dir / "data.log", text);
  const RunResult run = runDyadmill(fwerScan("data.log", "data", {}), dir.path());
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(run.output.ends_with("ERROR! Output file data.log would overwrite the input file\n")) << run.output;
  EXPECT_EQ(readFile(dir / "data.log"), text);
}

// Everything a run wrote, by name, except the logs and the input.
std::map<std::string, std::string> resultFilesIn(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (!name.ends_with(".log") && name != "g.txt") files[name] = readFile(e.path());
  }
  return files;
}

std::vector<std::string> withoutFolderAndClock(const std::string& output) {
  std::vector<std::string> lines;
  for (const std::string& line : splitLines(output)) {
    if (!contains(line, "***Location:") && !contains(line, "Estimated TOTAL time")) lines.push_back(line);
  }
  return lines;
}

TEST(QuietRuns, PrintOnlyWarningsAndTheSummaryAndWriteTheSameFiles) {
  ScratchDir dir;
  const std::string text = warnedData().toText();
  fs::create_directory(dir / "loud");
  fs::create_directory(dir / "quiet");
  writeFile(dir / "loud" / "g.txt", text);
  writeFile(dir / "quiet" / "g.txt", text);
  const RunResult loud = runDyadmill(fwerScan("g.txt", "res", {}), dir / "loud");
  const RunResult quiet = runDyadmill(fwerScan("g.txt", "res", {"--quiet"}), dir / "quiet");
  ASSERT_EQ(loud.exit_status, 0) << loud.output;
  ASSERT_EQ(quiet.exit_status, 0) << quiet.output;
  EXPECT_EQ(resultFilesIn(dir / "quiet"), resultFilesIn(dir / "loud"));

  const std::vector<std::string> lines = splitLines(quiet.output);
  ASSERT_EQ(lines.size(), 5u) << quiet.output;
  EXPECT_EQ(lines[0], linesStartingWith(loud.output, "WARNING").at(0));
  EXPECT_EQ(lines[1], "Written: res.txt, res.tsv, res.fwer, SNP_pairs_and_permut_p_vals_maxT.txt");
  EXPECT_EQ(lines[2], "Kept pairs: " + std::to_string(splitLines(readFile(dir / "quiet" / "res.txt")).size() - 1));
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(Wall time: \d+\.\d{3} s)"))) << lines[3];
  EXPECT_EQ(lines[4], "Log: res.log");

  // The quiet run's log holds the whole console a loud run prints.
  EXPECT_TRUE(withoutFolderAndClock(readRunLog(dir / "quiet" / "res.log").console) ==
              withoutFolderAndClock(loud.output));
}

TEST(QuietRuns, StillPrintEveryErrorAndWhatFollowsIt) {
  ScratchDir dir;
  writeFile(dir / "g.txt", randomGenotypes(76, 10, 40, 0.4).toText());
  // Four processes cannot share 6 block combinations evenly: the error
  // runs over several lines, the suggestions last.
  std::vector<std::string> args = fwerScan("g.txt", "out", {"--quiet"});
  args[1] = "4";
  args.insert(args.end(), {"-b", "3"});
  const RunResult run = runDyadmill(args, dir.path());
  ASSERT_EQ(run.exit_status, 255) << run.output;
  const std::string error =
      "\nERROR: \nNon-uniform load distribution per thread!\nMODE:PERMUTATIONS\n>>Set  -n to 6>>OR set -n to6\n";
  ASSERT_TRUE(run.output.starts_with(error)) << run.output;
  const std::vector<std::string> summary = splitLines(run.output.substr(error.size()));
  ASSERT_EQ(summary.size(), 2u) << run.output;
  EXPECT_TRUE(std::regex_match(summary[0], std::regex(R"(Stopped with exit status 255 after \d+\.\d{3} s)")))
      << summary[0];
  EXPECT_EQ(summary[1], "Log: out_partial1.txt.log");
  EXPECT_EQ(readRunLog(dir / "out_partial1.txt.log")["exit status"], "255 (stopped by an error)");

  // An error before the options are all known is printed as it always was.
  const RunResult early = runDyadmill({"--quiet", "-o", "x", "-n", "1"}, dir.path());
  EXPECT_EQ(early.exit_status, 255);
  EXPECT_EQ(early.output, "Marker Hypothesis is not defined! Should be either --epistasis or --association\n");
}

}  // namespace
}  // namespace dyadmill::testing
