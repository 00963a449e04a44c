#include "blocks.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "console.h"

namespace dyadmill {

namespace {

void addCombination(BlockTable& table, std::uint64_t b1, std::uint64_t e1, std::uint64_t b2, std::uint64_t e2) {
  table.begin.push_back(b1);
  table.end.push_back(e1);
  table.begin2.push_back(b2);
  table.end2.push_back(e2);
}

void printBlockTable(const BlockTable& table) {
  console().print("K:%" PRIu64 "\n", table.blockcombo_amount);
  for (std::uint64_t i = 0; i < table.blockcombo_amount; ++i) {
    console().print("\nBlock combination  #: %" PRIu64 " SNP1 begin[]: %" PRIu64 " SNP1 end[]: %" PRIu64 "\n", i,
                    table.begin[i], table.end[i]);
    console().print("begin2[]: %" PRIu64 " end2[]: %" PRIu64 "\n", table.begin2[i], table.end2[i]);
  }
}

Outcome loadDistributionError(const RunParameters& params, std::uint64_t combinations, std::uint64_t per_process) {
  console().print("\nERROR: \nNon-uniform load distribution per thread!\n");
  console().line(params.permutationParam == 0 ? "MODE:NO PERMUTATIONS" : "MODE:PERMUTATIONS");
  console().print(">>Set  -n to %" PRIu64, combinations);
  if (per_process > 1) console().print(">>OR set -n to%" PRIu64 "\n", combinations / (per_process - 1));
  return Outcome::stop(kExitError);
}

// Contiguous slices of ceil(K / n) combinations, the last one shorter.
Outcome assignShare(const RunParameters& params, BlockTable& table) {
  const std::uint64_t combinations = table.blockcombo_amount;
  if (params.processAmount <= 1) {  // 0 never gets here: the command line refuses it
    console().print("Total amount of block comb. to process: %" PRIu64 " with %" PRIu64 " SNPs each\n", combinations,
                    table.maxblock_size);
    table.Kbegin = 0;
    table.Kend = combinations;
    return Outcome::proceed();
  }
  const std::uint64_t n = params.processAmount;
  const std::uint64_t per_process = (combinations + n - 1) / n;
  console().print("blockcombo_perprocess: %" PRIu64 "\n", per_process);
  console().print("processAmount: %" PRIu64 "\n", n);
  console().print("K:%" PRIu64 "\n", combinations);
  for (std::uint64_t p = 0; p < n; ++p) {
    const auto [kbegin, kend] = processShare(combinations, n, p + 1);
    if (kbegin >= kend) return loadDistributionError(params, combinations, per_process);
    console().print("%" PRIu64 ":Kbegin_vect[p]:%" PRIu64 " // Kend_vect[p]: %" PRIu64 "\n", p, kbegin, kend);
    if (p + 1 == params.processID) {
      table.Kbegin = kbegin;
      table.Kend = kend;
    }
  }
  return Outcome::proceed();
}

}  // namespace

Outcome checkBlockAmount(const RunParameters& params, std::uint64_t snp_amount) {
  if (params.blockAmount <= snp_amount) return Outcome::proceed();
  console().print("ERROR! -b %u is more than the number of SNPs (%" PRIu64 ")\n",
                  static_cast<unsigned>(params.blockAmount), snp_amount);
  return Outcome::stop(kExitError);
}

Outcome checkProcessDivision(const RunParameters& params, std::uint64_t snp_amount) {
  const std::uint64_t n = params.processAmount;
  if (n <= 1 || params.processID == 0) return Outcome::proceed();
  const std::uint64_t blocks = blocksInUse(params, snp_amount);
  const std::uint64_t combinations = blocks * (blocks + 1) / 2;
  Outcome outcome = Outcome::proceed();
  bool line_open = false;  // the load message may end without a line end
  if (params.blockAmount == 0 && blocks == 1) {
    console().line("ERROR: No need for parallel mode with such small dataset! Aborting");
    outcome = Outcome::stop(kExitError);
  } else {
    const std::uint64_t per_process = (combinations + n - 1) / n;
    for (std::uint64_t p = 1; p <= n && !outcome.stopped(); ++p) {
      const auto [kbegin, kend] = processShare(combinations, n, p);
      if (kbegin >= kend) {
        outcome = loadDistributionError(params, combinations, per_process);
        line_open = per_process <= 1;
      }
    }
  }
  if (!outcome.stopped() || combinations >= n) return outcome;
  // Too few combinations for the processes: the -b that gives enough.
  std::uint64_t needed = blocks;
  while (needed * (needed + 1) / 2 < n) ++needed;
  if (line_open) console().print("\n");
  if (needed <= snp_amount) {
    console().print("ERROR: -n %" PRIu64 " needs at least %" PRIu64 " block combinations: give -b %" PRIu64
                    " or more\n",
                    n, n, needed);
  } else {
    console().print("ERROR: -n %" PRIu64 " needs at least %" PRIu64 " block combinations, more than %" PRIu64
                    " SNPs can give: use fewer processes\n",
                    n, n, snp_amount);
  }
  return outcome;
}

std::uint64_t blocksInUse(const RunParameters& params, std::uint64_t snp_amount) {
  return params.blockAmount != 0 ? params.blockAmount : automaticBlockAmount(snp_amount, params.permutationParam);
}

std::uint64_t combinationOfPair(std::uint64_t snp_amount, std::uint64_t blocks, std::uint64_t i, std::uint64_t j) {
  const std::uint64_t S =
      static_cast<std::uint64_t>(std::ceil(static_cast<double>(snp_amount) / static_cast<double>(blocks)));
  const std::uint64_t A = snp_amount - (S - 1) * blocks;
  const std::uint64_t base = A * S;
  auto blockOf = [&](std::uint64_t snp) { return snp < base ? snp / S : A + (snp - base) / (S - 1); };
  const std::uint64_t I = blockOf(i);
  const std::uint64_t J = blockOf(j);
  // Every pair of distinct blocks comes first, block I with each later block
  // in turn, then every block with itself.
  if (I == J) return blocks * (blocks - 1) / 2 + I;
  return I * (blocks - 1) - I * (I - 1) / 2 + (J - I - 1);
}

ProcessShare processShare(std::uint64_t combinations, std::uint64_t n, std::uint64_t process) {
  const std::uint64_t per_process = (combinations + n - 1) / n;
  ProcessShare share;
  share.Kbegin = (process - 1) * per_process;
  share.Kend = std::min(process * per_process, combinations);
  return share;
}

std::uint64_t automaticBlockAmount(std::uint64_t snp_amount, std::uint64_t permutationParam) {
  if (permutationParam == 0) return snp_amount > 9999 ? snp_amount / 10000 : 1;
  return snp_amount > 999 ? (snp_amount + 1) / 1000 : 1;
}

BlockTable listBlockCombinations(std::uint64_t snp_amount, std::uint64_t blocks) {
  BlockTable table;
  table.blockAmount = blocks;
  table.blockcombo_amount = blocks * (blocks + 1) / 2;
  const std::uint64_t S =
      static_cast<std::uint64_t>(std::ceil(static_cast<double>(snp_amount) / static_cast<double>(blocks)));
  const std::uint64_t A = snp_amount - (S - 1) * blocks;
  const std::uint64_t base = A * S;
  const std::uint64_t smaller = blocks - A;
  table.maxblock_size = S;
  table.maxblock_amount = A;
  table.begin.reserve(table.blockcombo_amount);
  table.end.reserve(table.blockcombo_amount);
  table.begin2.reserve(table.blockcombo_amount);
  table.end2.reserve(table.blockcombo_amount);

  auto larger_begin = [&](std::uint64_t b) { return b * S; };
  auto smaller_begin = [&](std::uint64_t b) { return base + b * (S - 1); };
  for (std::uint64_t I = 0; I < A; ++I) {
    for (std::uint64_t J = I + 1; J < A; ++J) {
      addCombination(table, larger_begin(I), larger_begin(I) + S, larger_begin(J), larger_begin(J) + S);
    }
    for (std::uint64_t s = 0; s < smaller; ++s) {
      addCombination(table, larger_begin(I), larger_begin(I) + S, smaller_begin(s), smaller_begin(s) + S - 1);
    }
  }
  for (std::uint64_t I = 0; I < smaller; ++I) {
    for (std::uint64_t J = I + 1; J < smaller; ++J) {
      addCombination(table, smaller_begin(I), smaller_begin(I) + S - 1, smaller_begin(J), smaller_begin(J) + S - 1);
    }
  }
  for (std::uint64_t I = 0; I < A; ++I) {
    addCombination(table, larger_begin(I), larger_begin(I) + S, larger_begin(I), larger_begin(I) + S);
  }
  for (std::uint64_t I = 0; I < smaller; ++I) {
    addCombination(table, smaller_begin(I), smaller_begin(I) + S - 1, smaller_begin(I), smaller_begin(I) + S - 1);
  }
  return table;
}

Outcome formBlocks(const RunParameters& params, std::uint64_t snp_amount, BlockTable& table) {
  // The count in use is derived here once; the run parameters keep -b as
  // given.
  const std::uint64_t blocks = blocksInUse(params, snp_amount);
  if (params.blockAmount == 0) {
    console().print("%" PRIu64 "\n", blocks);
    if (blocks == 0) {
      console().line("ERROR: Number of blocks could not be ZERO! Aborting");
      return Outcome::stop(kExitError);
    }
    if (blocks == 1 && params.processAmount > 1) {
      console().line("ERROR: No need for parallel mode with such small dataset! Aborting");
      return Outcome::stop(kExitError);
    }
    const double b = static_cast<double>(blocks);
    console().print("Block combinations for parallel process #: %g\n", std::ceil(b * b * 0.5));
  }
  console().print("\n***Final blockAmount : %" PRIu64 " ***\n", blocks);
  console().line("INFO: Defining data block combinations of data");
  table = listBlockCombinations(snp_amount, blocks);
  printBlockTable(table);
  if (Outcome o = assignShare(params, table); o.stopped()) return o;
  console().print("Kbegin=%" PRIu64 "  Kend=%" PRIu64 "\n", table.Kbegin, table.Kend);
  console().line("INFO: Starting to loop over the data block combinations");
  return Outcome::proceed();
}

}  // namespace dyadmill
