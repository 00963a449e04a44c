// Upper-tail chi-square probabilities and critical values.
//
// Both are guarded so that the distribution library never sees an argument
// outside its domain: the likelihood-ratio forms can come out a rounding
// error below 0 for a table at the null, and a p-value can underflow to 0.
#pragma once

#include <cstdint>

namespace dyadmill {

// P(X > statistic) for X chi-square with df degrees of freedom (df >= 1).
// A negative or not-a-number statistic gives 1, an infinite one 0.
double upperTailPValue(double statistic, std::uint16_t df);

// The x with P(X > x) = p, for p in [0, 1]; p = 0 gives +infinity.
double upperTailCriticalValue(std::uint16_t df, double p);

}  // namespace dyadmill
