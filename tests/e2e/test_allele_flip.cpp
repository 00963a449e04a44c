// Counting the other allele of a SNP reverses its genotype codes (0 <-> 2).
// A test must not depend on which allele a laboratory happened to count:
// the same pairs are kept with the same statistics, degrees of freedom and
// p-values.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace dyadmill::testing {
namespace {

GenotypeData flipped(const GenotypeData& data, bool every_snp) {
  GenotypeData out = data;
  for (std::vector<int>& subject : out.genotypes) {
    for (std::size_t s = 0; s < subject.size(); ++s) {
      if ((every_snp || s % 2 == 0) && subject[s] >= 0) subject[s] = 2 - subject[s];
    }
  }
  return out;
}

// Rare homozygotes, so that corner cells of many tables are empty in one
// coding and the opposite corners in the other.
GenotypeData rareHomozygotes(bool missing) {
  GenotypeData data = randomGenotypes(808, 14, 160, 0.3, missing ? 0.05 : 0.0);
  for (std::size_t s = 0; s < data.subjects(); ++s) {
    for (std::size_t snp = 0; snp < data.snps(); ++snp) {
      int& g = data.genotypes[s][snp];
      if (g == 2 && (s + snp) % 4 != 0) g = 1;
    }
  }
  return data;
}

TEST(AlleleFlip, EveryModeKeepsTheSamePairsWithTheSameDegreesOfFreedomAndPValues) {
  for (const bool missing : {false, true}) {
    const GenotypeData data = rareHomozygotes(missing);
    for (const bool epistasis : {false, true}) {
      for (const bool score : {false, true}) {
        for (const bool minP : {false, true}) {
          for (const char* min_cell : {"1", "6"}) {
            const RunMode mode{epistasis, score, missing, minP, 0};
            std::string results[3];
            int n = 0;
            for (const GenotypeData& input : {data, flipped(data, true), flipped(data, false)}) {
              ScratchDir dir;
              writeFile(dir / "g.txt", input.toText());
              std::vector<std::string> args = runModeOptions(mode, "g.txt", "1", "1");
              // A loose threshold (a repeated option overrides): many kept pairs.
              args.insert(args.end(), {"-m", min_cell, "--table", "-t", minP ? "0.5" : (epistasis ? "1" : "3")});
              const RunResult run = runDyadmill(args, dir.path());
              ASSERT_EQ(run.exit_status, 0) << run.output;
              // The results file (six significant digits) and the table's
              // DF and P columns at the same precision.
              results[n] = readFile(dir / "res.txt");
              for (const std::string& line : splitLines(readFile(dir / "res.tsv"))) {
                std::vector<std::string> fields;
                std::size_t start = 0;
                for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
                  fields.push_back(line.substr(start, tab - start));
                fields.push_back(line.substr(start));
                ASSERT_GE(fields.size(), 10u) << line;
                char p[32] = "P";
                if (fields[8] != "P") std::snprintf(p, sizeof p, "%.6g", std::stod(fields[8]));
                results[n] += fields[7] + " " + p + "\n";
              }
              ++n;
            }
            const std::string what = std::string(epistasis ? "epistasis" : "association") +
                                     (score ? " score" : " likelihood") + (missing ? " missing" : " nomissing") +
                                     (minP ? " minP" : " maxT") + " -m " + min_cell;
            EXPECT_GT(splitLines(results[0]).size(), 4u) << what << ": too few kept pairs to compare";
            EXPECT_EQ(results[0], results[1]) << what << " (every SNP flipped)";
            EXPECT_EQ(results[0], results[2]) << what << " (every other SNP flipped)";
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace dyadmill::testing
