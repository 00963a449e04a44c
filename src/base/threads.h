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

}  // namespace dyadmill
