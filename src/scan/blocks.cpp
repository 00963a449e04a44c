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

Outcome checkProcessDivision(const RunParameters& params, std::uint64_t snp_amount, const SetLayout& layout) {
  const std::uint64_t n = params.processAmount;
  if (n <= 1 || params.processID == 0) return Outcome::proceed();
  const std::uint64_t blocks = blocksInUse(params, snp_amount);
  auto combinationsOf = [&](std::uint64_t b) { return CombinationIndex(snp_amount, b, layout).combinations(); };
  const std::uint64_t combinations = combinationsOf(blocks);
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
  while (needed <= snp_amount && combinationsOf(needed) < n) ++needed;
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

namespace {

// A group of `length` SNPs from `first` cut into blocks of at most `size`,
// the larger ones first, as the full table cuts all SNPs.
void cutGroup(std::uint64_t first, std::uint64_t length, std::uint64_t size, SetSide side,
              std::vector<std::uint64_t>& begins, std::vector<SetSide>& sides) {
  if (length == 0) return;
  const std::uint64_t k = (length + size - 1) / size;
  const std::uint64_t larger = length - (length / k) * k;  // blocks of length / k + 1
  std::uint64_t at = first;
  for (std::uint64_t b = 0; b < k; ++b) {
    begins.push_back(at);
    sides.push_back(side);
    at += length / k + (b < larger ? 1 : 0);
  }
}

// The blocks of a set layout: first SNP of each (plus the end) and group.
void setBlocks(const SetLayout& layout, std::uint64_t blocks, std::vector<std::uint64_t>& begins,
               std::vector<SetSide>& sides) {
  const std::uint64_t snps = layout.snps();
  const std::uint64_t size = std::max<std::uint64_t>(1, (snps + blocks - 1) / std::max<std::uint64_t>(blocks, 1));
  cutGroup(0, layout.first_only, size, SetSide::FirstOnly, begins, sides);
  cutGroup(layout.first_only, layout.both, size, SetSide::Both, begins, sides);
  cutGroup(layout.first_only + layout.both, layout.second_only, size, SetSide::SecondOnly, begins, sides);
  begins.push_back(snps);
}

std::uint64_t staircasePairs(const std::vector<std::uint64_t>& starts, std::uint64_t partners) {
  std::uint64_t pairs = 0;
  for (const std::uint64_t start : starts) pairs += partners - start;
  return pairs;
}

// Pairs within the first group, or within the last, are not tested.
bool testedGroups(SetSide a, SetSide b) {
  return !(a == b && a != SetSide::Both);
}

}  // namespace

std::vector<std::uint64_t> staircaseStarts(const std::vector<std::uint64_t>& file_index, std::uint64_t begin,
                                           std::uint64_t end, std::uint64_t begin2, std::uint64_t end2) {
  std::vector<std::uint64_t> starts;
  starts.reserve(end - begin);
  const auto first = file_index.begin() + static_cast<std::ptrdiff_t>(begin2);
  const auto last = file_index.begin() + static_cast<std::ptrdiff_t>(end2);
  for (std::uint64_t i = begin; i < end; ++i) {
    starts.push_back(static_cast<std::uint64_t>(std::upper_bound(first, last, file_index[i]) - first));
  }
  return starts;
}

BlockTable listSetCombinations(const SetLayout& layout, std::uint64_t blocks) {
  std::vector<std::uint64_t> begins;
  std::vector<SetSide> sides;
  setBlocks(layout, blocks, begins, sides);
  BlockTable table;
  table.blockAmount = sides.size();
  for (std::uint64_t b = 0; b < sides.size(); ++b) {
    table.maxblock_size = std::max(table.maxblock_size, begins[b + 1] - begins[b]);
  }
  for (std::uint64_t b = 0; b < sides.size(); ++b) {
    if (begins[b + 1] - begins[b] == table.maxblock_size) ++table.maxblock_amount;
  }
  auto add = [&](std::uint64_t I, std::uint64_t J, bool staircase) {
    const std::uint64_t n1 = begins[I + 1] - begins[I];
    const std::uint64_t n2 = begins[J + 1] - begins[J];
    std::uint64_t pairs = I == J ? n1 * (n1 - 1) / 2 : n1 * n2;
    if (staircase) {
      pairs =
          staircasePairs(staircaseStarts(layout.file_index, begins[I], begins[I + 1], begins[J], begins[J + 1]), n2);
    }
    if (pairs == 0) return;
    addCombination(table, begins[I], begins[I + 1], begins[J], begins[J + 1]);
    table.staircase.push_back(staircase ? 1 : 0);
    table.pairs.push_back(pairs);
  };
  const std::uint64_t count = sides.size();
  for (std::uint64_t I = 0; I < count; ++I) {
    for (std::uint64_t J = I + 1; J < count; ++J) {
      if (!testedGroups(sides[I], sides[J])) continue;
      if (sides[I] == sides[J]) {
        add(I, J, false);  // two blocks of the group in both sets: in file order
      } else {
        add(I, J, true);
        add(J, I, true);
      }
    }
  }
  for (std::uint64_t I = 0; I < count; ++I) {
    if (sides[I] == SetSide::Both) add(I, I, false);
  }
  table.blockcombo_amount = table.begin.size();
  return table;
}

BlockTable listCombinations(std::uint64_t snp_amount, std::uint64_t blocks, const SetLayout& layout) {
  return layout.active ? listSetCombinations(layout, blocks) : listBlockCombinations(snp_amount, blocks);
}

std::uint64_t combinationPairs(const BlockTable& blocks, std::uint64_t K) {
  if (!blocks.pairs.empty()) return blocks.pairs[K];
  const std::uint64_t n1 = blocks.end[K] - blocks.begin[K];
  const std::uint64_t n2 = blocks.end2[K] - blocks.begin2[K];
  if (blocks.begin[K] == blocks.begin2[K]) return n1 * (n1 > 0 ? n1 - 1 : 0) / 2;
  return n1 * n2;
}

std::uint64_t pairsTested(const BlockTable& table) {
  std::uint64_t pairs = 0;
  for (std::uint64_t K = 0; K < table.blockcombo_amount; ++K) pairs += combinationPairs(table, K);
  return pairs;
}

CombinationIndex::CombinationIndex(std::uint64_t snp_amount, std::uint64_t blocks, const SetLayout& layout)
    : snp_amount_(snp_amount), blocks_(blocks), blocks_used_(blocks), listed_(layout.active) {
  if (!listed_) {
    combinations_ = blocks * (blocks + 1) / 2;
    return;
  }
  set_file_index_ = layout.file_index;
  std::vector<SetSide> sides;
  setBlocks(layout, blocks, block_begin_, sides);
  const BlockTable table = listSetCombinations(layout, blocks);
  blocks_used_ = table.blockAmount;
  combinations_ = table.blockcombo_amount;
  auto blockOf = [&](std::uint64_t snp) {
    return static_cast<std::uint64_t>(std::upper_bound(block_begin_.begin(), block_begin_.end(), snp) -
                                      block_begin_.begin()) -
           1;
  };
  for (std::uint64_t K = 0; K < combinations_; ++K) {
    combination_.emplace(blockOf(table.begin[K]) * blocks_used_ + blockOf(table.begin2[K]), K);
  }
}

std::uint64_t CombinationIndex::of(std::uint64_t i, std::uint64_t j) const {
  if (!listed_) return combinationOfPair(snp_amount_, blocks_, i, j);
  auto blockOf = [&](std::uint64_t snp) {
    return static_cast<std::uint64_t>(std::upper_bound(block_begin_.begin(), block_begin_.end(), snp) -
                                      block_begin_.begin()) -
           1;
  };
  if (i >= snp_amount_ || j >= snp_amount_) return combinations_;
  const auto found = combination_.find(blockOf(i) * blocks_used_ + blockOf(j));
  if (found == combination_.end()) return combinations_;
  // A staircase combination holds only the pairs in file order.
  const std::vector<std::uint64_t>& file = set_file_index_;
  if (!file.empty() && file[i] >= file[j]) return combinations_;
  return found->second;
}

Outcome formBlocks(const RunParameters& params, std::uint64_t snp_amount, BlockTable& table, const SetLayout& layout) {
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
  table = listCombinations(snp_amount, blocks, layout);
  printBlockTable(table);
  if (Outcome o = assignShare(params, table); o.stopped()) return o;
  console().print("Kbegin=%" PRIu64 "  Kend=%" PRIu64 "\n", table.Kbegin, table.Kend);
  console().line("INFO: Starting to loop over the data block combinations");
  return Outcome::proceed();
}

}  // namespace dyadmill
