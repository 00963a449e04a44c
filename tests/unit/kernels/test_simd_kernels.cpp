// Tile counting kernels: every variant this CPU runs gives the per-bit count
// of the AND of every row pair, the same numbers as the portable kernel, at
// every word count (the vector variants' tails and the AVX2 byte flushes),
// at the largest counts, and without reading a word past the rows it is given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "simd_kernels.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace dyadmill {

// Failure messages name the kernel rather than dump the enum's bytes.
static void PrintTo(KernelKind kind, std::ostream* os) {
  *os << kernelName(kind);
}

namespace {

// The word counts tried: every tail of one vector step, and around the AVX2
// byte accumulator's flush every 31 words (31, 62, 93) and the powers of two.
const std::vector<std::uint64_t> kWordCounts = {0,  1,  2,  3,  4,  5,  6,  7,  8,  15, 16, 17,
                                                30, 31, 32, 33, 61, 62, 63, 64, 93, 94, 100};

// A kernel's input in buffers of exactly the size the contract allows it to
// read, shifted one word off the allocation's alignment so that a vector
// variant that assumed aligned rows would fault; reading past the end is
// caught by the sanitizer build.
struct TileInput {
  unsigned levels;
  std::uint64_t words;
  std::vector<std::uint64_t> i_storage, tile_storage;

  TileInput(unsigned r, std::uint64_t w)
      : levels(r), words(w), i_storage(1 + r * w), tile_storage(1 + r * w * kTileLanes) {}
  std::uint64_t* iRows() { return i_storage.data() + 1; }
  std::uint64_t* tile() { return tile_storage.data() + 1; }
  std::uint64_t& iWord(unsigned r, std::uint64_t w) { return iRows()[r * words + w]; }
  std::uint64_t& tileWord(unsigned r, std::uint64_t w, unsigned lane) {
    return tile()[(r * words + w) * kTileLanes + lane];
  }
};

// Random words of a density drawn per row, in the first `live` lanes; the
// other lanes hold zeros, as past the end of a block.
TileInput randomInput(unsigned levels, std::uint64_t words, unsigned live, std::mt19937_64& rng) {
  TileInput in(levels, words);
  auto row_word = [&rng](int density) {
    // density 0: one bit in four; 1: half the bits; 2: three in four.
    const std::uint64_t x = rng(), y = rng();
    return density == 0 ? (x & y) : density == 1 ? x : (x | y);
  };
  for (unsigned r = 0; r < levels; ++r) {
    const int density = static_cast<int>(rng() % 3);
    for (std::uint64_t w = 0; w < words; ++w) in.iWord(r, w) = row_word(density);
    for (unsigned lane = 0; lane < live; ++lane) {
      const int lane_density = static_cast<int>(rng() % 3);
      for (std::uint64_t w = 0; w < words; ++w) in.tileWord(r, w, lane) = row_word(lane_density);
    }
  }
  return in;
}

// Count by testing one bit at a time, independent of any popcount.
std::vector<std::uint32_t> bitCounts(const std::uint64_t* i_rows, const std::uint64_t* tile, std::uint64_t words,
                                     unsigned levels) {
  std::vector<std::uint32_t> counts(levels * levels * kTileLanes, 0);
  for (unsigned r1 = 0; r1 < levels; ++r1) {
    for (unsigned r2 = 0; r2 < levels; ++r2) {
      for (unsigned lane = 0; lane < kTileLanes; ++lane) {
        std::uint32_t n = 0;
        for (std::uint64_t w = 0; w < words; ++w) {
          const std::uint64_t a = i_rows[r1 * words + w];
          const std::uint64_t b = tile[(r2 * words + w) * kTileLanes + lane];
          for (unsigned bit = 0; bit < 64; ++bit) n += ((a >> bit) & (b >> bit) & 1u) != 0 ? 1u : 0u;
        }
        counts[(r1 * levels + r2) * kTileLanes + lane] = n;
      }
    }
  }
  return counts;
}

// Runs the kernel into a counts buffer filled with junk (a kernel must set
// every count, not add to it) followed by guard values it must leave alone.
std::vector<std::uint32_t> runKernel(TileKernel kernel, const std::uint64_t* i_rows, const std::uint64_t* tile,
                                     std::uint64_t words, unsigned levels) {
  constexpr std::uint32_t kJunk = 0xdeadbeef;
  constexpr std::size_t kGuard = 16;
  const std::size_t n = levels * levels * kTileLanes;
  std::vector<std::uint32_t> buffer(n + kGuard, kJunk);
  kernel(i_rows, tile, words, levels, buffer.data());
  for (std::size_t k = n; k < buffer.size(); ++k) {
    EXPECT_EQ(buffer[k], kJunk) << "wrote past the counts at " << k;
  }
  buffer.resize(n);
  return buffer;
}

class TileKernelTest : public ::testing::TestWithParam<KernelKind> {
 protected:
  void SetUp() override {
    kernel_ = tileKernel(GetParam());
    if (kernel_ == nullptr) GTEST_SKIP() << "this CPU cannot run the " << kernelName(GetParam()) << " kernel";
  }
  TileKernel kernel_ = nullptr;
};

TEST_P(TileKernelTest, RandomWordsMatchBitCountAndPortableKernel) {
  std::mt19937_64 rng(20240607);
  for (unsigned levels : {2u, 3u}) {
    for (std::uint64_t words : kWordCounts) {
      // A full tile, and a last tile of a block with only some lanes filled.
      for (unsigned live : {kTileLanes, 1u + static_cast<unsigned>(words % (kTileLanes - 1))}) {
        SCOPED_TRACE("levels " + std::to_string(levels) + ", words " + std::to_string(words) + ", live lanes " +
                     std::to_string(live));
        TileInput in = randomInput(levels, words, live, rng);
        const std::vector<std::uint32_t> expected = bitCounts(in.iRows(), in.tile(), words, levels);
        const std::vector<std::uint32_t> got = runKernel(kernel_, in.iRows(), in.tile(), words, levels);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(got, runKernel(countTileGeneric, in.iRows(), in.tile(), words, levels));
        for (unsigned pair = 0; pair < levels * levels; ++pair) {
          for (unsigned lane = live; lane < kTileLanes; ++lane) EXPECT_EQ(got[pair * kTileLanes + lane], 0u);
        }
      }
    }
  }
}

TEST_P(TileKernelTest, AllOnesGiveTheLargestCounts) {
  // Every byte of every word is full, so byte accumulators reach their
  // highest values; counts must still be 64 per word in the live lanes.
  for (unsigned levels : {2u, 3u}) {
    for (std::uint64_t words : {1u, 8u, 30u, 31u, 32u, 33u, 62u, 63u, 64u, 93u, 200u, 1001u}) {
      SCOPED_TRACE("levels " + std::to_string(levels) + ", words " + std::to_string(words));
      constexpr unsigned kLive = 5;
      TileInput in(levels, words);
      for (unsigned r = 0; r < levels; ++r) {
        for (std::uint64_t w = 0; w < words; ++w) {
          in.iWord(r, w) = ~std::uint64_t{0};
          for (unsigned lane = 0; lane < kLive; ++lane) in.tileWord(r, w, lane) = ~std::uint64_t{0};
        }
      }
      const std::vector<std::uint32_t> got = runKernel(kernel_, in.iRows(), in.tile(), words, levels);
      for (unsigned pair = 0; pair < levels * levels; ++pair) {
        for (unsigned lane = 0; lane < kTileLanes; ++lane) {
          EXPECT_EQ(got[pair * kTileLanes + lane], lane < kLive ? 64 * words : 0u)
              << "pair " << pair << " lane " << lane;
        }
      }
    }
  }
}

#if defined(__linux__)
// Words that end exactly where an inaccessible page begins: a kernel that
// reads one word too many faults, in any build.
class WordsBeforeGuardPage {
 public:
  explicit WordsBeforeGuardPage(std::size_t n) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t used = (n * sizeof(std::uint64_t) + page - 1) / page * page;
    size_ = used + page;
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<char*>(p);
    if (mprotect(base_ + used, page, PROT_NONE) != 0) return;
    words_ = reinterpret_cast<std::uint64_t*>(base_ + used) - n;
  }
  ~WordsBeforeGuardPage() {
    if (base_ != nullptr) munmap(base_, size_);
  }
  WordsBeforeGuardPage(const WordsBeforeGuardPage&) = delete;
  WordsBeforeGuardPage& operator=(const WordsBeforeGuardPage&) = delete;
  std::uint64_t* words() const { return words_; }

 private:
  char* base_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t* words_ = nullptr;
};

TEST_P(TileKernelTest, ReadsNothingPastTheRowsAndTile) {
  std::mt19937_64 rng(7);
  for (unsigned levels : {2u, 3u}) {
    for (std::uint64_t words : {0u, 1u, 3u, 7u, 8u, 31u, 33u, 55u}) {
      SCOPED_TRACE("levels " + std::to_string(levels) + ", words " + std::to_string(words));
      const TileInput in = randomInput(levels, words, kTileLanes, rng);
      WordsBeforeGuardPage i_rows(levels * words), tile(levels * words * kTileLanes);
      ASSERT_NE(i_rows.words(), nullptr);
      ASSERT_NE(tile.words(), nullptr);
      std::copy(in.i_storage.begin() + 1, in.i_storage.end(), i_rows.words());
      std::copy(in.tile_storage.begin() + 1, in.tile_storage.end(), tile.words());
      EXPECT_EQ(runKernel(kernel_, i_rows.words(), tile.words(), words, levels),
                bitCounts(i_rows.words(), tile.words(), words, levels));
    }
  }
}
#endif

INSTANTIATE_TEST_SUITE_P(Kernels, TileKernelTest,
                         ::testing::Values(KernelKind::Generic, KernelKind::Popcnt, KernelKind::Avx2,
                                           KernelKind::Avx512),
                         [](const ::testing::TestParamInfo<KernelKind>& info) {
                           return std::string(kernelName(info.param));
                         });

TEST(SimdDispatch, TheProbeChoosesTheFastestVariantsThisCpuRuns) {
  const SimdKernels best = probeSimdKernels();
  EXPECT_EQ(best.count, tileKernel(best.kind));
  ASSERT_NE(best.fit, nullptr);
  // The kinds are listed from slowest to fastest; none past the chosen one runs here.
  for (int k = static_cast<int>(best.kind) + 1; k <= static_cast<int>(KernelKind::Avx512); ++k) {
    SimdKernels other;
    EXPECT_FALSE(simdKernelsOf(static_cast<KernelKind>(k), other)) << kernelName(static_cast<KernelKind>(k));
  }
  // A set at a level has that level's kernel and vectors no wider than its own.
  for (KernelKind kind : {KernelKind::Generic, KernelKind::Popcnt, KernelKind::Avx2, KernelKind::Avx512}) {
    SimdKernels set;
    if (!simdKernelsOf(kind, set)) continue;
    EXPECT_EQ(set.count, tileKernel(kind));
    EXPECT_LE(static_cast<int>(set.vectors), static_cast<int>(best.vectors)) << kernelName(kind);
  }
  EXPECT_NE(tileKernel(KernelKind::Generic), nullptr);
}

}  // namespace
}  // namespace dyadmill
