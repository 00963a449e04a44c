#include "block_combination.h"

#include "console.h"

namespace dyadmill {

BlockCombination::BlockCombination(const RunParameters& params, const GenotypeStore& store, const BlockTable& blocks,
                                   std::uint64_t K, const SubjectSubset& cases, const SubjectSubset& controls)
    : scorer(params, store, set) {
  loadBlockCombination(params, store, blocks, K, cases, controls, set);
  console().line("INFO: Allocating memory for final results storage");
  stores.allocate(params, store.total_amount, set.block1.snp_amount, set.block2().snp_amount);
  initThresholds(params, thresholds);
}

}  // namespace dyadmill
