#include "scan_driver.h"

#include <cinttypes>
#include <ctime>
#include <iterator>

#include "block_working_set.h"
#include "console.h"
#include "fast_scan.h"
#include "fwer.h"
#include "pair_scorer.h"
#include "permutation.h"
#include "reference_scan.h"

namespace dyadmill {

Outcome scanBlockCombinations(ScanContext& ctx, ScanPath path, FastRescan rescan) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
  const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
  ctx.current_max.assign(params.permutationParam, static_cast<double>(params.thresholdParam));
  if (params.fwerOption) ctx.fwer = fwerStart(params);

  for (std::uint64_t K = ctx.blocks.Kbegin; K < ctx.blocks.Kend; ++K) {
    BlockWorkingSet set;
    loadBlockCombination(params, store, ctx.blocks, K, cases, controls, set);
    console().line("INFO: Allocating memory for final results storage");
    PairStores stores;
    stores.allocate(params, store.total_amount, set.block1.snp_amount, set.block2().snp_amount);
    Thresholds thresholds;
    initThresholds(params, thresholds);
    console().line("INFO: Looping over SNP pairs and counting number of cases and countrols for each SNP pair");

    TopVector top_vect_block;
    std::time_t start_time = 0;
    const PairScorer scorer(params, store, set);
    const Outcome scanned = path == ScanPath::Fast
                                ? runFastPairLoop(ctx, scorer, thresholds, stores, top_vect_block, start_time)
                                : runReferencePairLoop(ctx, scorer, thresholds, stores, top_vect_block, start_time);
    if (scanned.stopped()) return scanned;
    if (params.permutationParam != 0) {
      runPermutations(ctx, path, rescan, scorer, set, thresholds, stores, top_vect_block, start_time);
    }

    ctx.top_vect.insert(ctx.top_vect.end(), std::make_move_iterator(top_vect_block.begin()),
                        std::make_move_iterator(top_vect_block.end()));
    if (ctx.top_vect.size() > kMaxKeptPairs) {
      console().print(
          "ERROR (top_vect): Increase treshold value (-t) of %f as there are %zd significant pairs already!\n",
          static_cast<double>(params.thresholdParam), ctx.top_vect.size());
      console().line("ERROR: Aborting to prevent memory issues!....");
      return Outcome::stop(kExitLimit);
    }
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
