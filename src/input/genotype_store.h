// Stage input: the genotype readers (text, gzip, binary fileset), their
// checks and error stops, and the genotype store they fill. Uses base only.
//
// The genotype store: trait, SNP names and one packed bit row per genotype
// level of every SNP, plus the population-count primitive.
//
// Packed subject sets. Member k of a set (members numbered in file order) is
// bit k % 64 of word k / 64, bit 0 the least significant. Bits above the last
// member are always 0, so a population count over a whole row counts members
// only. A run holds at most kMaxSubjects subjects, so every count of
// subjects fits in a SubjectCount.
//
// Row layout, R = rows per SNP: SNP i owns rows cumdimension_vect[i] ..
// cumdimension_vect[i] + R - 1.
//   --missing   (R = 3): row + d is genotype level d (0, 1, 2); a missing
//                        genotype has no bit in any of the three rows.
//   --nomissing (R = 2): row + d - 1 is level d for d = 1, 2; level 0 has no
//                        row and is derived by subtraction from the margins.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bit_rows.h"
#include "set_layout.h"
#include "table_shape.h"

namespace dyadmill {

// Zeroed memory from calloc, which takes fresh pages from the system for a
// large block: they are zero already, so nothing writes them, and they take
// memory only as they are first written.
template <typename T>
struct ZeroPagesAllocator {
  using value_type = T;
  ZeroPagesAllocator() = default;
  template <typename U>
  explicit ZeroPagesAllocator(const ZeroPagesAllocator<U>&) {}
  T* allocate(std::size_t n) {
    void* memory = std::calloc(n, sizeof(T));
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t) { std::free(memory); }
  // Value-initialised elements are already zero.
  template <typename U>
  void construct(U*) noexcept {}
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const ZeroPagesAllocator&, const ZeroPagesAllocator&) { return true; }
};

// `rows` rows of `words` 64-bit words, stored row after row in one
// allocation, all zero at creation (rows never written take no memory).
class BitMatrix {
 public:
  BitMatrix() = default;
  BitMatrix(std::uint64_t rows, std::uint64_t words) : rows_(rows), words_(words), data_(rows * words) {}

  std::uint64_t rows() const { return rows_; }
  std::uint64_t words() const { return words_; }

  std::uint64_t* row(std::uint64_t r) { return data_.data() + r * words_; }
  const std::uint64_t* row(std::uint64_t r) const { return data_.data() + r * words_; }
  std::span<const std::uint64_t> rowSpan(std::uint64_t r) const { return {row(r), words_}; }

  // Keeps rows 0 .. rows - 1 (rows <= rows()).
  void keepRows(std::uint64_t rows) {
    rows_ = rows;
    data_.resize(rows * words_);
  }

  // The whole allocation: row 0 first, each row right after the one before.
  const std::uint64_t* data() const { return data_.data(); }

 private:
  std::uint64_t rows_ = 0;
  std::uint64_t words_ = 0;
  std::vector<std::uint64_t, ZeroPagesAllocator<std::uint64_t>> data_;
};

struct GenotypeStore {
  std::vector<std::uint16_t> binary_diagnostic_vect;  // trait of subject j; 1 = case (after recoding)
  SubjectCount affected_amount = 0;                   // cases; never more than the controls
  SubjectCount unaffected_amount = 0;                 // controls
  SubjectCount total_amount = 0;                      // subjects
  bool groups_swapped = false;                        // the labels were swapped: "cases" are the file's controls
  std::vector<std::string> snp_names;                 // in the column order of the file
  BitMatrix snp_matrix;                               // R rows per SNP, ceil(total_amount / 64) words each
  std::uint64_t snp_amount = 0;                       // number of SNPs
  std::vector<std::uint16_t> dimension_vect;          // genotype levels per SNP: always 3
  std::vector<std::uint64_t> cumdimension_vect;       // first row of SNP i = i * R; last entry = all rows
  // Chromosome and base-pair position of SNP i as written in a .bim file;
  // both empty when the input has no map (the text format).
  std::vector<std::string> snp_chromosomes;
  std::vector<std::string> snp_positions;
  // With pair sets: how the SNPs above are grouped (set_layout.h).
  SetLayout set_layout;
  // Subjects of the input that are not in the store: those of a fileset
  // without a phenotype. Always 0 for the text format.
  std::uint64_t subjects_left_out = 0;
  // Fingerprint of the input's bytes as read (content_hash.h); empty until
  // the reader has seen every byte of them.
  std::optional<std::uint64_t> content_hash;
};

// Makes the group called cases the smaller one: when cases outnumber the
// controls every trait label is swapped (1 - x) and so are the two counts.
// A tie changes nothing; the bit rows hold every subject and stay as they are.
// `groups_swapped` records the swap, for outputs that name the file's groups.
void swapGroupsWhenCasesOutnumberControls(GenotypeStore& store);

// Number of one-bits of x (0..64), branch-free.
std::uint8_t count(std::uint64_t x);

// Entry v = number of one-bits of the 16-bit value v.
using CountTable = std::array<std::uint8_t, 65536>;
const CountTable& count_table();

// Word count by table: four 16-bit lookups. Identical to std::popcount,
// which the scans use directly.
inline std::uint8_t wordCountByTable(const CountTable& table, std::uint64_t w) {
  return static_cast<std::uint8_t>(table[w & 0xFFFF] + table[(w >> 16) & 0xFFFF] + table[(w >> 32) & 0xFFFF] +
                                   table[w >> 48]);
}

}  // namespace dyadmill
