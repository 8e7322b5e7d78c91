#ifndef VESK_NUMERICS_SRC_SPECTRUM_RESOLUTION_FIT_H
#define VESK_NUMERICS_SRC_SPECTRUM_RESOLUTION_FIT_H

// A detector's resolution, FWHM(x)^2 = w0 + w1 x + w2 x^2, from the well-determined lines of a
// fitted spectrum.

#include <array>

#include "spectrum/region_model.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::numerics::detail {

struct FittedResolution {
  Resolution resolution;
  std::array<double, 9> covariance;  // row-major; NaN where nothing measured it
};

// Lines whose net area is at least this many standard errors are well determined.
inline constexpr double kWellDeterminedSignificance = 20.0;
// Where no line is well determined, the resolution comes from the lines of at least this many.
inline constexpr double kMeasuredWidthSignificance = 5.0;

// Weighted least squares of FWHM^2 over the well-determined lines of @p fitted, as many
// coefficients as they determine (a constant from one line, a straight line from two to four,
// the parabola from five) and wider than @p least_fwhm everywhere in [lo, hi], so that no line
// held at it is narrower than its points can show. A line's FWHM is its Gaussian part's,
// 2 sqrt(2 ln 2) sigma, for a tailed or Voigt @p shape, and the whole line's otherwise. Where
// every such curve dips below @p least_fwhm, the best curve with non-negative coefficients, held
// at @p least_fwhm where it falls below; then a constant. With fewer than two well-determined
// lines, the lines of at least kMeasuredWidthSignificance, each counted alike: the straight line
// through the median FWHM^2 of their lower and of their upper half (by x) where there are six or
// more and it rises with x; otherwise the one well-determined line's width, or with none their
// median FWHM^2, a constant. With none of those either, the constant FWHM of @p common_sigma (at
// least @p least_fwhm) and a NaN covariance.
FittedResolution fit_resolution(const SpectrumFitResult& fitted, LineShape shape,
                                double common_sigma, double least_fwhm, double lo, double hi);

// Whether the resolution gives a FWHM wider than @p least_fwhm everywhere in [lo, hi].
bool wider_than_over(const Resolution& resolution, double least_fwhm, double lo, double hi);

// Whether the resolution gives a positive FWHM everywhere in [lo, hi].
inline bool positive_over(const Resolution& resolution, double lo, double hi) {
  return wider_than_over(resolution, 0.0, lo, hi);
}

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_RESOLUTION_FIT_H
