// The run's log: NAME.log beside the results (for a worker of a split run,
// its partial file's name + ".log", so that workers sharing a folder keep
// their own). Plain "key: value" lines about the run (the command line,
// version, times, host, threads, the input, the blocks and this process's
// share, the permutations done, the kept pairs, every warning and error,
// the genome-wide threshold, the exit status, wall and CPU time, peak
// memory), then every message the console printed, whether or not it
// reached standard output (--quiet).
//
// A run that writes results or a partial file commits its log with them, as
// the closing file of the output set (output_set.h); a run that stops once
// its options were accepted and its output names checked writes the log
// alone, so that its reason can be read afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blocks.h"
#include "console.h"
#include "genotype_store.h"
#include "output_set.h"
#include "run_parameters.h"

namespace dyadmill {

// NAME.log, or the partial file's name + ".log" for a worker of a split run.
std::string runLogPath(const RunParameters& params);

// The argument as a POSIX shell reads it back: as it is when it holds only
// characters no shell treats specially, else in single quotes.
std::string shellQuoted(const std::string& argument);

// Local time as ISO 8601 with its offset from UTC: 2024-05-01T14:03:07+02:00.
std::string isoLocalTime(std::time_t time);

class RunLog final : public ConsoleCopy {
 public:
  // From here on every console message is copied for the log. The start
  // time is now.
  RunLog(int argc, const char* const* argv, std::string version);
  ~RunLog() override;
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // The options were accepted: the log's name and the run's threads.
  void setParameters(const RunParameters& params);
  // The output names passed their checks: from now on the run ends with a
  // log, beside its results or alone after a failure.
  void enable() { enabled_ = true; }
  bool enabled() const { return enabled_; }
  const std::string& path() const { return path_; }

  // What the run learned along the way; each fact not recorded reads
  // "unknown" in the log. `complete`: the whole input was read.
  void recordInput(const RunParameters& params, const GenotypeStore& store, bool complete);
  void recordBlocks(const RunParameters& params, const BlockTable& blocks);
  void recordAssembly(const RunParameters& params, std::uint64_t blocks);
  void recordPermutations(std::uint64_t done, std::uint64_t per_combination);
  void recordKeptPairs(std::uint64_t kept);
  void recordGenomeWideThreshold(const std::string& line);

  // Makes the log the closing file of `outputs`: written during the
  // commit, once every other file is, as the log of a completed run.
  void closeSet(OutputSet& outputs);
  void setCommitted() { committed_ = true; }

  // The run ended with `exit_status`: writes the log alone unless a commit
  // already put it in place, and under --quiet prints the closing summary.
  void finish(int exit_status);

  // The whole log text of a run that ends with `exit_status` now.
  std::string text(int exit_status) const;

  void copy(std::string_view text, MessageKind kind) override;

 private:
  std::string header(int exit_status) const;
  bool writeTo(std::FILE* out, int exit_status) const;
  void forEachDetailPart(const std::function<void(std::string_view)>& take) const;
  bool writeAlone(int exit_status);

  std::string command_;
  std::string version_;
  std::time_t start_time_;
  std::chrono::steady_clock::time_point start_;
  std::FILE* detail_ = nullptr;  // the console messages; null: kept in detail_text_
  std::string detail_text_;
  bool enabled_ = false;
  bool committed_ = false;
  bool quiet_ = false;
  bool fwer_ = false;
  std::string path_;
  std::vector<std::string> results_;  // the files a completed run writes, the log aside
  std::string threads_ = "unknown";
  // "key: value" facts of the input, the blocks and the scan, in order.
  std::vector<std::pair<std::string, std::string>> input_;
  std::vector<std::pair<std::string, std::string>> division_;
  std::string permutations_ = "unknown";
  std::string kept_pairs_ = "unknown";
  std::string threshold_ = "none";
  std::vector<std::string> warnings_;
  std::vector<std::string> errors_;
  std::uint64_t warnings_seen_ = 0;
  std::uint64_t errors_seen_ = 0;
};

// The log of the running program, or null (tests, benches).
RunLog* activeRunLog();

// Commits `outputs` with the run's log as their closing file when a log is
// kept (see OutputSet::commit for `written`).
bool commitWithRunLog(OutputSet& outputs, const std::function<void()>& written = {});

}  // namespace dyadmill
