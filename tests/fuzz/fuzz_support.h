// Helpers shared by the fuzz targets: inputs that the program reads from
// files go to a scratch file of this process, and the console is silenced.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace dyadmill::fuzz {

// A folder of this process under the temporary folder, made once.
inline const std::string& scratchFolder() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string path =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dyadmill-fuzz-" + std::to_string(::getpid());
    ::mkdir(path.c_str(), 0700);
    return path;
  }();
  return folder;
}

inline void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

}  // namespace dyadmill::fuzz
