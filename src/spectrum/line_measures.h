#ifndef VESK_NUMERICS_SRC_SPECTRUM_LINE_MEASURES_H
#define VESK_NUMERICS_SRC_SPECTRUM_LINE_MEASURES_H

// What a counting laboratory reads off a fitted line: net counts, the count rate, and Currie's
// critical level and detection limit from the fitted background under it (see SpectrumPeak).

#include "spectrum/peak_search.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::numerics::detail {

// Sets the counts, rates, limits and significance of every line of `result`, fitted to
// `channels`; lines of failed regions keep NaN and false. `live_time` in seconds, NaN if unknown.
void add_line_measures(SpectrumFitResult& result, const Channels& channels, double live_time);

// A line asked for at `position` that the data do not hold, in a region fitted without it: held
// at that position and width `sigma`, with the net counts of the channels within 1.25 FWHM of
// it (the data less the region's background, which may be negative) as its area, and their
// error. NaN where the region's fit failed.
SpectrumPeak absent_line(const SpectrumRegion& region, Background background,
                         const Channels& channels, double position, double sigma,
                         std::size_t region_index);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_LINE_MEASURES_H
