// Fuzz target: the command line. The input is the argument list, arguments
// separated by NUL bytes (the program name is added).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "command_line.h"
#include "console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words = {"dyadmill"};
  std::string current;
  for (std::size_t k = 0; k < size && words.size() < 64; ++k) {
    if (data[k] == 0) {
      words.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[k]);
    }
  }
  if (!current.empty()) words.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);

  dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
  dyadmill::RunParameters params;
  const dyadmill::Outcome o = dyadmill::parseCommandLine(static_cast<int>(words.size()), argv.data(), params);
  // A run that passes the option stage has a consistent process numbering.
  if (!o.stopped()) {
    if (params.outFile.empty() || params.processAmount == 0) std::abort();
    if (params.processAmount == 1 && params.processID != 1) std::abort();
    if (params.processID > params.processAmount) std::abort();
  }
  return 0;
}
