// The backward resolution of the carried KSA cut-off against the forward
// chain it replaces, on synthetic sequences built to make the cut-offs
// straddle: KSA and IPF values close together, runs of kept pairs, pairs
// with df 0 between them, and starts that decide the first pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "chi_square.h"
#include "kept_chain.h"

namespace dyadmill::testing {
namespace {

struct Sequence {
  std::vector<std::uint16_t> df;
  std::vector<bool> kept;
  std::vector<double> ksa;
  std::vector<double> ipf;
};

class SequenceScores : public ChainScores {
 public:
  explicit SequenceScores(const Sequence& s) : s_(s) {}
  double ksa(std::uint64_t position) override {
    EXPECT_NE(s_.df[position], 0u) << "KSA asked for an unscored position " << position;
    ++calls;
    return s_.ksa[position];
  }
  double ipf(std::uint64_t position) override {
    EXPECT_NE(s_.df[position], 0u) << "IPF asked for an unscored position " << position;
    ++calls;
    return s_.ipf[position];
  }
  std::uint64_t calls = 0;

 private:
  const Sequence& s_;
};

class SequencePairs : public ChainPairs {
 public:
  explicit SequencePairs(const Sequence& s) : s_(s) {}
  std::uint64_t positions() const override { return s_.df.size(); }
  std::uint16_t df(std::uint64_t position) const override {
    ++df_calls;
    return s_.df[position];
  }
  bool kept(std::uint64_t position) const override { return s_.kept[position]; }
  mutable std::uint64_t df_calls = 0;

 private:
  const Sequence& s_;
};

// The chain as the full rescan carries it, pair after pair.
struct Forward {
  std::vector<double> values;  // per position; NaN where not scored
  bool carried_out = false;
  double carried = 0.0;
};

Forward forwardChain(const Sequence& s, bool minP, double start) {
  Forward f;
  f.values.assign(s.df.size(), std::numeric_limits<double>::quiet_NaN());
  bool have_free = false;
  double last_value = 0.0;
  std::uint16_t last_df = 0;
  for (std::size_t k = 0; k < s.df.size(); ++k) {
    const std::uint16_t df = s.df[k];
    if (df == 0) continue;
    double cutoff;
    if (!minP) {
      cutoff = have_free ? last_value : start;
    } else {
      cutoff = upperTailCriticalValue(df, have_free ? upperTailPValue(last_value, last_df) : start);
    }
    const double v = s.ksa[k] > cutoff ? s.ipf[k] : s.ksa[k];
    f.values[k] = v;
    if (!s.kept[k]) {
      have_free = true;
      last_value = v;
      last_df = df;
    }
  }
  f.carried_out = have_free;
  if (have_free) f.carried = minP ? upperTailPValue(last_value, last_df) : last_value;
  return f;
}

Sequence randomSequence(std::mt19937_64& rng, std::size_t n, double kept_share, double df0_share) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Sequence s;
  for (std::size_t k = 0; k < n; ++k) {
    const bool scored = unit(rng) >= df0_share;
    s.df.push_back(scored ? static_cast<std::uint16_t>(1 + rng() % 4) : 0);
    s.kept.push_back(scored && unit(rng) < kept_share);
    // Values on a coarse grid, so that ties and near-ties with the next
    // pair's KSA value are common; now and then a slightly negative value
    // or a NaN, as the likelihood-ratio forms can give.
    double ksa = std::round(unit(rng) * 40.0) / 4.0;
    double ipf = ksa + std::round((unit(rng) - 0.5) * 8.0) / 4.0;
    if (unit(rng) < 0.03) ksa = -1e-12;
    if (unit(rng) < 0.02) ipf = std::numeric_limits<double>::quiet_NaN();
    s.ksa.push_back(ksa);
    s.ipf.push_back(ipf);
  }
  return s;
}

void expectSameValue(double expected, double got, const std::string& what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(got)) << what;
  } else {
    EXPECT_EQ(expected, got) << what;
  }
}

// Every kept pair's value and the carried value, against the forward chain,
// under maxT and minP, for many seeds and densities; the kept pairs are
// asked for in scan order and, with the same resolver, in reverse order;
// every other seed with memos small enough to be emptied again and again.
TEST(KeptChain, ResolvesEveryKeptPairAsTheForwardChain) {
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    std::mt19937_64 rng(seed);
    const double kept_share = std::array<double, 5>{0.0, 0.05, 0.3, 0.7, 1.0}[seed % 5];
    const double df0_share = std::array<double, 3>{0.0, 0.2, 0.6}[seed % 3];
    const Sequence s = randomSequence(rng, 1 + rng() % 60, kept_share, df0_share);
    for (bool minP : {false, true}) {
      // maxT starts from the threshold; minP from a carried p-value.
      const double start = minP ? std::array<double, 3>{1e-4, 0.3, 1.0}[seed % 3] : static_cast<double>(seed % 9);
      const Forward f = forwardChain(s, minP, start);
      // The second resolver forgets what it worked out every few entries.
      const SequencePairs pairs(s);
      KeptChain chain(minP, pairs, seed % 2 == 0 ? KeptChain::kMemoLimit : 3);
      SequenceScores scores(s);
      for (int order = 0; order < 2; ++order) {
        chain.startPermutation(start, scores);
        std::vector<std::size_t> positions;
        for (std::size_t k = 0; k < s.df.size(); ++k) {
          if (s.kept[k]) positions.push_back(k);
        }
        if (order == 1) std::reverse(positions.begin(), positions.end());
        const std::string what = "seed " + std::to_string(seed) + (minP ? " minP" : " maxT");
        for (std::size_t k : positions)
          expectSameValue(f.values[k], chain.value(k), what + " kept " + std::to_string(k));
        double carried = -7.0;
        ASSERT_EQ(chain.carriedOut(carried), f.carried_out) << what;
        if (f.carried_out) expectSameValue(f.carried, carried, what + " carried");
      }
    }
  }
}

// A free pair's value itself (the minP carry needs the last one), for
// every scored position, free or kept.
TEST(KeptChain, ResolvesAnyScoredPairOnDemand) {
  for (std::uint64_t seed = 1; seed <= 100; ++seed) {
    std::mt19937_64 rng(seed * 7919);
    const Sequence s = randomSequence(rng, 40, 0.4, 0.2);
    for (bool minP : {false, true}) {
      const Forward f = forwardChain(s, minP, minP ? 0.05 : 4.0);
      const SequencePairs pairs(s);
      KeptChain chain(minP, pairs);
      SequenceScores scores(s);
      chain.startPermutation(minP ? 0.05 : 4.0, scores);
      for (std::size_t k = s.df.size(); k-- > 0;) {
        if (s.df[k] != 0) expectSameValue(f.values[k], chain.value(k), "seed " + std::to_string(seed));
      }
    }
  }
}

// With few kept pairs among many, the resolver asks for a handful of
// statistics per kept pair, not for every pair: that is the point of it.
// Nor does it ask for the df of every pair, which may cost a count each.
TEST(KeptChain, AsksForFewStatisticsWhenFewPairsAreKept) {
  std::mt19937_64 rng(42);
  Sequence s = randomSequence(rng, 20000, 0.0, 0.1);
  for (std::size_t k = 500; k < s.df.size(); k += 2000) s.kept[k] = s.df[k] != 0;
  const Forward f = forwardChain(s, false, 30.0);
  const SequencePairs pairs(s);
  KeptChain chain(false, pairs);
  SequenceScores scores(s);
  chain.startPermutation(30.0, scores);
  std::size_t kept = 0;
  for (std::size_t k = 0; k < s.df.size(); ++k) {
    if (!s.kept[k]) continue;
    ++kept;
    expectSameValue(f.values[k], chain.value(k), "kept " + std::to_string(k));
  }
  ASSERT_GT(kept, 5u);
  EXPECT_LT(scores.calls, 40 * kept);
  EXPECT_LT(pairs.df_calls, 40 * kept);
}

}  // namespace
}  // namespace dyadmill::testing
