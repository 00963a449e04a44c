// What the permutation rescans share, reference and fast alike: the KSA
// cut-off carried from pair to pair, the walk over the kept pairs, and the
// value a kept pair records for a permutation.
#pragma once

#include <cstdint>
#include <vector>

#include "PairTallier.h"
#include "pair_scorer.h"
#include "run_parameters.h"
#include "scan_types.h"

namespace dyadmill {

// What the rescan of one permutation works on: one thread's relabelled
// working set and the scorer over it, and the combination's saved stores,
// cut-offs and kept pairs. Of the kept pairs it writes only the values of
// its own permutation, so threads rescanning different permutations never
// write the same memory.
struct RescanTarget {
  BlockWorkingSet& set;
  const PairScorer& scorer;  // over `set`
  const PairStores& stores;
  const Thresholds& thresholds;
  TopVector& top_vect_block;
};

// The KSA screening cut-off met by each pair of a permutation's rescan. It
// is carried from pair to pair: every scored pair that is not a kept pair
// replaces it with its own statistic (maxT) or with the critical value at
// its own p-value (minP), and the last such value of a permutation is
// carried to the same permutation of the next combination. Under minP the
// p-value and the critical values are computed only when something reads
// them, which leaves the results as they would be if computed eagerly.
class CarriedScreen {
 public:
  CarriedScreen(const RunParameters& params, std::uint16_t maxdf, double carried);

  // The cut-off of the next scored pair, which has `df` degrees of freedom.
  double thresholdFor(std::uint16_t df);

  // A scored pair that is not kept hands its statistic on.
  void notKept(double statistic, std::uint16_t df);

  // maxT: the statistic, minP: the p-value of the latest scored pair that is
  // not kept; the value carried in when there was none.
  double carriedValue();

 private:
  struct Critical {
    double value = 0.0;
    std::uint64_t generation = 0;
  };

  const RunParameters& params_;
  std::vector<Critical> critical_;
  double carried_;
  double threshold_KSA_ = 0.0;
  bool pending_ = false;
  double pending_statistic_ = 0.0;
  std::uint16_t pending_df_ = 0;
  std::uint64_t generation_ = 1;
};

// Walks the kept pairs (in scan order) from `cursor` to the pair (gi, gj);
// returns it, or nullptr when it is not a kept pair.
TestStat2DObject* matchKeptPair(TopVector& top_vect_block, std::uint64_t& cursor, std::uint64_t gi, std::uint64_t gj);

// The value a kept pair records: its statistic (maxT) or p-value (minP).
double keptValue(const RunParameters& params, double statistic, std::uint16_t df);

}  // namespace dyadmill
