// Binary genotype filesets (.bed/.bim/.fam) and gzip files written by the
// tests from known genotypes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "test_support.h"

namespace dyadmill::testing {

// The three files' contents, kept apart so that tests can spoil one.
struct Fileset {
  std::string bed, bim, fam;
};

// The fileset of `data` (trait 1 = phenotype 2, trait 0 = phenotype 1;
// genotype code = copies of allele 1), the SNPs spread over three
// chromosomes, with `unphenotyped` extra subjects (phenotypes 0, -9 and NA
// in turn, random genotypes) slipped in between the others. A reader that
// leaves those out sees exactly `data`.
Fileset makeFileset(const GenotypeData& data, std::size_t unphenotyped = 0);

// Writes PREFIX.bed, PREFIX.bim and PREFIX.fam.
void writeFileset(const std::filesystem::path& prefix, const Fileset& fileset);

// Writes `content` gzip-compressed.
void writeGzipFile(const std::filesystem::path& path, const std::string& content);

// Chromosome and position makeFileset gives SNP i.
std::string chromosomeOf(std::size_t snp);
std::string positionOf(std::size_t snp);

}  // namespace dyadmill::testing
