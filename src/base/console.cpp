#include "console.h"

#include <cstdarg>
#include <utility>
#include <vector>

namespace dyadmill {

Console& console() {
  static Console instance;
  return instance;
}

void Console::print(const char* format, ...) {
  if (discard_) return;
  std::va_list args;
  va_start(args, format);
  if (capture_ == nullptr) {
    std::vfprintf(stdout, format, args);
    va_end(args);
    return;
  }
  std::va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (size > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    capture_->append(buffer.data(), static_cast<std::size_t>(size));
  }
  va_end(again);
}

void Console::write(std::string_view text) {
  if (discard_) return;
  if (capture_ != nullptr) {
    capture_->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

void Console::line(std::string_view text) {
  write(text);
  write("\n");
}

void Console::flush() {
  if (capture_ == nullptr && !discard_) std::fflush(stdout);
}

void Console::startCapture() {
  captured_.clear();
  capture_ = &captured_;
  discard_ = false;
}

std::string Console::endCapture() {
  capture_ = nullptr;
  return std::move(captured_);
}

ConsoleCapture::ConsoleCapture(Mode mode)
    : previous_capture_(console().capture_), previous_discard_(console().discard_) {
  console().capture_ = mode == Mode::Keep ? &text_ : nullptr;
  console().discard_ = mode == Mode::Discard;
}

ConsoleCapture::~ConsoleCapture() {
  console().capture_ = previous_capture_;
  console().discard_ = previous_discard_;
}

}  // namespace dyadmill
