#include "final_stage.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "console.h"
#include "fwer.h"
#include "output_set.h"
#include "run_log.h"

namespace dyadmill {

namespace {

constexpr const char* kMaxTMatrixFile = "SNP_pairs_and_permut_p_vals_maxT.txt";
constexpr const char* kMinPMatrixFile = "SNP_pairs_and_permut_p_vals_minP.txt";
constexpr const char* kMinPSuccessiveFile = "matrix_minP.txt";

// One line per pair: names, statistic, then every permutation value between
// tabs (so consecutive values are two tabs apart).
void writeMatrixFile(const char* name, const std::vector<std::string>& snp_names, const TopVector& top_vect,
                     OutputSet& outputs) {
  std::FILE* out = outputs.add(name);
  if (out == nullptr) return;  // reported when the set is committed
  for (const TestStat2DObject& pair : top_vect) {
    std::fprintf(out, "%s//%s\t%g", snp_names[pair.i].c_str(), snp_names[pair.j].c_str(), pair.testStatValue);
    for (double value : pair.permutValues) std::fprintf(out, "\t%g\t", value);
    std::fputc('\n', out);
  }
}

// Replaces each pair's permutation values by the best of its own and every
// later pair's (the pairs sorted by significance): the step-down maxima or
// minima.
template <typename Better>
void successiveBest(TopVector& top_vect, Better better) {
  for (std::size_t t = top_vect.size(); t-- > 1;) {
    std::vector<double>& earlier = top_vect[t - 1].permutValues;
    const std::vector<double>& later = top_vect[t].permutValues;
    for (std::size_t p = 0; p < earlier.size() && p < later.size(); ++p) {
      earlier[p] = better(later[p], earlier[p]);
    }
  }
}

// The genome-wide 5 % threshold of the extremes, or why there is none; the
// log records the line too.
void printGenomeWideThreshold(const RunParameters& params, const std::vector<double>& fwer) {
  const GenomeWideThreshold threshold = genomeWideThreshold(params, fwer);
  char line[160];
  if (!threshold.available) {
    std::snprintf(line, sizeof line,
                  "INFO: %zu permutations are too few for a genome-wide 5%% threshold (at least 19 are needed)\n",
                  fwer.size());
  } else {
    std::snprintf(line, sizeof line, "Genome-wide 5%% threshold from %zu permutations: %s %s\n", fwer.size(),
                  params.minP() ? "p <" : "STAT >", roundTripText(threshold.value).c_str());
  }
  console().write(line);
  if (RunLog* log = activeRunLog()) log->recordGenomeWideThreshold(line);
}

}  // namespace

std::vector<std::uint64_t> permutationPValues(const RunParameters& params, const std::vector<std::string>& snp_names,
                                              TopVector& top_vect, OutputSet& outputs) {
  console().line("INFO: Final results ....");
  const std::uint64_t top_amount = top_vect.size();
  console().print("INFO: There is total of %" PRIu64 " signif. SNP pairs to write to results file\n", top_amount);
  std::vector<std::uint64_t> p_vect(top_amount, 1);

  if (!params.minP()) {
    std::sort(top_vect.begin(), top_vect.end(), compareTestStat2DObjects);
    writeMatrixFile(kMaxTMatrixFile, snp_names, top_vect, outputs);
    successiveBest(top_vect, [](double a, double b) { return std::max(a, b); });
    for (std::uint64_t x = 0; x < top_amount; ++x) {
      for (double value : top_vect[x].permutValues) {
        if (value >= top_vect[x].testStatValue) ++p_vect[x];
      }
    }
  } else {
    std::sort(top_vect.begin(), top_vect.end(), compareTestStat2DObjectsReverse);
    console().line(
        "INFO: The permutation based p-values for each signif. SNP pair are written in "
        "\"sorted_SNP_pairs_and_permut_p_vals_minP.txt\" ");
    writeMatrixFile(kMinPMatrixFile, snp_names, top_vect, outputs);
    successiveBest(top_vect, [](double a, double b) { return std::min(a, b); });
    console().line(kMinPSuccessiveFile);
    writeMatrixFile(kMinPSuccessiveFile, snp_names, top_vect, outputs);
    for (std::uint64_t x = 0; x < top_amount; ++x) {
      for (double value : top_vect[x].permutValues) {
        if (top_vect[x].testStatValue >= value) ++p_vect[x];
      }
    }
  }
  // Adjusted p-values never decrease along the sorted list.
  for (std::uint64_t x = 0; x + 1 < top_amount; ++x) p_vect[x + 1] = std::max(p_vect[x], p_vect[x + 1]);
  return p_vect;
}

void writeResultsFile(const RunParameters& params, const std::vector<std::string>& snp_names, const TopVector& top_vect,
                      const std::vector<std::uint64_t>& p_vect, OutputSet& outputs) {
  const std::uint64_t top_amount = top_vect.size();
  console().print("INFO: Writing the final %" PRIu64 " MBs output file containing %" PRIu64 " pairs \n",
                  (24 * top_amount) / 1000000, top_amount);
  const std::string name = params.outFile + ".txt";
  console().print("***Output file name: \"%s\"\n", name.c_str());
  std::error_code ec;
  const std::filesystem::path cwd = std::filesystem::current_path(ec);
  console().print("***Location: %s\n", ec ? "(unknown)" : cwd.c_str());

  std::FILE* out = outputs.add(name);
  if (out == nullptr) {
    console().line("Unable to open OUTPUT file");
    return;
  }
  const std::uint64_t P = params.permutationParam;
  std::fputs("FistSNP\tSecondSNP\t", out);
  std::fputs(params.minP() ? "p-value(raw)\t" : "Raw_Statistic(ChiSq)\t", out);
  std::fputs("DF_interaction\t", out);
  if (P > 0) std::fprintf(out, "p-value(%" PRIu64 " permutations based)", P);
  std::fputc('\n', out);
  for (std::uint64_t x = 0; x < top_amount; ++x) {
    const TestStat2DObject& pair = top_vect[x];
    std::fprintf(out, "%s\t%s\t%g\t%u\t", snp_names[pair.i].c_str(), snp_names[pair.j].c_str(), pair.testStatValue,
                 static_cast<unsigned>(pair.DegFreedom));
    if (P > 0) {
      // A count of exceedances plus one can reach P + 1; a p-value cannot
      // exceed 1.
      const double adjusted = static_cast<double>(p_vect[x]) / static_cast<double>(P);
      std::fprintf(out, "%g", std::min(1.0, adjusted));
    }
    std::fputc('\n', out);
  }
}

Outcome runFinalStage(const RunParameters& params, const std::vector<std::string>& snp_names, TopVector& top_vect,
                      const SnpLoci& loci, const std::vector<double>& fwer, const GenotypeStore* genotypes) {
  // Every genome-wide p-value rests on one extreme per permutation: with any
  // other count the scan or the assembly went wrong, and no file is written.
  if (params.fwerOption && fwer.size() != params.permutationParam) {
    console().print("ERROR: --fwer: %zu genome-wide permutation extremes for %" PRIu64
                    " permutations; no output file was written\n",
                    fwer.size(), params.permutationParam);
    return Outcome::stop(kExitError);
  }
  // The results file joins the set last: its presence means the matrix
  // files, the table and the extremes beside it belong to the same run.
  OutputSet outputs;
  const std::vector<std::uint64_t> p_vect = permutationPValues(params, snp_names, top_vect, outputs);
  if (params.tableOption) {
    // Counted in the table's order, which the sorting above has settled.
    const std::vector<PairCells> cells = params.cellsOption && genotypes != nullptr
                                             ? countPairCells(params, *genotypes, top_vect)
                                             : std::vector<PairCells>{};
    // With pair sets P_BONF counts the pairs between the sets.
    const SetLayout* sets = genotypes != nullptr && genotypes->set_layout.active ? &genotypes->set_layout : nullptr;
    writeResultsTable(params, resultsTablePath(params.outFile), snp_names, loci, top_vect, p_vect, outputs, fwer, cells,
                      sets != nullptr ? sets->pairs(snp_names.size()) : 0);
  }
  if (params.fwerOption) writeFwerFile(params, fwerFilePath(params.outFile), fwer, outputs);
  writeResultsFile(params, snp_names, top_vect, p_vect, outputs);
  // The threshold line follows the files' writing and comes before the
  // log, which records it; on the console it reads as before.
  auto written = [&]() {
    if (params.fwerOption) printGenomeWideThreshold(params, fwer);
  };
  if (!commitWithRunLog(outputs, written)) return Outcome::stop(kExitError);
  return Outcome::proceed();
}

}  // namespace dyadmill
