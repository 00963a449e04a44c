#include "tile_kernels.h"

#include <bit>
#include <initializer_list>

namespace dyadmill {

void countTileGeneric(const std::uint64_t* i_rows, const std::uint64_t* tile, std::uint64_t words, unsigned levels,
                      std::uint32_t* counts) {
  for (unsigned r1 = 0; r1 < levels; ++r1) {
    for (unsigned r2 = 0; r2 < levels; ++r2) {
      std::uint32_t* out = counts + (r1 * levels + r2) * kTileLanes;
      for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = 0;
      for (std::uint64_t w = 0; w < words; ++w) {
        const std::uint64_t a = i_rows[r1 * words + w];
        const std::uint64_t* b = tile + (r2 * words + w) * kTileLanes;
        for (unsigned lane = 0; lane < kTileLanes; ++lane) {
          out[lane] += static_cast<std::uint32_t>(std::popcount(a & b[lane]));
        }
      }
    }
  }
}

TileKernel tileKernel(KernelKind kind) {
  switch (kind) {
    case KernelKind::Generic:
      return countTileGeneric;
    default:
      return nullptr;
  }
}

TileKernel bestTileKernel(KernelKind* kind) {
  for (KernelKind k : {KernelKind::Avx512, KernelKind::Avx2, KernelKind::Popcnt, KernelKind::Generic}) {
    if (TileKernel kernel = tileKernel(k)) {
      if (kind != nullptr) *kind = k;
      return kernel;
    }
  }
  return countTileGeneric;
}

const char* kernelName(KernelKind kind) {
  switch (kind) {
    case KernelKind::Generic:
      return "generic";
    case KernelKind::Popcnt:
      return "popcnt";
    case KernelKind::Avx2:
      return "avx2";
    case KernelKind::Avx512:
      return "avx512";
  }
  return "?";
}

}  // namespace dyadmill
