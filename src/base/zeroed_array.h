// A fixed-size array of zeros whose filling the run's threads share: the
// per-pair stores of a block combination run to many megabytes, and both
// the zeroing and the first touch of their pages would otherwise fall to
// one thread while the others wait.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "threads.h"

namespace dyadmill {

template <typename T>
class ZeroedArray {
 public:
  // `size` zeros; what was held before is released first.
  void assign(std::uint64_t size) {
    data_.reset();
    size_ = 0;
    if (size == 0) return;
    data_ = std::make_unique_for_overwrite<T[]>(size);
    size_ = size;
    constexpr std::uint64_t kChunk = std::uint64_t{1} << 16;
    const std::uint64_t chunks = (size + kChunk - 1) / kChunk;
    forEachIndex(chunks, chunks > 1, [&](std::uint64_t c) {
      const std::uint64_t begin = c * kChunk;
      std::memset(data_.get() + begin, 0, (std::min(size, begin + kChunk) - begin) * sizeof(T));
    });
  }

  std::uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::uint64_t k) { return data_[k]; }
  const T& operator[](std::uint64_t k) const { return data_[k]; }

 private:
  std::unique_ptr<T[]> data_;
  std::uint64_t size_ = 0;
};

}  // namespace dyadmill
