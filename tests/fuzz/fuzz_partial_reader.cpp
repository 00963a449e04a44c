// Fuzz target: the assembly's reading and checking of partial files. The
// input holds the files of three workers separated by lines "=====" ; the
// assembly options are those the seed files were written with (-n 3 -b 3
// -t 0.5 --association --score --maxT --nomissing --permutations 2 -r 7),
// except that the first byte, when it is not a digit nor '#', varies the
// permutation count, the p-value method and --fwer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
#include "fuzz_support.h"
#include "partial_results.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  dyadmill::RunParameters params;
  params.outFile = dyadmill::fuzz::scratchFolder() + "/res";
  params.processAmount = 3;
  params.processID = 0;
  params.blockAmount = 3;
  params.thresholdParam = 0.5f;
  params.hypothesisOption = 0;
  params.testTypeOption = 1;
  params.algoOption = 0;
  params.missingGenoOption = 0;
  params.permutationParam = 2;
  params.randomParam = 7;
  if (!input.empty() && (input[0] < '0' || input[0] > '9') && input[0] != '#') {
    const auto control = static_cast<std::uint8_t>(input[0]);
    params.permutationParam = control % 5;
    params.algoOption = (control >> 3) & 1;
    if (params.algoOption == 1) params.thresholdParam = 0.25f;
    params.fwerOption = ((control >> 4) & 1) != 0;
    input.remove_prefix(1);
  }

  constexpr std::string_view kSeparator = "=====\n";
  for (int k = 1; k <= 3; ++k) {
    const std::size_t cut = k < 3 ? input.find(kSeparator) : std::string_view::npos;
    const std::string_view part = input.substr(0, cut);
    dyadmill::fuzz::writeBytes(dyadmill::partialFileName(params.outFile, k),
                               reinterpret_cast<const std::uint8_t*>(part.data()), part.size());
    input = cut == std::string_view::npos ? std::string_view() : input.substr(cut + kSeparator.size());
  }

  std::vector<std::string> names;
  for (int s = 0; s < 12; ++s) names.push_back("s" + std::to_string(s));
  dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
  dyadmill::TopVector top;
  std::vector<double> fwer;
  const dyadmill::Outcome o = dyadmill::assemblePartialFiles(params, names, top, fwer);
  // Whatever the assembly accepts must be fit for the final stage.
  if (!o.stopped()) {
    for (const auto& pair : top) {
      if (pair.i >= pair.j || pair.j >= names.size() || pair.permutValues.size() != params.permutationParam) {
        std::abort();
      }
    }
    // One finite extreme per permutation with --fwer, none without.
    if (fwer.size() != (params.fwerOption ? params.permutationParam : 0)) std::abort();
    for (const double extreme : fwer) {
      if (!std::isfinite(extreme) || extreme < 0.0 || (params.minP() && extreme > 1.0)) std::abort();
    }
  }
  return 0;
}
