// Command line: options into RunParameters, their checks and their echo.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "outcome.h"
#include "run_parameters.h"

namespace dyadmill {

// 1 when some argument (the program name included) equals `option` exactly,
// 0 otherwise.
int validate_in_parameters(int argc, const char* const* argv, const char* option);

// Reads and checks the options, echoes the chosen parameters and applies the
// process-numbering and permutation checks. Prints every message itself; a
// stop carries the exit status the run must end with. `understood`, when
// given, is called once every option is read and the required ones are
// present, right before the echo (which --quiet keeps off the console).
using Understood = std::function<void(const RunParameters& params)>;
Outcome parseCommandLine(int argc, const char* const* argv, RunParameters& params, const Understood& understood = {});

// Every option the command line accepts, for the check that the help text
// lists them all.
std::vector<std::string> acceptedOptions();

// The block of lines that echoes the chosen parameters.
void echoParameters(const RunParameters& params);

}  // namespace dyadmill
