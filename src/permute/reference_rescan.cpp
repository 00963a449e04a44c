#include "reference_rescan.h"

#include "rescan_common.h"

namespace dyadmill {

void rescanReference(ScanContext& ctx, BlockCombination& combo, std::uint64_t p) {
  const PairScorer& scorer = combo.scorer;
  const Thresholds& thresholds = combo.thresholds;
  const PairStores& stores = combo.stores;
  const BlockWorkingSet& set = combo.set;
  TopVector& top_vect_block = combo.top_vect_block;
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const std::uint64_t i_end = set.firstSnpEnd();
  PairTable table;
  CarriedScreen screen(ctx.params, thresholds.maxdf, ctx.current_max[p - 1]);
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
        kept->permutValues[p - 1] = keptValue(ctx.params, statistic, df);
      } else {
        screen.notKept(statistic, df);
      }
    }
  }
  ctx.current_max[p - 1] = screen.carriedValue();
}

}  // namespace dyadmill
