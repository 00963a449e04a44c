#include "block_combination.h"

#include "console.h"

namespace dyadmill {

BlockCombination::BlockCombination(const RunParameters& params, const GenotypeStore& store, const BlockTable& blocks,
                                   std::uint64_t K, const SubjectSubset& cases, const SubjectSubset& controls,
                                   bool every_pair_stores)
    : scorer(params, store, set) {
  loadBlockCombination(params, store, blocks, K, cases, controls, set);
  console().line("INFO: Allocating memory for final results storage");
  if (every_pair_stores) {
    stores.allocate(params, store.total_amount, set.block1.snp_amount, set.block2().snp_amount);
  } else {
    stores.defer(params, set.block2().snp_amount);
  }
  initThresholds(params, thresholds);
}

}  // namespace dyadmill
