#include "output_file.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

namespace dyadmill {

AtomicOutputFile::AtomicOutputFile(std::string final_name)
    : final_name_(std::move(final_name)), temp_name_(final_name_ + ".tmp" + std::to_string(::getpid())) {
  stream_ = std::fopen(temp_name_.c_str(), "wb");
  if (stream_ != nullptr) std::setvbuf(stream_, nullptr, _IOFBF, 1 << 20);
}

AtomicOutputFile::~AtomicOutputFile() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
    std::remove(temp_name_.c_str());
  }
}

bool AtomicOutputFile::commit() {
  if (stream_ == nullptr) return false;
  const bool written = std::fflush(stream_) == 0 && std::ferror(stream_) == 0;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (written && closed && std::rename(temp_name_.c_str(), final_name_.c_str()) == 0) return true;
  std::remove(temp_name_.c_str());
  return false;
}

}  // namespace dyadmill
