#include "chi_square.h"

#include <boost/math/distributions/chi_squared.hpp>
#include <cmath>
#include <limits>

namespace dyadmill {

double upperTailPValue(double statistic, std::uint16_t df) {
  if (std::isnan(statistic) || statistic < 0.0) return 1.0;
  if (std::isinf(statistic)) return 0.0;
  const boost::math::chi_squared_distribution<double> distribution(df);
  return boost::math::cdf(boost::math::complement(distribution, statistic));
}

double upperTailCriticalValue(std::uint16_t df, double p) {
  if (!(p > 0.0)) return std::numeric_limits<double>::infinity();
  if (p >= 1.0) p = 1.0;
  const boost::math::chi_squared_distribution<double> distribution(df);
  return boost::math::quantile(boost::math::complement(distribution, p));
}

}  // namespace dyadmill
