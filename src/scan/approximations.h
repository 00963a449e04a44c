// Cheap approximations of the statistics, used to decide which pairs need
// the exact statistic at all.
//
// The exact statistics take one or two logarithms per cell. Rewritten with
// x ln x terms, every logarithm of a count comes from a table, and the
// per-SNP parts of the KSA screen are computed once per SNP:
//
//   likelihood-ratio association / 2 = C + sum_k [a ln a + u ln u - n ln n]
//   KSA / 2 = sum_k [a ln a + u ln u - n ln n] - K1(SNP 1) - K2(SNP 2)
//             + A ln(A/N) + U ln(U/N) + N ln(eta / N)
//
// with K = sum over levels of a ln(case share) + u ln(control share) and eta
// the summed KSA predictions (one logarithm per pair). The sums run in
// another order than the formulas', so the values differ from the exact
// ones by rounding; tolerance() bounds that difference generously. A pair
// whose approximation lies within the tolerance of a cut-off, or above it,
// gets the exact statistic, so every decision and every reported value is
// the exact statistic's.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "block_working_set.h"
#include "pair_table.h"
#include "run_parameters.h"
#include "simd_kernels.h"

namespace dyadmill {

// ln(x) = e ln 2 + ln(c) + ln(1 + r) with x = 2^e m, m in [1, 2), c the
// middle of m's 1/256-wide bucket and r = (m - c) / c, |r| < 2^-9: five
// terms of the series leave an error below 1e-17, and the result is within
// a few units of 1e-15 of std::log. Zero, subnormal, negative and
// non-finite arguments go to std::log.
struct LogTable {
  LogTable();
  double log_center[256];
  double inverse_center[256];
};
extern const LogTable kLogTable;

inline double fastLog(double x) {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const auto exponent_bits = static_cast<int>((bits >> 52) & 0x7FF);
  if (exponent_bits == 0 || exponent_bits == 0x7FF || (bits >> 63) != 0) return std::log(x);
  const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  const unsigned bucket = static_cast<unsigned>(mantissa >> 44);
  const double m = std::bit_cast<double>(mantissa | 0x3FF0000000000000ULL);
  const double r = (m - (1.0 + (bucket + 0.5) / 256.0)) * kLogTable.inverse_center[bucket];
  const double series = r * (1.0 + r * (-0.5 + r * (1.0 / 3.0 + r * (-0.25 + r * 0.2))));
  return static_cast<double>(exponent_bits - 1023) * 0.69314718055994530942 + kLogTable.log_center[bucket] + series;
}

class FastStatistics {
 public:
  // The lane loops run at `vectors`: every level gives the same doubles.
  FastStatistics(const RunParameters& params, SubjectCount total_amount, SubjectCount affected_amount,
                 VectorLevel vectors);

  // Whether the run's statistic has an approximation (the epistasis score
  // statistic, a fitted model for every pair, has none).
  bool screens() const { return screens_; }

  // Per-SNP parts of the reduced KSA screen for the blocks' current case
  // margins and shares; call again whenever they change.
  void prepareBlocks(const BlockWorkingSet& set);

  // Approximates the value first compared with a cut-off: the association
  // statistic, or the KSA screen under epistasis with the likelihood ratio.
  double screen(const PairTable& table, std::uint64_t i, std::uint64_t j) const;

  // The screens of the pairs (i, j_base + lane), lane < kTileLanes, of a
  // scan with the reduced forms (--nomissing, no cell dropped), from their
  // whole tables in cell-major order: cases[k][lane], totals[k][lane].
  // Lanes past the block's end hold empty tables and are to be ignored.
  // Gives screen()'s values to the last bit.
  void screenTile(TileCells cases, TileCells totals, std::uint64_t i, std::uint64_t j_base, double* out) const;

  // The same for a --missing scan without dropped cells (minimum cell size
  // 1), whose statistics take the amounts and margins of each table; again
  // screen()'s values to the last bit.
  void screenTileFull(TileCells cases, TileCells totals, double* out) const;

  // Approximates the likelihood-ratio interaction statistic of the fitted
  // no-three-way-interaction model (the fit itself is the exact one).
  double ipf(const PairTable& table, const BlockWorkingSet& set, std::uint64_t i, std::uint64_t j) const;

  // The same from a lane of a tile's fit, with the lane's table.
  double ipf(TileCells cases, TileCells totals, const TileFit& fit, unsigned lane) const;

  // An upper bound, up to tolerance(), of the fitted likelihood-ratio
  // interaction statistic of the table, whatever its margins and counts: the
  // likelihood-ratio statistic of the model that keeps the cell totals and
  // SNP 1's trait margin (see the definition for why).
  double fittedBound(const PairTable& table) const;

  // The same for the whole tables of a tile, cell-major (lanes past the
  // block hold empty tables and are to be ignored). `first_snp_terms`, when
  // not null, holds levelTerms() of the first SNP's margins, which every
  // lane shares when no cell is dropped and no genotype is missing.
  void fittedBoundTile(TileCells cases, TileCells totals, const double* first_snp_terms, double* out) const;

  // sum over levels of a ln a + u ln u - n ln n for a SNP's case and subject
  // counts per level.
  double levelTerms(const LevelCounts& cases, const LevelCounts& totals) const;

  // Largest difference to expect between an approximation and the exact value.
  double tolerance(double value) const;

  // True when the exact value may exceed `cutoff`.
  bool mayExceed(double approximation, double cutoff) const {
    return !(approximation + tolerance(approximation) <= cutoff);
  }

 private:
  struct SnpTerms {
    double k = 0.0;           // sum over levels of a ln(case share) + u ln(control share)
    double cases[3] = {};     // case share of each level (block 2: divided by the run's case share)
    double controls[3] = {};  // control share of each level (block 2: divided by the control share)
  };

  // The tile loops of one vector level.
  struct LaneLoops {
    void (*cell_terms)(TileCells cases, TileCells totals, const double* xlnx, double* out);
    void (*score)(TileCells cases, TileCells totals, const double* inverse, const double* share, double* out);
    void (*eta)(TileCells totals, const double* fa1, const double* fu1, const double* const* fa2,
                const double* const* fu2, double* out);
    void (*full_terms)(TileCells cases, TileCells totals, const double* xlnx, const double* inverse, bool ksa,
                       std::int32_t* affected, std::int32_t* total, double* margin_terms, double* eta);
  };
  static LaneLoops laneLoops(VectorLevel vectors);

  double cellTerms(const PairTable& t) const;
  double association(const PairTable& t) const;
  double reducedKsa(const PairTable& t, std::uint64_t i, std::uint64_t j) const;
  double fullKsa(const PairTable& t) const;
  void snpTerms(const SplitBlock& block, bool second, std::vector<SnpTerms>& terms) const;

  const RunParameters& params_;
  LaneLoops lanes_;
  bool screens_;
  SubjectCount total_;
  SubjectCount affected_;
  double scale_;          // magnitude of the largest x ln x term
  double split_term_;     // N ln N - A ln A - U ln U
  double case_share_;     // A / N
  double control_share_;  // 1 - A / N
  double ksa_constant_;   // A ln(A/N) + U ln(U/N)
  // x ln x and 1 / x for x = 0 .. N: the same for every combination of a
  // run, so made once and shared (a run of many small blocks would
  // otherwise spend much of its time on their logarithms).
  struct CountTables {
    std::vector<double> xlnx;
    std::vector<double> inverse;  // entry 0 unused
  };
  static std::shared_ptr<const CountTables> countTables(SubjectCount total_amount);
  std::shared_ptr<const CountTables> tables_;
  const std::vector<double>& xlnx_;
  const std::vector<double>& inverse_;
  std::vector<SnpTerms> first_;
  std::vector<SnpTerms> second_;
  // The second block's terms by level, SNP after SNP, padded to whole tiles.
  std::vector<double> second_k_;
  std::vector<double> second_cases_[3];
  std::vector<double> second_controls_[3];
};

}  // namespace dyadmill
