// dyadmill-scan-bench: times the reference and the fast pair scan side by side
// on one genotype file, in one process, and checks that they keep the same
// pairs with the same values.
//
//   dyadmill-scan-bench -i FILE -t THRESHOLD [dyadmill mode options] [-b B]
//                       [--permutations P -r SEED] [--repeats R] [--path both|fast|reference]
//                       [--keep K] [--reference-repeats R] [--rescan cost|kept|full] [--read-only]
//
// With --keep K the threshold is first calibrated (maxT): one fast scan at
// the given threshold, which must keep more than K pairs, then the
// threshold halfway between the K-th and the (K+1)-th largest statistic.
//
// --rescan chooses how the fast path rescans permutations under the
// epistasis likelihood-ratio test: by cost as a run of the program does
// (the default), always by the kept pairs, or always by full passes.
//
// Reports the reading speed of the file (and stops there with --read-only),
// then per path the median wall time
// of R scans (block table, pair loop, permutations; no output files) and
// pairs per second, where a pair is counted once per scan and once more per
// permutation.

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "blocks.h"
#include "command_line.h"
#include "console.h"
#include "genotype_reader.h"
#include "scan_driver.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool sameResults(const dyadmill::TopVector& a, const dyadmill::TopVector& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t x = 0; x < a.size(); ++x) {
    if (a[x].i != b[x].i || a[x].j != b[x].j || a[x].DegFreedom != b[x].DegFreedom ||
        a[x].testStatValue != b[x].testStatValue || a[x].permutValues != b[x].permutValues) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int repeats = 3;
  int reference_repeats = -1;  // as --repeats unless given
  std::size_t keep = 0;
  std::string path = "both";
  bool read_only = false;
  dyadmill::FastRescan rescan = dyadmill::FastRescan::ByCost;
  std::vector<const char*> args = {"dyadmill", "-n", "1", "-p", "1", "-o", "bench"};
  for (int k = 1; k < argc; ++k) {
    if (std::strcmp(argv[k], "--repeats") == 0 && k + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++k]));
    } else if (std::strcmp(argv[k], "--reference-repeats") == 0 && k + 1 < argc) {
      reference_repeats = std::max(1, std::atoi(argv[++k]));
    } else if (std::strcmp(argv[k], "--keep") == 0 && k + 1 < argc) {
      keep = static_cast<std::size_t>(std::atoll(argv[++k]));
    } else if (std::strcmp(argv[k], "--read-only") == 0) {
      read_only = true;
    } else if (std::strcmp(argv[k], "--rescan") == 0 && k + 1 < argc) {
      const std::string how = argv[++k];
      rescan = how == "kept"   ? dyadmill::FastRescan::KeptPairs
               : how == "full" ? dyadmill::FastRescan::FullPasses
                               : dyadmill::FastRescan::ByCost;
    } else if (std::strcmp(argv[k], "--path") == 0 && k + 1 < argc) {
      path = argv[++k];
    } else {
      args.push_back(argv[k]);
    }
  }
  dyadmill::RunParameters params;
  dyadmill::GenotypeStore store;
  {
    dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
    if (dyadmill::parseCommandLine(static_cast<int>(args.size()), args.data(), params).stopped()) return 2;
  }
  const auto read_start = Clock::now();
  {
    dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
    if (dyadmill::readGenotypeFile(params, store).stopped()) {
      std::fprintf(stderr, "cannot read %s\n", params.inFile.c_str());
      return 1;
    }
  }
  const double read_seconds = seconds(Clock::now() - read_start);
  std::FILE* in = std::fopen(params.inFile.c_str(), "rb");
  std::fseek(in, 0, SEEK_END);
  const double megabytes = static_cast<double>(std::ftell(in)) / 1e6;
  std::fclose(in);
  if (read_only) {
    std::printf("file: %" PRIu64 " SNPs x %u subjects, %.1f MB read in %.3f s (%.0f MB/s)\n", store.snp_amount,
                static_cast<unsigned>(store.total_amount), megabytes, read_seconds, megabytes / read_seconds);
    return 0;
  }

  dyadmill::BlockTable blocks;
  {
    dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
    if (dyadmill::formBlocks(params, store.snp_amount, blocks).stopped()) return 1;
  }
  if (keep > 0) {
    dyadmill::RunParameters calibration = params;
    calibration.permutationParam = 0;
    dyadmill::ScanContext ctx(calibration, store, blocks);
    {
      dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
      if (dyadmill::scanBlockCombinations(ctx, dyadmill::ScanPath::Fast).stopped()) return 1;
    }
    std::vector<double> statistics;
    for (const auto& pair : ctx.top_vect) statistics.push_back(pair.testStatValue);
    std::sort(statistics.begin(), statistics.end(), std::greater<>());
    if (statistics.size() <= keep) {
      std::fprintf(stderr, "-t %g keeps only %zu pairs; give a lower starting threshold\n",
                   static_cast<double>(params.thresholdParam), statistics.size());
      return 2;
    }
    params.thresholdParam = static_cast<float>((statistics[keep - 1] + statistics[keep]) / 2.0);
  }
  std::printf("threshold: %g\n", static_cast<double>(params.thresholdParam));
  const double pairs = static_cast<double>(store.snp_amount) * static_cast<double>(store.snp_amount - 1) / 2.0 *
                       static_cast<double>(params.permutationParam + 1);
  std::printf("file: %" PRIu64 " SNPs x %u subjects, %.1f MB read in %.3f s (%.0f MB/s)\n", store.snp_amount,
              static_cast<unsigned>(store.total_amount), megabytes, read_seconds, megabytes / read_seconds);

  struct Timing {
    const char* name;
    dyadmill::ScanPath path;
    double median_seconds = 0.0;
    dyadmill::TopVector kept;
  };
  std::vector<Timing> timings;
  if (path != "fast") timings.push_back({"reference", dyadmill::ScanPath::Reference, 0.0, {}});
  if (path != "reference") timings.push_back({"fast", dyadmill::ScanPath::Fast, 0.0, {}});
  for (Timing& timing : timings) {
    std::vector<double> runs;
    const int runs_wanted =
        timing.path == dyadmill::ScanPath::Reference && reference_repeats > 0 ? reference_repeats : repeats;
    for (int r = 0; r < runs_wanted; ++r) {
      dyadmill::ScanContext ctx(params, store, blocks);
      const auto start = Clock::now();
      {
        dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
        if (dyadmill::scanBlockCombinations(ctx, timing.path, rescan).stopped()) return 1;
      }
      runs.push_back(seconds(Clock::now() - start));
      timing.kept = std::move(ctx.top_vect);
    }
    timing.median_seconds = median(runs);
    const dyadmill::SimdKernels probe = dyadmill::probeSimdKernels();
    std::printf("%-9s  %8.3f s  %8.2f M pairs/s  kept %zu%s%s\n", timing.name, timing.median_seconds,
                pairs / timing.median_seconds / 1e6, timing.kept.size(),
                timing.path == dyadmill::ScanPath::Fast ? "  kernel " : "",
                timing.path == dyadmill::ScanPath::Fast ? dyadmill::kernelName(probe.kind) : "");
  }
  if (timings.size() == 2) {
    const bool same = sameResults(timings[0].kept, timings[1].kept);
    std::printf("speed-up  %.2fx  results %s\n", timings[0].median_seconds / timings[1].median_seconds,
                same ? "identical" : "DIFFER");
    if (!same) return 3;
  }
  return 0;
}
