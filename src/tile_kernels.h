// Counting kernels of the fast pair scan.
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

namespace dyadmill {

inline constexpr unsigned kTileLanes = 8;
inline constexpr unsigned kMaxRowLevels = 3;

using TileKernel = void (*)(const std::uint64_t* i_rows, const std::uint64_t* tile, std::uint64_t words,
                            unsigned levels, std::uint32_t* counts);

// Portable C++ (no particular instruction set).
void countTileGeneric(const std::uint64_t* i_rows, const std::uint64_t* tile, std::uint64_t words, unsigned levels,
                      std::uint32_t* counts);

enum class KernelKind { Generic, Popcnt, Avx2, Avx512 };

// The kernel of `kind`, or nullptr when this CPU cannot run it.
TileKernel tileKernel(KernelKind kind);

// The fastest kernel this CPU runs, and its kind.
TileKernel bestTileKernel(KernelKind* kind = nullptr);

const char* kernelName(KernelKind kind);

}  // namespace dyadmill
