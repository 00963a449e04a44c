#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console.h"

namespace dyadmill {
namespace {

TEST(Console, CapturesNestsAndDiscards) {
  ConsoleCapture outer;
  console().print("a%d ", 1);
  {
    ConsoleCapture inner;
    console().line("inner");
    EXPECT_EQ(inner.text(), "inner\n");
    {
      ConsoleCapture quiet(ConsoleCapture::Mode::Discard);
      console().print("%s", "dropped");
      console().write("dropped too");
    }
    console().write("x");
    EXPECT_EQ(inner.text(), "inner\nx");
  }
  console().line("b");
  EXPECT_EQ(outer.text(), "a1 b\n");
}

TEST(Console, StartAndEndCaptureReturnTheText) {
  console().startCapture();
  console().print("%05.1f|%s", 2.25, "long text that needs a second formatting pass");
  EXPECT_EQ(console().endCapture(), "002.2|long text that needs a second formatting pass");
}

// Keeps what the console hands to its copy, with the kinds.
class Recorder : public ConsoleCopy {
 public:
  Recorder() { console().setCopy(this); }
  ~Recorder() override { console().setCopy(nullptr); }
  void copy(std::string_view text, MessageKind kind) override {
    texts += text;
    kinds.push_back(kind);
  }
  std::string texts;
  std::vector<MessageKind> kinds;
};

class QuietConsole {
 public:
  QuietConsole() { console().setQuiet(true); }
  ~QuietConsole() { console().setQuiet(false); }
};

TEST(Console, TellsWarningsAndErrorsByTheirFirstWord) {
  EXPECT_EQ(messageKind("WARNING: x\n"), MessageKind::Warning);
  EXPECT_EQ(messageKind("\n\nERROR: \nNon-uniform load\n"), MessageKind::Error);
  EXPECT_EQ(messageKind("ERROR! Invalid value\n"), MessageKind::Error);
  EXPECT_EQ(messageKind("INFO: no ERROR here\n"), MessageKind::Detail);
  EXPECT_EQ(messageKind("  \n"), MessageKind::Detail);
  EXPECT_EQ(messageKind(""), MessageKind::Detail);
}

TEST(Console, QuietKeepsWarningsAndEverythingFromTheFirstError) {
  ConsoleCapture out;
  Recorder copy;
  {
    QuietConsole quiet;
    console().line("INFO: detail");
    console().print("WARNING: %d duplicates\n", 2);
    console().print("%s", "progress ");
    console().line("ERROR: stopped");
    console().line(">>Set -n to 6");
    console().summaryLine("Log: res.log");
  }
  EXPECT_EQ(out.text(), "WARNING: 2 duplicates\nERROR: stopped\n>>Set -n to 6\nLog: res.log\n");
  // The copy has every message but the summary, whatever reached the output.
  EXPECT_EQ(copy.texts, "INFO: detail\nWARNING: 2 duplicates\nprogress ERROR: stopped\n>>Set -n to 6\n");
  EXPECT_EQ(copy.kinds, (std::vector<MessageKind>{MessageKind::Detail, MessageKind::Warning, MessageKind::Detail,
                                                  MessageKind::Error, MessageKind::Detail}));
  // A new quiet stretch starts without the error.
  QuietConsole again;
  console().line("INFO: hidden again");
  EXPECT_FALSE(out.text().ends_with("hidden again\n"));
}

TEST(Console, TheCopyGetsMessagesEvenWhenTheyAreDiscarded) {
  Recorder copy;
  ConsoleCapture dropped(ConsoleCapture::Mode::Discard);
  console().print("%s=%d\n", "kept", 1);
  EXPECT_EQ(copy.texts, "kept=1\n");
}

}  // namespace
}  // namespace dyadmill
