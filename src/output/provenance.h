// Provenance lines of partial result files.
//
// A worker's partial file begins with one line starting '#' that records
// everything the assembly must agree with: the format version, the process
// count and number, the block count as given and as used, the mode options,
// -m, -t, the permutation count, the seed, whether the run collects the
// genome-wide extremes (--fwer), the SNP and subject counts, a fingerprint
// of the scanned SNP names, a fingerprint of the genotype data as read
// (content_hash.h) and, when the run selected SNPs, subjects or
// pairs, a fingerprint of each list and the filter values. It ends with one line
// starting '#' that holds the number of pair lines, so that a truncated file
// is told from a complete one, and a hash of everything in between, so that
// an edited, reordered or shortened file whose count was adjusted is told
// too (files written before the hash was added end in the count alone). The
// pair lines in between keep their format.
// With --fwer the pair lines are followed by one more '#' line holding the
// worker's extreme of every permutation (fwer.h).
//
// Version 2 added the fwer field and line. Version 1 files come from a
// release whose degrees of freedom differ, so they are read only as a
// whole set, and never with --fwer; lines of version 1 have no fwer field.
// The data field came later within version 2: a line without it is read,
// its fingerprint absent, and the assembly decides what that means.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_parameters.h"
#include "selection.h"

struct XXH3_state_s;

namespace dyadmill {

// The version this program writes.
constexpr std::uint64_t kPartialFormatVersion = 2;

struct Provenance {
  std::uint64_t version = kPartialFormatVersion;
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
  bool fwerOption = false;  // the file carries a fwer line (version 2 on)
  std::uint64_t snpAmount = 0;
  std::uint64_t subjectAmount = 0;
  std::uint64_t snpNamesFingerprint = 0;
  // XXH3 of the genotype data's bytes; absent in lines written before the
  // field existed.
  std::optional<std::uint64_t> dataFingerprint;
  // What the run selected (selection.h), option name without dashes to its
  // value: a list's fingerprint, the chromosome list, a filter threshold.
  // Written only for the options given, so files of runs without them keep
  // their form.
  std::map<std::string, std::string> selection;
};

// The selection options a provenance line can carry, in the line's order.
inline constexpr const char* kSelectionKeys[] = {"extract", "exclude", "chr", "keep", "remove",
                                                 "set1",    "set2",    "maf", "geno"};

// 64-bit FNV-1a over the names, each followed by a line feed (so that
// "ab","c" and "a","bc" differ).
std::uint64_t snpNamesFingerprint(const std::vector<std::string>& names);

// The provenance of a run from its parameters (-b as given), the block count
// in use and the genotype file's names and subject count.
Provenance provenanceOf(const RunParameters& params, std::uint64_t blocks_used, const std::vector<std::string>& names,
                        std::uint64_t subjects);

// The selection entries of a provenance for `params` and the lists read.
std::map<std::string, std::string> selectionProvenance(const RunParameters& params, const SelectionLists& lists);

// "xxh3:<16 hex digits>", as the provenance line and the messages write it.
std::string dataFingerprintText(std::uint64_t fingerprint);

// "# dyadmill-partial v2 n=.. p=.. ... snp_names=fnv1a64:<16 hex digits>
// [data=xxh3:<16 hex digits>] [selection]" + LF
std::string formatProvenanceLine(const Provenance& p);
// "# pairs=<count> hash=xxh3:<16 hex digits>" + LF: the count, and the
// content hash of every byte between the provenance line and this line.
std::string formatPairCountLine(std::uint64_t pairs, std::uint64_t content_hash);
// "# fwer=<v1>,<v2>,...,<vP>" + LF, each value in the shortest text that
// reads back to the same double.
std::string formatFwerLine(const std::vector<double>& extremes);

// Lines that are not pair lines begin with '#'.
inline bool isProvenanceLine(std::string_view line) {
  return !line.empty() && line.front() == '#';
}

// The format version a first line names: 1 or 2, or 0 when it is not a
// provenance line of a version this program reads.
std::uint64_t provenanceVersion(std::string_view line);

// Reads a first line. False, with the reason in `problem`, when it is not a
// complete provenance line of a known version.
bool parseProvenanceLine(std::string_view line, Provenance& p, std::string& problem);
// Reads a last line; false when it is not a pair count. `content_hash` is
// left empty for a line without a hash (files written before it was added).
bool parsePairCountLine(std::string_view line, std::uint64_t& pairs, std::optional<std::uint64_t>& content_hash);

// XXH3 (64 bits) of the bytes a partial file holds between its provenance
// line and its pair-count line, fed in file order. It is meant to catch
// edits, deletions and reordering of pair lines that still read as valid
// ones; it is no protection against someone who rewrites the hash as well.
class ContentHash {
 public:
  ContentHash();
  ~ContentHash();
  ContentHash(const ContentHash&) = delete;
  ContentHash& operator=(const ContentHash&) = delete;
  void add(std::string_view bytes);
  // The hash of everything added so far; more may be added afterwards.
  std::uint64_t value() const;

 private:
  XXH3_state_s* state_;
};

// Whether a '#' line is meant as the fwer line (its first word is "fwer=...").
bool isFwerLine(std::string_view line);
// Reads the values of a fwer line. False, with the reason in `problem`, when
// one of them is not a number; the values are not judged otherwise.
bool parseFwerLine(std::string_view line, std::vector<double>& values, std::string& problem);

// The first field in which `found` (from a file) differs from `expected`,
// with both values as text, ready for a message.
struct ProvenanceMismatch {
  std::string field;
  std::string found;
  std::string expected;
  bool of_input = false;  // `expected` comes from the genotype file, not from an option
};

// Compares every field except the subject count (the assembly does not read
// the subjects) and, unless `compare_seed`, the seed. The data fingerprints
// are compared last, when both lines have one; a line that lacks it is left
// to the caller.
std::optional<ProvenanceMismatch> compareProvenance(const Provenance& found, const Provenance& expected,
                                                    bool compare_seed);

}  // namespace dyadmill
