// The screening cut-off of the epistasis likelihood-ratio rescan, resolved
// backwards from the pairs whose values are needed instead of carried
// forward through every pair.
//
// In one permutation, every scored pair (df > 0) meets a KSA cut-off: a
// pair's value is its IPF statistic when its KSA statistic is greater than
// the cut-off, its KSA statistic otherwise. The cut-off comes from the
// latest scored pair before it that is not kept ("free"), or from the start
// of the permutation when there is none: under maxT it is that pair's value,
// under minP the critical value at the pair's own df of that pair's p-value.
// Kept pairs pass the cut-off on unchanged. So a free pair's value is one of
// two numbers, and whether it matters to a later pair is settled by trying
// both: only when the later KSA value falls between the two cut-offs must
// the free pair's own choice be resolved, one pair further back.
//
// The resolver knows pairs only as positions in scan order; it never sees a
// table. The statistics come through ChainScores, and every comparison uses
// the same doubles and the same p-value and critical-value calls as the
// forward chain, so the values come out bit for bit the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace dyadmill {

// The exact statistics of the current permutation, by position.
class ChainScores {
 public:
  virtual double ksa(std::uint64_t position) = 0;
  virtual double ipf(std::uint64_t position) = 0;

 protected:
  ~ChainScores() = default;
};

// What does not change with the permutation: how many positions there are,
// each one's degrees of freedom (0: not scored) and whether it is kept.
// df may cost a count of the pair's table; the resolver keeps its answers.
class ChainPairs {
 public:
  virtual std::uint64_t positions() const = 0;
  virtual std::uint16_t df(std::uint64_t position) const = 0;
  virtual bool kept(std::uint64_t position) const = 0;

 protected:
  ~ChainPairs() = default;
};

class KeptChain {
 public:
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};

  // The memos are emptied when they grow past this many entries: they only
  // save work (everything in them can be worked out again), and kept pairs
  // are resolved in scan order, so the entries that matter are recent ones.
  // This bounds their memory where a third of a combination's pairs are kept.
  static constexpr std::size_t kMemoLimit = std::size_t{1} << 16;

  // `pairs` must outlive the resolver. `minP` chooses the cut-off rule.
  // `memo_limit`: see kMemoLimit.
  KeptChain(bool minP, const ChainPairs& pairs, std::size_t memo_limit = kMemoLimit);

  // Starts a permutation. `start` is the cut-off the first pairs meet under
  // maxT, and the p-value carried in under minP.
  void startPermutation(double start, ChainScores& scores);

  // The value of the scored pair at `position` in this permutation: its IPF
  // statistic when its KSA statistic exceeds the cut-off it meets.
  double value(std::uint64_t position);

  // What the chain carries out of the permutation: the value of the last
  // free pair (maxT) or its p-value (minP). False when no pair is free.
  bool carriedOut(double& carried);

  // The latest free position before `position`, or kNone. Which positions
  // are free does not change with the permutation, so answers are kept.
  std::uint64_t previousFree(std::uint64_t position);

 private:
  struct Known {
    double ksa = 0.0;
    double ipf = 0.0;
    double ksa_pvalue = 0.0;  // minP: p-values at the pair's df, once asked for
    double ipf_pvalue = 0.0;
    bool has_ksa = false;
    bool has_ipf = false;
    bool has_ksa_pvalue = false;
    bool has_ipf_pvalue = false;
    signed char ipf_chosen = -1;  // -1 unknown, else whether the value is the IPF statistic
  };

  Known& known(std::uint64_t position) { return known_[position]; }
  std::uint16_t dfOf(std::uint64_t position);
  double ksaOf(std::uint64_t position);
  double ipfOf(std::uint64_t position);
  // The cut-off met by a pair with `df` degrees of freedom right after the
  // free pair `free`, taking that pair's KSA or IPF statistic as its value.
  double cutoffAfter(std::uint64_t free, bool ipf, std::uint16_t df);
  double startCutoff(std::uint16_t df) const;
  // Whether `x` exceeds the cut-off met by the pair at `position`.
  bool exceedsCutoff(std::uint64_t position, double x);
  // Settles the comparison from the free pair before it alone, when that
  // pair's choice is known or does not matter. False when undecided.
  bool settle(std::uint64_t position, double x, std::uint64_t free, bool& above);

  bool minP_;
  std::size_t memo_limit_;
  const ChainPairs& pairs_;
  double start_ = 0.0;
  ChainScores* scores_ = nullptr;
  std::unordered_map<std::uint64_t, Known> known_;             // this permutation's statistics and choices
  std::unordered_map<std::uint64_t, std::uint64_t> previous_;  // answers of previousFree
  std::unordered_map<std::uint64_t, std::uint16_t> df_;        // answers of pairs_.df
  std::vector<std::pair<std::uint64_t, double>> pending_;
};

}  // namespace dyadmill
