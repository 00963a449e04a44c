// The console: every line the program prints goes through this one sink.
//
// It writes to standard output (made unbuffered at start) unless a test or a
// benchmark has redirected it into a string or discarded it, which needs no
// file-descriptor tricks and leaves the process's own standard output alone.
//
// Every message (the text of one print, line or write call) can also be
// handed to a copy, the run's log, whatever reaches standard output. Under
// quiet, standard output gets only warnings and errors: messages whose text
// starts with "WARNING" or "ERROR" (line ends and spaces before it aside),
// and, once an error was printed, every message after it, since a stopped
// run's last lines explain its error (the options that would work, say).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace dyadmill {

enum class MessageKind { Detail, Warning, Error };

// The kind of a message by its first word.
MessageKind messageKind(std::string_view text);

// Receives every message printed while it is the console's copy.
class ConsoleCopy {
 public:
  virtual ~ConsoleCopy() = default;
  virtual void copy(std::string_view text, MessageKind kind) = 0;
};

class Console {
 public:
  // printf-style formatting; the text is written as it is (no line end added).
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The text and a line end, as one message.
  void line(std::string_view text);
  // The text as it is.
  void write(std::string_view text);
  void flush();

  // Keeps what is printed from now on in a string instead of writing it,
  // until endCapture() returns it and restores the previous destination.
  void startCapture();
  std::string endCapture();

  // Only warnings and errors (and everything after an error) reach the
  // destination; the copy still gets every message.
  void setQuiet(bool quiet);
  bool quiet() const { return quiet_; }

  // Hands every message from now on to `copy` as well (null: to none).
  void setCopy(ConsoleCopy* copy) { copy_ = copy; }

  // A line that reaches the destination even under quiet and is not
  // copied: the closing summary of a quiet run, written after its log.
  void summaryLine(std::string_view text);

 private:
  friend class ConsoleCapture;
  void emit(std::string_view text);
  void deliver(std::string_view text);
  std::string* capture_ = nullptr;  // non-null while captured
  bool discard_ = false;
  std::string captured_;
  bool quiet_ = false;
  bool error_seen_ = false;  // under quiet: an error was printed
  ConsoleCopy* copy_ = nullptr;
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
