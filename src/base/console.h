// The console: every line the program prints goes through this one sink.
//
// It writes to standard output (made unbuffered at start) unless a test or a
// benchmark has redirected it into a string or discarded it, which needs no
// file-descriptor tricks and leaves the process's own standard output alone.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace dyadmill {

class Console {
 public:
  // printf-style formatting; the text is written as it is (no line end added).
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The text and a line end.
  void line(std::string_view text);
  // The text as it is.
  void write(std::string_view text);
  void flush();

  // Keeps what is printed from now on in a string instead of writing it,
  // until endCapture() returns it and restores the previous destination.
  void startCapture();
  std::string endCapture();

 private:
  friend class ConsoleCapture;
  std::string* capture_ = nullptr;  // non-null while captured
  bool discard_ = false;
  std::string captured_;
};

// The process's console.
Console& console();

// While alive, everything printed to the console is kept in a string (or
// dropped, with discard) instead of reaching standard output. Captures nest:
// the previous destination comes back at the end.
class ConsoleCapture {
 public:
  enum class Mode { Keep, Discard };
  explicit ConsoleCapture(Mode mode = Mode::Keep);
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::string* previous_capture_;
  bool previous_discard_;
};

}  // namespace dyadmill
