#ifndef VESK_NUMERICS_SMOOTHING_H
#define VESK_NUMERICS_SMOOTHING_H

/// @file
/// Savitzky-Golay smoothing of a whole series with a window of fixed length that shifts inwards
/// near the ends.

#include <cstddef>
#include <map>
#include <utility>
#include <vector>

#include "vesk/numerics/filter.h"

namespace vesk::numerics {

/// Samples before and after the point that a window covers.
struct Window {
  int left;   ///< Samples before the point.
  int right;  ///< Samples after the point.
  /// The number of samples the window covers.
  int length() const { return left + right + 1; }
};

/// The window for sample @p index of @p count: @p requested where it fits, else the same length
/// shifted to stay inside the data. @p count must be at least the window's length.
inline Window window_at(const Window& requested, long index, long count) {
  Window window = requested;
  if (index < requested.left) {
    window.left = static_cast<int>(index);
    window.right = requested.length() - 1 - window.left;
  } else if (count - 1 - index < requested.right) {
    window.right = static_cast<int>(count - 1 - index);
    window.left = requested.length() - 1 - window.right;
  }
  return window;
}

/// Each of the @p count values at @p y replaced by the value at that point of the least-squares
/// polynomial of @p order over its window; the weights of each distinct window are built once.
/// Errors of the weight builder (see create_savitzky_golay_filter) pass through.
inline std::vector<double> smooth_series(const double* y, std::size_t count, int order,
                                         const Window& requested) {
  std::vector<double> smoothed(count);
  std::map<std::pair<int, int>, arma::rowvec> weights_by_window;
  const long length = static_cast<long>(count);
  for (long index = 0; index < length; ++index) {
    const Window window = window_at(requested, index, length);
    auto [entry, added] = weights_by_window.try_emplace({window.left, window.right});
    if (added) {
      entry->second = create_savitzky_golay_filter(order, window.left, window.right);
    }
    double sum = 0.0;
    for (int k = 0; k < window.length(); ++k) {
      sum += entry->second(k) * y[static_cast<std::size_t>(index - window.left + k)];
    }
    smoothed[static_cast<std::size_t>(index)] = sum;
  }
  return smoothed;
}

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_SMOOTHING_H
