#include "reference_scan.h"

#include "progress.h"

namespace dyadmill {

Outcome runReferencePairLoop(ScanContext& ctx, BlockCombination& combo) {
  const RunParameters& params = ctx.params;
  const PairScorer& scorer = combo.scorer;
  Thresholds& thresholds = combo.thresholds;
  PairStores& stores = combo.stores;
  TopVector& top_vect_block = combo.top_vect_block;
  std::time_t& start_time = combo.start_time;
  const BlockWorkingSet& set = scorer.set();
  const SplitBlock& b1 = set.block1;
  const SplitBlock& b2 = set.block2();
  const std::uint64_t i_end = set.firstSnpEnd();
  const std::uint64_t half_snp_amount_block = i_end / 2;
  const bool permutations = params.permutationParam != 0;
  const bool saves = stores.savesFirstScan();

  start_time = std::time(nullptr);
  PairTable table;
  for (std::uint64_t i = 0; i < i_end; ++i) {
    if (!permutations && progressStepDue(i, half_snp_amount_block)) {
      reportPairLoopProgress({i, start_time, b1.snp_amount, set.coincide, ctx.top_vect.size(), top_vect_block.size(),
                              set.K, ctx.blocks.Kend});
    }
    for (std::uint64_t j = set.firstPartner(i); j < b2.snp_amount; ++j) {
      scorer.count(i, j, table);
      const std::uint16_t df = scorer.degreesOfFreedom(table);
      useThresholdsFor(params, df, thresholds);
      if (df != 0) {
        const double statistic = scorer.statistic(i, j, table, thresholds.threshold_KSA);
        if (statistic > thresholds.threshold) {
          if (Outcome o = keepPair(params, b1.first_snp + i, b2.first_snp + j, statistic, df, top_vect_block);
              o.stopped()) {
            return o;
          }
        }
      }
      if (saves) stores.save(table, df, i * stores.columns + j);
    }
    ctx.progress.advance(b2.snp_amount - set.firstPartner(i));
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
