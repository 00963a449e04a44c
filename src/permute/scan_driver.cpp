#include "scan_driver.h"

#include <cinttypes>

#include <iterator>

#include "block_combination.h"
#include "console.h"
#include "fast_scan.h"
#include "fwer.h"
#include "permutation.h"
#include "reference_scan.h"

namespace dyadmill {

Outcome scanBlockCombinations(ScanContext& ctx, ScanPath path, FastRescan rescan) {
  const RunParameters& params = ctx.params;
  const GenotypeStore& store = ctx.store;
  const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
  const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
  // Per permutation only where a value is carried to the next combination,
  // so that a run with many permutations allocates nothing for them before
  // a pair is kept.
  if (carriesAcrossCombinations(params)) {
    ctx.current_max.assign(params.permutationParam, static_cast<double>(params.thresholdParam));
  }
  const bool every_pair_stores = storesEveryPairUpFront(params, path, rescan);
  if (params.fwerOption) ctx.fwer = fwerStart(params);

  for (std::uint64_t K = ctx.blocks.Kbegin; K < ctx.blocks.Kend; ++K) {
    BlockCombination combo(params, store, ctx.blocks, K, cases, controls, every_pair_stores);
    console().line("INFO: Looping over SNP pairs and counting number of cases and countrols for each SNP pair");
    const Outcome scanned = path == ScanPath::Fast ? runFastPairLoop(ctx, combo) : runReferencePairLoop(ctx, combo);
    if (scanned.stopped()) return scanned;
    if (params.permutationParam != 0) runPermutations(ctx, path, rescan, combo);
    TopVector& top_vect_block = combo.top_vect_block;

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
