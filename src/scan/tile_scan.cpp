#include "tile_scan.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <utility>
#include "threads.h"

namespace dyadmill {

void TiledRows::Free::operator()(std::uint64_t* p) const {
  std::free(p);
}

TiledRows::TiledRows(const BitMatrix& rows, std::uint64_t snps, unsigned levels) {
  const std::uint64_t words = rows.words();
  tiles_ = (snps + kTileLanes - 1) / kTileLanes;
  tile_words_ = levels * words * kTileLanes;
  // Whole cache lines: a tile row word is one 64-byte vector.
  const std::size_t bytes = std::max<std::size_t>(64, tiles_ * tile_words_ * sizeof(std::uint64_t));
  data_.reset(static_cast<std::uint64_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64)));
  if (!data_) throw std::bad_alloc();
  if (tiles_ == 0) {
    std::memset(data_.get(), 0, bytes);
    return;
  }
  // Tiles are laid out independently: the run's threads share them where
  // there are enough to be worth waking the threads for.
  forEachIndex(tiles_, tiles_ >= 16, [&](std::uint64_t t) {
    std::uint64_t* tile = data_.get() + t * tile_words_;
    std::memset(tile, 0, tile_words_ * sizeof(std::uint64_t));
    for (std::uint64_t snp = t * kTileLanes; snp < std::min(snps, (t + 1) * kTileLanes); ++snp) {
      const std::uint64_t lane = snp % kTileLanes;
      for (unsigned r = 0; r < levels; ++r) {
        const std::uint64_t* row = rows.row(snp * levels + r);
        for (std::uint64_t w = 0; w < words; ++w) tile[(r * words + w) * kTileLanes + lane] = row[w];
      }
    }
  });
}

void LevelColumns::fill(const std::vector<LevelCounts>& counts) {
  const std::size_t padded = (counts.size() + kTileLanes - 1) / kTileLanes * kTileLanes;
  for (unsigned d = 0; d < kLevels; ++d) {
    level[d].assign(padded, 0);
    for (std::size_t j = 0; j < counts.size(); ++j) level[d][j] = counts[j][d];
  }
}

namespace {

// Whole --nomissing tables of a tile's pairs from their counted cells of
// levels 1 and 2 (`counted`, as a kernel writes them): row 0 and column 0 by
// subtraction from the margins, as completePairTable derives them (the
// counts are consistent, so the subtractions never wrap). Lanes from
// `lanes` on are emptied.
void deriveTile(const std::uint32_t* counted, const LevelCounts& margin1, const LevelColumns& margin2,
                std::uint64_t j_base, std::uint64_t lanes, LaneCells& cells) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    const std::int32_t c11 = static_cast<std::int32_t>(counted[0 * kTileLanes + lane]);
    const std::int32_t c12 = static_cast<std::int32_t>(counted[1 * kTileLanes + lane]);
    const std::int32_t c21 = static_cast<std::int32_t>(counted[2 * kTileLanes + lane]);
    const std::int32_t c22 = static_cast<std::int32_t>(counted[3 * kTileLanes + lane]);
    const std::int32_t c10 = margin1[1] - c11 - c12;
    const std::int32_t c20 = margin1[2] - c21 - c22;
    cells[4][lane] = c11;
    cells[5][lane] = c12;
    cells[7][lane] = c21;
    cells[8][lane] = c22;
    cells[3][lane] = c10;
    cells[6][lane] = c20;
    cells[1][lane] = margin2.level[1][j_base + lane] - c11 - c21;
    cells[2][lane] = margin2.level[2][j_base + lane] - c12 - c22;
    cells[0][lane] = margin2.level[0][j_base + lane] - c10 - c20;
  }
  for (unsigned lane = static_cast<unsigned>(lanes); lane < kTileLanes; ++lane) {
    for (unsigned k = 0; k < kCells; ++k) cells[k][lane] = 0;
  }
}

}  // namespace

TileLayout::TileLayout(const RunParameters& params, const BlockWorkingSet& set, bool with_controls)
    : cases(set.block2().cases, set.block2().snp_amount, static_cast<unsigned>(params.rowsPerSnp())) {
  const SplitBlock& b2 = set.block2();
  const auto levels = static_cast<unsigned>(params.rowsPerSnp());
  if (with_controls) controls = std::make_unique<TiledRows>(b2.controls, b2.snp_amount, levels);
  if (params.reducedForms()) {
    case_margins2.fill(b2.affecteds_marginal);
    total_margins2.fill(b2.totals_marginal);
  }
}

TileScan::TileScan(const PairScorer& scorer, const SimdKernels& simd, bool with_controls)
    : TileScan(scorer, simd, std::make_unique<const TileLayout>(scorer.params(), scorer.set(), with_controls)) {}

TileScan::TileScan(const PairScorer& scorer, const SimdKernels& simd, const TileLayout& layout)
    : scorer_(scorer),
      set_(scorer.set()),
      kernel_(simd.count),
      fitter_(simd.fit),
      levels_(static_cast<unsigned>(scorer.params().rowsPerSnp())),
      first_level_(scorer.params().missing() ? 0 : 1),
      reduced_(scorer.params().reducedForms()),
      whole_tiles_(scorer.params().minCellSize() <= 1),
      layout_(layout) {}

TileScan::TileScan(const PairScorer& scorer, const SimdKernels& simd, std::unique_ptr<const TileLayout> layout)
    : TileScan(scorer, simd, *layout) {
  owned_layout_ = std::move(layout);
}

TileLanes TileScan::lanes(std::uint64_t i, std::uint64_t t) const {
  const std::uint64_t j_base = t * kTileLanes;
  const std::uint64_t j_first = set_.firstPartner(i);
  return {j_base, j_first > j_base ? j_first - j_base : 0,
          std::min<std::uint64_t>(kTileLanes, set_.block2().snp_amount - j_base)};
}

void TileScan::formTables(std::uint64_t i, const TileLanes& lanes) {
  if (reduced_) {
    const SplitBlock& b1 = set_.block1;
    std::uint32_t total_counts[kMaxRowLevels * kMaxRowLevels * kTileLanes];
    for (unsigned x = 0; x < levels_ * levels_ * kTileLanes; ++x)
      total_counts[x] = case_counts_[x] + control_counts_[x];
    deriveTile(case_counts_, b1.affecteds_marginal[i], layout_.case_margins2, lanes.j_base, lanes.end, cases_);
    deriveTile(total_counts, b1.totals_marginal[i], layout_.total_margins2, lanes.j_base, lanes.end, totals_);
    return;
  }
  // --missing: all nine cells are counted; padding lanes count 0.
  for (unsigned k = 0; k < kCells; ++k) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      cases_[k][lane] = static_cast<std::int32_t>(case_counts_[k * kTileLanes + lane]);
      totals_[k][lane] =
          static_cast<std::int32_t>(case_counts_[k * kTileLanes + lane] + control_counts_[k * kTileLanes + lane]);
    }
  }
}

void TileScan::formPermutedTables(std::uint64_t i, const TileLanes& lanes, const PairStores& stores) {
  if (reduced_)
    deriveTile(case_counts_, set_.block1.affecteds_marginal[i], layout_.case_margins2, lanes.j_base, lanes.end, cases_);
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    const bool in_use = lane >= lanes.first && lane < lanes.end;
    if (!in_use) {
      for (unsigned k = 0; k < kCells; ++k) cases_[k][lane] = totals_[k][lane] = 0;
      continue;
    }
    SubjectCount saved[kCells];
    stores.totals_pairs.read((i * stores.columns + lanes.j_base + lane) * kCells, kCells, saved);
    for (unsigned k = 0; k < kCells; ++k) {
      totals_[k][lane] = saved[k];
      if (!reduced_) cases_[k][lane] = static_cast<std::int32_t>(case_counts_[k * kTileLanes + lane]);
    }
  }
}

void TileScan::fitTables(std::uint64_t i, const TileLanes& lanes) {
  std::int32_t a1[kLevels][kTileLanes], t1[kLevels][kTileLanes], a2[kLevels][kTileLanes], t2[kLevels][kTileLanes];
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) {
      if (reduced_) {
        a1[c][lane] = set_.block1.affecteds_marginal[i][c];
        t1[c][lane] = set_.block1.totals_marginal[i][c];
        a2[c][lane] = layout_.case_margins2.level[c][lanes.j_base + lane];
        t2[c][lane] = layout_.total_margins2.level[c][lanes.j_base + lane];
        continue;
      }
      a1[c][lane] = t1[c][lane] = a2[c][lane] = t2[c][lane] = 0;
      for (unsigned d = 0; d < kLevels; ++d) {
        a1[c][lane] += cases_[c * kLevels + d][lane];
        t1[c][lane] += totals_[c * kLevels + d][lane];
        a2[c][lane] += cases_[d * kLevels + c][lane];
        t2[c][lane] += totals_[d * kLevels + c][lane];
      }
    }
  }
  fitter_(totals_, a1, t1, a2, t2, fit_);
}

bool TileScan::filled(unsigned lane) const {
  for (unsigned k = 0; k < kCells; ++k) {
    if (totals_[k][lane] == 0) return false;
  }
  return true;
}

void TileScan::unpack(unsigned lane, CountedCells& counted) const {
  for (unsigned r1 = 0; r1 < levels_; ++r1) {
    for (unsigned r2 = 0; r2 < levels_; ++r2) {
      const unsigned k = (r1 + first_level_) * kLevels + r2 + first_level_;
      const unsigned from = (r1 * levels_ + r2) * kTileLanes + lane;
      counted.cases[k] = static_cast<SubjectCount>(case_counts_[from]);
      counted.controls[k] = static_cast<SubjectCount>(control_counts_[from]);
    }
  }
}

void TileScan::completeLaneTable(std::uint64_t i, std::uint64_t j, unsigned lane, PairTable& table) const {
  CountedCells counted;
  unpack(lane, counted);
  scorer_.complete(i, j, counted, table);
}

void TileScan::permutedPairTable(std::uint64_t i, std::uint64_t j, unsigned lane, const PairStores& stores,
                                 PairTable& table) const {
  CountedCells counted;
  unpack(lane, counted);
  stores.load(i * stores.columns + j, table);
  scorer_.completePermutedCases(i, j, counted, table);
}

}  // namespace dyadmill
