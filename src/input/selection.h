// What of the input a run scans: SNP lists (--extract, --exclude), a
// chromosome list (--chr), subject lists (--keep, --remove), quality filters
// (--maf, --geno) and pair sets (--set1, --set2).
//
// The lists are read before the genotype file. The readers then plan which
// SNP of the file goes where in the store (planSnps) as soon as the names
// are known, and leave out the subjects the lists remove while reading the
// .fam, so that neither is ever packed. The quality filters need the
// genotypes: they are applied to the packed rows once every subject is read
// (applyFrequencyFilters), and the store is compacted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "genotype_store.h"
#include "outcome.h"
#include "run_parameters.h"
#include "set_layout.h"

namespace dyadmill {

// A list file as read: its option, path, entries in file order, and the
// fingerprint of the entries that partial files record.
struct NameList {
  std::string option;
  std::string path;
  std::vector<std::string> entries;  // SNP names, or "FID IID" for subject lists
  std::uint64_t fingerprint = 0;
};

// Chromosome codes of --chr, compared after normalising: an optional "chr"
// prefix dropped, letters upper-cased, leading zeros dropped, and X, Y, XY,
// MT (or M) taken as 23, 24, 25, 26. Ranges are of numbered chromosomes.
class ChromosomeList {
 public:
  // False, with the reason in `problem`, when the list cannot be read.
  bool parse(const std::string& text, std::string& problem);
  bool contains(const std::string& chromosome) const;

 private:
  std::unordered_set<std::string> codes_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
};

// The normalised code of a chromosome name.
std::string chromosomeCode(const std::string& chromosome);

struct SelectionLists {
  std::optional<NameList> extract, exclude, keep, remove, set1, set2;
  std::optional<ChromosomeList> chromosomes;
};

// Reads every list the options name. A list that cannot be read stops the
// run, naming the file (and the line, for a subject list).
Outcome loadSelectionLists(const RunParameters& params, SelectionLists& lists);

// Where each SNP of the file goes in the store.
struct SnpPlan {
  std::vector<std::int64_t> store_index;  // per SNP of the file: its index in the store, or -1
  std::vector<std::uint64_t> file_index;  // per SNP of the store: its position in the file
  std::vector<SetSide> sides;             // per SNP of the store, with pair sets
  SetLayout layout;

  std::uint64_t fileSnps() const { return store_index.size(); }
  std::uint64_t storeSnps() const { return file_index.size(); }
  // `values` given per SNP of the file, in the store's order.
  std::vector<std::string> inStoreOrder(const std::vector<std::string>& values) const;
};

// Plans the store from the file's SNP names (and chromosomes, for a
// fileset), prints what each list removed and warns about listed names the
// file does not hold. Without selection options every SNP keeps its place.
Outcome planSnps(const RunParameters& params, const SelectionLists& lists, const std::vector<std::string>& names,
                 const std::vector<std::string>& chromosomes, SnpPlan& plan);

// Subjects admitted by --keep and --remove, by family and subject ID.
class SubjectFilter {
 public:
  explicit SubjectFilter(const SelectionLists& lists);
  bool active() const { return keep_ != nullptr || remove_ != nullptr; }
  // Counts what it leaves out, for the report.
  bool admits(const std::string& family, const std::string& subject);
  // Prints what each list left out and warns about IDs no subject has.
  void report(const std::string& fam_path) const;

 private:
  const NameList* keep_ = nullptr;
  const NameList* remove_ = nullptr;
  std::unordered_set<std::string> keep_ids_, remove_ids_, seen_;
  std::uint64_t left_out_by_keep_ = 0, left_out_by_remove_ = 0;
};

// --geno, then --maf, over the kept subjects; drops the SNPs that fail from
// the store (and from `plan`'s sides and layout) and reports them. Stops
// when fewer than two SNPs, or no pair of the sets, are left.
Outcome applyFrequencyFilters(const RunParameters& params, GenotypeStore& store, SnpPlan& plan);

// A selection must leave something to scan: at least two SNPs and, with
// pair sets, at least one pair.
Outcome checkSomethingToScan(const RunParameters& params, const SnpPlan& plan);

}  // namespace dyadmill
