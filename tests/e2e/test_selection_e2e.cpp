// Selections end to end. A run given SNP or subject lists, a chromosome list
// or quality filters writes byte for byte the files of a run on an input
// that the test filtered itself (the kept SNPs worked out here from the raw
// genotypes); pair sets test exactly the pairs between the sets, each as a
// scan of every pair tests it; mistakes in a selection stop the run before
// anything is written; and an assembly refuses workers that scanned another
// selection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fileset_writer.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::size_t> upTo(std::size_t n) {
  std::vector<std::size_t> all(n);
  for (std::size_t k = 0; k < n; ++k) all[k] = k;
  return all;
}

std::vector<std::size_t> where(std::size_t n, const auto& keep) {
  std::vector<std::size_t> out;
  for (std::size_t k = 0; k < n; ++k) {
    if (keep(k)) out.push_back(k);
  }
  return out;
}

// The SNPs `snps` of the subjects `subjects`, both in the order given.
GenotypeData subset(const GenotypeData& data, const std::vector<std::size_t>& snps,
                    const std::vector<std::size_t>& subjects) {
  GenotypeData out;
  for (std::size_t i : snps) out.names.push_back(data.names[i]);
  for (std::size_t s : subjects) {
    out.traits.push_back(data.traits[s]);
    std::vector<int> row;
    for (std::size_t i : snps) row.push_back(data.genotypes[s][i]);
    out.genotypes.push_back(row);
  }
  return out;
}

// The fileset of only the SNPs `snps`: their .bim lines as they were, so
// that chromosomes and positions stay, and their .bed rows.
Fileset keepSnps(const Fileset& f, const std::vector<std::size_t>& snps) {
  const std::vector<std::string> bim = splitLines(f.bim);
  const std::size_t bytes = (splitLines(f.fam).size() + 3) / 4;
  Fileset out{std::string("\x6c\x1b\x01", 3), "", f.fam};
  for (std::size_t i : snps) {
    out.bim += bim[i] + "\n";
    out.bed += f.bed.substr(3 + i * bytes, bytes);
  }
  return out;
}

// "FID IID" of each subject of `data` in a fileset that makeFileset made,
// skipping the subjects it slipped in without a phenotype.
std::vector<std::string> subjectIds(const Fileset& f) {
  std::vector<std::string> ids;
  for (const std::string& line : splitLines(f.fam)) {
    std::istringstream in(line);
    std::string family, subject, father, mother, sex, phenotype;
    in >> family >> subject >> father >> mother >> sex >> phenotype;
    if (phenotype == "1" || phenotype == "2") ids.push_back(family + " " + subject);
  }
  return ids;
}

// A list file with the entries separated by a mix of spaces, tabs and line
// ends, as users' lists come.
void writeList(const std::filesystem::path& path, const std::vector<std::string>& entries) {
  static const char* const kSeparators[] = {" ", "\n", "\t ", "  \r\n"};
  std::string text;
  for (std::size_t k = 0; k < entries.size(); ++k) text += entries[k] + kSeparators[k % 4];
  writeFile(path, text);
}

std::vector<std::string> namesOf(const GenotypeData& data, const std::vector<std::size_t>& snps) {
  std::vector<std::string> names;
  for (std::size_t i : snps) names.push_back(data.names[i]);
  return names;
}

// Missing rate and minor allele frequency of a SNP among `subjects`, from
// the genotypes themselves.
struct SnpQuality {
  double missing_rate;
  double maf;
};

SnpQuality qualityOf(const GenotypeData& data, std::size_t snp, const std::vector<std::size_t>& subjects) {
  std::size_t missing = 0, genotyped = 0, alleles = 0;
  for (std::size_t s : subjects) {
    const int g = data.genotypes[s][snp];
    if (g < 0) {
      ++missing;
    } else {
      ++genotyped;
      alleles += static_cast<std::size_t>(g);
    }
  }
  const double p = genotyped == 0 ? 0.0 : static_cast<double>(alleles) / (2.0 * static_cast<double>(genotyped));
  return {static_cast<double>(missing) / static_cast<double>(subjects.size()), std::min(p, 1.0 - p)};
}

// Makes every genotype of the SNPs `snps` missing at `rate` more, so that
// SNPs differ in their missing rates.
void spoilSnps(GenotypeData& data, const std::vector<std::size_t>& snps, double rate, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::vector<int>& row : data.genotypes) {
    for (std::size_t i : snps) {
      if (unit(rng) < rate) row[i] = -9;
    }
  }
}

struct Outputs {
  std::string results, table, matrix, fwer, console;
};

// A run in a folder of its own (the permutation matrix files have fixed
// names); a split run's processes 1..n, then its assembly.
Outputs runIn(const std::filesystem::path& dir, const RunMode& m, const std::string& input,
              const std::vector<std::string>& extra, int processes = 1) {
  std::filesystem::create_directories(dir);
  std::string console;
  for (int p = 1; p <= processes; ++p) {
    const std::string process = std::to_string(p);
    const RunResult run = runDyadmill(runModeOptions(m, input, std::to_string(processes), process) + extra, dir);
    EXPECT_EQ(run.exit_status, 0) << "process " << process << ": " << run.output;
    console += run.output;
  }
  if (processes > 1) {
    const RunResult run = runDyadmill(runModeOptions(m, input, std::to_string(processes), "0") + extra, dir);
    EXPECT_EQ(run.exit_status, 0) << "assembly: " << run.output;
    console += run.output;
  }
  return {readFile(dir / "res.txt"), readFile(dir / "res.tsv"),
          readFile(dir / "SNP_pairs_and_permut_p_vals_maxT.txt") +
              readFile(dir / "SNP_pairs_and_permut_p_vals_minP.txt") + readFile(dir / "matrix_minP.txt"),
          readFile(dir / "res.fwer"), console};
}

// What a selection keeps, worked out by the test.
struct FilterCase {
  std::string what;
  std::vector<std::string> options;
  std::vector<std::size_t> snps;      // file positions
  std::vector<std::size_t> subjects;  // of the phenotyped subjects
  std::vector<std::string> console;   // lines the run must print
};

// The selection run against a run on the input filtered by hand: results,
// table (its P_BONF too: both count the pairs of the kept SNPs) and, with
// permutations, the matrix files.
void expectSameAsFiltered(const std::filesystem::path& dir, const RunMode& m, const FilterCase& c,
                          const std::string& input, const std::string& filtered, int processes = 1) {
  SCOPED_TRACE(c.what);
  const Outputs selected = runIn(dir / "selected", m, input, c.options + std::vector<std::string>{"--table"});
  const Outputs by_hand = runIn(dir / "by_hand", m, filtered, {"--table"});
  ASSERT_GE(splitLines(by_hand.results).size(), 4u) << "too few kept pairs to compare";
  if (m.permutations > 0) {
    ASSERT_TRUE(contains(by_hand.results, "(" + std::to_string(m.permutations) + " permutations based)"));
  }
  EXPECT_EQ(selected.results, by_hand.results);
  EXPECT_EQ(selected.table, by_hand.table);
  EXPECT_EQ(selected.matrix, by_hand.matrix);
  EXPECT_TRUE(contains(selected.console, "INFO: Selection: " + std::to_string(c.snps.size()) + " SNPs scanned\n"))
      << selected.console;
  for (const std::string& line : c.console) EXPECT_TRUE(contains(selected.console, line)) << selected.console;
  if (processes > 1) {
    const Outputs split = runIn(dir / "split", m, input, c.options + std::vector<std::string>{"--table"}, processes);
    EXPECT_EQ(split.results, selected.results);
    EXPECT_EQ(split.table, selected.table);
    EXPECT_EQ(split.matrix, selected.matrix);
  }
}

// 40 SNPs of 200 subjects; with `missing`, every fifth SNP misses many more
// genotypes than the others.
GenotypeData selectionData(bool missing) {
  GenotypeData data = randomGenotypes(missing ? 8101 : 8102, 40, 200, 0.35, missing ? 0.02 : 0.0);
  if (missing) spoilSnps(data, where(40, [](std::size_t i) { return i % 5 == 2; }), 0.1, 8103);
  return data;
}

TEST(SelectionEndToEnd, TextInputGivesTheFilesOfTheFileFilteredByHand) {
  for (const bool missing : {false, true}) {
    // Two modes, the second the only one the missing genotypes allow.
    const RunMode m = missing ? RunMode{false, true, true, true, 0} : RunMode{true, false, false, false, 0};
    ScratchDir dir;
    const std::string root = dir.path().string() + "/";
    const GenotypeData data = selectionData(missing);
    writeFile(dir / "g.txt", data.toText());
    const std::vector<std::size_t> everyone = upTo(data.subjects());

    // Listed in reverse: the file's order decides, not the list's.
    std::vector<std::size_t> listed = where(40, [](std::size_t i) { return i % 3 != 1; });
    std::vector<std::string> names = namesOf(data, listed);
    std::reverse(names.begin(), names.end());
    names.insert(names.begin() + 3, {"absent1", "absent2"});
    writeList(dir / "extract.txt", names);
    const std::vector<std::size_t> excluded = where(40, [](std::size_t i) { return i % 4 == 0; });
    writeList(dir / "exclude.txt", namesOf(data, excluded));

    const double maf = 0.2, geno = 0.06;
    std::size_t rare = 0, sparse = 0;
    std::vector<bool> passes(40);
    for (std::size_t i = 0; i < 40; ++i) {
      const SnpQuality q = qualityOf(data, i, everyone);
      sparse += q.missing_rate > geno ? 1 : 0;
      rare += q.maf < maf ? 1 : 0;
      passes[i] = !(q.missing_rate > geno) && !(q.maf < maf);
    }
    ASSERT_GT(rare, 3u);
    ASSERT_LT(rare, 30u);
    if (missing) {
      ASSERT_GE(sparse, 8u);
    }

    auto isListed = [&](std::size_t i) { return std::find(listed.begin(), listed.end(), i) != listed.end(); };
    auto isExcluded = [&](std::size_t i) { return std::find(excluded.begin(), excluded.end(), i) != excluded.end(); };
    std::vector<FilterCase> cases = {
        {"--extract",
         {"--extract", root + "extract.txt"},
         listed,
         everyone,
         {"WARNING: 2 of the " + std::to_string(names.size()) + " entries of --extract " + root +
              "extract.txt are not SNPs of the input file: absent1, absent2\n",
          "INFO: Selection: --extract " + root + "extract.txt removes " + std::to_string(40 - listed.size()) +
              " SNPs\n"}},
        {"--exclude",
         {"--exclude", root + "exclude.txt"},
         where(40, [&](std::size_t i) { return !isExcluded(i); }),
         everyone,
         {"INFO: Selection: --exclude " + root + "exclude.txt removes " + std::to_string(excluded.size()) + " SNPs\n"}},
        {"--maf",
         {"--maf", "0.2"},
         where(40, [&](std::size_t i) { return qualityOf(data, i, everyone).maf >= maf; }),
         everyone,
         {"INFO: Selection: --maf 0.2 removes " + std::to_string(rare) + " SNPs\n"}},
    };
    if (missing) {
      cases.push_back({"--geno",
                       {"--geno", "0.06"},
                       where(40, [&](std::size_t i) { return qualityOf(data, i, everyone).missing_rate <= geno; }),
                       everyone,
                       {"INFO: Selection: --geno 0.06 removes " + std::to_string(sparse) + " SNPs\n"}});
    }
    // Together: the lists first, then the filters over what they left.
    const std::vector<std::size_t> combined =
        where(40, [&](std::size_t i) { return isListed(i) && !isExcluded(i) && passes[i]; });
    std::size_t listed_sparse = 0, listed_rare = 0;
    for (std::size_t i = 0; i < 40; ++i) {
      if (!isListed(i) || isExcluded(i)) continue;
      const SnpQuality q = qualityOf(data, i, everyone);
      listed_sparse += q.missing_rate > geno ? 1 : 0;
      listed_rare += q.missing_rate <= geno && q.maf < maf ? 1 : 0;
    }
    cases.push_back(
        {"--extract --exclude --maf --geno",
         {"--extract", root + "extract.txt", "--exclude", root + "exclude.txt", "--maf", "0.2", "--geno", "0.06"},
         combined,
         everyone,
         {"INFO: Selection: --geno 0.06 removes " + std::to_string(listed_sparse) + " SNPs\n",
          "INFO: Selection: --maf 0.2 removes " + std::to_string(listed_rare) + " SNPs\n"}});

    for (const FilterCase& c : cases) {
      ASSERT_LT(c.snps.size(), 40u) << c.what << " selects every SNP: nothing to show";
      ASSERT_GE(c.snps.size(), 6u) << c.what;
      const std::filesystem::path at = dir / (c.what + (missing ? " missing" : ""));
      std::filesystem::create_directories(at);
      writeFile(at / "filtered.txt", subset(data, c.snps, c.subjects).toText());
      // The combination also with permutations, and split in two.
      const bool last = &c == &cases.back();
      expectSameAsFiltered(at, m, c, root + "g.txt", (at / "filtered.txt").string(), last ? 2 : 1);
      if (last) {
        RunMode permuted = m;
        permuted.permutations = 9;
        expectSameAsFiltered(at / "permuted", permuted, c, root + "g.txt", (at / "filtered.txt").string(), 2);
      }
    }
  }
}

TEST(SelectionEndToEnd, FilesetInputGivesTheFilesOfTheFilesetFilteredByHand) {
  for (const bool missing : {false, true}) {
    const RunMode m = missing ? RunMode{false, true, true, true, 0} : RunMode{true, false, false, false, 0};
    ScratchDir dir;
    const std::string root = dir.path().string() + "/";
    // The subjects --remove takes (every third) carry SNP 0's minor
    // alleles and, with missing genotypes, SNP 1's missing ones: the
    // filters over the scanned subjects and over the whole file disagree.
    GenotypeData data = selectionData(missing);
    for (std::size_t s = 0; s < data.subjects(); ++s) {
      data.genotypes[s][0] = s % 3 == 0 ? 2 : (s % 10 == 1 ? 1 : 0);
      if (missing && s % 3 == 0) data.genotypes[s][1] = -9;
    }
    const Fileset full = makeFileset(data, 5);
    writeFileset(dir / "g", full);
    const std::vector<std::string> ids = subjectIds(full);
    ASSERT_EQ(ids.size(), data.subjects());
    const std::vector<std::size_t> every_snp = upTo(40);

    // --keep: four in five subjects, one list line a whole .fam line, one
    // ID that no subject has.
    const std::vector<std::size_t> kept = where(data.subjects(), [](std::size_t s) { return s % 5 != 0; });
    std::string keep_text;
    for (std::size_t s : kept) keep_text += ids[s] + (s == 7 ? " 0 0 1 2\n" : "\n");
    keep_text += "famX idX\n";
    writeFile(dir / "keep.txt", keep_text);
    // --remove: every third subject.
    const std::vector<std::size_t> removed = where(data.subjects(), [](std::size_t s) { return s % 3 == 0; });
    const std::vector<std::size_t> not_removed = where(data.subjects(), [](std::size_t s) { return s % 3 != 0; });
    std::string remove_text;
    for (std::size_t s : removed) remove_text += ids[s] + "\n";
    writeFile(dir / "remove.txt", remove_text);
    // --chr 1-2,X: makeFileset's SNPs on chromosome 3 go.
    const std::vector<std::size_t> on_chr = where(40, [](std::size_t i) { return chromosomeOf(i) != "3"; });
    const std::vector<std::size_t> extracted = where(40, [](std::size_t i) { return i % 7 != 3; });
    writeList(dir / "extract.txt", namesOf(data, extracted));

    // The filters over the subjects the lists leave: the frequencies of the
    // subjects scanned, not of the whole file.
    const std::vector<std::size_t> combined = where(40, [&](std::size_t i) {
      const SnpQuality q = qualityOf(data, i, not_removed);
      return chromosomeOf(i) != "3" && i % 7 != 3 && q.maf >= 0.2 && q.missing_rate <= 0.06;
    });
    const std::vector<FilterCase> cases = {
        {"--chr",
         {"--chr", "1-2,X"},
         on_chr,
         upTo(data.subjects()),
         {"INFO: Selection: --chr 1-2,X removes " + std::to_string(40 - on_chr.size()) + " SNPs\n"}},
        {"--keep",
         {"--keep", root + "keep.txt"},
         every_snp,
         kept,
         {"WARNING: 1 of the " + std::to_string(kept.size() + 1) + " entries of --keep " + root +
              "keep.txt are not subjects of " + root + "g.fam: famX idX\n",
          "INFO: Selection: --keep " + root + "keep.txt leaves out " +
              std::to_string(data.subjects() - kept.size() + 5) + " subjects\n"}},
        {"--remove",
         {"--remove", root + "remove.txt"},
         every_snp,
         not_removed,
         {"INFO: Selection: --remove " + root + "remove.txt leaves out " + std::to_string(removed.size()) +
          " subjects\n"}},
        {"--chr --extract --remove --maf --geno",
         {"--chr", "1-2,X", "--extract", root + "extract.txt", "--remove", root + "remove.txt", "--maf", "0.2",
          "--geno", "0.06"},
         combined,
         not_removed,
         {}},
    };
    // The whole file's frequencies would keep other SNPs.
    const std::vector<std::size_t> by_whole_file = where(40, [&](std::size_t i) {
      const SnpQuality q = qualityOf(data, i, upTo(data.subjects()));
      return chromosomeOf(i) != "3" && i % 7 != 3 && q.maf >= 0.2 && q.missing_rate <= 0.06;
    });
    EXPECT_NE(combined, by_whole_file);

    for (const FilterCase& c : cases) {
      const std::filesystem::path at = dir / (c.what + (missing ? " missing" : ""));
      std::filesystem::create_directories(at);
      writeFileset(at / "filtered", keepSnps(makeFileset(subset(data, every_snp, c.subjects)), c.snps));
      expectSameAsFiltered(at, m, c, root + "g.bed", (at / "filtered.bed").string(), &c == &cases.back() ? 2 : 1);
    }
  }
}

// The pairs between two sets of SNP positions, each once: SNP1 the one
// earlier in the file.
std::set<std::pair<std::size_t, std::size_t>> setPairs(std::size_t snps, const std::set<std::size_t>& first,
                                                       const std::set<std::size_t>& second) {
  std::set<std::pair<std::size_t, std::size_t>> pairs;
  for (std::size_t i = 0; i < snps; ++i) {
    for (std::size_t j = i + 1; j < snps; ++j) {
      if ((first.count(i) && second.count(j)) || (first.count(j) && second.count(i))) pairs.insert({i, j});
    }
  }
  return pairs;
}

struct SetCase {
  std::string what;
  std::vector<std::string> options;
  std::set<std::size_t> first, second;  // file positions, after every filter
};

std::vector<SetCase> setCases(const GenotypeData& data, const std::filesystem::path& dir) {
  const std::set<std::size_t> set1 = {2, 7, 8, 15, 23, 29}, set2 = {0, 7, 11, 12, 15, 20, 21, 26};
  std::vector<std::string> names1 = namesOf(data, {set1.begin(), set1.end()});
  std::reverse(names1.begin(), names1.end());
  writeList(dir / "set1.txt", names1);
  writeList(dir / "set2.txt", namesOf(data, {set2.begin(), set2.end()}));
  writeList(dir / "exclude.txt", namesOf(data, {7, 11}));
  std::set<std::size_t> everything;
  for (std::size_t i = 0; i < data.snps(); ++i) everything.insert(i);
  std::set<std::size_t> set1_left = set1, set2_left = set2;
  for (std::size_t i : {7, 11}) {
    set1_left.erase(i);
    set2_left.erase(i);
  }
  // --maf drops SNPs of both sets and of neither.
  std::set<std::size_t> set1_common = set1, set2_common = set2;
  for (std::size_t i = 0; i < data.snps(); ++i) {
    if (qualityOf(data, i, upTo(data.subjects())).maf < 0.15) {
      set1_common.erase(i);
      set2_common.erase(i);
    }
  }
  EXPECT_LT(set1_common.size() + set2_common.size(), set1.size() + set2.size()) << "--maf drops no set SNP";
  return {
      {"--set1", {"--set1", "../set1.txt"}, set1, everything},
      {"--set1 --set2", {"--set1", "../set1.txt", "--set2", "../set2.txt"}, set1, set2},
      {"--set1 --set2 --exclude",
       {"--set1", "../set1.txt", "--set2", "../set2.txt", "--exclude", "../exclude.txt"},
       set1_left,
       set2_left},
      {"--set1 --set2 --maf",
       {"--set1", "../set1.txt", "--set2", "../set2.txt", "--maf", "0.15"},
       set1_common,
       set2_common},
  };
}

// 30 SNPs of 150 subjects.
GenotypeData setData(bool missing) {
  GenotypeData data = randomGenotypes(missing ? 9201 : 9202, 30, 150, 0.4, missing ? 0.04 : 0.0);
  // A SNP of the first set with a rare allele, for --maf.
  for (std::vector<int>& row : data.genotypes) {
    if (row[8] > 0) row[8] = 0;
  }
  data.genotypes[3][8] = 1;
  return data;
}

TEST(PairSetsEndToEnd, TestExactlyTheSetPairsAsTheFullScanDoesInEveryMode) {
  for (const bool epistasis : {false, true}) {
    for (const bool score : {false, true}) {
      for (const bool missing : {false, true}) {
        const RunMode m{epistasis, score, missing, epistasis != missing, 0};
        std::ostringstream mode;
        PrintTo(m, &mode);
        SCOPED_TRACE(mode.str());
        ScratchDir dir;
        const GenotypeData data = setData(missing);
        writeFile(dir / "g.txt", data.toText());
        std::map<std::string, std::size_t> position;
        for (std::size_t i = 0; i < data.snps(); ++i) position[data.names[i]] = i;

        const Outputs full = runIn(dir / "full", m, "../g.txt", {"--table"});
        const std::vector<std::string> full_results = splitLines(full.results);
        const std::vector<std::string> full_table = splitLines(full.table);
        ASSERT_EQ(full_results.size(), full_table.size());

        for (const SetCase& c : setCases(data, dir.path())) {
          // The two cases that filter SNPs as well take turns.
          if (contains(c.what, score ? "--maf" : "--exclude")) continue;
          SCOPED_TRACE(c.what);
          const auto pairs = setPairs(data.snps(), c.first, c.second);
          const Outputs run = runIn(dir / c.what, m, "../g.txt", c.options + std::vector<std::string>{"--table"});
          EXPECT_TRUE(contains(run.console, " " + std::to_string(pairs.size()) + " pairs tested\n")) << run.console;

          // The full scan's lines of the set pairs, in its order.
          std::vector<std::string> results = {full_results[0]}, table = {full_table[0]};
          for (std::size_t r = 1; r < full_results.size(); ++r) {
            const std::vector<std::string> f = tabFields(full_results[r]);
            if (pairs.count({position.at(f[0]), position.at(f[1])}) == 0) continue;
            results.push_back(full_results[r]);
            table.push_back(full_table[r]);
          }
          ASSERT_GE(results.size(), 6u) << "too few set pairs kept to compare";
          ASSERT_LT(results.size(), full_results.size());
          EXPECT_EQ(splitLines(run.results), results);

          // The table: the full scan's columns but P_BONF, which counts the
          // pairs tested.
          const std::vector<std::string> rows = splitLines(run.table);
          ASSERT_EQ(rows.size(), table.size());
          for (std::size_t r = 1; r < rows.size(); ++r) {
            std::vector<std::string> got = tabFields(rows[r]), want = tabFields(table[r]);
            ASSERT_EQ(got.size(), 10u) << rows[r];
            const double p = std::strtod(got[8].c_str(), nullptr);
            EXPECT_EQ(std::strtod(got[9].c_str(), nullptr), std::min(1.0, p * static_cast<double>(pairs.size())))
                << rows[r];
            got.erase(got.begin() + 9);
            want.erase(want.begin() + 9);
            EXPECT_EQ(got, want);
          }
        }
      }
    }
  }
}

TEST(PairSetsEndToEnd, SplitRunsWithPermutationsAndFwerEqualTheSingleRun) {
  const RunMode modes[] = {{true, false, true, false, 9}, {false, true, false, true, 9}};
  for (const RunMode& m : modes) {
    std::ostringstream mode;
    PrintTo(m, &mode);
    SCOPED_TRACE(mode.str());
    ScratchDir dir;
    const GenotypeData data = setData(m.missing);
    writeFile(dir / "g.txt", data.toText());
    const std::vector<SetCase> cases = setCases(data, dir.path());
    // Without --set2, and with overlapping sets that --maf thins (which the
    // assembly has to read the genotypes for).
    for (const SetCase& c : {cases.front(), cases.back()}) {
      SCOPED_TRACE(c.what);
      // Five blocks give each case at least nine combinations to share.
      const std::vector<std::string> options = c.options + std::vector<std::string>{"--fwer", "-b", "5"};
      const Outputs single = runIn(dir / (c.what + " single"), m, "../g.txt", options);
      const Outputs split = runIn(dir / (c.what + " split"), m, "../g.txt", options, 3);
      ASSERT_GE(splitLines(single.results).size(), 4u);
      EXPECT_EQ(split.results, single.results);
      EXPECT_EQ(split.table, single.table);
      EXPECT_EQ(split.fwer, single.fwer);
      EXPECT_EQ(splitLines(single.fwer).size(), 10u);
    }
  }
}

// Each of these stops the run, exit status 255, with a message naming the
// option or file, before any output file is written.
TEST(SelectionErrors, StopTheRunNamingTheOptionOrFile) {
  ScratchDir dir;
  const GenotypeData data = randomGenotypes(9301, 12, 80, 0.4);
  writeFile(dir / "g.txt", data.toText());
  const Fileset fileset = makeFileset(data, 2);
  writeFileset(dir / "g", fileset);
  const std::vector<std::string> ids = subjectIds(fileset);
  std::string cases_only, controls_only;
  for (std::size_t s = 0; s < data.subjects(); ++s) (data.traits[s] == 1 ? cases_only : controls_only) += ids[s] + "\n";
  writeFile(dir / "cases.txt", cases_only);
  writeFile(dir / "controls.txt", controls_only);
  writeList(dir / "one.txt", {data.names[4]});
  writeList(dir / "two.txt", {data.names[4], data.names[6]});
  writeList(dir / "all.txt", data.names);
  writeList(dir / "absent.txt", {"absent1", "absent2"});
  std::filesystem::create_directory(dir / "folder");

  const struct {
    std::string input;
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {"g.txt", {"--extract", "nofile.txt"}, "ERROR: nofile.txt: unable to read the list file of --extract"},
      {"g.bed", {"--keep", "nofile.txt"}, "ERROR: nofile.txt: unable to read the list file of --keep"},
      {"g.txt", {"--exclude", "folder"}, "ERROR: folder: is a folder, not the list file of --exclude"},
      {"g.txt", {"--set1", "folder"}, "ERROR: folder: is a folder, not the list file of --set1"},
      {"g.txt", {"--chr", "1"}, "ERROR! --chr needs a binary fileset (-i PREFIX.bed): the text genotype file g.txt"},
      {"g.txt", {"--keep", "cases.txt"}, "ERROR! --keep needs a binary fileset (-i PREFIX.bed)"},
      {"g.txt", {"--remove", "cases.txt"}, "ERROR! --remove needs a binary fileset (-i PREFIX.bed)"},
      {"g.txt", {"--extract", "one.txt"}, "ERROR: the selection leaves 1 SNP to scan; a pair scan needs at least 2"},
      {"g.bed", {"--exclude", "all.txt"}, "ERROR: the selection leaves 0 SNPs to scan"},
      {"g.txt", {"--extract", "all.txt", "--exclude", "all.txt"}, "ERROR: the selection leaves 0 SNPs to scan"},
      {"g.bed", {"--chr", "5"}, "ERROR: the selection leaves 0 SNPs to scan"},
      {"g.txt", {"--set1", "absent.txt"}, "ERROR: no pair has one SNP in --set1 (0 selected)"},
      {"g.txt",
       {"--set1", "two.txt", "--set2", "absent.txt"},
       "ERROR: no pair has one SNP in --set1 (2 selected) and the other in --set2 (0 selected)"},
      {"g.txt", {"--set1", "one.txt", "--set2", "absent.txt"}, "ERROR: the selection leaves 1 SNP to scan"},
      {"g.txt", {"--set1", "one.txt", "--set2", "one.txt"}, "ERROR: the selection leaves 1 SNP to scan"},
      {"g.bed", {"--keep", "controls.txt"}, "ERROR: g.fam: no subject kept by --keep/--remove is a case (phenotype 2)"},
      {"g.bed", {"--keep", "cases.txt"}, "ERROR: g.fam: no subject kept by --keep/--remove is a control (phenotype 1)"},
      {"g.bed", {"--remove", "cases.txt"}, "ERROR: g.fam: no subject kept by --keep/--remove is a case (phenotype 2)"},
      {"g.txt", {"--set2", "one.txt"}, "ERROR! --set2 needs --set1"},
      {"g.txt", {"--maf", "-0.1"}, "ERROR! Invalid value for option --maf: -0.1 (a number from 0 to 0.5)"},
      {"g.txt", {"--maf", "0.6"}, "ERROR! Invalid value for option --maf: 0.6"},
      {"g.txt", {"--maf", "abc"}, "ERROR! Invalid value for option --maf: abc"},
      {"g.txt", {"--maf", "0.1x"}, "ERROR! Invalid value for option --maf: 0.1x"},
      {"g.txt", {"--geno", "2"}, "ERROR! Invalid value for option --geno: 2 (a number from 0 to 1)"},
      {"g.txt", {"--geno", "-0.1"}, "ERROR! Invalid value for option --geno: -0.1"},
      {"g.txt", {"--geno", "abc"}, "ERROR! Invalid value for option --geno: abc"},
      {"g.txt", {"--extract", ""}, "ERROR! Invalid value for option --extract"},
      {"g.bed", {"--chr", "1-"}, "ERROR! Invalid value for option --chr: 1-"},
      {"g.bed", {"--chr", "X-3"}, "ERROR! Invalid value for option --chr: X-3"},
      {"g.bed", {"--chr", "3-1"}, "ERROR! Invalid value for option --chr: 3-1"},
      {"g.bed", {"--chr", "1,,2"}, "ERROR! Invalid value for option --chr: 1,,2"},
  };
  const RunMode m{true, true, false, false, 0};
  for (const auto& c : cases) {
    std::string label = c.input;
    for (const std::string& option : c.options) label += " " + option;
    SCOPED_TRACE(label);
    const RunResult run = runDyadmill(runModeOptions(m, c.input, "1", "1") + c.options, dir.path());
    EXPECT_EQ(run.exit_status, 255) << run.output;
    EXPECT_TRUE(contains(run.output, c.message)) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "res.txt"));
  }
}

TEST(SelectionWarnings, UnknownNamesAreCountedAndTheFirstFewShown) {
  ScratchDir dir;
  const GenotypeData data = randomGenotypes(9302, 12, 80, 0.4);
  writeFileset(dir / "g", makeFileset(data));
  std::vector<std::string> names = {data.names[0], "x1", "x2", data.names[5], "x3", "x4", "x5", "x6", data.names[9]};
  writeList(dir / "extract.txt", names);
  writeList(dir / "set2.txt", {"y1", data.names[5], data.names[9], data.names[1]});
  writeFile(dir / "remove.txt", "fam3 id3\nnobody one\nnobody two\n");
  const RunMode m{false, false, false, false, 0};
  const RunResult run = runDyadmill(runModeOptions(m, "g.bed", "1", "1") +
                                        std::vector<std::string>{"--extract", "extract.txt", "--set1", "extract.txt",
                                                                 "--set2", "set2.txt", "--remove", "remove.txt"},
                                    dir.path());
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_TRUE(contains(run.output,
                       "WARNING: 6 of the 9 entries of --extract extract.txt are not SNPs of the input file: x1, x2, "
                       "x3, x4, x5, ...\n"))
      << run.output;
  EXPECT_TRUE(contains(run.output,
                       "WARNING: 6 of the 9 entries of --set1 extract.txt are not SNPs of the input file: x1, x2, x3, "
                       "x4, x5, ...\n"))
      << run.output;
  EXPECT_TRUE(
      contains(run.output, "WARNING: 1 of the 4 entries of --set2 set2.txt are not SNPs of the input file: y1\n"))
      << run.output;
  EXPECT_TRUE(contains(run.output,
                       "WARNING: 2 of the 3 entries of --remove remove.txt are not subjects of g.fam: nobody one, "
                       "nobody two\n"))
      << run.output;
  // --set2 also names a SNP that --extract leaves out: it pairs with none.
  EXPECT_TRUE(contains(run.output, "INFO: Selection: 3 SNPs, 79 subjects (")) << run.output;
  EXPECT_TRUE(contains(run.output, " 3 pairs tested\n")) << run.output;
}

// Workers that scanned another selection hold other pairs: the assembly,
// and a check of a single partial file, refuse their files and name the
// option. A list with the same entries under another path is the same
// selection.
TEST(SelectionAssembly, RefusesWorkersOfAnotherSelectionNamingTheOption) {
  ScratchDir dir;
  const GenotypeData data = randomGenotypes(9401, 20, 120, 0.4);
  writeFile(dir / "g.txt", data.toText());
  const std::vector<std::size_t> listed = where(20, [](std::size_t i) { return i % 4 != 1; });
  writeList(dir / "a.txt", namesOf(data, listed));
  writeList(dir / "a_copy.txt", namesOf(data, listed));
  writeList(dir / "b.txt", namesOf(data, where(20, [](std::size_t i) { return i % 4 != 2; })));
  writeList(dir / "a_more.txt", namesOf(data, listed) + std::vector<std::string>{"absent"});
  writeList(dir / "exclude.txt", {data.names[0]});
  const RunMode m{false, true, false, false, 0};
  const std::vector<std::string> workers = {"--extract", "a.txt"};
  for (const char* p : {"1", "2"}) {
    const RunResult run = runDyadmill(runModeOptions(m, "g.txt", "2", p) + workers, dir.path());
    ASSERT_EQ(run.exit_status, 0) << run.output;
  }
  // The list's fingerprint, which the message shows.
  const std::string first_line = splitLines(readFile(dir / "res_partial1.txt")).at(0);
  const std::size_t at = first_line.find(" extract=fnv1a64:");
  ASSERT_NE(at, std::string::npos) << first_line;
  const std::string hash = first_line.substr(at + 17, 16);

  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"--extract", "b.txt"}, "does not belong to this run: --extract is fnv1a64:"},
      {{}, "does not belong to this run: --extract is fnv1a64:" + hash + " in the file but not given in this run"},
      {{"--extract", "a_more.txt"}, "does not belong to this run: --extract is fnv1a64:"},
      {{"--extract", "a.txt", "--exclude", "exclude.txt"},
       "does not belong to this run: --exclude is not given in the file but fnv1a64:"},
      {{"--extract", "a.txt", "--maf", "0.01"}, "does not belong to this run: --maf is not given in the file but 0.01"},
      {{"--extract", "a.txt", "--set1", "exclude.txt"},
       "does not belong to this run: --set1 is not given in the file but fnv1a64:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    RunResult run = runDyadmill(runModeOptions(m, "g.txt", "2", "0") + c.options, dir.path());
    EXPECT_EQ(run.exit_status, 255) << run.output;
    EXPECT_TRUE(contains(run.output, "ERROR: Partial output file res_partial1.txt " + c.message)) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "res.txt"));
    run =
        runDyadmill(runModeOptions(m, "g.txt", "2", "0") + c.options + std::vector<std::string>{"--check-partial", "2"},
                    dir.path());
    EXPECT_EQ(run.exit_status, 255) << run.output;
    EXPECT_TRUE(contains(run.output, "ERROR: Partial output file res_partial2.txt " + c.message)) << run.output;
  }
  // The same names under another path: the same selection.
  const RunResult run = runDyadmill(
      runModeOptions(m, "g.txt", "2", "0") + std::vector<std::string>{"--extract", "a_copy.txt"}, dir.path());
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_GE(splitLines(readFile(dir / "res.txt")).size(), 3u);
}

}  // namespace
}  // namespace dyadmill::testing
