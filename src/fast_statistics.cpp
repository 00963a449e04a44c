#include "fast_statistics.h"

#include <array>
#include <bit>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "BinaryTestStat.h"

namespace dyadmill {

LogTable::LogTable() {
  for (unsigned b = 0; b < 256; ++b) {
    const double center = 1.0 + (b + 0.5) / 256.0;
    log_center[b] = std::log(center);
    inverse_center[b] = 1.0 / center;
  }
}

const LogTable kLogTable;

FastStatistics::FastStatistics(const RunParameters& params, std::uint16_t total_amount, std::uint16_t affected_amount)
    : params_(params),
      screens_(!(params.epistasis() && params.score())),
      total_(total_amount),
      affected_(affected_amount),
      xlnx_(static_cast<std::size_t>(total_amount) + 1, 0.0),
      inverse_(static_cast<std::size_t>(total_amount) + 1, 0.0) {
  for (std::size_t x = 1; x < xlnx_.size(); ++x) {
    const double value = static_cast<double>(x);
    xlnx_[x] = value * std::log(value);
    inverse_[x] = 1.0 / value;
  }
  const std::uint16_t unaffected = static_cast<std::uint16_t>(total_amount - affected_amount);
  // Likelihood-ratio forms subtract terms as large as N ln N; the score form
  // sums non-negative terms whose rounding scales with N.
  scale_ = params.score() && !params.epistasis() ? static_cast<double>(total_amount) + 1.0
                                                 : 2.0 * (xlnx_[total_amount] + 1.0);
  split_term_ = BinaryTestStat::caseControlLogLikelihood(total_amount, affected_amount);
  case_share_ = static_cast<double>(affected_amount) / static_cast<double>(total_amount);
  control_share_ = 1.0 - case_share_;
  ksa_constant_ = static_cast<double>(affected_amount) * std::log(case_share_) +
                  static_cast<double>(unaffected) * std::log(control_share_);
}

double FastStatistics::tolerance(double value) const {
  return 1e-9 * (std::fabs(value) + scale_);
}

void FastStatistics::snpTerms(const SplitBlock& block, bool second, std::vector<SnpTerms>& terms) const {
  terms.resize(block.snp_amount);
  for (std::uint64_t s = 0; s < block.snp_amount; ++s) {
    SnpTerms& t = terms[s];
    t.k = 0.0;
    for (unsigned c = 0; c < kLevels; ++c) {
      const double fa = block.affecteds_marginal_fractions[s][c];
      const double fu = block.unaffecteds_marginal_fractions[s][c];
      const std::uint16_t a = block.affecteds_marginal[s][c];
      const std::uint16_t u = static_cast<std::uint16_t>(block.totals_marginal[s][c] - a);
      // A level's share is 0 only when its count is 0: its term is 0.
      if (a != 0) t.k += static_cast<double>(a) * std::log(fa);
      if (u != 0) t.k += static_cast<double>(u) * std::log(fu);
      t.cases[c] = second ? fa / case_share_ : fa;
      t.controls[c] = second ? fu / control_share_ : fu;
    }
  }
}

void FastStatistics::prepareBlocks(const BlockWorkingSet& set) {
  if (!params_.epistasis() || params_.score() || !params_.reducedForms()) return;
  snpTerms(set.block1, false, first_);
  snpTerms(set.block2(), true, second_);
  const std::size_t padded = (second_.size() + kTileLanes - 1) / kTileLanes * kTileLanes;
  second_k_.assign(padded, 0.0);
  for (unsigned d = 0; d < kLevels; ++d) {
    second_cases_[d].assign(padded, 0.0);
    second_controls_[d].assign(padded, 0.0);
  }
  for (std::size_t j = 0; j < second_.size(); ++j) {
    second_k_[j] = second_[j].k;
    for (unsigned d = 0; d < kLevels; ++d) {
      second_cases_[d][j] = second_[j].cases[d];
      second_controls_[d][j] = second_[j].controls[d];
    }
  }
}

namespace {

using TileCells = const std::int32_t (*)[kTileLanes];

// The loops below run across the eight pairs of a tile so that the
// compiler can turn each into vector code; every lane does exactly the
// arithmetic of the one-pair forms, in the same order.
#if defined(__x86_64__) && defined(__GNUC__)
#define DYADMILL_TILE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define DYADMILL_TILE_CLONES
#endif

DYADMILL_TILE_CLONES
void cellTermsTile(TileCells cases, TileCells totals, const double* xlnx, double* out) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      const std::int32_t a = cases[k][lane];
      const std::int32_t n = totals[k][lane];
      out[lane] += xlnx[a] + xlnx[n - a] - xlnx[n];
    }
  }
}

DYADMILL_TILE_CLONES
void scoreTile(TileCells cases, TileCells totals, const double* inverse, double p, double* out) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      // An empty cell has a = 0 and inverse[0] = 0: it adds nothing.
      const double excess = static_cast<double>(cases[k][lane]) - p * static_cast<double>(totals[k][lane]);
      out[lane] += excess * excess * inverse[totals[k][lane]];
    }
  }
  for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] /= p * p;
}

DYADMILL_TILE_CLONES
void etaTile(TileCells totals, const double* fa1, const double* fu1, const double* const* fa2, const double* const* fu2,
             double* out) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    double eta = 0.0;
    for (unsigned c = 0; c < kLevels; ++c) {
      for (unsigned d = 0; d < kLevels; ++d) {
        eta += static_cast<double>(totals[c * kLevels + d][lane]) * (fa1[c] * fa2[d][lane] + fu1[c] * fu2[d][lane]);
      }
    }
    out[lane] = eta;
  }
}

// Per lane: the table's amounts and, for the interaction screen, the x ln x
// terms of its margins and its summed KSA predictions. Every loop runs over
// the lanes innermost, for the vectoriser.
DYADMILL_TILE_CLONES
void fullTermsTile(TileCells cases, TileCells totals, const double* xlnx, const double* inverse, bool ksa,
                   std::int32_t* affected, std::int32_t* total, double* margin_terms, double* eta) {
  std::int32_t am1[kLevels][kTileLanes] = {}, tm1[kLevels][kTileLanes] = {};
  std::int32_t am2[kLevels][kTileLanes] = {}, tm2[kLevels][kTileLanes] = {};
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned d = 0; d < kLevels; ++d) {
      for (unsigned lane = 0; lane < kTileLanes; ++lane) {
        am1[c][lane] += cases[c * kLevels + d][lane];
        tm1[c][lane] += totals[c * kLevels + d][lane];
        am2[d][lane] += cases[c * kLevels + d][lane];
        tm2[d][lane] += totals[c * kLevels + d][lane];
      }
    }
  }
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    affected[lane] = am1[0][lane] + am1[1][lane] + am1[2][lane];
    total[lane] = tm1[0][lane] + tm1[1][lane] + tm1[2][lane];
  }
  if (!ksa) return;
  for (unsigned lane = 0; lane < kTileLanes; ++lane) margin_terms[lane] = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      margin_terms[lane] += xlnx[am1[c][lane]] + xlnx[tm1[c][lane] - am1[c][lane]] - xlnx[tm1[c][lane]];
      margin_terms[lane] += xlnx[am2[c][lane]] + xlnx[tm2[c][lane] - am2[c][lane]] - xlnx[tm2[c][lane]];
    }
  }
  double inverse_case_share[kTileLanes], inverse_control_share[kTileLanes];
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    inverse_case_share[lane] = static_cast<double>(total[lane]) / static_cast<double>(affected[lane]);
    inverse_control_share[lane] = static_cast<double>(total[lane]) / static_cast<double>(total[lane] - affected[lane]);
  }
  // inverse[0] is 0: a level without subjects predicts nothing.
  double f1a[kLevels][kTileLanes], f1u[kLevels][kTileLanes], f2a[kLevels][kTileLanes], f2u[kLevels][kTileLanes];
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      f1a[c][lane] = static_cast<double>(am1[c][lane]) * inverse[tm1[c][lane]];
      f1u[c][lane] = static_cast<double>(tm1[c][lane] - am1[c][lane]) * inverse[tm1[c][lane]];
      f2a[c][lane] = static_cast<double>(am2[c][lane]) * inverse[tm2[c][lane]] * inverse_case_share[lane];
      f2u[c][lane] =
          static_cast<double>(tm2[c][lane] - am2[c][lane]) * inverse[tm2[c][lane]] * inverse_control_share[lane];
    }
  }
  for (unsigned lane = 0; lane < kTileLanes; ++lane) eta[lane] = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned d = 0; d < kLevels; ++d) {
      for (unsigned lane = 0; lane < kTileLanes; ++lane) {
        eta[lane] += static_cast<double>(totals[c * kLevels + d][lane]) *
                     (f1a[c][lane] * f2a[d][lane] + f1u[c][lane] * f2u[d][lane]);
      }
    }
  }
}

}  // namespace

namespace {

// One table at a time: the lane's fit is exactly fitNoThreeWayInteraction's.
void fitTileByLane(TileCells totals, TileCells affected1, TileCells total1, TileCells affected2, TileCells total2,
                   TileFit& fit) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    std::uint16_t cells[kCells], a1[kLevels], t1[kLevels], a2[kLevels], t2[kLevels];
    for (unsigned k = 0; k < kCells; ++k) cells[k] = static_cast<std::uint16_t>(totals[k][lane]);
    for (unsigned c = 0; c < kLevels; ++c) {
      a1[c] = static_cast<std::uint16_t>(affected1[c][lane]);
      t1[c] = static_cast<std::uint16_t>(total1[c][lane]);
      a2[c] = static_cast<std::uint16_t>(affected2[c][lane]);
      t2[c] = static_cast<std::uint16_t>(total2[c][lane]);
    }
    const IpfFit one = fitNoThreeWayInteraction({}, cells, a1, a2, t1, t2, kLevels, kLevels);
    for (unsigned k = 0; k < kCells; ++k) {
      fit.affected[k][lane] = one.affected_fitted[k];
      fit.unaffected[k][lane] = one.unaffected_fitted[k];
    }
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
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
#endif

}  // namespace

void fitTile(TileCells totals, TileCells affected1, TileCells total1, TileCells affected2, TileCells total2,
             TileFit& fit) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  if (avx512) {
    fitTileAvx512(totals, affected1, total1, affected2, total2, fit);
    return;
  }
#endif
  fitTileByLane(totals, affected1, total1, affected2, total2, fit);
}

double FastStatistics::ipf(TileCells cases, TileCells totals, const TileFit& fit, unsigned lane) const {
  double sum = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    const std::int32_t a = cases[k][lane];
    const std::int32_t u = totals[k][lane] - a;
    if (a != 0) sum += xlnx_[a] - static_cast<double>(a) * fastLog(fit.affected[k][lane]);
    if (u != 0) sum += xlnx_[u] - static_cast<double>(u) * fastLog(fit.unaffected[k][lane]);
  }
  return 2.0 * sum;
}

void FastStatistics::screenTileFull(TileCells cases, TileCells totals, double* out) const {
  std::int32_t affected[kTileLanes], total[kTileLanes];
  double margin_terms[kTileLanes] = {}, eta[kTileLanes] = {};
  const bool ksa = params_.epistasis();
  fullTermsTile(cases, totals, xlnx_.data(), inverse_.data(), ksa, affected, total, margin_terms, eta);
  if (!params_.epistasis() && params_.score()) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      const double p = static_cast<double>(affected[lane]) / static_cast<double>(total[lane]);
      double sum = 0.0;
      for (unsigned k = 0; k < kCells; ++k) {
        const double excess = static_cast<double>(cases[k][lane]) - p * static_cast<double>(totals[k][lane]);
        sum += excess * excess * inverse_[totals[k][lane]];
      }
      out[lane] = sum / (p * p);
    }
    return;
  }
  double cells[kTileLanes];
  cellTermsTile(cases, totals, xlnx_.data(), cells);
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    const std::int32_t A = affected[lane], N = total[lane];
    const double split = xlnx_[N] - xlnx_[A] - xlnx_[N - A];
    if (!ksa) {
      out[lane] = 2.0 * (split + cells[lane]);
    } else {
      const double n = static_cast<double>(N);
      out[lane] = 2.0 * (cells[lane] - margin_terms[lane] - split + n * fastLog(eta[lane] / n));
    }
  }
}

void FastStatistics::screenTile(TileCells cases, TileCells totals, std::uint64_t i, std::uint64_t j_base,
                                double* out) const {
  double cells[kTileLanes];
  if (!params_.epistasis()) {
    if (params_.score()) {
      scoreTile(cases, totals, inverse_.data(), case_share_, out);
      return;
    }
    cellTermsTile(cases, totals, xlnx_.data(), cells);
    for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = 2.0 * (split_term_ + cells[lane]);
    return;
  }
  cellTermsTile(cases, totals, xlnx_.data(), cells);
  const SnpTerms& f = first_[i];
  const double* fa2[kLevels];
  const double* fu2[kLevels];
  for (unsigned d = 0; d < kLevels; ++d) {
    fa2[d] = second_cases_[d].data() + j_base;
    fu2[d] = second_controls_[d].data() + j_base;
  }
  double eta[kTileLanes];
  etaTile(totals, f.cases, f.controls, fa2, fu2, eta);
  const double N = static_cast<double>(total_);
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    out[lane] = 2.0 * (cells[lane] - f.k - second_k_[j_base + lane] + ksa_constant_ + N * fastLog(eta[lane] / N));
  }
}

double FastStatistics::cellTerms(const PairTable& t) const {
  double sum = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    const std::uint16_t a = t.affected_subjects[k];
    const std::uint16_t n = t.total_subjects[k];
    sum += xlnx_[a] + xlnx_[static_cast<std::uint16_t>(n - a)] - xlnx_[n];
  }
  return sum;
}

double FastStatistics::association(const PairTable& t) const {
  const bool reduced = params_.reducedForms();
  const std::uint16_t N = reduced ? total_ : t.total_subjects_amount;
  const std::uint16_t A = reduced ? affected_ : t.affected_subjects_amount;
  if (!params_.score()) {
    const double split = reduced ? split_term_ : xlnx_[N] - xlnx_[A] - xlnx_[static_cast<std::uint16_t>(N - A)];
    return 2.0 * (split + cellTerms(t));
  }
  const double p = reduced ? case_share_ : static_cast<double>(A) / static_cast<double>(N);
  double sum = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    const std::uint16_t n = t.total_subjects[k];
    if (n == 0) continue;
    const double excess = static_cast<double>(t.affected_subjects[k]) - p * static_cast<double>(n);
    sum += excess * excess * inverse_[n];
  }
  return sum / (p * p);
}

double FastStatistics::reducedKsa(const PairTable& t, std::uint64_t i, std::uint64_t j) const {
  const SnpTerms& f = first_[i];
  const SnpTerms& s = second_[j];
  double eta = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned d = 0; d < kLevels; ++d) {
      eta += static_cast<double>(t.total_subjects[c * kLevels + d]) *
             (f.cases[c] * s.cases[d] + f.controls[c] * s.controls[d]);
    }
  }
  const double N = static_cast<double>(total_);
  return 2.0 * (cellTerms(t) - f.k - s.k + ksa_constant_ + N * fastLog(eta / N));
}

double FastStatistics::fullKsa(const PairTable& t) const {
  const std::uint16_t N = t.total_subjects_amount;
  const std::uint16_t A = t.affected_subjects_amount;
  const std::uint16_t U = static_cast<std::uint16_t>(N - A);
  double margins = 0.0;
  double f1a[kLevels], f1u[kLevels], f2a[kLevels], f2u[kLevels];
  const double case_share = static_cast<double>(A) / static_cast<double>(N);
  const double control_share = 1.0 - case_share;
  for (unsigned c = 0; c < kLevels; ++c) {
    const std::uint16_t a1 = t.affected_subjects_marg1[c], n1 = t.total_subjects_marg1[c];
    const std::uint16_t a2 = t.affected_subjects_marg2[c], n2 = t.total_subjects_marg2[c];
    margins += xlnx_[a1] + xlnx_[static_cast<std::uint16_t>(n1 - a1)] - xlnx_[n1];
    margins += xlnx_[a2] + xlnx_[static_cast<std::uint16_t>(n2 - a2)] - xlnx_[n2];
    f1a[c] = n1 != 0 ? static_cast<double>(a1) * inverse_[n1] : 0.0;
    f1u[c] = n1 != 0 ? 1.0 - f1a[c] : 0.0;
    f2a[c] = n2 != 0 ? static_cast<double>(a2) * inverse_[n2] / case_share : 0.0;
    f2u[c] = n2 != 0 ? (1.0 - static_cast<double>(a2) * inverse_[n2]) / control_share : 0.0;
  }
  double eta = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned d = 0; d < kLevels; ++d) {
      eta += static_cast<double>(t.total_subjects[c * kLevels + d]) * (f1a[c] * f2a[d] + f1u[c] * f2u[d]);
    }
  }
  const double n = static_cast<double>(N);
  return 2.0 * (cellTerms(t) - margins + xlnx_[A] + xlnx_[U] - xlnx_[N] + n * fastLog(eta / n));
}

double FastStatistics::screen(const PairTable& t, std::uint64_t i, std::uint64_t j) const {
  if (!params_.epistasis()) return association(t);
  return params_.reducedForms() ? reducedKsa(t, i, j) : fullKsa(t);
}

double FastStatistics::ipf(const PairTable& t, const BlockWorkingSet& set, std::uint64_t i, std::uint64_t j) const {
  const Counts affected(t.affected_subjects);
  const Counts totals(t.total_subjects);
  IpfFit fit;
  if (params_.reducedForms()) {
    fit =
        fitNoThreeWayInteraction(affected, totals, set.block1.affecteds_marginal[i], set.block2().affecteds_marginal[j],
                                 set.block1.totals_marginal[i], set.block2().totals_marginal[j], kLevels, kLevels);
  } else {
    fit = fitNoThreeWayInteraction(affected, totals, t.affected_subjects_marg1, t.affected_subjects_marg2,
                                   t.total_subjects_marg1, t.total_subjects_marg2, kLevels, kLevels);
  }
  double sum = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    const std::uint16_t a = t.affected_subjects[k];
    const std::uint16_t u = static_cast<std::uint16_t>(t.total_subjects[k] - a);
    if (a != 0) sum += xlnx_[a] - static_cast<double>(a) * fastLog(fit.affected_fitted[k]);
    if (u != 0) sum += xlnx_[u] - static_cast<double>(u) * fastLog(fit.unaffected_fitted[k]);
  }
  return 2.0 * sum;
}

}  // namespace dyadmill
