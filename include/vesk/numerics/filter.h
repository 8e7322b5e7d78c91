#ifndef VESK_NUMERICS_FILTER_H
#define VESK_NUMERICS_FILTER_H

/// @file
/// Savitzky-Golay smoothing weights.

#include <armadillo>

#include "vesk/numerics/export.h"

namespace vesk::numerics {

/// The Savitzky-Golay weights that turn a window of samples into the value, at the smoothed
/// point, of the least-squares polynomial of degree @p order through the window.
///
/// The window reaches @p left_samples samples before the point and @p right_samples after it.
/// Element k of the result weights the sample at offset k - left_samples, so the result has
/// left_samples + right_samples + 1 elements and sums to 1 up to rounding.
///
/// @throws vesk::Error for a negative argument (the first of order, left, right that is).
/// @throws std::runtime_error when the normal equations are singular: order + 1 exceeds the
///         window length, or the matrix library's inverse finds the matrix singular.
/// @throws std::bad_alloc or std::logic_error from the matrix library for windows too large to
///         hold.
VESK_NUMERICS_EXPORT arma::rowvec create_savitzky_golay_filter(int order, int left_samples,
                                                               int right_samples);

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_FILTER_H
