#include "progress.h"

#include <cinttypes>
#include <cstdio>

#include "PairTallier.h"
#include "console.h"

namespace dyadmill {

bool progressStepDue(std::uint64_t i, std::uint64_t half_snp_amount_block) {
  if (half_snp_amount_block == 0) return i == 0;
  return i % half_snp_amount_block == 0;
}

void reportPairLoopProgress(const PairLoopProgress& p) {
  const std::time_t dt = std::time(nullptr);
  console().print("INFO: Number of significant loci pairs identified so far: %" PRIu64
                  " (storage limit: max 1,000,000 loci pairs)\n",
                  p.top_vect_size + p.top_vect_block_size);
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
    console().print("WARNING: ESTIMATED TO TAKE %g h to run\n", static_cast<double>(perm_time_to_end));
    console().print("CONSIDER TERMINATING RUN AND INCREASING -n PARAMETER\n");
  }
}

}  // namespace dyadmill
