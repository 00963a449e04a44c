// A text input that may be gzip-compressed.
//
// The file is recognised by its first bytes, not its name: gzip data is
// decompressed on the fly (in blocks, never whole in memory), anything else
// is read as it is. Either way the reader sees one std::istream that can be
// rewound to its start for a second pass.
#pragma once

#include <istream>
#include <memory>
#include <streambuf>
#include <string>

namespace dyadmill {

// True when the file begins with the two gzip magic bytes, whatever its name.
bool startsWithGzipMagic(const std::string& path);

class TextSource {
 public:
  TextSource();
  ~TextSource();
  TextSource(const TextSource&) = delete;
  TextSource& operator=(const TextSource&) = delete;

  // False when the file cannot be opened or is a folder.
  bool open(const std::string& path);
  std::istream& stream() { return stream_; }

  // Back to the first byte, the stream's error state cleared.
  void rewind();

  // Empty while everything read so far decompressed cleanly; otherwise what
  // went wrong (corrupt or truncated gzip data). A failed read ends the
  // stream early, so a reader checks this after each pass.
  std::string error() const;

 private:
  std::unique_ptr<std::streambuf> buffer_;
  std::istream stream_;
};

}  // namespace dyadmill
