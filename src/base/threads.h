// How many worker threads a run uses.
#pragma once

#include <cstdint>

#include "run_parameters.h"

namespace dyadmill {

// The CPUs this process may run on: its affinity mask, which is what a
// cluster scheduler or `taskset` granted, not the machine's core count.
// At least 1, at most kMaxThreads.
std::uint16_t availableCpus();

// The run's worker threads: --threads when given, otherwise availableCpus().
std::uint16_t workerThreads(const RunParameters& params);

// The threads of a team for `tasks` pieces of work: no more than there are
// pieces, and at least one.
int teamSize(std::uint16_t threads, std::uint64_t tasks);

// body(k) for k = 0 .. n - 1, independent pieces: shared by the run's
// threads when `worth_threads`, else run by the calling thread without
// entering a parallel region at all, whose start and end cost system calls
// even with a team of one (a run of many small blocks makes millions).
// Guided rather than static shares: the CPUs of a shared machine need not
// run at one speed, and an even split waits for the slowest.
template <typename Body>
void forEachIndex(std::uint64_t n, bool worth_threads, Body&& body) {
  if (!worth_threads) {
    for (std::uint64_t k = 0; k < n; ++k) body(k);
    return;
  }
#pragma omp parallel for schedule(guided)
  for (std::uint64_t k = 0; k < n; ++k) body(k);
}

}  // namespace dyadmill
