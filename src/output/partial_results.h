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
//
// The pair lines stand between a provenance line and a pair-count line
// (provenance.h). With --fwer a line "# fwer=<v1>,...,<vP>" comes between the
// last pair line and the pair count: the worker's extreme of each
// permutation (fwer.h), in the shortest text that reads back to the same
// double. The assembly checks all of these against its own options and the
// genotype file, and every pair against the worker's share and the
// threshold.
//
// This program writes format v2. A set of v1 files (a release with other
// degrees of freedom) is still assembled as it stands, but not with --fwer
// and not together with v2 files; --check-partial refuses a v1 file, since
// it could not join the files its worker would write now. Files of an even
// earlier version, without these lines, are still read as a whole set, with
// a warning that they cannot be checked.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "PairTallier.h"
#include "outcome.h"
#include "provenance.h"
#include "run_parameters.h"
#include "set_layout.h"

namespace dyadmill {

// outFile + "_partial" + process number + ".txt"
std::string partialFileName(const std::string& outFile, std::uint64_t process);

// One line of the file, line feed included.
std::string formatPartialLine(const TestStat2DObject& pair);

// Writes this worker's kept pairs between its provenance line and the pair
// count. The size guard refuses (exit status 1) when the estimate exceeds
// `size_limit_mb` megabytes.
// `fwer`: this worker's per-permutation extremes with --fwer, else empty.
Outcome writePartialFile(const RunParameters& params, const Provenance& provenance, const TopVector& top_vect,
                         const std::vector<double>& fwer = {}, double size_limit_mb = 700.0);

// Reads the partial files of processes first .. last (0: processAmount), in
// order, into `top_vect`, checking each against `params` and the genotype
// file's SNP names. With `require_provenance` a file of an earlier version
// (no provenance lines) is refused instead of read with a warning.
// With --fwer, `fwer` receives the run's per-permutation extremes combined
// over the files (see fwer.h); otherwise it is left empty. `expect` holds
// what the files must agree with beyond the options and the SNP names.
struct AssemblyExpectations {
  SetLayout layout;                              // with pair sets: the run's combinations
  std::map<std::string, std::string> selection;  // what the provenance records of the selection options
  std::uint64_t subjects = 0;  // the genotype file's subject count when the assembly read it; 0 = not read
  // The fingerprint of the genotype data (content_hash.h). When given, a
  // file of the current format must record the same one; a file that
  // records none was written by an earlier version and is refused, since it
  // cannot be checked. Files of format v1 and earlier never record one and
  // are read with a warning.
  std::optional<std::uint64_t> data_fingerprint;
};
Outcome assemblePartialFiles(const RunParameters& params, const std::vector<std::string>& snp_names,
                             TopVector& top_vect, std::vector<double>& fwer, std::uint64_t first = 1,
                             std::uint64_t last = 0, bool require_provenance = false,
                             const AssemblyExpectations& expect = {});

}  // namespace dyadmill
