#ifndef VESK_NUMERICS_SRC_FIT_POLICY_H
#define VESK_NUMERICS_SRC_FIT_POLICY_H

// What every fitter of the library does alike: the range of its tolerance, what too few points
// say, and when a fit counts as completed.

#include <gsl/gsl_errno.h>

namespace vesk::numerics::detail {

// The solvers' step and gradient tolerance is kept within this range.
inline constexpr double kSmallestAccuracy = 1e-12;
inline constexpr double kLargestAccuracy = 0.01;

// The status text of a fit with no more points than parameters (status GSL_FAILURE).
inline constexpr char kNotEnoughDataText[] = "Not enough data points";

// A tolerance within [kSmallestAccuracy, kLargestAccuracy]; a NaN stays NaN, for the caller to
// decide what it means.
inline double clamped_accuracy(double accuracy) {
  if (accuracy < kSmallestAccuracy) return kSmallestAccuracy;
  if (accuracy > kLargestAccuracy) return kLargestAccuracy;
  return accuracy;
}

// Whether a solver's status means a completed fit. Neither solver reports GSL_CONTINUE: a fit
// that its iteration budget ended says GSL_EMAXITER.
inline bool completed(int status) { return status == GSL_SUCCESS; }

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_FIT_POLICY_H
