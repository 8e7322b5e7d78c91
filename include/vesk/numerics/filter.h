#ifndef VESK_NUMERICS_FILTER_H
#define VESK_NUMERICS_FILTER_H

/// @file
/// Savitzky-Golay smoothing and derivative weights.

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

/// The Savitzky-Golay weights of a derivative: they turn a window of samples into the
/// @p derivative-th derivative, at the point, of the least-squares polynomial of degree @p order
/// through the window, in units of y per sample spacing to that power (divide by the spacing to
/// that power for x units). Derivative 0 gives the smoothing weights of
/// create_savitzky_golay_filter; the weights of derivative k > 0 sum to 0 up to rounding.
///
/// The window and the element order are those of create_savitzky_golay_filter.
///
/// @throws vesk::Error for a negative argument (the first of order, left, right, derivative that
///         is), or a derivative above the order.
/// @throws std::runtime_error, std::bad_alloc or std::logic_error as create_savitzky_golay_filter.
VESK_NUMERICS_EXPORT arma::rowvec create_savitzky_golay_derivative_filter(int order,
                                                                          int left_samples,
                                                                          int right_samples,
                                                                          int derivative);

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_FILTER_H
