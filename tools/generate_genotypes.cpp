// dyadmill-generate: writes a seeded, realistic case/control genotype file
// for examples, tests and benchmarks.
//
// Model
//   * Every SNP gets an allele frequency p drawn uniformly from [0.05, 0.5];
//     a subject's genotype (number of minor alleles) follows Hardy-Weinberg
//     proportions (1-p)^2, 2p(1-p), p^2. SNPs are independent of each other.
//   * K planted pairs (a, b) of distinct SNPs carry the whole effect on the
//     trait: logit P(case) = b0 + sum_k beta * g_a * g_b, a pure interaction
//     term on the log-odds scale with no main effects, so that an epistasis
//     scan should rank these pairs at the top. Planted SNPs draw their allele
//     frequency from [0.25, 0.5] (still inside the general range) so that
//     the product g_a * g_b is non-zero often enough to be seen at a few
//     thousand subjects.
//   * b0 is solved by bisection so that the mean case probability over the
//     generated subjects equals the requested case share; each trait is then
//     one Bernoulli draw, so the realised share scatters binomially around it.
//   * Missing genotypes only mask the written code (as -9); the trait is
//     drawn from the true genotypes. Genotype and missingness come from the
//     two halves of one 64-bit draw, so the same seed with and without a
//     missing rate gives the same underlying data set.
//
// Determinism
//   std::mt19937_64 is specified exactly by the standard, and every draw is
//   turned into numbers here with integer and IEEE arithmetic only (no
//   std::*_distribution, whose output differs between standard libraries).
//   Allele frequencies, planted SNPs, genotypes and missingness are therefore
//   identical everywhere for a given seed. The trait also goes through
//   std::exp, which is not required to round identically in every math
//   library; it is reproducible with a given standard library.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr std::uint8_t kMissing = 3;  // stored code of a masked genotype

struct Options {
  std::uint64_t snps = 1000;
  std::uint64_t subjects = 1000;
  std::uint64_t seed = 1;
  double case_share = 0.3;
  double missing_rate = 0.0;
  std::uint64_t planted = 3;
  double effect = 1.0;
  std::string output;       // empty: standard output
  std::string planted_out;  // empty: no side file
  std::string bed_prefix;   // empty: no binary fileset
  bool quiet = false;
};

void printUsage(std::FILE* to) {
  std::fputs(
      "Usage: dyadmill-generate [options]\n"
      "Writes a case/control genotype file (header \"Trait rs1 rs2 ...\", then one line\n"
      "per subject: trait 1 = case / 0 = control, then one code per SNP: 0, 1, 2, -9).\n"
      "\n"
      "  --snps S            number of SNPs (default 1000)\n"
      "  --subjects N        number of subjects (default 1000)\n"
      "  --seed X            random seed, unsigned 64-bit (default 1)\n"
      "  --case-share F      expected share of cases, 0 < F < 1 (default 0.3)\n"
      "  --missing-rate R    share of genotypes written as -9, 0 <= R < 1 (default 0)\n"
      "  --planted K         interacting SNP pairs that drive the trait (default 3)\n"
      "  --effect B          log odds ratio per unit of g_a * g_b of a planted pair\n"
      "                      (default 1.0; 0 gives a null data set)\n"
      "  -o, --output FILE   write the genotype file here (default standard output)\n"
      "  --planted-out FILE  write the planted pairs here, one \"NAME_A NAME_B\" per line\n"
      "  --bed PREFIX        also write the same data as the binary fileset PREFIX.bed,\n"
      "                      PREFIX.bim and PREFIX.fam (allele 1 = the counted allele;\n"
      "                      SNPs spread over chromosomes 1-22)\n"
      "  -q, --quiet         no summary on standard error\n"
      "  -h, --help          this text\n"
      "\n"
      "The same seed and options always give the same file with the same standard library.\n",
      to);
}

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "dyadmill-generate: %s\n", message.c_str());
  std::fputs("Try 'dyadmill-generate --help'.\n", stderr);
  std::exit(2);
}

[[noreturn]] void ioError(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "dyadmill-generate: cannot %s '%s': %s\n", what.c_str(), path.c_str(), std::strerror(errno));
  std::exit(1);
}

std::uint64_t parseCount(std::string_view option, std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
    usageError(std::string(option) + " needs an unsigned integer, got '" + std::string(text) + "'");
  }
  return value;
}

double parseReal(std::string_view option, std::string_view text) {
  // strtod rather than from_chars<double>: the latter is missing from some
  // standard libraries still in use.
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || errno != 0 || !std::isfinite(value)) {
    usageError(std::string(option) + " needs a number, got '" + copy + "'");
  }
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int k = 1; k < argc; ++k) {
    std::string_view arg = argv[k];
    std::string_view value;
    bool has_inline_value = false;
    if (arg.starts_with("--")) {
      if (const auto eq = arg.find('='); eq != std::string_view::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        has_inline_value = true;
      }
    }
    const auto next = [&]() -> std::string_view {
      if (has_inline_value) return value;
      if (k + 1 >= argc) usageError(std::string(arg) + " needs a value");
      return argv[++k];
    };
    if (arg == "-h" || arg == "--help") {
      printUsage(stdout);
      std::exit(0);
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--snps") {
      options.snps = parseCount(arg, next());
    } else if (arg == "--subjects") {
      options.subjects = parseCount(arg, next());
    } else if (arg == "--seed") {
      options.seed = parseCount(arg, next());
    } else if (arg == "--case-share") {
      options.case_share = parseReal(arg, next());
    } else if (arg == "--missing-rate") {
      options.missing_rate = parseReal(arg, next());
    } else if (arg == "--planted") {
      options.planted = parseCount(arg, next());
    } else if (arg == "--effect") {
      options.effect = parseReal(arg, next());
    } else if (arg == "-o" || arg == "--output") {
      options.output = std::string(next());
    } else if (arg == "--planted-out") {
      options.planted_out = std::string(next());
    } else if (arg == "--bed") {
      options.bed_prefix = std::string(next());
    } else {
      usageError("unknown option '" + std::string(arg) + "'");
    }
  }
  if (options.snps == 0) usageError("--snps must be at least 1");
  if (options.subjects == 0) usageError("--subjects must be at least 1");
  // Both sizes multiply into the in-memory genotype matrix; refuse what
  // cannot be addressed rather than wrap around.
  if (options.snps > std::numeric_limits<std::size_t>::max() / options.subjects) {
    usageError("--snps x --subjects is too large");
  }
  if (!(options.case_share > 0.0 && options.case_share < 1.0))
    usageError("--case-share must lie strictly between 0 and 1");
  if (!(options.missing_rate >= 0.0 && options.missing_rate < 1.0)) usageError("--missing-rate must lie in [0, 1)");
  if (options.planted > options.snps / 2) usageError("--planted K needs at least 2K SNPs");
  return options;
}

// Uniform double in [0, 1) from the top 53 bits of a draw.
double unitReal(std::uint64_t bits) {
  return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

// Uniform integer in [0, n) without modulo bias, by rejection.
std::uint64_t boundedInt(std::mt19937_64& rng, std::uint64_t n) {
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % n;
  std::uint64_t x = rng();
  while (x >= limit) x = rng();
  return x % n;
}

// Threshold t such that a 32-bit draw d satisfies d < t with probability
// `probability` (up to 2^-32).
std::uint64_t threshold32(double probability) {
  const double scaled = std::floor(probability * 0x1.0p32);
  if (scaled <= 0.0) return 0;
  if (scaled >= 0x1.0p32) return std::uint64_t{1} << 32;
  return static_cast<std::uint64_t>(scaled);
}

struct Snp {
  double frequency = 0.0;
  std::uint64_t below_one = 0;  // genotype 0 when the draw is below this
  std::uint64_t below_two = 0;  // genotype 1 when below this (and not below the first)
};

Snp makeSnp(double frequency) {
  const double q = 1.0 - frequency;
  Snp snp;
  snp.frequency = frequency;
  snp.below_one = threshold32(q * q);
  snp.below_two = threshold32(q * q + 2.0 * frequency * q);
  return snp;
}

double logistic(double x) {
  return 1.0 / (1.0 + std::exp(-x));
}

// Intercept b0 with mean over subjects of logistic(b0 + eta_j) equal to
// `share`. The mean is increasing in b0, so bisection converges; 200 halvings
// of a [-60, 60] bracket reach the double resolution.
double solveIntercept(const std::vector<double>& eta, double share) {
  double low = -60.0;
  double high = 60.0;
  for (int iteration = 0; iteration < 200 && high - low > 1e-12; ++iteration) {
    const double mid = 0.5 * (low + high);
    double sum = 0.0;
    for (const double e : eta) sum += logistic(mid + e);
    if (sum / static_cast<double>(eta.size()) < share) {
      low = mid;
    } else {
      high = mid;
    }
  }
  return 0.5 * (low + high);
}

// Buffered writer: a few large fwrite calls instead of a stream operation
// per field keeps a 100 MB file to well under a second of output time.
class Writer {
 public:
  Writer(std::FILE* file, std::string path) : file_(file), path_(std::move(path)), buffer_(std::size_t{1} << 22) {}

  void put(char c) {
    if (used_ == buffer_.size()) flush();
    buffer_[used_++] = c;
  }
  void put(std::string_view text) {
    if (buffer_.size() - used_ < text.size()) flush();
    if (text.size() > buffer_.size()) {
      write(text.data(), text.size());
      return;
    }
    std::memcpy(buffer_.data() + used_, text.data(), text.size());
    used_ += text.size();
  }
  // Room for `n` more bytes without a flush in between.
  void reserve(std::size_t n) {
    if (buffer_.size() - used_ < n) flush();
  }
  char* cursor() { return buffer_.data() + used_; }
  void advance(std::size_t n) { used_ += n; }
  std::size_t capacity() const { return buffer_.size(); }

  void flush() {
    write(buffer_.data(), used_);
    used_ = 0;
  }

 private:
  void write(const char* data, std::size_t n) {
    if (n != 0 && std::fwrite(data, 1, n, file_) != n) ioError("write", path_);
  }

  std::FILE* file_;
  std::string path_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

std::FILE* createFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) ioError("create", path);
  return file;
}

void closeFile(std::FILE* file, const std::string& path) {
  if (std::fclose(file) != 0) ioError("close", path);
}

// The same data as a binary fileset: the .bed holds two bits per subject,
// SNP after SNP, first subject in the lowest bits of a byte; the code is
// 00 for two copies of allele 1, 10 for one, 11 for none and 01 missing.
// Allele 1 is the one the text file counts, so both give the same numbers.
void writeFileset(const std::string& prefix, const std::vector<std::uint8_t>& codes, const std::vector<char>& trait,
                  std::size_t snps) {
  const std::size_t subjects = trait.size();
  {
    const std::string path = prefix + ".fam";
    std::FILE* fam = createFile(path);
    Writer writer(fam, path);
    char line[96];
    for (std::size_t j = 0; j < subjects; ++j) {
      const int n = std::snprintf(line, sizeof line, "f%zu s%zu 0 0 0 %c\n", j + 1, j + 1, trait[j] == '1' ? '2' : '1');
      writer.put(std::string_view(line, static_cast<std::size_t>(n)));
    }
    writer.flush();
    closeFile(fam, path);
  }
  {
    const std::string path = prefix + ".bim";
    std::FILE* bim = createFile(path);
    Writer writer(bim, path);
    char line[96];
    for (std::size_t i = 0; i < snps; ++i) {
      const int n =
          std::snprintf(line, sizeof line, "%zu\trs%zu\t0\t%zu\tA\tG\n", 1 + i * 22 / snps, i + 1, 1000 * (i + 1));
      writer.put(std::string_view(line, static_cast<std::size_t>(n)));
    }
    writer.flush();
    closeFile(bim, path);
  }
  const std::string path = prefix + ".bed";
  std::FILE* bed = createFile(path);
  Writer writer(bed, path);
  writer.put(std::string_view("\x6c\x1b\x01", 3));
  static constexpr unsigned kCode[4] = {0b11, 0b10, 0b00, 0b01};  // by stored code 0, 1, 2, missing
  for (std::size_t i = 0; i < snps; ++i) {
    for (std::size_t j = 0; j < subjects; j += 4) {
      unsigned byte = 0;
      for (std::size_t k = j; k < j + 4 && k < subjects; ++k) byte |= kCode[codes[k * snps + i]] << (2 * (k - j));
      writer.put(static_cast<char>(byte));
    }
  }
  writer.flush();
  closeFile(bed, path);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  const std::size_t snps = options.snps;
  const std::size_t subjects = options.subjects;
  std::mt19937_64 rng(options.seed);

  // The order of the draws below is part of the output's definition: a
  // change here changes every file generated from a given seed.

  // 1. Allele frequencies.
  std::vector<Snp> snp(snps);
  for (auto& s : snp) s = makeSnp(0.05 + 0.45 * unitReal(rng()));

  // 2. Planted SNPs: a partial Fisher-Yates shuffle picks 2K distinct ones;
  //    each pair is ordered by file position, as a scan reports it.
  std::vector<std::size_t> order(snps);
  for (std::size_t i = 0; i < snps; ++i) order[i] = i;
  const std::size_t planted_snps = 2 * options.planted;
  for (std::size_t i = 0; i < planted_snps; ++i) {
    const std::size_t pick = i + boundedInt(rng, snps - i);
    std::swap(order[i], order[pick]);
  }
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  for (std::size_t k = 0; k < options.planted; ++k) {
    const std::size_t a = order[2 * k];
    const std::size_t b = order[2 * k + 1];
    pairs.emplace_back(std::min(a, b), std::max(a, b));
  }
  for (std::size_t i = 0; i < planted_snps; ++i) snp[order[i]] = makeSnp(0.25 + 0.25 * unitReal(rng()));

  // 3. Genotypes, subject by subject: the high 32 bits of one draw choose
  //    the genotype, the low 32 bits decide whether it is masked.
  const std::uint64_t missing_below = threshold32(options.missing_rate);
  std::vector<std::uint8_t> truth(planted_snps * subjects);  // unmasked genotypes of the planted SNPs
  std::vector<std::size_t> planted_slot(snps, SIZE_MAX);
  for (std::size_t i = 0; i < planted_snps; ++i) planted_slot[order[i]] = i;
  std::vector<std::uint8_t> codes(snps * subjects);
  for (std::size_t j = 0; j < subjects; ++j) {
    std::uint8_t* row = codes.data() + j * snps;
    for (std::size_t i = 0; i < snps; ++i) {
      const std::uint64_t draw = rng();
      const std::uint64_t high = draw >> 32;
      const std::uint64_t low = draw & 0xffffffffu;
      const std::uint8_t g = high < snp[i].below_one ? 0 : (high < snp[i].below_two ? 1 : 2);
      row[i] = low < missing_below ? kMissing : g;
      if (planted_slot[i] != SIZE_MAX) truth[planted_slot[i] * subjects + j] = g;
    }
  }

  // 4. Trait from the logistic model.
  std::vector<double> eta(subjects, 0.0);
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const std::uint8_t* ga = truth.data() + planted_slot[pairs[k].first] * subjects;
    const std::uint8_t* gb = truth.data() + planted_slot[pairs[k].second] * subjects;
    for (std::size_t j = 0; j < subjects; ++j) eta[j] += options.effect * ga[j] * gb[j];
  }
  const double intercept = solveIntercept(eta, options.case_share);
  std::vector<char> trait(subjects);
  std::size_t cases = 0;
  for (std::size_t j = 0; j < subjects; ++j) {
    const bool is_case = unitReal(rng()) < logistic(intercept + eta[j]);
    trait[j] = is_case ? '1' : '0';
    cases += is_case ? 1 : 0;
  }

  // 5. The file.
  std::FILE* out = stdout;
  const std::string out_name = options.output.empty() ? std::string("standard output") : options.output;
  if (!options.output.empty()) {
    out = std::fopen(options.output.c_str(), "wb");
    if (out == nullptr) ioError("create", options.output);
  }
  {
    Writer writer(out, out_name);
    writer.put("Trait");
    char name[32];
    for (std::size_t i = 0; i < snps; ++i) {
      const int n = std::snprintf(name, sizeof name, " rs%zu", i + 1);
      writer.put(std::string_view(name, static_cast<std::size_t>(n)));
    }
    writer.put('\n');
    // Each field is written as its separator plus code from a small table.
    static constexpr char kText[4][4] = {" 0", " 1", " 2", " -9"};
    static constexpr std::size_t kLength[4] = {2, 2, 2, 3};
    constexpr std::size_t kChunk = 4096;  // fields per bounds check
    for (std::size_t j = 0; j < subjects; ++j) {
      writer.put(trait[j]);
      const std::uint8_t* row = codes.data() + j * snps;
      for (std::size_t start = 0; start < snps; start += kChunk) {
        const std::size_t stop = std::min(snps, start + kChunk);
        writer.reserve(3 * (stop - start) + 1);  // +1: the last 4-byte copy
        char* cursor = writer.cursor();
        char* const begin = cursor;
        for (std::size_t i = start; i < stop; ++i) {
          std::memcpy(cursor, kText[row[i]], 4);  // copies the terminator too; overwritten next
          cursor += kLength[row[i]];
        }
        writer.advance(static_cast<std::size_t>(cursor - begin));
      }
      writer.put('\n');
    }
    writer.flush();
  }
  if (out != stdout) {
    if (std::fclose(out) != 0) ioError("close", options.output);
  } else if (std::fflush(stdout) != 0) {
    ioError("write", out_name);
  }

  if (!options.bed_prefix.empty()) writeFileset(options.bed_prefix, codes, trait, snps);

  if (!options.planted_out.empty()) {
    std::FILE* side = std::fopen(options.planted_out.c_str(), "w");
    if (side == nullptr) ioError("create", options.planted_out);
    for (const auto& [a, b] : pairs) std::fprintf(side, "rs%zu rs%zu\n", a + 1, b + 1);
    if (std::fclose(side) != 0) ioError("write", options.planted_out);
  }

  if (!options.quiet) {
    std::fprintf(stderr, "dyadmill-generate: %zu SNPs x %zu subjects, seed %llu, %zu cases (%.4f), missing rate %g\n",
                 snps, subjects, static_cast<unsigned long long>(options.seed), cases,
                 static_cast<double>(cases) / static_cast<double>(subjects), options.missing_rate);
    for (const auto& [a, b] : pairs) {
      std::fprintf(stderr, "dyadmill-generate: planted pair rs%zu rs%zu (allele frequencies %.3f %.3f, effect %g)\n",
                   a + 1, b + 1, snp[a].frequency, snp[b].frequency, options.effect);
    }
  }
  return 0;
}
