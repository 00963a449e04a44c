#include "command_line.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>

#include "Help.h"
#include "console.h"
#include "number_fields.h"
#include "plink_reader.h"

namespace dyadmill {

namespace {

// Whole-argument real that stays finite once narrowed to the threshold's float.
bool parseThreshold(std::string_view text, float& value) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  if (text.empty() || text.front() == '+') return false;
  double v = 0.0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  const float narrowed = static_cast<float>(v);
  if (!std::isfinite(v) || !std::isfinite(narrowed)) return false;
  value = narrowed;
  return true;
}

Outcome invalidValue(const char* option, const char* value) {
  console().print("ERROR! Invalid value for option %s: %s\n", option, value);
  return Outcome::stop(kExitError);
}

enum class ValueKind { None, Text, Integer, Real };

struct OptionInfo {
  const char* name;
  ValueKind kind;
  std::int64_t lo;
  std::int64_t hi;
};

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

constexpr OptionInfo kOptions[] = {
    {"-n", ValueKind::Integer, 0, 65535},
    {"-p", ValueKind::Integer, 0, 65535},
    {"-r", ValueKind::Integer, kInt32Min, kInt32Max},
    {"-b", ValueKind::Integer, 0, 65535},
    {"-t", ValueKind::Real, 0, 0},
    {"-m", ValueKind::Integer, kInt32Min, kInt32Max},
    {"--epistasis", ValueKind::None, 0, 0},
    {"--association", ValueKind::None, 0, 0},
    {"--maxT", ValueKind::None, 0, 0},
    {"--minP", ValueKind::None, 0, 0},
    {"--score", ValueKind::None, 0, 0},
    {"--likelihood", ValueKind::None, 0, 0},
    {"--permutations", ValueKind::Integer, 0, kInt32Max},
    {"--nomissing", ValueKind::None, 0, 0},
    {"--missing", ValueKind::None, 0, 0},
    {"--table", ValueKind::None, 0, 0},
    {"--fwer", ValueKind::None, 0, 0},
    {"--cells", ValueKind::None, 0, 0},
    {"-o", ValueKind::Text, 0, 0},
    {"-i", ValueKind::Text, 0, 0},
    {"--check-partial", ValueKind::Integer, 1, 65535},
    {"--threads", ValueKind::Integer, 1, kMaxThreads},
    {"--extract", ValueKind::Text, 0, 0},
    {"--exclude", ValueKind::Text, 0, 0},
    {"--chr", ValueKind::Text, 0, 0},
    {"--keep", ValueKind::Text, 0, 0},
    {"--remove", ValueKind::Text, 0, 0},
    {"--set1", ValueKind::Text, 0, 0},
    {"--set2", ValueKind::Text, 0, 0},
    {"--maf", ValueKind::Real, 0, 0},
    {"--geno", ValueKind::Real, 0, 0},
    {"--quiet", ValueKind::None, 0, 0},
};

const OptionInfo* findOption(const char* argument) {
  for (const OptionInfo& option : kOptions) {
    if (std::strcmp(option.name, argument) == 0) return &option;
  }
  return nullptr;
}

void applyFlag(std::string_view name, RunParameters& params) {
  if (name == "--epistasis")
    params.hypothesisOption = 1;
  else if (name == "--association")
    params.hypothesisOption = 0;
  else if (name == "--maxT")
    params.algoOption = 0;
  else if (name == "--minP")
    params.algoOption = 1;
  else if (name == "--score")
    params.testTypeOption = 1;
  else if (name == "--likelihood")
    params.testTypeOption = 0;
  else if (name == "--nomissing")
    params.missingGenoOption = 0;
  else if (name == "--missing")
    params.missingGenoOption = 1;
  else if (name == "--table")
    params.tableOption = true;
  // The genome-wide p-values are a column of the table.
  else if (name == "--fwer")
    params.fwerOption = params.tableOption = true;
  // So are the cells.
  else if (name == "--cells")
    params.cellsOption = params.tableOption = true;
  else if (name == "--quiet")
    params.quietOption = true;
}

void applyInteger(std::string_view name, std::int64_t v, RunParameters& params) {
  if (name == "-n")
    params.processAmount = static_cast<std::uint16_t>(v);
  else if (name == "-p")
    params.processID = static_cast<std::uint16_t>(v);
  // The seed is a signed 32-bit value carried sign-extended in 64 bits.
  else if (name == "-r")
    params.randomParam = static_cast<std::uint64_t>(v);
  else if (name == "-b")
    params.blockAmount = static_cast<std::uint16_t>(v);
  else if (name == "-m")
    params.minGroupSizeParam = static_cast<std::int32_t>(v);
  else if (name == "--permutations")
    params.permutationParam = static_cast<std::uint64_t>(v);
  else if (name == "--check-partial")
    params.checkPartialParam = static_cast<std::uint16_t>(v);
  else if (name == "--threads")
    params.threadParam = static_cast<std::uint16_t>(v);
}

// A file or list option names something to read: an empty value is a
// mistake the run would otherwise take for "not given".
Outcome applyText(std::string_view name, const char* value, RunParameters& params) {
  if (name == "-o") {
    params.outFile = value;
    return Outcome::proceed();
  }
  if (name == "-i") {
    params.inFile = value;
    return Outcome::proceed();
  }
  if (*value == '\0') return invalidValue(std::string(name).c_str(), "(empty)");
  SelectionOptions& s = params.selection;
  std::string* targets[] = {&s.extractFile, &s.excludeFile, &s.chrList, &s.keepFile,
                            &s.removeFile,  &s.set1File,    &s.set2File};
  const char* names[] = {"--extract", "--exclude", "--chr", "--keep", "--remove", "--set1", "--set2"};
  for (std::size_t k = 0; k < std::size(names); ++k) {
    if (name == names[k]) *targets[k] = value;
  }
  return Outcome::proceed();
}

// A fraction between 0 and `most`, the whole argument a number.
bool parseFraction(const char* text, double most, double& value) {
  const std::string_view view(text);
  if (view.empty() || view.front() == '+' || view.front() == '-') return false;
  const auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value, std::chars_format::general);
  return ec == std::errc() && end == view.data() + view.size() && value >= 0.0 && value <= most;
}

Outcome applyReal(std::string_view name, const char* value, RunParameters& params) {
  if (name == "-t") {
    float v = 0.0f;
    if (!parseThreshold(value, v)) return invalidValue("-t", value);
    params.thresholdParam = v;
    return Outcome::proceed();
  }
  // A minor allele frequency is at most one half, a missing rate at most 1.
  const bool maf = name == "--maf";
  double v = 0.0;
  if (!parseFraction(value, maf ? 0.5 : 1.0, v)) {
    console().print("ERROR! Invalid value for option %s: %s (a number from 0 to %s)\n", maf ? "--maf" : "--geno", value,
                    maf ? "0.5" : "1");
    return Outcome::stop(kExitError);
  }
  (maf ? params.selection.maf : params.selection.geno) = v;
  return Outcome::proceed();
}

Outcome readOptions(int argc, const char* const* argv, RunParameters& params) {
  for (int k = 1; k < argc; ++k) {
    const OptionInfo* option = findOption(argv[k]);
    if (option == nullptr) {
      console().print("ERROR! Unknown command option: %s\n", argv[k]);
      return Outcome::stop(kExitError);
    }
    if (option->kind == ValueKind::None) {
      applyFlag(option->name, params);
      continue;
    }
    if (k + 1 >= argc) {
      console().print("ERROR! Option %s requires a value\n", option->name);
      return Outcome::stop(kExitError);
    }
    const char* value = argv[++k];
    switch (option->kind) {
      case ValueKind::Text:
        if (Outcome o = applyText(option->name, value, params); o.stopped()) return o;
        break;
      case ValueKind::Integer: {
        std::int64_t v = 0;
        // Whole-argument integer: one optional sign and digits, nothing else.
        if (!parseWholeInteger(value, option->lo, option->hi, Sign::Either, v))
          return invalidValue(option->name, value);
        applyInteger(option->name, v, params);
        break;
      }
      case ValueKind::Real:
        if (Outcome o = applyReal(option->name, value, params); o.stopped()) return o;
        break;
      case ValueKind::None:
        break;
    }
  }
  return Outcome::proceed();
}

struct PresenceCheck {
  const char* first;
  const char* second;  // nullptr when one option alone satisfies the check
  const char* message;
};

constexpr PresenceCheck kPresenceChecks[] = {
    {"--epistasis", "--association", "Marker Hypothesis is not defined! Should be either --epistasis or --association"},
    {"--maxT", "--minP", "Algorithm option is not defined! Should be either --maxT or --minP"},
    {"--score", "--likelihood", "Test option is not defined! Should be either --score or --likelihoodratio"},
    {"--nomissing", "--missing", "Data missingness option is not defined! Should be either --missing or --nomissing"},
    {"-t", nullptr, "Threshold is not defined. Use -t option for that"},
    {"-i", nullptr, "No input file with genotypes provided. Use -i option followed by path to the input file"},
};

Outcome checkPresence(int argc, const char* const* argv) {
  for (const PresenceCheck& check : kPresenceChecks) {
    const bool present = validate_in_parameters(argc, argv, check.first) == 1 ||
                         (check.second != nullptr && validate_in_parameters(argc, argv, check.second) == 1);
    if (!present) {
      console().line(check.message);
      return Outcome::stop(kExitError);
    }
  }
  return Outcome::proceed();
}

Outcome checkProcessNumbering(const RunParameters& params) {
  if (params.processAmount == 0) {
    console().line("ERROR! The number of processes is mandatory and must be higher than 0.");
    return Outcome::stop(kExitError);
  }
  if (params.processAmount == 1 && params.processID != 1) {
    console().line("ERROR! The unique process ID must be 1 when the number of processes is 1.");
    return Outcome::stop(kExitError);
  }
  if (params.processAmount > 1 && params.processID > params.processAmount) {
    console().line("ERROR! The unique process ID number is mandatory when the number of processes is larger than 1.");
    console().line(
        "It must be a number between 1 and the number of parallel processes (parallel phase), or 0 (final "
        "sequential phase).");
    return Outcome::stop(kExitError);
  }
  return Outcome::proceed();
}

Outcome checkPermutations(const RunParameters& params) {
  if (params.permutationParam == 0) return Outcome::proceed();
  if (params.processID != 0 && params.randomParam == 0) {
    console().line("ERROR! The random seed is mandatory.");
    return Outcome::stop(kExitError);
  }
  if (params.permutationParam == 1) {
    console().line("ERROR! Select # of permuations > 1");
    return Outcome::stop(kExitError);
  }
  return Outcome::proceed();
}

// The genome-wide p-values come from the permutations; a scanning run
// needs the seed so that every worker permutes alike, while an assembly
// takes it from its workers' files.
Outcome checkFwer(const RunParameters& params) {
  if (!params.fwerOption) return Outcome::proceed();
  if (params.permutationParam < 2) {
    console().line("ERROR! --fwer needs permutations: add --permutations P with P >= 2");
    return Outcome::stop(kExitError);
  }
  if (params.processID != 0 && params.randomParam == 0) {
    console().line("ERROR! --fwer needs the permutation seed: add -r SEED (non-zero)");
    return Outcome::stop(kExitError);
  }
  return Outcome::proceed();
}

// Chromosomes and subject IDs come from a fileset's .bim and .fam; the text
// format has neither.
Outcome checkSelection(const RunParameters& params) {
  const SelectionOptions& s = params.selection;
  if (!s.set2File.empty() && s.set1File.empty()) {
    console().line("ERROR! --set2 needs --set1: the pairs tested have one SNP in each set");
    return Outcome::stop(kExitError);
  }
  if (isPlinkFileset(params.inFile)) return Outcome::proceed();
  const char* option = !s.chrList.empty()      ? "--chr"
                       : !s.keepFile.empty()   ? "--keep"
                       : !s.removeFile.empty() ? "--remove"
                                               : nullptr;
  if (option == nullptr) return Outcome::proceed();
  console().print("ERROR! %s needs a binary fileset (-i PREFIX.bed): the text genotype file %s has no %s\n", option,
                  params.inFile.c_str(), option[2] == 'c' ? "chromosomes" : "family and subject IDs");
  return Outcome::stop(kExitError);
}

Outcome checkPartialCheckMode(const RunParameters& params) {
  if (params.checkPartialParam == 0) return Outcome::proceed();
  if (params.processID != 0 || params.checkPartialParam > params.processAmount) {
    console().line("ERROR! --check-partial K needs -p 0 and a process number K from 1 to -n");
    return Outcome::stop(kExitError);
  }
  return Outcome::proceed();
}

}  // namespace

int validate_in_parameters(int argc, const char* const* argv, const char* option) {
  // Only arguments in option positions count: in "-o -t" the "-t" is the
  // output name, not the threshold option.
  for (int k = 1; k < argc; ++k) {
    if (std::strcmp(argv[k], option) == 0) return 1;
    const OptionInfo* info = findOption(argv[k]);
    if (info != nullptr && info->kind != ValueKind::None) ++k;
  }
  return 0;
}

void echoParameters(const RunParameters& params) {
  console().line("*************CHOSEN PARAMETERES*********************");
  console().print("Input genotype file: %s\n", params.inFile.c_str());
  console().print("Output final results file: %s\n", params.outFile.c_str());
  console().print("Threshold (-t): %g\n", static_cast<double>(params.thresholdParam));
  if (params.permutationParam == 0) {
    console().line("permutationParam:  No Permutations (0)");
  } else {
    console().print("permutationParam:  %" PRIu64 " permutations\n", params.permutationParam);
  }
  if (params.testTypeOption == 0) {
    console().line("testTypeOption:  LIKELIHOODRATIO (0)");
  } else {
    console().print("testTypeOption:   SCORE (%d)\n", params.testTypeOption);
  }
  console().line(params.hypothesisOption == 0 ? "hypothesisOption:   ASSOCIATION" : "hypothesisOption:    EPISTASIS");
  console().line(params.algoOption == 0 ? "algoOption:  maxT" : "algoOption:   minP");
  console().line("KSAsafetyParam:  1");
  console().print("Number of Permutations: %" PRIu64 "\n", params.permutationParam);
  if (params.fwerOption) console().line("fwerOption:  1 (genome-wide FWER from permutations, with the table)");
  if (params.cellsOption) console().line("cellsOption:  1 (each pair's case and control cells, with the table)");
  console().line("dimensionOption:  0");
  console().print("missingGenoOption:  %d%s\n", params.missingGenoOption,
                  params.missingGenoOption == 0 ? " (no missigness in data)" : " (missigness in data allowed)");
  console().line("*************************************************");
  console().print("You had set -m parameter (GroupSize) to %d\n", params.minGroupSizeParam);
}

std::vector<std::string> acceptedOptions() {
  std::vector<std::string> names;
  for (const OptionInfo& option : kOptions) names.emplace_back(option.name);
  names.insert(names.end(), {"--help", "-h", "--version"});
  return names;
}

Outcome parseCommandLine(int argc, const char* const* argv, RunParameters& params, const Understood& understood) {
  // Asking for help or the version alone is not a mistake: no error line,
  // and a successful exit.
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintHelp().print_help();
    return Outcome::stop(kExitOk);
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    console().line("dyadmill " DYADMILL_VERSION);
    return Outcome::stop(kExitOk);
  }
  if (argc < 3) {
    console().line("ERROR! You passed too few arguments");
    PrintHelp().print_help();
    return Outcome::stop(kExitError);
  }
  if (Outcome o = readOptions(argc, argv, params); o.stopped()) return o;
  if (params.outFile.empty()) {
    console().line("Output file name of size zero. Have you used -o option? Could not read output file name");
    return Outcome::stop(kExitError);
  }
  if (Outcome o = checkPresence(argc, argv); o.stopped()) return o;
  // Under minP the threshold is the p-value cut-off of every pair: a value
  // outside (0, 1] has no critical value.
  if (params.minP() && !(params.thresholdParam > 0.0f && params.thresholdParam <= 1.0f)) {
    console().line("ERROR! With --minP the threshold (-t) is a p-value and must be in (0, 1]");
    return Outcome::stop(kExitError);
  }
  if (understood) understood(params);
  echoParameters(params);
  if (Outcome o = checkProcessNumbering(params); o.stopped()) return o;
  if (Outcome o = checkFwer(params); o.stopped()) return o;
  if (Outcome o = checkPermutations(params); o.stopped()) return o;
  if (Outcome o = checkSelection(params); o.stopped()) return o;
  return checkPartialCheckMode(params);
}

}  // namespace dyadmill
