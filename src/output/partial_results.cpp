#include "partial_results.h"

#include <boost/lexical_cast/try_lexical_convert.hpp>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <optional>
#include <unordered_set>
#include <vector>

#include <sys/stat.h>

#include "blocks.h"
#include "console.h"
#include "fields.h"
#include "fwer.h"
#include "input_errors.h"
#include "number_fields.h"
#include "output_set.h"
#include "run_log.h"

namespace dyadmill {

namespace {

const std::string kStars(74, '*');

// Unsigned fields must not carry a sign: the conversion would wrap "-1".
template <typename T>
bool convertUnsigned(const std::string& field, T& value) {
  return parseWholeInteger<T>(field, 0, std::numeric_limits<T>::max(), Sign::None, value);
}

Outcome fileError(const std::string& file, const std::string& problem) {
  console().print("ERROR: Partial output file %s %s\n", file.c_str(), problem.c_str());
  return Outcome::stop(kExitError);
}

std::string number(double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

// What the assembly knows before it reads a file, and what it has seen.
struct AssemblyState {
  explicit AssemblyState(const RunParameters& p) : params(p) {}
  const RunParameters& params;
  std::uint64_t snp_amount = 0;
  std::uint64_t blocks = 0;                      // the block count in use, for the shares
  std::optional<CombinationIndex> combinations;  // which combination holds a pair
  std::uint64_t subjects = 0;                    // the genotype file's subjects, when read; 0 = not read
  Provenance expected;                           // processID is set per file
  bool compare_seed = false;                     // the seed matters and this run was given one
  bool with_provenance = false;                  // the files carry provenance lines
  bool check_shares = false;
  std::vector<double>* fwer = nullptr;  // with --fwer: the extremes combined so far
  std::optional<Provenance> first;      // provenance of the first file read, for cross-file checks
  std::string first_name;
  std::unordered_set<std::uint64_t> pairs_seen;  // i * snp_amount + j
  // The first file read whose last line holds a content hash, and the first
  // whose last line holds none: workers of one run write the same form.
  std::string hashed_name;
  std::string unhashed_name;
};

struct FileState {
  std::string name;
  std::uint64_t process = 0;
  ProcessShare share;
  std::uint64_t pair_lines = 0;
  bool count_line_seen = false;
  std::uint64_t recorded_pairs = 0;
  std::optional<std::uint64_t> recorded_hash;  // from the pair-count line, when it holds one
  ContentHash content;                         // the bytes between the provenance and pair-count lines
  bool fwer_expected = false;                  // its provenance line records fwer=1
  bool fwer_seen = false;
};

// Applies the reading rule to the fields of one non-empty line. The count of
// permutation values is checked before any is stored, so that a huge
// --permutations cannot ask for memory a line does not justify.
Outcome readPairFields(const RunParameters& params, const std::string& file, std::uint64_t line_number,
                       const std::vector<std::string>& fields, TestStat2DObject& pair) {
  const std::uint64_t n_tokens = fields.size();
  if (n_tokens < 4) {
    return inputLineError(file, line_number,
                          "expected at least 4 fields (SNP index, SNP index, statistic, degrees of freedom), found " +
                              std::to_string(n_tokens));
  }
  if (!convertUnsigned(fields[0], pair.i)) {
    return inputLineError(file, line_number, "field 1 (\"" + fields[0] + "\") is not a SNP index");
  }
  if (!convertUnsigned(fields[1], pair.j)) {
    return inputLineError(file, line_number, "field 2 (\"" + fields[1] + "\") is not a SNP index");
  }
  if (!boost::conversion::try_lexical_convert(fields[2], pair.testStatValue)) {
    return inputLineError(file, line_number, "field 3 (\"" + fields[2] + "\") is not a number");
  }
  if (!convertUnsigned(fields[3], pair.DegFreedom)) {
    return inputLineError(file, line_number, "field 4 (\"" + fields[3] + "\") is not a number of degrees of freedom");
  }
  const std::uint64_t P = params.permutationParam;
  if (P > n_tokens - 4) {
    return inputLineError(file, line_number,
                          "partial file has less permutation values (" + std::to_string(n_tokens - 4) +
                              ") than specified (" + std::to_string(P) + "); give the assembly the workers' " +
                              "--permutations");
  }
  pair.permutValues.assign(P, 0.0);
  for (std::uint64_t p = 0; p < P; ++p) {
    if (!boost::conversion::try_lexical_convert(fields[4 + p], pair.permutValues[p])) {
      return inputLineError(file, line_number,
                            "field " + std::to_string(5 + p) + " (\"" + fields[4 + p] + "\") is not a number");
    }
  }
  return Outcome::proceed();
}

// A value the scan can produce: a p-value in [0, 1] under minP, a finite
// chi-square statistic (never below zero beyond rounding) under maxT.
bool plausibleValue(const RunParameters& params, double value) {
  if (params.minP()) return value >= 0.0 && value <= 1.0;
  return std::isfinite(value) && value > -1e-6;
}

// Checks what a line claims against what the scan can have written.
Outcome checkPair(AssemblyState& state, const FileState& file, std::uint64_t line_number,
                  const TestStat2DObject& pair) {
  const RunParameters& params = state.params;
  // The final stage prints pairs by name: an index outside the genotype
  // file means the partial file belongs to another data set.
  // With pair sets the SNPs are grouped, and a pair keeps its file order:
  // its first SNP may come later in the store.
  const bool ordered = state.combinations->listed() ? pair.i != pair.j : pair.i < pair.j;
  if (!ordered || pair.i >= state.snp_amount || pair.j >= state.snp_amount) {
    return inputLineError(file.name, line_number,
                          "the SNP pair (" + std::to_string(pair.i) + ", " + std::to_string(pair.j) +
                              ") does not exist in a genotype file of " + std::to_string(state.snp_amount) +
                              " SNPs; was the partial file made from another file?");
  }
  if (!plausibleValue(params, pair.testStatValue)) {
    return inputLineError(file.name, line_number,
                          std::string(params.minP() ? "raw p-value " : "statistic ") + number(pair.testStatValue) +
                              " is not a value the scan can keep");
  }
  const unsigned max_df = params.epistasis() ? 4 : 8;
  if (pair.DegFreedom < 1 || pair.DegFreedom > max_df) {
    return inputLineError(file.name, line_number,
                          std::to_string(pair.DegFreedom) + " degrees of freedom are outside the range 1 to " +
                              std::to_string(max_df) + " of this test");
  }
  for (std::size_t p = 0; p < pair.permutValues.size(); ++p) {
    if (!plausibleValue(params, pair.permutValues[p])) {
      return inputLineError(file.name, line_number,
                            "permutation value " + std::to_string(p + 1) + " (" + number(pair.permutValues[p]) +
                                ") is not a value the scan can produce");
    }
  }
  if (!state.pairs_seen.insert(pair.i * state.snp_amount + pair.j).second) {
    return inputLineError(file.name, line_number,
                          "the SNP pair (" + std::to_string(pair.i) + ", " + std::to_string(pair.j) +
                              ") was already read; a pair is kept by one process only, once");
  }
  if (!state.with_provenance) return Outcome::proceed();
  const double t = static_cast<double>(params.thresholdParam);
  if (params.minP() ? !(pair.testStatValue <= t) : !(pair.testStatValue > t)) {
    return inputLineError(file.name, line_number,
                          "the value " + number(pair.testStatValue) + " does not pass the threshold -t " + number(t));
  }
  if (!state.check_shares) return Outcome::proceed();
  const std::uint64_t K = state.combinations->of(pair.i, pair.j);
  if (K == state.combinations->combinations()) {
    return inputLineError(file.name, line_number,
                          "the SNP pair (" + std::to_string(pair.i) + ", " + std::to_string(pair.j) +
                              ") is not a pair between --set1 and --set2 of this run");
  }
  if (K < file.share.Kbegin || K >= file.share.Kend) {
    return inputLineError(file.name, line_number,
                          "the SNP pair (" + std::to_string(pair.i) + ", " + std::to_string(pair.j) +
                              ") lies in block combination " + std::to_string(K) + ", outside the share of process " +
                              std::to_string(file.process) + " (combinations " + std::to_string(file.share.Kbegin) +
                              " to " + std::to_string(file.share.Kend - 1) + ")");
  }
  return Outcome::proceed();
}

Outcome crossFileMismatch(const AssemblyState& state, const FileState& file, const char* field,
                          const std::string& found, const std::string& first) {
  return fileError(file.name, std::string("does not belong to the same run as ") + state.first_name + ": " + field +
                                  " is " + found + " in it but " + first + " in the other");
}

// The first line of a file of a checked set: its provenance must match this
// run and the files read before it.
Outcome checkProvenanceLine(AssemblyState& state, FileState& file, const std::string& line) {
  Provenance found;
  std::string problem;
  if (!parseProvenanceLine(line, found, problem)) return inputLineError(file.name, 1, problem);
  Provenance expected = state.expected;
  expected.processID = file.process;
  const auto m = compareProvenance(found, expected, state.compare_seed);
  auto refuse = [&] {
    return fileError(file.name, "does not belong to this run: " + m->field + " is " + m->found + " in the file but " +
                                    m->expected + (m->of_input ? " for " + state.params.inFile : " in this run"));
  };
  if (m && !m->of_input) return refuse();
  // Other data is reported by its subject count where that tells more.
  if (state.subjects != 0 && found.subjectAmount != state.subjects) {
    return fileError(file.name, "does not belong to this run: the number of subjects is " +
                                    std::to_string(found.subjectAmount) + " in the file but " +
                                    std::to_string(state.subjects) + " in the genotype file " + state.params.inFile);
  }
  if (m) return refuse();
  if (expected.dataFingerprint && !found.dataFingerprint) {
    // The SNP names agree, but the data behind them cannot be compared.
    if (found.version >= kPartialFormatVersion) {
      return fileError(file.name,
                       "records no fingerprint of the genotype data (its provenance line has no data= "
                       "field): it was written by an earlier version of dyadmill and cannot be checked "
                       "against " +
                           state.params.inFile + "; rerun worker " + std::to_string(file.process) +
                           " with this version");
    }
    console().print("WARNING: Partial output file %s (format v%" PRIu64
                    ") records no fingerprint of the genotype data: that it was made from %s cannot be checked\n",
                    file.name.c_str(), found.version, state.params.inFile.c_str());
  }
  file.fwer_expected = found.fwerOption;
  if (!state.first) {
    state.first = found;
    state.first_name = file.name;
    return Outcome::proceed();
  }
  if (found.subjectAmount != state.first->subjectAmount) {
    return crossFileMismatch(state, file, "the number of subjects", std::to_string(found.subjectAmount),
                             std::to_string(state.first->subjectAmount));
  }
  if (found.permutationParam > 0 && found.randomParam != state.first->randomParam) {
    return crossFileMismatch(state, file, "-r (seed)", std::to_string(static_cast<std::int64_t>(found.randomParam)),
                             std::to_string(static_cast<std::int64_t>(state.first->randomParam)));
  }
  return Outcome::proceed();
}

// A '#' line after the first: the pair count, which must come last.
Outcome readCountLine(FileState& file, std::uint64_t line_number, const std::string& line) {
  if (file.count_line_seen) {
    return inputLineError(file.name, line_number,
                          "a line starting with '#' after the pair-count line: was another file appended to this one?");
  }
  if (!parsePairCountLine(line, file.recorded_pairs, file.recorded_hash)) {
    return inputLineError(file.name, line_number, "a line starting with '#' that is not the pair-count line");
  }
  if (file.fwer_expected && !file.fwer_seen) {
    return inputLineError(file.name, line_number,
                          "the provenance line records fwer=1 but no fwer line comes before the pair-count line");
  }
  file.count_line_seen = true;
  return Outcome::proceed();
}

// The worker's extreme of every permutation: exactly one finite value per
// permutation, of a kind the scan can produce, folded into the run's.
Outcome readFwerLine(AssemblyState& state, FileState& file, std::uint64_t line_number, const std::string& line) {
  const RunParameters& params = state.params;
  if (!file.fwer_expected) {
    return inputLineError(file.name, line_number,
                          "a fwer line in a file whose provenance line records fwer=0 (made without --fwer)");
  }
  if (file.fwer_seen) return inputLineError(file.name, line_number, "a second fwer line");
  std::vector<double> values;
  std::string problem;
  if (!parseFwerLine(line, values, problem)) return inputLineError(file.name, line_number, problem);
  if (values.size() != params.permutationParam) {
    return inputLineError(file.name, line_number,
                          "the fwer line holds " + std::to_string(values.size()) + " values but --permutations is " +
                              std::to_string(params.permutationParam) + ": it needs one per permutation");
  }
  for (std::size_t k = 0; k < values.size(); ++k) {
    const double v = values[k];
    std::string wrong;
    if (!std::isfinite(v)) {
      wrong = "is not a finite number";
    } else if (params.minP() && !(v >= 0.0 && v <= 1.0)) {
      wrong = "is not a p-value in [0, 1]";
    } else if (!params.minP() && v < 0.0) {
      wrong = "is negative, which no largest statistic is";
    }
    if (!wrong.empty()) {
      return inputLineError(file.name, line_number,
                            "fwer value " + std::to_string(k + 1) + " (" + number(v) + ") " + wrong);
    }
  }
  file.fwer_seen = true;
  if (state.fwer != nullptr) fwerCombine(params, values, *state.fwer);
  return Outcome::proceed();
}

Outcome readLine(AssemblyState& state, FileState& file, std::uint64_t line_number, const std::string& line,
                 TopVector& top_vect) {
  if (line_number == 1 && state.with_provenance) {
    if (!isProvenanceLine(line)) {
      return fileError(file.name,
                       "has no provenance line although the other partial files of this run have one: it is "
                       "incomplete, or was written by an earlier version or another run");
    }
    return checkProvenanceLine(state, file, line);
  }
  if (isProvenanceLine(line)) {
    if (!state.with_provenance) {
      return inputLineError(file.name, line_number, "a line starting with '#' in a file without a provenance line");
    }
    if (!file.count_line_seen && isFwerLine(line)) return readFwerLine(state, file, line_number, line);
    return readCountLine(file, line_number, line);
  }
  if (file.count_line_seen) return inputLineError(file.name, line_number, "a pair line after the pair-count line");
  if (file.fwer_seen) {
    return inputLineError(file.name, line_number,
                          "a pair line after the fwer line, which comes after the last pair line");
  }
  const std::vector<std::string> fields = blankSeparatedFields(line);
  TestStat2DObject pair;
  if (Outcome o = readPairFields(state.params, file.name, line_number, fields, pair); o.stopped()) return o;
  if (Outcome o = checkPair(state, file, line_number, pair); o.stopped()) return o;
  ++file.pair_lines;
  top_vect.push_back(std::move(pair));
  return Outcome::proceed();
}

// A file whose pair-count line holds a hash must hash to it; one without
// (written before the hash was added) is read with a warning. Whether the
// set mixes both forms is judged once every file was read (checkHashForms).
Outcome checkContentHash(AssemblyState& state, const FileState& file) {
  if (file.recorded_hash) {
    if (state.hashed_name.empty()) state.hashed_name = file.name;
    if (*file.recorded_hash == file.content.value()) return Outcome::proceed();
    console().print(
        "ERROR: %s: its pair lines do not match the hash in its last line (edited or truncated?): rerun worker "
        "%" PRIu64 " (-p %" PRIu64 ") to write it again\n",
        file.name.c_str(), file.process, file.process);
    return Outcome::stop(kExitError);
  }
  if (state.unhashed_name.empty()) state.unhashed_name = file.name;
  console().print(
      "WARNING: Partial output file %s has no hash in its last line (it was written by an earlier version): "
      "edits of its pair lines cannot be detected\n",
      file.name.c_str());
  return Outcome::proceed();
}

// Workers of one run write the same form of last line: a file without a
// hash beside one with a hash had its last line rewritten (dropping the hash
// to escape the check) or comes from another version.
Outcome checkHashForms(const AssemblyState& state) {
  if (state.hashed_name.empty() || state.unhashed_name.empty()) return Outcome::proceed();
  return fileError(state.unhashed_name, "has no hash in its last line, but " + state.hashed_name +
                                            " of the same run has one: its last line was edited, or it was "
                                            "written by an earlier version (rerun its worker)");
}

Outcome readPartialFile(AssemblyState& state, std::uint64_t k, TopVector& top_vect) {
  FileState file;
  file.name = partialFileName(state.params.outFile, k);
  file.process = k;
  file.share = processShare(state.combinations->combinations(), state.params.processAmount, k);
  std::ifstream in(file.name, std::ios::binary);
  if (!in) {
    console().print("ERROR: Unable to open partial output file%" PRIu64 " %s\n", k, file.name.c_str());
    console().print("ERROR: Check that the output file name used to create partial files is the same\n");
    return Outcome::stop(kExitError);
  }
  console().print("\nINFO: Partial output file %s is being open \n", file.name.c_str());
  if (!state.with_provenance) {
    console().print(
        "WARNING: Partial output file %s has no provenance lines (it was written by an earlier version): the "
        "options, genotype file and completeness it was made with cannot be checked\n",
        file.name.c_str());
  }
  std::string line;
  std::uint64_t line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    const bool skipped = line.empty() && !(line_number == 1 && state.with_provenance);
    if (!skipped) {
      if (Outcome o = readLine(state, file, line_number, line, top_vect); o.stopped()) return o;
    }
    // Every byte between the provenance line and the pair-count line, as it
    // stands in the file: empty lines and carriage returns included.
    if (state.with_provenance && line_number > 1 && !file.count_line_seen) {
      file.content.add(line);
      if (!in.eof()) file.content.add("\n");
    }
  }
  if (in.bad()) return inputLineError(file.name, line_number + 1, "the file could not be read to its end");
  if (state.with_provenance && line_number == 0) {
    return fileError(file.name, "is empty: it has no provenance line (its worker did not finish?)");
  }
  if (state.with_provenance && !file.count_line_seen) {
    return fileError(file.name, "ends without its pair-count line: the file is truncated or its worker did not finish");
  }
  if (state.with_provenance && file.recorded_pairs != file.pair_lines) {
    return fileError(file.name, "holds " + std::to_string(file.pair_lines) + " pair lines but its last line records " +
                                    std::to_string(file.recorded_pairs));
  }
  if (state.with_provenance) {
    if (Outcome o = checkContentHash(state, file); o.stopped()) return o;
  }
  console().line("INFO: Done reading the partial file and generating the top vector");
  return Outcome::proceed();
}

// Opening a FIFO for reading waits for a writer, and a folder or a device
// reads as no partial file ever does: whatever is not a regular file is
// refused before it is opened. A name that does not exist is left to the
// reading, which says so.
Outcome checkRegularFile(const std::string& name) {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0 || S_ISREG(info.st_mode)) return Outcome::proceed();
  const char* kind = S_ISFIFO(info.st_mode)   ? "a FIFO (named pipe)"
                     : S_ISDIR(info.st_mode)  ? "a folder"
                     : S_ISCHR(info.st_mode)  ? "a character device"
                     : S_ISBLK(info.st_mode)  ? "a block device"
                     : S_ISSOCK(info.st_mode) ? "a socket"
                                              : "not a regular file";
  return fileError(name, std::string("is ") + kind +
                             ", not a regular file: the assembly reads only the files the workers wrote (check -o "
                             "and what lies under that name)");
}

// What a file's first line says of its format, looked at before any file
// of the set is read.
struct FileFormat {
  bool exists = false;
  bool provenance = false;    // the first line starts with '#'
  std::uint64_t version = 0;  // the format version it names; 0 = none known
};

FileFormat formatOf(const std::string& name) {
  FileFormat format;
  std::ifstream in(name, std::ios::binary);
  format.exists = static_cast<bool>(in);
  std::string line;
  if (format.exists && std::getline(in, line) && isProvenanceLine(line)) {
    format.provenance = true;
    format.version = provenanceVersion(line);
  }
  return format;
}

// Decides the set's format version from the first lines, and refuses sets
// that cannot be assembled as a whole: version 1 files beside current ones
// (their degrees of freedom differ), --fwer over files that hold no
// extremes, and a version 1 file checked alone (its worker would now write
// the current version, which could not join the others).
Outcome checkSetFormat(AssemblyState& state, std::uint64_t first, const std::vector<FileFormat>& formats,
                       bool require_provenance) {
  const std::string& out = state.params.outFile;
  std::uint64_t current = 0, old = 0, bare = 0;  // the first file of each kind, 0 = none
  for (std::size_t x = 0; x < formats.size(); ++x) {
    const std::uint64_t k = first + x;
    if (formats[x].version == kPartialFormatVersion && current == 0) current = k;
    if (formats[x].version == 1 && old == 0) old = k;
    if (formats[x].exists && !formats[x].provenance && bare == 0) bare = k;
  }
  state.expected.version = current == 0 && old != 0 ? 1 : kPartialFormatVersion;
  const std::string old_name = partialFileName(out, old);
  if (current != 0 && old != 0) {
    return fileError(old_name,
                     "does not belong to this run: it is in partial file format v1, written by an earlier "
                     "version, but " +
                         partialFileName(out, current) + " is in format v" + std::to_string(kPartialFormatVersion) +
                         "; the two versions give pairs other degrees of freedom, so one set cannot mix "
                         "them (rerun worker " +
                         std::to_string(old) + ")");
  }
  if (state.params.fwerOption && old != 0) {
    return fileError(old_name,
                     "is in partial file format v1, written by an earlier version, and holds no "
                     "genome-wide permutation extremes: --fwer needs the files of workers run with --fwer "
                     "by this version");
  }
  if (state.params.fwerOption && !state.with_provenance && bare != 0) {
    return fileError(partialFileName(out, bare),
                     "has no provenance lines (it was written by an earlier version) and holds no genome-wide "
                     "permutation extremes: --fwer needs the files of workers run with --fwer by this version");
  }
  if (require_provenance && old != 0) {
    return fileError(old_name,
                     "is in partial file format v1, written by an earlier version that gives pairs other "
                     "degrees of freedom: it cannot be assembled with the files of this version (rerun "
                     "worker " +
                         std::to_string(old) + ")");
  }
  return Outcome::proceed();
}

}  // namespace

std::string partialFileName(const std::string& outFile, std::uint64_t process) {
  return outFile + "_partial" + std::to_string(process) + ".txt";
}

std::string formatPartialLine(const TestStat2DObject& pair) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%" PRIu64 " %" PRIu64 " %.20g %u ", pair.i, pair.j, pair.testStatValue,
                static_cast<unsigned>(pair.DegFreedom));
  std::string line = buffer;
  for (double value : pair.permutValues) {
    // Shortest text that reads back to the same double, so that a
    // multi-process run reports what a single process would.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    line += ' ';
    line.append(buffer, result.ptr);
  }
  line += '\n';
  return line;
}

Outcome writePartialFile(const RunParameters& params, const Provenance& provenance, const TopVector& top_vect,
                         const std::vector<double>& fwer, double size_limit_mb) {
  const float partial_outfile_size = static_cast<float>(30 * static_cast<std::uint64_t>(top_vect.size())) / 1000000.0f;
  console().print("INFO: The resulting partial output file is estimated to be of %.3f MBs in size\n",
                  static_cast<double>(partial_outfile_size));
  if (partial_outfile_size > size_limit_mb) {
    console().line(
        "ERROR: The partial output file exceeded 700MB limit! Process is stopped! Increase the treshold value (-t).");
    return Outcome::stop(kExitLimit);
  }
  // The assembly would refuse a fwer line without one extreme per
  // permutation: better to stop the worker now than after the others ran.
  if (provenance.fwerOption && fwer.size() != params.permutationParam) {
    console().print("ERROR: --fwer: %zu genome-wide permutation extremes for %" PRIu64
                    " permutations; the partial output file was not written\n",
                    fwer.size(), params.permutationParam);
    return Outcome::stop(kExitError);
  }
  const std::string name = partialFileName(params.outFile, params.processID);
  console().line(kStars.c_str());
  console().print("The partial output will be written in file %s \n", name.c_str());
  console().line(kStars.c_str());

  OutputSet outputs;
  if (std::FILE* out = outputs.add(name); out != nullptr) {
    std::fputs(formatProvenanceLine(provenance).c_str(), out);
    ContentHash content;
    const auto put = [&](const std::string& line) {
      std::fputs(line.c_str(), out);
      content.add(line);
    };
    for (const TestStat2DObject& pair : top_vect) put(formatPartialLine(pair));
    if (provenance.fwerOption) put(formatFwerLine(fwer));
    std::fputs(formatPairCountLine(top_vect.size(), content.value()).c_str(), out);
  }
  if (commitWithRunLog(outputs)) return Outcome::proceed();
  console().print("ERROR: Unable to write partial output file: %s.\n", name.c_str());
  return Outcome::stop(kExitError);
}

Outcome assemblePartialFiles(const RunParameters& params, const std::vector<std::string>& snp_names,
                             TopVector& top_vect, std::vector<double>& fwer, std::uint64_t first, std::uint64_t last,
                             bool require_provenance, const AssemblyExpectations& expect) {
  fwer.clear();
  if (last == 0) last = params.processAmount;
  AssemblyState state(params);
  state.snp_amount = snp_names.size();
  state.combinations.emplace(state.snp_amount, blocksInUse(params, state.snp_amount), expect.layout);
  state.blocks = state.combinations->blocksUsed();
  state.subjects = expect.subjects;
  state.expected = provenanceOf(params, state.blocks, snp_names, 0);
  state.expected.selection = expect.selection;
  state.expected.dataFingerprint = expect.data_fingerprint;
  state.compare_seed = params.permutationParam > 0 && params.randomParam != 0;
  // Workers of one run write the same version: one file with provenance
  // makes the lines mandatory in all, and files of an earlier version are
  // recognised only as a whole set.
  for (std::uint64_t k = first; k <= last; ++k) {
    if (Outcome o = checkRegularFile(partialFileName(params.outFile, k)); o.stopped()) return o;
  }
  std::vector<FileFormat> formats;
  for (std::uint64_t k = first; k <= last; ++k) formats.push_back(formatOf(partialFileName(params.outFile, k)));
  state.with_provenance = require_provenance;
  for (const FileFormat& format : formats) state.with_provenance = state.with_provenance || format.provenance;
  if (Outcome o = checkSetFormat(state, first, formats, require_provenance); o.stopped()) return o;
  // The shares need a usable block count; the run refuses others before.
  state.check_shares = state.blocks >= 1 && state.blocks <= state.snp_amount;
  if (params.fwerOption) {
    fwer = fwerStart(params);
    state.fwer = &fwer;
  }

  console().line("ASSEMBLING PARTIAL RESULTS FILES ...");
  const std::size_t before = top_vect.size();
  for (std::uint64_t k = first; k <= last; ++k) {
    if (Outcome o = readPartialFile(state, k, top_vect); o.stopped()) return o;
  }
  if (Outcome o = checkHashForms(state); o.stopped()) return o;
  // Without provenance and pair-count lines nothing tells a set whose
  // workers kept no pair from files left empty by workers that never ran or
  // by a full disk: reporting no pair would pass one for the other.
  if (!state.with_provenance && top_vect.size() == before) {
    console().print(
        "ERROR: None of the partial output files %s to %s holds a pair line, and files without "
        "provenance lines (written by an earlier version) cannot tell a run that kept no pair from "
        "empty or truncated files: rerun the workers with this version\n",
        partialFileName(params.outFile, first).c_str(), partialFileName(params.outFile, last).c_str());
    return Outcome::stop(kExitError);
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
