// The fingerprint of the genotype data as read: a 64-bit XXH3 hash of the
// bytes the reader sees, computed while it reads them.
//
// A text input is hashed as its decompressed bytes, so a file and its gzip
// copy share one fingerprint. A fileset is hashed as its three files in the
// order .bed, .bim, .fam, each preceded by its length in bytes as eight
// bytes, least significant first, so that moving bytes from the end of one
// file to the start of the next changes the fingerprint. The partial files
// of a split run record it, and the assembly refuses files made from other
// data with the same SNP names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "outcome.h"

struct XXH3_state_s;  // xxhash.h, kept out of the readers' includes

namespace dyadmill {

class ContentHasher {
 public:
  ContentHasher();
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  void update(const void* data, std::size_t size);
  // The length prefix of one file of a fileset (eight bytes, little-endian).
  void updateLength(std::uint64_t length);
  // The hash of everything given so far; more may follow.
  std::uint64_t digest() const;

 private:
  XXH3_state_s* state_;
};

// Feeds `path` to `hasher` as one file of a fileset: its length, then its
// bytes, read in large blocks. `what` names the file in the messages
// ("the genotype file (.bed) of the fileset").
Outcome hashWholeFile(const std::string& path, const char* what, ContentHasher& hasher);

}  // namespace dyadmill
