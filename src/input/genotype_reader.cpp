#include "genotype_reader.h"

#include <algorithm>
#include <boost/lexical_cast/try_lexical_convert.hpp>
#include <boost/tokenizer.hpp>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
#include "content_hash.h"
#include "genotype_reader_internal.h"
#include "input_errors.h"
#include "number_fields.h"
#include "plink_reader.h"
#include "selection.h"
#include "text_source.h"

namespace dyadmill {

namespace {

using Tokenizer = boost::tokenizer<boost::char_separator<char>>;

const boost::char_separator<char>& spaceSeparator() {
  static const boost::char_separator<char> separator(" ");
  return separator;
}

// Reads a file line by line in large blocks: a line feed is found with
// memchr, and a line cut by the end of a block is moved to the front of the
// buffer and completed by the next read. Memory is one block plus the
// longest line, however large the file.
class LineReader {
 public:
  LineReader(std::istream& in, std::size_t block_size)
      : in_(in), block_size_(std::max<std::size_t>(block_size, 1)), buffer_(block_size_) {}

  // Starts again at the current position of the stream (after a rewind).
  void restart() {
    begin_ = end_ = scanned_ = 0;
    at_end_ = false;
  }

  // Every byte read from now on also goes to `hasher` (none: no more),
  // line feeds and carriage returns included, as the file holds them.
  void hashInto(ContentHasher* hasher) { hasher_ = hasher; }

  // Reads the rest of the stream without looking for lines: for a run that
  // needs only its fingerprint.
  void skipToEnd() {
    while (!at_end_) {
      begin_ = end_;
      scanned_ = 0;
      refill();
    }
    begin_ = end_;
    scanned_ = 0;
  }

  // The next physical line, without its line feed and a trailing carriage
  // return (files written on Windows); a last line without a line feed is
  // read like the others. The view is valid until the next call.
  bool next(std::string_view& line) {
    for (;;) {
      const char* start = buffer_.data() + begin_;
      const std::size_t available = end_ - begin_;
      if (const void* feed = std::memchr(start + scanned_, '\n', available - scanned_)) {
        const auto length = static_cast<std::size_t>(static_cast<const char*>(feed) - start);
        begin_ += length + 1;
        scanned_ = 0;
        line = withoutCarriageReturn(start, length);
        return true;
      }
      scanned_ = available;
      if (at_end_) {
        if (available == 0) return false;
        begin_ = end_;
        scanned_ = 0;
        line = withoutCarriageReturn(start, available);
        return true;
      }
      refill();
    }
  }

 private:
  static std::string_view withoutCarriageReturn(const char* start, std::size_t length) {
    if (length > 0 && start[length - 1] == '\r') --length;
    return {start, length};
  }

  void refill() {
    const std::size_t carried = end_ - begin_;
    if (begin_ > 0 && carried > 0) std::memmove(buffer_.data(), buffer_.data() + begin_, carried);
    begin_ = 0;
    end_ = carried;
    if (buffer_.size() < carried + block_size_) buffer_.resize(carried + block_size_);
    in_.read(buffer_.data() + end_, static_cast<std::streamsize>(block_size_));
    const auto got = static_cast<std::size_t>(in_.gcount());
    if (hasher_ != nullptr) hasher_->update(buffer_.data() + end_, got);
    end_ += got;
    if (!in_) at_end_ = true;
  }

  std::istream& in_;
  const std::size_t block_size_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;    // first byte of the next line
  std::size_t end_ = 0;      // end of the bytes read
  std::size_t scanned_ = 0;  // bytes after begin_ already known to hold no line feed
  bool at_end_ = false;      // the stream has nothing more
  ContentHasher* hasher_ = nullptr;
};

Outcome readHeader(LineReader& in, const TextSource& source, const std::string& file, GenotypeStore& store) {
  // A damaged file can end before its first line does: then the damage is
  // the problem, not an empty or short header.
  auto headerError = [&](const char* problem) {
    if (const std::string damage = source.error(); !damage.empty()) return inputFileError(file, damage);
    return inputLineError(file, 1, problem);
  };
  std::string_view header;
  if (!in.next(header) || header.empty()) {
    return headerError("the header line is empty; it must name the trait column and then every SNP");
  }
  const std::string line(header);
  Tokenizer fields(line, spaceSeparator());
  auto field = fields.begin();
  if (field == fields.end()) {
    return headerError("the header line holds only spaces; it must name the trait column and then every SNP");
  }
  console().line("INFO: Reading SNP names");
  for (++field; field != fields.end(); ++field) store.snp_names.push_back(*field);
  if (store.snp_names.empty()) return headerError("the header names no SNP columns, only the trait column");
  return Outcome::proceed();
}

// Counting pass: the number of subject lines fixes every size before any
// bit is set.
Outcome countSubjects(LineReader& in, const std::string& file, SubjectCount& total_amount) {
  console().line("INFO: Counting number of lines(subjects) in the input file....");
  std::string_view line;
  std::uint64_t line_number = 1;
  std::uint64_t subjects = 0;
  while (in.next(line)) {
    ++line_number;
    if (line.empty()) continue;
    if (++subjects > kMaxSubjects) {
      return inputLineError(file, line_number,
                            "more than " + std::to_string(kMaxSubjects) + " subjects; a run holds at most " +
                                std::to_string(kMaxSubjects) + " subjects");
    }
  }
  if (subjects == 0) return inputFileError(file, "the file holds no subject lines after the header");
  total_amount = static_cast<SubjectCount>(subjects);
  return Outcome::proceed();
}

void sizeStore(const RunParameters& params, const SnpPlan& plan, GenotypeStore& store) {
  const std::uint64_t rows_per_snp = params.rowsPerSnp();
  const auto total_int_amount = static_cast<std::uint64_t>(std::ceil(store.total_amount * 0.015625));
  store.binary_diagnostic_vect.assign(store.total_amount, 0);
  store.snp_amount = store.snp_names.size();
  store.cumdimension_vect.resize(store.snp_amount + 1);
  for (std::uint64_t i = 0; i <= store.snp_amount; ++i) store.cumdimension_vect[i] = i * rows_per_snp;
  store.dimension_vect.assign(store.snp_amount, 3);
  console().print("INFO: Total number of SNPs in the INPUT file: %" PRIu64 "\n", plan.fileSnps());
  store.snp_matrix = BitMatrix(rows_per_snp * store.snp_amount, total_int_amount);
}

// One subject line: trait, then one code per SNP, each setting at most one
// bit (word `m`, mask `squares`) among the SNP's rows.
Outcome encodeSubject(const RunParameters& params, const SnpPlan& plan, const std::vector<std::string>& file_names,
                      std::uint64_t line_number, const std::string& line, SubjectCount j, GenotypeStore& store) {
  const std::string& file = params.inFile;
  Tokenizer fields(line, spaceSeparator());
  const std::uint64_t expected = plan.fileSnps() + 1;
  const std::uint64_t m = j / 64;
  const std::uint64_t squares = std::uint64_t{1} << (j % 64);
  std::uint64_t field_index = 0;
  for (const std::string& field : fields) {
    ++field_index;
    if (field_index > expected) continue;  // only counted, for the message below
    std::int64_t value = 0;
    if (!parseWholeInteger<std::int64_t>(field, -32768, 32767, Sign::Either, value)) {
      return inputLineError(
          file, line_number,
          "field " + std::to_string(field_index) + " (\"" + field + "\") is not an integer between -32768 and 32767");
    }
    if (field_index == 1) {
      if (value != 0 && value != 1) {
        return inputLineError(file, line_number,
                              "trait value " + std::to_string(value) + " is neither 0 (control) nor 1 (case)");
      }
      if (value == 1) ++store.affected_amount;
      store.binary_diagnostic_vect[j] = static_cast<std::uint16_t>(value);
      continue;
    }
    const std::int64_t snp = plan.store_index[field_index - 2];
    const std::string& name = file_names[field_index - 2];
    if (value > 2) {
      return inputLineError(file, line_number,
                            "genotype code " + std::to_string(value) + " of SNP " + name + " (field " +
                                std::to_string(field_index) +
                                ") is above 2; codes are 0, 1, 2, or negative for missing");
    }
    // A SNP the selection leaves out is only checked for its form: its
    // missing genotypes do not matter to a run that does not scan it.
    if (snp < 0) continue;
    if (value < 0 && !params.missing()) {
      return inputLineError(file, line_number,
                            "missing genotype (" + std::to_string(value) + ") of SNP " + name + " (field " +
                                std::to_string(field_index) +
                                ") with --nomissing; use --missing for data with missing genotypes");
    }
    if (value < 0) continue;
    const std::uint64_t first_row = store.cumdimension_vect[static_cast<std::uint64_t>(snp)];
    if (params.missing()) {
      store.snp_matrix.row(first_row + static_cast<std::uint64_t>(value))[m] |= squares;
    } else if (value > 0) {
      store.snp_matrix.row(first_row + static_cast<std::uint64_t>(value) - 1)[m] |= squares;
    }
  }
  if (field_index == 0) return inputLineError(file, line_number, "the line holds only spaces");
  if (field_index != expected) {
    return inputLineError(file, line_number,
                          "expected " + std::to_string(expected) + " fields (the trait and " +
                              std::to_string(plan.fileSnps()) + " genotypes), found " + std::to_string(field_index));
  }
  return Outcome::proceed();
}

// Fast path for the shape nearly every file has: the trait 0 or 1, then one
// field per SNP that is a single digit 0, 1 or 2 or, with --missing, a
// minus sign and one to four digits (a missing code such as -9), every field
// preceded by exactly one space and nothing after the last one. A line of
// any other shape (runs of spaces, signs, leading zeros, tabs, a wrong field
// count, an invalid value) is left to the general routine, which accepts
// every layout and words every error.
//
// Setting each subject's bits straight in the store would touch one word
// per row and SNP, far apart, for every line: on wide files almost every
// field misses the cache. Instead the bits of up to 64 consecutive subjects
// (one word of every row) are gathered in a small array and ORed into the
// store when the subjects move on to the next word, before a line goes to
// the general routine, and at the end. The bits gathered from a line that
// is then given up are bits the general routine sets for the same leading
// fields, so nothing has to be undone; the trait is stored only once the
// whole line has been accepted.
class FastEncoder {
 public:
  FastEncoder(const RunParameters& params, const SnpPlan& plan, GenotypeStore& store)
      : store_(store), missing_(params.missing()), pending_(store.snp_matrix.rows() + params.rowsPerSnp(), 0) {
    // The first pending row of each SNP of the file; a SNP the selection
    // leaves out writes into spare rows past the store's, never flushed.
    const std::uint64_t rows_per_snp = params.rowsPerSnp();
    const std::uint64_t spare = store.snp_matrix.rows();
    first_row_.reserve(plan.fileSnps());
    for (const std::int64_t index : plan.store_index) {
      first_row_.push_back(index >= 0 ? static_cast<std::uint64_t>(index) * rows_per_snp : spare);
    }
    // Row of level d from the SNP's first row. Without missing genotypes
    // level 0 has no row: its mask is 0, so ORing it into the first row
    // changes nothing and the loop needs no branch.
    for (std::uint64_t d = 0; d < 3; ++d) level_row_[d] = missing_ ? d : (d == 0 ? 0 : d - 1);
  }

  bool encode(std::string_view line, std::uint32_t j) {
    const char* p = line.data();
    const char* const end = p + line.size();
    if (p == end || (*p != '0' && *p != '1')) return false;
    const bool is_case = *p == '1';
    ++p;
    if (j / 64 != pending_word_) flush();
    pending_word_ = j / 64;
    const std::uint64_t squares = std::uint64_t{1} << (j % 64);
    std::uint64_t level_mask[3];
    for (std::uint64_t d = 0; d < 3; ++d) level_mask[d] = (missing_ || d > 0) ? squares : 0;
    std::uint64_t* const pending = pending_.data();
    for (const std::uint64_t first_row : first_row_) {
      std::uint64_t* const slot = pending + first_row;
      if (end - p < 2 || p[0] != ' ') return false;
      const auto level = static_cast<unsigned>(static_cast<unsigned char>(p[1])) - unsigned{'0'};
      // The field must end right after the digit ("02" is the code 2, not 0)
      // before its bit may be set.
      if (level <= 2 && (end - p == 2 || p[2] == ' ')) {
        slot[level_row_[level]] |= level_mask[level];
        p += 2;
        continue;
      }
      if (p[1] != '-' || !missing_) return false;
      // A negative code sets no bit. At most four digits keep the value
      // inside 16 bits; "-0" is the code 0 and goes to the general routine.
      p += 2;
      const char* const digits = p;
      bool nonzero = false;
      while (p != end && p - digits < 4 && *p >= '0' && *p <= '9') nonzero |= *p++ != '0';
      if (p == digits || !nonzero) return false;
    }
    if (p != end) return false;
    if (is_case) ++store_.affected_amount;
    store_.binary_diagnostic_vect[j] = is_case ? 1 : 0;
    return true;
  }

  // ORs the gathered bits into word pending_word_ of every row.
  void flush() {
    BitMatrix& matrix = store_.snp_matrix;
    const std::uint64_t spare = matrix.rows();
    std::fill(pending_.begin() + static_cast<std::ptrdiff_t>(spare), pending_.end(), 0);
    for (std::uint64_t r = 0; r < spare; ++r) {
      if (pending_[r] == 0) continue;
      matrix.row(r)[pending_word_] |= pending_[r];
      pending_[r] = 0;
    }
  }

 private:
  GenotypeStore& store_;
  const bool missing_;
  std::uint64_t level_row_[3];
  std::vector<std::uint64_t> first_row_;  // per SNP of the file
  std::vector<std::uint64_t> pending_;    // one word per row of the store, then the spare rows
  std::uint64_t pending_word_ = 0;        // the store word the pending bits belong to
};

Outcome encodeSubjects(const RunParameters& params, const SnpPlan& plan, const std::vector<std::string>& file_names,
                       LineReader& in, GenotypeStore& store, const reader_internal::ReaderTuning& tuning,
                       reader_internal::ReaderCounters& counters) {
  console().line("INFO: Starting to convert genotypes of INPUT file line by line");
  std::string_view line;
  in.next(line);  // header
  FastEncoder fast(params, plan, store);
  std::string general_line;
  std::uint64_t line_number = 1;
  std::uint32_t j = 0;
  while (in.next(line)) {
    ++line_number;
    if (line.empty()) continue;
    if (j >= store.total_amount) {
      fast.flush();
      return inputLineError(params.inFile, line_number, "the file grew while it was being read");
    }
    if (tuning.fast_path && fast.encode(line, j)) {
      ++counters.fast_lines;
    } else {
      ++counters.general_lines;
      fast.flush();
      general_line.assign(line);
      if (Outcome o =
              encodeSubject(params, plan, file_names, line_number, general_line, static_cast<SubjectCount>(j), store);
          o.stopped()) {
        return o;
      }
    }
    ++j;
  }
  fast.flush();
  if (j != store.total_amount) {
    return inputFileError(params.inFile, "the file shrank while it was being read");
  }
  console().line("INFO: Done reading the input genotype data");
  return Outcome::proceed();
}

// The group called cases is never the larger one: when cases outnumber the
// controls, the labels are swapped. The bit rows hold every subject and stay
// as they are.
Outcome recodeTrait(const std::string& file, GenotypeStore& store) {
  store.unaffected_amount = static_cast<SubjectCount>(store.total_amount - store.affected_amount);
  if (store.affected_amount == 0) {
    return inputFileError(file, "every subject is a control (trait 0); a case/control scan needs cases too");
  }
  if (store.unaffected_amount == 0) {
    return inputFileError(file, "every subject is a case (trait 1); a case/control scan needs controls too");
  }
  swapGroupsWhenCasesOutnumberControls(store);
  return Outcome::proceed();
}

}  // namespace

namespace {

// A fileset named by its prefix, or a file named without its .gz: the name
// the user most likely meant, when that file exists and the given one does
// not.
void suggestInputName(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return;
  for (const char* suffix : {".bed", ".gz"}) {
    const std::string candidate = path + suffix;
    if (std::filesystem::is_regular_file(candidate, ec)) {
      console().print("ERROR: %s does not exist; did you mean %s?\n", path.c_str(), candidate.c_str());
      return;
    }
  }
}

}  // namespace

namespace reader_internal {

Outcome readGenotypeFile(const RunParameters& params, GenotypeStore& store, const ReaderTuning& tuning,
                         ReaderCounters* counters, const NamesCheck& names_check, const SelectionLists& lists) {
  TextSource source;
  if (!source.open(params.inFile)) {
    console().line("ERROR: Unable to open the input genotype file! Check the path to the file!");
    suggestInputName(params.inFile);
    return Outcome::stop(kExitError);
  }
  LineReader lines(source.stream(), tuning.block_size);
  // The first pass reads every byte (the header, then the counting) and
  // hashes them on the way; the encoding pass reads them again unhashed.
  ContentHasher hasher;
  lines.hashInto(&hasher);
  if (Outcome o = readHeader(lines, source, params.inFile, store); o.stopped()) return o;
  // The header line itself may be the start of a damaged file.
  if (const std::string damage = source.error(); !damage.empty()) return inputFileError(params.inFile, damage);
  const std::vector<std::string> file_names = std::move(store.snp_names);
  SnpPlan plan;
  if (Outcome o = planSnps(params, lists, file_names, {}, plan); o.stopped()) return o;
  store.snp_names = plan.inStoreOrder(file_names);
  store.set_layout = plan.layout;
  if (names_check) {
    if (Outcome o = names_check(store); o.stopped()) return o;
  }
  if (!params.readsGenotypes()) {
    // Only the fingerprint: the rest streams through the hash, unparsed.
    lines.skipToEnd();
    if (const std::string damage = source.error(); !damage.empty()) return inputFileError(params.inFile, damage);
    store.content_hash = hasher.digest();
    return Outcome::proceed();
  }

  if (Outcome o = countSubjects(lines, params.inFile, store.total_amount); o.stopped()) return o;
  // Damaged compressed data ends a pass early and would pass for a shorter
  // file: each pass is checked before its result is used.
  if (const std::string damage = source.error(); !damage.empty()) return inputFileError(params.inFile, damage);
  store.content_hash = hasher.digest();
  lines.hashInto(nullptr);
  sizeStore(params, plan, store);
  source.rewind();
  lines.restart();
  ReaderCounters unused;
  const Outcome encoded =
      encodeSubjects(params, plan, file_names, lines, store, tuning, counters != nullptr ? *counters : unused);
  if (const std::string damage = source.error(); !damage.empty()) return inputFileError(params.inFile, damage);
  if (encoded.stopped()) return encoded;
  if (Outcome o = recodeTrait(params.inFile, store); o.stopped()) return o;
  if (Outcome o = applyFrequencyFilters(params, store, plan); o.stopped()) return o;
  store.set_layout = plan.layout;
  return Outcome::proceed();
}

}  // namespace reader_internal

Outcome readGenotypeFile(const RunParameters& params, GenotypeStore& store, const NamesCheck& names_check,
                         const SelectionLists& lists) {
  if (isPlinkFileset(params.inFile)) return readPlinkFileset(params, store, names_check, lists);
  return reader_internal::readGenotypeFile(params, store, reader_internal::ReaderTuning{}, nullptr, names_check, lists);
}

}  // namespace dyadmill
