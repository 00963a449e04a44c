// The fast first scan of a block combination.
//
// The second block's case and control rows are interleaved by tiles of
// eight SNPs (see tile_kernels.h), so that one kernel call counts the inner
// cells of eight pairs at once. First SNPs are taken in groups whose rows
// stay in the first-level cache while the tiles stream past, and the kept
// pairs of a group are then replayed in scan order, so that the list, the
// progress lines and the storage limit come out exactly as a pair-by-pair
// scan makes them.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "fast_statistics.h"
#include "pair_scan.h"

namespace dyadmill {

// Rows of a split block, interleaved by tiles of kTileLanes SNPs: for tile
// t, level row r and word w, the words of the tile's SNPs are adjacent.
class TiledRows {
 public:
  TiledRows(const BitMatrix& rows, std::uint64_t snps, unsigned levels);

  std::uint64_t tiles() const { return tiles_; }
  const std::uint64_t* tile(std::uint64_t t) const { return data_.get() + t * tile_words_; }

 private:
  struct Free {
    void operator()(std::uint64_t* p) const;
  };
  std::uint64_t tiles_ = 0;
  std::uint64_t tile_words_ = 0;
  std::unique_ptr<std::uint64_t[], Free> data_;
};

// The cells of a tile's tables, cell-major: cells[k][lane].
using LaneCells = std::int32_t[kCells][kTileLanes];

// A second block's level counts, level by level, padded to whole tiles.
struct LevelColumns {
  std::vector<std::int32_t> level[kLevels];
  void fill(const std::vector<LevelCounts>& counts);
};

// Whole --nomissing tables of a tile's pairs from their counted cells of
// levels 1 and 2 (`counted`, as a kernel writes them): row 0 and column 0 by
// subtraction from the margins, as completePairTable derives them (the
// counts are consistent, so the subtractions never wrap). Lanes from
// `lanes` on are emptied.
void deriveTile(const std::uint32_t* counted, const LevelCounts& margin1, const LevelColumns& margin2,
                std::uint64_t j_base, std::uint64_t lanes, LaneCells& cells);

// The margins of SNP i, or an empty set when the scan keeps none (--missing).
inline const LevelCounts& snpMargins(const std::vector<LevelCounts>& margins, std::uint64_t i) {
  static const LevelCounts none{};
  return i < margins.size() ? margins[i] : none;
}

// Fits the no-three-way-interaction model to a tile's tables (see fitTile):
// with the reduced forms to the SNPs' margins (`affected1`, `total1` of the
// first SNP; `affected2`, `total2` of the second block's SNPs), otherwise to
// the tables' own margins.
void fitTileTables(bool reduced, const LevelCounts& affected1, const LevelCounts& total1, const LevelColumns& affected2,
                   const LevelColumns& total2, std::uint64_t j_base, const LaneCells& cases, const LaneCells& totals,
                   TileFit& fit);

Outcome runFastPairLoop(ScanContext& ctx, const BlockWorkingSet& set, Thresholds& thresholds, PairStores& stores,
                        TopVector& top_vect_block, std::time_t& start_time);

}  // namespace dyadmill
