// The run log's pieces: its name, the quoting of the command line, the time
// stamps, and what its head says about the messages it copied.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console.h"
#include "run_log.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

// What a POSIX shell makes of `text` as one command-line word.
std::string shellReadsBack(const std::string& word) {
  const std::string command = "printf '%s|' " + word;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "(no shell)";
  std::string out;
  char buffer[256];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  ::pclose(pipe);
  return out;
}

TEST(RunLogText, QuotedArgumentsReadBackAsGiven) {
  for (const std::string argument :
       {"plain-name_1.txt", "my data.txt", "it's", "$HOME", "*.bed", "a\"b", "tab\there", "", "--minP", "~/x;y"}) {
    SCOPED_TRACE(argument);
    EXPECT_EQ(shellReadsBack(shellQuoted(argument)), argument + "|");
  }
  // Names a shell leaves alone stay readable.
  EXPECT_EQ(shellQuoted("res_partial2.txt"), "res_partial2.txt");
  EXPECT_EQ(shellQuoted("-t"), "-t");
}

TEST(RunLogText, LocalTimesCarryTheirOffset) {
  const char* saved = std::getenv("TZ");
  const std::string before = saved != nullptr ? saved : "";
  // POSIX zones count west of UTC as positive.
  ::setenv("TZ", "XYZ+03:30", 1);
  ::tzset();
  EXPECT_EQ(isoLocalTime(86400), "1970-01-01T20:30:00-03:30");
  ::setenv("TZ", "ABC-02", 1);
  ::tzset();
  EXPECT_EQ(isoLocalTime(86400 + 59), "1970-01-02T02:00:59+02:00");
  if (saved != nullptr) {
    ::setenv("TZ", before.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

std::vector<std::string> valuesOf(const std::string& text, const std::string& key) {
  std::vector<std::string> values;
  const std::string head = text.substr(0, text.find("\nconsole output:\n"));
  for (const std::string& line : splitLines(head)) {
    if (line.starts_with(key + ": ")) values.push_back(line.substr(key.size() + 2));
  }
  return values;
}

TEST(RunLogText, TheHeadListsWarningsAndErrorsAndTheConsolePartHoldsEveryMessage) {
  ConsoleCapture shown(ConsoleCapture::Mode::Discard);
  const char* argv[] = {"dyadmill", "-o", "my res"};
  RunLog log(3, argv, "dyadmill 9.9");
  RunParameters params;
  params.outFile = "res";
  params.processAmount = 1;
  log.setParameters(params);
  console().line("INFO: start");
  // Beyond 200 of them the head only counts the warnings.
  for (int k = 1; k <= 205; ++k) console().print("WARNING: number %d\n", k);
  console().print("\nERROR: \nNon-uniform load\n");
  const std::string text = log.text(255);

  EXPECT_EQ(valuesOf(text, "command"), std::vector<std::string>{"dyadmill -o 'my res'"});
  EXPECT_EQ(valuesOf(text, "SNPs"), std::vector<std::string>{"unknown"});
  EXPECT_EQ(valuesOf(text, "warnings"), std::vector<std::string>{"205"});
  const std::vector<std::string> warnings = valuesOf(text, "warning");
  ASSERT_EQ(warnings.size(), 200u);
  EXPECT_EQ(warnings.front(), "WARNING: number 1");
  EXPECT_EQ(warnings.back(), "WARNING: number 200");
  // A message over several lines is one line in the head.
  EXPECT_EQ(valuesOf(text, "error"), std::vector<std::string>{"ERROR: Non-uniform load"});
  const std::string console_part = text.substr(text.find("\nconsole output:\n") + 17);
  EXPECT_TRUE(console_part.starts_with("INFO: start\nWARNING: number 1\n"));
  EXPECT_TRUE(console_part.ends_with("WARNING: number 205\n\nERROR: \nNon-uniform load\n"));
  // Reading the log for one text leaves the copy going on after it.
  console().line("INFO: later");
  EXPECT_TRUE(log.text(255).ends_with("Non-uniform load\nINFO: later\n"));
}

}  // namespace
}  // namespace dyadmill::testing
