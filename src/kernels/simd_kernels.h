// Stage kernels: the counting kernels, tile fits and bit extract in their
// instruction-set variants, chosen by one CPU probe. Uses base and stats
// (a tile fit reproduces the one-table fit of stats bit for bit).
//
// The instruction-set variants of the fast pair scan, behind one probe of
// the CPU: the counting kernels, the exact fit of a tile's tables, the
// vector level the lane loops of the approximations are compiled for, and
// the row counts and packing of the rescans that rebuild a few SNPs' rows. The
// probe runs once per run and hands out one set of function pointers;
// tests ask for each set this CPU runs. Every variant gives the same
// numbers as the portable one, counts and doubles alike (the build forbids
// fused multiply-adds, so vector arithmetic rounds as scalar arithmetic).
//
// Counting kernels.
//
// The second block's rows are interleaved by tiles of kTileLanes SNPs: for
// tile t, row level r (0 .. R-1) and word w, the kTileLanes SNPs' words
// follow each other, so that one vector load holds word w of level r of
// every SNP of the tile:
//
//   tile[(r * W + w) * kTileLanes + lane]   (W words per row)
//
// A lane past the end of the block holds zero words. The first block's SNP
// stays a plain run of R rows of W words (row r at i_rows + r * W).
//
// A kernel counts, for one first-block SNP against one tile, the one-bits of
// the AND of every pair of rows:
//
//   counts[(r1 * R + r2) * kTileLanes + lane] =
//       sum over w of popcount(i_rows[r1 * W + w] & tile[(r2 * W + w) * kTileLanes + lane])
//
// for r1, r2 in 0 .. R-1 (R is 2 or 3). W may be 0 (all counts 0). Counts
// are exact: every variant gives the same numbers as the portable one.
#pragma once

#include <cstdint>

#include "bit_rows.h"
#include "table_shape.h"

namespace dyadmill {

inline constexpr unsigned kTileLanes = 8;
inline constexpr unsigned kMaxRowLevels = 3;

using TileKernel = void (*)(const std::uint64_t* i_rows, const std::uint64_t* tile, std::uint64_t words,
                            unsigned levels, std::uint32_t* counts);

// Portable C++ (no particular instruction set).
void countTileGeneric(const std::uint64_t* i_rows, const std::uint64_t* tile, std::uint64_t words, unsigned levels,
                      std::uint32_t* counts);

// Instruction-set levels, slowest first. Each names the counting kernel of
// that level; Avx512 also needs VPOPCNTDQ for its kernel.
enum class KernelKind { Generic, Popcnt, Avx2, Avx512 };

const char* kernelName(KernelKind kind);

// Vector width the lane loops and the tile fit are compiled for.
enum class VectorLevel { Portable, Avx2, Avx512 };

// Cells or levels of a tile's pairs, cell-major: cells[k][lane].
using TileCells = const std::int32_t (*)[kTileLanes];

// The fitted no-three-way-interaction tables of a tile's pairs, lane by lane.
struct TileFit {
  double affected[kCells][kTileLanes];
  double unaffected[kCells][kTileLanes];
};

// Fits the tables of a tile's lanes at once, each lane exactly as
// fitNoThreeWayInteraction fits its one table (the same operations in the
// same order, so the same fitted values to the last bit). Margins are given
// per level and lane: cases and subjects at each level of the first SNP
// (affected1, total1) and of the second (affected2, total2).
using TileFitter = void (*)(TileCells totals, TileCells affected1, TileCells total1, TileCells affected2,
                            TileCells total2, TileFit& fit);

// Row operations of the rescans that rebuild the case rows of a few SNPs at
// a time. A row counter gives the one-bits of a row of `words` words, an AND
// counter those of the AND of two such rows (as popcountRow and popcountAnd).
using RowCounter = SubjectCount (*)(const std::uint64_t* row, std::uint64_t words);
using AndCounter = SubjectCount (*)(const std::uint64_t* a, const std::uint64_t* b, std::uint64_t words);

// A bit extract packs a row over all subjects down to the subjects `mask`
// selects, in subject order, into `destination_words` words (zero past the
// last selected subject).
using RowExtract = void (*)(const std::uint64_t* source, const std::uint64_t* mask, std::uint64_t source_words,
                            std::uint64_t* destination, std::uint64_t destination_words);

// One set of variants.
struct SimdKernels {
  KernelKind kind = KernelKind::Generic;  // of the counting kernel
  TileKernel count = countTileGeneric;
  VectorLevel vectors = VectorLevel::Portable;
  TileFitter fit = nullptr;
  RowCounter count_row = popcountRow;
  AndCounter count_and = popcountAnd;
  // nullptr where the CPU has no bit-extract instruction: callers then
  // pack with a portable loop.
  RowExtract extract = nullptr;
};

// The fastest variants this CPU runs, each chosen on its own.
SimdKernels probeSimdKernels();

// Every variant at the level of `kind` (a kernel of that kind, the vector
// level it implies); false when this CPU cannot run them.
bool simdKernelsOf(KernelKind kind, SimdKernels& kernels);

// The portable row operations: no bit extract, and the row counts of the
// portable build.
void usePortableRowKernels(SimdKernels& kernels);

// The counting kernel of `kind`, or nullptr when this CPU cannot run it.
TileKernel tileKernel(KernelKind kind);

}  // namespace dyadmill
