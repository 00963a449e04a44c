#include "permutation.h"

#include <omp.h>

#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
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
  initstate_r(static_cast<unsigned>(seed), state_, sizeof(state_), &generator_);
}

void TraitShuffler::shuffle() {
  for (std::size_t g = 1; g < labels_.size(); ++g) {
    std::int32_t draw = 0;
    random_r(&generator_, &draw);
    const std::size_t temp2 = static_cast<std::size_t>(draw) % (g + 1);
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

bool carriesCutoff(const RunParameters& params) {
  return params.epistasis() && !params.score();
}

}  // namespace

bool storesEveryPairUpFront(const RunParameters& params, ScanPath path, FastRescan rescan) {
  if (params.permutationParam == 0) return true;  // nothing is stored either way
  return path == ScanPath::Reference || params.fwerOption ||
         (rescan == FastRescan::FullPasses && carriesCutoff(params));
}

bool carriesAcrossCombinations(const RunParameters& params) {
  return params.minP() && carriesCutoff(params);
}

namespace {

// Whether the fast path rescans this combination by its kept pairs.
bool rescansKeptPairs(const RunParameters& params, ScanPath path, FastRescan rescan, const BlockWorkingSet& set,
                      const TopVector& top_vect_block) {
  if (path == ScanPath::Reference) return false;
  if (!carriesCutoff(params) || rescan == FastRescan::KeptPairs) return true;
  return rescan == FastRescan::ByCost && KeptPairRescan::pays(params, set, top_vect_block);
}

// One thread's share of the permutations of a combination: its own copy of
// the working set (the first thread relabels the combination's), the
// scorer over it, and the rescan objects that work on it.
class PermutationLane {
 public:
  // `own_copy`: the lane relabels a copy of the combination's working set,
  // made for lazy relabelling when `case_side` (rescans by the kept pairs).
  PermutationLane(const ScanInputs& in, ScanPath path, bool kept_pairs, BlockCombination& combo, bool own_copy,
                  bool case_side)
      : in_(in),
        path_(path),
        copy_(!own_copy   ? nullptr
              : case_side ? std::make_unique<BlockWorkingSet>(copyForLazyRelabelling(combo.set))
                          : std::make_unique<BlockWorkingSet>(combo.set)),
        set_(copy_ ? *copy_ : combo.set),
        scorer_(in.params, in.store, set_),
        target_{set_, scorer_, combo.stores, combo.thresholds, combo.top_vect_block} {
    const RunParameters& params = in.params;
    if (params.fwerOption && path == ScanPath::Fast) {
      fwer_approximations_.emplace(params, in.store.total_amount, in.store.affected_amount, in.simd.vectors);
    }
    if (kept_pairs) {
      kept_rescan_.emplace(in, target_);
    } else {
      approximations_.emplace(params, in.store.total_amount, in.store.affected_amount, in.simd.vectors);
    }
  }

  // Permutation p under `labels`: each kept pair's value, the value carried
  // to the next combination, and with --fwer the permutation's extreme.
  void run(std::uint64_t p, const std::vector<std::uint16_t>& labels, double& carried, double* extreme) {
    const RunParameters& params = in_.params;
    if (kept_rescan_) {
      kept_rescan_->run(p, labels, carried);
    } else {
      // The full passes rebuild the case side of both blocks.
      relabelBlocks(params, in_.store, labels, set_);
      if (path_ == ScanPath::Reference) {
        rescanReference(params, target_, p, carried);
      } else if (params.minP()) {
        rescanCarriedPairs(in_, target_, p, carried);
      } else {
        rescanScreenChain(in_, target_, p, *approximations_);
      }
    }
    if (extreme == nullptr) return;
    // The kept-pair rescan rebuilds only the case rows it reads; the
    // genome-wide pass reads them all.
    if (kept_rescan_) kept_rescan_->completeCaseSide();
    if (path_ == ScanPath::Reference) {
      fwerReferencePass(params, target_, *extreme);
    } else {
      fwerFastPass(in_, target_, *fwer_approximations_, *extreme);
    }
  }

 private:
  const ScanInputs& in_;
  const ScanPath path_;
  std::unique_ptr<BlockWorkingSet> copy_;
  BlockWorkingSet& set_;
  const PairScorer scorer_;
  const RescanTarget target_;
  std::optional<KeptPairRescan> kept_rescan_;
  std::optional<FastStatistics> approximations_;
  std::optional<FastStatistics> fwer_approximations_;
};

}  // namespace

// Relabellings drawn ahead per thread: enough that the wait at the end of
// each round is short next to the round.
constexpr std::uint64_t kPermutationsPerThreadAndRound = 32;

// The relabellings of the whole run are kept, rather than drawn again for
// every combination, while they take at most this much memory.
std::uint64_t relabelling_budget_bytes = kDefaultRelabellingBudget;

// Draws every permutation's labels once, in order, when they fit the budget;
// true when ctx.relabellings holds them.
bool keepRelabellings(ScanContext& ctx) {
  const std::uint64_t P = ctx.params.permutationParam;
  const std::vector<std::uint16_t>& labels = ctx.store.binary_diagnostic_vect;
  if (P * labels.size() * sizeof(std::uint16_t) > relabelling_budget_bytes) return false;
  if (ctx.relabellings.size() == P) return true;
  TraitShuffler shuffler(ctx.params.randomParam, labels);
  ctx.relabellings.resize(P);
  for (std::vector<std::uint16_t>& relabelling : ctx.relabellings) {
    shuffler.shuffle();
    relabelling = shuffler.labels();
  }
  return true;
}

void setRelabellingBudget(std::uint64_t bytes) {
  relabelling_budget_bytes = bytes;
}

namespace {

// One line per combination: a line per permutation would bury the rest of
// the console (and the log) under thousands of them.
void reportPermutationsDone(ScanContext& ctx, std::uint64_t K) {
  const std::uint64_t P = ctx.params.permutationParam;
  ctx.permutations_done += P;
  console().print("INFO: Permutations of block combination %" PRIu64 " out of %" PRIu64 ": %" PRIu64 " done\n", K + 1,
                  ctx.blocks.Kend, P);
}

}  // namespace

void runPermutations(ScanContext& ctx, ScanPath path, FastRescan rescan, BlockCombination& combo) {
  const RunParameters& params = ctx.params;
  const std::uint64_t P = params.permutationParam;
  const std::uint64_t K = combo.set.K;
  if (combo.top_vect_block.empty() && !params.fwerOption && !carriesAcrossCombinations(params)) {
    // Nothing reads a rescan of a combination without kept pairs, unless a
    // value is carried on or --fwer takes every pair: the console and the
    // progress line go as if the permutations had run, and nothing else.
    if (P >= 2) reportPermutationEstimate(P, ctx.blocks.Kend - K, std::time(nullptr), combo.start_time);
    const std::uint64_t pairs = combinationPairs(ctx.blocks, K);
    ctx.progress.advance(pairs != 0 && P > ~std::uint64_t{0} / pairs ? ~std::uint64_t{0} : P * pairs);
    reportPermutationsDone(ctx, K);
    return;
  }
  const bool kept_pairs = rescansKeptPairs(params, path, rescan, combo.set, combo.top_vect_block);
  const bool kept_relabellings = keepRelabellings(ctx);
  // Stores left to this point take the layout of the rescan: entries for the
  // kept pairs alone (the rest counted again when the cut-off chain asks for
  // them) or, where the full passes win, for every pair.
  if (combo.stores.deferred()) {
    if (kept_pairs) {
      combo.stores.countKeptPairs(params, ctx.store.total_amount, combo.scorer, combo.top_vect_block);
    } else {
      combo.stores.countEveryPair(params, ctx.store.total_amount, combo.scorer);
    }
  }
  // The kept-pairs layout counts over the combination's working set, which
  // must then keep its own labels: every thread relabels a copy.
  const bool copy_for_first = !combo.stores.everyPair();
  // Drawn per combination only when the run's relabellings are not kept.
  std::optional<TraitShuffler> shuffler;
  if (!kept_relabellings) shuffler.emplace(params.randomParam, ctx.store.binary_diagnostic_vect);
  const int threads = teamSize(ctx.threads, P);
  const std::uint64_t round = std::min<std::uint64_t>(P, kPermutationsPerThreadAndRound * threads);
  const std::uint64_t rounds = (P + round - 1) / round;
  // Round r's relabellings live in labels[r % 2] while round r + 1's are drawn.
  std::vector<std::vector<std::uint16_t>> labels[2] = {std::vector<std::vector<std::uint16_t>>(round),
                                                       std::vector<std::vector<std::uint16_t>>(round)};
  std::mutex failure_mutex;
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  auto fail = [&]() {
    const std::lock_guard<std::mutex> lock(failure_mutex);
    if (!failure) failure = std::current_exception();
    failed = true;
  };
  // Draws the relabellings of round r, in order, as a run with one thread
  // does; the estimate of the whole phase comes with the second.
  auto draw = [&](std::uint64_t r) {
    try {
      const std::uint64_t first = r * round + 1;
      for (std::uint64_t p = first; p <= std::min(P, first + round - 1); ++p) {
        if (p == 2) reportPermutationEstimate(P, ctx.blocks.Kend - K, std::time(nullptr), combo.start_time);
        if (kept_relabellings) continue;
        shuffler->shuffle();
        labels[r % 2][p - first] = shuffler->labels();
      }
    } catch (...) {
      fail();
    }
  };
#pragma omp parallel num_threads(threads)
  {
    std::optional<PermutationLane> lane;
    try {
      lane.emplace(ctx, path, kept_pairs, combo, copy_for_first || omp_get_thread_num() != 0, copy_for_first);
    } catch (...) {
      fail();
    }
    // The barrier at its end also keeps every copy of the working set ahead
    // of the first relabelling of the combination's own.
#pragma omp single
    draw(0);
    for (std::uint64_t r = 0; r < rounds; ++r) {
      // One thread draws the next round while the others start on this
      // one; it joins them when done. Each permutation writes only its own
      // values.
      if (r + 1 < rounds) {
#pragma omp single nowait
        draw(r + 1);
      }
      const std::uint64_t first = r * round + 1;
      const std::uint64_t last = std::min(P, first + round - 1);
#pragma omp for schedule(dynamic, 1)
      for (std::uint64_t p = first; p <= last; ++p) {
        if (failed.load(std::memory_order_relaxed)) continue;
        try {
          // Only the minP screen reads what a permutation carries over.
          double unused = 0.0;
          double& carried = ctx.current_max.empty() ? unused : ctx.current_max[p - 1];
          lane->run(p, kept_relabellings ? ctx.relabellings[p - 1] : labels[r % 2][p - first], carried,
                    params.fwerOption ? &ctx.fwer[p - 1] : nullptr);
        } catch (...) {
          fail();
        }
      }
      // Not beside the next draw: both write to the terminal.
#pragma omp single
      {
        for (std::uint64_t p = first; p <= last; ++p) ctx.progress.advance(combinationPairs(ctx.blocks, K));
      }
    }
  }
  if (failure) std::rethrow_exception(failure);
  reportPermutationsDone(ctx, K);
}

}  // namespace dyadmill
