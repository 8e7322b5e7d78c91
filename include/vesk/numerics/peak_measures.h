#ifndef VESK_NUMERICS_PEAK_MEASURES_H
#define VESK_NUMERICS_PEAK_MEASURES_H

/// @file
/// What follows from a fitted Gaussian peak: whether the fit completed, its FWHM and its area.

#include <gsl/gsl_errno.h>

#include "vesk/numerics/GaussFitResult.h"

namespace vesk::numerics {

/// Full width at half maximum of a Gaussian, in units of sigma: 2 sqrt(2 ln 2), rounded to double.
inline constexpr double kFwhmPerSigma = 2.3548200450309493;
/// Area under a Gaussian of unit amplitude and unit sigma: sqrt(2 pi), rounded to double.
inline constexpr double kAreaPerAmplitudeSigma = 2.5066282746310002;

/// Whether a fit completed: status 0 (GSL_SUCCESS). A fit that its iteration budget ended says
/// GSL_EMAXITER, one that could make no progress GSL_ENOPROG, and neither is complete.
inline bool completed(const GaussFitResult& result) { return result.status_ == GSL_SUCCESS; }

/// Full width at half maximum of a peak of width @p sigma (or the error of it, from sigma's).
inline double fwhm_of(double sigma) { return kFwhmPerSigma * sigma; }

/// Area under the peak above its offset, in x times y units.
inline double area_of(const GaussFitResult& result) {
  return result.amplitude_ * result.sigma_ * kAreaPerAmplitudeSigma;
}

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_PEAK_MEASURES_H
