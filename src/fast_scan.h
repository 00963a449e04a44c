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

Outcome runFastPairLoop(ScanContext& ctx, const BlockWorkingSet& set, Thresholds& thresholds, PairStores& stores,
                        TopVector& top_vect_block, std::time_t& start_time);

}  // namespace dyadmill
