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
// naming the file that holds the names (a fileset's .bim, or the text file)
// and the first few duplicates where that file has them (lines of the .bim,
// columns of the text header); returns how many names repeat an earlier
// one.
std::size_t warnDuplicateSnpNames(const std::string& input, const std::vector<std::string>& names,
                                  std::size_t shown = 5);

}  // namespace dyadmill
