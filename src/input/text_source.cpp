#include "text_source.h"

#include <zlib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

namespace dyadmill {

namespace {

// Decompressing stream buffer over a gzip file. Only a rewind to the start
// is supported as a seek: that is all a two-pass reader needs.
class GzipBuffer : public std::streambuf {
 public:
  explicit GzipBuffer(gzFile file) : file_(file), buffer_(kBufferSize) { setg(nullptr, nullptr, nullptr); }
  ~GzipBuffer() override { gzclose(file_); }
  GzipBuffer(const GzipBuffer&) = delete;
  GzipBuffer& operator=(const GzipBuffer&) = delete;

  const std::string& error() const { return error_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (at_end_) return traits_type::eof();
    const int got = gzread(file_, buffer_.data(), static_cast<unsigned>(buffer_.size()));
    if (got <= 0) {
      at_end_ = true;
      noteError();
      return traits_type::eof();
    }
    setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
    return traits_type::to_int_type(*gptr());
  }

  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    if (pos != pos_type(0) || (which & std::ios_base::in) == 0) return pos_type(off_type(-1));
    if (gzrewind(file_) != 0) return pos_type(off_type(-1));
    setg(nullptr, nullptr, nullptr);
    at_end_ = false;
    error_.clear();
    return pos_type(0);
  }

  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
    if (off == 0 && dir == std::ios_base::beg) return seekpos(pos_type(0), which);
    return pos_type(off_type(-1));
  }

 private:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

  // A truncated member ends with a short read and a pending "unexpected end
  // of file"; corrupt data makes the read fail outright.
  void noteError() {
    int code = Z_OK;
    const char* message = gzerror(file_, &code);
    if (code != Z_OK && code != Z_STREAM_END) {
      error_ = std::string("gzip data is damaged or cut short (") + (message != nullptr ? message : "unknown") + ")";
    }
  }

  gzFile file_;
  std::vector<char> buffer_;
  bool at_end_ = false;
  std::string error_;
};

bool startsWithGzipMagic(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<unsigned char, 2> magic{};
  in.read(reinterpret_cast<char*>(magic.data()), 2);
  return in.gcount() == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

}  // namespace

TextSource::TextSource() : stream_(nullptr) {}

TextSource::~TextSource() = default;

bool TextSource::open(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  if (startsWithGzipMagic(path)) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    gzbuffer(file, 1 << 18);
    buffer_ = std::make_unique<GzipBuffer>(file);
  } else {
    auto file = std::make_unique<std::filebuf>();
    if (file->open(path, std::ios::in | std::ios::binary) == nullptr) return false;
    buffer_ = std::move(file);
  }
  stream_.rdbuf(buffer_.get());
  stream_.clear();
  return true;
}

void TextSource::rewind() {
  stream_.clear();
  stream_.seekg(0);
}

std::string TextSource::error() const {
  const auto* gzip = dynamic_cast<const GzipBuffer*>(buffer_.get());
  return gzip != nullptr ? gzip->error() : std::string();
}

}  // namespace dyadmill
