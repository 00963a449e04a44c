// Output files of a run, committed together.
//
// Every file is written and closed under a temporary name in its own folder
// (<name>.tmp<pid>); only when all of them were written without error are
// they renamed into place, in the order they were added, so that the file
// added last (the results file) marks a complete set. The earlier run's
// file of that last name is removed before the first rename, so a run
// killed at any moment of the commit leaves the complete new set or no
// results file, never an old results file beside new files. When any of
// them fails none is renamed: files of the same names from an earlier run
// stay as they were, and every temporary file is removed.
//
// A set may end with a closing file, the run's log: written only once every
// other file is written and closed (so it can record that the run
// succeeded), its earlier version removed with the earlier results file, and
// renamed after the results file. A kill leaves it beside the complete set
// or not at all, never a log of success beside missing results.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace dyadmill {

class OutputSet {
 public:
  OutputSet() = default;
  ~OutputSet();  // removes the temporary files of a set never committed
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Starts `final_name` under its temporary name, after removing stale
  // temporary files of that name. The stream is null when the file cannot
  // be created; commit() then fails and names it.
  std::FILE* add(const std::string& final_name);

  // Sets the closing file: `write` fills it during the commit, once every
  // other file was written and closed without error.
  using ClosingWriter = std::function<void(std::FILE*)>;
  void setClosing(const std::string& final_name, ClosingWriter write);

  // Closes every file and renames them into place. False, after an error
  // line naming the file and the reason, when any could not be written.
  // `written`, when given, is called once every file but the closing one is
  // written and closed, before the closing file is written: what it prints
  // is still in the run's log.
  [[nodiscard]] bool commit(const std::function<void()>& written = {});

 private:
  struct Entry {
    std::string final_name;
    std::string temp_name;
    std::FILE* stream = nullptr;
    int error = 0;  // errno of the first failure
  };
  static Entry open(const std::string& final_name);
  static void close(Entry& entry);
  bool fail(const Entry& entry);
  void discard();
  std::vector<Entry> entries_;
  std::string closing_name_;  // empty: no closing file
  ClosingWriter closing_write_;
  Entry closing_;
};

// Removes temporary files <final_name>.tmp<pid> left in final_name's folder
// by processes that no longer exist; returns how many were removed.
std::size_t removeStaleTemporaryFiles(const std::string& final_name);

// Characters the temporary suffix (.tmp<pid>) may add to a file name.
std::size_t temporarySuffixLength();

// For tests that stop a commit part way: called with step 0 once every file
// (the closing one included) is written and closed, 1 once the earlier
// results file (and closing file) are gone, and 1 + k once k files are in
// place, the closing file last. Null (the default) calls nothing.
using CommitStepHook = void (*)(std::size_t step);
void setCommitStepHook(CommitStepHook hook);

}  // namespace dyadmill
