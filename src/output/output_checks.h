// Checks of the output files made before any genotype is read, so that a
// run that could not keep its results fails in seconds instead of after a
// scan of hours, and never overwrites its own input.
#pragma once

#include <string>
#include <vector>

#include "outcome.h"
#include "run_parameters.h"

namespace dyadmill {

// The files of this run's results: the partial file of a scanning process
// of a multi-process run; otherwise the results file, the table when asked
// for, the extremes file with --fwer, and the permutation matrix files of
// the working folder.
std::vector<std::string> resultFiles(const RunParameters& params);

// Every file this run will write: its result files and its log (none for a
// --check-partial run, which writes nothing).
std::vector<std::string> plannedOutputFiles(const RunParameters& params);

// Every file the run reads its genotypes from (the three files of a
// fileset, or the one text file).
std::vector<std::string> inputFiles(const RunParameters& params);

// Stops when an output file is one of the input files under whatever name,
// or when a folder an output goes into does not take a new file.
Outcome checkOutputFiles(const RunParameters& params);

}  // namespace dyadmill
