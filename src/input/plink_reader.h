// Reader of binary genotype filesets: PREFIX.bed (genotypes, two bits per
// subject, SNP after SNP), PREFIX.bim (one line per SNP: chromosome, name,
// genetic distance, position, allele 1, allele 2) and PREFIX.fam (one line
// per subject, the trait in column 6: 2 = case, 1 = control; 0, -9 or NA =
// no phenotype).
//
// A SNP's genotype code is the number of copies of its allele 1 (.bim
// column 5). Subjects without a phenotype are left out. The store comes out
// exactly as the text reader fills it for the same genotypes and traits.
#pragma once

#include <vector>

#include <functional>

#include <string>

#include "genotype_store.h"
#include "outcome.h"
#include "run_parameters.h"
#include "selection.h"

namespace dyadmill {

// True for an input named PREFIX.bed.
bool isPlinkFileset(const std::string& path);

// The three file names of the fileset of PREFIX.bed.
struct FilesetNames {
  std::string bed, bim, fam;
};
FilesetNames filesetNames(const std::string& bed_path);

// Assembly runs (processID 0) parse only the .bim and stream the .bed and
// .fam through the data fingerprint, unless they need the genotypes
// (RunParameters::readsGenotypes); scanning runs read all three files and
// hash them as they go. The .bim and .fam are held whole until the .bed has
// been hashed, since the fingerprint takes the .bed first. Every problem is reported with the file and, where there is
// one, the line. `lists` and `names_check` as for readGenotypeFile (genotype_reader.h).
Outcome readPlinkFileset(const RunParameters& params, GenotypeStore& store,
                         const std::function<Outcome(const GenotypeStore&)>& names_check = {},
                         const SelectionLists& lists = {});

}  // namespace dyadmill
