#include "spectrum/line_search.h"

#include <algorithm>
#include <cmath>

#include "spectrum/spectrum_channels.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics::detail {

namespace {

// A peak's own width, measured by the search, is at most this factor wider than the common
// width; a maximum this factor narrower is noise.
constexpr double kWidthSpread = 4.0;
// Maxima of the significance closer than this are one peak: a doublet's lines lie at least
// 2.8 sigma apart when the fit can tell them apart at all.
constexpr double kMergeDistanceInSigma = 1.5;
// Lines are at least this wide (sigma, in channels): narrower ones cannot be sampled, and noise
// on one or two channels measures about 0.5 to 0.8.
constexpr double kNarrowestLineInChannels = 0.9;
// The smoothings of the search, relative to the one that suits the common width.
constexpr double kSearchScales[] = {0.6, 1.0, 1.6, 2.6, 4.2};

}  // namespace

double common_sigma(const SpectrumFit& settings, const Channels& channels, Workers& workers) {
  const double fwhm = settings.get_fwhm();
  if (fwhm > 0.0) return fwhm / kFwhmPerSigma;
  return estimate_sigma(channels, settings.get_threshold(), workers);
}

std::vector<FoundPeak> search_lines(const SpectrumFit& settings, const Channels& channels,
                                    double sigma, Workers& workers) {
  std::vector<FoundPeak> candidates;
  if (!(sigma > 0.0)) return candidates;
  const double step = spacing(channels);
  // Peak widths change across a spectrum (a detector's resolution with energy): the search looks
  // with smoothing for narrower and for wider peaks too.
  for (double scale : kSearchScales) {
    const int half_width = matched_half_width(scale * sigma / step);
    for (const Candidate& c :
         significant_maxima(channels, half_width, settings.get_threshold(), workers)) {
      const double mean = channels.x_at(c.channel);
      if (settings.has_window() &&
          !(settings.get_window_lo() <= mean && mean <= settings.get_window_hi())) {
        continue;
      }
      // A maximum far narrower than the lines, or narrower than a channel, is a fluctuation of
      // a few channels, not a line.
      const double measured = c.sigma_channels * std::fabs(step);
      if (measured < sigma / kWidthSpread || c.sigma_channels < kNarrowestLineInChannels) continue;
      const double own_sigma = std::min(measured, sigma * kWidthSpread);
      candidates.push_back({mean, c.height, own_sigma, kFwhmPerSigma * own_sigma, c.significance});
    }
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const FoundPeak& a, const FoundPeak& b) { return a.mean < b.mean; });
  // The same peak seen at several smoothings, or noise on a peak's top that splits it into two
  // maxima: the most significant stays.
  std::vector<FoundPeak> found;
  for (const FoundPeak& peak : candidates) {
    if (!found.empty() && peak.mean - found.back().mean <
                              kMergeDistanceInSigma * std::max(peak.sigma, found.back().sigma)) {
      if (peak.significance > found.back().significance) found.back() = peak;
      continue;
    }
    found.push_back(peak);
  }
  return found;
}

}  // namespace vesk::numerics::detail
