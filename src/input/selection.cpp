#include "selection.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unordered_map>

#include "console.h"
#include "fields.h"
#include "fingerprint.h"
#include "input_errors.h"
#include "number_fields.h"

namespace dyadmill {

namespace {

// Names listed that the file does not hold: their number and the first few,
// so that a list made for another build or array is noticed.
void warnUnknown(const NameList& list, const std::vector<std::string>& unknown, const char* what) {
  if (unknown.empty()) return;
  constexpr std::size_t kShown = 5;
  std::string shown;
  for (std::size_t k = 0; k < unknown.size() && k < kShown; ++k) shown += (k > 0 ? ", " : "") + unknown[k];
  if (unknown.size() > kShown) shown += ", ...";
  console().print("WARNING: %zu of the %zu entries of %s %s are not %s: %s\n", unknown.size(), list.entries.size(),
                  list.option.c_str(), list.path.c_str(), what, shown.c_str());
}

Outcome openList(const std::string& option, const std::string& path, std::ifstream& in) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return inputFileError(path, "is a folder, not the list file of " + option);
  }
  in.open(path, std::ios::binary);
  if (!in) {
    return inputFileError(path, "unable to read the list file of " + option + " (" + std::strerror(errno) + ")");
  }
  return Outcome::proceed();
}

// SNP names separated by spaces, tabs or line ends.
Outcome readNameList(const std::string& option, const std::string& path, std::optional<NameList>& list) {
  if (path.empty()) return Outcome::proceed();
  std::ifstream in;
  if (Outcome o = openList(option, path, in); o.stopped()) return o;
  NameList read{option, path, {}, 0};
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (std::string& name : blankSeparatedFields(line)) read.entries.push_back(std::move(name));
  }
  if (in.bad()) return inputFileError(path, "reading the list file of " + option + " failed");
  read.fingerprint = namesFingerprint(read.entries);
  list = std::move(read);
  return Outcome::proceed();
}

// One subject per line: family ID and subject ID, as the first two fields
// of a .fam line (further fields are ignored, so a .fam itself serves).
Outcome readSubjectList(const std::string& option, const std::string& path, std::optional<NameList>& list) {
  if (path.empty()) return Outcome::proceed();
  std::ifstream in;
  if (Outcome o = openList(option, path, in); o.stopped()) return o;
  NameList read{option, path, {}, 0};
  std::string line;
  std::uint64_t line_number = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> fields = blankSeparatedFields(line);
    if (fields.empty()) continue;
    if (fields.size() < 2) {
      return inputLineError(path, line_number,
                            "expected a family ID and a subject ID (as in a .fam file), found one field");
    }
    read.entries.push_back(fields[0] + ' ' + fields[1]);
  }
  if (in.bad()) return inputFileError(path, "reading the list file of " + option + " failed");
  read.fingerprint = namesFingerprint(read.entries);
  list = std::move(read);
  return Outcome::proceed();
}

bool numberedCode(const std::string& code, std::uint64_t& number) {
  return parseWholeInteger<std::uint64_t>(code, 0, 1000000, Sign::None, number);
}

}  // namespace

std::string chromosomeCode(const std::string& chromosome) {
  std::string code = chromosome;
  for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (code.size() > 3 && code.compare(0, 3, "CHR") == 0) code.erase(0, 3);
  if (code == "X") return "23";
  if (code == "Y") return "24";
  if (code == "XY") return "25";
  if (code == "MT" || code == "M") return "26";
  std::uint64_t number = 0;
  if (numberedCode(code, number)) return std::to_string(number);
  return code;
}

bool ChromosomeList::parse(const std::string& text, std::string& problem) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) {
      problem = "an empty entry; give chromosomes separated by commas, e.g. 1-22,X";
      return false;
    }
    const std::size_t dash = item.find('-', 1);
    if (dash == std::string::npos) {
      codes_.insert(chromosomeCode(item));
    } else {
      std::uint64_t from = 0, to = 0;
      if (!numberedCode(chromosomeCode(item.substr(0, dash)), from) ||
          !numberedCode(chromosomeCode(item.substr(dash + 1)), to) || from > to) {
        problem = "\"" + item + "\" is not a range of chromosome numbers such as 1-22";
        return false;
      }
      ranges_.emplace_back(from, to);
    }
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool ChromosomeList::contains(const std::string& chromosome) const {
  const std::string code = chromosomeCode(chromosome);
  if (codes_.count(code) != 0) return true;
  std::uint64_t number = 0;
  if (ranges_.empty() || !numberedCode(code, number)) return false;
  return std::any_of(ranges_.begin(), ranges_.end(),
                     [number](const auto& range) { return number >= range.first && number <= range.second; });
}

Outcome loadSelectionLists(const RunParameters& params, SelectionLists& lists) {
  const SelectionOptions& s = params.selection;
  if (Outcome o = readNameList("--extract", s.extractFile, lists.extract); o.stopped()) return o;
  if (Outcome o = readNameList("--exclude", s.excludeFile, lists.exclude); o.stopped()) return o;
  if (Outcome o = readSubjectList("--keep", s.keepFile, lists.keep); o.stopped()) return o;
  if (Outcome o = readSubjectList("--remove", s.removeFile, lists.remove); o.stopped()) return o;
  if (Outcome o = readNameList("--set1", s.set1File, lists.set1); o.stopped()) return o;
  if (Outcome o = readNameList("--set2", s.set2File, lists.set2); o.stopped()) return o;
  if (!s.chrList.empty()) {
    ChromosomeList chromosomes;
    std::string problem;
    if (!chromosomes.parse(s.chrList, problem)) {
      console().print("ERROR! Invalid value for option --chr: %s: %s\n", s.chrList.c_str(), problem.c_str());
      return Outcome::stop(kExitError);
    }
    lists.chromosomes = std::move(chromosomes);
  }
  return Outcome::proceed();
}

std::vector<std::string> SnpPlan::inStoreOrder(const std::vector<std::string>& values) const {
  std::vector<std::string> ordered;
  if (values.empty()) return ordered;
  ordered.reserve(file_index.size());
  for (std::uint64_t f : file_index) ordered.push_back(values[f]);
  return ordered;
}

namespace {

// Marks the SNPs a name list selects; warns about names the file lacks.
std::vector<bool> listed(const NameList& list, const std::unordered_map<std::string, std::uint64_t>& position,
                         std::uint64_t snps) {
  std::vector<bool> in_list(snps, false);
  std::vector<std::string> unknown;
  for (const std::string& name : list.entries) {
    const auto at = position.find(name);
    if (at == position.end()) {
      unknown.push_back(name);
    } else {
      in_list[at->second] = true;
    }
  }
  warnUnknown(list, unknown, "SNPs of the input file");
  return in_list;
}

// Drops the SNPs still kept that `drop` names; prints how many went.
void removeBy(const std::string& what, std::vector<bool>& kept, const std::vector<bool>& drop) {
  std::uint64_t removed = 0;
  for (std::size_t s = 0; s < kept.size(); ++s) {
    if (kept[s] && drop[s]) {
      kept[s] = false;
      ++removed;
    }
  }
  console().print("INFO: Selection: %s removes %" PRIu64 " SNPs\n", what.c_str(), removed);
}

}  // namespace

Outcome planSnps(const RunParameters& params, const SelectionLists& lists, const std::vector<std::string>& names,
                 const std::vector<std::string>& chromosomes, SnpPlan& plan) {
  const std::uint64_t snps = names.size();
  plan = SnpPlan{};
  std::vector<bool> kept(snps, true);
  std::unordered_map<std::string, std::uint64_t> position;
  const bool by_name = lists.extract || lists.exclude || lists.set1;
  if (by_name) {
    position.reserve(snps);
    // A duplicated name selects its first column (duplicates are warned about).
    for (std::uint64_t s = 0; s < snps; ++s) position.emplace(names[s], s);
  }
  const bool reports = params.selection.any();
  if (reports) console().print("INFO: Selection: %" PRIu64 " SNPs in the input file\n", snps);
  if (lists.chromosomes) {
    std::vector<bool> other(snps, false);
    for (std::uint64_t s = 0; s < snps; ++s) other[s] = !lists.chromosomes->contains(chromosomes[s]);
    removeBy("--chr " + params.selection.chrList, kept, other);
  }
  if (lists.extract) {
    std::vector<bool> in_list = listed(*lists.extract, position, snps);
    in_list.flip();
    removeBy("--extract " + lists.extract->path, kept, in_list);
  }
  if (lists.exclude) removeBy("--exclude " + lists.exclude->path, kept, listed(*lists.exclude, position, snps));

  // Pair sets: the first set, then SNPs of both, then the second, each group
  // in file order. Without --set2 every selected SNP is in the second set.
  std::vector<SetSide> side(snps, SetSide::SecondOnly);
  if (lists.set1) {
    const std::vector<bool> in1 = listed(*lists.set1, position, snps);
    const std::vector<bool> in2 = lists.set2 ? listed(*lists.set2, position, snps) : std::vector<bool>(snps, true);
    std::vector<bool> in_neither(snps, false);
    for (std::uint64_t s = 0; s < snps; ++s) {
      in_neither[s] = !in1[s] && !in2[s];
      side[s] = in1[s] ? (in2[s] ? SetSide::Both : SetSide::FirstOnly) : SetSide::SecondOnly;
    }
    if (lists.set2) removeBy("being in neither --set1 nor --set2", kept, in_neither);
  }
  plan.store_index.assign(snps, -1);
  for (const SetSide group : {SetSide::FirstOnly, SetSide::Both, SetSide::SecondOnly}) {
    for (std::uint64_t s = 0; s < snps; ++s) {
      if (!kept[s] || side[s] != group) continue;
      plan.store_index[s] = static_cast<std::int64_t>(plan.file_index.size());
      plan.file_index.push_back(s);
      if (lists.set1) plan.sides.push_back(group);
    }
  }
  if (lists.set1) {
    plan.layout.active = true;
    plan.layout.file_index = plan.file_index;
    for (const SetSide s : plan.sides) {
      (s == SetSide::FirstOnly ? plan.layout.first_only
       : s == SetSide::Both    ? plan.layout.both
                               : plan.layout.second_only)++;
    }
  }
  if (reports && !params.selection.frequencyFilters()) {
    console().print("INFO: Selection: %" PRIu64 " SNPs scanned\n", plan.storeSnps());
  }
  return checkSomethingToScan(params, plan);
}

Outcome checkSomethingToScan(const RunParameters& params, const SnpPlan& plan) {
  // A file of one SNP is the user's to scan as it stands; a selection that
  // leaves nothing is a mistake in the selection.
  if (!params.selection.any()) return Outcome::proceed();
  const std::uint64_t snps = plan.storeSnps();
  if (snps < 2) {
    console().print("ERROR: the selection leaves %" PRIu64 " SNP%s to scan; a pair scan needs at least 2\n", snps,
                    snps == 1 ? "" : "s");
    return Outcome::stop(kExitError);
  }
  if (plan.layout.active && plan.layout.pairs(snps) == 0) {
    console().print(
        "ERROR: no pair has one SNP in --set1 (%" PRIu64 " selected) and the other in %s (%" PRIu64 " selected)\n",
        plan.layout.first_only + plan.layout.both, params.selection.set2File.empty() ? "the selected SNPs" : "--set2",
        plan.layout.both + plan.layout.second_only);
    return Outcome::stop(kExitError);
  }
  return Outcome::proceed();
}

SubjectFilter::SubjectFilter(const SelectionLists& lists) {
  if (lists.keep) {
    keep_ = &*lists.keep;
    keep_ids_.insert(keep_->entries.begin(), keep_->entries.end());
  }
  if (lists.remove) {
    remove_ = &*lists.remove;
    remove_ids_.insert(remove_->entries.begin(), remove_->entries.end());
  }
}

bool SubjectFilter::admits(const std::string& family, const std::string& subject) {
  if (!active()) return true;
  const std::string id = family + ' ' + subject;
  seen_.insert(id);
  if (keep_ != nullptr && keep_ids_.count(id) == 0) {
    ++left_out_by_keep_;
    return false;
  }
  if (remove_ != nullptr && remove_ids_.count(id) != 0) {
    ++left_out_by_remove_;
    return false;
  }
  return true;
}

void SubjectFilter::report(const std::string& fam_path) const {
  for (const NameList* list : {keep_, remove_}) {
    if (list == nullptr) continue;
    std::vector<std::string> unknown;
    for (const std::string& id : list->entries) {
      if (seen_.count(id) == 0) unknown.push_back(id);
    }
    warnUnknown(*list, unknown, ("subjects of " + fam_path).c_str());
    console().print("INFO: Selection: %s %s leaves out %" PRIu64 " subjects\n", list->option.c_str(),
                    list->path.c_str(), list == keep_ ? left_out_by_keep_ : left_out_by_remove_);
  }
}

namespace {

struct SnpLevelCounts {
  std::uint64_t level[3] = {0, 0, 0};
  std::uint64_t missing = 0;
};

SnpLevelCounts levelCounts(const RunParameters& params, const GenotypeStore& store, std::uint64_t snp) {
  SnpLevelCounts c;
  const std::uint64_t first = store.cumdimension_vect[snp];
  auto rowCount = [&](std::uint64_t r) {
    std::uint64_t n = 0;
    for (const std::uint64_t w : store.snp_matrix.rowSpan(r)) n += static_cast<std::uint64_t>(std::popcount(w));
    return n;
  };
  if (params.missing()) {
    for (unsigned d = 0; d < 3; ++d) c.level[d] = rowCount(first + d);
  } else {
    c.level[1] = rowCount(first);
    c.level[2] = rowCount(first + 1);
  }
  const std::uint64_t genotyped = params.missing() ? c.level[0] + c.level[1] + c.level[2] : store.total_amount;
  if (!params.missing()) c.level[0] = store.total_amount - c.level[1] - c.level[2];
  c.missing = store.total_amount - genotyped;
  return c;
}

double minorAlleleFrequency(const SnpLevelCounts& c) {
  const std::uint64_t genotyped = c.level[0] + c.level[1] + c.level[2];
  if (genotyped == 0) return 0.0;
  const double p = static_cast<double>(c.level[1] + 2 * c.level[2]) / (2.0 * static_cast<double>(genotyped));
  return std::min(p, 1.0 - p);
}

// Moves the kept SNPs' rows down over the dropped ones, in order.
void compactStore(GenotypeStore& store, const std::vector<bool>& kept, SnpPlan& plan) {
  const std::uint64_t rows_per_snp = store.snp_amount == 0 ? 0 : store.cumdimension_vect[1];
  const std::uint64_t words = store.snp_matrix.words();
  std::uint64_t next = 0;
  auto keepIn = [&kept](auto& values) {
    std::uint64_t t = 0;
    for (std::uint64_t s = 0; s < kept.size(); ++s) {
      if (!kept[s]) continue;
      // A name moved onto itself would come out empty.
      if (t != s) values[t] = std::move(values[s]);
      ++t;
    }
    values.resize(t);
  };
  for (std::uint64_t s = 0; s < store.snp_amount; ++s) {
    if (!kept[s]) continue;
    if (next != s) {
      std::memcpy(store.snp_matrix.row(next * rows_per_snp), store.snp_matrix.row(s * rows_per_snp),
                  rows_per_snp * words * sizeof(std::uint64_t));
    }
    ++next;
  }
  store.snp_matrix.keepRows(next * rows_per_snp);
  keepIn(store.snp_names);
  if (!store.snp_chromosomes.empty()) keepIn(store.snp_chromosomes);
  if (!store.snp_positions.empty()) keepIn(store.snp_positions);
  store.snp_amount = next;
  store.dimension_vect.assign(next, 3);
  store.cumdimension_vect.resize(next + 1);
  for (std::uint64_t i = 0; i <= next; ++i) store.cumdimension_vect[i] = i * rows_per_snp;
  // The file positions and set sides follow their SNPs.
  for (std::int64_t& index : plan.store_index) {
    if (index >= 0 && !kept[static_cast<std::uint64_t>(index)]) index = -1;
  }
  keepIn(plan.file_index);
  for (std::uint64_t t = 0; t < plan.file_index.size(); ++t) {
    plan.store_index[plan.file_index[t]] = static_cast<std::int64_t>(t);
  }
  if (!plan.sides.empty()) {
    keepIn(plan.sides);
    plan.layout = SetLayout{true, 0, 0, 0, plan.file_index};
    for (const SetSide side : plan.sides) {
      (side == SetSide::FirstOnly ? plan.layout.first_only
       : side == SetSide::Both    ? plan.layout.both
                                  : plan.layout.second_only)++;
    }
  }
}

}  // namespace

Outcome applyFrequencyFilters(const RunParameters& params, GenotypeStore& store, SnpPlan& plan) {
  const SelectionOptions& s = params.selection;
  if (!s.frequencyFilters()) return Outcome::proceed();
  std::vector<bool> kept(store.snp_amount, true);
  std::uint64_t by_geno = 0, by_maf = 0;
  const double subjects = static_cast<double>(store.total_amount);
  for (std::uint64_t snp = 0; snp < store.snp_amount; ++snp) {
    const SnpLevelCounts c = levelCounts(params, store, snp);
    if (s.geno >= 0.0 && static_cast<double>(c.missing) / subjects > s.geno) {
      kept[snp] = false;
      ++by_geno;
    } else if (s.maf >= 0.0 && minorAlleleFrequency(c) < s.maf) {
      kept[snp] = false;
      ++by_maf;
    }
  }
  if (s.geno >= 0.0) console().print("INFO: Selection: --geno %g removes %" PRIu64 " SNPs\n", s.geno, by_geno);
  if (s.maf >= 0.0) console().print("INFO: Selection: --maf %g removes %" PRIu64 " SNPs\n", s.maf, by_maf);
  if (by_geno + by_maf > 0) compactStore(store, kept, plan);
  console().print("INFO: Selection: %" PRIu64 " SNPs scanned\n", store.snp_amount);
  return checkSomethingToScan(params, plan);
}

}  // namespace dyadmill
