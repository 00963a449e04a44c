// Stage output: the final stage (permutation p-values, results file, table,
// NAME.fwer), partial files and their provenance, output checks, and the set
// of outputs committed together. Uses permute and what it uses.
//
// The final stage: permutation p-values (maxT or minP step-down), the
// permutation matrix files and the results file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PairTallier.h"
#include "genotype_store.h"
#include "outcome.h"
#include "output_set.h"
#include "results_table.h"
#include "run_parameters.h"

namespace dyadmill {

// Sorts `top_vect` (by statistic, largest first, under maxT; by raw p-value,
// smallest first, under minP: with pairs of different degrees of freedom
// the two orders differ), adds the permutation matrix file(s) of
// the working directory to `outputs` and returns one exceedance counter per
// pair (the adjusted p-value is counter / P). The permutation values are
// replaced by their successive maxima (maxT) or minima (minP).
std::vector<std::uint64_t> permutationPValues(const RunParameters& params, const std::vector<std::string>& snp_names,
                                              TopVector& top_vect, OutputSet& outputs);

// Adds the results file `outFile` + ".txt" to `outputs`.
void writeResultsFile(const RunParameters& params, const std::vector<std::string>& snp_names, const TopVector& top_vect,
                      const std::vector<std::uint64_t>& p_vect, OutputSet& outputs);

// Both steps, then the annotated table when it was asked for (`loci` gives
// its chromosome and position columns); then commits every file together:
// an error when any failed. `fwer` holds the run's per-permutation extremes
// with --fwer (see fwer.h) and is empty otherwise; with --fwer the stage
// also writes NAME.fwer and the table's P_FWER column, and prints the
// genome-wide 5 % threshold once the files are in place. `genotypes` is the
// run's genotype store: with --cells the table's cell columns are counted
// from it ("NA" without one), and with pair sets the table's P_BONF counts
// the pairs between the sets.
Outcome runFinalStage(const RunParameters& params, const std::vector<std::string>& snp_names, TopVector& top_vect,
                      const SnpLoci& loci = {}, const std::vector<double>& fwer = {},
                      const GenotypeStore* genotypes = nullptr);

}  // namespace dyadmill
