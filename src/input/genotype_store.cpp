#include "genotype_store.h"

namespace dyadmill {

std::uint8_t count(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  x = x + (x >> 8);
  x = x + (x >> 16);
  x = x + (x >> 32);
  return static_cast<std::uint8_t>(x & 0x7F);
}

const CountTable& count_table() {
  static const CountTable table = [] {
    CountTable t{};
    for (std::uint32_t v = 0; v < t.size(); ++v) t[v] = count(v);
    return t;
  }();
  return table;
}

void swapGroupsWhenCasesOutnumberControls(GenotypeStore& store) {
  if (store.unaffected_amount < store.affected_amount) {
    for (std::uint16_t& x : store.binary_diagnostic_vect) x = static_cast<std::uint16_t>(1 - x);
    store.affected_amount = store.unaffected_amount;
    store.unaffected_amount = static_cast<SubjectCount>(store.total_amount - store.affected_amount);
    store.groups_swapped = true;
  }
}

}  // namespace dyadmill
