// Stage cli: the command line, the help text and the run from parsing to
// exit status; the entry source is a thin call into it. Uses every stage.
//
// The run sequence: options, genotype file, scan or assembly, final stage.
#pragma once

namespace dyadmill {

// Runs the program on its command line and returns the process's exit status.
int runDyadmill(int argc, const char* const* argv);

}  // namespace dyadmill
