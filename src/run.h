// The run sequence: options, genotype file, scan or assembly, final stage.
#pragma once

namespace dyadmill {

// Runs the program on its command line and returns the process's exit status.
int runDyadmill(int argc, const char* const* argv);

}  // namespace dyadmill
