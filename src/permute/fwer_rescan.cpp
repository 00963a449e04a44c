#include "fwer_rescan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "chi_square.h"
#include "fwer.h"
#include "tile_scan.h"

namespace dyadmill {

namespace {

// The value a pair contributes: its statistic, or under minP its raw
// p-value (a statistic that is not a number gives p = 1, which never lowers
// an extreme).
double pairValue(const RunParameters& params, double statistic, std::uint16_t df) {
  return params.minP() ? upperTailPValue(statistic, df) : statistic;
}

// The exact statistic of a pair for the genome-wide extreme.
double exactStatistic(const PairScorer& scorer, std::uint64_t i, std::uint64_t j, const PairTable& table) {
  if (scorer.params().epistasis()) return scorer.ipf(i, j, table);
  return scorer.statistic(i, j, table, 0.0);
}

// What a pair's statistic must exceed to move the extreme: the extreme
// itself under maxT; under minP the critical value at the pair's df of the
// smallest p-value so far, less a relative margin far above the error of
// the chi-square functions, so that a pair skipped for not reaching it
// provably has a larger p-value. Critical values are recomputed only after
// the extreme has moved.
class Cutoffs {
 public:
  Cutoffs(const RunParameters& params, double& extreme) : minP_(params.minP()), extreme_(extreme) {}

  double forDf(std::uint16_t df) {
    if (!minP_) return extreme_;
    double& cached = critical_[df];
    if (known_for_[df] != extreme_) {
      const double critical = upperTailCriticalValue(df, extreme_);
      cached = critical - 1e-9 * critical;
      known_for_[df] = extreme_;
    }
    return cached;
  }

  // The lowest cut-off of any df: critical values grow with df.
  double lowest() { return forDf(1); }

  void take(double value) { fwerTake(minP_, value, extreme_); }

 private:
  bool minP_;
  double& extreme_;
  std::array<double, kCells> critical_{};
  std::array<double, kCells> known_for_ = filled(std::numeric_limits<double>::quiet_NaN());

  static std::array<double, kCells> filled(double v) {
    std::array<double, kCells> a;
    a.fill(v);
    return a;
  }
};

// The largest bound of the lanes in use; not a number if any is.
double highest(const double* bounds, const TileLanes& lanes) {
  double top = -std::numeric_limits<double>::infinity();
  for (std::uint64_t lane = lanes.first; lane < lanes.end; ++lane) {
    if (std::isnan(bounds[lane])) return bounds[lane];
    top = std::max(top, bounds[lane]);
  }
  return top;
}

class FastPass {
 public:
  FastPass(const ScanInputs& in, const PairScorer& scorer, const PairStores& stores, const FastStatistics& fast,
           double& extreme)
      : params_(in.params),
        scorer_(scorer),
        set_(scorer.set()),
        stores_(stores),
        fast_(fast),
        tiles_(scorer, in.simd, false),
        cutoffs_(in.params, extreme),
        fitted_only_(!fast.screens() && params_.epistasis()) {
    // With the reduced forms every pair of a first SNP has that SNP's
    // margins, so their part of the bound is computed once per SNP.
    if (params_.epistasis() && !fitted_only_ && tiles_.reduced()) {
      const SplitBlock& b1 = set_.block1;
      first_snp_terms_.resize(b1.snp_amount);
      for (std::uint64_t i = 0; i < b1.snp_amount; ++i) {
        first_snp_terms_[i] = fast_.levelTerms(b1.affecteds_marginal[i], b1.totals_marginal[i]);
      }
    }
  }

  void run() {
    for (std::uint64_t i = 0; i < set_.firstSnpEnd(); ++i) {
      for (std::uint64_t t = tiles_.firstTile(i); t < tiles_.tiles(); ++t) scanTile(i, t);
    }
  }

 private:
  void scanTile(std::uint64_t i, std::uint64_t t);
  double bound(std::uint64_t i, std::uint64_t j, const PairTable& table) const {
    return params_.epistasis() ? fast_.fittedBound(table) : fast_.screen(table, i, j);
  }

  const RunParameters& params_;
  const PairScorer& scorer_;
  const BlockWorkingSet& set_;
  const PairStores& stores_;
  const FastStatistics& fast_;
  TileScan tiles_;
  Cutoffs cutoffs_;
  const bool fitted_only_;  // the epistasis score statistic: no bound, every pair is fitted
  PairTable table_;
  double bounds_[kTileLanes] = {};
  std::vector<double> first_snp_terms_;
};

void FastPass::scanTile(std::uint64_t i, std::uint64_t t) {
  const TileLanes lanes = tiles_.lanes(i, t);
  if (lanes.first >= lanes.end) return;
  tiles_.count(i, t);
  const bool whole = tiles_.wholeTiles();
  if (whole) {
    tiles_.formPermutedTables(i, lanes, stores_);
    if (fitted_only_) {
      tiles_.fitTables(i, lanes);
    } else if (params_.epistasis()) {
      fast_.fittedBoundTile(tiles_.cases(), tiles_.totals(), first_snp_terms_.empty() ? nullptr : &first_snp_terms_[i],
                            bounds_);
    } else if (tiles_.reduced()) {
      fast_.screenTile(tiles_.cases(), tiles_.totals(), i, lanes.j_base, bounds_);
    } else {
      fast_.screenTileFull(tiles_.cases(), tiles_.totals(), bounds_);
    }
    // Most tiles hold no pair that could move the extreme: one comparison
    // settles all eight.
    if (!fitted_only_ && !fast_.mayExceed(highest(bounds_, lanes), cutoffs_.lowest())) return;
  }
  for (std::uint64_t lane = lanes.first; lane < lanes.end; ++lane) {
    const std::uint64_t j = lanes.j_base + lane;
    const std::uint16_t df = stores_.degreesoffreedom[i * stores_.columns + j];
    if (df == 0) continue;
    const auto l = static_cast<unsigned>(lane);
    const double cutoff = cutoffs_.forDf(df);
    if (!whole) {
      tiles_.permutedPairTable(i, j, l, stores_, table_);
      if (!fitted_only_ && !fast_.mayExceed(bound(i, j, table_), cutoff)) continue;
    } else {
      if (!fitted_only_ && !fast_.mayExceed(bounds_[l], cutoff)) continue;
      tiles_.permutedPairTable(i, j, l, stores_, table_);
    }
    double statistic;
    if (fitted_only_ && whole) {
      const TileFit& fit = tiles_.fit();
      double affected_fitted[kCells], unaffected_fitted[kCells];
      for (unsigned k = 0; k < kCells; ++k) {
        affected_fitted[k] = fit.affected[k][l];
        unaffected_fitted[k] = fit.unaffected[k][l];
      }
      statistic = scorer_.fitted(table_, affected_fitted, unaffected_fitted);
    } else {
      statistic = exactStatistic(scorer_, i, j, table_);
    }
    // Under minP the p-value is needed only where the statistic can beat
    // the critical value.
    if (!(statistic > cutoff) && params_.minP()) continue;
    cutoffs_.take(pairValue(params_, statistic, df));
  }
}

}  // namespace

void fwerReferencePass(const RunParameters& params, const RescanTarget& target, double& extreme) {
  const PairScorer& scorer = target.scorer;
  const PairStores& stores = target.stores;
  const BlockWorkingSet& set = target.set;
  const bool minP = params.minP();
  PairTable table;
  for (std::uint64_t i = 0; i < set.firstSnpEnd(); ++i) {
    for (std::uint64_t j = set.firstPartner(i); j < set.block2().snp_amount; ++j) {
      const std::uint64_t pair = i * stores.columns + j;
      const std::uint16_t df = stores.degreesoffreedom[pair];
      if (df == 0) continue;
      stores.load(pair, table);
      scorer.countPermutedCases(i, j, table);
      fwerTake(minP, pairValue(params, exactStatistic(scorer, i, j, table), df), extreme);
    }
  }
}

void fwerFastPass(const ScanInputs& in, const RescanTarget& target, const FastStatistics& fast, double& extreme) {
  FastPass(in, target.scorer, target.stores, fast, extreme).run();
}

}  // namespace dyadmill
