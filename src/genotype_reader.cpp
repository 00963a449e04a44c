#include "genotype_reader.h"

#include <boost/lexical_cast/try_lexical_convert.hpp>
#include <boost/tokenizer.hpp>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace dyadmill {

namespace {

using Tokenizer = boost::tokenizer<boost::char_separator<char>>;

const boost::char_separator<char>& spaceSeparator() {
  static const boost::char_separator<char> separator(" ");
  return separator;
}

// Reads the next physical line, without its line feed and a trailing
// carriage return (files written on Windows).
bool nextLine(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

Outcome lineError(const std::string& file, std::uint64_t line_number, const std::string& problem) {
  std::printf("ERROR: %s, line %" PRIu64 ": %s\n", file.c_str(), line_number, problem.c_str());
  return Outcome::stop(kExitError);
}

Outcome fileError(const std::string& file, const std::string& problem) {
  std::printf("ERROR: %s: %s\n", file.c_str(), problem.c_str());
  return Outcome::stop(kExitError);
}

Outcome readHeader(std::istream& in, const std::string& file, GenotypeStore& store) {
  std::string line;
  if (!nextLine(in, line) || line.empty()) {
    return lineError(file, 1, "the header line is empty; it must name the trait column and then every SNP");
  }
  Tokenizer fields(line, spaceSeparator());
  auto field = fields.begin();
  if (field == fields.end()) {
    return lineError(file, 1, "the header line holds only spaces; it must name the trait column and then every SNP");
  }
  std::puts("INFO: Reading SNP names");
  for (++field; field != fields.end(); ++field) store.snp_names.push_back(*field);
  if (store.snp_names.empty()) {
    return lineError(file, 1, "the header names no SNP columns, only the trait column");
  }
  return Outcome::proceed();
}

// Counting pass: the number of subject lines fixes every size before any
// bit is set.
Outcome countSubjects(std::istream& in, const std::string& file, std::uint16_t& total_amount) {
  std::puts("INFO: Counting number of lines(subjects) in the input file....");
  std::string line;
  std::uint64_t line_number = 1;
  std::uint32_t subjects = 0;
  while (nextLine(in, line)) {
    ++line_number;
    if (line.empty()) continue;
    if (++subjects > 65535) {
      return lineError(file, line_number, "more than 65535 subjects; a run holds at most 65535 subjects");
    }
  }
  if (subjects == 0) return fileError(file, "the file holds no subject lines after the header");
  total_amount = static_cast<std::uint16_t>(subjects);
  return Outcome::proceed();
}

void sizeStore(const RunParameters& params, GenotypeStore& store) {
  const std::uint64_t rows_per_snp = params.rowsPerSnp();
  const auto total_int_amount = static_cast<std::uint64_t>(std::ceil(store.total_amount * 0.015625));
  store.binary_diagnostic_vect.assign(store.total_amount, 0);
  store.snp_amount = store.snp_names.size();
  store.cumdimension_vect.resize(store.snp_amount + 1);
  for (std::uint64_t i = 0; i <= store.snp_amount; ++i) store.cumdimension_vect[i] = i * rows_per_snp;
  store.dimension_vect.assign(store.snp_amount, 3);
  std::printf("INFO: Total number of SNPs in the INPUT file: %" PRIu64 "\n", store.snp_amount);
  store.snp_matrix = BitMatrix(rows_per_snp * store.snp_amount, total_int_amount);
}

// One subject line: trait, then one code per SNP, each setting at most one
// bit (word `m`, mask `squares`) among the SNP's rows.
Outcome encodeSubject(const RunParameters& params, const std::string& file, std::uint64_t line_number,
                      const std::string& line, std::uint16_t j, GenotypeStore& store) {
  Tokenizer fields(line, spaceSeparator());
  const std::uint64_t expected = store.snp_amount + 1;
  const std::uint64_t m = j / 64;
  const std::uint64_t squares = std::uint64_t{1} << (j % 64);
  std::uint64_t field_index = 0;
  for (const std::string& field : fields) {
    ++field_index;
    if (field_index > expected) continue;  // only counted, for the message below
    std::int16_t value = 0;
    if (!boost::conversion::try_lexical_convert(field, value)) {
      return lineError(file, line_number,
                       "field " + std::to_string(field_index) + " (\"" + field +
                           "\") is not an integer between -32768 and 32767");
    }
    if (field_index == 1) {
      if (value != 0 && value != 1) {
        return lineError(file, line_number,
                         "trait value " + std::to_string(value) + " is neither 0 (control) nor 1 (case)");
      }
      if (value == 1) ++store.affected_amount;
      store.binary_diagnostic_vect[j] = static_cast<std::uint16_t>(value);
      continue;
    }
    const std::uint64_t snp = field_index - 2;
    if (value > 2) {
      return lineError(file, line_number,
                       "genotype code " + std::to_string(value) + " of SNP " + store.snp_names[snp] + " (field " +
                           std::to_string(field_index) + ") is above 2; codes are 0, 1, 2, or negative for missing");
    }
    if (value < 0 && !params.missing()) {
      return lineError(file, line_number,
                       "missing genotype (" + std::to_string(value) + ") of SNP " + store.snp_names[snp] +
                           " (field " + std::to_string(field_index) +
                           ") with --nomissing; use --missing for data with missing genotypes");
    }
    if (value < 0) continue;
    const std::uint64_t first_row = store.cumdimension_vect[snp];
    if (params.missing()) {
      store.snp_matrix.row(first_row + static_cast<std::uint64_t>(value))[m] |= squares;
    } else if (value > 0) {
      store.snp_matrix.row(first_row + static_cast<std::uint64_t>(value) - 1)[m] |= squares;
    }
  }
  if (field_index == 0) return lineError(file, line_number, "the line holds only spaces");
  if (field_index != expected) {
    return lineError(file, line_number,
                     "expected " + std::to_string(expected) + " fields (the trait and " +
                         std::to_string(store.snp_amount) + " genotypes), found " + std::to_string(field_index));
  }
  return Outcome::proceed();
}

Outcome encodeSubjects(const RunParameters& params, std::istream& in, GenotypeStore& store) {
  std::puts("INFO: Starting to convert genotypes of INPUT file line by line");
  std::string line;
  nextLine(in, line);  // header
  std::uint64_t line_number = 1;
  std::uint32_t j = 0;
  while (nextLine(in, line)) {
    ++line_number;
    if (line.empty()) continue;
    if (j >= store.total_amount) {
      return lineError(params.inFile, line_number, "the file grew while it was being read");
    }
    if (Outcome o = encodeSubject(params, params.inFile, line_number, line, static_cast<std::uint16_t>(j), store);
        o.stopped()) {
      return o;
    }
    ++j;
  }
  if (j != store.total_amount) {
    return fileError(params.inFile, "the file shrank while it was being read");
  }
  std::puts("INFO: Done reading the input genotype data");
  return Outcome::proceed();
}

// The group called cases is never the larger one: when cases outnumber the
// controls, the labels are swapped. The bit rows hold every subject and stay
// as they are.
Outcome recodeTrait(const std::string& file, GenotypeStore& store) {
  store.unaffected_amount = static_cast<std::uint16_t>(store.total_amount - store.affected_amount);
  if (store.affected_amount == 0) {
    return fileError(file, "every subject is a control (trait 0); a case/control scan needs cases too");
  }
  if (store.unaffected_amount == 0) {
    return fileError(file, "every subject is a case (trait 1); a case/control scan needs controls too");
  }
  if (store.unaffected_amount < store.affected_amount) {
    for (std::uint16_t& x : store.binary_diagnostic_vect) x = static_cast<std::uint16_t>(1 - x);
    store.affected_amount = store.unaffected_amount;
    store.unaffected_amount = static_cast<std::uint16_t>(store.total_amount - store.affected_amount);
  }
  return Outcome::proceed();
}

}  // namespace

Outcome readGenotypeFile(const RunParameters& params, GenotypeStore& store) {
  std::ifstream in(params.inFile, std::ios::binary);
  std::error_code ec;
  if (!in || std::filesystem::is_directory(params.inFile, ec)) {
    std::puts("ERROR: Unable to open the input genotype file! Check the path to the file!");
    return Outcome::stop(kExitError);
  }
  if (Outcome o = readHeader(in, params.inFile, store); o.stopped()) return o;
  if (params.processID == 0) return Outcome::proceed();

  if (Outcome o = countSubjects(in, params.inFile, store.total_amount); o.stopped()) return o;
  sizeStore(params, store);
  in.clear();
  in.seekg(0);
  if (Outcome o = encodeSubjects(params, in, store); o.stopped()) return o;
  return recodeTrait(params.inFile, store);
}

}  // namespace dyadmill
