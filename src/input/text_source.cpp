#include "text_source.h"

#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace dyadmill {

namespace {

// Decompressing stream buffer over a gzip file, member after member to the
// end of the file (as gzip itself writes concatenated files). Anything after
// the last member that is not another member, and a member that is damaged
// or cut short, ends the stream with error() saying what and where: the
// reader must never take such a file for a shorter one. Only a rewind to the
// start is supported as a seek: that is all a two-pass reader needs.
class GzipBuffer : public std::streambuf {
 public:
  explicit GzipBuffer(std::unique_ptr<std::filebuf> file)
      : file_(std::move(file)), in_(kBufferSize), out_(kBufferSize) {
    if (inflateInit2(&z_, kGzipOnly) != Z_OK) throw std::bad_alloc();
    setg(nullptr, nullptr, nullptr);
  }
  ~GzipBuffer() override { inflateEnd(&z_); }
  GzipBuffer(const GzipBuffer&) = delete;
  GzipBuffer& operator=(const GzipBuffer&) = delete;

  const std::string& error() const { return error_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    while (!done_) {
      if (z_.avail_in == 0 && !refill()) break;
      if (!in_member_) startMember();
      if (done_) break;
      z_.next_out = reinterpret_cast<Bytef*>(out_.data());
      z_.avail_out = static_cast<uInt>(out_.size());
      const int status = inflate(&z_, Z_NO_FLUSH);
      const std::size_t produced = out_.size() - z_.avail_out;
      member_output_ += produced;
      if (status == Z_STREAM_END) {
        in_member_ = false;
        ++members_;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        fail(status);
        break;
      }
      if (produced > 0) {
        setg(out_.data(), out_.data(), out_.data() + produced);
        return traits_type::to_int_type(*gptr());
      }
    }
    return traits_type::eof();
  }

  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
    if (pos != pos_type(0) || (which & std::ios_base::in) == 0) return pos_type(off_type(-1));
    if (file_->pubseekpos(0, std::ios_base::in) != pos_type(0)) return pos_type(off_type(-1));
    inflateReset(&z_);
    z_.avail_in = 0;
    chunk_start_ = chunk_length_ = 0;
    in_member_ = done_ = false;
    members_ = member_output_ = 0;
    error_.clear();
    setg(nullptr, nullptr, nullptr);
    return pos_type(0);
  }

  pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override {
    if (off == 0 && dir == std::ios_base::beg) return seekpos(pos_type(0), which);
    return pos_type(off_type(-1));
  }

 private:
  static constexpr std::size_t kBufferSize = std::size_t{1} << 18;
  static constexpr int kGzipOnly = 15 + 16;  // largest window, gzip header and trailer

  // Byte offset in the file of the next compressed byte.
  std::uint64_t offset() const { return chunk_start_ + chunk_length_ - z_.avail_in; }

  // More compressed bytes; false at the end of the file, which is clean only
  // between members.
  bool refill() {
    chunk_start_ += chunk_length_;
    chunk_length_ = static_cast<std::uint64_t>(file_->sgetn(in_.data(), static_cast<std::streamsize>(in_.size())));
    z_.next_in = reinterpret_cast<Bytef*>(in_.data());
    z_.avail_in = static_cast<uInt>(chunk_length_);
    if (chunk_length_ != 0) return true;
    if (in_member_) {
      error_ = "gzip data is damaged or cut short (the file ends inside compressed data, after " +
               std::to_string(offset()) + " bytes)";
    }
    done_ = true;
    return false;
  }

  // At a member boundary with bytes left: they must begin another member.
  void startMember() {
    member_start_ = offset();
    if (members_ > 0 && static_cast<unsigned char>(*z_.next_in) != 0x1f) {
      trailingData();
      return;
    }
    if (members_ > 0) inflateReset(&z_);
    in_member_ = true;
    member_output_ = 0;
  }

  void trailingData() {
    error_ = "data after the last gzip member, at byte offset " + std::to_string(member_start_) +
             ", is not another gzip member";
    done_ = true;
  }

  void fail(int status) {
    // A later "member" whose header is already wrong is trailing data.
    if (members_ > 0 && member_output_ == 0 && status == Z_DATA_ERROR) {
      trailingData();
      return;
    }
    error_ = "gzip data is damaged or cut short (" + std::string(z_.msg != nullptr ? z_.msg : zError(status)) +
             ", near byte offset " + std::to_string(offset()) + ")";
    done_ = true;
  }

  std::unique_ptr<std::filebuf> file_;
  std::vector<char> in_;
  std::vector<char> out_;
  z_stream z_{};
  std::uint64_t chunk_start_ = 0;   // file offset of in_[0]
  std::uint64_t chunk_length_ = 0;  // bytes of the file in in_
  std::uint64_t member_start_ = 0;
  std::uint64_t member_output_ = 0;
  std::uint64_t members_ = 0;  // members read to their end
  bool in_member_ = false;
  bool done_ = false;
  std::string error_;
};

}  // namespace

bool startsWithGzipMagic(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::array<unsigned char, 2> magic{};
  in.read(reinterpret_cast<char*>(magic.data()), 2);
  return in.gcount() == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

TextSource::TextSource() : stream_(nullptr) {}

TextSource::~TextSource() = default;

bool TextSource::open(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  auto file = std::make_unique<std::filebuf>();
  if (file->open(path, std::ios::in | std::ios::binary) == nullptr) return false;
  if (startsWithGzipMagic(path)) {
    buffer_ = std::make_unique<GzipBuffer>(std::move(file));
  } else {
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
