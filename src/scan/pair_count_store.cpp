#include "pair_count_store.h"

namespace dyadmill {

void PairCountStore::assign(std::uint64_t size, std::uint64_t subjects) {
  wide_ = subjects > kNarrowCountLimit;
  narrow_.clear();
  wide_values_.clear();
  if (wide_) {
    wide_values_.assign(size, 0);
  } else {
    narrow_.assign(size, 0);
  }
}

}  // namespace dyadmill
