#ifndef VESK_NUMERICS_SRC_SPECTRUM_REGIONS_H
#define VESK_NUMERICS_SRC_SPECTRUM_REGIONS_H

// A whole spectrum's lines: grouped into regions, fitted region by region, their widths from the
// width mode, and lines whose own width is undetermined fitted again with it tied.

#include <vector>

#include "parallel.h"
#include "spectrum/region_fit.h"

namespace vesk::numerics::detail {

// Fits the lines starting at @p starts, whose widths came from @p start_widths; @p sigma is their
// common width. With @p add_residual_lines, lines left significant in a region's residuals are
// added (the search), and a region that fails drops its weakest lines. The regions are shared
// among @p workers.
SpectrumFitResult fit_lines(const SpectrumFit& settings, const SpectrumData& data,
                            const Channels& channels, const std::vector<PeakStart>& starts,
                            StartWidths start_widths, double sigma, bool add_residual_lines,
                            Workers& workers);

// Start values for lines at given positions: the height above the local background there, and
// the common width.
std::vector<PeakStart> starts_at(const Channels& channels, const std::vector<double>& positions,
                                 double sigma);

// Fits lines at given positions. Where their width was estimated from the spectrum (no FWHM set,
// no window), Gaussian lines measure each line's width first: a line much wider than the
// estimate (the lines of a germanium detector widen with the energy) starts again with the width
// it came out with, in a region wide enough for its background.
SpectrumFitResult fit_lines_at(const SpectrumFit& settings, const SpectrumData& data,
                               const Channels& channels, const std::vector<double>& positions,
                               double sigma, Workers& workers);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_REGIONS_H
