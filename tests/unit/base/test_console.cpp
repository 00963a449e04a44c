#include <gtest/gtest.h>

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

}  // namespace
}  // namespace dyadmill
