// Fuzz target: the genotype reader. The first byte picks the mode and the
// read block size; the rest is the file. Every input is read twice, by the
// fast path and by the general routine alone, which must agree on the
// outcome and on every stored bit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "fuzz_support.h"
#include "genotype_reader_internal.h"
#include "input_checks.h"

namespace {

using dyadmill::GenotypeStore;

bool sameStore(const GenotypeStore& a, const GenotypeStore& b) {
  if (a.binary_diagnostic_vect != b.binary_diagnostic_vect || a.affected_amount != b.affected_amount ||
      a.total_amount != b.total_amount || a.snp_names != b.snp_names || a.snp_amount != b.snp_amount) {
    return false;
  }
  const auto& ma = a.snp_matrix;
  const auto& mb = b.snp_matrix;
  if (ma.rows() != mb.rows() || ma.words() != mb.words()) return false;
  return ma.rows() * ma.words() == 0 || std::memcmp(ma.data(), mb.data(), ma.rows() * ma.words() * 8) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  const std::string path = dyadmill::fuzz::scratchFolder() + "/genotypes.txt";
  dyadmill::fuzz::writeBytes(path, data + 1, size - 1);

  dyadmill::RunParameters params;
  params.inFile = path;
  params.missingGenoOption = (control & 1) != 0 ? 1 : 0;
  params.processID = (control & 2) != 0 ? 0 : 1;  // 0 reads the header only
  dyadmill::reader_internal::ReaderTuning tuning;
  tuning.block_size = 1 + (control >> 2) * 7;  // small blocks cut lines everywhere

  dyadmill::ConsoleCapture quiet(dyadmill::ConsoleCapture::Mode::Discard);
  GenotypeStore fast;
  const dyadmill::Outcome a = dyadmill::reader_internal::readGenotypeFile(params, fast, tuning);
  tuning.fast_path = false;
  GenotypeStore general;
  const dyadmill::Outcome b = dyadmill::reader_internal::readGenotypeFile(params, general, tuning);
  if (a.stopped() != b.stopped() || a.exitStatus() != b.exitStatus()) std::abort();
  if (!a.stopped()) {
    if (!sameStore(fast, general)) std::abort();
    dyadmill::warnDuplicateSnpNames(path, fast.snp_names);
  }
  return 0;
}
