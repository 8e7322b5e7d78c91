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

// Integers of magnitude below 2^53 are doubles exactly, and so are their products while these
// stay below it.
constexpr double kExactIntegers = 9007199254740992.0;

// (t^0, t^1, ..., t^order) for one offset t, written into `powers`: by multiplication while the
// powers are exact integers, which std::pow would return to the bit, and by std::pow beyond.
template <typename Vector>
void fill_powers(Count offset, Count order, Vector&& powers) {
  const auto t = static_cast<double>(offset);
  double product = 1.0;
  for (Count power = 0; power <= order; ++power) {
    const bool exact = std::fabs(product) < kExactIntegers;
    powers(static_cast<arma::uword>(power)) =
        exact ? product : std::pow(t, static_cast<double>(power));
    if (exact) product *= t;
  }
}

// Row `term` of the least-squares polynomial's coefficients, (A^T A)^-1 A^T, times `factor`:
// the weights of that coefficient, scaled. The arguments are checked already.
arma::rowvec polynomial_term_weights(int order, int left_samples, int right_samples, Count term,
                                     double factor) {
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
  const arma::rowvec term_row = inverse_normal.row(static_cast<arma::uword>(term));

  arma::rowvec weights(static_cast<arma::uword>(window_length));
  arma::colvec powers(static_cast<arma::uword>(coefficient_count));
  for (Count offset = -left; offset <= right; ++offset) {
    fill_powers(offset, order, powers);
    weights(static_cast<arma::uword>(offset + left)) = factor * arma::as_scalar(term_row * powers);
  }
  return weights;
}

}  // namespace

arma::rowvec create_savitzky_golay_filter(int order, int left_samples, int right_samples) {
  require_non_negative(order, "Bad polynomial order ");
  require_non_negative(left_samples, "Bad number of left samples: ");
  require_non_negative(right_samples, "Bad number of right samples: ");
  // The value at the point is the polynomial's constant term.
  return polynomial_term_weights(order, left_samples, right_samples, 0, 1.0);
}

arma::rowvec create_savitzky_golay_derivative_filter(int order, int left_samples, int right_samples,
                                                     int derivative) {
  require_non_negative(order, "Bad polynomial order ");
  require_non_negative(left_samples, "Bad number of left samples: ");
  require_non_negative(right_samples, "Bad number of right samples: ");
  require_non_negative(derivative, "Bad derivative order: ");
  if (derivative > order) {
    throw Error("Derivative order " + std::to_string(derivative) +
                " exceeds the polynomial order " + std::to_string(order));
  }
  // The k-th derivative at offset 0 of sum c_j t^j is k! c_k.
  double factorial = 1.0;
  for (int k = 2; k <= derivative; ++k) factorial *= k;
  return polynomial_term_weights(order, left_samples, right_samples, derivative, factorial);
}

}  // namespace vesk::numerics
