// Stage scan: blocks and process shares, a combination's working set, table
// counting, the pair scorer, the approximations and tiles of the fast path,
// and the first scan (reference and fast). Uses kernels, stats and input.
//
// What every stage of the pair scan shares: the run-wide scan state, the
// cut-offs of a block combination, the stores the permutation rescans read,
// and the hand-over of a kept pair to the combination's list.
//
// The stages depend on each other in one direction only:
//
//   scan_driver -> reference_scan, fast_scan        (the first scan)
//   scan_driver -> permutation -> reference_scan, fast_rescan, kept_rescan
//                                                               (rescans)
//   fast_scan, fast_rescan -> tile_scan -> approximations -> simd_kernels
//   kept_rescan -> kept_chain, lazy_case_rows -> simd_kernels
//   reference_scan, fast_rescan, kept_rescan -> rescan_common
//   every stage -> pair_scorer -> pair_table; every stage -> scan_types
#pragma once

#include <cstdint>
#include <vector>

#include "PairTallier.h"
#include "blocks.h"
#include "genotype_store.h"
#include "outcome.h"
#include "pair_count_store.h"
#include "pair_scorer.h"
#include "pair_table.h"
#include "progress.h"
#include "run_parameters.h"
#include "simd_kernels.h"
#include "threads.h"

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

// What the permutation rescan reuses of a pair: a relabelling of the trait
// changes nobody's genotype, so cell totals, amounts, total margins and df
// stay valid. Pairs are known by position, i * columns + j.
//
// Two layouts. Every pair (`everyPair()`): entries indexed by position,
// filled by the first scan or counted once afterwards; the full passes over
// a combination read them. Kept pairs only: entries for the kept pairs, in
// scan order, and any other pair counted again from the combination's
// working set when asked for, which must then stay unrelabelled; what the
// rescan of the kept pairs reads. The second keeps the memory of a run with
// permutations in proportion to its kept pairs, whatever the block size.
// The counts take the width the run's `subjects` need.
class PairStores {
 public:
  std::uint64_t columns = 0;
  PairCountStore totals_pairs;    // kCells per entry
  PairCountStore totals_amounts;  // full statistics only
  PairCountStore totals_marg1;    // kLevels per entry; full epistasis statistics only
  PairCountStore totals_marg2;
  std::vector<std::uint16_t> degreesoffreedom;  // per entry

  // Entries for every pair of a rows x columns combination; empty without
  // permutations.
  void allocate(const RunParameters& params, std::uint64_t subjects, std::uint64_t rows, std::uint64_t columns);

  // No entries yet: the first scan saves nothing, and the layout is chosen
  // after it by one of the two calls below.
  void defer(const RunParameters& params, std::uint64_t columns);

  // Counts every pair of `scorer`'s working set into entries by position.
  void countEveryPair(const RunParameters& params, std::uint64_t subjects, const PairScorer& scorer);

  // Entries for the kept pairs (in scan order) counted over `scorer`'s
  // working set, which answers for the other pairs from then on.
  void countKeptPairs(const RunParameters& params, std::uint64_t subjects, const PairScorer& scorer,
                      const TopVector& top_vect_block);

  bool everyPair() const { return recount_ == nullptr; }
  // Whether defer() left the layout to be chosen.
  bool deferred() const { return deferred_; }
  // Whether the first scan saves each pair (entries by position exist).
  bool savesFirstScan() const { return !degreesoffreedom.empty() && everyPair(); }

  // Records what the rescan reuses of pair number `pair` (every-pair layout).
  void save(const PairTable& table, std::uint16_t df, std::uint64_t pair);

  // The degrees of freedom of the pair at `position` (0: not scored, or not
  // a pair of the combination).
  std::uint16_t df(std::uint64_t position) const;

  // The saved totals, amounts and total margins of the pair at `position`.
  void load(std::uint64_t position, PairTable& table) const;

 private:
  void assignEntries(const RunParameters& params, std::uint64_t subjects, std::uint64_t entries);
  void saveEntry(const PairTable& table, std::uint16_t df, std::uint64_t entry);
  // The entry of `position` in the kept-pairs layout, or ~0 when not kept.
  std::uint64_t keptEntry(std::uint64_t position) const;
  bool isPair(std::uint64_t position) const;

  bool deferred_ = false;
  const PairScorer* recount_ = nullptr;  // kept-pairs layout: counts the rest
  std::vector<std::uint64_t> kept_positions_;
};

// Which implementation scans: the reference scores pair after pair with the
// exact statistics and is what the fast path is tested against; the fast
// path counts eight pairs at a time and computes the exact statistics only
// where an approximation cannot settle the outcome. Both keep the same pairs
// with the same values; a run of the program always takes the fast path.
enum class ScanPath { Reference, Fast };

// How the fast path rescans a combination under the epistasis
// likelihood-ratio test, whose KSA cut-off is carried from pair to pair: by
// the kept pairs (and the few pairs that decide their cut-off) unless they
// are so dense that a full pass over every pair is cheaper, which a run of
// the program chooses per combination; or always one way, which tests use
// to hold each against the reference. Other modes always rescan by the kept
// pairs, which is all their rescan reads.
enum class FastRescan { ByCost, KeptPairs, FullPasses };

// What the scan reads and never changes: every thread shares it.
struct ScanInputs {
  ScanInputs(const RunParameters& p, const GenotypeStore& s, const BlockTable& b, const SimdKernels& kernels)
      : params(p), store(s), blocks(b), simd(kernels), threads(workerThreads(p)) {}

  const RunParameters& params;
  const GenotypeStore& store;
  const BlockTable& blocks;
  const SimdKernels simd;       // instruction-set variants of the fast path
  const std::uint16_t threads;  // worker threads of the scan and the rescans
};

// Run-wide state of the scan: the inputs, and what the combinations carry
// to the next one.
struct ScanContext : ScanInputs {
  ScanContext(const RunParameters& p, const GenotypeStore& s, const BlockTable& b,
              const SimdKernels& kernels = probeSimdKernels())
      : ScanInputs(p, s, b, kernels), progress(shareWork(b, p.permutationParam)) {}

  TopVector top_vect;               // kept pairs of finished combinations
  std::vector<double> current_max;  // per permutation, carried across combinations
  // --fwer: per permutation k, the largest statistic (maxT) or the smallest
  // raw p-value (minP) over every pair scanned so far; see fwer.h.
  std::vector<double> fwer;
  // Every permutation's trait labels, the same in every combination: drawn
  // once for the run when they fit a small budget, else per combination.
  std::vector<std::vector<std::uint16_t>> relabellings;
  ProgressLine progress;  // the terminal's progress line, in pairs counted
  // Permutations run so far, summed over the combinations (for the log).
  std::uint64_t permutations_done = 0;
};

// A pair that passed, in block-local indices, before it is kept.
struct FoundPair {
  std::uint64_t i;
  std::uint64_t j;
  double statistic;
  std::uint16_t df;
};

// Appends a kept pair (global SNP indices) to the combination's list, its
// value a p-value under minP; stops the run when the list is already full.
Outcome keepPair(const RunParameters& params, std::uint64_t gi, std::uint64_t gj, double statistic, std::uint16_t df,
                 TopVector& top_vect_block);

}  // namespace dyadmill
