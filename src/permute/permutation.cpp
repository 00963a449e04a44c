#include "permutation.h"

#include <cinttypes>
#include <cstdlib>
#include <optional>
#include <utility>

#include "approximations.h"
#include "console.h"
#include "fast_rescan.h"
#include "fwer_rescan.h"
#include "kept_rescan.h"
#include "progress.h"
#include "reference_rescan.h"

namespace dyadmill {

TraitShuffler::TraitShuffler(std::uint64_t seed, const std::vector<std::uint16_t>& labels) : labels_(labels) {
  std::srand(static_cast<unsigned>(seed));
}

void TraitShuffler::shuffle() {
  for (std::size_t g = 1; g < labels_.size(); ++g) {
    const std::size_t temp2 = static_cast<std::size_t>(std::rand()) % (g + 1);
    std::swap(labels_[g], labels_[temp2]);
  }
}

namespace {

void rebuildCaseRows(const RunParameters& params, const GenotypeStore& store, const SubjectSubset& cases,
                     SplitBlock& block) {
  const std::uint64_t rows = block.snp_amount * params.rowsPerSnp();
  const std::uint64_t words = store.snp_matrix.words();
  for (std::uint64_t r = 0; r < rows; ++r)
    cases.pack(store.snp_matrix.row(block.first_row + r), words, block.cases.row(r));
}

void relabelBlocks(const RunParameters& params, const GenotypeStore& store, const std::vector<std::uint16_t>& labels,
                   BlockWorkingSet& set) {
  const SubjectSubset cases(labels, 1, true);
  SplitBlock* blocks[2] = {&set.block1, set.coincide ? nullptr : &set.block2()};
  for (SplitBlock* block : blocks) {
    if (block == nullptr) continue;
    rebuildCaseRows(params, store, cases, *block);
    if (params.missing()) continue;
    countCaseMargins(store.affected_amount, set.affected_int_amount, *block);
    if (params.epistasis() && !params.score() && params.reducedForms()) computeMarginFractions(*block);
  }
}

// The full passes rebuild the case side of both blocks.
void rescanEveryPair(ScanContext& ctx, ScanPath path, BlockCombination& combo, const std::vector<std::uint16_t>& labels,
                     std::uint64_t p, FastStatistics& approximations) {
  const RunParameters& params = ctx.params;
  relabelBlocks(params, ctx.store, labels, combo.set);
  if (path == ScanPath::Reference) {
    rescanReference(ctx, combo, p);
  } else if (params.minP()) {
    rescanCarriedPairs(ctx, combo, p);
  } else {
    rescanScreenChain(ctx, combo, p, approximations);
  }
}

// Whether the fast path rescans this combination by its kept pairs.
bool rescansKeptPairs(const RunParameters& params, ScanPath path, FastRescan rescan, const BlockWorkingSet& set,
                      const TopVector& top_vect_block) {
  if (path == ScanPath::Reference) return false;
  const bool carried_screen = params.epistasis() && !params.score();
  if (!carried_screen || rescan == FastRescan::KeptPairs) return true;
  return rescan == FastRescan::ByCost && KeptPairRescan::pays(params, set, top_vect_block);
}

}  // namespace

void runPermutations(ScanContext& ctx, ScanPath path, FastRescan rescan, BlockCombination& combo) {
  const RunParameters& params = ctx.params;
  const BlockWorkingSet& set = combo.set;
  const std::uint64_t P = params.permutationParam;
  TraitShuffler shuffler(params.randomParam, ctx.store.binary_diagnostic_vect);
  std::optional<KeptPairRescan> kept_rescan;
  std::optional<FastStatistics> approximations;
  std::optional<FastStatistics> fwer_approximations;
  if (params.fwerOption && path == ScanPath::Fast) {
    fwer_approximations.emplace(params, ctx.store.total_amount, ctx.store.affected_amount, ctx.simd.vectors);
  }
  if (rescansKeptPairs(params, path, rescan, set, combo.top_vect_block)) {
    kept_rescan.emplace(ctx, combo);
  } else {
    approximations.emplace(params, ctx.store.total_amount, ctx.store.affected_amount, ctx.simd.vectors);
  }

  for (std::uint64_t p = 1; p <= P; ++p) {
    const std::time_t now_perm = std::time(nullptr);
    console().print("INFO PERMUTATION TIME:\n-->Started permutation #%" PRIu64 " out of %" PRIu64
                    " of data block %" PRIu64 " out of %" PRIu64 " on %s",
                    p, P, set.K, ctx.blocks.Kend, std::ctime(&now_perm));
    if (p == 2) reportPermutationEstimate(P, ctx.blocks.Kend - set.K, now_perm, combo.start_time);

    shuffler.shuffle();
    if (kept_rescan) {
      kept_rescan->run(p, shuffler.labels());
    } else {
      rescanEveryPair(ctx, path, combo, shuffler.labels(), p, *approximations);
    }
    if (params.fwerOption) {
      // The kept-pair rescan rebuilds only the case rows it reads; the
      // genome-wide pass reads them all.
      if (kept_rescan) kept_rescan->completeCaseSide();
      if (path == ScanPath::Reference) {
        fwerReferencePass(ctx, combo, p);
      } else {
        fwerFastPass(ctx, combo, *fwer_approximations, p);
      }
    }
    ctx.progress.advance(combinationPairs(ctx.blocks, set.K));
  }
}

}  // namespace dyadmill
