#include "kept_rescan.h"

#include <algorithm>

#include "chi_square.h"
#include "rescan_common.h"

namespace dyadmill {

namespace {

// Kept pairs cost more each than a pair of the full pass but share the
// pairs before them when dense. On 300 SNPs x 2000 subjects x 99
// permutations (dyadmill-scan-bench with and without --rescan kept) the
// kept pairs won with 7 % and 21 % of the pairs kept under maxT and 12 % and
// 23 % under minP, and lost with 55-58 % kept under both; the full pass is
// taken from a third on.
constexpr std::uint64_t kPairsPerKeptPair = 3;

bool carriesCutoff(const RunParameters& params) {
  return params.epistasis() && !params.score();
}

}  // namespace

bool KeptPairRescan::pays(const RunParameters& params, const BlockWorkingSet& set, const TopVector& top_vect_block) {
  if (!carriesCutoff(params)) return true;
  std::uint64_t pairs = 0;
  for (std::uint64_t i = 0; i < set.firstSnpEnd(); ++i) pairs += set.block2().snp_amount - set.firstPartner(i);
  // A kept pair costs a few exact statistics (its own, and those of the
  // one or two free pairs before it), where the full pass screens a pair
  // eight at a time under maxT and scores it exactly under minP.
  return top_vect_block.size() * kPairsPerKeptPair <= pairs;
}

KeptPairRescan::KeptPairRescan(const ScanInputs& in, const RescanTarget& target)
    : params_(in.params),
      scorer_(target.scorer),
      set_(target.set),
      stores_(target.stores),
      top_vect_block_(target.top_vect_block),
      chain_(carriesCutoff(in.params)),
      rows_(in.params, in.store, target.set, in.simd),
      pairs_(*this),
      resolver_(in.params.minP(), pairs_),
      scores_(*this) {
  if (chain_) {
    kept_positions_.reserve(top_vect_block_.size());
    for (const TestStat2DObject& kept : top_vect_block_) kept_positions_.push_back(positionOf(kept));
  }
}

std::uint64_t KeptPairRescan::Pairs::positions() const {
  return owner_.set_.block1.snp_amount * owner_.stores_.columns;
}

bool KeptPairRescan::Pairs::kept(std::uint64_t position) const {
  return std::binary_search(owner_.kept_positions_.begin(), owner_.kept_positions_.end(), position);
}

std::uint64_t KeptPairRescan::positionOf(const TestStat2DObject& kept) const {
  return (kept.i - set_.block1.first_snp) * stores_.columns + (kept.j - set_.block2().first_snp);
}

const PairTable& KeptPairRescan::table(std::uint64_t position) {
  if (position != table_position_) {
    const std::uint64_t i = position / stores_.columns;
    const std::uint64_t j = position % stores_.columns;
    CountedCells counted;
    rows_.countCases(i, j, counted);
    stores_.load(position, table_);
    scorer_.completePermutedCases(i, j, counted, table_);
    table_position_ = position;
  }
  return table_;
}

double KeptPairRescan::Scores::ksa(std::uint64_t position) {
  const PairTable& t = owner_.table(position);
  const std::uint64_t columns = owner_.stores_.columns;
  return owner_.scorer_.ksa(position / columns, position % columns, t);
}

double KeptPairRescan::Scores::ipf(std::uint64_t position) {
  const PairTable& t = owner_.table(position);
  const std::uint64_t columns = owner_.stores_.columns;
  return owner_.scorer_.ipf(position / columns, position % columns, t);
}

void KeptPairRescan::run(std::uint64_t p, const std::vector<std::uint16_t>& labels, double& carried) {
  rows_.relabel(labels);
  table_position_ = ~std::uint64_t{0};
  if (chain_) {
    resolveKeptPairs(p, carried);
  } else {
    rescoreKeptPairs(p);
  }
}

// Without a cut-off carried from pair to pair (association, or the epistasis
// score test), a pair that is not kept leaves no trace: only the kept pairs
// are scored.
void KeptPairRescan::rescoreKeptPairs(std::uint64_t p) {
  for (TestStat2DObject& kept : top_vect_block_) {
    const std::uint64_t position = positionOf(kept);
    const std::uint64_t i = position / stores_.columns;
    const std::uint64_t j = position % stores_.columns;
    const double statistic = scorer_.statistic(i, j, table(position), 0.0);
    kept.permutValues[p - 1] = keptValue(params_, statistic, kept.DegFreedom);
  }
}

void KeptPairRescan::resolveKeptPairs(std::uint64_t p, double& carried) {
  const RunParameters& params = params_;
  // maxT: the first pairs meet the threshold; minP: the critical values at
  // the p-value carried in from the previous combination.
  const double start = params.minP() ? carried : static_cast<double>(params.thresholdParam);
  resolver_.startPermutation(start, scores_);
  for (TestStat2DObject& kept : top_vect_block_) {
    const std::uint64_t position = positionOf(kept);
    kept.permutValues[p - 1] = keptValue(params, resolver_.value(position), kept.DegFreedom);
  }
  double carried_out = 0.0;
  if (params.minP() && resolver_.carriedOut(carried_out)) carried = carried_out;
}

}  // namespace dyadmill
