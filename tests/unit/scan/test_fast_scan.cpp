// The fast scan against the reference scan: same kept pairs, same values,
// same permuted values, in every mode, at every word tail and with every
// set of instruction-set variants the CPU runs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <sstream>

#include "approximations.h"
#include "blocks.h"
#include "console.h"
#include "final_stage.h"
#include "naive_scan.h"
#include "pair_scorer.h"
#include "scan_driver.h"
#include "tile_scan.h"

namespace dyadmill::testing {
namespace {

struct Mode : ScanMode {
  std::uint16_t blocks;
  std::uint64_t permutations;
};

std::string describe(const Mode& m) {
  return describeMode(m) + "/b" + std::to_string(m.blocks) + "/P" + std::to_string(m.permutations);
}

RunParameters parametersOf(const Mode& m) {
  RunParameters p = modeParameters(m);
  p.processAmount = 1;
  p.blockAmount = m.blocks;
  p.permutationParam = m.permutations;
  p.randomParam = 77;
  // Thresholds that keep some pairs and reject others in small data sets.
  p.thresholdParam = m.minP ? 0.3f : (m.epistasis ? 2.5f : (m.score ? 9.0f : 7.0f));
  return p;
}

TopVector scan(const RunParameters& params, const GenotypeStore& store, ScanPath path,
               const SimdKernels& simd = probeSimdKernels(), FastRescan rescan = FastRescan::ByCost) {
  RunParameters run = params;
  BlockTable blocks;
  console().startCapture();
  const bool formed = !formBlocks(run, store.snp_amount, blocks).stopped();
  ScanContext ctx(run, store, blocks, simd);
  const bool scanned = formed && !scanBlockCombinations(ctx, path, rescan).stopped();
  const std::string output = console().endCapture();
  EXPECT_TRUE(scanned) << output;
  return ctx.top_vect;
}

void expectSame(const TopVector& reference, const TopVector& fast, const std::string& what) {
  ASSERT_EQ(reference.size(), fast.size()) << what;
  for (std::size_t x = 0; x < reference.size(); ++x) {
    ASSERT_EQ(reference[x].i, fast[x].i) << what << " pair " << x;
    ASSERT_EQ(reference[x].j, fast[x].j) << what << " pair " << x;
    ASSERT_EQ(reference[x].DegFreedom, fast[x].DegFreedom) << what << " pair " << x;
    // Bit for bit: the fast scan reports the exact statistic.
    ASSERT_EQ(reference[x].testStatValue, fast[x].testStatValue) << what << " pair " << x;
    ASSERT_EQ(reference[x].permutValues, fast[x].permutValues) << what << " pair " << x;
  }
}

GenotypeData shapedData(std::uint32_t seed, std::size_t snps, std::size_t subjects, bool missing) {
  GenotypeData data = randomGenotypes(seed, snps, subjects, 0.4, missing ? 0.07 : 0.0);
  // Tables with empty rows and columns, and both groups present at any size.
  for (std::vector<int>& subject : data.genotypes) {
    if (subject[1] == 0) subject[1] = 2;
    if (subject[4] == 2) subject[4] = 0;
  }
  data.traits[0] = 1;
  data.traits[1] = 0;
  return data;
}

// The fast rescans a mode can take: the epistasis likelihood-ratio test
// chooses between the kept pairs and full passes, the others always rescan
// by the kept pairs.
std::vector<FastRescan> fastRescansOf(const Mode& m) {
  if (!m.epistasis || m.score || m.permutations == 0) return {FastRescan::ByCost};
  return {FastRescan::KeptPairs, FastRescan::FullPasses};
}

std::vector<Mode> everyMode(std::uint64_t permutations) {
  std::vector<Mode> modes;
  for (const ScanMode& m : everyScanMode({1, 3})) {
    for (std::uint16_t blocks : {1, 3}) modes.push_back({m, blocks, permutations});
  }
  return modes;
}

// Every mode at word-boundary subject counts, with and without permutations,
// and every fast rescan of the mode.
TEST(FastScan, MatchesTheReferenceScanInEveryMode) {
  for (std::size_t subjects : {2, 63, 64, 65, 131}) {
    for (bool missing : {false, true}) {
      const GenotypeData data = shapedData(static_cast<std::uint32_t>(subjects), 21, subjects, missing);
      for (std::uint64_t permutations : {0, 5}) {
        for (const Mode& m : everyMode(permutations)) {
          if (m.missing != missing) continue;
          const RunParameters params = parametersOf(m);
          const GenotypeStore store = loadStore(data, params);
          const std::string what = describe(m) + " subjects " + std::to_string(subjects);
          const TopVector reference = scan(params, store, ScanPath::Reference);
          for (FastRescan rescan : fastRescansOf(m)) {
            expectSame(reference, scan(params, store, ScanPath::Fast, probeSimdKernels(), rescan),
                       what + " rescan " + std::to_string(static_cast<int>(rescan)));
          }
        }
      }
    }
  }
}

// The sets of instruction-set variants this CPU runs (counting kernel, tile
// fit, lane loops), slowest first.
std::vector<SimdKernels> everySimdLevel() {
  std::vector<SimdKernels> levels;
  for (KernelKind kind : {KernelKind::Generic, KernelKind::Popcnt, KernelKind::Avx2, KernelKind::Avx512}) {
    SimdKernels simd;
    if (simdKernelsOf(kind, simd)) levels.push_back(simd);
  }
  return levels;
}

// Every subject count from 2 to 200 (every tail of a 64-bit word, for cases
// and controls apart), cycling through the modes, with each variant set
// (counting kernels, fits, and the row counts and packing of the kept-pair
// rescans).
TEST(FastScan, MatchesTheReferenceScanAtEveryWordTailWithEveryKernel) {
  const std::vector<Mode> modes = everyMode(3);
  const std::vector<SimdKernels> levels = everySimdLevel();
  for (std::size_t subjects = 2; subjects <= 200; ++subjects) {
    const Mode& m = modes[subjects % modes.size()];
    const GenotypeData data = shapedData(static_cast<std::uint32_t>(1000 + subjects), 17, subjects, m.missing);
    const RunParameters params = parametersOf(m);
    const GenotypeStore store = loadStore(data, params);
    const TopVector reference = scan(params, store, ScanPath::Reference);
    for (const SimdKernels& simd : levels) {
      for (FastRescan rescan : fastRescansOf(m)) {
        expectSame(reference, scan(params, store, ScanPath::Fast, simd, rescan),
                   describe(m) + " subjects " + std::to_string(subjects) + " kernel " + kernelName(simd.kind) +
                       " rescan " + std::to_string(static_cast<int>(rescan)));
      }
    }
  }
}

// The files a run writes from the two scans' kept pairs are the same files.
TEST(FastScan, WritesTheSameResultsAndMatrixFiles) {
  const std::filesystem::path previous = std::filesystem::current_path();
  for (const Mode& m : {Mode{{true, false, false, false, 1}, 3, 9}, Mode{{false, false, true, true, 1}, 1, 9},
                        Mode{{true, false, true, false, 3}, 3, 0}}) {
    const GenotypeData data = shapedData(31, 23, 140, m.missing);
    const RunParameters params = parametersOf(m);
    const GenotypeStore store = loadStore(data, params);
    std::string files[2];
    int n = 0;
    for (ScanPath path : {ScanPath::Reference, ScanPath::Fast}) {
      TopVector kept = scan(params, store, path);
      ScratchDir dir;
      std::filesystem::current_path(dir.path());
      RunParameters run = params;
      run.outFile = "res";
      console().startCapture();
      const Outcome o = runFinalStage(run, store.snp_names, kept);
      console().endCapture();
      EXPECT_FALSE(o.stopped());
      files[n++] =
          readFile("res.txt") + "|" + readFile(m.minP ? "matrix_minP.txt" : "SNP_pairs_and_permut_p_vals_maxT.txt");
      std::filesystem::current_path(previous);
    }
    EXPECT_GT(splitLines(files[0]).size(), 3u) << describe(m);
    EXPECT_EQ(files[0], files[1]) << describe(m);
  }
}

// Where the approximation lands within its tolerance of the cut-off, the
// exact statistic decides: thresholds set exactly at kept statistics.
TEST(FastScan, ThresholdsAtExactStatisticsDecideAsTheReferenceScan) {
  const GenotypeData data = shapedData(9, 25, 150, false);
  for (const Mode& m : {Mode{{false, false, false, false, 1}, 1, 0}, Mode{{true, false, false, false, 1}, 1, 0},
                        Mode{{false, true, false, false, 1}, 1, 0}, Mode{{true, false, true, false, 1}, 1, 0}}) {
    RunParameters params = parametersOf(m);
    const GenotypeStore store = loadStore(data, params);
    const TopVector all = scan(params, store, ScanPath::Reference);
    ASSERT_GE(all.size(), 3u);
    for (std::size_t x : {std::size_t{0}, all.size() / 2, all.size() - 1}) {
      // The float threshold nearest to a kept statistic.
      params.thresholdParam = static_cast<float>(all[x].testStatValue);
      expectSame(scan(params, store, ScanPath::Reference), scan(params, store, ScanPath::Fast),
                 describe(m) + " at threshold " + std::to_string(params.thresholdParam));
    }
  }
}

// Data that makes the carried KSA cut-off hard to resolve backwards:
// monomorphic SNPs, whose pairs have df 0 and sit between scored pairs
// (one of them the last SNP, so a combination can end in df 0 pairs); a
// SNP with two levels only, whose pairs have fewer degrees of freedom (under
// minP the cut-off then changes with df); the rest random.
GenotypeData chainData(std::uint32_t seed, std::size_t snps, std::size_t subjects, bool missing) {
  GenotypeData data = shapedData(seed, snps, subjects, missing);
  for (std::vector<int>& subject : data.genotypes) {
    subject[3] = 0;
    subject[snps / 2] = 1;
    subject[snps - 1] = 2;
    if (subject[6] == 2) subject[6] = 1;
  }
  return data;
}

// The permuted values of the kept pairs, resolved backwards, equal the
// reference rescan's, bit for bit, under the epistasis likelihood-ratio
// test: low thresholds (most pairs kept, in long runs, first and last of
// their combination), middle and high ones, maxT and minP (the carried
// p-value crossing several combinations of one process), missing
// genotypes, the cell rule -m 3, and one or several blocks. The fast path
// runs twice: choosing by density, and by the kept pairs whatever their
// density.
TEST(FastScan, KeptPairRescansMatchTheReferenceRescan) {
  std::size_t compared = 0, first_kept = 0, last_kept = 0;
  for (bool missing : {false, true}) {
    const GenotypeData data = chainData(missing ? 41 : 40, 19, missing ? 131 : 150, missing);
    for (bool minP : {false, true}) {
      for (float threshold : minP ? std::vector<float>{0.9f, 0.3f, 0.01f} : std::vector<float>{0.5f, 3.0f, 9.0f}) {
        for (int min_cell : {1, 3}) {
          for (std::uint16_t blocks : {1, 3, 4}) {
            const Mode m{{true, false, missing, minP, min_cell}, blocks, 12};
            RunParameters params = parametersOf(m);
            params.thresholdParam = threshold;
            const GenotypeStore store = loadStore(data, params);
            const std::string what = describe(m) + " -t " + std::to_string(threshold);
            const TopVector reference = scan(params, store, ScanPath::Reference);
            expectSame(reference, scan(params, store, ScanPath::Fast), what);
            expectSame(reference, scan(params, store, ScanPath::Fast, probeSimdKernels(), FastRescan::KeptPairs),
                       what + " by kept pairs");
            ++compared;
            for (const TestStat2DObject& kept : reference) {
              if (kept.i == 0 && kept.j == 1) ++first_kept;
              if (kept.i == data.snps() - 3 && kept.j == data.snps() - 2) ++last_kept;
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(compared, 72u);
  // The data does make the first and the last scored pair kept pairs.
  EXPECT_GT(first_kept, 0u);
  EXPECT_GT(last_kept, 0u);
}

// A process's share of the combinations, rescanned by the kept pairs,
// carries the same values through its combinations as the reference.
TEST(FastScan, KeptPairRescansMatchTheReferenceInEveryProcessShare) {
  const GenotypeData data = chainData(43, 17, 140, false);
  for (bool minP : {false, true}) {
    for (std::uint16_t process = 1; process <= 3; ++process) {
      RunParameters params = parametersOf({{true, false, false, minP, 1}, 4, 9});
      params.processAmount = 3;
      params.processID = process;
      params.thresholdParam = minP ? 0.5f : 2.0f;
      const GenotypeStore store = loadStore(data, params);
      const TopVector reference = scan(params, store, ScanPath::Reference);
      EXPECT_FALSE(reference.empty());
      const std::string what = std::string(minP ? "minP" : "maxT") + " process " + std::to_string(process);
      expectSame(reference, scan(params, store, ScanPath::Fast, probeSimdKernels(), FastRescan::KeptPairs), what);
    }
  }
}

// The approximations stay within their stated tolerance of the exact
// statistics, over many random tables.
TEST(FastStatistics, ApproximationsStayWithinTheirTolerance) {
  for (bool missing : {false, true}) {
    for (bool epistasis : {false, true}) {
      for (bool score : {false, true}) {
        if (epistasis && score) continue;  // no approximation there
        Mode m{{epistasis, score, missing, false, 1}, 1, 0};
        const RunParameters params = parametersOf(m);
        const GenotypeData data = shapedData(21, 30, 400, missing);
        const GenotypeStore store = loadStore(data, params);
        const BlockTable blocks = listBlockCombinations(store.snp_amount, 1);
        const SubjectSubset cases(store.binary_diagnostic_vect, 1, true);
        const SubjectSubset controls(store.binary_diagnostic_vect, 1, false);
        BlockWorkingSet set;
        console().startCapture();
        loadBlockCombination(params, store, blocks, 0, cases, controls, set);
        console().endCapture();
        FastStatistics fast(params, store.total_amount, store.affected_amount, VectorLevel::Portable);
        fast.prepareBlocks(set);
        const PairScorer scorer(params, store, set);
        double largest_ratio = 0.0;
        for (std::uint64_t i = 0; i + 1 < set.block1.snp_amount; ++i) {
          for (std::uint64_t j = i + 1; j < set.block1.snp_amount; ++j) {
            PairTable table;
            scorer.count(i, j, table);
            const double exact = epistasis ? scorer.ksa(i, j, table) : scorer.statistic(i, j, table, 0);
            const double approximation = fast.screen(table, i, j);
            const double difference = std::fabs(exact - approximation);
            ASSERT_LE(difference, fast.tolerance(approximation)) << i << "," << j;
            largest_ratio = std::max(largest_ratio, difference / fast.tolerance(approximation));
          }
        }
        // The tolerance is generous, not loose by accident: the real
        // differences are rounding-sized.
        EXPECT_LT(largest_ratio, 1e-2) << describe(m);
      }
    }
  }
}

}  // namespace
}  // namespace dyadmill::testing

namespace dyadmill::testing {
namespace {

TEST(FastLog, AgreesWithTheLibraryLogarithm) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> exponent(-30.0, 30.0);
  double worst = 0.0;
  for (int k = 0; k < 200000; ++k) {
    const double x = std::exp(exponent(rng));
    worst = std::max(worst, std::fabs(fastLog(x) - std::log(x)));
  }
  for (int x = 1; x <= 70000; ++x) worst = std::max(worst, std::fabs(fastLog(x) - std::log(static_cast<double>(x))));
  EXPECT_LT(worst, 1e-14);
  EXPECT_NEAR(fastLog(1.0), 0.0, 1e-16);
  EXPECT_EQ(fastLog(0.0), -INFINITY);
  EXPECT_TRUE(std::isnan(fastLog(-1.0)));
  EXPECT_EQ(fastLog(INFINITY), INFINITY);
  EXPECT_EQ(fastLog(1e-310), std::log(1e-310));  // subnormal
}

}  // namespace
}  // namespace dyadmill::testing

namespace dyadmill::testing {
namespace {

using LaneLevels = std::int32_t[kLevels][kTileLanes];

void expectLanesFitAsOneTable(const LaneCells& cases, const LaneCells& totals, const LaneLevels& a1,
                              const LaneLevels& t1, const LaneLevels& a2, const LaneLevels& t2, const TileFit& fit,
                              const std::string& what) {
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    std::uint16_t aff[kCells], tot[kCells], m1a[3], m1t[3], m2a[3], m2t[3];
    for (unsigned k = 0; k < kCells; ++k) {
      aff[k] = static_cast<std::uint16_t>(cases[k][lane]);
      tot[k] = static_cast<std::uint16_t>(totals[k][lane]);
    }
    for (unsigned c = 0; c < 3; ++c) {
      m1a[c] = static_cast<std::uint16_t>(a1[c][lane]);
      m1t[c] = static_cast<std::uint16_t>(t1[c][lane]);
      m2a[c] = static_cast<std::uint16_t>(a2[c][lane]);
      m2t[c] = static_cast<std::uint16_t>(t2[c][lane]);
    }
    const IpfFit one = fitNoThreeWayInteraction(aff, tot, m1a, m2a, m1t, m2t, 3, 3);
    for (unsigned k = 0; k < kCells; ++k) {
      ASSERT_EQ(fit.affected[k][lane], one.affected_fitted[k]) << what << " lane " << lane;
      ASSERT_EQ(fit.unaffected[k][lane], one.unaffected_fitted[k]) << what << " lane " << lane;
    }
  }
}

// Random tables of a tile, empty cells and levels included, and their
// margins per lane.
void randomTile(std::mt19937& rng, int round, LaneCells& cases, LaneCells& totals, LaneLevels& a1, LaneLevels& t1,
                LaneLevels& a2, LaneLevels& t2) {
  for (unsigned c = 0; c < kLevels; ++c) {
    for (unsigned lane = 0; lane < kTileLanes; ++lane) a1[c][lane] = t1[c][lane] = a2[c][lane] = t2[c][lane] = 0;
  }
  for (unsigned lane = 0; lane < kTileLanes; ++lane) {
    const int scale = 1 + static_cast<int>(rng() % 400);
    for (unsigned k = 0; k < kCells; ++k) {
      const bool empty = rng() % 7 == 0 || (round % 5 == 0 && k / 3 == lane % 3);
      totals[k][lane] = empty ? 0 : static_cast<std::int32_t>(rng() % scale);
      cases[k][lane] = totals[k][lane] == 0 ? 0 : static_cast<std::int32_t>(rng() % (totals[k][lane] + 1));
      a1[k / 3][lane] += cases[k][lane];
      t1[k / 3][lane] += totals[k][lane];
      a2[k % 3][lane] += cases[k][lane];
      t2[k % 3][lane] += totals[k][lane];
    }
  }
}

// Eight tables fitted side by side give each table's fit to the last bit,
// whatever each lane's number of sweeps, empty cells and levels included,
// with every fit this CPU runs.
TEST(FitTile, EachLaneFitsExactlyAsTheOneTableFit) {
  std::mt19937 rng(17);
  for (int round = 0; round < 300; ++round) {
    LaneCells cases, totals;
    LaneLevels a1, t1, a2, t2;
    randomTile(rng, round, cases, totals, a1, t1, a2, t2);
    for (const SimdKernels& simd : everySimdLevel()) {
      TileFit fit;
      simd.fit(totals, a1, t1, a2, t2, fit);
      expectLanesFitAsOneTable(cases, totals, a1, t1, a2, t2, fit,
                               "round " + std::to_string(round) + " kernel " + kernelName(simd.kind));
    }
  }
}

// A --missing table screened in a tile's lane and on its own gives the same
// double at every vector level: the approximations are written once.
TEST(FastStatistics, LanesAndSinglePairsGiveTheSameDoubles) {
  std::mt19937 rng(23);
  for (bool epistasis : {false, true}) {
    for (bool score : {false, true}) {
      if (epistasis && score) continue;  // no approximation there
      RunParameters params = parametersOf({{epistasis, score, true, false, 1}, 1, 0});
      for (const SimdKernels& simd : everySimdLevel()) {
        const FastStatistics fast(params, 3600, 1200, simd.vectors);
        for (int round = 0; round < 100; ++round) {
          LaneCells cases, totals;
          LaneLevels a1, t1, a2, t2;
          randomTile(rng, round, cases, totals, a1, t1, a2, t2);
          double lanes[kTileLanes];
          fast.screenTileFull(cases, totals, lanes);
          for (unsigned lane = 0; lane < kTileLanes; ++lane) {
            PairTable table;
            for (unsigned k = 0; k < kCells; ++k) {
              table.affected_subjects[k] = static_cast<std::uint16_t>(cases[k][lane]);
              table.total_subjects[k] = static_cast<std::uint16_t>(totals[k][lane]);
            }
            for (unsigned c = 0; c < kLevels; ++c) {
              table.affected_subjects_marg1[c] = static_cast<std::uint16_t>(a1[c][lane]);
              table.total_subjects_marg1[c] = static_cast<std::uint16_t>(t1[c][lane]);
              table.affected_subjects_marg2[c] = static_cast<std::uint16_t>(a2[c][lane]);
              table.total_subjects_marg2[c] = static_cast<std::uint16_t>(t2[c][lane]);
              table.affected_subjects_amount = static_cast<std::uint16_t>(table.affected_subjects_amount + a1[c][lane]);
              table.total_subjects_amount = static_cast<std::uint16_t>(table.total_subjects_amount + t1[c][lane]);
            }
            const double single = fast.screen(table, 0, 0);
            // Tables without cases or controls give NaN both ways.
            if (std::isnan(single)) {
              EXPECT_TRUE(std::isnan(lanes[lane]));
              continue;
            }
            ASSERT_EQ(lanes[lane], single) << describe({{epistasis, score, true, false, 1}, 1, 0}) << " kernel "
                                           << kernelName(simd.kind) << " round " << round << " lane " << lane;
          }
        }
      }
    }
  }
}

// The same for the reduced forms (--nomissing, no cell dropped): the tiles
// of a real block against its own pairs' tables.
TEST(FastStatistics, ReducedLanesAndSinglePairsGiveTheSameDoubles) {
  for (bool epistasis : {false, true}) {
    for (bool score : {false, true}) {
      if (epistasis && score) continue;
      const Mode m{{epistasis, score, false, false, 1}, 1, 0};
      const RunParameters params = parametersOf(m);
      const GenotypeStore store = loadStore(shapedData(41, 27, 300, false), params);
      const BlockTable blocks = listBlockCombinations(store.snp_amount, 1);
      BlockWorkingSet set;
      console().startCapture();
      loadBlockCombination(params, store, blocks, 0, SubjectSubset(store.binary_diagnostic_vect, 1, true),
                           SubjectSubset(store.binary_diagnostic_vect, 1, false), set);
      console().endCapture();
      const PairScorer scorer(params, store, set);
      const std::uint64_t snps = set.block1.snp_amount;
      for (const SimdKernels& simd : everySimdLevel()) {
        FastStatistics fast(params, store.total_amount, store.affected_amount, simd.vectors);
        fast.prepareBlocks(set);
        for (std::uint64_t i = 0; i < snps; ++i) {
          for (std::uint64_t j_base = 0; j_base < snps; j_base += kTileLanes) {
            LaneCells cases{}, totals{};
            PairTable tables[kTileLanes];
            const unsigned lanes = static_cast<unsigned>(std::min<std::uint64_t>(kTileLanes, snps - j_base));
            for (unsigned lane = 0; lane < lanes; ++lane) {
              scorer.count(i, j_base + lane, tables[lane]);
              for (unsigned k = 0; k < kCells; ++k) {
                cases[k][lane] = tables[lane].affected_subjects[k];
                totals[k][lane] = tables[lane].total_subjects[k];
              }
            }
            double screened[kTileLanes];
            fast.screenTile(cases, totals, i, j_base, screened);
            for (unsigned lane = 0; lane < lanes; ++lane) {
              ASSERT_EQ(screened[lane], fast.screen(tables[lane], i, j_base + lane))
                  << describe(m) << " kernel " << kernelName(simd.kind) << " pair " << i << "," << j_base + lane;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace dyadmill::testing
