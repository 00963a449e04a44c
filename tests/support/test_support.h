// Helpers shared by the tests: running the real binary, scratch folders,
// and genotype files built from known genotypes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "run_parameters.h"

namespace dyadmill::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

struct RunResult {
  int exit_status = -1;  // 0..255, or -1 when the process did not exit normally
  std::string output;    // everything written to standard output and standard error
};

// Runs the dyadmill binary with `args` (program name excluded) in `cwd`.
RunResult runDyadmill(const std::vector<std::string>& args, const std::filesystem::path& cwd);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);
std::vector<std::string> splitLines(const std::string& text);

// The tab-separated fields of one line, empty ones included.
std::vector<std::string> tabFields(const std::string& line);
bool contains(const std::string& text, const std::string& piece);

// Genotypes of a data set, subject by subject: traits[s], genotypes[s][snp]
// (0, 1, 2, or -9 for missing).
struct GenotypeData {
  std::vector<std::string> names;
  std::vector<int> traits;
  std::vector<std::vector<int>> genotypes;

  std::size_t subjects() const { return traits.size(); }
  std::size_t snps() const { return names.size(); }
  std::string toText() const;  // the genotype file format
};

// Random data: `snps` SNPs with allele frequencies in [0.05, 0.5], about
// `case_share` cases, genotypes missing at `missing_rate`.
GenotypeData randomGenotypes(std::uint32_t seed, std::size_t snps, std::size_t subjects, double case_share = 0.3,
                             double missing_rate = 0.0);

// The five options that make a scan's mode, as the scan tests loop over
// them (each test adds what else it varies: blocks, permutations).
struct ScanMode {
  bool epistasis;
  bool score;
  bool missing;
  bool minP;
  int min_cell;
};

// Every combination of the four switches at each of `min_cells`.
std::vector<ScanMode> everyScanMode(std::initializer_list<int> min_cells);

// "epistasis/score/missing/minP/m3"
std::string describeMode(const ScanMode& m);

// Run parameters with the mode's five options; everything else default.
RunParameters modeParameters(const ScanMode& m);

// One mode of a whole run, as the end-to-end tests loop over them.
struct RunMode {
  bool epistasis;
  bool score;
  bool missing;
  bool minP;
  int permutations;
};

void PrintTo(const RunMode& m, std::ostream* os);

// The options of a run of mode `m` on `input` as process p of n: -b 3, -r 11,
// output name "res" and a threshold that keeps pairs in every mode.
std::vector<std::string> runModeOptions(const RunMode& m, const std::string& input, const std::string& n,
                                        const std::string& p);

}  // namespace dyadmill::testing
