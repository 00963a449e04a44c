#include "approximations.h"

#include <cmath>
#include <mutex>

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

std::shared_ptr<const FastStatistics::CountTables> FastStatistics::countTables(SubjectCount total_amount) {
  // The latest run's tables; a run has one subject count.
  static std::mutex mutex;
  static std::shared_ptr<const CountTables> latest;
  const std::lock_guard<std::mutex> lock(mutex);
  const std::size_t size = static_cast<std::size_t>(total_amount) + 1;
  if (latest && latest->xlnx.size() == size) return latest;
  auto tables = std::make_shared<CountTables>();
  tables->xlnx.assign(size, 0.0);
  tables->inverse.assign(size, 0.0);
  for (std::size_t x = 1; x < size; ++x) {
    const double value = static_cast<double>(x);
    tables->xlnx[x] = value * std::log(value);
    tables->inverse[x] = 1.0 / value;
  }
  latest = tables;
  return latest;
}

FastStatistics::FastStatistics(const RunParameters& params, SubjectCount total_amount, SubjectCount affected_amount,
                               VectorLevel vectors)
    : params_(params),
      lanes_(laneLoops(vectors)),
      screens_(!(params.epistasis() && params.score())),
      total_(total_amount),
      affected_(affected_amount),
      tables_(countTables(total_amount)),
      xlnx_(tables_->xlnx),
      inverse_(tables_->inverse) {
  const SubjectCount unaffected = static_cast<SubjectCount>(total_amount - affected_amount);
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
      const SubjectCount a = block.affecteds_marginal[s][c];
      const SubjectCount u = static_cast<SubjectCount>(block.totals_marginal[s][c] - a);
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

// The terms every approximation is made of, written once: the lane loops
// below and the one-table forms further down both call them, in the same
// order, so that a table gives the same double in a lane as on its own.

// a ln a + u ln u - n ln n of one cell or level (a cases of n subjects).
inline double xlnxTerm(const double* xlnx, std::int32_t a, std::int32_t n) {
  return xlnx[a] + xlnx[n - a] - xlnx[n];
}

// One cell's share of the association score, before the division by p (1 - p).
// An empty cell has a = 0 and inverse[0] = 0: it adds nothing.
inline double scoreTerm(std::int32_t a, std::int32_t n, double p, const double* inverse) {
  const double excess = static_cast<double>(a) - p * static_cast<double>(n);
  return excess * excess * inverse[n];
}

// One cell's share of the summed KSA predictions.
inline double etaTerm(std::int32_t n, double fa1, double fa2, double fu1, double fu2) {
  return static_cast<double>(n) * (fa1 * fa2 + fu1 * fu2);
}

// The likelihood-ratio association statistic from its two sums.
inline double associationValue(double split, double cells) {
  return 2.0 * (split + cells);
}

// The KSA screen from its sums: with the reduced forms the SNPs' level
// terms k1, k2 and the run's constant, with the full forms the terms of the
// table's margins and of its case/control split.
inline double reducedKsaValue(double cells, double k1, double k2, double constant, double n, double eta) {
  return 2.0 * (cells - k1 - k2 + constant + n * fastLog(eta / n));
}
inline double fullKsaValue(double cells, double margins, double split, double n, double eta) {
  return 2.0 * (cells - margins - split + n * fastLog(eta / n));
}

// The case and control shares of the levels of a table's own margins, the
// second SNP's divided by the table's case and control share.
struct MarginShares {
  double f1a[kLevels], f1u[kLevels], f2a[kLevels], f2u[kLevels];
};

inline void marginShare(std::int32_t a, std::int32_t n, const double* inverse, double scale_a, double scale_u,
                        double& fa, double& fu) {
  // inverse[0] is 0: a level without subjects predicts nothing.
  fa = static_cast<double>(a) * inverse[n] * scale_a;
  fu = static_cast<double>(n - a) * inverse[n] * scale_u;
}

// One cell's terms of the fitted statistic, a ln(a / fitted a) +
// u ln(u / fitted u), added to `sum` one after the other.
inline void addFittedTerms(const double* xlnx, std::int32_t a, std::int32_t u, double fitted_a, double fitted_u,
                           double& sum) {
  if (a != 0) sum += xlnx[a] - static_cast<double>(a) * fastLog(fitted_a);
  if (u != 0) sum += xlnx[u] - static_cast<double>(u) * fastLog(fitted_u);
}

// The loops across the eight pairs of a tile, lanes innermost so that the
// compiler turns each into vector code. They are stamped out once per
// vector level below; every level does each lane's arithmetic in the same
// order, so all give the same doubles.
#define DYADMILL_LANES __attribute__((always_inline)) inline

DYADMILL_LANES void cellTermsLanes(TileCells cases, TileCells totals, const double* xlnx, double* out) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] += xlnxTerm(xlnx, cases[k][lane], totals[k][lane]);
  }
}

DYADMILL_LANES void scoreLanes(TileCells cases, TileCells totals, const double* inverse, const double* share,
                               double* out) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      out[lane] += scoreTerm(cases[k][lane], totals[k][lane], share[lane], inverse);
    }
  }
  for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] /= share[lane] * (1.0 - share[lane]);
}

DYADMILL_LANES void etaLanes(TileCells totals, const double* fa1, const double* fu1, const double* const* fa2,
                             const double* const* fu2, double* out) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    double eta = 0.0;
    for (unsigned c = 0; c < kLevels; ++c) {
      for (unsigned d = 0; d < kLevels; ++d) {
        eta += etaTerm(totals[c * kLevels + d][lane], fa1[c], fa2[d][lane], fu1[c], fu2[d][lane]);
      }
    }
    out[lane] = eta;
  }
}

// Per lane: the table's amounts and, for the interaction screen, the x ln x
// terms of its margins and its summed KSA predictions.
DYADMILL_LANES void fullTermsLanes(TileCells cases, TileCells totals, const double* xlnx, const double* inverse,
                                   bool ksa, std::int32_t* affected, std::int32_t* total, double* margin_terms,
                                   double* eta) {
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
      margin_terms[lane] += xlnxTerm(xlnx, am1[c][lane], tm1[c][lane]);
      margin_terms[lane] += xlnxTerm(xlnx, am2[c][lane], tm2[c][lane]);
    }
  }
  double inverse_case_share[kTileLanes], inverse_control_share[kTileLanes];
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    inverse_case_share[lane] = static_cast<double>(total[lane]) / static_cast<double>(affected[lane]);
    inverse_control_share[lane] = static_cast<double>(total[lane]) / static_cast<double>(total[lane] - affected[lane]);
  }
  double f1a[kLevels][kTileLanes], f1u[kLevels][kTileLanes], f2a[kLevels][kTileLanes], f2u[kLevels][kTileLanes];
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      marginShare(am1[c][lane], tm1[c][lane], inverse, 1.0, 1.0, f1a[c][lane], f1u[c][lane]);
      marginShare(am2[c][lane], tm2[c][lane], inverse, inverse_case_share[lane], inverse_control_share[lane],
                  f2a[c][lane], f2u[c][lane]);
    }
  }
  for (unsigned lane = 0; lane < kTileLanes; ++lane) eta[lane] = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned d = 0; d < kLevels; ++d) {
      for (unsigned lane = 0; lane < kTileLanes; ++lane) {
        eta[lane] += etaTerm(totals[c * kLevels + d][lane], f1a[c][lane], f2a[d][lane], f1u[c][lane], f2u[d][lane]);
      }
    }
  }
}

// TARGET is a function attribute (or nothing), which cannot stand in
// parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define DYADMILL_STAMP_LANES(TARGET, SUFFIX)                                                                  \
  TARGET void cellTerms##SUFFIX(TileCells cases, TileCells totals, const double* xlnx, double* out) {         \
    cellTermsLanes(cases, totals, xlnx, out);                                                                 \
  }                                                                                                           \
  TARGET void score##SUFFIX(TileCells cases, TileCells totals, const double* inverse, const double* share,    \
                            double* out) {                                                                    \
    scoreLanes(cases, totals, inverse, share, out);                                                           \
  }                                                                                                           \
  TARGET void eta##SUFFIX(TileCells totals, const double* fa1, const double* fu1, const double* const* fa2,   \
                          const double* const* fu2, double* out) {                                            \
    etaLanes(totals, fa1, fu1, fa2, fu2, out);                                                                \
  }                                                                                                           \
  TARGET void fullTerms##SUFFIX(TileCells cases, TileCells totals, const double* xlnx, const double* inverse, \
                                bool ksa, std::int32_t* affected, std::int32_t* total, double* margin_terms,  \
                                double* eta) {                                                                \
    fullTermsLanes(cases, totals, xlnx, inverse, ksa, affected, total, margin_terms, eta);                    \
  }

// NOLINTEND(bugprone-macro-parentheses)

DYADMILL_STAMP_LANES(, Portable)
#if defined(__x86_64__) && defined(__GNUC__)
DYADMILL_STAMP_LANES(__attribute__((target("avx2"))), Avx2)
DYADMILL_STAMP_LANES(__attribute__((target("avx512f"))), Avx512)
#endif

}  // namespace

FastStatistics::LaneLoops FastStatistics::laneLoops(VectorLevel vectors) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (vectors == VectorLevel::Avx512) return {cellTermsAvx512, scoreAvx512, etaAvx512, fullTermsAvx512};
  if (vectors == VectorLevel::Avx2) return {cellTermsAvx2, scoreAvx2, etaAvx2, fullTermsAvx2};
#else
  (void)vectors;
#endif
  return {cellTermsPortable, scorePortable, etaPortable, fullTermsPortable};
}

double FastStatistics::ipf(TileCells cases, TileCells totals, const TileFit& fit, unsigned lane) const {
  double sum = 0.0;
  for (unsigned k = 0; k < kCells; ++k) {
    const std::int32_t a = cases[k][lane];
    addFittedTerms(xlnx_.data(), a, totals[k][lane] - a, fit.affected[k][lane], fit.unaffected[k][lane], sum);
  }
  return 2.0 * sum;
}

void FastStatistics::screenTileFull(TileCells cases, TileCells totals, double* out) const {
  std::int32_t affected[kTileLanes], total[kTileLanes];
  double margin_terms[kTileLanes] = {}, eta[kTileLanes] = {};
  const bool ksa = params_.epistasis();
  lanes_.full_terms(cases, totals, xlnx_.data(), inverse_.data(), ksa, affected, total, margin_terms, eta);
  if (!ksa && params_.score()) {
    double shares[kTileLanes];
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      shares[lane] = static_cast<double>(affected[lane]) / static_cast<double>(total[lane]);
    }
    lanes_.score(cases, totals, inverse_.data(), shares, out);
    return;
  }
  double cells[kTileLanes];
  lanes_.cell_terms(cases, totals, xlnx_.data(), cells);
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    const std::int32_t A = affected[lane], N = total[lane];
    const double split = xlnx_[N] - xlnx_[A] - xlnx_[N - A];
    out[lane] = ksa ? fullKsaValue(cells[lane], margin_terms[lane], split, static_cast<double>(N), eta[lane])
                    : associationValue(split, cells[lane]);
  }
}

void FastStatistics::screenTile(TileCells cases, TileCells totals, std::uint64_t i, std::uint64_t j_base,
                                double* out) const {
  if (!params_.epistasis() && params_.score()) {
    double shares[kTileLanes];
    for (unsigned lane = 0; lane < kTileLanes; ++lane) shares[lane] = case_share_;
    lanes_.score(cases, totals, inverse_.data(), shares, out);
    return;
  }
  double cells[kTileLanes];
  lanes_.cell_terms(cases, totals, xlnx_.data(), cells);
  if (!params_.epistasis()) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = associationValue(split_term_, cells[lane]);
    return;
  }
  const SnpTerms& f = first_[i];
  const double* fa2[kLevels];
  const double* fu2[kLevels];
  for (unsigned d = 0; d < kLevels; ++d) {
    fa2[d] = second_cases_[d].data() + j_base;
    fu2[d] = second_controls_[d].data() + j_base;
  }
  double eta[kTileLanes];
  lanes_.eta(totals, f.cases, f.controls, fa2, fu2, eta);
  const double N = static_cast<double>(total_);
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    out[lane] = reducedKsaValue(cells[lane], f.k, second_k_[j_base + lane], ksa_constant_, N, eta[lane]);
  }
}

double FastStatistics::cellTerms(const PairTable& t) const {
  double sum = 0.0;
  for (unsigned k = 0; k < kCells; ++k) sum += xlnxTerm(xlnx_.data(), t.affected_subjects[k], t.total_subjects[k]);
  return sum;
}

double FastStatistics::association(const PairTable& t) const {
  const bool reduced = params_.reducedForms();
  const std::int32_t N = reduced ? total_ : t.total_subjects_amount;
  const std::int32_t A = reduced ? affected_ : t.affected_subjects_amount;
  if (!params_.score()) {
    const double split = reduced ? split_term_ : xlnx_[N] - xlnx_[A] - xlnx_[N - A];
    return associationValue(split, cellTerms(t));
  }
  const double p = reduced ? case_share_ : static_cast<double>(A) / static_cast<double>(N);
  double sum = 0.0;
  for (unsigned k = 0; k < kCells; ++k)
    sum += scoreTerm(t.affected_subjects[k], t.total_subjects[k], p, inverse_.data());
  return sum / (p * (1.0 - p));
}

// The fit of the model without three-way interaction starts from a flat
// table and scales it in turn to the cell totals, to SNP 1's trait margin
// and to SNP 2's. After the first two steps it is exactly the maximum-
// likelihood fit of the smaller model that keeps the cell totals and SNP 1's
// trait margin: n_cd * a_c / n_c cases in cell (c, d). Each later scaling
// is the likelihood's maximum over that margin's factors, so the likelihood
// never falls, every step keeps the fitted total at N, and the statistic
// 2 sum o ln(o / fit) = 2 (sum o ln o - loglik) can only fall below the
// smaller model's:
//   2 [sum_cells (a ln a + u ln u - n ln n) - sum_c (a_c ln a_c + u_c ln u_c - n_c ln n_c)]
// with a_c, u_c, n_c summed over the cells of row c of the table (after the
// cell rule, so the margins the fit is given). This holds for any number of
// sweeps, and for empty cells and levels, which both models leave at 0.
double FastStatistics::fittedBound(const PairTable& t) const {
  double rows = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    std::int32_t a = 0, n = 0;
    for (unsigned d = 0; d < kLevels; ++d) {
      a += t.affected_subjects[c * kLevels + d];
      n += t.total_subjects[c * kLevels + d];
    }
    rows += xlnxTerm(xlnx_.data(), a, n);
  }
  return 2.0 * (cellTerms(t) - rows);
}

double FastStatistics::levelTerms(const LevelCounts& cases, const LevelCounts& totals) const {
  double rows = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) rows += xlnxTerm(xlnx_.data(), cases[c], totals[c]);
  return rows;
}

void FastStatistics::fittedBoundTile(TileCells cases, TileCells totals, const double* first_snp_terms,
                                     double* out) const {
  double cells[kTileLanes];
  lanes_.cell_terms(cases, totals, xlnx_.data(), cells);
  if (first_snp_terms != nullptr) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) out[lane] = 2.0 * (cells[lane] - *first_snp_terms);
    return;
  }
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    double rows = 0.0;
    for (unsigned c = 0; c < kLevels; ++c) {
      std::int32_t a = 0, n = 0;
      for (unsigned d = 0; d < kLevels; ++d) {
        a += cases[c * kLevels + d][lane];
        n += totals[c * kLevels + d][lane];
      }
      rows += xlnxTerm(xlnx_.data(), a, n);
    }
    out[lane] = 2.0 * (cells[lane] - rows);
  }
}

double FastStatistics::reducedKsa(const PairTable& t, std::uint64_t i, std::uint64_t j) const {
  const SnpTerms& f = first_[i];
  const SnpTerms& s = second_[j];
  double eta = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned d = 0; d < kLevels; ++d) {
      eta += etaTerm(t.total_subjects[c * kLevels + d], f.cases[c], s.cases[d], f.controls[c], s.controls[d]);
    }
  }
  return reducedKsaValue(cellTerms(t), f.k, s.k, ksa_constant_, static_cast<double>(total_), eta);
}

double FastStatistics::fullKsa(const PairTable& t) const {
  const std::int32_t N = t.total_subjects_amount;
  const std::int32_t A = t.affected_subjects_amount;
  const double* inverse = inverse_.data();
  const double inverse_case_share = static_cast<double>(N) / static_cast<double>(A);
  const double inverse_control_share = static_cast<double>(N) / static_cast<double>(N - A);
  double margins = 0.0;
  double f1a[kLevels], f1u[kLevels], f2a[kLevels], f2u[kLevels];
  for (unsigned c = 0; c < kLevels; ++c) {
    const std::int32_t a1 = t.affected_subjects_marg1[c], n1 = t.total_subjects_marg1[c];
    const std::int32_t a2 = t.affected_subjects_marg2[c], n2 = t.total_subjects_marg2[c];
    margins += xlnxTerm(xlnx_.data(), a1, n1);
    margins += xlnxTerm(xlnx_.data(), a2, n2);
    marginShare(a1, n1, inverse, 1.0, 1.0, f1a[c], f1u[c]);
    marginShare(a2, n2, inverse, inverse_case_share, inverse_control_share, f2a[c], f2u[c]);
  }
  double eta = 0.0;
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned d = 0; d < kLevels; ++d)
      eta += etaTerm(t.total_subjects[c * kLevels + d], f1a[c], f2a[d], f1u[c], f2u[d]);
  }
  const double split = xlnx_[N] - xlnx_[A] - xlnx_[N - A];
  return fullKsaValue(cellTerms(t), margins, split, static_cast<double>(N), eta);
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
    const std::int32_t a = t.affected_subjects[k];
    addFittedTerms(xlnx_.data(), a, t.total_subjects[k] - a, fit.affected_fitted[k], fit.unaffected_fitted[k], sum);
  }
  return 2.0 * sum;
}

}  // namespace dyadmill
