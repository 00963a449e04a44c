#include "tile_kernels.h"

#include <bit>
#include <initializer_list>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// The instruction-set variants live in this one file, each function compiled
// for its own instruction set through a target attribute. The file (and the
// rest of the program) stays baseline x86-64, so no AVX instruction can leak
// into shared code or run before tileKernel() has asked the CPU. Helpers that
// handle vectors carry their variant's attribute: a plain inline function or
// a lambda would be compiled for the baseline and could not use the
// intrinsics.

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

#if defined(__x86_64__)

namespace {

// ---------------------------------------------------------------------------
// Hardware POPCNT: the portable loops, with the builtin called directly so
// that it becomes the instruction even in an unoptimised build (std::popcount
// would stay an out-of-line baseline function there).

__attribute__((target("popcnt"))) void countTilePopcnt(const std::uint64_t* i_rows, const std::uint64_t* tile,
                                                       std::uint64_t words, unsigned levels, std::uint32_t* counts) {
  for (unsigned r1 = 0; r1 < levels; ++r1) {
    for (unsigned r2 = 0; r2 < levels; ++r2) {
      std::uint32_t* out = counts + (r1 * levels + r2) * kTileLanes;
      std::uint32_t sum[kTileLanes] = {};
      for (std::uint64_t w = 0; w < words; ++w) {
        const std::uint64_t a = i_rows[r1 * words + w];
        const std::uint64_t* b = tile + (r2 * words + w) * kTileLanes;
        for (unsigned lane = 0; lane < kTileLanes; ++lane) {
          sum[lane] += static_cast<std::uint32_t>(__builtin_popcountll(a & b[lane]));
        }
      }
      for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = sum[lane];
    }
  }
}

// ---------------------------------------------------------------------------
// AVX2: a tile row word is two ymm registers (lanes 0-3 and 4-7). AVX2 has no
// vector popcount, so each byte is counted by looking up its two nibbles in a
// 16-entry table (vpshufb) and the byte counts are summed per 64-bit lane with
// vpsadbw. Rather than a sad and a 64-bit add per word, the byte counts are
// first added up over several words: a byte gains at most 8 per word, so 31
// words (248) is the most a byte accumulator takes without passing 255.

constexpr std::uint64_t kAvx2WordsPerFlush = 31;
static_assert(kAvx2WordsPerFlush * 8 <= 255 && (kAvx2WordsPerFlush + 1) * 8 > 255);

__attribute__((target("avx2"), always_inline)) inline __m256i byteCountsAvx2(__m256i x, __m256i table,
                                                                             __m256i low_nibbles) {
  const __m256i lo = _mm256_and_si256(x, low_nibbles);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), low_nibbles);
  return _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
}

// Eight 64-bit counts (lanes 0-3 in lo, 4-7 in hi, each below 2^32) to eight
// uint32: hi goes to the upper halves of lo's lanes, then one permutation
// puts the 32-bit values in lane order.
__attribute__((target("avx2"), always_inline)) inline void storeCountsAvx2(__m256i lo, __m256i hi, std::uint32_t* out) {
  const __m256i both = _mm256_or_si256(lo, _mm256_slli_epi64(hi, 32));
  const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(both, order));
}

// One first-block row against every row of the tile: the broadcast of the
// first SNP's word serves the R tile rows, and the 2R byte accumulators, the
// table and the mask fit the 16 ymm registers (the 64-bit totals, touched
// once per flush, may live on the stack).
template <unsigned R>
__attribute__((target("avx2"))) void countRowAvx2(const std::uint64_t* a_row, const std::uint64_t* tile,
                                                  std::uint64_t words, std::uint32_t* out) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low_nibbles = _mm256_set1_epi8(0x0f);
  const __m256i zero = _mm256_setzero_si256();
  __m256i total[R][2];
  for (unsigned r2 = 0; r2 < R; ++r2) total[r2][0] = total[r2][1] = zero;

  for (std::uint64_t start = 0; start < words;) {
    const std::uint64_t stop = words - start > kAvx2WordsPerFlush ? start + kAvx2WordsPerFlush : words;
    __m256i bytes[R][2];
    for (unsigned r2 = 0; r2 < R; ++r2) bytes[r2][0] = bytes[r2][1] = zero;
    for (std::uint64_t w = start; w < stop; ++w) {
      const __m256i a = _mm256_set1_epi64x(static_cast<long long>(a_row[w]));
      for (unsigned r2 = 0; r2 < R; ++r2) {
        const std::uint64_t* b = tile + (r2 * words + w) * kTileLanes;
        const __m256i b_lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
        const __m256i b_hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 4));
        bytes[r2][0] = _mm256_add_epi8(bytes[r2][0], byteCountsAvx2(_mm256_and_si256(a, b_lo), table, low_nibbles));
        bytes[r2][1] = _mm256_add_epi8(bytes[r2][1], byteCountsAvx2(_mm256_and_si256(a, b_hi), table, low_nibbles));
      }
    }
    for (unsigned r2 = 0; r2 < R; ++r2) {
      total[r2][0] = _mm256_add_epi64(total[r2][0], _mm256_sad_epu8(bytes[r2][0], zero));
      total[r2][1] = _mm256_add_epi64(total[r2][1], _mm256_sad_epu8(bytes[r2][1], zero));
    }
    start = stop;
  }
  for (unsigned r2 = 0; r2 < R; ++r2) storeCountsAvx2(total[r2][0], total[r2][1], out + r2 * kTileLanes);
}

template <unsigned R>
__attribute__((target("avx2"))) void countTileAvx2R(const std::uint64_t* i_rows, const std::uint64_t* tile,
                                                    std::uint64_t words, std::uint32_t* counts) {
  for (unsigned r1 = 0; r1 < R; ++r1) countRowAvx2<R>(i_rows + r1 * words, tile, words, counts + r1 * R * kTileLanes);
}

__attribute__((target("avx2"))) void countTileAvx2(const std::uint64_t* i_rows, const std::uint64_t* tile,
                                                   std::uint64_t words, unsigned levels, std::uint32_t* counts) {
  switch (levels) {
    case 2:
      countTileAvx2R<2>(i_rows, tile, words, counts);
      return;
    case 3:
      countTileAvx2R<3>(i_rows, tile, words, counts);
      return;
    default:
      countTileGeneric(i_rows, tile, words, levels, counts);
  }
}

// ---------------------------------------------------------------------------
// AVX-512 with VPOPCNTDQ: a tile row word is one zmm register, so a word step
// is R broadcasts, R loads and R*R (and, popcount, add) triples. With R fixed
// at compile time the R*R accumulators (at most 9) stay in registers for the
// whole word loop; the counts are narrowed to uint32 only at the end.

template <unsigned R>
__attribute__((target("avx512f,avx512vpopcntdq"), always_inline)) inline void accumulateWordAvx512(
    __m512i (&acc)[R][R], const std::uint64_t* i_rows, const std::uint64_t* tile, std::uint64_t words,
    std::uint64_t w) {
  __m512i b[R];
  for (unsigned r2 = 0; r2 < R; ++r2) b[r2] = _mm512_loadu_si512(tile + (r2 * words + w) * kTileLanes);
  for (unsigned r1 = 0; r1 < R; ++r1) {
    const __m512i a = _mm512_set1_epi64(static_cast<long long>(i_rows[r1 * words + w]));
    for (unsigned r2 = 0; r2 < R; ++r2) {
      acc[r1][r2] = _mm512_add_epi64(acc[r1][r2], _mm512_popcnt_epi64(_mm512_and_si512(a, b[r2])));
    }
  }
}

template <unsigned R>
__attribute__((target("avx512f,avx512vpopcntdq"))) void countTileAvx512R(const std::uint64_t* i_rows,
                                                                         const std::uint64_t* tile, std::uint64_t words,
                                                                         std::uint32_t* counts) {
  __m512i acc[R][R];
  for (unsigned r1 = 0; r1 < R; ++r1) {
    for (unsigned r2 = 0; r2 < R; ++r2) acc[r1][r2] = _mm512_setzero_si512();
  }
  // Two words a step: no gain while the tile sits in L1, where the loop is
  // bound by the vector ports, but 10-15 % when its rows come from L2
  // (measured on a Sapphire Rapids class Xeon; four words a step lost for R = 3).
  std::uint64_t w = 0;
  for (; w + 2 <= words; w += 2) {
    accumulateWordAvx512<R>(acc, i_rows, tile, words, w);
    accumulateWordAvx512<R>(acc, i_rows, tile, words, w + 1);
  }
  if (w < words) accumulateWordAvx512<R>(acc, i_rows, tile, words, w);
  for (unsigned r1 = 0; r1 < R; ++r1) {
    for (unsigned r2 = 0; r2 < R; ++r2) {
      // The zero-masked form with every lane kept is the same vpmovqd; the
      // plain intrinsic trips GCC's uninitialised-value warning.
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(counts + (r1 * R + r2) * kTileLanes),
                          _mm512_maskz_cvtepi64_epi32(0xff, acc[r1][r2]));
    }
  }
}

__attribute__((target("avx512f,avx512vpopcntdq"))) void countTileAvx512(const std::uint64_t* i_rows,
                                                                        const std::uint64_t* tile, std::uint64_t words,
                                                                        unsigned levels, std::uint32_t* counts) {
  switch (levels) {
    case 2:
      countTileAvx512R<2>(i_rows, tile, words, counts);
      return;
    case 3:
      countTileAvx512R<3>(i_rows, tile, words, counts);
      return;
    default:
      countTileGeneric(i_rows, tile, words, levels, counts);
  }
}

bool cpuHas(KernelKind kind) {
  // Makes the answer right even from a static initialiser that runs before
  // the runtime library has filled in the CPU features.
  __builtin_cpu_init();
  switch (kind) {
    case KernelKind::Generic:
      return true;
    case KernelKind::Popcnt:
      return __builtin_cpu_supports("popcnt");
    case KernelKind::Avx2:
      return __builtin_cpu_supports("avx2");
    case KernelKind::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq");
  }
  return false;
}

}  // namespace

#endif  // __x86_64__

TileKernel tileKernel(KernelKind kind) {
  if (kind == KernelKind::Generic) return countTileGeneric;
#if defined(__x86_64__)
  if (!cpuHas(kind)) return nullptr;
  switch (kind) {
    case KernelKind::Generic:
      return countTileGeneric;
    case KernelKind::Popcnt:
      return countTilePopcnt;
    case KernelKind::Avx2:
      return countTileAvx2;
    case KernelKind::Avx512:
      return countTileAvx512;
  }
#endif
  return nullptr;
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
