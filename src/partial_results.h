// Partial result files of multi-process runs: each scanning process writes
// its kept pairs, and the assembly run (process 0) reads them all back.
//
// Line format, one kept pair per line:
//   i SP j SP statistic SP df SP { SP value }* LF
// i, j: SNP indices; statistic: %.20g; df: integer; then the permutation
// values, each in the shortest text that reads back to the same double. A
// line with no permutation values therefore ends in "df " and the first
// value follows two spaces. Readers split at runs of spaces and tabs, skip
// empty lines and ignore values beyond the run's permutation count.
#pragma once

#include <cstdint>
#include <string>

#include "PairTallier.h"
#include "outcome.h"
#include "run_parameters.h"

namespace dyadmill {

// outFile + "_partial" + process number + ".txt"
std::string partialFileName(const std::string& outFile, std::uint64_t process);

// One line of the file, line feed included.
std::string formatPartialLine(const TestStat2DObject& pair);

// Writes this worker's kept pairs. The size guard refuses (exit status 1)
// when the estimate exceeds `size_limit_mb` megabytes.
Outcome writePartialFile(const RunParameters& params, const TopVector& top_vect, double size_limit_mb = 700.0);

// Reads the partial files of processes 1 .. processAmount, in order, into
// `top_vect`. Indices must name SNPs of a genotype file of `snp_amount` SNPs.
Outcome assemblePartialFiles(const RunParameters& params, std::uint64_t snp_amount, TopVector& top_vect);

}  // namespace dyadmill
