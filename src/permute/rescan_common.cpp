#include "rescan_common.h"

#include "chi_square.h"

namespace dyadmill {

CarriedScreen::CarriedScreen(const RunParameters& params, std::uint16_t maxdf, double carried)
    : params_(params), critical_(maxdf + 1u), carried_(carried) {
  threshold_KSA_ = params_.score() ? 0.0 : static_cast<double>(params_.thresholdParam);
}

double CarriedScreen::thresholdFor(std::uint16_t df) {
  if (!params_.epistasis() || params_.score()) return params_.minP() ? 0.0 : threshold_KSA_;
  if (!params_.minP()) return threshold_KSA_;
  Critical& c = critical_[df];
  if (c.generation != generation_) {
    c.value = upperTailCriticalValue(df, carriedValue());
    c.generation = generation_;
  }
  return c.value;
}

void CarriedScreen::notKept(double statistic, std::uint16_t df) {
  if (params_.minP()) {
    pending_statistic_ = statistic;
    pending_df_ = df;
    pending_ = true;
    ++generation_;
    return;
  }
  carried_ = statistic;
  if (params_.epistasis() && !params_.score()) threshold_KSA_ = statistic;
}

double CarriedScreen::carriedValue() {
  if (pending_) {
    carried_ = upperTailPValue(pending_statistic_, pending_df_);
    pending_ = false;
  }
  return carried_;
}

// Walks the kept pairs (in scan order) from `cursor` to the pair (gi, gj);
// returns it, or nullptr when it is not a kept pair.
TestStat2DObject* matchKeptPair(TopVector& top_vect_block, std::uint64_t& cursor, std::uint64_t gi, std::uint64_t gj) {
  while (cursor < top_vect_block.size()) {
    TestStat2DObject& entry = top_vect_block[cursor];
    if (entry.i < gi || (entry.i == gi && entry.j < gj)) {
      ++cursor;
    } else if (entry.i == gi && entry.j == gj) {
      ++cursor;
      return &entry;
    } else {
      break;
    }
  }
  return nullptr;
}

double keptValue(const RunParameters& params, double statistic, std::uint16_t df) {
  return params.minP() ? upperTailPValue(statistic, df) : statistic;
}

}  // namespace dyadmill
