// The pair scan of this process's block combinations: result stores and
// thresholds of a combination, the pair loop, the permutations, and the
// hand-over of the kept pairs to the run's list.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "BinaryTestStat.h"
#include "PairTallier.h"
#include "block_working_set.h"
#include "blocks.h"
#include "genotype_store.h"
#include "outcome.h"
#include "pair_table.h"
#include "progress.h"
#include "run_parameters.h"
#include "tile_kernels.h"

namespace dyadmill {

// Cut-offs of one combination. A pair passes when its statistic is strictly
// greater than `threshold`; under epistasis with the likelihood-ratio test,
// its KSA screen must exceed `threshold_KSA` before the IPF statistic is
// computed. Under minP the cut-offs are critical values per df, extended
// lazily as pairs with more degrees of freedom appear.
struct Thresholds {
  double threshold = 0.0;
  double threshold_KSA = 0.0;
  std::uint16_t maxdf = 0;
  std::vector<double> threshold_by_df;      // entry k: df = k + 1
  std::vector<double> threshold_by_df_KSA;  // epistasis only
};

void initThresholds(const RunParameters& params, Thresholds& thresholds);

// minP: grows the per-df tables to `df` entries (critical values at the
// run's threshold p-value).
void extendThresholds(const RunParameters& params, Thresholds& thresholds, std::uint16_t df);

// minP: the cut-offs of a pair with `df` degrees of freedom (df > 0 sets
// threshold and threshold_KSA; the tables grow as needed). maxT keeps the
// combination's cut-offs.
void useThresholdsFor(const RunParameters& params, std::uint16_t df, Thresholds& thresholds);

// What the permutation rescan reuses of every pair of the combination: a
// relabelling of the trait changes nobody's genotype, so cell totals,
// amounts, total margins and df stay valid. Indexed by i * columns + j.
struct PairStores {
  std::uint64_t columns = 0;
  std::vector<std::uint16_t> totals_pairs;    // kCells per pair
  std::vector<std::uint16_t> totals_amounts;  // full statistics only
  std::vector<LevelCounts> totals_marg1;      // full epistasis statistics only
  std::vector<LevelCounts> totals_marg2;
  std::vector<std::uint16_t> degreesoffreedom;  // per pair
};

// The plain scan counts and scores pair after pair with the exact
// statistics; the fast scan counts eight pairs at a time and computes the
// exact statistics only where an approximation cannot settle the outcome.
// Both write the same results.
enum class ScanPath { Reference, Fast };

// Run-wide state of the scan.
struct ScanContext {
  ScanContext(const RunParameters& p, const GenotypeStore& s, const BlockTable& b)
      : params(p),
        store(s),
        blocks(b),
        stat(p),
        kernel(bestTileKernel(&kernel_kind)),
        progress(shareWork(b, p.permutationParam)) {}

  const RunParameters& params;
  const GenotypeStore& store;
  const BlockTable& blocks;
  BinaryTestStat stat;
  TopVector top_vect;               // kept pairs of finished combinations
  std::vector<double> current_max;  // per permutation, carried across combinations
  ScanPath path = ScanPath::Fast;
  KernelKind kernel_kind = KernelKind::Generic;
  TileKernel kernel;      // counting kernel of the fast scan
  ProgressLine progress;  // the terminal's progress line, in pairs counted
};

// Records what the permutation rescan reuses of pair number `pair`.
void savePairForPermutations(const PairTable& table, std::uint16_t df, std::uint64_t pair, PairStores& stores);

// Appends a kept pair (global SNP indices) to the combination's list, its
// value a p-value under minP; stops the run when the list is already full.
Outcome keepPair(const RunParameters& params, std::uint64_t gi, std::uint64_t gj, double statistic, std::uint16_t df,
                 TopVector& top_vect_block);

// The first scan of one combination: counts, scores and keeps every pair,
// filling the permutation stores when permutations are requested.
// `start_time` receives the time the loop began.
Outcome runPairLoop(ScanContext& ctx, const BlockWorkingSet& set, Thresholds& thresholds, PairStores& stores,
                    TopVector& top_vect_block, std::time_t& start_time);

// Scans every combination of this process's share into ctx.top_vect.
Outcome scanBlockCombinations(ScanContext& ctx);

}  // namespace dyadmill
