#include "progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "PairTallier.h"
#include "console.h"

namespace dyadmill {

bool progressStepDue(std::uint64_t i, std::uint64_t half_snp_amount_block) {
  if (half_snp_amount_block == 0) return i == 0;
  return i % half_snp_amount_block == 0;
}

std::string withThousands(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t k = digits.size(); k > 3; k -= 3) digits.insert(k - 3, ",");
  return digits;
}

void reportPairLoopProgress(const PairLoopProgress& p) {
  const std::time_t dt = std::time(nullptr);
  console().print("INFO: Number of significant loci pairs identified so far: %" PRIu64
                  " (storage limit: max %s loci pairs)\n",
                  p.top_vect_size + p.top_vect_block_size, withThousands(kMaxKeptPairs).c_str());
  const auto dt_seconds = static_cast<std::uint32_t>(dt - p.start_time);
  const std::uint64_t remain_blocks = p.Kend - p.K;
  // Both estimates divide by i: at i = 0 there is nothing to extrapolate from.
  if (p.i == 0) {
    console().flush();
    return;
  }
  if (dt_seconds != 0) {
    const float time_needed_h = ((static_cast<float>(dt_seconds) / static_cast<float>(p.i)) *
                                 static_cast<float>(p.snp_amount_block) * static_cast<float>(remain_blocks)) /
                                3600.0f;
    console().print("INFO: Est. Time left to run in non permuations mode : %g (hours)\n",
                    static_cast<double>(time_needed_h));
  }
  const float scanned_share = static_cast<float>(p.i) / static_cast<float>(p.snp_amount_block - (p.coincide ? 1 : 0));
  const float predicted = static_cast<float>(p.top_vect_block_size) / scanned_share * static_cast<float>(remain_blocks);
  // Truncation to 32 bits, as the estimate always was; clamped so that a
  // huge extrapolation cannot overflow.
  const std::uint64_t pred_sig_snp_pairs_tilEnd =
      predicted >= 2147483647.0f ? 2147483647u : static_cast<std::uint64_t>(static_cast<std::int32_t>(predicted));
  const std::uint64_t remain_sigSNPpairs_toFill =
      p.top_vect_size <= kMaxKeptPairs ? kMaxKeptPairs - p.top_vect_size : 0;
  if (remain_sigSNPpairs_toFill < pred_sig_snp_pairs_tilEnd && p.top_vect_block_size != 0) {
    console().print("WARNING: Based on stats of data block %" PRIu64
                    " PREDICTED sig. SNP pairs >10^6. Consider stopping this run and lower -t param.!\n",
                    p.K);
    console().print("WARNING: Predicted number of significant SNP pairs at the end of the run: %" PRIu64 "\n",
                    pred_sig_snp_pairs_tilEnd);
  }
  console().flush();
}

void reportPermutationEstimate(std::uint64_t permutationParam, std::uint64_t remain_blocks, std::time_t now_perm,
                               std::time_t start_time) {
  const auto elapsed = static_cast<std::uint64_t>(now_perm - start_time);
  const auto perm_time_to_end = static_cast<float>(((permutationParam - 1) * remain_blocks * elapsed) / 3600);
  console().print("\n\nINFO PERMUTATION: \nEstimated TOTAL time of the run: %g(hrs)  ~ %g (days)\n\n",
                  static_cast<double>(perm_time_to_end), static_cast<double>(perm_time_to_end / 24));
  if (perm_time_to_end > 168.0f) {
    // One message, so that the advice travels with its warning (--quiet).
    console().print("WARNING: ESTIMATED TO TAKE %g h to run\nCONSIDER TERMINATING RUN AND INCREASING -n PARAMETER\n",
                    static_cast<double>(perm_time_to_end));
  }
}

std::uint64_t shareWork(const BlockTable& blocks, std::uint64_t permutationParam) {
  std::uint64_t pairs = 0;
  for (std::uint64_t K = blocks.Kbegin; K < blocks.Kend && K < blocks.begin.size(); ++K) {
    pairs += combinationPairs(blocks, K);
  }
  return pairs * (permutationParam + 1);
}

namespace {

// 1234 -> "1234", 12345678 -> "12.3M": whole numbers up to 9999, then
// three significant digits and a suffix.
std::string compactCount(double value) {
  static constexpr const char* kSuffixes[] = {"", "k", "M", "G", "T"};
  char text[32];
  if (value < 9999.5) {
    std::snprintf(text, sizeof(text), "%.0f", value);
    return text;
  }
  unsigned s = 0;
  while (value >= 999.5 && s + 1 < std::size(kSuffixes)) {
    value /= 1000.0;
    ++s;
  }
  std::snprintf(text, sizeof(text), value < 99.95 ? "%.1f%s" : "%.0f%s", value, kSuffixes[s]);
  return text;
}

}  // namespace

std::string formatProgress(std::uint64_t done, std::uint64_t total, double seconds) {
  const double share = total == 0 ? 100.0 : 100.0 * static_cast<double>(done) / static_cast<double>(total);
  char text[96];
  int length = std::snprintf(text, sizeof(text), "%5.1f%%", std::floor(share * 10.0) / 10.0);
  if (seconds > 0.0 && done > 0) {
    const double rate = static_cast<double>(done) / seconds;
    const auto left = static_cast<std::uint64_t>(std::llround(static_cast<double>(total - done) / rate));
    std::snprintf(text + length, sizeof(text) - static_cast<std::size_t>(length),
                  "  %s pairs/s  %" PRIu64 ":%02" PRIu64 ":%02" PRIu64 " left", compactCount(rate).c_str(), left / 3600,
                  left / 60 % 60, left % 60);
  }
  return text;
}

ProgressLine::ProgressLine(std::uint64_t total_work) : total_(total_work), start_(Clock::now()) {
  if (::isatty(STDERR_FILENO) == 1) {
    writer_ = [](std::string_view text) {
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
    };
  }
}

ProgressLine::ProgressLine(std::uint64_t total_work, Writer writer, Clock::time_point start)
    : total_(total_work), writer_(std::move(writer)), start_(start) {}

ProgressLine::~ProgressLine() {
  clear();
}

void ProgressLine::advanceAt(std::uint64_t work, Clock::time_point now) {
  if (!writer_) return;
  done_ = work >= total_ - done_ ? total_ : done_ + work;
  if (done_ == total_) {
    clear();
    return;
  }
  if (drawn_ && now - last_draw_ < kRedrawInterval) return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // Drawn from the first column, the rest of the line erased, and the
  // cursor left at the first column so that a line printed on standard
  // output to the same terminal simply writes over it.
  writer_("\r" + formatProgress(done_, total_, seconds) + "\x1b[K\r");
  last_draw_ = now;
  drawn_ = true;
}

void ProgressLine::clear() {
  if (!drawn_) return;
  writer_("\r\x1b[K");
  drawn_ = false;
}

}  // namespace dyadmill
