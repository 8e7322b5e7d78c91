#ifndef VESK_TOOLS_PEAK_MEASURES_H
#define VESK_TOOLS_PEAK_MEASURES_H

// What the program and the Python package derive from a fit record, computed in one place.

#include <gsl/gsl_errno.h>

#include <cmath>

#include "vesk/numerics/GaussFitResult.h"

namespace vesk::tools {

/// Full width at half maximum of a Gaussian, in units of sigma: 2 sqrt(2 ln 2).
inline const double kFwhmPerSigma = 2.0 * std::sqrt(2.0 * std::log(2.0));
/// Area under a Gaussian of unit amplitude and unit sigma: sqrt(2 pi).
inline const double kAreaPerAmplitudeSigma = std::sqrt(2.0 * M_PI);

/// Whether a fit completed: status 0, or -2 when the budget ended a fit still improving.
inline bool completed(const numerics::GaussFitResult& result) {
  return result.status_ == GSL_SUCCESS || result.status_ == GSL_CONTINUE;
}

/// Full width at half maximum of a peak of width @p sigma (or the error of it, from sigma's).
inline double fwhm_of(double sigma) { return kFwhmPerSigma * sigma; }

/// Area under the peak above its offset, in x times y units.
inline double area_of(const numerics::GaussFitResult& result) {
  return result.amplitude_ * result.sigma_ * kAreaPerAmplitudeSigma;
}

}  // namespace vesk::tools

#endif  // VESK_TOOLS_PEAK_MEASURES_H
