// Subject counts kept for every pair of a block combination, at the width
// the run needs: 16 bits while the run's subjects fit (so such runs keep the
// memory they always had), 32 bits beyond. The width is fixed when the store
// is sized; every count reads back as the number stored.
#pragma once

#include <cstdint>
#include <vector>

#include "genotype_store.h"
#include "zeroed_array.h"

namespace dyadmill {

// Largest subject amount whose counts the narrow width holds.
inline constexpr std::uint64_t kNarrowCountLimit = 65535;

class PairCountStore {
 public:
  // `size` counts, all 0; wide when `subjects` exceeds the narrow limit.
  void assign(std::uint64_t size, std::uint64_t subjects);

  bool empty() const { return narrow_.empty() && wide_values_.empty(); }
  std::uint64_t size() const { return wide_ ? wide_values_.size() : narrow_.size(); }
  bool wide() const { return wide_; }

  SubjectCount operator[](std::uint64_t k) const { return wide_ ? wide_values_[k] : narrow_[k]; }

  // Counts k .. k + n - 1 from `values`, and back into `out`.
  template <typename Value>
  void write(std::uint64_t k, const Value* values, unsigned n) {
    if (wide_) {
      for (unsigned m = 0; m < n; ++m) wide_values_[k + m] = static_cast<std::uint32_t>(values[m]);
    } else {
      for (unsigned m = 0; m < n; ++m) narrow_[k + m] = static_cast<std::uint16_t>(values[m]);
    }
  }
  template <typename Value>
  void read(std::uint64_t k, unsigned n, Value* out) const {
    if (wide_) {
      for (unsigned m = 0; m < n; ++m) out[m] = static_cast<Value>(wide_values_[k + m]);
    } else {
      for (unsigned m = 0; m < n; ++m) out[m] = static_cast<Value>(narrow_[k + m]);
    }
  }

 private:
  bool wide_ = false;
  ZeroedArray<std::uint16_t> narrow_;
  ZeroedArray<std::uint32_t> wide_values_;
};

}  // namespace dyadmill
