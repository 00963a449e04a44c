// Checks of the genotype input that the reader itself does not make.
#pragma once

#include <string>
#include <vector>

#include "outcome.h"

namespace dyadmill {

// A scan reads the genotype file twice (count, then encode): a pipe, a
// terminal or a process substitution would be empty the second time. Stops
// when the path exists but is not a regular file; a missing file is left to
// the reader's own message.
Outcome checkRegularInputFile(const std::string& path);

// Results name pairs by SNP name: duplicate names make them ambiguous. Warns,
// naming the first few duplicates and their columns; returns how many names
// repeat an earlier one.
std::size_t warnDuplicateSnpNames(const std::string& path, const std::vector<std::string>& names,
                                  std::size_t shown = 5);

}  // namespace dyadmill
