#include "run_log.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "output_checks.h"
#include "partial_results.h"
#include "plink_reader.h"
#include "provenance.h"
#include "text_source.h"
#include "threads.h"

namespace dyadmill {

namespace {

RunLog* active_log = nullptr;

// Warnings and errors listed one by one in the log's head; beyond these
// only counted (every one of them is still in the console part).
constexpr std::size_t kListedMessages = 200;

// A message on one line: its lines trimmed and joined by spaces.
std::string oneLine(std::string_view text) {
  std::string joined;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view part = text.substr(0, end);
    const std::size_t first = part.find_first_not_of(" \t\r");
    if (first != std::string_view::npos) {
      part = part.substr(first, part.find_last_not_of(" \t\r") - first + 1);
      if (!joined.empty()) joined += ' ';
      joined.append(part);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return joined;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", value);
  return text;
}

double secondsOf(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

std::string hostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

const char* exitMeaning(int exit_status) {
  switch (exit_status) {
    case kExitOk:
      return "completed";
    case kExitLimit:
      return "stopped: a storage limit was hit";
    default:
      return "stopped by an error";
  }
}

// Only a regular file is opened to look at its first bytes: opening a pipe
// would wait for a writer.
std::string inputForm(const std::string& path) {
  if (isPlinkFileset(path)) return "fileset";
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return "unknown (not a regular file)";
  return startsWithGzipMagic(path) ? "gzip text" : "text";
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

}  // namespace

std::string runLogPath(const RunParameters& params) {
  if (params.processAmount > 1 && params.processID != 0) {
    return partialFileName(params.outFile, params.processID) + ".log";
  }
  return params.outFile + ".log";
}

std::string shellQuoted(const std::string& argument) {
  static constexpr std::string_view kPlain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-";
  if (!argument.empty() && argument.find_first_not_of(kPlain) == std::string::npos) return argument;
  std::string quoted = "'";
  for (const char c : argument) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string isoLocalTime(std::time_t time) {
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr) return "unknown";
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[48];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return std::string(text) + zone;
}

RunLog::RunLog(int argc, const char* const* argv, std::string version)
    : version_(std::move(version)),
      start_time_(std::time(nullptr)),
      start_(std::chrono::steady_clock::now()),
      detail_(std::tmpfile()) {
  for (int k = 0; k < argc; ++k) {
    if (k > 0) command_ += ' ';
    command_ += shellQuoted(argv[k]);
  }
  active_log = this;
  console().setCopy(this);
}

RunLog::~RunLog() {
  console().setCopy(nullptr);
  if (active_log == this) active_log = nullptr;
  if (detail_ != nullptr) std::fclose(detail_);
}

void RunLog::setParameters(const RunParameters& params) {
  path_ = runLogPath(params);
  quiet_ = params.quietOption;
  fwer_ = params.fwerOption;
  threads_ = std::to_string(workerThreads(params));
  results_ = resultFiles(params);
  input_ = {{"input form", "unknown"}, {"input path", params.inFile}};
}

void RunLog::recordInput(const RunParameters& params, const GenotypeStore& store, bool complete) {
  input_ = {{"input form", inputForm(params.inFile)}, {"input path", params.inFile}};
  input_.emplace_back("SNPs", store.snp_names.empty() ? "unknown" : std::to_string(store.snp_names.size()));
  std::string unread = "unknown";
  if (params.processID == 0) unread = "not read (an assembly reads only the SNP names)";
  const bool counted = complete && params.processID != 0;
  // The log speaks of the file's own cases and controls; the scan may
  // have swapped the two names so that its cases are the smaller group.
  const SubjectCount cases = store.groups_swapped ? store.unaffected_amount : store.affected_amount;
  const SubjectCount controls = store.groups_swapped ? store.affected_amount : store.unaffected_amount;
  input_.emplace_back("subjects", counted ? std::to_string(store.total_amount) : unread);
  input_.emplace_back("cases", counted ? std::to_string(cases) : unread);
  input_.emplace_back("controls", counted ? std::to_string(controls) : unread);
  input_.emplace_back("subjects left out", counted ? std::to_string(store.subjects_left_out) : unread);
  input_.emplace_back("groups swapped", !counted               ? unread
                                        : store.groups_swapped ? "yes (more cases than controls: the scan calls "
                                                                 "the controls its cases)"
                                                               : "no");
  input_.emplace_back("data fingerprint",
                      store.content_hash ? dataFingerprintText(*store.content_hash) : std::string("unknown"));
}

void RunLog::recordBlocks(const RunParameters& params, const BlockTable& blocks) {
  char share[160];
  std::snprintf(share, sizeof share, "block combinations %" PRIu64 " to %" PRIu64 " of %" PRIu64 " (process %u of %u)",
                blocks.Kbegin + 1, blocks.Kend, blocks.blockcombo_amount, static_cast<unsigned>(params.processID),
                static_cast<unsigned>(params.processAmount));
  division_ = {{"blocks", std::to_string(blocks.blockAmount)},
               {"block combinations", std::to_string(blocks.blockcombo_amount)},
               {"process share", share}};
}

void RunLog::recordAssembly(const RunParameters& params, std::uint64_t blocks) {
  permutations_ = params.permutationParam == 0 ? "0 (no permutations)"
                                               : "0 (the workers ran them; the assembly reads their values)";
  division_ = {
      {"blocks", std::to_string(blocks)},
      {"block combinations", std::to_string(blocks * (blocks + 1) / 2)},
      {"process share", "assembly of the partial files of " + std::to_string(params.processAmount) + " processes"}};
}

void RunLog::recordPermutations(std::uint64_t done, std::uint64_t per_combination) {
  if (per_combination == 0) {
    permutations_ = "0 (no permutations)";
    return;
  }
  const std::uint64_t combinations = done / per_combination;
  permutations_ = std::to_string(done) + " (" + std::to_string(per_combination) + " in each of " +
                  std::to_string(combinations) + " block combination" + (combinations == 1 ? ")" : "s)");
}

void RunLog::recordKeptPairs(std::uint64_t kept) {
  kept_pairs_ = std::to_string(kept);
}

void RunLog::recordGenomeWideThreshold(const std::string& line) {
  threshold_ = oneLine(line);
}

void RunLog::copy(std::string_view text, MessageKind kind) {
  if (detail_ != nullptr) {
    std::fwrite(text.data(), 1, text.size(), detail_);
  } else {
    detail_text_.append(text);
  }
  if (kind == MessageKind::Warning && warnings_seen_++ < kListedMessages) warnings_.push_back(oneLine(text));
  if (kind == MessageKind::Error && errors_seen_++ < kListedMessages) errors_.push_back(oneLine(text));
}

std::string RunLog::header(int exit_status) const {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double user = secondsOf(usage.ru_utime);
  const double system = secondsOf(usage.ru_stime);
  std::string text = "dyadmill run log\n";
  auto field = [&text](std::string_view key, const std::string& value) {
    text.append(key);
    text += ": ";
    text += value;
    text += '\n';
  };
  field("command", command_);
  field("version", version_);
  field("start", isoLocalTime(start_time_));
  field("end", isoLocalTime(std::time(nullptr)));
  field("host", hostName());
  field("threads", threads_);
  for (const auto& [key, value] : input_) field(key, value);
  if (input_.size() <= 2) {
    for (const char* key : {"SNPs", "subjects", "cases", "controls", "subjects left out", "groups swapped"}) {
      field(key, "unknown");
    }
  }
  if (division_.empty()) {
    for (const char* key : {"blocks", "block combinations", "process share"}) field(key, "unknown");
  }
  for (const auto& [key, value] : division_) field(key, value);
  field("permutations done", permutations_);
  field("kept pairs", kept_pairs_);
  if (fwer_) field("genome-wide threshold", threshold_);
  field("outputs", exit_status == kExitOk && !results_.empty() ? joined(results_) : "none");
  field("warnings", std::to_string(warnings_seen_));
  for (const std::string& warning : warnings_) field("warning", warning);
  field("errors", std::to_string(errors_seen_));
  for (const std::string& error : errors_) field("error", error);
  field("exit status", std::to_string(exit_status) + " (" + exitMeaning(exit_status) + ")");
  field("wall time", seconds(wall));
  field("CPU time", seconds(user + system) + " (user " + seconds(user) + ", system " + seconds(system) + ")");
  // ru_maxrss is in kilobytes on Linux.
  field("peak memory", std::to_string(usage.ru_maxrss) + " kB");
  text += "\nconsole output:\n";
  return text;
}

void RunLog::forEachDetailPart(const std::function<void(std::string_view)>& take) const {
  if (detail_ == nullptr) {
    take(detail_text_);
    return;
  }
  std::fflush(detail_);
  std::rewind(detail_);
  std::vector<char> buffer(1 << 16);
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), detail_)) > 0) take({buffer.data(), got});
  // Later messages go on after the ones just read.
  std::fseek(detail_, 0, SEEK_END);
}

bool RunLog::writeTo(std::FILE* out, int exit_status) const {
  const std::string head = header(exit_status);
  std::fwrite(head.data(), 1, head.size(), out);
  forEachDetailPart([out](std::string_view part) { std::fwrite(part.data(), 1, part.size(), out); });
  return std::ferror(out) == 0;
}

std::string RunLog::text(int exit_status) const {
  std::string all = header(exit_status);
  forEachDetailPart([&all](std::string_view part) { all.append(part); });
  return all;
}

void RunLog::closeSet(OutputSet& outputs) {
  outputs.setClosing(path_, [this](std::FILE* out) { writeTo(out, kExitOk); });
}

// The log of a stopped run, with no results to go with: written under the
// temporary name and renamed, so that the log's name never holds half a log.
bool RunLog::writeAlone(int exit_status) {
  removeStaleTemporaryFiles(path_);
  const std::string temp = path_ + ".tmp" + std::to_string(::getpid());
  std::FILE* out = std::fopen(temp.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = writeTo(out, exit_status);
  const bool closed = std::fclose(out) == 0;
  if (written && closed && std::rename(temp.c_str(), path_.c_str()) == 0) return true;
  const int error = errno;
  std::remove(temp.c_str());
  errno = error;
  return false;
}

void RunLog::finish(int exit_status) {
  console().setCopy(nullptr);
  if (!enabled_) return;
  bool in_place = committed_;
  if (!in_place) {
    in_place = writeAlone(exit_status);
    if (!in_place) {
      console().print("WARNING: Unable to write the run log %s: %s\n", path_.c_str(), std::strerror(errno));
    }
  }
  if (!quiet_) return;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (exit_status == kExitOk) {
    console().summaryLine("Written: " + joined(results_));
    console().summaryLine("Kept pairs: " + kept_pairs_);
    console().summaryLine("Wall time: " + seconds(wall));
  } else {
    console().summaryLine("Stopped with exit status " + std::to_string(exit_status) + " after " + seconds(wall));
  }
  console().summaryLine("Log: " + (in_place ? path_ : std::string("not written")));
}

RunLog* activeRunLog() {
  return active_log;
}

bool commitWithRunLog(OutputSet& outputs, const std::function<void()>& written) {
  RunLog* log = activeRunLog();
  if (log != nullptr && log->enabled()) log->closeSet(outputs);
  const bool committed = outputs.commit(written);
  if (committed && log != nullptr && log->enabled()) log->setCommitted();
  return committed;
}

}  // namespace dyadmill
