// --cells end to end: the table's two cell columns against a count made here
// from the genotype file's text, in both missingness modes, for both
// hypotheses, with and without a visible cell rule, for files with more
// cases than controls (which the run swaps internally) and fewer; a split
// run's assembly writes the same table, and the other columns are those of
// --table alone.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fileset_writer.h"
#include "naive_scan.h"
#include "test_support.h"

namespace dyadmill::testing {
namespace {

// The genotype file read back from its text, without the program's readers.
GenotypeData parseGenotypeText(const std::string& text) {
  GenotypeData data;
  const std::vector<std::string> lines = splitLines(text);
  std::istringstream header(lines.at(0));
  std::string word;
  header >> word;  // the trait column
  while (header >> word) data.names.push_back(word);
  for (std::size_t l = 1; l < lines.size(); ++l) {
    std::istringstream in(lines[l]);
    int trait = 0;
    if (!(in >> trait)) continue;
    data.traits.push_back(trait);
    std::vector<int> codes;
    for (int code = 0; in >> code;) codes.push_back(code);
    data.genotypes.push_back(codes);
  }
  return data;
}

// "n00,n01,...,n22" of the file's cases (trait 1) or controls.
std::string cellText(const NaiveTable& table, bool cases) {
  std::string text;
  for (int k = 0; k < 9; ++k) {
    if (k > 0) text += ',';
    text += std::to_string(cases ? table.affected[k] : table.total[k] - table.affected[k]);
  }
  return text;
}

struct TableRun {
  std::string table;
  std::string console;
};

TableRun runIn(const std::filesystem::path& dir, std::vector<std::string> args, const std::vector<std::string>& extra) {
  args.insert(args.end(), extra.begin(), extra.end());
  const RunResult run = runDyadmill(args, dir);
  EXPECT_EQ(run.exit_status, 0) << run.output;
  return {readFile(dir / "res.tsv"), run.output};
}

TEST(CellsEndToEnd, ColumnsHoldTheFileGroupsCellsAfterTheRuleSingleAndSplit) {
  int dropped = 0;
  for (const bool missing : {false, true}) {
    for (const bool more_cases : {false, true}) {
      ScratchDir dir;
      writeFile(
          dir / "g.txt",
          randomGenotypes(more_cases ? 61 : 62, 12, 120, more_cases ? 0.65 : 0.35, missing ? 0.05 : 0.0).toText());
      const GenotypeData file = parseGenotypeText(readFile(dir / "g.txt"));
      std::size_t cases = 0;
      for (const int t : file.traits) cases += t == 1 ? 1 : 0;
      ASSERT_EQ(2 * cases > file.subjects(), more_cases);
      std::map<std::string, std::size_t> index;
      for (std::size_t s = 0; s < file.snps(); ++s) index[file.names[s]] = s;

      for (const bool epistasis : {false, true}) {
        for (const int min_cell : {1, 3}) {
          const RunMode m{epistasis, false, missing, false, 0};
          const std::vector<std::string> extra = {"-m", std::to_string(min_cell), "-t", epistasis ? "1" : "4"};
          const std::string what = std::string(missing ? "missing" : "nomissing") +
                                   (more_cases ? " more cases" : " fewer cases") +
                                   (epistasis ? " epistasis" : " association") + " -m " + std::to_string(min_cell);
          const std::filesystem::path single = dir / ("single" + what);
          const std::filesystem::path plain = dir / ("plain" + what);
          const std::filesystem::path split = dir / ("split" + what);
          for (const auto& d : {single, plain, split}) std::filesystem::create_directory(d);

          std::vector<std::string> with_cells = extra;
          with_cells.push_back("--cells");
          const TableRun run = runIn(single, runModeOptions(m, "../g.txt", "1", "1"), with_cells);
          const std::vector<std::string> rows = splitLines(run.table);
          ASSERT_GT(rows.size(), 5u) << what << ": too few kept pairs";
          ASSERT_EQ(tabFields(rows[0]), (std::vector<std::string>{"CHR1", "BP1", "SNP1", "CHR2", "BP2", "SNP2", "STAT",
                                                                  "DF", "P", "P_BONF", "CASE_CELLS", "CONTROL_CELLS"}))
              << what;
          for (std::size_t r = 1; r < rows.size(); ++r) {
            const std::vector<std::string> f = tabFields(rows[r]);
            ASSERT_EQ(f.size(), 12u) << what << ": " << rows[r];
            const std::size_t i = index.at(f[2]), j = index.at(f[5]);
            const NaiveTable expected = naiveTable(file, file.traits, i, j, min_cell);
            EXPECT_EQ(f[10], cellText(expected, true)) << what << ": " << rows[r];
            EXPECT_EQ(f[11], cellText(expected, false)) << what << ": " << rows[r];
            // The cells are the statistic's: they give the pair's df.
            EXPECT_EQ(f[7], std::to_string(naiveDegreesOfFreedom(expected, epistasis))) << what << ": " << rows[r];
            const NaiveTable raw = naiveTable(file, file.traits, i, j, 1);
            for (int k = 0; k < 9; ++k) dropped += raw.total[k] != 0 && expected.total[k] == 0 ? 1 : 0;
          }

          // --table alone: the same table without the two last columns.
          std::vector<std::string> with_table = extra;
          with_table.push_back("--table");
          const std::vector<std::string> plain_rows =
              splitLines(runIn(plain, runModeOptions(m, "../g.txt", "1", "1"), with_table).table);
          ASSERT_EQ(plain_rows.size(), rows.size()) << what;
          for (std::size_t r = 0; r < rows.size(); ++r) {
            const std::string& row = rows[r];
            EXPECT_EQ(row.substr(0, row.rfind('\t', row.rfind('\t') - 1)), plain_rows[r]) << what;
          }

          // Two workers (no --cells needed there) and an assembly with it.
          for (const char* p : {"1", "2"}) runIn(split, runModeOptions(m, "../g.txt", "2", p), extra);
          const TableRun assembly = runIn(split, runModeOptions(m, "../g.txt", "2", "0"), with_cells);
          EXPECT_EQ(assembly.table, run.table) << what;
          EXPECT_TRUE(contains(assembly.console, "INFO: Counting number of lines")) << what;
        }
      }
    }
  }
  EXPECT_GT(dropped, 0) << "-m 3 dropped no cell: the data do not show the rule";
}

// Cells counted from a genotype file other than the workers' would be
// wrong: an assembly that reads the genotypes names the subject count;
// one that does not (without --cells), and checking a partial file alone,
// decode no genotype but still refuse the other data by its fingerprint.
TEST(CellsAssembly, RefusesWorkersThatReadOtherSubjects) {
  ScratchDir dir;
  const GenotypeData data = randomGenotypes(63, 8, 90);
  GenotypeData fewer = data;
  fewer.traits.pop_back();
  fewer.genotypes.pop_back();
  writeFile(dir / "g.txt", data.toText());
  writeFile(dir / "fewer.txt", fewer.toText());
  const RunMode m{false, true, false, false, 0};
  for (const char* p : {"1", "2"}) runIn(dir.path(), runModeOptions(m, "g.txt", "2", p), {"-t", "1"});

  std::vector<std::string> args = runModeOptions(m, "fewer.txt", "2", "0");
  args.insert(args.end(), {"-t", "1", "--cells"});
  RunResult run = runDyadmill(args, dir.path());
  EXPECT_EQ(run.exit_status, 255);
  EXPECT_TRUE(contains(run.output,
                       "ERROR: Partial output file res_partial1.txt does not belong to this run: the number of "
                       "subjects is 90 in the file but 89 in the genotype file fewer.txt\n"))
      << run.output;
  EXPECT_FALSE(std::filesystem::exists(dir / "res.tsv"));

  const std::string other_data = "does not belong to this run: the genotype data's fingerprint is ";
  args.insert(args.end(), {"--check-partial", "1"});
  run = runDyadmill(args, dir.path());
  EXPECT_EQ(run.exit_status, 255) << run.output;
  EXPECT_TRUE(contains(run.output, "res_partial1.txt " + other_data)) << run.output;
  EXPECT_FALSE(contains(run.output, "INFO: Counting number of lines")) << run.output;

  args = runModeOptions(m, "fewer.txt", "2", "0");
  args.insert(args.end(), {"-t", "1", "--table"});
  run = runDyadmill(args, dir.path());
  EXPECT_EQ(run.exit_status, 255) << run.output;
  EXPECT_TRUE(contains(run.output, "res_partial1.txt " + other_data)) << run.output;
  EXPECT_FALSE(contains(run.output, "INFO: Counting number of lines")) << run.output;

  args = runModeOptions(m, "g.txt", "2", "0");
  args.insert(args.end(), {"-t", "1", "--table"});
  run = runDyadmill(args, dir.path());
  EXPECT_EQ(run.exit_status, 0) << run.output;
}

// A fileset's cases are its phenotype 2, and subjects without a phenotype
// are in no cell: the same cells as the text file of the same subjects.
TEST(CellsFileset, CountsTheSameCellsAsTheTextFile) {
  ScratchDir dir;
  const GenotypeData data = randomGenotypes(64, 9, 100, 0.6, 0.04);
  writeFile(dir / "g.txt", data.toText());
  writeFileset(dir / "g", makeFileset(data, 7));
  std::filesystem::create_directory(dir / "text");
  std::filesystem::create_directory(dir / "bed");
  const RunMode m{true, true, true, false, 0};
  const std::vector<std::string> extra = {"-t", "1", "-m", "2", "--cells"};
  const std::vector<std::string> text =
      splitLines(runIn(dir / "text", runModeOptions(m, "../g.txt", "1", "1"), extra).table);
  const std::vector<std::string> bed =
      splitLines(runIn(dir / "bed", runModeOptions(m, "../g.bed", "1", "1"), extra).table);
  ASSERT_GT(text.size(), 3u);
  ASSERT_EQ(bed.size(), text.size());
  for (std::size_t r = 0; r < text.size(); ++r) {
    std::vector<std::string> t = tabFields(text[r]), b = tabFields(bed[r]);
    ASSERT_EQ(b.size(), t.size());
    // The loci columns differ (the fileset has a map); the rest must not.
    for (std::size_t c : {0, 1, 3, 4}) t[c] = b[c];
    EXPECT_EQ(b, t);
  }
}

}  // namespace
}  // namespace dyadmill::testing
