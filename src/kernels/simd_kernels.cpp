#include "simd_kernels.h"

#include <bit>
#include <initializer_list>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "BinaryTestStat.h"

// The counting kernels and the tile fits live in this one file, each
// variant compiled for its own instruction set through a target attribute
// (the approximations stamp out their lane loops per vector level the same
// way). The file (and the rest of the program) stays baseline x86-64, so no
// AVX instruction can leak into shared code or run before the probe has
// asked the CPU. Helpers that handle vectors carry their variant's
// attribute: a plain inline function or a lambda would be compiled for the
// baseline and could not use the intrinsics.

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

namespace {

// One table at a time: the lane's fit is exactly fitNoThreeWayInteraction's.
void fitTileByLane(TileCells totals, TileCells affected1, TileCells total1, TileCells affected2, TileCells total2,
                   TileFit& fit) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    SubjectCount cells[kCells], a1[kLevels], t1[kLevels], a2[kLevels], t2[kLevels];
    for (unsigned k = 0; k < kCells; ++k) cells[k] = static_cast<SubjectCount>(totals[k][lane]);
    for (unsigned c = 0; c < kLevels; ++c) {
      a1[c] = static_cast<SubjectCount>(affected1[c][lane]);
      t1[c] = static_cast<SubjectCount>(total1[c][lane]);
      a2[c] = static_cast<SubjectCount>(affected2[c][lane]);
      t2[c] = static_cast<SubjectCount>(total2[c][lane]);
    }
    const IpfFit one = fitNoThreeWayInteraction({}, cells, a1, a2, t1, t2, kLevels, kLevels);
    for (unsigned k = 0; k < kCells; ++k) {
      fit.affected[k][lane] = one.affected_fitted[k];
      fit.unaffected[k][lane] = one.unaffected_fitted[k];
    }
  }
}

}  // namespace

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

// ---------------------------------------------------------------------------
// The exact tile fit in 512-bit registers.

#define DYADMILL_AVX512 __attribute__((target("avx512f"), always_inline)) inline

DYADMILL_AVX512 __m512d loadLanes(const std::int32_t* v) {
  // The masked form: the plain one trips a false "uninitialized" warning in
  // some compilers' headers.
  return _mm512_maskz_cvtepi32_pd(0xFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v)));
}

// Scales the three cells c0, c0 + stride, c0 + 2 stride of the active lanes
// to sum to `target`, as the one-table fit scales a row or a column.
DYADMILL_AVX512 void scaleLanes(__m512d* cells, unsigned c0, unsigned stride, __m512d target, __mmask8 active) {
  const __m512d zero = _mm512_setzero_pd();
  const __m512d sum =
      _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(zero, cells[c0]), cells[c0 + stride]), cells[c0 + 2 * stride]);
  const __m512d factor = _mm512_div_pd(target, sum);
  const __mmask8 positive = _mm512_cmp_pd_mask(sum, zero, _CMP_GT_OQ);
  for (unsigned m = 0; m < kLevels; ++m) {
    const __m512d scaled = _mm512_maskz_mul_pd(positive, cells[c0 + m * stride], factor);
    cells[c0 + m * stride] = _mm512_mask_blend_pd(active, cells[c0 + m * stride], scaled);
  }
}

// The eight fits in the eight lanes of 512-bit registers: every lane does
// the one-table fit's additions, divisions and multiplications in the same
// order (vector division and multiplication round exactly as scalar ones),
// and a lane that has converged is left unchanged by masked updates.
__attribute__((target("avx512f"))) void fitTileAvx512(TileCells totals, TileCells affected1, TileCells total1,
                                                      TileCells affected2, TileCells total2, TileFit& fit) {
  const __m512d zero = _mm512_setzero_pd();
  __m512d tot[kCells], a[kCells], u[kCells], a_old[kCells], u_old[kCells];
  __m512d ta1[kLevels], tu1[kLevels], ta2[kLevels], tu2[kLevels];
  for (unsigned c = 0; c < kLevels; ++c) {
    ta1[c] = loadLanes(affected1[c]);
    tu1[c] = _mm512_sub_pd(loadLanes(total1[c]), ta1[c]);
    ta2[c] = loadLanes(affected2[c]);
    tu2[c] = _mm512_sub_pd(loadLanes(total2[c]), ta2[c]);
  }
  const __m512d one = _mm512_set1_pd(1.0);
  for (unsigned k = 0; k < kCells; ++k) {
    tot[k] = loadLanes(totals[k]);
    a[k] = u[k] = a_old[k] = u_old[k] = one;
  }
  __mmask8 active = 0xFF;
  const __m512d tolerance = _mm512_set1_pd(BinaryTestStat::kIpfTolerance);
  for (int it = 0; it < BinaryTestStat::kIpfMaxIterations; ++it) {
    for (unsigned k = 0; k < kCells; ++k) {
      const __m512d total_fitted = _mm512_add_pd(a[k], u[k]);
      const __m512d factor = _mm512_div_pd(tot[k], total_fitted);
      const __mmask8 positive = _mm512_cmp_pd_mask(total_fitted, zero, _CMP_GT_OQ);
      a[k] = _mm512_mask_blend_pd(active, a[k], _mm512_maskz_mul_pd(positive, a[k], factor));
      u[k] = _mm512_mask_blend_pd(active, u[k], _mm512_maskz_mul_pd(positive, u[k], factor));
    }
    for (unsigned c = 0; c < kLevels; ++c) {
      scaleLanes(a, c * kLevels, 1, ta1[c], active);
      scaleLanes(u, c * kLevels, 1, tu1[c], active);
    }
    for (unsigned d = 0; d < kLevels; ++d) {
      scaleLanes(a, d, kLevels, ta2[d], active);
      scaleLanes(u, d, kLevels, tu2[d], active);
    }
    __m512d error = zero;
    for (unsigned k = 0; k < kCells; ++k) {
      error = _mm512_add_pd(error, _mm512_abs_pd(_mm512_sub_pd(a[k], a_old[k])));
      error = _mm512_add_pd(error, _mm512_abs_pd(_mm512_sub_pd(u[k], u_old[k])));
    }
    active &= static_cast<__mmask8>(~_mm512_cmp_pd_mask(error, tolerance, _CMP_LT_OQ));
    if (active == 0) break;
    for (unsigned k = 0; k < kCells; ++k) {
      a_old[k] = a[k];
      u_old[k] = u[k];
    }
  }
  for (unsigned k = 0; k < kCells; ++k) {
    _mm512_storeu_pd(fit.affected[k], a[k]);
    _mm512_storeu_pd(fit.unaffected[k], u[k]);
  }
}

// The row operations of the rescans that rebuild a few SNPs' case rows,
// with the CPU's bit count (the same counts as popcountRow and popcountAnd)
// and its bit extract.
__attribute__((target("popcnt"))) SubjectCount countRowPopcnt(const std::uint64_t* row, std::uint64_t words) {
  SubjectCount total = 0;
  for (std::uint64_t w = 0; w < words; ++w) total = static_cast<SubjectCount>(total + __builtin_popcountll(row[w]));
  return total;
}

__attribute__((target("popcnt"))) SubjectCount countAndPopcnt(const std::uint64_t* a, const std::uint64_t* b,
                                                              std::uint64_t words) {
  SubjectCount total = 0;
  for (std::uint64_t w = 0; w < words; ++w)
    total = static_cast<SubjectCount>(total + __builtin_popcountll(a[w] & b[w]));
  return total;
}

// Each source word's selected bits moved down to consecutive bits at once,
// and appended to the destination row.
__attribute__((target("bmi2,popcnt"))) void extractRowBmi2(const std::uint64_t* source, const std::uint64_t* mask,
                                                           std::uint64_t source_words, std::uint64_t* destination,
                                                           std::uint64_t destination_words) {
  std::uint64_t out = 0;
  std::uint64_t pending = 0;  // the next destination word, filled from bit 0
  unsigned filled = 0;        // bits of `pending` already filled (0..63)
  for (std::uint64_t w = 0; w < source_words; ++w) {
    if (mask[w] == 0) continue;
    const std::uint64_t bits = _pext_u64(source[w], mask[w]);
    const unsigned n = static_cast<unsigned>(_mm_popcnt_u64(mask[w]));
    pending |= bits << filled;
    if (filled + n < 64) {
      filled += n;
      continue;
    }
    destination[out++] = pending;
    // The bits of this word that did not fit start the next one.
    pending = filled == 0 ? 0 : bits >> (64 - filled);
    filled = filled + n - 64;
  }
  if (filled > 0) destination[out++] = pending;
  for (; out < destination_words; ++out) destination[out] = 0;
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

void usePortableRowKernels(SimdKernels& kernels) {
  kernels.count_row = popcountRow;
  kernels.count_and = popcountAnd;
  kernels.extract = nullptr;
}

namespace {

// The row operations a kernel of `kind` implies: the CPU's bit count from
// the popcnt level on, and its bit extract where it has one.
void setRowKernels(KernelKind kind, SimdKernels& kernels) {
  usePortableRowKernels(kernels);
#if defined(__x86_64__)
  if (kind == KernelKind::Generic) return;
  kernels.count_row = countRowPopcnt;
  kernels.count_and = countAndPopcnt;
  if (__builtin_cpu_supports("bmi2")) kernels.extract = extractRowBmi2;
#else
  (void)kind;
#endif
}

// The vector level a kernel of `kind` implies, and the fit that goes with it.
void setVectorLevel(KernelKind kind, SimdKernels& kernels) {
  kernels.vectors = kind == KernelKind::Avx512 ? VectorLevel::Avx512
                    : kind == KernelKind::Avx2 ? VectorLevel::Avx2
                                               : VectorLevel::Portable;
  kernels.fit = fitTileByLane;
#if defined(__x86_64__)
  if (kernels.vectors == VectorLevel::Avx512) kernels.fit = fitTileAvx512;
#endif
}

}  // namespace

bool simdKernelsOf(KernelKind kind, SimdKernels& kernels) {
  const TileKernel count = tileKernel(kind);
  if (count == nullptr) return false;
  kernels.kind = kind;
  kernels.count = count;
  setVectorLevel(kind, kernels);
  setRowKernels(kind, kernels);
  return true;
}

SimdKernels probeSimdKernels() {
  SimdKernels kernels;
  for (KernelKind k : {KernelKind::Avx512, KernelKind::Avx2, KernelKind::Popcnt, KernelKind::Generic}) {
    if (simdKernelsOf(k, kernels)) break;
  }
#if defined(__x86_64__)
  // A CPU with AVX-512 but without its vector popcount counts with the
  // AVX2 kernel and still fits and approximates in 512-bit registers.
  if (kernels.vectors != VectorLevel::Avx512 && __builtin_cpu_supports("avx512f")) {
    kernels.vectors = VectorLevel::Avx512;
    kernels.fit = fitTileAvx512;
  }
#endif
  return kernels;
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
