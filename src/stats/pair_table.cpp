#include "pair_table.h"

#include <array>
#include <bit>

namespace dyadmill {

namespace {

// Epistasis df of an occupancy pattern: E - R - C + K, with E the occupied
// cells, R and C the occupied rows and columns, and K the connected
// components of the graph on those rows and columns whose edges are the
// occupied cells. Within a component the no-three-way-interaction model
// fits one trait effect per row and per column less one shared level, so
// it spends R_c + C_c - 1 parameters on E_c cells; what is left over
// interacts.
constexpr std::uint16_t epistasisDf(unsigned occupied) {
  unsigned parent[2 * kLevels] = {0, 1, 2, 3, 4, 5};  // rows 0..2, columns 3..5
  auto root = [&parent](unsigned v) {
    while (parent[v] != v) v = parent[v];
    return v;
  };
  bool used[2 * kLevels] = {};
  int cells = 0;
  for (unsigned k = 0; k < kCells; ++k) {
    if ((occupied >> k & 1u) == 0) continue;
    const unsigned row = k / kLevels, column = kLevels + k % kLevels;
    ++cells;
    used[row] = used[column] = true;
    parent[root(row)] = root(column);
  }
  int vertices = 0, components = 0;
  for (unsigned v = 0; v < 2 * kLevels; ++v) {
    if (!used[v]) continue;
    ++vertices;
    if (root(v) == v) ++components;
  }
  return static_cast<std::uint16_t>(cells - vertices + components);
}

struct DfTables {
  std::array<std::uint8_t, kOccupancyPatterns> association{};
  std::array<std::uint8_t, kOccupancyPatterns> epistasis{};
};

constexpr DfTables makeDfTables() {
  DfTables tables;
  for (unsigned mask = 0; mask < kOccupancyPatterns; ++mask) {
    const auto cells = static_cast<unsigned>(std::popcount(mask));
    tables.association[mask] = static_cast<std::uint8_t>(cells > 0 ? cells - 1 : 0);
    tables.epistasis[mask] = static_cast<std::uint8_t>(epistasisDf(mask));
  }
  return tables;
}

constexpr DfTables kDfTables = makeDfTables();
static_assert(kDfTables.association[kOccupancyPatterns - 1] == 8 && kDfTables.epistasis[kOccupancyPatterns - 1] == 4);

}  // namespace

std::uint16_t degreesOfFreedomOfPattern(bool epistasis, unsigned occupied) {
  return epistasis ? kDfTables.epistasis[occupied] : kDfTables.association[occupied];
}

unsigned occupancyPattern(const PairTable& table) {
  unsigned occupied = 0;
  for (unsigned k = 0; k < kCells; ++k) occupied |= static_cast<unsigned>(table.total_subjects[k] != 0) << k;
  return occupied;
}

std::uint16_t degreesOfFreedom(const RunParameters& params, const PairTable& table) {
  return degreesOfFreedomOfPattern(params.epistasis(), occupancyPattern(table));
}

}  // namespace dyadmill
