// dyadmill: exhaustive SNP-pair association and epistasis scans of
// case/control genotype data. The whole run lives in the core library.
#include <cstdio>
#include <new>

#include "console.h"
#include "run.h"

int main(int argc, char** argv) {
  try {
    return dyadmill::runDyadmill(argc, argv);
  } catch (const std::bad_alloc&) {
    // The only failure the library leaves to the entry: a block combination
    // or result list too large for this machine's memory.
    dyadmill::console().line(
        "ERROR: Out of memory. Use more data blocks (-b), more processes (-n) or a stricter threshold (-t).");
    return 255;
  }
}
