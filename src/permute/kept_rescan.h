// Permutation rescans whose cost follows the kept pairs: only the kept pairs
// are scored, and under the epistasis likelihood-ratio test, the few other
// pairs whose values decide the KSA cut-off a kept pair meets.
#pragma once

#include <cstdint>
#include <vector>

#include "kept_chain.h"
#include "lazy_case_rows.h"
#include "rescan_common.h"
#include "scan_types.h"

namespace dyadmill {

class KeptPairRescan {
 public:
  // Whether scoring the kept pairs of this combination beats a full pass
  // over all its pairs in every permutation. Without a carried cut-off
  // (association, or the score test) it always does.
  static bool pays(const RunParameters& params, const BlockWorkingSet& set, const TopVector& top_vect_block);

  // The target's working set is the scorer's: its case side is rebuilt SNP
  // by SNP as the kept pairs and the pairs before them are read.
  KeptPairRescan(const ScanInputs& in, const RescanTarget& target);

  // Permutation p under the trait labels `labels`: fills every kept pair's
  // value at p - 1 and, under minP, replaces `carried` (the value carried
  // in from the previous combination) with the value carried to the next.
  void run(std::uint64_t p, const std::vector<std::uint16_t>& labels, double& carried);

  // After run(): the case side of every SNP of both blocks under the same
  // labels, for a pass that reads every pair.
  void completeCaseSide() { rows_.ensureAll(); }

 private:
  // Positions, df and kept pairs of the combination, for the resolver.
  class Pairs : public ChainPairs {
   public:
    explicit Pairs(const KeptPairRescan& owner) : owner_(owner) {}
    std::uint64_t positions() const override;
    std::uint16_t df(std::uint64_t position) const override { return owner_.stores_.df(position); }
    bool kept(std::uint64_t position) const override;

   private:
    const KeptPairRescan& owner_;
  };

  class Scores : public ChainScores {
   public:
    explicit Scores(KeptPairRescan& owner) : owner_(owner) {}
    double ksa(std::uint64_t position) override;
    double ipf(std::uint64_t position) override;

   private:
    KeptPairRescan& owner_;
  };

  // The permuted case table of the pair at `position` (i * columns + j).
  const PairTable& table(std::uint64_t position);
  std::uint64_t positionOf(const TestStat2DObject& kept) const;
  void rescoreKeptPairs(std::uint64_t p);
  void resolveKeptPairs(std::uint64_t p, double& carried);

  const RunParameters& params_;
  const PairScorer& scorer_;
  const BlockWorkingSet& set_;
  const PairStores& stores_;
  TopVector& top_vect_block_;
  bool chain_;  // epistasis likelihood ratio: the cut-off is carried
  LazyCaseRows rows_;
  std::vector<std::uint64_t> kept_positions_;  // ascending: the kept pairs are in scan order
  Pairs pairs_;
  KeptChain resolver_;
  Scores scores_;
  PairTable table_;
  std::uint64_t table_position_ = ~std::uint64_t{0};
};

}  // namespace dyadmill
