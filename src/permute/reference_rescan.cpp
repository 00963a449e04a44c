#include "reference_rescan.h"

#include "rescan_common.h"

namespace dyadmill {

void rescanReference(const RunParameters& params, const RescanTarget& target, std::uint64_t p, double& carried) {
  const PairScorer& scorer = target.scorer;
  const Thresholds& thresholds = target.thresholds;
  const PairStores& stores = target.stores;
  const BlockWorkingSet& set = target.set;
  TopVector& top_vect_block = target.top_vect_block;
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const std::uint64_t i_end = set.firstSnpEnd();
  PairTable table;
  CarriedScreen screen(params, thresholds.maxdf, carried);
  std::uint64_t cursor = 0;
  for (std::uint64_t i = 0; i < i_end; ++i) {
    for (std::uint64_t j = set.firstPartner(i); j < b2.snp_amount; ++j) {
      const std::uint64_t pair = i * stores.columns + j;
      const std::uint16_t df = stores.degreesoffreedom[pair];
      if (df == 0) continue;
      const double threshold_KSA = screen.thresholdFor(df);
      stores.load(pair, table);
      scorer.countPermutedCases(i, j, table);
      const double statistic = scorer.statistic(i, j, table, threshold_KSA);
      TestStat2DObject* kept = matchKeptPair(top_vect_block, cursor, b1.first_snp + i, b2.first_snp + j);
      if (kept != nullptr) {
        kept->permutValues[p - 1] = keptValue(params, statistic, df);
      } else {
        screen.notKept(statistic, df);
      }
    }
  }
  carried = screen.carriedValue();
}

}  // namespace dyadmill
