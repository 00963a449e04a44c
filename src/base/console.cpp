#include "console.h"

#include <cstdarg>
#include <utility>
#include <vector>

namespace dyadmill {

Console& console() {
  static Console instance;
  return instance;
}

MessageKind messageKind(std::string_view text) {
  const std::size_t first = text.find_first_not_of("\r\n \t");
  if (first == std::string_view::npos) return MessageKind::Detail;
  text.remove_prefix(first);
  if (text.starts_with("WARNING")) return MessageKind::Warning;
  if (text.starts_with("ERROR")) return MessageKind::Error;
  return MessageKind::Detail;
}

void Console::print(const char* format, ...) {
  if (discard_ && copy_ == nullptr) return;
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (size > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    emit(std::string_view(buffer.data(), static_cast<std::size_t>(size)));
  }
  va_end(again);
}

void Console::write(std::string_view text) {
  emit(text);
}

void Console::line(std::string_view text) {
  std::string whole;
  whole.reserve(text.size() + 1);
  whole.append(text);
  whole.push_back('\n');
  emit(whole);
}

void Console::emit(std::string_view text) {
  const MessageKind kind = messageKind(text);
  if (copy_ != nullptr) copy_->copy(text, kind);
  if (quiet_) {
    if (kind == MessageKind::Error) error_seen_ = true;
    if (kind == MessageKind::Detail && !error_seen_) return;
  }
  deliver(text);
}

void Console::deliver(std::string_view text) {
  if (discard_) return;
  if (capture_ != nullptr) {
    capture_->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
}

void Console::summaryLine(std::string_view text) {
  std::string whole(text);
  whole.push_back('\n');
  deliver(whole);
}

void Console::setQuiet(bool quiet) {
  quiet_ = quiet;
  error_seen_ = false;
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
