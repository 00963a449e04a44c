#include "kept_chain.h"

#include "chi_square.h"

namespace dyadmill {

KeptChain::KeptChain(bool minP, const ChainPairs& pairs, std::size_t memo_limit)
    : minP_(minP), memo_limit_(memo_limit), pairs_(pairs) {}

std::uint16_t KeptChain::dfOf(std::uint64_t position) {
  if (const auto cached = df_.find(position); cached != df_.end()) return cached->second;
  if (df_.size() > memo_limit_) df_.clear();
  const std::uint16_t df = pairs_.df(position);
  df_.emplace(position, df);
  return df;
}

void KeptChain::startPermutation(double start, ChainScores& scores) {
  start_ = start;
  scores_ = &scores;
  known_.clear();
}

std::uint64_t KeptChain::previousFree(std::uint64_t position) {
  if (const auto cached = previous_.find(position); cached != previous_.end()) return cached->second;
  std::uint64_t found = kNone;
  for (std::uint64_t q = position; q-- > 0;) {
    if (dfOf(q) == 0) continue;
    if (!pairs_.kept(q)) {
      found = q;
      break;
    }
    // Nothing free lies between a kept pair and `position`, so the pair
    // shares its answer: a run of kept pairs is walked once, not once per
    // pair.
    if (const auto cached = previous_.find(q); cached != previous_.end()) {
      found = cached->second;
      break;
    }
  }
  if (previous_.size() > memo_limit_) previous_.clear();
  previous_[position] = found;
  return found;
}

double KeptChain::ksaOf(std::uint64_t position) {
  Known& k = known(position);
  if (!k.has_ksa) {
    k.ksa = scores_->ksa(position);
    k.has_ksa = true;
  }
  return k.ksa;
}

double KeptChain::ipfOf(std::uint64_t position) {
  Known& k = known(position);
  if (!k.has_ipf) {
    k.ipf = scores_->ipf(position);
    k.has_ipf = true;
  }
  return k.ipf;
}

double KeptChain::startCutoff(std::uint16_t df) const {
  return minP_ ? upperTailCriticalValue(df, start_) : start_;
}

double KeptChain::cutoffAfter(std::uint64_t free, bool ipf, std::uint16_t df) {
  const double value = ipf ? ipfOf(free) : ksaOf(free);
  if (!minP_) return value;
  Known& k = known(free);
  bool& has = ipf ? k.has_ipf_pvalue : k.has_ksa_pvalue;
  double& pvalue = ipf ? k.ipf_pvalue : k.ksa_pvalue;
  if (!has) {
    pvalue = upperTailPValue(value, dfOf(free));
    has = true;
  }
  return upperTailCriticalValue(df, pvalue);
}

bool KeptChain::settle(std::uint64_t position, double x, std::uint64_t free, bool& above) {
  const std::uint16_t df = dfOf(position);
  if (free == kNone) {
    above = x > startCutoff(df);
    return true;
  }
  const signed char chosen = known(free).ipf_chosen;
  if (chosen >= 0) {
    above = x > cutoffAfter(free, chosen != 0, df);
    return true;
  }
  // The free pair's choice matters only when x lies between the cut-offs
  // its two possible values would set.
  const bool after_ksa = x > cutoffAfter(free, false, df);
  const bool after_ipf = x > cutoffAfter(free, true, df);
  above = after_ksa;
  return after_ksa == after_ipf;
}

bool KeptChain::exceedsCutoff(std::uint64_t position, double x) {
  // Walks back while the answer depends on a free pair's choice, then
  // settles the pending comparisons from the innermost one outwards. Each
  // pending comparison waits for the choice of the free pair right before
  // it, which is the position settled just before it is taken up again.
  pending_.clear();
  bool above = false;
  for (;;) {
    const std::uint64_t free = previousFree(position);
    if (settle(position, x, free, above)) break;
    pending_.emplace_back(position, x);
    position = free;
    x = ksaOf(free);
  }
  while (!pending_.empty()) {
    const std::uint64_t free = position;
    known(free).ipf_chosen = above ? 1 : 0;
    position = pending_.back().first;
    x = pending_.back().second;
    pending_.pop_back();
    above = x > cutoffAfter(free, known(free).ipf_chosen != 0, dfOf(position));
  }
  return above;
}

double KeptChain::value(std::uint64_t position) {
  if (known_.size() > memo_limit_) known_.clear();
  const bool above = exceedsCutoff(position, ksaOf(position));
  known(position).ipf_chosen = above ? 1 : 0;
  return above ? ipfOf(position) : ksaOf(position);
}

bool KeptChain::carriedOut(double& carried) {
  const std::uint64_t last = previousFree(pairs_.positions());
  if (last == kNone) return false;
  const double v = value(last);
  carried = minP_ ? upperTailPValue(v, dfOf(last)) : v;
  return true;
}

}  // namespace dyadmill
