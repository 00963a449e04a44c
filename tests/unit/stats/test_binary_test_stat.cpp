#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "BinaryTestStat.h"
#include "run_parameters.h"

namespace dyadmill {
namespace {

// A two-locus table with its margins, cell k = i * dim2 + j.
struct Table {
  std::uint16_t dim1 = 3, dim2 = 3;
  std::array<std::uint16_t, 9> a{}, n{};
  std::array<std::uint16_t, 9> am1{}, nm1{}, am2{}, nm2{};  // room for 1 x 9 tables
  std::uint16_t A = 0, N = 0;
  std::uint16_t cells() const { return static_cast<std::uint16_t>(dim1 * dim2); }
};

Table makeTable(std::uint16_t dim1, std::uint16_t dim2, const std::vector<int>& cases,
                const std::vector<int>& controls) {
  Table t;
  t.dim1 = dim1;
  t.dim2 = dim2;
  for (int k = 0; k < dim1 * dim2; ++k) {
    const auto a = static_cast<std::uint16_t>(cases[k]);
    const auto n = static_cast<std::uint16_t>(cases[k] + controls[k]);
    t.a[k] = a;
    t.n[k] = n;
    t.am1[k / dim2] += a;
    t.nm1[k / dim2] += n;
    t.am2[k % dim2] += a;
    t.nm2[k % dim2] += n;
    t.A += a;
    t.N += n;
  }
  return t;
}

// Random 3 x 3 tables with both traits present; about one count in six is 0
// so that the zero-count rules are exercised too.
Table randomTable(std::mt19937& rng) {
  std::uniform_int_distribution<int> count(0, 40);
  std::uniform_int_distribution<int> zero(0, 5);
  std::vector<int> cases(9), controls(9);
  for (int k = 0; k < 9; ++k) {
    cases[k] = zero(rng) == 0 ? 0 : count(rng);
    controls[k] = zero(rng) == 0 ? 0 : count(rng);
  }
  cases[0] += 1;
  controls[8] += 1;
  return makeTable(3, 3, cases, controls);
}

// Reference statistics of the 2 x cells table (cases row, controls row) with
// expected counts from row and column totals.
double gStatistic(const Table& t) {
  const double N = t.N, A = t.A, U = t.N - t.A;
  double g = 0;
  for (int k = 0; k < t.cells(); ++k) {
    const double observed[2] = {double(t.a[k]), double(t.n[k] - t.a[k])};
    const double expected[2] = {t.n[k] * A / N, t.n[k] * U / N};
    for (int r = 0; r < 2; ++r) {
      if (observed[r] > 0) g += observed[r] * std::log(observed[r] / expected[r]);
    }
  }
  return 2 * g;
}

double pearsonChiSquare(const Table& t) {
  const double N = t.N, A = t.A, U = t.N - t.A;
  double x2 = 0;
  for (int k = 0; k < t.cells(); ++k) {
    if (t.n[k] == 0) continue;
    const double ea = t.n[k] * A / N, eu = t.n[k] * U / N;
    x2 += (t.a[k] - ea) * (t.a[k] - ea) / ea + (t.n[k] - t.a[k] - eu) * (t.n[k] - t.a[k] - eu) / eu;
  }
  return x2;
}

double association(const BinaryTestStat& s, const Table& t) {
  return s.computeBinary2DAssociationTestStat(t.a, t.n, t.A, t.N, t.cells());
}
double ksa(const BinaryTestStat& s, const Table& t) {
  return s.computeBinary2DEpistasisKSATestStat(t.a, t.n, t.am1, t.am2, t.nm1, t.nm2, t.A, t.N, t.dim1, t.dim2);
}
double ipf(const BinaryTestStat& s, const Table& t, std::uint16_t A, std::uint16_t N) {
  return s.computeBinary2DEpistasisIPFTestStat(t.a, t.n, t.am1, t.am2, t.nm1, t.nm2, A, N, t.dim1, t.dim2);
}
double ipf(const BinaryTestStat& s, const Table& t) {
  return ipf(s, t, t.A, t.N);
}
IpfFit fit(const Table& t) {
  return fitNoThreeWayInteraction(t.a, t.n, t.am1, t.am2, t.nm1, t.nm2, t.dim1, t.dim2);
}

double relTol(double x) {
  return 1e-10 * std::max(1.0, std::fabs(x));
}

TEST(BinaryTestStatAssociation, MatchesGAndPearsonStatisticsOfTheTwoRowTable) {
  RunParameters params;
  const BinaryTestStat stat(params);
  std::mt19937 rng(20240611);
  for (int r = 0; r < 20; ++r) {
    const Table t = randomTable(rng);
    params.testTypeOption = 0;
    EXPECT_NEAR(association(stat, t), gStatistic(t), relTol(gStatistic(t)));
    // The score statistic is Pearson's chi-square at any case fraction, in
    // its full form and in its reduced form given the table's own fraction.
    params.testTypeOption = 1;
    EXPECT_NEAR(association(stat, t), pearsonChiSquare(t), relTol(pearsonChiSquare(t)));
    const double reduced = stat.computeBinary2DAssociationReducedTestStat(t.a, t.n, double(t.A) / t.N, t.cells());
    EXPECT_NEAR(reduced, pearsonChiSquare(t), relTol(pearsonChiSquare(t)));
  }
  // Strongly unbalanced fractions (1 case in 10, 9 in 10), where a divisor
  // of p^2 or (1 - p)^2 would be off by a factor of 9.
  for (const auto& [cases, controls] :
       {std::pair<std::vector<int>, std::vector<int>>{{1, 0, 2, 0, 3, 1, 0, 1, 2}, {9, 12, 8, 15, 20, 7, 11, 10, 8}},
        std::pair<std::vector<int>, std::vector<int>>{{9, 12, 8, 15, 20, 7, 11, 10, 8}, {1, 0, 2, 0, 3, 1, 0, 1, 2}}}) {
    const Table t = makeTable(3, 3, cases, controls);
    EXPECT_NEAR(association(stat, t), pearsonChiSquare(t), relTol(pearsonChiSquare(t)));
  }
  // A hand-checked 2 x 2 table: cases (10, 20), controls (30, 40), N = 100:
  // expected cases 12 and 18, controls 28 and 42, so
  // X^2 = 4/12 + 4/18 + 4/28 + 4/42 = 0.79365079...
  const Table small = makeTable(1, 2, {10, 20}, {30, 40});
  EXPECT_NEAR(association(stat, small), 4.0 / 12 + 4.0 / 18 + 4.0 / 28 + 4.0 / 42, 1e-12);
  // Every cell at the table's case fraction: no association in either form.
  const Table flat = makeTable(2, 3, {1, 2, 3, 4, 5, 6}, {3, 6, 9, 12, 15, 18});
  EXPECT_NEAR(association(stat, flat), 0.0, 1e-12);
  params.testTypeOption = 0;
  EXPECT_NEAR(association(stat, flat), 0.0, 1e-10);
}

TEST(BinaryTestStat, TestTypeIsReadOnEveryCall) {
  RunParameters params;
  const BinaryTestStat stat(params);
  const Table t = makeTable(3, 3, {12, 3, 8, 5, 20, 2, 7, 1, 9}, {4, 10, 6, 9, 3, 11, 5, 8, 2});
  for (const int type : {1, 0, 2, 0, -1}) {
    params.testTypeOption = type;
    if (type != 0) {
      EXPECT_NEAR(association(stat, t), pearsonChiSquare(t), 1e-9) << type;
    } else {
      EXPECT_NEAR(association(stat, t), gStatistic(t), 1e-9);
    }
  }
  params.testTypeOption = 1;
  const double pearson = ipf(stat, t);
  params.testTypeOption = 0;
  const double likelihood = ipf(stat, t);
  EXPECT_GT(std::fabs(pearson - likelihood), 1e-3);
  params.testTypeOption = 7;
  EXPECT_EQ(ipf(stat, t), pearson);
}

TEST(BinaryTestStat, FullAndReducedFormsAgreeBitForBit) {
  RunParameters params;
  const BinaryTestStat stat(params);
  std::mt19937 rng(7);
  std::vector<Table> tables;
  for (int r = 0; r < 40; ++r) tables.push_back(randomTable(rng));
  // A level without subjects, where the fractions stay 0.
  tables.push_back(makeTable(3, 3, {4, 0, 2, 0, 0, 0, 5, 3, 1}, {1, 6, 2, 0, 0, 0, 2, 7, 3}));
  for (const Table& t : tables) {
    params.testTypeOption = 1;
    EXPECT_EQ(association(stat, t),
              stat.computeBinary2DAssociationReducedTestStat(t.a, t.n, double(t.A) / double(t.N), t.cells()));
    params.testTypeOption = 0;
    EXPECT_EQ(association(stat, t), stat.computeBinary2DAssociationReducedTestStat(
                                        t.a, t.n, BinaryTestStat::caseControlLogLikelihood(t.N, t.A), t.cells()));

    std::array<double, 3> af1{}, uf1{}, af2{}, uf2{};
    for (int i = 0; i < 3; ++i) {
      if (t.nm1[i] > 0) af1[i] = double(t.am1[i]) / double(t.nm1[i]), uf1[i] = 1 - af1[i];
      if (t.nm2[i] > 0) af2[i] = double(t.am2[i]) / double(t.nm2[i]), uf2[i] = 1 - af2[i];
    }
    const double fraction = double(t.A) / double(t.N);
    const double reduced = stat.computeBinary2DEpistasisKSAreducedTestStat(t.a, t.n, af1, af2, uf1, uf2, t.N, fraction,
                                                                           1 - fraction, 3, 3);
    EXPECT_EQ(ksa(stat, t), reduced);
    EXPECT_TRUE(std::isfinite(reduced));
  }
}

TEST(BinaryTestStat, EmptyCellsAndEmptyLevelsAddNothing) {
  RunParameters params;
  const BinaryTestStat stat(params);
  // Zero cases or zero controls in some cells; then the same cells with an
  // empty cell inserted in the middle.
  const std::vector<int> cases = {6, 0, 3, 8, 0, 2, 5, 9};
  const std::vector<int> controls = {2, 7, 0, 4, 5, 6, 0, 3};
  const Table packed = makeTable(1, 8, cases, controls);
  std::vector<int> cases9 = cases, controls9 = controls;
  cases9.insert(cases9.begin() + 4, 0);
  controls9.insert(controls9.begin() + 4, 0);
  const Table spread = makeTable(1, 9, cases9, controls9);
  for (const int type : {0, 1}) {
    params.testTypeOption = type;
    EXPECT_EQ(association(stat, packed), association(stat, spread));
  }
  params.testTypeOption = 0;
  EXPECT_NEAR(association(stat, packed), gStatistic(packed), relTol(gStatistic(packed)));

  // An empty level of SNP 1 predicts and fits nothing: the 3 x 3 table
  // behaves exactly like its first two rows.
  const Table two = makeTable(2, 3, {7, 2, 5, 1, 9, 4}, {3, 8, 2, 6, 1, 5});
  const Table three = makeTable(3, 3, {7, 2, 5, 1, 9, 4, 0, 0, 0}, {3, 8, 2, 6, 1, 5, 0, 0, 0});
  EXPECT_EQ(ksa(stat, two), ksa(stat, three));
  EXPECT_EQ(fit(two).iterations, fit(three).iterations);
  for (const int type : {0, 1}) {
    params.testTypeOption = type;
    EXPECT_EQ(ipf(stat, two), ipf(stat, three));
    EXPECT_GT(ipf(stat, two), 0.0);
  }
}

TEST(BinaryTestStat, NoCasesOrNoControlsGiveNotANumber) {
  RunParameters params;
  const BinaryTestStat stat(params);
  const Table noCases = makeTable(3, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0}, {3, 1, 4, 1, 5, 9, 2, 6, 5});
  const Table noControls = makeTable(3, 3, {3, 1, 4, 1, 5, 9, 2, 6, 5}, {0, 0, 0, 0, 0, 0, 0, 0, 0});
  params.testTypeOption = 0;
  EXPECT_TRUE(std::isnan(association(stat, noCases)));
  EXPECT_TRUE(std::isnan(association(stat, noControls)));
  EXPECT_TRUE(std::isnan(ksa(stat, noCases)));
  EXPECT_TRUE(std::isnan(ksa(stat, noControls)));
  // The score statistic divides by p (1 - p): 0 / 0 at p = 0 and at p = 1,
  // in the full and the reduced form alike.
  params.testTypeOption = 1;
  EXPECT_TRUE(std::isnan(association(stat, noCases)));
  EXPECT_TRUE(std::isnan(association(stat, noControls)));
  EXPECT_TRUE(std::isnan(stat.computeBinary2DAssociationReducedTestStat(noCases.a, noCases.n, 0.0, 9)));
  EXPECT_TRUE(std::isnan(stat.computeBinary2DAssociationReducedTestStat(noControls.a, noControls.n, 1.0, 9)));
}

TEST(BinaryTestStatKsa, TableEqualToScaledPredictionsGivesZero) {
  RunParameters params;
  const BinaryTestStat stat(params);
  // SNPs independent (n_ij = 4 r_i s_j) and case fraction 1/4, 1/2, 3/4 by
  // SNP 1 level only: every prediction equals its count and eta = N.
  std::vector<int> cases(9), controls(9);
  const int r[3] = {2, 1, 3}, s[3] = {1, 2, 3}, quarters[3] = {1, 2, 3};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      cases[i * 3 + j] = r[i] * s[j] * quarters[i];
      controls[i * 3 + j] = r[i] * s[j] * (4 - quarters[i]);
    }
  }
  // Rounding in the products and logarithms is about 1e-16 relative, on
  // terms of at most N ln N ~ 500; 1e-9 leaves ample room.
  EXPECT_NEAR(ksa(stat, makeTable(3, 3, cases, controls)), 0.0, 1e-9);
  // Cases only in cell (1,1), controls only in (0,0): each prediction is
  // twice its count (eta = 2N), and the rescaling term cancels that exactly.
  EXPECT_NEAR(ksa(stat, makeTable(2, 2, {0, 0, 0, 3}, {3, 0, 0, 0})), 0.0, 1e-12);
  // Sanity: an interaction is not scored 0.
  EXPECT_GT(ksa(stat, makeTable(2, 2, {10, 2, 2, 10}, {2, 10, 10, 2})), 1.0);
}

// Counts f(c,d) g(c,trait) h(d,trait): no three-way interaction, so the
// fitted tables are the observed ones.
Table modelTable() {
  const int f[9] = {2, 1, 3, 1, 2, 1, 3, 1, 2};
  const int g1[3] = {1, 2, 3}, g0[3] = {2, 1, 1}, h1[3] = {1, 1, 2}, h0[3] = {3, 2, 1};
  std::vector<int> cases(9), controls(9);
  for (int c = 0; c < 3; ++c) {
    for (int d = 0; d < 3; ++d) {
      cases[c * 3 + d] = 5 * f[c * 3 + d] * g1[c] * h1[d];
      controls[c * 3 + d] = 5 * f[c * 3 + d] * g0[c] * h0[d];
    }
  }
  return makeTable(3, 3, cases, controls);
}

TEST(IpfFit, ModelTableIsReproducedAndStatisticVanishes) {
  RunParameters params;
  const BinaryTestStat stat(params);
  const Table t = modelTable();
  const IpfFit f = fit(t);
  EXPECT_LT(f.iterations, BinaryTestStat::kIpfMaxIterations);
  for (int k = 0; k < 9; ++k) {
    EXPECT_NEAR(f.affected_fitted[k], t.a[k], 0.01) << k;
    EXPECT_NEAR(f.unaffected_fitted[k], t.n[k] - t.a[k], 0.01) << k;
  }
  // Both statistics are second order in the remaining fit error (< 0.01
  // per cell on counts >= 5), so they are far below 1e-4.
  for (const int type : {0, 1}) {
    params.testTypeOption = type;
    EXPECT_NEAR(ipf(stat, t), 0.0, 1e-4) << type;
  }
}

TEST(IpfFit, ReproducesCellTotalsAndTraitMargins) {
  std::mt19937 rng(99);
  for (int r = 0; r < 10; ++r) {
    const Table t = randomTable(rng);
    const IpfFit f = fit(t);
    if (f.iterations == BinaryTestStat::kIpfMaxIterations) continue;  // boundary fits are checked elsewhere
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(f.affected_fitted[k] + f.unaffected_fitted[k], t.n[k], 0.01);
    for (int i = 0; i < 3; ++i) {
      double rowA = 0, rowU = 0, colA = 0, colU = 0;
      for (int m = 0; m < 3; ++m) {
        rowA += f.affected_fitted[i * 3 + m], rowU += f.unaffected_fitted[i * 3 + m];
        colA += f.affected_fitted[m * 3 + i], colU += f.unaffected_fitted[m * 3 + i];
      }
      EXPECT_NEAR(rowA, t.am1[i], 0.01);
      EXPECT_NEAR(rowU, t.nm1[i] - t.am1[i], 0.01);
      EXPECT_NEAR(colA, t.am2[i], 1e-9);  // the last scaling of a sweep
      EXPECT_NEAR(colU, t.nm2[i] - t.am2[i], 1e-9);
    }
  }
}

TEST(IpfFit, IterationCountFollowsConvergence) {
  RunParameters params;
  const BinaryTestStat stat(params);
  // Trait depends on SNP 1 only: the first sweep lands on the observed table,
  // the second changes nothing and stops.
  const Table exact = makeTable(2, 3, {1, 2, 3, 3, 6, 9}, {3, 6, 9, 1, 2, 3});
  EXPECT_EQ(fit(exact).iterations, 2);
  EXPECT_NEAR(ipf(stat, exact), 0.0, 1e-9);
  // The only cases sit in one cell: the fit approaches that table only in
  // the limit, with a sweep change still near 0.05 at sweep 25.
  const Table boundary = makeTable(2, 2, {0, 0, 0, 30}, {30, 30, 30, 0});
  EXPECT_EQ(fit(boundary).iterations, BinaryTestStat::kIpfMaxIterations);
  for (const int type : {0, 1}) {
    params.testTypeOption = type;
    const double value = ipf(stat, boundary);
    EXPECT_TRUE(std::isfinite(value));
    EXPECT_GT(value, 0.0);
  }
}

TEST(IpfFit, StructuralZerosAreSkippedAndAmountsIgnored) {
  RunParameters params;
  const BinaryTestStat stat(params);
  // An empty centre cell and no cases at SNP 2 level 0: fitted zeros that the
  // Pearson form must skip rather than divide by.
  const Table t = makeTable(3, 3, {0, 4, 7, 0, 0, 3, 0, 6, 2}, {5, 2, 3, 4, 0, 8, 6, 1, 7});
  const IpfFit f = fit(t);
  EXPECT_EQ(f.affected_fitted[4], 0.0);
  EXPECT_EQ(f.affected_fitted[0], 0.0);
  for (const int type : {0, 1}) {
    params.testTypeOption = type;
    const double value = ipf(stat, t);
    EXPECT_TRUE(std::isfinite(value)) << type;
    EXPECT_GT(value, 0.0);
    EXPECT_EQ(ipf(stat, t, 0, 0), value);
    EXPECT_EQ(ipf(stat, t, 65535, 1), value);
  }
}

}  // namespace
}  // namespace dyadmill
