#include "partial_results.h"

#include <boost/lexical_cast/try_lexical_convert.hpp>
#include <boost/tokenizer.hpp>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <vector>

#include "console.h"
#include "output_file.h"

namespace dyadmill {

namespace {

const std::string kStars(74, '*');

// Unsigned fields must not carry a sign: the conversion would wrap "-1".
template <typename T>
bool convertUnsigned(const std::string& field, T& value) {
  if (field.empty() || field[0] == '-' || field[0] == '+') return false;
  return boost::conversion::try_lexical_convert(field, value);
}

Outcome lineError(const std::string& file, std::uint64_t line_number, const std::string& problem) {
  console().print("ERROR: %s, line %" PRIu64 ": %s\n", file.c_str(), line_number, problem.c_str());
  return Outcome::stop(kExitError);
}

// Applies the reading rule to one non-empty line.
Outcome parsePartialLine(const RunParameters& params, std::uint64_t snp_amount, const std::string& file,
                         std::uint64_t line_number, const std::string& line, TopVector& top_vect) {
  static const boost::char_separator<char> separator(" \t");
  const boost::tokenizer<boost::char_separator<char>> tokens(line, separator);
  const std::vector<std::string> fields(tokens.begin(), tokens.end());
  const std::uint64_t n_tokens = fields.size();
  if (n_tokens < 4) {
    return lineError(file, line_number,
                     "expected at least 4 fields (SNP index, SNP index, statistic, degrees of freedom), found " +
                         std::to_string(n_tokens));
  }
  TestStat2DObject pair;
  if (!convertUnsigned(fields[0], pair.i)) {
    return lineError(file, line_number, "field 1 (\"" + fields[0] + "\") is not a SNP index");
  }
  if (!convertUnsigned(fields[1], pair.j)) {
    return lineError(file, line_number, "field 2 (\"" + fields[1] + "\") is not a SNP index");
  }
  if (!boost::conversion::try_lexical_convert(fields[2], pair.testStatValue)) {
    return lineError(file, line_number, "field 3 (\"" + fields[2] + "\") is not a number");
  }
  if (!convertUnsigned(fields[3], pair.DegFreedom)) {
    return lineError(file, line_number, "field 4 (\"" + fields[3] + "\") is not a number of degrees of freedom");
  }
  // The final stage prints pairs by name: an index outside the genotype
  // file means the partial file belongs to another data set.
  if (pair.i >= pair.j || pair.j >= snp_amount) {
    return lineError(file, line_number,
                     "the SNP pair (" + fields[0] + ", " + fields[1] + ") does not exist in a genotype file of " +
                         std::to_string(snp_amount) + " SNPs; was the partial file made from another file?");
  }
  const std::uint64_t P = params.permutationParam;
  pair.permutValues.assign(P, 0.0);
  if (P > 0) {
    if (P > n_tokens - 4) {
      console().print("ERROR: partial file has less permutation values (%" PRIu64 ") than specified (%" PRIu64 ")\n",
                      n_tokens - 4, P);
      return Outcome::stop(kExitError);
    }
    for (std::uint64_t p = 0; p < P; ++p) {
      if (!boost::conversion::try_lexical_convert(fields[4 + p], pair.permutValues[p])) {
        return lineError(file, line_number,
                         "field " + std::to_string(5 + p) + " (\"" + fields[4 + p] + "\") is not a number");
      }
    }
  }
  top_vect.push_back(std::move(pair));
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

Outcome writePartialFile(const RunParameters& params, const TopVector& top_vect, double size_limit_mb) {
  const float partial_outfile_size = static_cast<float>(30 * static_cast<std::uint64_t>(top_vect.size())) / 1000000.0f;
  console().print("INFO: The resulting partial output file is estimated to be of %.3f MBs in size\n",
                  static_cast<double>(partial_outfile_size));
  if (partial_outfile_size > size_limit_mb) {
    console().line(
        "ERROR: The partial output file exceeded 700MB limit! Process is stopped! Increase the treshold value (-t).");
    return Outcome::stop(kExitLimit);
  }
  const std::string name = partialFileName(params.outFile, params.processID);
  console().line(kStars.c_str());
  console().print("The partial output will be written in file %s \n", name.c_str());
  console().line(kStars.c_str());

  AtomicOutputFile file(name);
  if (file.isOpen()) {
    for (const TestStat2DObject& pair : top_vect) std::fputs(formatPartialLine(pair).c_str(), file.stream());
    if (file.commit()) return Outcome::proceed();
  }
  console().print("ERROR: Unable to write partial output file: %s.\n", name.c_str());
  return Outcome::stop(kExitError);
}

Outcome assemblePartialFiles(const RunParameters& params, std::uint64_t snp_amount, TopVector& top_vect) {
  console().line("ASSEMBLING PARTIAL RESULTS FILES ...");
  for (std::uint64_t k = 1; k <= params.processAmount; ++k) {
    const std::string name = partialFileName(params.outFile, k);
    std::ifstream in(name, std::ios::binary);
    if (!in) {
      console().print("ERROR: Unable to open partial output file%" PRIu64 " %s\n", k, name.c_str());
      console().print("ERROR: Check that the output file name used to create partial files is the same\n");
      return Outcome::stop(kExitError);
    }
    console().print("\nINFO: Partial output file %s is being open \n", name.c_str());
    std::string line;
    std::uint64_t line_number = 0;
    while (std::getline(in, line)) {
      ++line_number;
      if (line.empty()) continue;
      if (Outcome o = parsePartialLine(params, snp_amount, name, line_number, line, top_vect); o.stopped()) return o;
    }
    if (in.bad()) return lineError(name, line_number + 1, "the file could not be read to its end");
    console().line("INFO: Done reading the partial file and generating the top vector");
  }
  return Outcome::proceed();
}

}  // namespace dyadmill
