#include "naive_scan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "BinaryTestStat.h"
#include "chi_square.h"

namespace dyadmill::testing {

std::vector<int> recodedTraits(const GenotypeData& data) {
  std::size_t cases = 0;
  for (int t : data.traits) cases += t == 1 ? 1 : 0;
  const bool swap = data.traits.size() - cases < cases;
  std::vector<int> labels;
  for (int t : data.traits) labels.push_back(swap ? 1 - t : t);
  return labels;
}

NaiveTable naiveTable(const GenotypeData& data, const std::vector<int>& labels, std::size_t a, std::size_t b,
                      int min_cell) {
  NaiveTable table;
  for (std::size_t s = 0; s < data.subjects(); ++s) {
    const int ga = data.genotypes[s][a];
    const int gb = data.genotypes[s][b];
    if (ga < 0 || gb < 0) continue;
    const int k = ga * 3 + gb;
    ++table.total[k];
    if (labels[s] == 1) ++table.affected[k];
  }
  for (int k = 0; k < 9; ++k) {
    if (static_cast<long long>(table.total[k]) < min_cell) table.total[k] = table.affected[k] = 0;
  }
  return table;
}

int designRankDegreesOfFreedom(unsigned occupied, bool epistasis) {
  // Rows of the design: the occupied cells. Columns: intercept, the three
  // levels of SNP 1, the three levels of SNP 2 (association: intercept only).
  std::vector<std::vector<double>> rows;
  for (int k = 0; k < 9; ++k) {
    if ((occupied >> k & 1u) == 0) continue;
    std::vector<double> row(7, 0.0);
    row[0] = 1.0;
    if (epistasis) {
      row[1 + k / 3] = 1.0;
      row[4 + k % 3] = 1.0;
    }
    rows.push_back(row);
  }
  // Rank by Gaussian elimination with partial pivoting.
  int rank = 0;
  for (int col = 0; col < 7 && rank < static_cast<int>(rows.size()); ++col) {
    int pivot = rank;
    for (int r = rank; r < static_cast<int>(rows.size()); ++r) {
      if (std::fabs(rows[r][col]) > std::fabs(rows[pivot][col])) pivot = r;
    }
    if (std::fabs(rows[pivot][col]) < 1e-9) continue;
    std::swap(rows[pivot], rows[rank]);
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
      if (r == rank) continue;
      const double factor = rows[r][col] / rows[rank][col];
      for (int c = 0; c < 7; ++c) rows[r][c] -= factor * rows[rank][c];
    }
    ++rank;
  }
  return static_cast<int>(rows.size()) - rank;
}

std::uint16_t naiveDegreesOfFreedom(const NaiveTable& t, bool epistasis) {
  unsigned occupied = 0;
  for (int k = 0; k < 9; ++k) occupied |= (t.total[k] != 0 ? 1u : 0u) << k;
  return static_cast<std::uint16_t>(designRankDegreesOfFreedom(occupied, epistasis));
}

double naiveStatistic(const RunParameters& params, const NaiveTable& t, double ksa_cutoff) {
  const BinaryTestStat stat(params);
  std::uint32_t A = 0, N = 0;
  std::uint32_t am1[3] = {}, am2[3] = {}, tm1[3] = {}, tm2[3] = {};
  for (int c = 0; c < 3; ++c) {
    for (int d = 0; d < 3; ++d) {
      const int k = c * 3 + d;
      A = static_cast<std::uint32_t>(A + t.affected[k]);
      N = static_cast<std::uint32_t>(N + t.total[k]);
      am1[c] = static_cast<std::uint32_t>(am1[c] + t.affected[k]);
      tm1[c] = static_cast<std::uint32_t>(tm1[c] + t.total[k]);
      am2[d] = static_cast<std::uint32_t>(am2[d] + t.affected[k]);
      tm2[d] = static_cast<std::uint32_t>(tm2[d] + t.total[k]);
    }
  }
  const Counts aff(t.affected), tot(t.total);
  if (!params.epistasis()) return stat.computeBinary2DAssociationTestStat(aff, tot, A, N, 9);
  if (!params.score()) {
    const double ksa = stat.computeBinary2DEpistasisKSATestStat(aff, tot, am1, am2, tm1, tm2, A, N, 3, 3);
    if (!(ksa > ksa_cutoff)) return ksa;
  }
  return stat.computeBinary2DEpistasisIPFTestStat(aff, tot, am1, am2, tm1, tm2, A, N, 3, 3);
}

std::vector<NaivePair> naiveScan(const RunParameters& params, const GenotypeData& data) {
  const std::vector<int> labels = recodedTraits(data);
  const double threshold_param = static_cast<double>(params.thresholdParam);
  std::vector<NaivePair> kept;
  for (std::size_t i = 0; i < data.snps(); ++i) {
    for (std::size_t j = i + 1; j < data.snps(); ++j) {
      const NaiveTable table = naiveTable(data, labels, i, j, params.minCellSize());
      const std::uint16_t df = naiveDegreesOfFreedom(table, params.epistasis());
      if (df == 0) continue;
      const double cutoff = params.minP() ? upperTailCriticalValue(df, threshold_param) : threshold_param;
      const double ksa_cutoff = params.epistasis() && !params.score() ? cutoff : 0.0;
      const double statistic = naiveStatistic(params, table, ksa_cutoff);
      if (!(statistic > cutoff)) continue;
      kept.push_back({i, j, params.minP() ? upperTailPValue(statistic, df) : statistic, df});
    }
  }
  return kept;
}

std::vector<std::string> expectedResultLines(const RunParameters&, const GenotypeData& data,
                                             const std::vector<NaivePair>& pairs) {
  std::vector<std::string> lines;
  for (const NaivePair& p : pairs) {
    char value[64];
    std::snprintf(value, sizeof value, "%g", p.value);
    lines.push_back(data.names[p.i] + "\t" + data.names[p.j] + "\t" + value + "\t" + std::to_string(p.df) + "\t");
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

}  // namespace dyadmill::testing

#include <gtest/gtest.h>

#include "genotype_reader.h"

namespace dyadmill::testing {

GenotypeStore loadStore(const GenotypeData& data, const RunParameters& params) {
  ScratchDir dir;
  writeFile(dir / "data.txt", data.toText());
  RunParameters reading = params;
  reading.inFile = (dir / "data.txt").string();
  reading.processID = 1;
  GenotypeStore store;
  ::testing::internal::CaptureStdout();
  const Outcome outcome = readGenotypeFile(reading, store);
  const std::string output = ::testing::internal::GetCapturedStdout();
  if (outcome.stopped()) ADD_FAILURE() << output;
  return store;
}

}  // namespace dyadmill::testing

#include <cstdlib>

#include "blocks.h"

namespace dyadmill::testing {

std::vector<std::vector<int>> shuffledLabels(const std::vector<int>& labels, std::uint64_t seed, std::uint64_t P) {
  std::vector<std::vector<int>> all;
  std::vector<int> current = labels;
  std::srand(static_cast<unsigned>(seed));
  for (std::uint64_t p = 0; p < P; ++p) {
    for (std::size_t g = 1; g < current.size(); ++g) {
      const std::size_t other = static_cast<std::size_t>(std::rand()) % (g + 1);
      std::swap(current[g], current[other]);
    }
    all.push_back(current);
  }
  return all;
}

std::map<std::pair<std::size_t, std::size_t>, std::vector<double>> naivePermutationValues(const RunParameters& params,
                                                                                          const GenotypeData& data,
                                                                                          std::uint64_t blocks) {
  const std::vector<int> labels = recodedTraits(data);
  const std::uint64_t P = params.permutationParam;
  const auto shuffles = shuffledLabels(labels, params.randomParam, P);
  std::map<std::pair<std::size_t, std::size_t>, std::vector<double>> values;
  for (const NaivePair& kept : naiveScan(params, data)) values[{kept.i, kept.j}] = std::vector<double>(P);

  const BlockTable table = listBlockCombinations(data.snps(), blocks);
  const bool carried_ksa = params.epistasis() && !params.score();
  std::vector<double> carried_p(P, static_cast<double>(params.thresholdParam));
  for (std::uint64_t K = 0; K < table.blockcombo_amount; ++K) {
    for (std::uint64_t p = 0; p < P; ++p) {
      double ksa_cutoff = static_cast<double>(params.thresholdParam);
      for (std::size_t a = table.begin[K]; a < table.end[K]; ++a) {
        for (std::size_t b = std::max<std::size_t>(table.begin2[K], a + 1); b < table.end2[K]; ++b) {
          const NaiveTable original = naiveTable(data, labels, a, b, params.minCellSize());
          const std::uint16_t df = naiveDegreesOfFreedom(original, params.epistasis());
          if (df == 0) continue;
          NaiveTable table_p = naiveTable(data, shuffles[p], a, b, params.minCellSize());
          // Cells the cell rule dropped stay dropped: totals do not change.
          for (int k = 0; k < 9; ++k) {
            if (original.total[k] == 0) table_p.affected[k] = table_p.total[k] = 0;
          }
          if (params.minP()) ksa_cutoff = upperTailCriticalValue(df, carried_p[p]);
          const double statistic = naiveStatistic(params, table_p, carried_ksa ? ksa_cutoff : 0.0);
          auto found = values.find({a, b});
          if (found != values.end()) {
            found->second[p] = params.minP() ? upperTailPValue(statistic, df) : statistic;
          } else if (params.minP()) {
            carried_p[p] = upperTailPValue(statistic, df);
          } else {
            ksa_cutoff = statistic;
          }
        }
      }
    }
  }
  return values;
}

std::vector<std::pair<NaivePair, double>> naiveAdjustedPValues(
    const RunParameters& params, const std::vector<NaivePair>& kept,
    const std::map<std::pair<std::size_t, std::size_t>, std::vector<double>>& values) {
  const bool minP = params.minP();
  std::vector<NaivePair> sorted = kept;
  std::sort(sorted.begin(), sorted.end(),
            [&](const NaivePair& x, const NaivePair& y) { return minP ? x.value < y.value : x.value > y.value; });
  const std::uint64_t P = params.permutationParam;
  std::vector<std::pair<NaivePair, double>> adjusted;
  std::uint64_t running = 0;
  for (std::size_t r = 0; r < sorted.size(); ++r) {
    std::uint64_t count = 1;
    for (std::uint64_t p = 0; p < P; ++p) {
      double best = minP ? 2.0 : -1e300;
      for (std::size_t later = r; later < sorted.size(); ++later) {
        const double v = values.at({sorted[later].i, sorted[later].j})[p];
        best = minP ? std::min(best, v) : std::max(best, v);
      }
      if (minP ? best <= sorted[r].value : best >= sorted[r].value) ++count;
    }
    running = std::max(running, count);
    adjusted.push_back({sorted[r], std::min(1.0, static_cast<double>(running) / static_cast<double>(P))});
  }
  return adjusted;
}

namespace {

double fittedOrAssociationStatistic(const RunParameters& params, const NaiveTable& t) {
  const BinaryTestStat stat(params);
  std::uint32_t A = 0, N = 0, am1[3] = {}, am2[3] = {}, tm1[3] = {}, tm2[3] = {};
  for (int k = 0; k < 9; ++k) {
    A += t.affected[k];
    N += t.total[k];
    am1[k / 3] += t.affected[k];
    tm1[k / 3] += t.total[k];
    am2[k % 3] += t.affected[k];
    tm2[k % 3] += t.total[k];
  }
  const Counts aff(t.affected), tot(t.total);
  if (!params.epistasis()) return stat.computeBinary2DAssociationTestStat(aff, tot, A, N, 9);
  return stat.computeBinary2DEpistasisIPFTestStat(aff, tot, am1, am2, tm1, tm2, A, N, 3, 3);
}

}  // namespace

std::vector<double> naiveFwerExtremes(const RunParameters& params, const GenotypeData& data) {
  std::vector<double> extremes(params.permutationParam, params.minP() ? 1.0 : 0.0);
  const std::vector<std::vector<int>> labels =
      shuffledLabels(recodedTraits(data), params.randomParam, params.permutationParam);
  for (std::size_t k = 0; k < labels.size(); ++k) {
    for (std::size_t i = 0; i < data.snps(); ++i) {
      for (std::size_t j = i + 1; j < data.snps(); ++j) {
        const NaiveTable table = naiveTable(data, labels[k], i, j, params.minCellSize());
        const std::uint16_t df = naiveDegreesOfFreedom(table, params.epistasis());
        if (df == 0) continue;
        const double statistic = fittedOrAssociationStatistic(params, table);
        if (std::isnan(statistic)) continue;
        const double value = params.minP() ? upperTailPValue(statistic, df) : statistic;
        if (params.minP() ? value < extremes[k] : value > extremes[k]) extremes[k] = value;
      }
    }
  }
  return extremes;
}

}  // namespace dyadmill::testing
