// The annotated results table: NAME.tsv beside the results file NAME.txt,
// one line per kept pair in the results file's order, with each SNP's
// chromosome and position, the statistic and its degrees of freedom, its
// p-value, the Bonferroni-adjusted p-value over all SNP pairs, with
// permutations the step-down permutation p-value and, with --fwer, the
// genome-wide permutation p-value, and with --cells the pair's case and
// control cells. Meant to be read by other programs:
// tab-separated, one header line, numbers in the shortest text that reads
// back to the same double, "NA" where a value is unknown.
//
// Also the file of genome-wide extremes NAME.fwer beside it (--fwer).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "PairTallier.h"
#include "outcome.h"
#include "pair_cells.h"
#include "run_parameters.h"

namespace dyadmill {

// Chromosome and position of every SNP (as written in the map), or empty
// spans when the input carries no map.
struct SnpLoci {
  std::span<const std::string> chromosomes;
  std::span<const std::string> positions;
};

// The table's file name for the output base name (-o).
std::string resultsTablePath(const std::string& out_base);

// Shortest round-trip text of a double ("inf" for infinity).
std::string roundTripText(double value);

class OutputSet;

// Adds the table to the run's output set (committed with the other files);
// `p_vect` holds the exceedance counters of the final stage (unused without
// permutations), `fwer` the run's extremes of every permutation (used with
// --fwer only), `cells` the cells of every pair of `top_vect`, in its order
// (used with --cells only: columns CASE_CELLS and CONTROL_CELLS, each
// "n00,n01,n02,n10,...,n22", first digit the level of SNP1; "NA" for a pair
// without cells). P_BONF multiplies by `tested_pairs`, the pairs the run
// tested (0: every pair of the SNPs).
void writeResultsTable(const RunParameters& params, const std::string& path, const std::vector<std::string>& snp_names,
                       const SnpLoci& loci, const TopVector& top_vect, const std::vector<std::uint64_t>& p_vect,
                       OutputSet& outputs, const std::vector<double>& fwer = {},
                       const std::vector<PairCells>& cells = {}, std::uint64_t tested_pairs = 0);

// The extremes file's name for the output base name (-o).
std::string fwerFilePath(const std::string& out_base);

// Adds NAME.fwer to the run's output set: a header "PERM<TAB>MAX_STAT"
// (maxT) or "PERM<TAB>MIN_P" (minP), then "k<TAB>value" for k = 1..P.
void writeFwerFile(const RunParameters& params, const std::string& path, const std::vector<double>& fwer,
                   OutputSet& outputs);

}  // namespace dyadmill
