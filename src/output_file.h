// Output files that appear under their final name only when complete.
//
// The content goes to a temporary file in the same folder, which is renamed
// into place once everything is written and the file is closed without
// error. A killed or failed run therefore never leaves a truncated file
// under the final name; the temporary file of a failed write is removed.
#pragma once

#include <cstdio>
#include <string>

namespace dyadmill {

class AtomicOutputFile {
 public:
  explicit AtomicOutputFile(std::string final_name);
  ~AtomicOutputFile();
  AtomicOutputFile(const AtomicOutputFile&) = delete;
  AtomicOutputFile& operator=(const AtomicOutputFile&) = delete;

  // False when the temporary file could not be created.
  bool isOpen() const { return stream_ != nullptr; }
  std::FILE* stream() { return stream_; }
  const std::string& name() const { return final_name_; }

  // Flushes, closes and renames into place. False when any write, the close
  // or the rename failed; the temporary file is then removed.
  [[nodiscard]] bool commit();

 private:
  std::string final_name_;
  std::string temp_name_;
  std::FILE* stream_ = nullptr;
};

}  // namespace dyadmill
