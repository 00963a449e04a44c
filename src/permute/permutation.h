// Stage permute: the loop over block combinations (scan_driver), the seeded
// relabelling, the rescans of kept pairs (reference, fast full passes, kept
// pairs) and the genome-wide pass of --fwer. Uses scan and what it uses.
//
// Permutation testing of one block combination: seeded trait shuffles, a
// rescan under each, and one value per permutation for every kept pair.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "block_combination.h"
#include "scan_types.h"

namespace dyadmill {

// The seeded relabelling: the C library's generator, reseeded with the
// run's seed for every block combination, so that permutation k relabels the
// subjects identically in every combination and every process. The shuffler
// draws from a state of its own, the same sequence rand() gives after
// srand(seed), without the lock rand() takes on every draw.
class TraitShuffler {
 public:
  TraitShuffler(std::uint64_t seed, const std::vector<std::uint16_t>& labels);
  TraitShuffler(const TraitShuffler&) = delete;  // the generator points into its own state
  TraitShuffler& operator=(const TraitShuffler&) = delete;

  // One more shuffle of the current labels: for g = 1 .. n - 1, swap entry g
  // with entry rand() % (g + 1). The number of cases never changes.
  void shuffle();

  const std::vector<std::uint16_t>& labels() const { return labels_; }

 private:
  std::vector<std::uint16_t> labels_;
  char state_[128] = {};  // the size of rand()'s own state, which selects its algorithm
  random_data generator_{};
};

// Runs the run's permutations over the combination after its pair loop and
// writes each kept pair's value for every permutation. Under each
// relabelling the fast path rescores the kept pairs (and, with a carried
// cut-off, the pairs that decide it) from the saved totals, rebuilding the
// case rows of only the SNPs they read; where kept pairs are dense (see
// FastRescan), and on the reference path, the case rows of both blocks are
// rebuilt and every pair is rescanned. The relabelling rewrites the
// combination's working set; its start_time (the start of its first scan)
// feeds the run-time estimate. One console line says when the
// combination's permutations are done, and ctx.permutations_done counts
// them.
void runPermutations(ScanContext& ctx, ScanPath path, FastRescan rescan, BlockCombination& combo);

// Whether a combination's stores must hold every pair from its first scan
// on: the reference rescan, the genome-wide pass of --fwer and forced full
// passes read every pair in every permutation. Otherwise the layout is
// chosen after the first scan, by the rescan the combination takes.
bool storesEveryPairUpFront(const RunParameters& params, ScanPath path, FastRescan rescan);

// Whether the rescans carry a value from one combination to the next per
// permutation (the minP cut-off of the epistasis likelihood-ratio screen).
bool carriesAcrossCombinations(const RunParameters& params);

// The run's relabellings are drawn once and kept while they take at most
// this many bytes; beyond it each combination draws them again. Tests set it
// to take either way.
inline constexpr std::uint64_t kDefaultRelabellingBudget = std::uint64_t{64} << 20;
void setRelabellingBudget(std::uint64_t bytes);

}  // namespace dyadmill
