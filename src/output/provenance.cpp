#include "provenance.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>
#include <type_traits>

#include <xxhash.h>

#include <new>

#include "fingerprint.h"
#include "number_fields.h"

namespace dyadmill {

namespace {

constexpr std::string_view kMagic = "dyadmill-partial";
constexpr std::string_view kVersions[] = {"v1", "v2"};  // index + 1 is the version
constexpr std::string_view kFingerprintPrefix = "fnv1a64:";
constexpr std::string_view kContentHashPrefix = "hash=xxh3:";
constexpr std::string_view kDataPrefix = "xxh3:";

const char* hypothesisText(std::int32_t v) {
  return v == 1 ? "epistasis" : "association";
}
const char* testText(std::int32_t v) {
  return v != 0 ? "score" : "likelihood";
}
const char* algoText(std::int32_t v) {
  return v == 1 ? "minP" : "maxT";
}
const char* missingText(std::int32_t v) {
  return v != 0 ? "missing" : "nomissing";
}

std::string thresholdText(float t) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(t));  // enough digits to read back the same float
  return buffer;
}

std::string hexText(std::string_view prefix, std::uint64_t f) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%016" PRIx64, f);
  return std::string(prefix) + buffer;
}

std::string fingerprintText(std::uint64_t f) {
  return hexText(kFingerprintPrefix, f);
}

template <typename T>
bool parseWhole(std::string_view text, T& value, int base = 10) {
  return parseWholeInteger<T>(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(),
                              std::is_signed_v<T> ? Sign::MinusOnly : Sign::None, value, base);
}

// Two-valued options are written as words; anything else is refused.
bool parseWord(std::string_view text, const char* one, const char* zero, std::int32_t& value) {
  if (text == one) {
    value = 1;
  } else if (text == zero) {
    value = 0;
  } else {
    return false;
  }
  return true;
}

using FieldReader = std::function<bool(std::string_view, Provenance&)>;

struct FieldSpec {
  const char* key;
  FieldReader read;
  std::uint64_t since = 1;  // the first format version with this field
  bool optional = false;    // written only when it applies
};

// A selection value is one word without '='.
bool plainWord(std::string_view v) {
  return !v.empty() && v.find_first_of("= \t") == std::string_view::npos;
}

const std::vector<FieldSpec>& fieldSpecs() {
  static const std::vector<FieldSpec> specs = {
      {"n", [](std::string_view v, Provenance& p) { return parseWhole(v, p.processAmount); }},
      {"p", [](std::string_view v, Provenance& p) { return parseWhole(v, p.processID); }},
      {"b", [](std::string_view v, Provenance& p) { return parseWhole(v, p.blocksGiven); }},
      {"b_used", [](std::string_view v, Provenance& p) { return parseWhole(v, p.blocksUsed); }},
      {"hypothesis",
       [](std::string_view v, Provenance& p) { return parseWord(v, "epistasis", "association", p.hypothesisOption); }},
      {"test", [](std::string_view v, Provenance& p) { return parseWord(v, "score", "likelihood", p.testTypeOption); }},
      {"algo", [](std::string_view v, Provenance& p) { return parseWord(v, "minP", "maxT", p.algoOption); }},
      {"missing",
       [](std::string_view v, Provenance& p) { return parseWord(v, "missing", "nomissing", p.missingGenoOption); }},
      {"m", [](std::string_view v, Provenance& p) { return parseWhole(v, p.minGroupSizeParam); }},
      {"t",
       [](std::string_view v, Provenance& p) {
         float t = 0.0f;
         if (v.empty() || v.front() == '+') return false;
         const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), t);
         if (ec != std::errc() || end != v.data() + v.size() || !std::isfinite(t)) return false;
         p.thresholdParam = t;
         return true;
       }},
      {"permutations", [](std::string_view v, Provenance& p) { return parseWhole(v, p.permutationParam); }},
      {"seed",
       [](std::string_view v, Provenance& p) {
         std::int64_t seed = 0;
         if (!parseWhole(v, seed)) return false;
         p.randomParam = static_cast<std::uint64_t>(seed);
         return true;
       }},
      {"fwer",
       [](std::string_view v, Provenance& p) {
         std::int32_t on = 0;
         if (!parseWord(v, "1", "0", on)) return false;
         p.fwerOption = on == 1;
         return true;
       },
       2},
      {"snps", [](std::string_view v, Provenance& p) { return parseWhole(v, p.snpAmount); }},
      {"subjects", [](std::string_view v, Provenance& p) { return parseWhole(v, p.subjectAmount); }},
      {"snp_names",
       [](std::string_view v, Provenance& p) {
         if (v.substr(0, kFingerprintPrefix.size()) != kFingerprintPrefix) return false;
         v.remove_prefix(kFingerprintPrefix.size());
         return v.size() == 16 && parseWhole(v, p.snpNamesFingerprint, 16);
       }},
      {"data",
       [](std::string_view v, Provenance& p) {
         if (v.substr(0, kDataPrefix.size()) != kDataPrefix) return false;
         v.remove_prefix(kDataPrefix.size());
         std::uint64_t f = 0;
         if (v.size() != 16 || !parseWhole(v, f, 16)) return false;
         p.dataFingerprint = f;
         return true;
       },
       2, true},
  };
  static const std::vector<FieldSpec> with_selection = [] {
    std::vector<FieldSpec> all = specs;
    for (const char* key : kSelectionKeys) {
      all.push_back({key,
                     [key](std::string_view v, Provenance& p) {
                       if (!plainWord(v)) return false;
                       p.selection[key] = std::string(v);
                       return true;
                     },
                     2, true});
    }
    return all;
  }();
  return with_selection;
}

std::vector<std::string_view> splitSpaces(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t k = 0;
  while (k < line.size()) {
    while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
    const std::size_t start = k;
    while (k < line.size() && line[k] != ' ' && line[k] != '\t') ++k;
    if (k > start) words.push_back(line.substr(start, k - start));
  }
  return words;
}

std::string versionText(std::uint64_t version) {
  return "v" + std::to_string(version);
}

}  // namespace

std::uint64_t snpNamesFingerprint(const std::vector<std::string>& names) {
  return namesFingerprint(names);
}

Provenance provenanceOf(const RunParameters& params, std::uint64_t blocks_used, const std::vector<std::string>& names,
                        std::uint64_t subjects) {
  Provenance p;
  p.processAmount = params.processAmount;
  p.processID = params.processID;
  p.blocksGiven = params.blockAmount;
  p.blocksUsed = blocks_used;
  p.hypothesisOption = params.epistasis() ? 1 : 0;
  p.testTypeOption = params.score() ? 1 : 0;
  p.algoOption = params.minP() ? 1 : 0;
  p.missingGenoOption = params.missing() ? 1 : 0;
  p.minGroupSizeParam = params.minGroupSizeParam;
  p.thresholdParam = params.thresholdParam;
  p.permutationParam = params.permutationParam;
  p.randomParam = params.randomParam;
  p.fwerOption = params.fwerOption;
  p.snpAmount = names.size();
  p.subjectAmount = subjects;
  p.snpNamesFingerprint = snpNamesFingerprint(names);
  return p;
}

std::string dataFingerprintText(std::uint64_t fingerprint) {
  return hexText(kDataPrefix, fingerprint);
}

std::map<std::string, std::string> selectionProvenance(const RunParameters& params, const SelectionLists& lists) {
  std::map<std::string, std::string> entries;
  const std::pair<const char*, const std::optional<NameList>*> named[] = {
      {"extract", &lists.extract}, {"exclude", &lists.exclude}, {"keep", &lists.keep},
      {"remove", &lists.remove},   {"set1", &lists.set1},       {"set2", &lists.set2}};
  for (const auto& [key, list] : named) {
    if (*list) entries[key] = fingerprintText((*list)->fingerprint);
  }
  const std::string& chr = params.selection.chrList;
  if (!chr.empty()) entries["chr"] = plainWord(chr) ? chr : fingerprintText(namesFingerprint({chr}));
  char buffer[40];
  if (params.selection.maf >= 0.0) {
    std::snprintf(buffer, sizeof buffer, "%.17g", params.selection.maf);
    entries["maf"] = buffer;
  }
  if (params.selection.geno >= 0.0) {
    std::snprintf(buffer, sizeof buffer, "%.17g", params.selection.geno);
    entries["geno"] = buffer;
  }
  return entries;
}

// Always in the current version: the program writes no other.
std::string formatProvenanceLine(const Provenance& p) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer,
                "# %s %s n=%" PRIu64 " p=%" PRIu64 " b=%" PRIu64 " b_used=%" PRIu64
                " hypothesis=%s test=%s algo=%s missing=%s m=%" PRId32 " t=%s permutations=%" PRIu64 " seed=%" PRId64
                " fwer=%d snps=%" PRIu64 " subjects=%" PRIu64 " snp_names=%s\n",
                std::string(kMagic).c_str(), versionText(kPartialFormatVersion).c_str(), p.processAmount, p.processID,
                p.blocksGiven, p.blocksUsed, hypothesisText(p.hypothesisOption), testText(p.testTypeOption),
                algoText(p.algoOption), missingText(p.missingGenoOption), p.minGroupSizeParam,
                thresholdText(p.thresholdParam).c_str(), p.permutationParam, static_cast<std::int64_t>(p.randomParam),
                p.fwerOption ? 1 : 0, p.snpAmount, p.subjectAmount, fingerprintText(p.snpNamesFingerprint).c_str());
  std::string line = buffer;
  line.pop_back();  // the line feed, after the data fingerprint and the selection
  if (p.dataFingerprint) line += " data=" + dataFingerprintText(*p.dataFingerprint);
  for (const char* key : kSelectionKeys) {
    if (const auto entry = p.selection.find(key); entry != p.selection.end())
      line += " " + entry->first + "=" + entry->second;
  }
  return line + "\n";
}

std::string formatPairCountLine(std::uint64_t pairs, std::uint64_t content_hash) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%016" PRIx64, content_hash);
  return "# pairs=" + std::to_string(pairs) + " " + std::string(kContentHashPrefix) + buffer + "\n";
}

std::string formatFwerLine(const std::vector<double>& extremes) {
  std::string line = "# fwer=";
  char buffer[64];
  for (std::size_t k = 0; k < extremes.size(); ++k) {
    if (k > 0) line += ',';
    // Shortest text that reads back to the same double, so that an assembly
    // reports what a single process would.
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, extremes[k]);
    line.append(buffer, result.ptr);
  }
  line += '\n';
  return line;
}

std::uint64_t provenanceVersion(std::string_view line) {
  const std::vector<std::string_view> words = splitSpaces(line);
  if (words.size() < 3 || words[0] != "#" || words[1] != kMagic) return 0;
  for (std::size_t v = 0; v < std::size(kVersions); ++v) {
    if (words[2] == kVersions[v]) return v + 1;
  }
  return 0;
}

bool parseProvenanceLine(std::string_view line, Provenance& p, std::string& problem) {
  p = Provenance{};  // fields a version lacks keep their defaults
  const std::vector<std::string_view> words = splitSpaces(line);
  if (words.size() < 3 || words[0] != "#" || words[1] != kMagic) {
    problem = "the first line starts with '#' but is not a provenance line";
    return false;
  }
  p.version = provenanceVersion(line);
  if (p.version == 0) {
    problem = "unknown partial file format version " + std::string(words[2]) + " (this program reads v1 and v2)";
    return false;
  }
  const std::vector<FieldSpec>& specs = fieldSpecs();
  std::vector<bool> seen(specs.size(), false);
  for (std::size_t w = 3; w < words.size(); ++w) {
    const std::string_view word = words[w];
    const std::size_t eq = word.find('=');
    const std::string_view key = word.substr(0, eq);
    std::size_t s = 0;
    while (s < specs.size() && (key != specs[s].key || specs[s].since > p.version)) ++s;
    if (eq == std::string_view::npos || s == specs.size() || seen[s] || !specs[s].read(word.substr(eq + 1), p)) {
      problem = "the provenance line has an unreadable field \"" + std::string(word) + "\"";
      return false;
    }
    seen[s] = true;
  }
  for (std::size_t s = 0; s < specs.size(); ++s) {
    if (!seen[s] && specs[s].since <= p.version && !specs[s].optional) {
      problem = "the provenance line lacks the field " + std::string(specs[s].key);
      return false;
    }
  }
  return true;
}

bool parsePairCountLine(std::string_view line, std::uint64_t& pairs, std::optional<std::uint64_t>& content_hash) {
  content_hash.reset();
  const std::vector<std::string_view> words = splitSpaces(line);
  if (words.size() < 2 || words.size() > 3 || words[0] != "#" || words[1].substr(0, 6) != "pairs=") return false;
  if (!parseWhole(words[1].substr(6), pairs)) return false;
  if (words.size() == 2) return true;
  std::string_view hash = words[2];
  if (hash.substr(0, kContentHashPrefix.size()) != kContentHashPrefix) return false;
  hash.remove_prefix(kContentHashPrefix.size());
  std::uint64_t value = 0;
  if (hash.size() != 16 || !parseWhole(hash, value, 16)) return false;
  content_hash = value;
  return true;
}

ContentHash::ContentHash() : state_(XXH3_createState()) {
  if (state_ == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(state_);
}

ContentHash::~ContentHash() {
  XXH3_freeState(state_);
}

void ContentHash::add(std::string_view bytes) {
  XXH3_64bits_update(state_, bytes.data(), bytes.size());
}

std::uint64_t ContentHash::value() const {
  return XXH3_64bits_digest(state_);
}

bool isFwerLine(std::string_view line) {
  const std::vector<std::string_view> words = splitSpaces(line);
  return words.size() >= 2 && words[0] == "#" && words[1].substr(0, 5) == "fwer=";
}

bool parseFwerLine(std::string_view line, std::vector<double>& values, std::string& problem) {
  values.clear();
  const std::vector<std::string_view> words = splitSpaces(line);
  if (words.size() != 2 || words[0] != "#" || words[1].substr(0, 5) != "fwer=") {
    problem = "the fwer line is not \"# fwer=\" followed by values separated by commas";
    return false;
  }
  std::string_view rest = words[1].substr(5);
  if (rest.empty()) return true;  // no value at all, not one empty value
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view text = rest.substr(0, comma);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
      problem = "fwer value " + std::to_string(values.size() + 1) + " (\"" + std::string(text) + "\") is not a number";
      return false;
    }
    values.push_back(value);
    if (comma == std::string_view::npos) return true;
    rest.remove_prefix(comma + 1);
  }
}

std::optional<ProvenanceMismatch> compareProvenance(const Provenance& found, const Provenance& expected,
                                                    bool compare_seed) {
  auto number = [](std::uint64_t v) { return std::to_string(v); };
  auto differ = [](const char* field, std::string a, std::string b) -> std::optional<ProvenanceMismatch> {
    if (a == b) return std::nullopt;
    return ProvenanceMismatch{field, std::move(a), std::move(b)};
  };
  const std::optional<ProvenanceMismatch> checks[] = {
      differ("format version", number(found.version), number(expected.version)),
      differ("-n (number of processes)", number(found.processAmount), number(expected.processAmount)),
      differ("-p (process number)", number(found.processID), number(expected.processID)),
      differ("-b (number of data blocks used)", number(found.blocksUsed), number(expected.blocksUsed)),
      differ("hypothesis (--epistasis/--association)", hypothesisText(found.hypothesisOption),
             hypothesisText(expected.hypothesisOption)),
      differ("test (--score/--likelihood)", testText(found.testTypeOption), testText(expected.testTypeOption)),
      differ("p-value method (--maxT/--minP)", algoText(found.algoOption), algoText(expected.algoOption)),
      differ("missingness (--missing/--nomissing)", missingText(found.missingGenoOption),
             missingText(expected.missingGenoOption)),
      differ("-m (minimum cell size)", std::to_string(found.minGroupSizeParam),
             std::to_string(expected.minGroupSizeParam)),
      differ("-t (threshold)", thresholdText(found.thresholdParam), thresholdText(expected.thresholdParam)),
      differ("--permutations", number(found.permutationParam), number(expected.permutationParam)),
      differ("--fwer", found.fwerOption ? "1" : "0", expected.fwerOption ? "1" : "0"),
      compare_seed ? differ("-r (seed)", std::to_string(static_cast<std::int64_t>(found.randomParam)),
                            std::to_string(static_cast<std::int64_t>(expected.randomParam)))
                   : std::nullopt,
      differ("number of SNPs in the genotype file", number(found.snpAmount), number(expected.snpAmount)),
      differ("SNP names of the genotype file", fingerprintText(found.snpNamesFingerprint),
             fingerprintText(expected.snpNamesFingerprint)),
  };
  // A file made with another selection holds other pairs (and other SNPs).
  const std::size_t before_snps = 3;
  for (std::size_t k = 0; k < before_snps; ++k) {
    if (checks[k]) return checks[k];
  }
  for (const char* key : kSelectionKeys) {
    auto value = [key](const Provenance& p) {
      const auto entry = p.selection.find(key);
      return entry == p.selection.end() ? std::string("not given") : entry->second;
    };
    if (auto m = differ(key, value(found), value(expected))) {
      m->field = std::string("--") + key;
      return m;
    }
  }
  for (std::size_t k = before_snps; k < std::size(checks); ++k) {
    if (checks[k]) return checks[k];
  }
  // Last: the options and names above say more about a file of another run.
  if (found.dataFingerprint && expected.dataFingerprint) {
    if (auto m = differ("the genotype data's fingerprint", dataFingerprintText(*found.dataFingerprint),
                        dataFingerprintText(*expected.dataFingerprint))) {
      m->of_input = true;
      return m;
    }
  }
  return std::nullopt;
}

}  // namespace dyadmill
