#include "pair_count_store.h"

namespace dyadmill {

void PairCountStore::assign(std::uint64_t size, std::uint64_t subjects) {
  wide_ = subjects > kNarrowCountLimit;
  narrow_.assign(0);
  wide_values_.assign(0);
  if (wide_) {
    wide_values_.assign(size);
  } else {
    narrow_.assign(size);
  }
}

}  // namespace dyadmill
