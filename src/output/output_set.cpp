#include "output_set.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>

#include "console.h"
#include "number_fields.h"

namespace dyadmill {

namespace {

std::string temporaryName(const std::string& final_name, long pid) {
  return final_name + ".tmp" + std::to_string(pid);
}

// kill with signal 0 only asks whether the process exists; EPERM means it
// does, under another user.
bool processExists(long pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

CommitStepHook commit_step_hook = nullptr;

void commitStep(std::size_t step) {
  if (commit_step_hook != nullptr) commit_step_hook(step);
}

}  // namespace

std::size_t temporarySuffixLength() {
  // The largest process number Linux hands out has 7 digits.
  return std::string(".tmp").size() + 7;
}

void setCommitStepHook(CommitStepHook hook) {
  commit_step_hook = hook;
}

std::size_t removeStaleTemporaryFiles(const std::string& final_name) {
  namespace fs = std::filesystem;
  const fs::path final_path(final_name);
  const std::string prefix = final_path.filename().string() + ".tmp";
  fs::path folder = final_path.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  std::size_t removed = 0;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const char* digits = name.data() + prefix.size();
    const char* end = name.data() + name.size();
    long pid = 0;
    if (!parseWholeInteger<long>(std::string_view(digits, static_cast<std::size_t>(end - digits)), 1,
                                 std::numeric_limits<long>::max(), Sign::None, pid) ||
        pid == ::getpid() || processExists(pid)) {
      continue;
    }
    std::error_code remove_ec;
    if (fs::remove(it->path(), remove_ec)) ++removed;
  }
  return removed;
}

OutputSet::~OutputSet() {
  discard();
}

OutputSet::Entry OutputSet::open(const std::string& final_name) {
  removeStaleTemporaryFiles(final_name);
  Entry entry;
  entry.final_name = final_name;
  entry.temp_name = temporaryName(final_name, ::getpid());
  entry.stream = std::fopen(entry.temp_name.c_str(), "wb");
  if (entry.stream == nullptr) {
    entry.error = errno != 0 ? errno : EIO;
  } else {
    std::setvbuf(entry.stream, nullptr, _IOFBF, 1 << 20);
  }
  return entry;
}

void OutputSet::close(Entry& entry) {
  if (entry.stream != nullptr) {
    errno = 0;
    const bool written = std::fflush(entry.stream) == 0 && std::ferror(entry.stream) == 0;
    const int write_errno = errno;
    const bool closed = std::fclose(entry.stream) == 0;
    entry.stream = nullptr;
    if (!written || !closed) entry.error = write_errno != 0 ? write_errno : (errno != 0 ? errno : EIO);
  }
  // A folder of the final name would refuse the rename only after the
  // files before it were in place.
  std::error_code ec;
  if (entry.error == 0 && std::filesystem::is_directory(entry.final_name, ec)) entry.error = EISDIR;
}

std::FILE* OutputSet::add(const std::string& final_name) {
  entries_.push_back(open(final_name));
  return entries_.back().stream;
}

void OutputSet::setClosing(const std::string& final_name, ClosingWriter write) {
  closing_name_ = final_name;
  closing_write_ = std::move(write);
}

void OutputSet::discard() {
  for (Entry& entry : entries_) {
    if (entry.stream != nullptr) std::fclose(entry.stream);
    entry.stream = nullptr;
    std::remove(entry.temp_name.c_str());
  }
  entries_.clear();
  if (closing_.stream != nullptr) std::fclose(closing_.stream);
  closing_.stream = nullptr;
  if (!closing_.temp_name.empty()) std::remove(closing_.temp_name.c_str());
  closing_ = Entry{};
  closing_name_.clear();
}

bool OutputSet::fail(const Entry& entry) {
  console().print("ERROR: Unable to write output file %s: %s. None of this run's output files was replaced.\n",
                  entry.final_name.c_str(), std::strerror(entry.error));
  discard();
  return false;
}

bool OutputSet::commit(const std::function<void()>& written) {
  for (Entry& entry : entries_) {
    close(entry);
    if (entry.error != 0) return fail(entry);
  }
  if (written) written();
  const bool closing = !closing_name_.empty();
  if (closing) {
    closing_ = open(closing_name_);
    if (closing_.stream != nullptr) closing_write_(closing_.stream);
    close(closing_);
    if (closing_.error != 0) return fail(closing_);
  }
  commitStep(0);
  // From here until the last rename the set reads as incomplete: no results
  // file (and no log) at all rather than the earlier run's beside this
  // run's files.
  std::vector<const std::string*> earlier;
  if (closing) earlier.push_back(&closing_.final_name);
  if (!entries_.empty()) earlier.push_back(&entries_.back().final_name);
  for (const std::string* name : earlier) {
    if (std::remove(name->c_str()) != 0 && errno != ENOENT) {
      console().print("ERROR: Unable to remove the earlier %s: %s. None of this run's output files was replaced.\n",
                      name->c_str(), std::strerror(errno));
      discard();
      return false;
    }
  }
  commitStep(1);
  // Renames within a folder do not fail short of a vanished folder or a
  // name taken by a folder; should one fail, the results file (last) is
  // still absent, so the set reads as incomplete.
  if (closing) entries_.push_back(closing_);
  closing_ = Entry{};
  closing_name_.clear();
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    if (std::rename(entries_[k].temp_name.c_str(), entries_[k].final_name.c_str()) != 0) {
      console().print("ERROR: Unable to rename %s to %s: %s (%zu of %zu output files were already in place).\n",
                      entries_[k].temp_name.c_str(), entries_[k].final_name.c_str(), std::strerror(errno), k,
                      entries_.size());
      discard();
      return false;
    }
    commitStep(2 + k);
  }
  entries_.clear();
  return true;
}

}  // namespace dyadmill
