// Provenance lines of partial result files.
//
// A worker's partial file begins with one line starting '#' that records
// everything the assembly must agree with: the format version, the process
// count and number, the block count as given and as used, the mode options,
// -m, -t, the permutation count, the seed, the SNP and subject counts and a
// fingerprint of the genotype file's SNP names. It ends with one line
// starting '#' that holds the number of pair lines, so that a truncated file
// is told from a complete one. The pair lines in between keep their format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_parameters.h"

namespace dyadmill {

struct Provenance {
  std::uint64_t version = 1;
  std::uint64_t processAmount = 0;
  std::uint64_t processID = 0;
  std::uint64_t blocksGiven = 0;  // -b as given; 0 = automatic
  std::uint64_t blocksUsed = 0;   // the block count the scan used
  std::int32_t hypothesisOption = 0;
  std::int32_t testTypeOption = 0;
  std::int32_t algoOption = 0;
  std::int32_t missingGenoOption = 1;
  std::int32_t minGroupSizeParam = 1;
  float thresholdParam = 0.0f;
  std::uint64_t permutationParam = 0;
  std::uint64_t randomParam = 0;
  std::uint64_t snpAmount = 0;
  std::uint64_t subjectAmount = 0;
  std::uint64_t snpNamesFingerprint = 0;
};

// 64-bit FNV-1a over the names, each followed by a line feed (so that
// "ab","c" and "a","bc" differ).
std::uint64_t snpNamesFingerprint(const std::vector<std::string>& names);

// The provenance of a run from its parameters (blockAmount as used), the
// block count as given and the genotype file's names and subject count.
Provenance provenanceOf(const RunParameters& params, std::uint64_t blocks_given, const std::vector<std::string>& names,
                        std::uint64_t subjects);

// "# dyadmill-partial v1 n=.. p=.. ... snp_names=fnv1a64:<16 hex digits>" + LF
std::string formatProvenanceLine(const Provenance& p);
// "# pairs=<count>" + LF
std::string formatPairCountLine(std::uint64_t pairs);

// Lines that are not pair lines begin with '#'.
inline bool isProvenanceLine(std::string_view line) {
  return !line.empty() && line.front() == '#';
}

// Reads a first line. False, with the reason in `problem`, when it is not a
// complete provenance line of a known version.
bool parseProvenanceLine(std::string_view line, Provenance& p, std::string& problem);
// Reads a last line; false when it is not a pair count.
bool parsePairCountLine(std::string_view line, std::uint64_t& pairs);

// The first field in which `found` (from a file) differs from `expected`,
// with both values as text, ready for a message.
struct ProvenanceMismatch {
  std::string field;
  std::string found;
  std::string expected;
};

// Compares every field except the subject count (the assembly does not read
// the subjects) and, unless `compare_seed`, the seed.
std::optional<ProvenanceMismatch> compareProvenance(const Provenance& found, const Provenance& expected,
                                                    bool compare_seed);

}  // namespace dyadmill
