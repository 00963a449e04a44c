#include "threads.h"

#include <sched.h>

#include <algorithm>
#include <vector>

namespace dyadmill {

std::uint16_t availableCpus() {
  // The mask may be larger than the default cpu_set_t on big machines:
  // grow it until the kernel accepts the size.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    std::vector<unsigned char> storage(size);
    auto* mask = reinterpret_cast<cpu_set_t*>(storage.data());
    if (::sched_getaffinity(0, size, mask) == 0) {
      const int count = CPU_COUNT_S(size, mask);
      return static_cast<std::uint16_t>(std::clamp<int>(count, 1, kMaxThreads));
    }
  }
  return 1;
}

int teamSize(std::uint16_t threads, std::uint64_t tasks) {
  return static_cast<int>(std::clamp<std::uint64_t>(tasks, 1, std::max<std::uint16_t>(threads, 1)));
}

std::uint16_t workerThreads(const RunParameters& params) {
  return params.threadParam != 0 ? params.threadParam : availableCpus();
}

}  // namespace dyadmill
