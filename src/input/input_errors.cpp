#include "input_errors.h"

#include <cinttypes>

#include "console.h"

namespace dyadmill {

Outcome inputLineError(const std::string& file, std::uint64_t line_number, const std::string& problem) {
  console().print("ERROR: %s, line %" PRIu64 ": %s\n", file.c_str(), line_number, problem.c_str());
  return Outcome::stop(kExitError);
}

Outcome inputFileError(const std::string& file, const std::string& problem) {
  console().print("ERROR: %s: %s\n", file.c_str(), problem.c_str());
  return Outcome::stop(kExitError);
}

}  // namespace dyadmill
