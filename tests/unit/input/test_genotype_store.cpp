// The genotype store as the reader fills it: bit rows of both missingness
// modes, the word layout, the trait recoding, and the counting primitives.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "genotype_reader.h"
#include "genotype_store.h"
#include "run_parameters.h"
#include "test_support.h"

namespace dyadmill {
namespace {

using testing::GenotypeData;

struct Loaded {
  bool ok = false;
  GenotypeStore store;
};

Loaded load(const std::string& content, bool missing, std::uint16_t process = 1) {
  dyadmill::testing::ScratchDir dir;
  dyadmill::testing::writeFile(dir / "g.txt", content);
  RunParameters params;
  params.inFile = (dir / "g.txt").string();
  params.missingGenoOption = missing ? 1 : 0;
  params.processAmount = process == 0 ? 2 : 1;
  params.processID = process;
  Loaded loaded;
  console().startCapture();
  loaded.ok = !readGenotypeFile(params, loaded.store).stopped();
  console().endCapture();
  return loaded;
}

bool bit(const GenotypeStore& store, std::uint64_t row, std::uint64_t subject) {
  return (store.snp_matrix.row(row)[subject / 64] >> (subject % 64)) & 1u;
}

// Every bit of every row against the genotypes: with missing genotypes
// allowed, level d of SNP i is row 3i + d; without, levels 1 and 2 are rows
// 2i and 2i + 1 and level 0 has no row.
TEST(GenotypeStore, BitRowsFollowTheGenotypesInBothModes) {
  for (const bool missing : {true, false}) {
    SCOPED_TRACE(missing ? "--missing" : "--nomissing");
    const GenotypeData data = testing::randomGenotypes(7, 6, 150, 0.3, missing ? 0.15 : 0.0);
    const Loaded loaded = load(data.toText(), missing);
    ASSERT_TRUE(loaded.ok);
    const GenotypeStore& store = loaded.store;
    const std::uint64_t R = missing ? 3 : 2;
    ASSERT_EQ(store.snp_amount, data.snps());
    EXPECT_EQ(store.snp_names, data.names);
    EXPECT_EQ(store.total_amount, data.subjects());
    ASSERT_EQ(store.snp_matrix.rows(), R * data.snps());
    ASSERT_EQ(store.snp_matrix.words(), 3u);
    EXPECT_EQ(store.dimension_vect, std::vector<std::uint16_t>(data.snps(), 3));
    ASSERT_EQ(store.cumdimension_vect.size(), data.snps() + 1);
    for (std::uint64_t i = 0; i <= data.snps(); ++i) EXPECT_EQ(store.cumdimension_vect[i], R * i);

    for (std::uint64_t i = 0; i < data.snps(); ++i) {
      for (std::uint64_t j = 0; j < data.subjects(); ++j) {
        const int g = data.genotypes[j][i];
        for (std::uint64_t r = 0; r < R; ++r) {
          const int level = missing ? static_cast<int>(r) : static_cast<int>(r) + 1;
          EXPECT_EQ(bit(store, R * i + r, j), g == level) << "SNP " << i << " subject " << j << " row " << r;
        }
      }
    }
  }
}

TEST(GenotypeStore, MissingAndZeroCodesDifferOnlyWithMissingRows) {
  const std::string file = "Trait a\n1 0\n0 -9\n0 1\n";
  const Loaded with_missing = load(file, true);
  ASSERT_TRUE(with_missing.ok);
  EXPECT_EQ(with_missing.store.snp_matrix.row(0)[0], 0b001u);  // level 0: subject 0 only
  EXPECT_EQ(with_missing.store.snp_matrix.row(1)[0], 0b100u);
  EXPECT_EQ(with_missing.store.snp_matrix.row(2)[0], 0u);

  const Loaded without = load("Trait a\n1 0\n0 2\n0 1\n", false);
  ASSERT_TRUE(without.ok);
  EXPECT_EQ(without.store.snp_matrix.row(0)[0], 0b100u);  // level 1
  EXPECT_EQ(without.store.snp_matrix.row(1)[0], 0b010u);  // level 2; level 0 sets nothing
  // A missing code cannot be read as level 0 without missing rows.
  EXPECT_FALSE(load(file, false).ok);
}

TEST(GenotypeStore, CasesAreNeverTheLargerGroup) {
  struct Case {
    int cases, controls;
    std::uint16_t affected, unaffected;
    bool inverted;
  };
  const std::vector<Case> cases = {
      {3, 5, 3, 5, false}, {5, 3, 3, 5, true}, {4, 4, 4, 4, false}, {1, 9, 1, 9, false}, {9, 1, 1, 9, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.cases) + " cases, " + std::to_string(c.controls) + " controls");
    // Cases and controls interleaved so that a recoding by position would show.
    std::vector<std::uint16_t> traits;
    std::string file = "Trait a\n";
    for (int k = 0, a = 0, u = 0; k < c.cases + c.controls; ++k) {
      const bool is_case = (k % 2 == 0 && a < c.cases) || u == c.controls;
      (is_case ? a : u)++;
      traits.push_back(is_case ? 1 : 0);
      file += is_case ? "1 1\n" : "0 2\n";
    }
    const Loaded loaded = load(file, true);
    ASSERT_TRUE(loaded.ok);
    EXPECT_EQ(loaded.store.affected_amount, c.affected);
    EXPECT_EQ(loaded.store.unaffected_amount, c.unaffected);
    EXPECT_EQ(loaded.store.groups_swapped, c.inverted);
    if (c.inverted) {
      for (std::uint16_t& t : traits) t = static_cast<std::uint16_t>(1 - t);
    }
    EXPECT_EQ(loaded.store.binary_diagnostic_vect, traits);
    // The rows keep every subject's genotype, whatever the labels.
    EXPECT_EQ(std::popcount(loaded.store.snp_matrix.row(1)[0]), c.cases);
    EXPECT_EQ(std::popcount(loaded.store.snp_matrix.row(2)[0]), c.controls);
  }
}

// Three SNPs whose every subject has level 0, 1 and 2 respectively, so each
// row holds every subject: exactly bits 0 .. n-1, nothing above.
TEST(GenotypeStore, WordLayoutAtWordBoundaries) {
  for (const std::uint64_t n : {2u, 63u, 64u, 65u, 100u, 128u, 129u}) {
    SCOPED_TRACE(std::to_string(n) + " subjects");
    std::string file = "Trait x y z\n";
    for (std::uint64_t j = 0; j < n; ++j) file += j % 2 == 0 ? "0 0 1 2\n" : "1 0 1 2\n";
    const Loaded loaded = load(file, true);
    ASSERT_TRUE(loaded.ok);
    const BitMatrix& m = loaded.store.snp_matrix;
    ASSERT_EQ(m.words(), (n + 63) / 64);
    for (std::uint64_t snp = 0; snp < 3; ++snp) {
      const std::uint64_t* row = m.row(3 * snp + snp);
      for (std::uint64_t w = 0; w < m.words(); ++w) {
        const std::uint64_t members = std::min<std::uint64_t>(64, n - 64 * w);
        const std::uint64_t full = members == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << members) - 1;
        EXPECT_EQ(row[w], full) << "SNP " << snp << " word " << w;
      }
      for (std::uint64_t other = 0; other < 3; ++other) {
        if (other == snp) continue;
        for (std::uint64_t w = 0; w < m.words(); ++w) EXPECT_EQ(m.row(3 * snp + other)[w], 0u);
      }
    }
  }
}

TEST(GenotypeStore, RowsAreOneContiguousAllocation) {
  const Loaded loaded = load(testing::randomGenotypes(5, 7, 130).toText(), true);
  ASSERT_TRUE(loaded.ok);
  const BitMatrix& m = loaded.store.snp_matrix;
  ASSERT_EQ(m.words(), 3u);
  EXPECT_EQ(m.data(), m.row(0));
  for (std::uint64_t r = 0; r + 1 < m.rows(); ++r) {
    EXPECT_EQ(m.row(r + 1), m.row(r) + m.words());
    EXPECT_EQ(m.rowSpan(r).data(), m.row(r));
    EXPECT_EQ(m.rowSpan(r).size(), m.words());
  }
}

TEST(GenotypeStore, AssemblyRunReadsOnlyTheHeader) {
  const Loaded loaded = load("Trait a b\nthese lines\nare never read 7 7 7\n", true, 0);
  ASSERT_TRUE(loaded.ok);
  EXPECT_EQ(loaded.store.snp_names, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(loaded.store.total_amount, 0u);
  EXPECT_EQ(loaded.store.snp_matrix.rows(), 0u);
  EXPECT_TRUE(loaded.store.binary_diagnostic_vect.empty());
}

TEST(BitCounting, EdgeValues) {
  const CountTable& table = count_table();
  const std::vector<std::pair<std::uint64_t, unsigned>> words = {{0, 0},
                                                                 {1, 1},
                                                                 {0x00FF, 8},
                                                                 {0xFFFF, 16},
                                                                 {0x8000000000000001ULL, 2},
                                                                 {~std::uint64_t{0}, 64},
                                                                 {0x10000, 1},
                                                                 {1ULL << 63, 1},
                                                                 {0xFFFF0000FFFF0000ULL, 32}};
  for (const auto& [w, bits] : words) {
    SCOPED_TRACE(w);
    EXPECT_EQ(count(w), bits);
    EXPECT_EQ(wordCountByTable(table, w), bits);
    if (w <= 0xFFFF) {
      EXPECT_EQ(table[w], bits);
    }
  }
}

TEST(BitCounting, AgreesWithPopcount) {
  const CountTable& table = count_table();
  for (std::uint32_t v = 0; v < 65536; ++v) ASSERT_EQ(table[v], std::popcount(v)) << v;
  std::mt19937_64 rng(42);
  for (int k = 0; k < 100000; ++k) {
    // Sparse and dense words too, not only uniform ones.
    std::uint64_t w = rng();
    if (k % 3 == 1) w &= rng() & rng();
    if (k % 3 == 2) w |= rng() | rng();
    ASSERT_EQ(count(w), std::popcount(w)) << w;
    ASSERT_EQ(wordCountByTable(table, w), std::popcount(w)) << w;
  }
  // Rows of the largest size a run can have, counted whole and ANDed.
  std::vector<std::uint64_t> a(1024), b(1024);
  unsigned in_a = 0, in_both = 0;
  for (std::size_t w = 0; w < a.size(); ++w) {
    a[w] = rng();
    b[w] = rng();
    in_a += static_cast<unsigned>(std::popcount(a[w]));
    in_both += static_cast<unsigned>(std::popcount(a[w] & b[w]));
  }
  EXPECT_EQ(popcountRow(a.data(), a.size()), in_a);
  EXPECT_EQ(popcountAnd(a.data(), b.data(), a.size()), in_both);
}

}  // namespace
}  // namespace dyadmill
