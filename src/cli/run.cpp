#include "run.h"

#include <omp.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <new>

#include "blocks.h"
#include "command_line.h"
#include "console.h"
#include "final_stage.h"
#include "genotype_reader.h"
#include "genotype_store.h"
#include "input_checks.h"
#include "output_checks.h"
#include "partial_results.h"
#include "provenance.h"
#include "run_log.h"
#include "run_parameters.h"
#include "scan_driver.h"
#include "selection.h"
#include "threads.h"

namespace dyadmill {

namespace {

// What the partial files must agree with beyond the options and the names.
// With the genotypes read (--cells, quality filters) the workers' subject
// count is checked too: cells counted, or SNPs filtered, over other subjects
// would be wrong.
AssemblyExpectations expectations(const RunParameters& params, const GenotypeStore& store,
                                  const SelectionLists& lists) {
  AssemblyExpectations expect;
  expect.layout = store.set_layout;
  expect.selection = selectionProvenance(params, lists);
  if (params.readsGenotypes()) expect.subjects = store.total_amount;
  expect.data_fingerprint = store.content_hash;
  return expect;
}

// What depends only on the SNPs: the block count and the process division.
Outcome checkDivision(const RunParameters& params, const GenotypeStore& store) {
  if (Outcome o = checkBlockAmount(params, store.snp_names.size()); o.stopped()) return o;
  return checkProcessDivision(params, store.snp_names.size(), store.set_layout);
}

// Process 0 of a multi-process run: merge the workers' files, then the
// final stage. With --check-partial only the one file is read and checked.
int assemble(const RunParameters& params, const GenotypeStore& store, const SelectionLists& lists) {
  TopVector top_vect;
  std::vector<double> fwer;
  const AssemblyExpectations expect = expectations(params, store, lists);
  try {
    if (params.checkPartialParam != 0) {
      const std::uint64_t k = params.checkPartialParam;
      if (Outcome o = assemblePartialFiles(params, store.snp_names, top_vect, fwer, k, k, true, expect); o.stopped()) {
        return o.exitStatus();
      }
      console().print("INFO: Partial output file %s passes every check\n", partialFileName(params.outFile, k).c_str());
      return kExitOk;
    }
    if (Outcome o = assemblePartialFiles(params, store.snp_names, top_vect, fwer, 1, 0, false, expect); o.stopped()) {
      return o.exitStatus();
    }
    if (RunLog* log = activeRunLog()) log->recordKeptPairs(top_vect.size());
  } catch (const std::bad_alloc&) {
    console().print("ERROR: Out of memory while assembling %zu kept pairs with %" PRIu64
                    " permutation values each (--permutations). Use a stricter threshold (-t) or fewer "
                    "permutations.\n",
                    top_vect.size(), params.permutationParam);
    return kExitError;
  }
  return runFinalStage(params, store.snp_names, top_vect, {store.snp_chromosomes, store.snp_positions}, fwer, &store)
      .exitStatus();
}

// The scan carries one value per permutation and every kept pair holds one
// more set: a count whose first two sets alone exceed this machine's memory
// is refused before any of it is asked for.
Outcome checkPermutationMemory(const RunParameters& params) {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return Outcome::proceed();
  const auto memory = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  const std::uint64_t per_set = sizeof(double);
  if (params.permutationParam <= memory / (2 * per_set)) return Outcome::proceed();
  console().print("ERROR: --permutations %" PRIu64 " needs at least %" PRIu64
                  " MB (one value per permutation for the scan and for each kept pair), more than this machine's "
                  "memory (%" PRIu64 " MB)\n",
                  params.permutationParam, 2 * per_set * params.permutationParam / 1000000, memory / 1000000);
  return Outcome::stop(kExitError);
}

// Processes 1..n: scan this process's share, then either hand the kept
// pairs to the assembly run (several processes) or finish the run here.
int scan(const RunParameters& params, const GenotypeStore& store, const SelectionLists& lists) {
  if (Outcome o = checkPermutationMemory(params); o.stopped()) return o.exitStatus();
  BlockTable blocks;
  if (Outcome o = formBlocks(params, store.snp_amount, blocks, store.set_layout); o.stopped()) return o.exitStatus();
  if (params.selection.any()) {
    console().print(
        "INFO: Selection: %" PRIu64 " SNPs, %u subjects (%u cases, %u controls), %" PRIu64 " pairs tested\n",
        store.snp_amount, static_cast<unsigned>(store.total_amount), static_cast<unsigned>(store.affected_amount),
        static_cast<unsigned>(store.unaffected_amount), pairsTested(blocks));
  }
  RunLog* log = activeRunLog();
  if (log != nullptr) log->recordBlocks(params, blocks);
  try {
    ScanContext ctx(params, store, blocks);
    const Outcome scanned = scanBlockCombinations(ctx, ScanPath::Fast);
    if (log != nullptr) {
      log->recordPermutations(ctx.permutations_done, params.permutationParam);
      log->recordKeptPairs(ctx.top_vect.size());
    }
    if (scanned.stopped()) return scanned.exitStatus();
    if (params.processAmount > 1) {
      Provenance provenance = provenanceOf(params, blocks.blockAmount, store.snp_names, store.total_amount);
      provenance.selection = selectionProvenance(params, lists);
      provenance.dataFingerprint = store.content_hash;
      return writePartialFile(params, provenance, ctx.top_vect, ctx.fwer).exitStatus();
    }
    return runFinalStage(params, store.snp_names, ctx.top_vect, {store.snp_chromosomes, store.snp_positions}, ctx.fwer,
                         &store)
        .exitStatus();
  } catch (const std::bad_alloc&) {
    console().print("ERROR: Out of memory while scanning blocks of up to %" PRIu64 " SNPs (%" PRIu64
                    " data blocks) with %" PRIu64
                    " permutations. Use more data blocks (-b), fewer permutations, more processes (-n) or a "
                    "stricter threshold (-t).\n",
                    blocks.maxblock_size, blocks.blockAmount, params.permutationParam);
    return kExitError;
  }
}

// The run once the log copies the console: what runDyadmill does, less the
// log's own beginning and end.
int runLogged(int argc, const char* const* argv, RunLog& log) {
  RunParameters parsed;
  // --quiet holds back everything after the required options are known,
  // the echo of the parameters included; an error before that is printed.
  auto understood = [&log](const RunParameters& params) {
    log.setParameters(params);
    console().setQuiet(params.quietOption);
  };
  if (Outcome o = parseCommandLine(argc, argv, parsed, understood); o.stopped()) return o.exitStatus();
  const RunParameters& params = parsed;
  // Every parallel part of the run uses the threads it was given.
  omp_set_num_threads(workerThreads(params));
  if (Outcome o = checkOutputFiles(params); o.stopped()) return o.exitStatus();
  // Checking one partial file writes nothing, not even a log.
  if (params.checkPartialParam == 0) log.enable();
  if (params.readsGenotypes()) {
    if (Outcome o = checkRegularInputFile(params.inFile); o.stopped()) return o.exitStatus();
  }
  SelectionLists lists;
  if (Outcome o = loadSelectionLists(params, lists); o.stopped()) return o.exitStatus();
  GenotypeStore store;
  try {
    // What depends only on the SNPs is settled before any genotype is read,
    // unless a quality filter has yet to decide which SNPs are scanned.
    auto names_check = [&](const GenotypeStore& named) {
      return params.selection.frequencyFilters() ? Outcome::proceed() : checkDivision(params, named);
    };
    const Outcome read = readGenotypeFile(params, store, names_check, lists);
    log.recordInput(params, store, !read.stopped());
    if (read.stopped()) return read.exitStatus();
    if (params.selection.frequencyFilters()) {
      if (Outcome o = checkDivision(params, store); o.stopped()) return o.exitStatus();
    }
  } catch (const std::bad_alloc&) {
    console().print("ERROR: Out of memory while storing the genotypes of %s (%zu SNPs, %u subjects)\n",
                    params.inFile.c_str(), store.snp_names.size(), static_cast<unsigned>(store.total_amount));
    return kExitError;
  }
  warnDuplicateSnpNames(params.inFile, store.snp_names);
  // The assembly compares this with what every partial file records; a
  // worker's appears in its log.
  if (params.processID == 0 && store.content_hash) {
    console().print("INFO: Fingerprint of the genotype data: %s (%s)\n",
                    dataFingerprintText(*store.content_hash).c_str(), params.inFile.c_str());
  }
  if (params.processID == 0) {
    log.recordAssembly(
        params, CombinationIndex(store.snp_names.size(), blocksInUse(params, store.snp_names.size()), store.set_layout)
                    .blocksUsed());
  }
  return params.processID == 0 ? assemble(params, store, lists) : scan(params, store, lists);
}

}  // namespace

int runDyadmill(int argc, const char* const* argv) {
  std::setbuf(stdout, nullptr);
  RunLog log(argc, argv, "dyadmill " DYADMILL_VERSION);
  int status = kExitError;
  try {
    status = runLogged(argc, argv, log);
  } catch (const std::bad_alloc&) {
    // Caught here rather than by the entry so that the log can say so.
    console().line(
        "ERROR: Out of memory. Use more data blocks (-b), more processes (-n) or a stricter threshold (-t).");
    status = kExitError;
  }
  log.finish(status);
  console().setQuiet(false);
  return status;
}

}  // namespace dyadmill
