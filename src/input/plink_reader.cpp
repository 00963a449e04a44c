#include "plink_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <string_view>
#include <utility>
#include <vector>

#include "console.h"
#include "content_hash.h"
#include "fields.h"
#include "input_errors.h"
#include "plink_reader_internal.h"
#include "selection.h"
#include "threads.h"

namespace dyadmill {

namespace {

constexpr std::size_t kBimFields = 6;
constexpr std::size_t kFamFields = 6;

// Reads a text file of the fileset whole; a folder or a missing file is
// refused. Its bytes are kept for the fingerprint, which needs them after
// the .bed's (content_hash.h).
bool readText(const std::string& path, std::string& bytes) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.clear();
  // Small: a large block costs more to zero and map than it saves in reads.
  std::vector<char> block(std::size_t{64} << 10);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    bytes.append(block.data(), static_cast<std::size_t>(in.gcount()));
  }
  return !in.bad();
}

// Calls `take(fields, line_number)` for every non-empty line (a trailing
// carriage return dropped; a last line without a line feed counts),
// stopping at the first outcome that stops.
template <typename Take>
Outcome forEachLine(std::string_view bytes, Take take) {
  std::uint64_t line_number = 0;
  std::vector<std::string> fields;
  while (!bytes.empty()) {
    const std::size_t feed = bytes.find('\n');
    std::string_view line = bytes.substr(0, feed);
    bytes.remove_prefix(feed == std::string_view::npos ? bytes.size() : feed + 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    // Fields separated by runs of spaces or tabs, as both text files of the
    // fileset are written.
    blankSeparatedFields(line, fields);
    if (Outcome o = take(fields, line_number); o.stopped()) return o;
  }
  return Outcome::proceed();
}

Outcome readBim(const std::string& path, GenotypeStore& store, std::string& bytes) {
  if (!readText(path, bytes)) return inputFileError(path, "unable to open the SNP map file (.bim) of the fileset");
  console().line("INFO: Reading SNP names");
  // A line per SNP, give or take a last line without a line feed.
  const auto lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
  store.snp_chromosomes.reserve(lines);
  store.snp_names.reserve(lines);
  store.snp_positions.reserve(lines);
  Outcome read = forEachLine(bytes, [&](const std::vector<std::string>& fields, std::uint64_t line_number) {
    if (fields.size() != kBimFields) {
      return inputLineError(path, line_number,
                            "expected 6 fields (chromosome, SNP name, genetic distance, position, allele 1, allele 2), "
                            "found " +
                                std::to_string(fields.size()));
    }
    store.snp_chromosomes.emplace_back(fields[0]);
    store.snp_names.emplace_back(fields[1]);
    store.snp_positions.emplace_back(fields[3]);
    return Outcome::proceed();
  });
  if (read.stopped()) return read;
  if (store.snp_names.empty()) return inputFileError(path, "the file lists no SNPs");
  return Outcome::proceed();
}

// The subjects of the .fam: which of them have a phenotype, and theirs.
struct FamSubjects {
  std::uint64_t listed = 0;              // lines of the .fam = subjects of the .bed
  std::vector<std::uint64_t> kept;       // .fam position of each kept subject, in order
  std::vector<std::uint64_t> kept_line;  // its .fam line number, for messages
  std::vector<std::uint16_t> traits;     // 1 = case, 0 = control, per kept subject
  std::uint64_t without_phenotype = 0;   // left out for want of a phenotype
  bool allKept() const { return kept.size() == listed; }
};

Outcome readFam(const std::string& path, SubjectFilter& filter, FamSubjects& fam, std::string& bytes) {
  if (!readText(path, bytes)) return inputFileError(path, "unable to open the subject file (.fam) of the fileset");
  Outcome read = forEachLine(bytes, [&](const std::vector<std::string>& fields, std::uint64_t line_number) {
    if (fields.size() != kFamFields) {
      return inputLineError(path, line_number,
                            "expected 6 fields (family, subject, father, mother, sex, phenotype), found " +
                                std::to_string(fields.size()));
    }
    const std::string_view phenotype = fields[5];
    const std::uint64_t position = fam.listed++;
    if (!filter.admits(fields[0], fields[1])) return Outcome::proceed();
    if (phenotype == "0" || phenotype == "-9" || phenotype == "NA") {
      ++fam.without_phenotype;
      return Outcome::proceed();
    }
    if (phenotype != "1" && phenotype != "2") {
      return inputLineError(
          path, line_number,
          "phenotype \"" + std::string(phenotype) + "\" is none of 2 (case), 1 (control), or 0, -9, NA (no phenotype)");
    }
    if (fam.kept.size() == kMaxSubjects) {
      return inputLineError(path, line_number,
                            "more than " + std::to_string(kMaxSubjects) +
                                " subjects with a phenotype; a run holds at most " + std::to_string(kMaxSubjects));
    }
    fam.kept.push_back(position);
    fam.kept_line.push_back(line_number);
    fam.traits.push_back(phenotype == "2" ? 1 : 0);
    return Outcome::proceed();
  });
  if (read.stopped()) return read;
  if (fam.listed == 0) return inputFileError(path, "the file lists no subjects");
  filter.report(path);
  if (fam.without_phenotype > 0) {
    console().print("INFO: %" PRIu64 " of %" PRIu64 " subjects in %s have no phenotype and are left out\n",
                    fam.without_phenotype, fam.listed, path.c_str());
  }
  if (filter.active()) {
    console().print("INFO: Selection: %zu of %" PRIu64 " subjects kept\n", fam.kept.size(), fam.listed);
  }
  if (fam.kept.empty()) {
    return inputFileError(path, filter.active() ? "no subject selected by --keep/--remove has a phenotype"
                                                : "no subject has a phenotype (2 = case, 1 = control)");
  }
  return Outcome::proceed();
}

// The store's shape for the kept subjects, all bits 0.
void sizeStore(const RunParameters& params, const FamSubjects& fam, const SnpPlan& plan, GenotypeStore& store) {
  const std::uint64_t rows_per_snp = params.rowsPerSnp();
  store.total_amount = static_cast<SubjectCount>(fam.kept.size());
  store.subjects_left_out = fam.listed - fam.kept.size();
  store.binary_diagnostic_vect = fam.traits;
  store.affected_amount = static_cast<SubjectCount>(std::count(fam.traits.begin(), fam.traits.end(), 1));
  store.snp_amount = store.snp_names.size();
  store.cumdimension_vect.resize(store.snp_amount + 1);
  for (std::uint64_t i = 0; i <= store.snp_amount; ++i) store.cumdimension_vect[i] = i * rows_per_snp;
  store.dimension_vect.assign(store.snp_amount, 3);
  console().print("INFO: Total number of SNPs in the INPUT file: %" PRIu64 "\n", plan.fileSnps());
  store.snp_matrix = BitMatrix(rows_per_snp * store.snp_amount, wordsFor(store.total_amount));
}

// Opens the .bed and checks its first three bytes and its size against the
// SNP and subject counts of the other two files.
Outcome openBed(const FilesetNames& names, std::uint64_t snps, std::uint64_t subjects, std::ifstream& in,
                ContentHasher& hasher) {
  std::error_code ec;
  if (std::filesystem::is_directory(names.bed, ec)) return inputFileError(names.bed, "is a folder, not a .bed file");
  in.open(names.bed, std::ios::binary);
  if (!in) return inputFileError(names.bed, "unable to open the genotype file (.bed) of the fileset");
  std::array<unsigned char, 3> magic{};
  in.read(reinterpret_cast<char*>(magic.data()), 3);
  if (in.gcount() != 3 || magic[0] != 0x6c || magic[1] != 0x1b) {
    return inputFileError(names.bed, "not a binary genotype file: it does not start with the bytes 6c 1b");
  }
  if (magic[2] == 0x00) {
    return inputFileError(names.bed, "individual-major layout (third byte 00); only the SNP-major layout (01) is read");
  }
  if (magic[2] != 0x01) return inputFileError(names.bed, "unknown layout byte; expected 01 (SNP-major)");
  const std::uint64_t size = std::filesystem::file_size(names.bed, ec);
  const std::uint64_t expected = 3 + snps * ((subjects + 3) / 4);
  if (ec || size != expected) {
    return inputFileError(names.bed, "holds " + std::to_string(size) + " bytes, but " + std::to_string(snps) +
                                         " SNPs (" + names.bim + ") and " + std::to_string(subjects) + " subjects (" +
                                         names.fam + ") need " + std::to_string(expected) +
                                         "; the three files do not belong together");
  }
  hasher.updateLength(size);
  hasher.update(magic.data(), magic.size());
  return Outcome::proceed();
}

// The even bits of x (bits 0, 2, ..., 62) packed into bits 0..31.
inline std::uint64_t evenBits(std::uint64_t x) {
  x &= 0x5555555555555555ULL;
  x = (x | (x >> 1)) & 0x3333333333333333ULL;
  x = (x | (x >> 2)) & 0x0F0F0F0F0F0F0F0FULL;
  x = (x | (x >> 4)) & 0x00FF00FF00FF00FFULL;
  x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
  x = (x | (x >> 16)) & 0x00000000FFFFFFFFULL;
  return x;
}

}  // namespace

namespace plink_internal {

namespace {

// One SNP's genotype words, one per level plus the missing ones. In a byte
// the first subject takes the lowest two bits; the code (high bit, low bit)
// is 00 for two copies of allele 1, 01 missing, 10 one copy, 11 none.
struct LevelWords {
  std::uint64_t level[3];
  std::uint64_t missing;
};

inline LevelWords levelsOf(std::uint64_t low, std::uint64_t high, std::uint64_t valid) {
  return {{low & high & valid, high & ~low & valid, ~(low | high) & valid}, low & ~high & valid};
}

inline std::uint64_t validMask(std::uint64_t subjects, std::uint64_t w) {
  const std::uint64_t left = subjects - w * 64;
  return left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
}

// Stores word w of every row; returns false when a refused missing
// genotype stops the SNP.
inline bool storeWord(const DenseSnp& snp, std::uint64_t w, const LevelWords& words) {
  if (words.missing != 0 && snp.refuse_missing) return false;
  for (unsigned d = 0; d < 3; ++d) {
    if (snp.rows[d] != nullptr) snp.rows[d][w] = words.level[d];
  }
  return true;
}

// The codes of word w, sixteen bytes read as two little-endian words; the
// last, partial word is copied into zeros first so that nothing past the
// SNP's bytes is read.
inline void loadWord(const DenseSnp& snp, std::uint64_t w, std::uint64_t& first, std::uint64_t& second) {
  unsigned char padded[16] = {};
  const unsigned char* at = snp.bytes + w * 16;
  if (snp.size - w * 16 < 16) {
    std::memcpy(padded, at, snp.size - w * 16);
    at = padded;
  }
  std::memcpy(&first, at, 8);
  std::memcpy(&second, at + 8, 8);
  if constexpr (std::endian::native == std::endian::big) {
    first = __builtin_bswap64(first);
    second = __builtin_bswap64(second);
  }
}

}  // namespace

std::int64_t decodeDensePortable(const DenseSnp& snp) {
  for (std::uint64_t w = 0; w < snp.words; ++w) {
    std::uint64_t first = 0, second = 0;
    loadWord(snp, w, first, second);
    const std::uint64_t low = evenBits(first) | (evenBits(second) << 32);
    const std::uint64_t high = evenBits(first >> 1) | (evenBits(second >> 1) << 32);
    const LevelWords words = levelsOf(low, high, validMask(snp.subjects, w));
    if (!storeWord(snp, w, words)) return static_cast<std::int64_t>(w * 64 + std::countr_zero(words.missing));
  }
  return -1;
}

#if defined(__x86_64__)
namespace {

// The same with one bit-extract instruction per half word instead of five
// shift-and-mask steps.
__attribute__((target("bmi2"))) std::int64_t decodeDenseBmi2(const DenseSnp& snp) {
  constexpr std::uint64_t kEven = 0x5555555555555555ULL;
  for (std::uint64_t w = 0; w < snp.words; ++w) {
    std::uint64_t first = 0, second = 0;
    loadWord(snp, w, first, second);
    const std::uint64_t low = _pext_u64(first, kEven) | (_pext_u64(second, kEven) << 32);
    const std::uint64_t high = _pext_u64(first, kEven << 1) | (_pext_u64(second, kEven << 1) << 32);
    const LevelWords words = levelsOf(low, high, validMask(snp.subjects, w));
    if (!storeWord(snp, w, words)) return static_cast<std::int64_t>(w * 64 + std::countr_zero(words.missing));
  }
  return -1;
}

}  // namespace
#endif

DenseDecoder bmi2DenseDecoder() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("bmi2")) return decodeDenseBmi2;
#endif
  return nullptr;
}

DenseDecoder bestDenseDecoder() {
  const DenseDecoder bmi2 = bmi2DenseDecoder();
  return bmi2 != nullptr ? bmi2 : decodeDensePortable;
}

namespace {
std::size_t read_slice_bytes = std::size_t{256} << 10;
}  // namespace

std::size_t setReadSliceBytes(std::size_t bytes) {
  return std::exchange(read_slice_bytes, bytes);
}

}  // namespace plink_internal

namespace {

using plink_internal::bestDenseDecoder;
using plink_internal::DenseDecoder;
using plink_internal::DenseSnp;

// Decodes one SNP (`bytes`, ceil(listed / 4) of them) into its rows.
class SnpDecoder {
 public:
  SnpDecoder(const RunParameters& params, const FamSubjects& fam, GenotypeStore& store)
      : params_(params), fam_(fam), store_(store), words_(store.snp_matrix.words()), dense_(bestDenseDecoder()) {}

  // Returns the position among the kept subjects of a missing genotype
  // that --nomissing forbids, or -1 when there is none.
  std::int64_t decode(const unsigned char* bytes, std::size_t size, std::uint64_t snp) {
    std::uint64_t* rows[3];
    const std::uint64_t first_row = store_.cumdimension_vect[snp];
    for (unsigned d = 0; d < 3; ++d) rows[d] = levelRow(first_row, d);
    return fam_.allKept() ? decodeAll(bytes, size, rows) : decodeKept(bytes, rows);
  }

 private:
  // The row of level d, or nullptr for level 0 without missing genotypes.
  std::uint64_t* levelRow(std::uint64_t first_row, unsigned d) {
    if (params_.missing()) return store_.snp_matrix.row(first_row + d);
    return d == 0 ? nullptr : store_.snp_matrix.row(first_row + d - 1);
  }

  std::int64_t decodeAll(const unsigned char* bytes, std::size_t size, std::uint64_t* const* rows) {
    return dense_({bytes, size, store_.total_amount, words_, rows, !params_.missing()});
  }

  // Some subjects left out: each kept subject's code is picked by position.
  std::int64_t decodeKept(const unsigned char* bytes, std::uint64_t* const* rows) {
    // Code to level: 00 -> 2, 01 -> missing, 10 -> 1, 11 -> 0.
    constexpr int kLevelOf[4] = {2, -1, 1, 0};
    for (std::uint64_t j = 0; j < fam_.kept.size(); ++j) {
      const std::uint64_t k = fam_.kept[j];
      const int level = kLevelOf[(bytes[k / 4] >> (2 * (k % 4))) & 3];
      if (level < 0) {
        if (!params_.missing()) return static_cast<std::int64_t>(j);
        continue;
      }
      if (rows[level] != nullptr) rows[level][j / 64] |= std::uint64_t{1} << (j % 64);
    }
    return -1;
  }

  const RunParameters& params_;
  const FamSubjects& fam_;
  GenotypeStore& store_;
  const std::uint64_t words_;
  const DenseDecoder dense_;
};

// Reads the genotype bytes in slices of whole SNPs, one buffer reused: small
// enough to stay in cache between the read and the decoding, and to cost few
// page faults (on a virtual machine each is dear, and reading is the part of
// a run the threads share least), yet at least a few SNPs per thread.
Outcome decodeBed(const RunParameters& params, const FilesetNames& names, const FamSubjects& fam, const SnpPlan& plan,
                  std::ifstream& in, GenotypeStore& store, ContentHasher& hasher) {
  console().line("INFO: Starting to convert genotypes of INPUT file SNP by SNP");
  const std::size_t bytes_per_snp = (fam.listed + 3) / 4;
  // A fileset without subjects never gets here; the guard keeps the
  // division defined all the same.
  const std::size_t snps_per_read =
      std::max<std::size_t>(std::size_t{8} * workerThreads(params),
                            plink_internal::read_slice_bytes / std::max<std::size_t>(bytes_per_snp, 1));
  const auto slice = std::make_unique_for_overwrite<unsigned char[]>(snps_per_read * bytes_per_snp);
  std::vector<std::int64_t> missing(snps_per_read);
  SnpDecoder decoder(params, fam, store);
  const std::uint64_t file_snps = plan.fileSnps();
  for (std::uint64_t first = 0; first < file_snps; first += snps_per_read) {
    const std::uint64_t count = std::min<std::uint64_t>(snps_per_read, file_snps - first);
    in.read(reinterpret_cast<char*>(slice.get()), static_cast<std::streamsize>(count * bytes_per_snp));
    if (static_cast<std::uint64_t>(in.gcount()) != count * bytes_per_snp) {
      return inputFileError(names.bed, "the file shrank while it was being read");
    }
    hasher.update(slice.get(), count * bytes_per_snp);
    // Each SNP has rows of its own, so the run's threads decode a slice
    // side by side; a forbidden missing genotype is then reported for the
    // first SNP in file order that has one. Guided shares keep a faster CPU
    // busy where an even split would wait for the slower one.
#pragma omp parallel for schedule(guided)
    for (std::uint64_t s = 0; s < count; ++s) {
      const std::int64_t snp = plan.store_index[first + s];
      missing[s] =
          snp < 0 ? -1
                  : decoder.decode(slice.get() + s * bytes_per_snp, bytes_per_snp, static_cast<std::uint64_t>(snp));
    }
    for (std::uint64_t s = 0; s < count; ++s) {
      if (missing[s] >= 0) {
        const auto snp = static_cast<std::uint64_t>(plan.store_index[first + s]);
        return inputFileError(
            names.bed, "missing genotype of SNP " + store.snp_names[snp] + " for the subject on line " +
                           std::to_string(fam.kept_line[static_cast<std::size_t>(missing[s])]) + " of " + names.fam +
                           " with --nomissing; use --missing for data with missing genotypes");
      }
    }
  }
  console().line("INFO: Done reading the input genotype data");
  return Outcome::proceed();
}

// As for the text format: both groups must be present, and the group called
// cases is never the larger one.
Outcome recodeTrait(const std::string& fam_path, bool selected, GenotypeStore& store) {
  store.unaffected_amount = static_cast<SubjectCount>(store.total_amount - store.affected_amount);
  const std::string subjects = selected ? "no subject kept by --keep/--remove" : "no subject";
  if (store.affected_amount == 0) return inputFileError(fam_path, subjects + " is a case (phenotype 2)");
  if (store.unaffected_amount == 0) return inputFileError(fam_path, subjects + " is a control (phenotype 1)");
  swapGroupsWhenCasesOutnumberControls(store);
  return Outcome::proceed();
}

}  // namespace

bool isPlinkFileset(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".bed") == 0;
}

FilesetNames filesetNames(const std::string& bed_path) {
  const std::string prefix = bed_path.substr(0, bed_path.size() - 4);
  return {bed_path, prefix + ".bim", prefix + ".fam"};
}

Outcome readPlinkFileset(const RunParameters& params, GenotypeStore& store,
                         const std::function<Outcome(const GenotypeStore&)>& names_check, const SelectionLists& lists) {
  const FilesetNames names = filesetNames(params.inFile);
  std::string bim_bytes;
  if (Outcome o = readBim(names.bim, store, bim_bytes); o.stopped()) return o;
  SnpPlan plan;
  if (Outcome o = planSnps(params, lists, store.snp_names, store.snp_chromosomes, plan); o.stopped()) return o;
  const std::vector<std::string> file_names = std::move(store.snp_names);
  store.snp_names = plan.inStoreOrder(file_names);
  store.snp_chromosomes = plan.inStoreOrder(store.snp_chromosomes);
  store.snp_positions = plan.inStoreOrder(store.snp_positions);
  store.set_layout = plan.layout;
  if (names_check) {
    if (Outcome o = names_check(store); o.stopped()) return o;
  }
  // The fingerprint takes the .bed first, then the .bim and the .fam.
  ContentHasher hasher;
  auto hashTextFiles = [&](const std::string& fam_bytes) {
    hasher.updateLength(bim_bytes.size());
    hasher.update(bim_bytes.data(), bim_bytes.size());
    hasher.updateLength(fam_bytes.size());
    hasher.update(fam_bytes.data(), fam_bytes.size());
    store.content_hash = hasher.digest();
  };
  std::string fam_bytes;
  if (!params.readsGenotypes()) {
    // Only the fingerprint: the .bed streams through the hash undecoded.
    if (Outcome o = hashWholeFile(names.bed, "the genotype file (.bed) of the fileset", hasher); o.stopped()) return o;
    if (!readText(names.fam, fam_bytes)) {
      return inputFileError(names.fam, "unable to open the subject file (.fam) of the fileset");
    }
    hashTextFiles(fam_bytes);
    return Outcome::proceed();
  }

  FamSubjects fam;
  SubjectFilter filter(lists);
  if (Outcome o = readFam(names.fam, filter, fam, fam_bytes); o.stopped()) return o;
  std::ifstream bed;
  if (Outcome o = openBed(names, file_names.size(), fam.listed, bed, hasher); o.stopped()) return o;
  sizeStore(params, fam, plan, store);
  if (Outcome o = decodeBed(params, names, fam, plan, bed, store, hasher); o.stopped()) return o;
  hashTextFiles(fam_bytes);
  if (Outcome o = recodeTrait(names.fam, filter.active(), store); o.stopped()) return o;
  if (Outcome o = applyFrequencyFilters(params, store, plan); o.stopped()) return o;
  store.set_layout = plan.layout;
  return Outcome::proceed();
}

}  // namespace dyadmill
