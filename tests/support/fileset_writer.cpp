#include "fileset_writer.h"

#include <zlib.h>

#include <stdexcept>
#include <vector>

namespace dyadmill::testing {

namespace {

// Two bits per subject, first subject in the lowest bits of a byte: 00 two
// copies of allele 1, 01 missing, 10 one copy, 11 none.
unsigned codeOf(int genotype) {
  switch (genotype) {
    case 2:
      return 0b00;
    case 1:
      return 0b10;
    case 0:
      return 0b11;
    default:
      return 0b01;
  }
}

struct Subject {
  std::string phenotype;
  const std::vector<int>* genotypes;
};

}  // namespace

std::string chromosomeOf(std::size_t snp) {
  return snp % 4 == 3 ? "X" : std::to_string(1 + snp % 3);
}

std::string positionOf(std::size_t snp) {
  return std::to_string(10000 + 137 * snp);
}

Fileset makeFileset(const GenotypeData& data, std::size_t unphenotyped) {
  static const char* const kNoPhenotype[] = {"0", "-9", "NA"};
  std::vector<std::vector<int>> extra(unphenotyped, std::vector<int>(data.snps()));
  for (std::size_t u = 0; u < unphenotyped; ++u) {
    for (std::size_t i = 0; i < data.snps(); ++i) extra[u][i] = static_cast<int>((u * 7 + i * 3) % 4) - 1;
  }
  // The extra subjects go first, last and evenly in between.
  std::vector<Subject> subjects;
  const std::size_t gap = unphenotyped == 0 ? 0 : data.subjects() / unphenotyped + 1;
  std::size_t u = 0;
  for (std::size_t s = 0; s <= data.subjects(); ++s) {
    if (u < unphenotyped && (s % gap == 0 || s == data.subjects())) {
      subjects.push_back({kNoPhenotype[u % 3], &extra[u]});
      ++u;
    }
    if (s < data.subjects()) subjects.push_back({data.traits[s] == 1 ? "2" : "1", &data.genotypes[s]});
  }
  while (u < unphenotyped) {
    subjects.push_back({kNoPhenotype[u % 3], &extra[u]});
    ++u;
  }

  Fileset f;
  for (std::size_t k = 0; k < subjects.size(); ++k) {
    f.fam += "fam" + std::to_string(k) + " id" + std::to_string(k) + " 0 0 " + std::to_string(1 + k % 2) + " " +
             subjects[k].phenotype + "\n";
  }
  for (std::size_t i = 0; i < data.snps(); ++i) {
    f.bim += chromosomeOf(i) + "\t" + data.names[i] + "\t0\t" + positionOf(i) + "\tA\tG\n";
  }
  f.bed = std::string("\x6c\x1b\x01", 3);
  const std::size_t bytes_per_snp = (subjects.size() + 3) / 4;
  for (std::size_t i = 0; i < data.snps(); ++i) {
    std::string row(bytes_per_snp, '\0');
    for (std::size_t k = 0; k < subjects.size(); ++k) {
      row[k / 4] = static_cast<char>(static_cast<unsigned char>(row[k / 4]) |
                                     (codeOf((*subjects[k].genotypes)[i]) << (2 * (k % 4))));
    }
    f.bed += row;
  }
  return f;
}

void writeFileset(const std::filesystem::path& prefix, const Fileset& fileset) {
  writeFile(prefix.string() + ".bed", fileset.bed);
  writeFile(prefix.string() + ".bim", fileset.bim);
  writeFile(prefix.string() + ".fam", fileset.fam);
}

void writeGzipFile(const std::filesystem::path& path, const std::string& content) {
  gzFile file = gzopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("gzopen failed");
  if (!content.empty() && gzwrite(file, content.data(), static_cast<unsigned>(content.size())) <= 0) {
    gzclose(file);
    throw std::runtime_error("gzwrite failed");
  }
  gzclose(file);
}

}  // namespace dyadmill::testing
