#include "input_checks.h"

#include <sys/stat.h>

#include <string_view>
#include <unordered_map>

#include "console.h"
#include "plink_reader.h"

namespace dyadmill {

Outcome checkRegularInputFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) return Outcome::proceed();
  console().print("ERROR: %s: the genotype file must be a regular file (it is read twice)\n", path.c_str());
  return Outcome::stop(kExitError);
}

std::size_t warnDuplicateSnpNames(const std::string& input, const std::vector<std::string>& names, std::size_t shown) {
  // In a fileset SNP k is line k + 1 of the .bim; in text, column k + 2 of
  // the header (the trait is column 1).
  const bool fileset = isPlinkFileset(input);
  const std::string path = fileset ? filesetNames(input).bim : input;
  const char* unit = fileset ? "lines" : "columns";
  const std::size_t first_number = fileset ? 1 : 2;
  std::unordered_map<std::string_view, std::size_t> first_column;
  first_column.reserve(names.size());
  std::size_t duplicates = 0;
  std::string listed;
  for (std::size_t k = 0; k < names.size(); ++k) {
    const auto [it, inserted] = first_column.emplace(names[k], k);
    if (inserted) continue;
    if (++duplicates > shown) continue;
    if (!listed.empty()) listed += ", ";
    listed += names[k] + " (" + unit + " " + std::to_string(it->second + first_number) + " and " +
              std::to_string(k + first_number) + ")";
  }
  if (duplicates == 0) return 0;
  console().print("WARNING: %s: %zu duplicate SNP name%s, so results name some pairs ambiguously: %s%s\n", path.c_str(),
                  duplicates, duplicates == 1 ? "" : "s", listed.c_str(), duplicates > shown ? ", ..." : "");
  return duplicates;
}

}  // namespace dyadmill
