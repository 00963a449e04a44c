// The word decoder of the fileset reader, exposed for the tests: the CPU
// decides at run time which variant the reader uses, and the tests compare
// every variant the machine can run. Also the size of its reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dyadmill::plink_internal {

// A SNP whose every subject is kept: 64 subjects (16 bytes) make one word
// of each row. `rows` holds the rows of levels 0, 1, 2 (nullptr for a level
// without a row).
struct DenseSnp {
  const unsigned char* bytes;
  std::size_t size;
  std::uint64_t subjects;
  std::uint64_t words;
  std::uint64_t* const* rows;
  bool refuse_missing;
};

// Decodes every word of the SNP into its rows. Returns the first subject
// with a missing genotype when those are refused (rows then partly
// written), or -1.
using DenseDecoder = std::int64_t (*)(const DenseSnp&);

std::int64_t decodeDensePortable(const DenseSnp& snp);
// The bit-extract variant, or nullptr where the CPU lacks the instruction.
DenseDecoder bmi2DenseDecoder();
// The variant the reader uses.
DenseDecoder bestDenseDecoder();

// The bytes of genotypes the reader takes from the .bed at a time (it reads
// at least 8 SNPs per worker thread all the same); returns the value before.
// For the tests, which need reads of a few SNPs to cross slice boundaries.
std::size_t setReadSliceBytes(std::size_t bytes);

}  // namespace dyadmill::plink_internal
