#include "lazy_case_rows.h"

#include <bit>

namespace dyadmill {

LazyCaseRows::LazyCaseRows(const RunParameters& params, const GenotypeStore& store, BlockWorkingSet& set,
                           const SimdKernels& simd)
    : params_(params),
      store_(store),
      set_(set),
      count_row_(simd.count_row),
      count_and_(simd.count_and),
      extract_(simd.extract),
      built1_(set.block1.snp_amount, 0),
      built2_(set.coincide ? 0 : set.block2().snp_amount, 0) {}

void LazyCaseRows::relabel(const std::vector<std::uint16_t>& labels) {
  labels_ = &labels;
  cases_found_ = false;
  ++generation_;
}

void LazyCaseRows::findCases() {
  const std::vector<std::uint16_t>& labels = *labels_;
  case_mask_.assign(wordsFor(labels.size()), 0);
  case_bit_.assign(labels.size(), 0);
  std::uint32_t members = 0;
  for (std::uint64_t s = 0; s < labels.size(); ++s) {
    if (labels[s] != 1) continue;
    case_mask_[s / 64] |= std::uint64_t{1} << (s % 64);
    case_bit_[s] = members++;
  }
  cases_found_ = true;
}

// Packs a row over all subjects down to the cases, in subject order: the
// same bits as SubjectSubset::pack, with each case's place looked up
// instead of counted.
void LazyCaseRows::packRow(const std::uint64_t* source, std::uint64_t* destination) const {
  if (extract_ != nullptr) {
    extract_(source, case_mask_.data(), case_mask_.size(), destination, set_.affected_int_amount);
    return;
  }
  for (std::uint64_t w = 0; w < set_.affected_int_amount; ++w) destination[w] = 0;
  for (std::uint64_t w = 0; w < case_mask_.size(); ++w) {
    std::uint64_t bits = source[w] & case_mask_[w];
    while (bits != 0) {
      const std::uint32_t member = case_bit_[w * 64 + static_cast<unsigned>(std::countr_zero(bits))];
      destination[member / 64] |= std::uint64_t{1} << (member % 64);
      bits &= bits - 1;
    }
  }
}

void LazyCaseRows::ensure(std::uint64_t i, std::uint64_t j) {
  ensureSnp(set_.block1, built1_, i);
  if (set_.coincide) {
    ensureSnp(set_.block1, built1_, j);
  } else {
    ensureSnp(set_.block2(), built2_, j);
  }
}

void LazyCaseRows::ensureAll() {
  for (std::uint64_t s = 0; s < set_.block1.snp_amount; ++s) ensureSnp(set_.block1, built1_, s);
  if (set_.coincide) return;
  for (std::uint64_t s = 0; s < set_.block2().snp_amount; ++s) ensureSnp(set_.block2(), built2_, s);
}

void LazyCaseRows::countCases(std::uint64_t i, std::uint64_t j, CountedCells& counted) {
  ensure(i, j);
  const SplitBlock& b1 = set_.block1;
  const SplitBlock& b2 = set_.block2();
  const std::uint64_t rows_per_snp = params_.rowsPerSnp();
  const std::uint64_t words = set_.affected_int_amount;
  // With --nomissing level 0 has no row: level c is row c - 1.
  const unsigned first = params_.missing() ? 0 : 1;
  for (unsigned c = first; c < kLevels; ++c) {
    const std::uint64_t* r1 = b1.cases.row(i * rows_per_snp + c - first);
    for (unsigned d = first; d < kLevels; ++d) {
      const std::uint64_t* r2 = b2.cases.row(j * rows_per_snp + d - first);
      counted.cases[c * kLevels + d] = count_and_(r1, r2, words);
    }
  }
}

// The same rows, counts and shares as relabelling the whole block, for one
// SNP: its case rows packed from all subjects, then its margins.
void LazyCaseRows::ensureSnp(SplitBlock& block, std::vector<std::uint64_t>& built, std::uint64_t snp) {
  if (built[snp] == generation_) return;
  built[snp] = generation_;
  if (!cases_found_) findCases();
  const std::uint64_t rows_per_snp = params_.rowsPerSnp();
  for (std::uint64_t r = snp * rows_per_snp; r < (snp + 1) * rows_per_snp; ++r)
    packRow(store_.snp_matrix.row(block.first_row + r), block.cases.row(r));
  if (!params_.missing()) updateMargins(block, snp);
}

// Level 0 of the SNP's case margin by subtraction, and its shares where the
// reduced KSA form reads them.
void LazyCaseRows::updateMargins(SplitBlock& block, std::uint64_t snp) const {
  block.affecteds_marginal[snp] = levelCounts(store_.affected_amount, [&](unsigned d) {
    return count_row_(block.cases.row(nomissingLevelRow(snp, d)), set_.affected_int_amount);
  });
  if (!params_.epistasis() || params_.score() || !params_.reducedForms()) return;
  levelShares(block.affecteds_marginal[snp], block.totals_marginal[snp], block.affecteds_marginal_fractions[snp],
              block.unaffecteds_marginal_fractions[snp]);
}

}  // namespace dyadmill
