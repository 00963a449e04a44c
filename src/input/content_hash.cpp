#include "content_hash.h"

#include <xxhash.h>

#include <filesystem>
#include <fstream>
#include <new>
#include <vector>

#include "input_errors.h"

namespace dyadmill {

ContentHasher::ContentHasher() : state_(XXH3_createState()) {
  if (state_ == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(state_);
}

ContentHasher::~ContentHasher() {
  XXH3_freeState(state_);
}

void ContentHasher::update(const void* data, std::size_t size) {
  if (size > 0) XXH3_64bits_update(state_, data, size);
}

void ContentHasher::updateLength(std::uint64_t length) {
  unsigned char bytes[8];
  for (unsigned k = 0; k < 8; ++k) bytes[k] = static_cast<unsigned char>(length >> (8 * k));
  update(bytes, sizeof bytes);
}

std::uint64_t ContentHasher::digest() const {
  return XXH3_64bits_digest(state_);
}

Outcome hashWholeFile(const std::string& path, const char* what, ContentHasher& hasher) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return inputFileError(path, std::string("is a folder, not ") + what);
  std::ifstream in(path, std::ios::binary);
  const std::uint64_t size = std::filesystem::file_size(path, ec);
  if (!in || ec) return inputFileError(path, std::string("unable to open ") + what);
  hasher.updateLength(size);
  std::vector<char> block(std::size_t{1} << 20);
  std::uint64_t read = 0;
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    hasher.update(block.data(), got);
    read += got;
  }
  if (in.bad() || read != size) return inputFileError(path, "the file changed while it was being read");
  return Outcome::proceed();
}

}  // namespace dyadmill
