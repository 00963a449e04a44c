// The data fingerprint the readers leave in the store: an XXH3 hash of the
// bytes as read, checked here against XXH3 computed independently over the
// byte sequence it is defined on, in scanning runs (hashed while the
// genotypes are read) and in assembly runs (streamed without decoding).
#include <gtest/gtest.h>

#include <xxhash.h>

#include <cstdint>
#include <string>

#include "console.h"
#include "content_hash.h"
#include "fileset_writer.h"
#include "genotype_reader.h"
#include "genotype_reader_internal.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

struct Read {
  int exit_status = 0;
  std::string output;
  GenotypeStore store;
};

Read readAs(const std::filesystem::path& path, std::uint16_t process, std::size_t block_size = 0) {
  RunParameters params;
  params.inFile = path.string();
  params.processAmount = 2;
  params.processID = process;
  Read r;
  console().startCapture();
  reader_internal::ReaderTuning tuning;
  if (block_size > 0) tuning.block_size = block_size;
  const Outcome o = block_size > 0 && !path.string().ends_with(".bed")
                        ? reader_internal::readGenotypeFile(params, r.store, tuning)
                        : readGenotypeFile(params, r.store);
  r.output = console().endCapture();
  r.exit_status = o.stopped() ? o.exitStatus() : 0;
  return r;
}

std::uint64_t xxh3(const std::string& bytes) {
  return XXH3_64bits(bytes.data(), bytes.size());
}

// Eight bytes, least significant first.
std::string lengthBytes(std::uint64_t n) {
  std::string out;
  for (int k = 0; k < 8; ++k) out += static_cast<char>((n >> (8 * k)) & 0xff);
  return out;
}

std::uint64_t filesetHash(const Fileset& f) {
  return xxh3(lengthBytes(f.bed.size()) + f.bed + lengthBytes(f.bim.size()) + f.bim + lengthBytes(f.fam.size()) +
              f.fam);
}

TEST(ContentHash, FilesetIsItsThreeFilesInOrderEachAfterItsLength) {
  ScratchDir dir;
  for (std::size_t unphenotyped : {0, 5}) {
    SCOPED_TRACE(std::to_string(unphenotyped) + " subjects without phenotype");
    const Fileset f = makeFileset(randomGenotypes(31, 6, 70, 0.4), unphenotyped);
    writeFileset(dir / "x", f);
    for (std::uint16_t process : {1, 0}) {
      const Read r = readAs(dir / "x.bed", process);
      ASSERT_EQ(r.exit_status, 0) << r.output;
      ASSERT_TRUE(r.store.content_hash.has_value()) << "process " << process;
      EXPECT_EQ(*r.store.content_hash, filesetHash(f)) << "process " << process;
    }
  }
  // Not the plain concatenation, and not the order the reader opens them.
  const Fileset f = makeFileset(randomGenotypes(32, 3, 9, 0.4));
  writeFileset(dir / "y", f);
  const Read r = readAs(dir / "y.bed", 1);
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(*r.store.content_hash, xxh3(f.bed + f.bim + f.fam));
  EXPECT_NE(*r.store.content_hash, xxh3(lengthBytes(f.bim.size()) + f.bim + lengthBytes(f.fam.size()) + f.fam +
                                        lengthBytes(f.bed.size()) + f.bed));
}

// The .bim's last line feed moved to the start of the .fam: the same bytes
// end to end, still a valid fileset, but another fingerprint.
TEST(ContentHash, FileBoundariesCount) {
  ScratchDir dir;
  const Fileset f = makeFileset(randomGenotypes(33, 4, 20, 0.4));
  ASSERT_EQ(f.bim.back(), '\n');
  Fileset moved = f;
  moved.bim.pop_back();
  moved.fam = "\n" + moved.fam;
  writeFileset(dir / "a", f);
  writeFileset(dir / "b", moved);
  const Read a = readAs(dir / "a.bed", 1);
  const Read b = readAs(dir / "b.bed", 1);
  ASSERT_EQ(a.exit_status, 0) << a.output;
  ASSERT_EQ(b.exit_status, 0) << b.output;
  EXPECT_EQ(*b.store.content_hash, filesetHash(moved));
  EXPECT_NE(*a.store.content_hash, *b.store.content_hash);
}

// Text is hashed as its bytes after decompression, line ends and all,
// whatever the read blocks; gzip gives the same value as the plain text.
TEST(ContentHash, TextIsItsDecompressedBytes) {
  ScratchDir dir;
  std::string text = randomGenotypes(34, 5, 90, 0.4).toText();
  const std::string crlf = [&] {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
  }();
  for (const std::string& content : {text, crlf, text.substr(0, text.size() - 1)}) {
    writeFile(dir / "t.txt", content);
    writeGzipFile(dir / "t.txt.gz", content);
    for (const char* name : {"t.txt", "t.txt.gz"}) {
      for (std::uint16_t process : {1, 0}) {
        for (std::size_t block : {std::size_t{0}, std::size_t{1}, std::size_t{13}}) {
          SCOPED_TRACE(std::string(name) + " process " + std::to_string(process) + " block " + std::to_string(block));
          const Read r = readAs(dir / name, process, block);
          ASSERT_EQ(r.exit_status, 0) << r.output;
          ASSERT_TRUE(r.store.content_hash.has_value());
          EXPECT_EQ(*r.store.content_hash, xxh3(content));
        }
      }
    }
  }
}

// The assembly decodes nothing: a .bed or .fam that no scan would accept
// is only hashed; a missing one stops it, named.
TEST(ContentHash, AssemblyHashesWithoutDecodingButNeedsEveryFile) {
  ScratchDir dir;
  Fileset f = makeFileset(randomGenotypes(35, 4, 10, 0.4));
  f.bed = "garbage";
  f.fam = "short line\n";
  writeFileset(dir / "x", f);
  Read r = readAs(dir / "x.bed", 0);
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_EQ(*r.store.content_hash, filesetHash(f));
  for (const char* missing : {"x.fam", "x.bed"}) {
    std::filesystem::remove(dir / missing);
    r = readAs(dir / "x.bed", 0);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_TRUE(contains(r.output, "ERROR: " + (dir / missing).string() + ": unable to open")) << r.output;
  }
  // Damaged gzip is found while hashing, as a scan would find it.
  const std::string text = randomGenotypes(36, 4, 300, 0.4).toText();
  writeGzipFile(dir / "g.txt.gz", text);
  const std::string compressed = readFile(dir / "g.txt.gz");
  writeFile(dir / "cut.txt.gz", compressed.substr(0, compressed.size() * 2 / 3));
  r = readAs(dir / "cut.txt.gz", 0);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_TRUE(contains(r.output, "cut.txt.gz: gzip data is damaged or cut short")) << r.output;
}

TEST(ContentHash, HasherStreamsAsOneShot) {
  const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyz";
  ContentHasher whole;
  whole.update(bytes.data(), bytes.size());
  ContentHasher pieces;
  for (std::size_t k = 0; k < bytes.size(); k += 5)
    pieces.update(bytes.data() + k, std::min<std::size_t>(5, bytes.size() - k));
  EXPECT_EQ(whole.digest(), xxh3(bytes));
  EXPECT_EQ(pieces.digest(), xxh3(bytes));
  ContentHasher length;
  length.updateLength(0x0102030405060708ULL);
  EXPECT_EQ(length.digest(), xxh3(std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8)));
}

}  // namespace
}  // namespace dyadmill::testing
