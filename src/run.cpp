#include "run.h"

#include <cstdio>

#include "blocks.h"
#include "command_line.h"
#include "final_stage.h"
#include "genotype_reader.h"
#include "genotype_store.h"
#include "output_checks.h"
#include "pair_scan.h"
#include "partial_results.h"
#include "run_parameters.h"

namespace dyadmill {

namespace {

// Process 0 of a multi-process run: merge the workers' files, then the
// final stage.
int assemble(RunParameters& params, const GenotypeStore& store) {
  TopVector top_vect;
  if (Outcome o = assemblePartialFiles(params, store.snp_names.size(), top_vect); o.stopped()) return o.exitStatus();
  return runFinalStage(params, store.snp_names, top_vect, {store.snp_chromosomes, store.snp_positions}).exitStatus();
}

// Processes 1..n: scan this process's share, then either hand the kept
// pairs to the assembly run (several processes) or finish the run here.
int scan(RunParameters& params, const GenotypeStore& store) {
  BlockTable blocks;
  if (Outcome o = formBlocks(params, store.snp_amount, blocks); o.stopped()) return o.exitStatus();
  ScanContext ctx(params, store, blocks);
  if (Outcome o = scanBlockCombinations(ctx); o.stopped()) return o.exitStatus();
  if (params.processAmount > 1) return writePartialFile(params, ctx.top_vect).exitStatus();
  return runFinalStage(params, store.snp_names, ctx.top_vect, {store.snp_chromosomes, store.snp_positions})
      .exitStatus();
}

}  // namespace

int runDyadmill(int argc, const char* const* argv) {
  std::setbuf(stdout, nullptr);
  RunParameters params;
  if (Outcome o = parseCommandLine(argc, argv, params); o.stopped()) return o.exitStatus();
  if (Outcome o = checkOutputFiles(params); o.stopped()) return o.exitStatus();
  GenotypeStore store;
  if (Outcome o = readGenotypeFile(params, store); o.stopped()) return o.exitStatus();
  return params.processID == 0 ? assemble(params, store) : scan(params, store);
}

}  // namespace dyadmill
