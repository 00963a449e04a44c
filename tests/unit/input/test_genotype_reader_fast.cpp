// The reader's fast path and block reading against the general routine:
// the same file read through the fast path (with read blocks from 1 byte up)
// and through the general routine alone must give identical stores, console
// output and outcome, for valid files of every accepted layout and for
// files with one bad line.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "genotype_reader_internal.h"
#include "test_support.h"

namespace dyadmill {
namespace {

using reader_internal::ReaderCounters;
using reader_internal::ReaderTuning;

struct Read {
  int exit_status = 0;
  std::string output;
  GenotypeStore store;
  ReaderCounters counters;
};

Read readWith(const std::string& path, bool missing, const ReaderTuning& tuning) {
  RunParameters params;
  params.inFile = path;
  params.missingGenoOption = missing ? 1 : 0;
  params.processAmount = 1;
  params.processID = 1;
  Read r;
  console().startCapture();
  const Outcome o = reader_internal::readGenotypeFile(params, r.store, tuning, &r.counters);
  r.output = console().endCapture();
  r.exit_status = o.stopped() ? o.exitStatus() : -1;
  return r;
}

void expectSameStore(const GenotypeStore& a, const GenotypeStore& b) {
  EXPECT_EQ(a.snp_names, b.snp_names);
  EXPECT_EQ(a.binary_diagnostic_vect, b.binary_diagnostic_vect);
  EXPECT_EQ(a.affected_amount, b.affected_amount);
  EXPECT_EQ(a.unaffected_amount, b.unaffected_amount);
  EXPECT_EQ(a.total_amount, b.total_amount);
  EXPECT_EQ(a.snp_amount, b.snp_amount);
  EXPECT_EQ(a.dimension_vect, b.dimension_vect);
  EXPECT_EQ(a.cumdimension_vect, b.cumdimension_vect);
  ASSERT_EQ(a.snp_matrix.rows(), b.snp_matrix.rows());
  ASSERT_EQ(a.snp_matrix.words(), b.snp_matrix.words());
  const std::uint64_t n = a.snp_matrix.rows() * a.snp_matrix.words();
  EXPECT_EQ(std::vector<std::uint64_t>(a.snp_matrix.data(), a.snp_matrix.data() + n),
            std::vector<std::uint64_t>(b.snp_matrix.data(), b.snp_matrix.data() + n));
}

struct Reads {
  Read general;  // the general routine alone
  Read fast;     // the fast path with the default block size
};

// Reads `content` through the general routine, then through the fast path
// with every block size, and requires the same result each time.
Reads expectFastEqualsGeneral(const std::string& content, bool missing) {
  testing::ScratchDir dir;
  testing::writeFile(dir / "g.txt", content);
  const std::string path = (dir / "g.txt").string();
  Reads reads;
  reads.general = readWith(path, missing, ReaderTuning{.fast_path = false});
  EXPECT_EQ(reads.general.counters.fast_lines, 0u);
  for (const std::size_t block :
       {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{4096}, reader_internal::kDefaultBlockSize}) {
    SCOPED_TRACE("block of " + std::to_string(block) + " bytes");
    Read fast = readWith(path, missing, ReaderTuning{.fast_path = true, .block_size = block});
    EXPECT_EQ(fast.output, reads.general.output);
    EXPECT_EQ(fast.exit_status, reads.general.exit_status);
    EXPECT_EQ(fast.counters.fast_lines + fast.counters.general_lines, reads.general.counters.general_lines);
    expectSameStore(fast.store, reads.general.store);
    if (block == reader_internal::kDefaultBlockSize) reads.fast = std::move(fast);
  }
  return reads;
}

// A random file: traits and codes written plainly on most lines and in the
// other accepted spellings (runs of spaces, signs, leading zeros, CRLF,
// blank lines, no final line feed, a final bare CR) on some.
std::string randomFile(std::mt19937& rng, std::size_t snps, std::size_t subjects, bool missing, double odd) {
  std::bernoulli_distribution is_odd(odd);
  std::uniform_int_distribution<int> pick(0, 1 << 20);
  auto any = [&](const std::vector<std::string>& options) { return options[pick(rng) % options.size()]; };
  auto gap = [&] { return is_odd(rng) ? std::string(1 + pick(rng) % 3, ' ') : std::string(" "); };
  auto eol = [&] { return is_odd(rng) ? std::string("\r\n") : std::string("\n"); };
  std::string text = "Trait";
  for (std::size_t s = 0; s < snps; ++s) text += gap() + "rs" + std::to_string(s);
  text += eol();
  for (std::size_t j = 0; j < subjects; ++j) {
    if (is_odd(rng)) text += any({"\n", "\r\n"});
    const bool is_case = j == 0 || (j > 1 && pick(rng) % 3 == 0);  // both groups from 2 subjects on
    std::string line = is_odd(rng) ? std::string(pick(rng) % 3, ' ') : "";
    line += is_odd(rng) ? any(is_case ? std::vector<std::string>{"+1", "01", "001"}
                                      : std::vector<std::string>{"00", "-0", "+0"})
                        : (is_case ? "1" : "0");
    for (std::size_t s = 0; s < snps; ++s) {
      const int g = missing && pick(rng) % 10 == 0 ? -1 : pick(rng) % 3;
      std::string code = g < 0 ? "-9" : std::to_string(g);
      if (is_odd(rng)) {
        code = g < 0 ? any({"-09", "-1", "-32768", "-9999", "-100"})
                     : any({"0" + code, "+" + code, "00" + code, g == 0 ? "-0" : "+" + code});
      }
      line += gap() + code;
    }
    if (is_odd(rng)) line += std::string(1 + pick(rng) % 2, ' ');
    text += line + (j + 1 == subjects && pick(rng) % 3 == 0 ? any({"", "\r"}) : eol());
  }
  return text;
}

TEST(GenotypeReaderFast, RandomFilesReadLikeTheGeneralRoutine) {
  std::mt19937 rng(20240611);
  int read_ok = 0;
  for (int round = 0; round < 48; ++round) {
    const bool missing = round % 2 == 0;
    const double odd = round % 3 == 0 ? 0.0 : round % 3 == 1 ? 0.02 : 0.3;
    const std::size_t subjects = 1 + rng() % 200;
    const std::size_t snps = 1 + rng() % 40;
    SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(subjects) + " subjects, " +
                 std::to_string(snps) + " SNPs");
    const Reads reads = expectFastEqualsGeneral(randomFile(rng, snps, subjects, missing, odd), missing);
    if (reads.general.exit_status == -1) ++read_ok;
    if (odd == 0.0) {
      EXPECT_EQ(reads.fast.counters.general_lines, 0u);
    }
  }
  EXPECT_GE(read_ok, 40);  // only single-subject files lack one of the groups
}

// Lines far longer than a read block are carried over whole.
TEST(GenotypeReaderFast, LinesLongerThanTheReadBlock) {
  std::mt19937 rng(7);
  for (const bool missing : {true, false}) {
    for (const double odd : {0.0, 0.01}) {
      const Reads reads = expectFastEqualsGeneral(randomFile(rng, 20000, 5, missing, odd), missing);
      EXPECT_EQ(reads.general.exit_status, -1) << reads.general.output;
      EXPECT_EQ(reads.general.store.total_amount, 5u);
    }
  }
}

// The fast path must actually carry plain files; every other shape goes to
// the general routine.
TEST(GenotypeReaderFast, WhichLinesTakeTheFastPath) {
  struct Shape {
    const char* line;
    bool missing;
    bool fast;
  };
  const std::vector<Shape> shapes = {
      {"1 0 1 2", true, true},   {"0 2 2 0", false, true},   {"1 -9 1 2", true, true},   {"1 0 -9999 -1", true, true},
      {"0 -09 1 2", true, true}, {"1 -9 1 2", false, false}, {"1 0 -0 2", true, false},  {"1 0 -10000 2", true, false},
      {"1  0 1 2", true, false}, {" 1 0 1 2", true, false},  {"1 0 1 2 ", true, false},  {"+1 0 1 2", true, false},
      {"1 00 1 2", true, false}, {"1 0 +1 2", true, false},  {"1 0\t1 2", true, false},  {"1 0 3 2", true, false},
      {"2 0 1 2", true, false},  {"1 0 1", true, false},     {"1 0 1 2 1", true, false}, {"1 0 12 2", true, false},
      {"1 0 - 2", true, false},
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.line);
    // A plain first subject of the other group, so that valid shapes read through.
    const std::string first = s.line[0] == '1' ? "0 1 1 1\n" : "1 1 1 1\n";
    const Reads reads = expectFastEqualsGeneral("Trait a b c\n" + first + s.line + "\n", s.missing);
    EXPECT_EQ(reads.fast.counters.fast_lines + reads.fast.counters.general_lines, 2u);
    EXPECT_EQ(reads.fast.counters.general_lines, s.fast ? 0u : 1u);
    if (s.fast) {
      EXPECT_EQ(reads.general.exit_status, -1) << reads.general.output;
    }
  }
  std::mt19937 rng(3);
  testing::ScratchDir dir;
  testing::writeFile(dir / "g.txt", randomFile(rng, 30, 150, true, 0.0));
  const Read plain = readWith((dir / "g.txt").string(), true, ReaderTuning{});
  EXPECT_EQ(plain.counters.fast_lines, 150u);
  EXPECT_EQ(plain.counters.general_lines, 0u);
}

// One bad line at a random place: the same error, with the same line
// number, and the same output before it, whichever path reads the file.
TEST(GenotypeReaderFast, BadLinesGiveTheGeneralRoutinesError) {
  const std::vector<std::string> bad_fields = {"3", "x", "40000", "-32769", "1.0", "0\t1", "12", "-", "1-", "-0x"};
  std::mt19937 rng(99);
  for (int round = 0; round < 48; ++round) {
    const bool missing = round % 2 == 0;
    const std::size_t snps = 1 + rng() % 30;
    std::string text = randomFile(rng, snps, 2 + rng() % 150, missing, round % 4 == 0 ? 0.1 : 0.0);
    std::vector<std::size_t> starts;  // subject lines
    for (std::size_t at = text.find('\n'); at != std::string::npos && at + 1 < text.size();
         at = text.find('\n', at + 1)) {
      if (text[at + 1] != '\n' && text[at + 1] != '\r') starts.push_back(at + 1);
    }
    const std::size_t begin = starts[rng() % starts.size()];
    const std::size_t end = std::min(text.find_first_of("\r\n", begin), text.size());
    std::vector<std::string> fields;
    std::string line = text.substr(begin, end - begin);
    for (std::size_t at = line.find_first_not_of(' '); at != std::string::npos;
         at = line.find_first_not_of(' ', line.find(' ', at))) {
      fields.push_back(line.substr(at, line.find(' ', at) - at));
    }
    const std::size_t snp_field = 1 + rng() % snps;
    switch (round % 6) {
      case 0:
        fields[snp_field] = bad_fields[rng() % bad_fields.size()];
        break;
      case 1:
        fields.pop_back();
        break;
      case 2:
        fields[0] = round % 4 == 0 ? "2" : "-1";
        break;
      case 3:
        fields[snp_field] = missing ? "3" : "-9";
        break;  // -9 is an error under --nomissing
      case 4:
        fields.push_back("1");
        break;
      default:
        fields.clear();
        break;
    }
    line = fields.empty() ? "   " : fields[0];
    for (std::size_t f = 1; f < fields.size(); ++f) line += " " + fields[f];
    text = text.substr(0, begin) + line + text.substr(end);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + line);
    const Reads reads = expectFastEqualsGeneral(text, missing);
    EXPECT_EQ(reads.general.exit_status, 255);
    EXPECT_NE(reads.general.output.find("ERROR: "), std::string::npos) << reads.general.output;
  }
}

}  // namespace
}  // namespace dyadmill
