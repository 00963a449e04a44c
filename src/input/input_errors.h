// The stops of the input readers: every one names the file and, where there
// is one, the line, so that the user knows what to fix.
#pragma once

#include <cstdint>
#include <string>

#include "outcome.h"

namespace dyadmill {

// "ERROR: <file>, line <n>: <problem>", exit status 255.
Outcome inputLineError(const std::string& file, std::uint64_t line_number, const std::string& problem);

// "ERROR: <file>: <problem>", exit status 255.
Outcome inputFileError(const std::string& file, const std::string& problem);

}  // namespace dyadmill
