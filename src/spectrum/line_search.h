#ifndef VESK_NUMERICS_SRC_SPECTRUM_LINE_SEARCH_H
#define VESK_NUMERICS_SRC_SPECTRUM_LINE_SEARCH_H

// The search of a whole spectrum for its lines, at several smoothings.

#include <vector>

#include "spectrum/peak_search.h"
#include "vesk/numerics/SpectrumFit.h"

namespace vesk::numerics::detail {

// The lines' common sigma in x units: from the settings' FWHM, else estimated from the data
// (NaN when no line stands out). The search's smoothings are shared among @p workers.
double common_sigma(const SpectrumFit& settings, const Channels& channels, Workers& workers);

// Every line significant at one of several smoothings around @p sigma, sorted by mean, the same
// line seen at several smoothings once.
std::vector<FoundPeak> search_lines(const SpectrumFit& settings, const Channels& channels,
                                    double sigma, Workers& workers);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_LINE_SEARCH_H
