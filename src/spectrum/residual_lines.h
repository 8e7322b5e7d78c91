#ifndef VESK_NUMERICS_SRC_SPECTRUM_RESIDUAL_LINES_H
#define VESK_NUMERICS_SRC_SPECTRUM_RESIDUAL_LINES_H

// Lines that a region's fit leaves in its residuals: found, added, and kept when the data want
// them.

#include <cstddef>
#include <vector>

#include "spectrum/region_fit.h"

namespace vesk::numerics::detail {

// A fitted line as the start of another fit: its Gaussian width, or for other shapes the
// Gaussian width of its FWHM.
PeakStart restart_of(const SpectrumPeak& peak, LineShape shape);

// The region's fit, dropping its weakest lines while it fails, then with lines from its
// residuals added while they are significant. @p sigma is the lines' common width. Tailed lines
// whose fit runs out of its budget though they are there (held at the start values of their
// tail, tail slope and step they fit much better) are not dropped or refused: the region
// reports that failure instead, for fit_regions to fit again with the tails that the spectrum's
// strong lines measured.
RegionFit fit_region_with_residual_lines(const RegionSettings& context, std::size_t first,
                                         std::size_t count, std::vector<PeakStart> starts,
                                         std::size_t region_index, double sigma);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_RESIDUAL_LINES_H
