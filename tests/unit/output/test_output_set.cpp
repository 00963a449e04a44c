// The commit of a run's output files when the process dies part way: at
// every step, what is left is the complete new set, the untouched earlier
// set, or no results file, and a later run clears the temporary files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace dyadmill::testing
