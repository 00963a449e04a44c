// The tile abstraction the fast first scan and the fast rescans share.
//
// The second block's case and control rows are interleaved by tiles of
// eight SNPs (see simd_kernels.h), so that one kernel call counts the
// cells of a first SNP's eight pairs at once. A TileScan owns that layout
// for one block combination and turns a tile's counts into tables: whole
// tables of all eight lanes side by side (where no cell can be dropped),
// their exact fits, or one lane's PairTable.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "approximations.h"
#include "pair_scorer.h"
#include "scan_types.h"
#include "simd_kernels.h"

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

// The lanes of a tile that pair with a first SNP: j = j_base + lane for
// lane in [first, end).
struct TileLanes {
  std::uint64_t j_base;
  std::uint64_t first;
  std::uint64_t end;
};

// The second block of a combination laid out by tiles, with its level
// counts: read-only once made, so the threads of a first scan share one.
struct TileLayout {
  // `with_controls`: the first scan counts controls too; a rescan under
  // permuted labels counts cases and reads the saved totals.
  TileLayout(const RunParameters& params, const BlockWorkingSet& set, bool with_controls);

  TiledRows cases;
  std::unique_ptr<TiledRows> controls;  // first scan only
  LevelColumns case_margins2, total_margins2;
};

// The tables of one tile at a time. A TileScan is one thread's: its counts
// and tables are scratch, while the layout it counts against may be shared.
class TileScan {
 public:
  // Counts against a layout of its own, made from the scorer's working set.
  TileScan(const PairScorer& scorer, const SimdKernels& simd, bool with_controls);
  // Counts against `layout`, which must outlive it.
  TileScan(const PairScorer& scorer, const SimdKernels& simd, const TileLayout& layout);

  std::uint64_t tiles() const { return layout_.cases.tiles(); }
  std::uint64_t firstTile(std::uint64_t i) const { return set_.firstPartner(i) / kTileLanes; }
  TileLanes lanes(std::uint64_t i, std::uint64_t t) const;

  // Whether tables are formed a whole tile at a time: without dropped
  // cells, by subtraction from the margins (--nomissing, reduced forms) or
  // straight from the counts (--missing). With the cell rule, pair by pair.
  bool wholeTiles() const { return whole_tiles_; }
  bool reduced() const { return reduced_; }

  // Counts first SNP i against tile t (cases, and controls when counted).
  void count(std::uint64_t i, std::uint64_t t) {
    const SplitBlock& b1 = set_.block1;
    kernel_(b1.cases.row(i * levels_), layout_.cases.tile(t), set_.affected_int_amount, levels_, case_counts_);
    if (layout_.controls) {
      kernel_(b1.controls.row(i * levels_), layout_.controls->tile(t), set_.unaffected_int_amount, levels_,
              control_counts_);
    }
  }

  // After count(): the whole tables of the tile's lanes (wholeTiles() only).
  // First scan: cases and totals from the counts; lanes past the block
  // hold empty tables.
  void formTables(std::uint64_t i, const TileLanes& lanes);
  // Rescan: cases from the counts, totals from the stores; lanes outside
  // `lanes` hold empty tables.
  void formPermutedTables(std::uint64_t i, const TileLanes& lanes, const PairStores& stores);

  // After formTables() or formPermutedTables(): the exact fits of the
  // tile's tables, by the reduced forms from the SNPs' margins, otherwise
  // from the tables' own.
  void fitTables(std::uint64_t i, const TileLanes& lanes);

  const LaneCells& cases() const { return cases_; }
  const LaneCells& totals() const { return totals_; }
  const TileFit& fit() const { return fit_; }
  bool filled(unsigned lane) const;  // no empty cell that costs a degree of freedom

  // The PairTable of pair (i, j), lane `lane` of the counted tile (first
  // scan).
  void pairTable(std::uint64_t i, std::uint64_t j, unsigned lane, PairTable& table) const {
    if (whole_tiles_ && reduced_) {
      // The reduced forms read neither the amounts nor the pair's margins.
      for (unsigned k = 0; k < kCells; ++k) {
        table.affected_subjects[k] = static_cast<SubjectCount>(cases_[k][lane]);
        table.total_subjects[k] = static_cast<SubjectCount>(totals_[k][lane]);
      }
      table.affected_subjects_amount = 0;
      table.total_subjects_amount = 0;
    } else {
      completeLaneTable(i, j, lane, table);
    }
  }
  // The same under permuted labels: saved totals, counted cases.
  void permutedPairTable(std::uint64_t i, std::uint64_t j, unsigned lane, const PairStores& stores,
                         PairTable& table) const;

 private:
  TileScan(const PairScorer& scorer, const SimdKernels& simd, std::unique_ptr<const TileLayout> layout);
  void unpack(unsigned lane, CountedCells& counted) const;
  void completeLaneTable(std::uint64_t i, std::uint64_t j, unsigned lane, PairTable& table) const;

  const PairScorer& scorer_;
  const BlockWorkingSet& set_;
  const TileKernel kernel_;
  const TileFitter fitter_;
  const unsigned levels_;
  const unsigned first_level_;  // level of the first counted row: 0 with --missing, 1 without
  const bool reduced_;
  const bool whole_tiles_;
  std::unique_ptr<const TileLayout> owned_layout_;
  const TileLayout& layout_;
  std::uint32_t case_counts_[kMaxRowLevels * kMaxRowLevels * kTileLanes] = {};
  std::uint32_t control_counts_[kMaxRowLevels * kMaxRowLevels * kTileLanes] = {};
  LaneCells cases_{}, totals_{};
  TileFit fit_;
};

}  // namespace dyadmill
