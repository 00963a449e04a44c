// The shape every stage shares: how subjects are counted and the 3 x 3
// two-locus table of genotype levels.
#pragma once

#include <array>
#include <cstdint>

namespace dyadmill {

// Subjects a run may hold, and the type that counts them. Stores kept per
// pair choose a narrower width for runs that fit it (see PairCountStore).
inline constexpr std::uint64_t kMaxSubjects = 2147483647;
using SubjectCount = std::uint32_t;

// Every SNP has three genotype levels, so every two-locus table is 3 x 3.
inline constexpr unsigned kLevels = 3;
inline constexpr unsigned kCells = kLevels * kLevels;

using LevelCounts = std::array<SubjectCount, kLevels>;
using LevelFractions = std::array<double, kLevels>;

}  // namespace dyadmill
