// Knobs of the genotype reader that only the tests turn.
//
// The reader has two ways of encoding a subject line: a fast path for the
// shape the generator and most tools write (single-digit fields separated by
// single spaces) and the general routine that accepts every layout of the
// format and words every error. The tests read the same file both ways and
// with tiny read blocks, and require identical stores and identical output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "genotype_reader.h"

namespace dyadmill::reader_internal {

// Bytes requested from the file per read. A line longer than this is
// carried over and the buffer grows to hold it.
inline constexpr std::size_t kDefaultBlockSize = std::size_t{1} << 20;

struct ReaderTuning {
  bool fast_path = true;                       // false: every line goes through the general routine
  std::size_t block_size = kDefaultBlockSize;  // at least 1
};

// How the subject lines of the encoding pass were handled.
struct ReaderCounters {
  std::uint64_t fast_lines = 0;     // encoded by the fast path
  std::uint64_t general_lines = 0;  // handed to the general routine
};

Outcome readGenotypeFile(const RunParameters& params, GenotypeStore& store, const ReaderTuning& tuning,
                         ReaderCounters* counters = nullptr, const NamesCheck& names_check = {},
                         const SelectionLists& lists = {});

}  // namespace dyadmill::reader_internal
