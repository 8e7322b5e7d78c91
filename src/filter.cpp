#include "vesk/numerics/filter.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vesk/util/exceptions.h"

namespace vesk::numerics {

namespace {

// Window extents and powers are counted in 64 bits, so that sums and loop counters built from
// arguments near the largest int cannot overflow.
using Count = std::int64_t;

void require_non_negative(int value, const char* message) {
  if (value < 0) throw Error(std::string(message) + std::to_string(value));
}

// (t^0, t^1, ..., t^order) for one offset t, written into `powers`.
template <typename Vector>
void fill_powers(Count offset, Count order, Vector&& powers) {
  for (Count power = 0; power <= order; ++power) {
    powers(static_cast<arma::uword>(power)) =
        std::pow(static_cast<double>(offset), static_cast<double>(power));
  }
}

}  // namespace

arma::rowvec create_savitzky_golay_filter(int order, int left_samples, int right_samples) {
  require_non_negative(order, "Bad polynomial order ");
  require_non_negative(left_samples, "Bad number of left samples: ");
  require_non_negative(right_samples, "Bad number of right samples: ");

  const Count left = left_samples;
  const Count right = right_samples;
  const Count window_length = left + right + 1;
  const Count coefficient_count = Count{order} + 1;
  // A polynomial with more coefficients than samples is not determined by the window: the
  // normal matrix is singular, though rounding may hide it from the inverse.
  if (coefficient_count > window_length) {
    throw std::runtime_error("Savitzky-Golay polynomial order " + std::to_string(order) +
                             " needs at least " + std::to_string(coefficient_count) +
                             " samples, but the window length is " + std::to_string(window_length));
  }

  arma::mat design(static_cast<arma::uword>(window_length),
                   static_cast<arma::uword>(coefficient_count));
  for (Count offset = -left; offset <= right; ++offset) {
    fill_powers(offset, order, design.row(static_cast<arma::uword>(offset + left)));
  }
  const arma::mat inverse_normal = arma::inv(design.t() * design);
  const arma::rowvec constant_term = inverse_normal.row(0);

  arma::rowvec weights(static_cast<arma::uword>(window_length));
  arma::colvec powers(static_cast<arma::uword>(coefficient_count));
  for (Count offset = -left; offset <= right; ++offset) {
    fill_powers(offset, order, powers);
    weights(static_cast<arma::uword>(offset + left)) = arma::as_scalar(constant_term * powers);
  }
  return weights;
}

}  // namespace vesk::numerics
