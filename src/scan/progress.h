// Progress lines and run-time estimates of long scans. They are only
// printed; nothing in the scan depends on them.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "blocks.h"

namespace dyadmill {

// Whether the pair loop reports before first-block SNP i: at i = 0, h, 2h, ...
// with h = (SNPs of block 1 - coincide) / 2, or at i = 0 only when h is 0.
bool progressStepDue(std::uint64_t i, std::uint64_t half_snp_amount_block);

struct PairLoopProgress {
  std::uint64_t i;                 // first-block SNP about to be scanned
  std::time_t start_time;          // start of this combination's pair loop
  std::uint64_t snp_amount_block;  // SNPs of block 1
  bool coincide;
  std::uint64_t top_vect_size;        // kept pairs of earlier combinations
  std::uint64_t top_vect_block_size;  // kept pairs of this combination so far
  std::uint64_t K;                    // combination index, from 0
  std::uint64_t Kend;                 // end of this process's range
};

// Kept-pair count, hours left, and the storage warning when the kept-pair
// rate of this combination, extrapolated, would overflow the result list.
void reportPairLoopProgress(const PairLoopProgress& progress);

// Estimated total hours of the permutation phase, taken at the start of
// permutation 2 of a combination.
void reportPermutationEstimate(std::uint64_t permutationParam, std::uint64_t remain_blocks, std::time_t now_perm,
                               std::time_t start_time);

// Pairs this process counts: every pair of its combinations once for the
// scan and once more per permutation.
std::uint64_t shareWork(const BlockTable& blocks, std::uint64_t permutationParam);

// "37.2%  12.3M pairs/s  0:01:23 left": share done, rate, time left as
// h:mm:ss (the rate and time left once some time has passed).
std::string formatProgress(std::uint64_t done, std::uint64_t total, double seconds);

// A count with its thousands separated by commas: 1000000 as "1,000,000".
std::string withThousands(std::uint64_t value);

// A progress line for whoever watches a long scan at a terminal: drawn on
// standard error, in place, at most a few times a second, and only when
// standard error is a terminal, so that logs and pipes see nothing of it
// and standard output keeps its lines exactly.
class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;
  using Writer = std::function<void(std::string_view)>;

  // Draws on standard error when it is a terminal; otherwise stays silent.
  explicit ProgressLine(std::uint64_t total_work);
  // Draws through `writer`, timed from `start` (for tests).
  ProgressLine(std::uint64_t total_work, Writer writer, Clock::time_point start);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Counts `work` more pairs done and redraws when the last drawing is old
  // enough. Costs next to nothing when the line is not shown.
  void advance(std::uint64_t work) {
    if (!writer_) return;
    advanceAt(work, Clock::now());
  }
  void advanceAt(std::uint64_t work, Clock::time_point now);

  // Least time between two drawings.
  static constexpr std::chrono::milliseconds kRedrawInterval{250};

 private:
  void clear();

  std::uint64_t total_;
  std::uint64_t done_ = 0;
  Writer writer_;
  Clock::time_point start_;
  Clock::time_point last_draw_{};
  bool drawn_ = false;
};

}  // namespace dyadmill
