#ifndef VESK_NUMERICS_SRC_SPECTRUM_REGION_FIT_H
#define VESK_NUMERICS_SRC_SPECTRUM_REGION_FIT_H

// The fit of one region of a spectrum: start values, the least-squares core, and the records of
// its lines and background in absolute x.

#include <cstddef>
#include <vector>

#include "spectrum/peak_search.h"
#include "spectrum/region_model.h"
#include "vesk/numerics/SpectrumFit.h"

namespace vesk::numerics::detail {

// Where a line starts: its position, height above the background and Gaussian width (x units).
struct PeakStart {
  double mean;
  double amplitude;
  double sigma;
};

struct RegionFit {
  SpectrumRegion region;
  std::vector<SpectrumPeak> peaks;
};

// Where the start widths of a spectrum's lines come from: the search's smoothing scales, which
// take lines wider than they are, or a measurement (the spectrum's common width, a caller's FWHM
// or the lines' own Gaussian fits).
enum class StartWidths { searched, measured };

// What every region of one spectrum is fitted with.
struct RegionSettings {
  const SpectrumFit& settings;
  const Channels& channels;
  ShapeSettings shape;
  // Whether lines of another shape than the Gaussian start from Gaussian lines fitted first.
  // Rough positions given by a caller need it, and so do the search's start values: from them
  // the tailed K-40 line of a germanium spectrum ended in a wrong minimum. Lines that start from
  // a fit of their own shape do without, and so do those of starts_as_given shapes at a caller's
  // positions with a caller's FWHM.
  bool gaussian_first = true;
  // Whether the fit only gives start values to another, which needs them to a few digits.
  bool start_values_only = false;
  // Whether the tail, tail slope and step that the shape settings leave free are held at the
  // values a fit would start them from.
  bool shape_held_at_start = false;
  StartWidths start_widths = StartWidths::searched;
};

// Whether lines of `shape` at a caller's positions with a caller's FWHM start from those, as a
// Gaussian line does. A pseudo-Voigt or Lorentzian line has a Gaussian's height, position and
// width (and a mixing ratio started at its middle): on 40 windows of five overlapping lines
// started up to 1.2 away from their positions (FWHM about 3) with FWHM 1.8 to 5, they reached
// the same minima as from Gaussian lines fitted first, at half the cost. Voigt lines (whose
// width is split between sigma and gamma) and tailed lines did not: 3 of 80 ended in minima with
// chisq 39 to 220 times higher.
bool starts_as_given(LineShape shape);

// The shape settings of a spectrum's regions: the fit's, without a resolution yet.
ShapeSettings shape_settings(const SpectrumFit& settings);

// Every line of a region with its width from the fit's width mode.
std::vector<WidthSource> widths_of(const SpectrumFit& settings, std::size_t lines);

// Fits lines starting at @p starts, their widths from @p widths, over the points
// [first, first + count); peaks are recorded as of region @p region_index.
RegionFit fit_region(const RegionSettings& context, std::size_t first, std::size_t count,
                     const std::vector<PeakStart>& starts, const std::vector<WidthSource>& widths,
                     std::size_t region_index);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_REGION_FIT_H
