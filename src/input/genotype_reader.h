// Reader of the genotype file into the genotype store.
//
// File format: a header line (trait column name, then one name per SNP), then
// one line per subject: the trait (1 = case, 0 = control) and one genotype
// code per SNP (0, 1, 2; a negative code such as -9 = missing). Fields are
// separated by runs of spaces; empty lines are skipped; a trailing carriage
// return is ignored. The file may be gzip-compressed (text_source.h). An
// input named PREFIX.bed is a binary fileset instead (plink_reader.h).
#pragma once

#include <vector>

#include <string>

#include <functional>

#include "genotype_store.h"
#include "outcome.h"
#include "run_parameters.h"
#include "selection.h"

namespace dyadmill {

// Assembly runs (processID 0) parse only the header into snp_names and
// stream the rest through the data fingerprint, unless they count the kept
// pairs' cells (--cells, RunParameters::readsGenotypes); scanning runs read
// every subject in two passes (count, then encode), hashing the first, and
// recode the trait so that the cases are never the larger group. Either way
// the store's content_hash is set (content_hash.h). Every input error is
// reported with the file, line and problem.
//
// `lists` hold what the selection options read (selection.h): only the SNPs
// and subjects they select are packed, in the store's order, and the quality
// filters are applied once the genotypes are in. An assembly run reads the
// genotypes too when the filters need them.
//
// `names_check`, when given, is called with the store as soon as its SNP
// names (and set layout) are settled (after the text header, or the
// fileset's .bim), before any genotype: what depends only on the SNPs stops
// the run there.
using NamesCheck = std::function<Outcome(const GenotypeStore& store)>;
Outcome readGenotypeFile(const RunParameters& params, GenotypeStore& store, const NamesCheck& names_check = {},
                         const SelectionLists& lists = {});

}  // namespace dyadmill
