#include "spectrum/line_measures.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "spectrum/region_model.h"
#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics {

namespace detail {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
// Currie's one-sided quantile for false positives and false negatives of 5 % each.
constexpr double kCurrieK = 1.645;
// The background under a line is summed over this many FWHM on either side of its mean, where
// a Gaussian line holds 99.9 % of its area.
constexpr double kLimitReachInFwhm = 1.25;
// The derivatives of the background with respect to its coefficients are taken by central
// differences over this share of each coefficient's standard error: exact for polynomials, and
// far inside the curvature of an exponential.
constexpr double kDerivativeStepInErrors = 1e-3;
constexpr const char* kCoefficientNames[] = {"b0", "b1", "b2"};

// The channels [first, end) within the reach of a line's mean and inside its region; at least
// the channel nearest the mean, for lines narrower than a channel.
struct Window {
  std::size_t first;
  std::size_t end;
};

Window window_of(const Channels& channels, const SpectrumPeak& line, const SpectrumRegion& region) {
  const double reach = kLimitReachInFwhm * line.fwhm;
  const double lo = std::max(line.mean - reach, region.lo);
  const double hi = std::min(line.mean + reach, region.hi);
  const auto begin = channels.x.begin();
  auto first = static_cast<std::size_t>(std::lower_bound(begin, channels.x.end(), lo) - begin);
  auto end = static_cast<std::size_t>(std::upper_bound(begin, channels.x.end(), hi) - begin);
  if (end <= first) {
    first = static_cast<std::size_t>(std::lround(channels.channel_of(line.mean)));
    end = first + 1;
  }
  return {first, end};
}

// The width of a channel at position x: the mean spacing of the nearest channel's neighbours.
double channel_width(const Channels& channels, double x) {
  const std::size_t last = channels.size() - 1;
  const auto nearest = static_cast<std::size_t>(std::lround(channels.channel_of(x)));
  const std::size_t left = nearest > 0 ? nearest - 1 : 0;
  const std::size_t right = std::min(nearest + 1, last);
  return (channels.x[right] - channels.x[left]) / static_cast<double>(right - left);
}

// The result's own background summed over the window, so that any background the result can
// evaluate is summed as it was fitted: that of the line's region where the window lies in it
// (the search for the region at each point costs more than the background itself), and the
// result's background elsewhere.
double background_sum(const SpectrumFitResult& result, std::size_t region, const Channels& channels,
                      const Window& window) {
  const SpectrumRegion& own = result.regions[region];
  // x is sorted: a window whose ends lie in the region lies in it.
  if (own.ok() && window.end > window.first && own.contains(channels.x[window.first]) &&
      own.contains(channels.x[window.end - 1])) {
    return region_background_sum(result, region, channels.x.data() + window.first,
                                 window.end - window.first);
  }
  double sum = 0.0;
  for (std::size_t i = window.first; i < window.end; ++i) {
    const double x = channels.x[i];
    sum += own.ok() && own.contains(x) ? region_background(result, region, x)
                                       : result.evaluate_background(x);
  }
  return sum;
}

// The variance of the background summed over the window, g' C g, with g the derivatives of the
// sum with respect to the background coefficients of the region and C their covariance.
// `probe` is a copy of the result whose coefficients are moved and put back.
double background_sum_variance(SpectrumFitResult& probe, std::size_t region_index,
                               const Channels& channels, const Window& window) {
  SpectrumRegion& region = probe.regions[region_index];
  const std::vector<std::string>& names = region.parameter_names;
  const std::size_t size = names.size();
  std::array<double*, 3> coefficients = {&region.b0, &region.b1, &region.b2};
  std::vector<std::size_t> index;
  std::vector<double> gradient;
  for (std::size_t c = 0; c < coefficients.size(); ++c) {
    const auto at = std::find(names.begin(), names.end(), kCoefficientNames[c]);
    if (at == names.end()) continue;
    const auto j = static_cast<std::size_t>(at - names.begin());
    const double error = std::sqrt(region.covariance[j * size + j]);
    double derivative = 0.0;
    if (error > 0.0 && std::isfinite(error)) {
      const double value = *coefficients[c];
      const double step = kDerivativeStepInErrors * error;
      *coefficients[c] = value + step;
      const double above = background_sum(probe, region_index, channels, window);
      *coefficients[c] = value - step;
      const double below = background_sum(probe, region_index, channels, window);
      *coefficients[c] = value;
      derivative = (above - below) / (2.0 * step);
    }
    index.push_back(j);
    gradient.push_back(derivative);
  }
  double variance = 0.0;
  for (std::size_t a = 0; a < index.size(); ++a) {
    for (std::size_t b = 0; b < index.size(); ++b) {
      variance += gradient[a] * gradient[b] * region.covariance[index[a] * size + index[b]];
    }
  }
  return std::max(variance, 0.0);
}

// The variance of the data summed over the window when no line is there (see SpectrumPeak).
double null_data_variance(const SpectrumRegion& region, const Channels& channels,
                          const Window& window, double background) {
  switch (channels.statistics) {
    case Statistics::poisson:
      return std::max(background, 0.0);
    case Statistics::weighted:
      return std::accumulate(channels.variance.begin() + static_cast<std::ptrdiff_t>(window.first),
                             channels.variance.begin() + static_cast<std::ptrdiff_t>(window.end),
                             0.0);
    case Statistics::unweighted:
      break;
  }
  return static_cast<double>(window.end - window.first) * region.chisq_dof;
}

bool known_live_time(double live_time) { return std::isfinite(live_time) && live_time > 0.0; }

// The variance of the data summed over the window as measured (counts: the counts themselves).
double data_variance(const SpectrumRegion& region, const Channels& channels, const Window& window) {
  if (channels.statistics != Statistics::poisson) {
    return null_data_variance(region, channels, window, 0.0);
  }
  return std::accumulate(channels.y.begin() + static_cast<std::ptrdiff_t>(window.first),
                         channels.y.begin() + static_cast<std::ptrdiff_t>(window.end), 0.0);
}

}  // namespace

SpectrumPeak absent_line(const SpectrumRegion& region, Background background,
                         const Channels& channels, double position, double sigma,
                         std::size_t region_index) {
  SpectrumPeak line{kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, region_index};
  if (!region.ok() || channels.size() < 2) return line;
  line.mean = position;
  line.sigma = sigma;
  line.fwhm = kFwhmPerSigma * sigma;
  line.mean_err = line.sigma_err = line.fwhm_err = 0.0;  // held, not fitted
  SpectrumFitResult alone;
  alone.background = background;
  alone.regions = {region};
  // A line asked for beyond the region's outermost point is measured at that point.
  SpectrumPeak inside = line;
  inside.mean = std::clamp(position, region.lo, region.hi);
  const Window window = window_of(channels, inside, region);
  const double gross =
      std::accumulate(channels.y.begin() + static_cast<std::ptrdiff_t>(window.first),
                      channels.y.begin() + static_cast<std::ptrdiff_t>(window.end), 0.0);
  const double net = gross - background_sum(alone, 0, channels, window);
  const double error = std::sqrt(data_variance(region, channels, window) +
                                 background_sum_variance(alone, 0, channels, window));
  const double width = channel_width(channels, position);
  line.area = net * width;
  line.area_err = error * width;
  line.amplitude = line.area / (kAreaPerAmplitudeSigma * sigma);
  line.amplitude_err = line.area_err / (kAreaPerAmplitudeSigma * sigma);
  return line;
}

void add_line_measures(SpectrumFitResult& result, const Channels& channels, double live_time) {
  if (result.peaks.empty() || channels.size() < 2) return;
  SpectrumFitResult probe = result;
  for (SpectrumPeak& line : result.peaks) {
    const SpectrumRegion& region = result.regions[line.region];
    if (!region.ok() || !std::isfinite(line.mean)) continue;
    const double width = channel_width(channels, line.mean);
    line.counts = line.area / width;
    line.counts_err = line.area_err / width;
    if (known_live_time(live_time)) {
      line.rate = line.counts / live_time;
      line.rate_err = line.counts_err / live_time;
    }
    const Window window = window_of(channels, line, region);
    const double background = background_sum(result, line.region, channels, window);
    const double sigma_0 = std::sqrt(null_data_variance(region, channels, window, background) +
                                     background_sum_variance(probe, line.region, channels, window));
    line.critical_level = kCurrieK * sigma_0;
    line.detection_limit = channels.statistics == Statistics::poisson
                               ? kCurrieK * kCurrieK + 2.0 * line.critical_level
                               : 2.0 * line.critical_level;
    line.significant = line.counts > line.critical_level;
  }
}

}  // namespace detail

SpectrumFitResult SpectrumFit::subtract_blank(SpectrumFitResult& sample,
                                              const SpectrumData& blank) const {
  // The blank is fitted at the sample lines that have a position inside it, in sorted order,
  // which is the order of the blank's fitted lines.
  double lo = -std::numeric_limits<double>::infinity();
  double hi = std::numeric_limits<double>::infinity();
  if (blank.x != nullptr && blank.size > 0) {
    lo = std::min(blank.x[0], blank.x[blank.size - 1]);
    hi = std::max(blank.x[0], blank.x[blank.size - 1]);
  }
  if (has_window()) lo = std::max(lo, get_window_lo()), hi = std::min(hi, get_window_hi());
  std::vector<std::size_t> lines;
  for (std::size_t k = 0; k < sample.peaks.size(); ++k) {
    const double mean = sample.peaks[k].mean;
    if (lo <= mean && mean <= hi) lines.push_back(k);  // false for NaN
  }
  std::stable_sort(lines.begin(), lines.end(), [&](std::size_t a, std::size_t b) {
    return sample.peaks[a].mean < sample.peaks[b].mean;
  });
  std::vector<double> positions;
  for (std::size_t k : lines) positions.push_back(sample.peaks[k].mean);
  SpectrumFitResult fitted = fit(blank, positions);
  if (fitted.status != 0 || fitted.peaks.size() != lines.size()) return fitted;
  for (std::size_t j = 0; j < lines.size(); ++j) {
    SpectrumPeak& line = sample.peaks[lines[j]];
    const SpectrumPeak& partner = fitted.peaks[j];
    line.net_rate = line.rate - partner.rate;
    line.net_rate_err = std::hypot(line.rate_err, partner.rate_err);
  }
  return fitted;
}

}  // namespace vesk::numerics
