#include "results_table.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "chi_square.h"
#include "console.h"
#include "fwer.h"
#include "output_set.h"

namespace dyadmill {

namespace {

// The statistic and its upper-tail p-value, whichever of the two the pair
// carries. Under minP only the p-value is kept, so the statistic is its
// chi-square quantile: exact to rounding while the p-value is above the
// smallest double, infinite below.
void statisticAndPValue(const RunParameters& params, const TestStat2DObject& pair, double& statistic, double& p_value) {
  if (params.minP()) {
    p_value = pair.testStatValue;
    statistic = upperTailCriticalValue(pair.DegFreedom, p_value);
  } else {
    statistic = pair.testStatValue;
    p_value = upperTailPValue(statistic, pair.DegFreedom);
  }
}

void putLocus(std::FILE* out, const SnpLoci& loci, const std::string& name, std::uint64_t snp) {
  const bool mapped = snp < loci.chromosomes.size() && snp < loci.positions.size();
  std::fprintf(out, "%s\t%s\t%s", mapped ? loci.chromosomes[snp].c_str() : "NA",
               mapped ? loci.positions[snp].c_str() : "NA", name.c_str());
}

// Nine counts separated by commas, cell order n00, n01, ..., n22.
void putCells(std::FILE* out, const std::array<SubjectCount, kCells>& cells) {
  for (unsigned k = 0; k < kCells; ++k) std::fprintf(out, k == 0 ? "%u" : ",%u", static_cast<unsigned>(cells[k]));
}

}  // namespace

std::string resultsTablePath(const std::string& out_base) {
  return out_base + ".tsv";
}

std::string roundTripText(double value) {
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof(text), value);
  return ec == std::errc() ? std::string(text, end) : std::string("NA");
}

void writeResultsTable(const RunParameters& params, const std::string& path, const std::vector<std::string>& snp_names,
                       const SnpLoci& loci, const TopVector& top_vect, const std::vector<std::uint64_t>& p_vect,
                       OutputSet& outputs, const std::vector<double>& fwer, const std::vector<PairCells>& cells,
                       std::uint64_t tested_pairs) {
  const std::uint64_t P = params.permutationParam;
  const double snps = static_cast<double>(snp_names.size());
  const double all_pairs = tested_pairs != 0 ? static_cast<double>(tested_pairs) : snps * (snps - 1.0) / 2.0;
  std::FILE* out = outputs.add(path);
  if (out == nullptr) return;  // the set's commit names the file and the reason
  {
    std::fputs("CHR1\tBP1\tSNP1\tCHR2\tBP2\tSNP2\tSTAT\tDF\tP\tP_BONF", out);
    if (P > 0) std::fputs("\tP_PERM", out);
    if (params.fwerOption) std::fputs("\tP_FWER", out);
    if (params.cellsOption) std::fputs("\tCASE_CELLS\tCONTROL_CELLS", out);
    std::fputc('\n', out);
    for (std::size_t x = 0; x < top_vect.size(); ++x) {
      const TestStat2DObject& pair = top_vect[x];
      double statistic = 0.0, p_value = 0.0;
      statisticAndPValue(params, pair, statistic, p_value);
      putLocus(out, loci, snp_names[pair.i], pair.i);
      std::fputc('\t', out);
      putLocus(out, loci, snp_names[pair.j], pair.j);
      std::fprintf(out, "\t%s\t%u\t%s\t%s", roundTripText(statistic).c_str(), static_cast<unsigned>(pair.DegFreedom),
                   roundTripText(p_value).c_str(), roundTripText(std::min(1.0, p_value * all_pairs)).c_str());
      if (P > 0) {
        // The results file's adjusted value: never above 1.
        const double adjusted = static_cast<double>(p_vect[x]) / static_cast<double>(P);
        std::fprintf(out, "\t%s", roundTripText(std::min(1.0, adjusted)).c_str());
      }
      // The pair's own value against the extremes of the whole scan: its
      // statistic under maxT, its raw p-value under minP.
      if (params.fwerOption)
        std::fprintf(out, "\t%s", roundTripText(fwerPValue(params, fwer, pair.testStatValue)).c_str());
      if (params.cellsOption && x < cells.size()) {
        std::fputc('\t', out);
        putCells(out, cells[x].cases);
        std::fputc('\t', out);
        putCells(out, cells[x].controls);
      } else if (params.cellsOption) {
        std::fputs("\tNA\tNA", out);
      }
      std::fputc('\n', out);
    }
  }
}

std::string fwerFilePath(const std::string& out_base) {
  return out_base + ".fwer";
}

void writeFwerFile(const RunParameters& params, const std::string& path, const std::vector<double>& fwer,
                   OutputSet& outputs) {
  std::FILE* out = outputs.add(path);
  if (out == nullptr) return;  // the set's commit names the file and the reason
  std::fputs(params.minP() ? "PERM\tMIN_P\n" : "PERM\tMAX_STAT\n", out);
  for (std::size_t k = 0; k < fwer.size(); ++k) std::fprintf(out, "%zu\t%s\n", k + 1, roundTripText(fwer[k]).c_str());
}

}  // namespace dyadmill
