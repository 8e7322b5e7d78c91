#ifndef VESK_NUMERICS_SRC_SPECTRUM_PEAK_SEARCH_H
#define VESK_NUMERICS_SRC_SPECTRUM_PEAK_SEARCH_H

// The peak search: the significance of the smoothed second derivative, its local maxima, and
// the width of the peaks when the caller does not give it. Positions are handled as channel
// indexes here; the spectrum's x grid converts them.

#include <cstddef>
#include <vector>

#include "parallel.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::numerics::detail {

// The second derivative of a spectrum smoothed over 2 half_width + 1 channels, and its
// significance -d2 / sigma(d2); both 0 within half_width of either end.
struct SecondDerivative {
  std::vector<double> value;
  std::vector<double> significance;
};

struct Candidate {
  double channel;         // refined, fractional
  double significance;    // -d2 / sigma(d2)
  double height;          // y above the local background, in y units
  double sigma_channels;  // width, from where the second derivative changes sign
};

struct SearchedSmoothing {
  int half_width;
  double threshold;
  std::vector<Candidate> maxima;
};

// A spectrum as the search and the fit see it: x increasing, with the variance of each value
// for the significance (counts: y; weighted: sigma^2; unweighted: one robust estimate). It
// belongs to one call, which keeps a buffer for the second derivative: the width estimate and the
// search look at one smoothing after another, and reusing the same memory for each spares a
// process whose allocator returns freed memory to the system a page fault for every page of
// every smoothing.
struct Channels {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> sigma;  // weighted only
  std::vector<double> variance;
  Statistics statistics = Statistics::unweighted;
  mutable SecondDerivative derivative;
  // The maxima found so far, by smoothing and threshold: the width estimate and the search look
  // at some smoothings alike.
  mutable std::vector<SearchedSmoothing> searched;
  std::size_t size() const { return x.size(); }
  // x at a fractional channel index, by linear interpolation.
  double x_at(double channel) const;
  // The fractional channel index of position x (clamped to the data).
  double channel_of(double position) const;
};

// The variance of white noise in y, from the median absolute deviation of second differences,
// which a smooth signal barely touches.
double robust_noise_variance(const std::vector<double>& y);

// The expected counts of every channel, for their Poisson variance: the mean of the channel and
// its neighbours, which a single count or an empty channel does not throw far off.
std::vector<double> expected_counts(const std::vector<double>& y);

// Local maxima of the significance of the second derivative, smoothed over 2 half_width + 1
// channels, that exceed `threshold`, in channel order. The `workers` share the channels; what
// is found does not depend on their number.
std::vector<Candidate> significant_maxima(const Channels& channels, int half_width,
                                          double threshold, Workers& workers);
// The same in the calling thread alone.
std::vector<Candidate> significant_maxima(const Channels& channels, int half_width,
                                          double threshold);

// The smoothing half-width (channels) for finding peaks of width sigma (channels).
int matched_half_width(double sigma_channels);

// The peaks' sigma in x units estimated from the data: the median width of single-peak fits to
// the most significant peaks; NaN when no peak stands out. The `workers` share the work; the
// estimate does not depend on their number.
double estimate_sigma(const Channels& channels, double threshold, Workers& workers);

// The height above the local background at a channel: the smoothed value there minus the lowest
// smoothed value within `reach` channels on either side.
double height_at(const Channels& channels, std::size_t channel, int reach);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_PEAK_SEARCH_H
