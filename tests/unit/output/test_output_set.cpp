// The commit of a run's output files when the process dies part way: at
// every step, what is left is the complete new set, the untouched earlier
// set, or no results file, and a later run clears the temporary files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "console.h"
#include "output_set.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

std::size_t stop_at = 0;

// The child process dies at the chosen step, as a killed run would: no
// destructor, no clean-up.
void dieAtStep(std::size_t step) {
  if (step == stop_at) ::_exit(0);
}

TEST(OutputSet, AKillAtEveryCommitStepLeavesNoMixedSet) {
  const std::vector<std::string> names = {"res_1.txt", "res_2.txt", "res.txt"};  // results file last
  // Steps: 0 all written, 1 earlier results gone, 2..4 after each rename.
  for (std::size_t step = 0; step <= names.size() + 1; ++step) {
    SCOPED_TRACE("killed at step " + std::to_string(step));
    ScratchDir dir;
    for (const std::string& name : names) writeFile(dir / name, "old " + name);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      stop_at = step;
      setCommitStepHook(dieAtStep);
      OutputSet outputs;
      for (const std::string& name : names) std::fputs(("new " + name).c_str(), outputs.add((dir / name).string()));
      const bool committed = outputs.commit();
      ::_exit(committed ? 3 : 4);  // only reached if no step stopped it
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::filesystem::path results = dir / names.back();
    if (std::filesystem::exists(results)) {
      // A results file vouches for every file beside it.
      const std::string age = readFile(results).substr(0, 4);
      for (const std::string& name : names) EXPECT_EQ(readFile(dir / name), age + name);
      EXPECT_EQ(age, step == 0 ? "old " : "new ") << "the earlier set survives only a kill before the commit starts";
    } else {
      EXPECT_GE(step, 1u);
      EXPECT_LE(step, names.size());
    }
    // The dead process's temporary files go with the next run's start.
    std::size_t removed = 0;
    for (const std::string& name : names) removed += removeStaleTemporaryFiles((dir / name).string());
    EXPECT_EQ(removed, step == 0 ? names.size() : names.size() + 1 - step);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
    }
  }
}

TEST(OutputSet, ACommitWithoutKillReplacesTheEarlierSet) {
  ScratchDir dir;
  writeFile(dir / "res.txt", "old");
  writeFile(dir / "res_1.txt", "old");
  OutputSet outputs;
  std::fputs("new 1", outputs.add((dir / "res_1.txt").string()));
  std::fputs("new", outputs.add((dir / "res.txt").string()));
  ASSERT_TRUE(outputs.commit());
  EXPECT_EQ(readFile(dir / "res.txt"), "new");
  EXPECT_EQ(readFile(dir / "res_1.txt"), "new 1");
}

// With a closing file (the run's log): a log of the new run is only ever
// found beside the new run's complete set.
TEST(OutputSet, AKillNeverLeavesTheNewClosingFileWithoutTheNewSet) {
  const std::vector<std::string> names = {"res_1.txt", "res.txt"};
  // Steps: 0 all written, 1 earlier results and log gone, 2..3 after the
  // renames of the set, 4 after the log's.
  for (std::size_t step = 0; step <= names.size() + 2; ++step) {
    SCOPED_TRACE("killed at step " + std::to_string(step));
    ScratchDir dir;
    for (const std::string& name : names) writeFile(dir / name, "old " + name);
    writeFile(dir / "res.log", "old res.log");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      stop_at = step;
      setCommitStepHook(dieAtStep);
      OutputSet outputs;
      for (const std::string& name : names) std::fputs(("new " + name).c_str(), outputs.add((dir / name).string()));
      outputs.setClosing((dir / "res.log").string(), [](std::FILE* out) { std::fputs("new res.log", out); });
      const bool committed = outputs.commit();
      ::_exit(committed ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const bool results = std::filesystem::exists(dir / "res.txt");
    const bool log = std::filesystem::exists(dir / "res.log");
    if (log) {
      const std::string age = readFile(dir / "res.log").substr(0, 4);
      EXPECT_TRUE(results);
      for (const std::string& name : names) EXPECT_EQ(readFile(dir / name), age + name);
      EXPECT_EQ(age, step == 0 ? "old " : "new ");
    }
    // The new results without their log only between the two last renames.
    EXPECT_EQ(results && !log, step == names.size() + 1);
    EXPECT_EQ(!results && !log, step >= 1 && step <= names.size());
  }
}

TEST(OutputSet, TheClosingFileIsWrittenLastAndNotAtAllWhenAFileFails) {
  ScratchDir dir;
  std::vector<std::string> order;
  {
    OutputSet outputs;
    std::fputs("data", outputs.add((dir / "res.txt").string()));
    outputs.setClosing((dir / "res.log").string(), [&](std::FILE* out) {
      order.push_back("log");
      // Every other file is complete under its temporary name by now.
      std::fputs(readFile(dir / ("res.txt.tmp" + std::to_string(::getpid()))).c_str(), out);
    });
    ASSERT_TRUE(outputs.commit([&] { order.push_back("written"); }));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"written", "log"}));
  EXPECT_EQ(readFile(dir / "res.log"), "data");

  // A file that cannot be written: no log, no rename, nothing left behind.
  std::filesystem::create_directory(dir / "taken.txt");
  order.clear();
  {
    OutputSet outputs;
    std::fputs("new", outputs.add((dir / "res.txt").string()));
    std::fputs("new", outputs.add((dir / "taken.txt").string()));
    outputs.setClosing((dir / "res.log").string(), [&](std::FILE*) { order.push_back("log"); });
    ConsoleCapture messages;
    EXPECT_FALSE(outputs.commit([&] { order.push_back("written"); }));
    EXPECT_TRUE(contains(messages.text(), "ERROR: Unable to write output file")) << messages.text();
  }
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(readFile(dir / "res.txt"), "data");
  EXPECT_EQ(readFile(dir / "res.log"), "data");
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace dyadmill::testing
