// The final stage: permutation p-values (maxT or minP step-down), the
// permutation matrix files and the results file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PairTallier.h"
#include "outcome.h"
#include "results_table.h"
#include "run_parameters.h"

namespace dyadmill {

// Sorts `top_vect` by significance, writes the permutation matrix file(s)
// into the working directory and returns one exceedance counter per pair
// (the adjusted p-value is counter / P). The permutation values are replaced
// by their successive maxima (maxT) or minima (minP). `matrix_files_ok`
// turns false when a matrix file could not be written.
std::vector<std::uint64_t> permutationPValues(const RunParameters& params, const std::vector<std::string>& snp_names,
                                              TopVector& top_vect, bool& matrix_files_ok);

// Writes the results file `outFile` + ".txt" (outFile is extended).
Outcome writeResultsFile(RunParameters& params, const std::vector<std::string>& snp_names, const TopVector& top_vect,
                         const std::vector<std::uint64_t>& p_vect);

// Both steps, then the annotated table when it was asked for (`loci` gives
// its chromosome and position columns); the run's exit status is an error
// when any file failed.
Outcome runFinalStage(RunParameters& params, const std::vector<std::string>& snp_names, TopVector& top_vect,
                      const SnpLoci& loci = {});

}  // namespace dyadmill
