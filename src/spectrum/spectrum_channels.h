#ifndef VESK_NUMERICS_SRC_SPECTRUM_SPECTRUM_CHANNELS_H
#define VESK_NUMERICS_SRC_SPECTRUM_SPECTRUM_CHANNELS_H

// A caller's spectrum checked and turned into the channels that the search and the fits use.

#include <string>

#include "spectrum/peak_search.h"
#include "vesk/numerics/SpectrumFit.h"

namespace vesk::numerics::detail {

// The input as the search and the fit use it, or why it cannot be used.
struct PreparedChannels {
  Channels channels;
  int status = 0;
  std::string status_str;
};

// Checks every value of @p data (finite, sorted x, positive errors, counts not negative) and
// copies it into increasing x with the variance of each value.
PreparedChannels prepare_channels(const SpectrumData& data);

// The mean channel spacing, to turn widths in x units into channels.
double spacing(const Channels& channels);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_SPECTRUM_CHANNELS_H
