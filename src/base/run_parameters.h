// Stage base: what every stage shares and nothing depends below it: the run
// parameters, the outcome of a step, the console sink, the kept-pair record,
// the table shape and the bit-row primitives. Uses nothing of the program.
//
// Run parameters: everything the command line decides, with its encoding.
//
// One instance lives for the whole run. The command line fills it and it is
// read-only afterwards: what a run derives from it (the block count in use,
// the combination table) lives in objects of its own (see BlockTable).
#pragma once

#include <cstdint>
#include <string>

namespace dyadmill {

// What a run scans of the input: SNP and subject lists, quality filters and
// pair sets. Empty names and negative thresholds mean "not given".
struct SelectionOptions {
  std::string extractFile;  // SNP names to keep (--extract)
  std::string excludeFile;  // SNP names to drop (--exclude)
  std::string chrList;      // chromosomes to keep, e.g. "1-22,X" (--chr)
  std::string keepFile;     // family and subject IDs to keep (--keep)
  std::string removeFile;   // family and subject IDs to drop (--remove)
  std::string set1File;     // SNP names of the first pair set (--set1)
  std::string set2File;     // SNP names of the second pair set (--set2)
  double maf = -1.0;        // lowest minor allele frequency kept (--maf)
  double geno = -1.0;       // highest missing rate kept (--geno)

  bool frequencyFilters() const { return maf >= 0.0 || geno >= 0.0; }
  bool subjectLists() const { return !keepFile.empty() || !removeFile.empty(); }
  bool pairSets() const { return !set1File.empty(); }
  bool any() const {
    return !extractFile.empty() || !excludeFile.empty() || !chrList.empty() || subjectLists() || pairSets() ||
           frequencyFilters();
  }
};

// The most worker threads a run accepts (--threads).
inline constexpr std::uint16_t kMaxThreads = 1024;

struct RunParameters {
  std::string inFile;                   // genotype file (-i)
  std::string outFile;                  // base name of the output files (-o)
  std::uint64_t randomParam = 0;        // permutation seed (-r), a signed 32-bit value sign-extended
  std::uint16_t blockAmount = 0;        // data blocks (-b); 0 = chosen automatically
  std::uint16_t processAmount = 0;      // cooperating processes n (-n)
  std::uint16_t processID = 1;          // 1..n scans a share, 0 assembles the partial results (-p)
  std::int32_t minGroupSizeParam = 1;   // minimum subjects per table cell (-m); <= 1 acts as 1
  float thresholdParam = 9.487729f;     // chi-square value (maxT) or p-value (minP) (-t)
  std::int32_t hypothesisOption = 0;    // 1 = epistasis, 0 = association
  std::int32_t algoOption = 0;          // 0 = maxT, 1 = minP
  std::int32_t testTypeOption = 0;      // non-zero = score test, 0 = likelihood-ratio test
  std::uint64_t permutationParam = 0;   // number of trait permutations; 0 = none
  std::int32_t missingGenoOption = 1;   // 1 = missing genotypes allowed, 0 = none (2 bit rows per SNP)
  std::uint16_t checkPartialParam = 0;  // with -p 0: only check this worker's partial file (--check-partial)
  bool tableOption = false;             // also write the annotated table NAME.tsv (--table)
  bool fwerOption = false;              // genome-wide permutation FWER: NAME.fwer and P_FWER (--fwer)
  std::uint16_t threadParam = 0;        // worker threads (--threads); 0 = the CPUs this process may run on
  bool cellsOption = false;             // each kept pair's case and control cells in the table (--cells)
  bool quietOption = false;             // standard output: warnings, errors and a summary only (--quiet)
  SelectionOptions selection;           // what of the input is scanned

  bool epistasis() const { return hypothesisOption == 1; }
  bool minP() const { return algoOption == 1; }
  bool score() const { return testTypeOption != 0; }
  bool missing() const { return missingGenoOption != 0; }

  // Scanning runs read every genotype. An assembly parses only the SNP names
  // (and hashes the rest of the input, decoding nothing),
  // unless its table counts the kept pairs' cells (checking one partial file
  // needs no cells) or a quality filter decides from the genotypes which
  // SNPs the workers scanned.
  bool readsGenotypes() const {
    return processID != 0 || selection.frequencyFilters() || (cellsOption && checkPartialParam == 0);
  }

  // Bit rows per SNP in the genotype store: 3 with missing genotypes, 2 without.
  std::uint64_t rowsPerSnp() const { return static_cast<std::uint64_t>(missingGenoOption) + 2; }

  // A minimum cell size of 1 or less drops only empty cells, so every such
  // value behaves like 1.
  std::int32_t minCellSize() const { return minGroupSizeParam > 1 ? minGroupSizeParam : 1; }

  // Tables keep the run's totals and the SNPs' margins exactly when no
  // genotype is missing and no non-empty cell can be dropped; the reduced
  // statistics rely on that.
  bool reducedForms() const { return missingGenoOption == 0 && minGroupSizeParam <= 1; }
};

}  // namespace dyadmill
