// Tile counting kernels. One call counts one first-block SNP against a tile
// of kTileLanes second-block SNPs, i.e. kTileLanes pairs; items_per_second is
// pairs per second. The word counts are those of the case and control rows
// of 2000 subjects (600 / 1400: 10 and 22 words) and of 5000 subjects
// (1500 / 3500: 24 and 55 words).
//
// Two ways of walking the data:
//   hot     one tile against every first-block SNP in turn: the tile stays
//           in L1, which times the kernel's arithmetic;
//   stream  every first-block SNP against every tile of a block larger than
//           L1: the tile rows come from L2.
//
//   dyadmill_bench_kernels --benchmark_filter='R:3/W:55'
//
// Kernels this CPU cannot run are reported as skipped.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "simd_kernels.h"

namespace {

using namespace dyadmill;

constexpr unsigned kTiles = 64;      // 512 second-block SNPs: 80 KiB (R 2, W 10) to 660 KiB (R 3, W 55)
constexpr unsigned kFirstSnps = 16;  // their rows, 2.5 to 20 KiB

enum class Walk { Hot, Stream };

void tileKernelBench(benchmark::State& state, KernelKind kind, unsigned levels, std::uint64_t words, Walk walk) {
  const TileKernel kernel = tileKernel(kind);
  if (kernel == nullptr) {
    state.SkipWithError("this CPU cannot run this kernel");
    return;
  }
  std::mt19937_64 rng(1);
  const std::uint64_t tile_words = levels * words * kTileLanes;
  const std::uint64_t i_words = levels * words;
  std::vector<std::uint64_t> tiles(kTiles * tile_words), i_rows(kFirstSnps * i_words);
  for (auto& w : tiles) w = rng();
  for (auto& w : i_rows) w = rng();
  std::vector<std::uint32_t> counts(levels * levels * kTileLanes);

  // `inner` runs fastest: the first-block SNP for Hot, the tile for Stream.
  const unsigned inner_count = walk == Walk::Hot ? kFirstSnps : kTiles;
  const unsigned outer_count = walk == Walk::Hot ? kTiles : kFirstSnps;
  unsigned inner = 0, outer = 0;
  for (auto _ : state) {
    const unsigned i = walk == Walk::Hot ? inner : outer, t = walk == Walk::Hot ? outer : inner;
    kernel(i_rows.data() + i * i_words, tiles.data() + t * tile_words, words, levels, counts.data());
    benchmark::DoNotOptimize(counts.data());
    benchmark::ClobberMemory();
    if (++inner == inner_count) {
      inner = 0;
      if (++outer == outer_count) outer = 0;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kTileLanes);
}

}  // namespace

int main(int argc, char** argv) {
  for (Walk walk : {Walk::Hot, Walk::Stream}) {
    for (unsigned levels : {2u, 3u}) {
      for (std::uint64_t words : {10u, 22u, 24u, 55u}) {
        for (KernelKind kind : {KernelKind::Generic, KernelKind::Popcnt, KernelKind::Avx2, KernelKind::Avx512}) {
          const std::string name = std::string("TileKernel/") + kernelName(kind) + "/R:" + std::to_string(levels) +
                                   "/W:" + std::to_string(words) + (walk == Walk::Hot ? "/hot" : "/stream");
          benchmark::RegisterBenchmark(name.c_str(), tileKernelBench, kind, levels, words, walk);
        }
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
