#include "vesk/numerics/SpectrumFit.h"

#include <gsl/gsl_errno.h>

#include <Eigen/Core>
#include <Eigen/QR>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "least_squares.h"
#include "spectrum/evaluation.h"
#include "spectrum/line_measures.h"
#include "spectrum/peak_search.h"
#include "spectrum/region_model.h"
#include "vesk/numerics/filter.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics {

namespace {

using detail::Channels;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kSmallestAccuracy = 1e-12;
constexpr double kLargestAccuracy = 0.01;
// A region reaches this many FWHM beyond its outer peaks, where a Gaussian has fallen below
// 1e-7 of its height; peaks whose regions would overlap share one.
constexpr double kRegionReachInFwhm = 2.5;
// The background's start values come from this share of the region's points at either end.
constexpr std::size_t kEdgeShare = 8;
// Counts: the start background is at least this many counts, so that the model starts positive.
constexpr double kSmallestCountsBackground = 0.1;
// Lines that a region's fit leaves significant in its residuals are added at most this often,
// and only this many sigma away from the peaks already there.
constexpr int kResidualPasses = 2;
constexpr double kResidualSeparationInSigma = 1.0;
// A residual line closer than this to a fitted peak splits it.
constexpr double kSplitDistanceInFwhm = 1.5;
constexpr char kNotEnoughDataText[] = "Not enough data points";
// A region reaches at least this many channels beyond its outer peaks.
constexpr double kShortestReachInChannels = 5.0;
// A peak is at most this share of its region's span wide.
constexpr double kWidestSigmaShare = 0.5;
// A peak starts at least this share of the region's range of values high.
constexpr double kLeastStartHeight = 1e-3;

struct PeakStart {
  double mean;
  double amplitude;
  double sigma;
};

// The input as the search and the fit use it, or why it cannot be used.
struct Prepared {
  Channels channels;
  int status = GSL_SUCCESS;
  std::string status_str;
};

std::string at_point(const char* what, std::size_t index) {
  return std::string(what) + " at point " + std::to_string(index);
}

Prepared prepare(const SpectrumData& data) {
  Prepared prepared;
  const auto refuse = [&](int status, std::string text) {
    prepared.status = status;
    prepared.status_str = std::move(text);
    return prepared;
  };
  if (data.size < 3) return refuse(GSL_FAILURE, kNotEnoughDataText);
  if (data.x == nullptr || data.y == nullptr ||
      (data.statistics == Statistics::weighted && data.sigma == nullptr)) {
    return refuse(GSL_EFAULT, "missing data array");
  }
  const bool weighted = data.statistics == Statistics::weighted;
  for (std::size_t i = 0; i < data.size; ++i) {
    if (!std::isfinite(data.x[i])) return refuse(GSL_EDOM, at_point("non-finite x", i));
    if (!std::isfinite(data.y[i])) return refuse(GSL_EDOM, at_point("non-finite y", i));
    if (weighted && !(std::isfinite(data.sigma[i]) && data.sigma[i] > 0.0)) {
      return refuse(GSL_EDOM, at_point("error not positive and finite", i));
    }
    if (data.statistics == Statistics::poisson && data.y[i] < 0.0) {
      return refuse(GSL_EDOM, at_point("negative count", i));
    }
  }
  const bool decreasing = data.x[data.size - 1] < data.x[0];
  for (std::size_t i = 1; i < data.size; ++i) {
    if (decreasing ? data.x[i] > data.x[i - 1] : data.x[i] < data.x[i - 1]) {
      return refuse(GSL_EDOM, at_point("x out of order", i));
    }
  }
  Channels& channels = prepared.channels;
  channels.statistics = data.statistics;
  channels.x.assign(data.x, data.x + data.size);
  channels.y.assign(data.y, data.y + data.size);
  if (weighted) channels.sigma.assign(data.sigma, data.sigma + data.size);
  if (decreasing) {
    std::reverse(channels.x.begin(), channels.x.end());
    std::reverse(channels.y.begin(), channels.y.end());
    std::reverse(channels.sigma.begin(), channels.sigma.end());
  }
  switch (data.statistics) {
    case Statistics::poisson:
      channels.variance = detail::expected_counts(channels.y);
      break;
    case Statistics::weighted:
      channels.variance.resize(data.size);
      for (std::size_t i = 0; i < data.size; ++i) {
        channels.variance[i] = channels.sigma[i] * channels.sigma[i];
      }
      break;
    case Statistics::unweighted:
      channels.variance.assign(data.size, detail::robust_noise_variance(channels.y));
      break;
  }
  return prepared;
}

SpectrumFitResult refused(const SpectrumFit& settings, const SpectrumData& data, int status,
                          std::string text) {
  SpectrumFitResult result;
  result.background = settings.get_background();
  result.statistics = data.statistics;
  result.status = status;
  result.status_str = std::move(text);
  return result;
}

// The mean channel spacing, to turn widths in x units into channels.
double spacing(const Channels& channels) {
  return (channels.x.back() - channels.x.front()) / static_cast<double>(channels.size() - 1);
}

double peak_sigma(const SpectrumFit& settings, const Channels& channels) {
  const double fwhm = settings.get_fwhm();
  if (fwhm > 0.0) return fwhm / kFwhmPerSigma;
  return detail::estimate_sigma(channels, settings.get_threshold());
}

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

std::vector<FoundPeak> search(const SpectrumFit& settings, const Channels& channels, double sigma) {
  std::vector<FoundPeak> candidates;
  if (!(sigma > 0.0)) return candidates;
  const double step = spacing(channels);
  // Peak widths change across a spectrum (a detector's resolution with energy): the search looks
  // with smoothing for narrower and for wider peaks too.
  for (double scale : kSearchScales) {
    const int half_width = detail::matched_half_width(scale * sigma / step);
    for (const detail::Candidate& c :
         detail::significant_maxima(channels, half_width, settings.get_threshold())) {
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

// ---- One region ----------------------------------------------------------------------------

struct RegionFit {
  SpectrumRegion region;
  std::vector<SpectrumPeak> peaks;
};

detail::Statistic statistic_of(Statistics statistics) {
  switch (statistics) {
    case Statistics::weighted:
      return detail::Statistic::weighted;
    case Statistics::poisson:
      return detail::Statistic::poisson;
    case Statistics::unweighted:
      break;
  }
  return detail::Statistic::least_squares;
}

// Start values of the background from the mean values at either end of the region.
void background_start(const detail::RegionLayout& layout, const Channels& channels,
                      std::size_t first, std::size_t count, const std::vector<double>& u,
                      Eigen::VectorXd& start) {
  const std::size_t edge = std::max<std::size_t>(1, count / kEdgeShare);
  double left = 0.0, right = 0.0, u_left = 0.0, u_right = 0.0;
  for (std::size_t i = 0; i < edge; ++i) {
    left += channels.y[first + i];
    u_left += u[i];
    right += channels.y[first + count - 1 - i];
    u_right += u[count - 1 - i];
  }
  const double n = static_cast<double>(edge);
  left /= n, right /= n, u_left /= n, u_right /= n;
  if (channels.statistics == Statistics::poisson) {
    left = std::max(left, kSmallestCountsBackground);
    right = std::max(right, kSmallestCountsBackground);
  }
  const double span = u_right - u_left;
  switch (layout.background()) {
    case Background::none:
      return;
    case Background::constant:
      start(0) = 0.5 * (left + right);
      return;
    case Background::linear:
    case Background::quadratic: {
      double slope = span > 0.0 ? (right - left) / span : 0.0;
      // Counts need a model that is positive at every point from the start: the line through
      // the mean values at either end can dip below zero at the region's outermost points.
      const double lowest =
          std::min(left + slope * (u.front() - u_left), right + slope * (u.back() - u_right));
      if (channels.statistics == Statistics::poisson && lowest < kSmallestCountsBackground) {
        slope = 0.0;
        left = std::min(left, right);
      }
      start(0) = left - slope * u_left;
      start(1) = slope;
      if (layout.background() == Background::quadratic) start(2) = 0.0;
      return;
    }
    case Background::exponential: {
      if (left > 0.0 && right > 0.0 && span > 0.0) {
        start(1) = -std::log(right / left) / span;
        start(0) = left * std::exp(start(1) * u_left);
      } else {
        start(0) = std::max(0.5 * (left + right), kSmallestCountsBackground);
        start(1) = 0.0;
      }
      return;
    }
  }
}

// With the peaks' positions and widths at their start values the model is linear in the heights
// and in a polynomial background's coefficients; their weighted least-squares values are far
// better start values than heights read off the data, above all for overlapping lines.
void linear_start(const detail::RegionLayout& layout, const Channels& channels, std::size_t first,
                  const std::vector<double>& u, double least_height, Eigen::VectorXd& start) {
  const auto n = static_cast<Eigen::Index>(u.size());
  const bool polynomial = layout.background() == Background::constant ||
                          layout.background() == Background::linear ||
                          layout.background() == Background::quadratic;
  const Eigen::Index background = polynomial ? layout.background_size() : 0;
  const auto peaks = static_cast<Eigen::Index>(layout.peak_count());
  if (background + peaks == 0) return;  // nothing linear to solve for
  Eigen::MatrixXd design(n, background + peaks);
  Eigen::VectorXd target(n);
  std::vector<double> fixed_background(u.size(), 0.0);
  if (!polynomial) {
    detail::evaluate_background(layout.background(), start.data(), u.data(), u.size(),
                                detail::best_vector_kernels(), fixed_background.data(), nullptr, 0);
  }
  for (Eigen::Index i = 0; i < n; ++i) {
    const auto point = static_cast<std::size_t>(i);
    const double y = channels.y[first + point];
    double weight = 1.0;
    if (channels.statistics == Statistics::weighted) weight = 1.0 / channels.sigma[first + point];
    if (channels.statistics == Statistics::poisson) weight = 1.0 / std::sqrt(std::max(y, 1.0));
    double power = weight;
    for (Eigen::Index j = 0; j < background; ++j, power *= u[point]) design(i, j) = power;
    for (Eigen::Index k = 0; k < peaks; ++k) {
      const auto peak = static_cast<std::size_t>(k);
      const double distance = (u[point] - start(layout.mean(peak))) / start(layout.sigma(peak));
      design(i, background + k) = weight * std::exp(-0.5 * distance * distance);
    }
    target(i) = weight * (y - fixed_background[point]);
  }
  const Eigen::VectorXd solution = design.colPivHouseholderQr().solve(target);
  if (!solution.allFinite()) return;
  for (Eigen::Index k = 0; k < peaks; ++k) {
    start(layout.amplitude(static_cast<std::size_t>(k))) =
        std::max(solution(background + k), least_height);
  }
  // Counts keep the positive background they started with unless the fitted one is positive too.
  const auto positive_at = [&](double x) {
    double value = 0.0;
    double power = 1.0;
    for (Eigen::Index j = 0; j < background; ++j, power *= x) value += solution(j) * power;
    return value > 0.0;
  };
  if (channels.statistics != Statistics::poisson ||
      (positive_at(u.front()) && positive_at(u.back()) && positive_at(0.0))) {
    start.head(background) = solution.head(background);
  }
}

// Flips a negative width (the model is even in sigma) and its covariances.
void make_width_positive(Eigen::Index index, Eigen::VectorXd& parameters,
                         Eigen::MatrixXd& covariance) {
  if (!(parameters(index) < 0.0)) return;
  parameters(index) = -parameters(index);
  covariance.row(index) *= -1.0;
  covariance.col(index) *= -1.0;
}

SpectrumPeak peak_record(const detail::RegionLayout& layout, std::size_t k,
                         const Eigen::VectorXd& parameters, const Eigen::MatrixXd& covariance,
                         std::size_t region) {
  const Eigen::Index a = layout.amplitude(k), m = layout.mean(k), s = layout.sigma(k);
  SpectrumPeak peak;
  peak.amplitude = parameters(a);
  peak.amplitude_err = std::sqrt(covariance(a, a));
  peak.mean = parameters(m);
  peak.mean_err = std::sqrt(covariance(m, m));
  peak.sigma = parameters(s);
  peak.sigma_err = std::sqrt(covariance(s, s));
  peak.fwhm = kFwhmPerSigma * peak.sigma;
  peak.fwhm_err = kFwhmPerSigma * peak.sigma_err;
  peak.area = kAreaPerAmplitudeSigma * peak.amplitude * peak.sigma;
  // area = c A sigma: var = c^2 (sigma^2 var A + A^2 var sigma + 2 A sigma cov(A, sigma))
  const double variance = peak.sigma * peak.sigma * covariance(a, a) +
                          peak.amplitude * peak.amplitude * covariance(s, s) +
                          2.0 * peak.amplitude * peak.sigma * covariance(a, s);
  peak.area_err = kAreaPerAmplitudeSigma * std::sqrt(std::max(variance, 0.0));
  peak.region = region;
  return peak;
}

SpectrumPeak failed_peak(std::size_t region) {
  return {kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, region};
}

void set_coefficients(SpectrumRegion& region, const detail::RegionLayout& layout,
                      const Eigen::VectorXd& parameters, const Eigen::MatrixXd& covariance) {
  double* values[] = {&region.b0, &region.b1, &region.b2};
  double* errors[] = {&region.b0_err, &region.b1_err, &region.b2_err};
  for (Eigen::Index i = 0; i < layout.background_size(); ++i) {
    *values[i] = parameters(i);
    *errors[i] = std::sqrt(covariance(i, i));
  }
}

RegionFit fit_region(const SpectrumFit& settings, const Channels& channels, std::size_t first,
                     std::size_t count, const std::vector<PeakStart>& starts,
                     std::size_t region_index) {
  const detail::RegionLayout layout(settings.get_background(), starts.size(),
                                    settings.get_same_width());
  RegionFit fit;
  SpectrumRegion& region = fit.region;
  // A region may hold no point at all (lines at the very edge of the data, an empty window).
  region.lo = count > 0 ? channels.x[first] : kNan;
  region.hi = count > 0 ? channels.x[first + count - 1] : kNan;
  region.points = count;
  region.b0 = region.b0_err = region.b1 = region.b1_err = region.b2 = region.b2_err = 0.0;
  region.parameter_names = layout.names();
  const auto parameter_count = static_cast<std::size_t>(layout.size());
  region.dof = static_cast<int>(count) - static_cast<int>(parameter_count);
  const auto fail = [&](int status, std::string text, int iterations) {
    region.status = status;
    region.status_str = std::move(text);
    region.iterations = iterations;
    region.chisq = region.chisq_dof = kNan;
    region.b0 = region.b1 = region.b2 = kNan;
    region.b0_err = region.b1_err = region.b2_err = kNan;
    region.covariance.assign(parameter_count * parameter_count, kNan);
    fit.peaks.assign(starts.size(), failed_peak(region_index));
    return fit;
  };
  // No background and no line: there is nothing to fit.
  if (parameter_count == 0) return fail(GSL_EINVAL, "nothing to fit: no background and no line", 0);
  if (count <= parameter_count) return fail(GSL_FAILURE, kNotEnoughDataText, 0);

  const double centre = 0.5 * (region.lo + region.hi);
  std::vector<double> u(count);
  for (std::size_t i = 0; i < count; ++i) u[i] = channels.x[first + i] - centre;
  Eigen::VectorXd start = Eigen::VectorXd::Zero(layout.size());
  background_start(layout, channels, first, count, u, start);
  // Every peak starts with some height, as the model needs.
  const auto region_y = channels.y.begin() + static_cast<std::ptrdiff_t>(first);
  const auto [lowest_y, highest_y] =
      std::minmax_element(region_y, region_y + static_cast<std::ptrdiff_t>(count));
  const double least_height =
      kLeastStartHeight * std::max(*highest_y - *lowest_y, kLeastStartHeight);
  for (std::size_t k = 0; k < starts.size(); ++k) {
    start(layout.amplitude(k)) = std::max(starts[k].amplitude, least_height);
    start(layout.mean(k)) = starts[k].mean - centre;
    start(layout.sigma(k)) = std::min(starts[k].sigma, kWidestSigmaShare * (u.back() - u.front()));
  }
  linear_start(layout, channels, first, u, least_height, start);
  const detail::Observations observations{
      channels.y.data() + first,
      channels.statistics == Statistics::weighted ? channels.sigma.data() + first : nullptr, count,
      statistic_of(channels.statistics)};
  const double widest_sigma = kWidestSigmaShare * (u.back() - u.front());
  const detail::RegionModel model(layout, u.data(), widest_sigma, detail::best_vector_kernels());
  const auto minimum = detail::minimise(
      model, observations, start,
      {static_cast<std::size_t>(settings.get_max_iterations()), settings.get_accuracy()});
  if (minimum.status != GSL_SUCCESS) {
    return fail(minimum.status, gsl_strerror(minimum.status), minimum.iterations);
  }

  Eigen::MatrixXd covariance = detail::covariance_from(minimum.information);
  region.chisq = minimum.chisq;
  region.chisq_dof = region.chisq / region.dof;
  // Unweighted data carry their scale in the scatter about the fit.
  if (channels.statistics == Statistics::unweighted) covariance *= region.chisq_dof;
  const Eigen::MatrixXd transform = detail::to_absolute_x(layout, minimum.parameters, centre);
  Eigen::VectorXd parameters = detail::absolute_parameters(layout, minimum.parameters, centre);
  covariance = transform * covariance * transform.transpose();
  for (std::size_t k = 0; k < layout.peak_count(); ++k) {
    if (k == 0 || !layout.same_width())
      make_width_positive(layout.sigma(k), parameters, covariance);
  }
  region.status = GSL_SUCCESS;
  region.status_str = gsl_strerror(GSL_SUCCESS);
  region.iterations = minimum.iterations;
  set_coefficients(region, layout, parameters, covariance);
  region.covariance.assign(covariance.data(), covariance.data() + covariance.size());
  for (std::size_t k = 0; k < layout.peak_count(); ++k) {
    fit.peaks.push_back(peak_record(layout, k, parameters, covariance, region_index));
  }
  return fit;
}

// A line that the region's fit leaves in its residuals, as a start value, if one is significant
// and not at a peak already fitted.
bool residual_line(const SpectrumFit& settings, const Channels& channels, std::size_t first,
                   std::size_t count, const RegionFit& fit, double sigma, PeakStart& line) {
  Channels residuals;
  residuals.statistics = channels.statistics;
  residuals.x.assign(channels.x.begin() + static_cast<std::ptrdiff_t>(first),
                     channels.x.begin() + static_cast<std::ptrdiff_t>(first + count));
  residuals.variance.assign(channels.variance.begin() + static_cast<std::ptrdiff_t>(first),
                            channels.variance.begin() + static_cast<std::ptrdiff_t>(first + count));
  residuals.y.resize(count);
  SpectrumFitResult fitted;
  fitted.background = settings.get_background();
  fitted.regions = {fit.region};
  for (SpectrumPeak peak : fit.peaks) {
    peak.region = 0;
    fitted.peaks.push_back(peak);
  }
  for (std::size_t i = 0; i < count; ++i) {
    residuals.y[i] = channels.y[first + i] - fitted.evaluate(residuals.x[i]);
  }
  const int half_width = detail::matched_half_width(sigma / spacing(channels));
  double best = settings.get_threshold();
  bool found = false;
  for (const detail::Candidate& c :
       detail::significant_maxima(residuals, half_width, settings.get_threshold())) {
    const double mean = residuals.x_at(c.channel);
    const bool apart = std::all_of(fit.peaks.begin(), fit.peaks.end(), [&](const SpectrumPeak& p) {
      return std::fabs(p.mean - mean) > kResidualSeparationInSigma * sigma;
    });
    if (apart && c.significance > best) {
      best = c.significance;
      line = {mean, std::max(c.height, 0.0), sigma};
      found = true;
    }
  }
  return found;
}

// Adds a line found in the residuals. A line next to a fitted peak often means that peak is a
// doublet of similar lines fitted as one broad line, centred between the two: the peak is then
// split into the new line and its mirror image about the old centre, both of the common width.
// Returns whether it split one.
bool split_nearest(std::vector<PeakStart>& starts, const PeakStart& line, double sigma) {
  const auto nearest =
      std::min_element(starts.begin(), starts.end(), [&](const PeakStart& a, const PeakStart& b) {
        return std::fabs(a.mean - line.mean) < std::fabs(b.mean - line.mean);
      });
  if (nearest != starts.end() &&
      std::fabs(nearest->mean - line.mean) < kSplitDistanceInFwhm * kFwhmPerSigma * sigma) {
    *nearest = {2.0 * nearest->mean - line.mean, nearest->amplitude, sigma};
    starts.push_back(line);
    return true;
  }
  starts.push_back(line);
  return false;
}

// The region's fit, with lines from its residuals added while they are significant.
RegionFit fit_region_with_residual_lines(const SpectrumFit& settings, const Channels& channels,
                                         std::size_t first, std::size_t count,
                                         std::vector<PeakStart> starts, std::size_t region_index,
                                         double sigma) {
  RegionFit fit = fit_region(settings, channels, first, count, starts, region_index);
  // A found peak that the data do not support keeps the fit from converging: the weakest goes
  // until the fit converges.
  while (!fit.region.ok() && starts.size() > 1) {
    starts.erase(std::min_element(
        starts.begin(), starts.end(),
        [](const PeakStart& a, const PeakStart& b) { return a.amplitude < b.amplitude; }));
    RegionFit fewer = fit_region(settings, channels, first, count, starts, region_index);
    if (fewer.region.ok()) fit = std::move(fewer);
  }
  const double least_improvement = settings.get_threshold() * settings.get_threshold();
  for (int pass = 0; pass < kResidualPasses && fit.region.ok(); ++pass) {
    PeakStart line{};
    if (!residual_line(settings, channels, first, count, fit, sigma, line)) break;
    std::vector<PeakStart> fitted;
    for (const SpectrumPeak& p : fit.peaks) fitted.push_back({p.mean, p.amplitude, p.sigma});
    // The new line beside the peaks as fitted, and beside the nearest one split in two; the
    // better of the two fits stays, if it lowers chisq as much as a line of the threshold's
    // significance would.
    std::vector<PeakStart> beside = fitted;
    beside.push_back(line);
    std::vector<PeakStart> split = fitted;
    const bool splits = split_nearest(split, line, sigma);
    RegionFit best = fit;
    for (const std::vector<PeakStart>* more : {&beside, &split}) {
      if (more == &split && !splits) break;
      RegionFit refit = fit_region(settings, channels, first, count, *more, region_index);
      if (refit.region.ok() && refit.region.chisq < best.region.chisq) best = std::move(refit);
    }
    if (!(fit.region.chisq - best.region.chisq > least_improvement)) break;
    fit = std::move(best);
  }
  return fit;
}

// Lines asked for at given positions that the data do not hold keep the fit of their region
// from converging (the height runs to zero, where the model ends), or leave a bump of noise
// narrower or wider than lines are, kWidthSpread from the width they started with, or one that
// has wandered out of the region. Such lines
// are taken out and the region fitted again without them; they are reported as not there, held
// where they were asked for, with the net counts of their channels. The region's peaks stay in
// the order of their starts.
bool implausible(const SpectrumPeak& line, const PeakStart& start, const SpectrumRegion& region) {
  return !(line.sigma >= start.sigma / kWidthSpread && line.sigma <= start.sigma * kWidthSpread &&
           region.lo <= line.mean && line.mean <= region.hi);
}

RegionFit fit_given_region(const SpectrumFit& settings, const Channels& channels, std::size_t first,
                           std::size_t count, const std::vector<PeakStart>& starts,
                           std::size_t region_index) {
  std::vector<bool> absent(starts.size(), false);
  std::vector<std::size_t> present(starts.size());
  std::iota(present.begin(), present.end(), std::size_t{0});
  RegionFit fit = fit_region(settings, channels, first, count, starts, region_index);
  while (!present.empty()) {
    if (!fit.region.ok()) {
      absent[*std::min_element(present.begin(), present.end(), [&](std::size_t a, std::size_t b) {
        return starts[a].amplitude < starts[b].amplitude;
      })] = true;
    } else {
      bool dropped = false;
      for (std::size_t j = 0; j < present.size(); ++j) {
        if (implausible(fit.peaks[j], starts[present[j]], fit.region))
          absent[present[j]] = dropped = true;
      }
      if (!dropped) break;
    }
    std::vector<PeakStart> kept;
    present.clear();
    for (std::size_t k = 0; k < starts.size(); ++k) {
      if (!absent[k]) present.push_back(k), kept.push_back(starts[k]);
    }
    fit = fit_region(settings, channels, first, count, kept, region_index);
  }
  std::vector<SpectrumPeak> peaks;
  for (std::size_t k = 0, next = 0; k < starts.size(); ++k) {
    peaks.push_back(absent[k] ? detail::absent_line(fit.region, settings.get_background(), channels,
                                                    starts[k].mean, starts[k].sigma, region_index)
                              : fit.peaks[next++]);
  }
  fit.peaks = std::move(peaks);
  return fit;
}

// ---- Regions ----------------------------------------------------------------------------------

struct RegionPlan {
  std::size_t first;
  std::size_t count;
  std::vector<PeakStart> starts;
};

std::size_t first_at_or_above(const Channels& channels, double x) {
  return static_cast<std::size_t>(std::lower_bound(channels.x.begin(), channels.x.end(), x) -
                                  channels.x.begin());
}

std::size_t first_above(const Channels& channels, double x) {
  return static_cast<std::size_t>(std::upper_bound(channels.x.begin(), channels.x.end(), x) -
                                  channels.x.begin());
}

std::vector<RegionPlan> plan_regions(const SpectrumFit& settings, const Channels& channels,
                                     std::vector<PeakStart> starts) {
  std::vector<RegionPlan> plans;
  std::stable_sort(starts.begin(), starts.end(),
                   [](const PeakStart& a, const PeakStart& b) { return a.mean < b.mean; });
  if (settings.has_window()) {
    const std::size_t first = first_at_or_above(channels, settings.get_window_lo());
    const std::size_t end = first_above(channels, settings.get_window_hi());
    plans.push_back({first, end > first ? end - first : 0, std::move(starts)});
    return plans;
  }
  double lo = 0.0, hi = 0.0;
  std::vector<PeakStart> group;
  const auto close = [&] {
    const std::size_t first = first_at_or_above(channels, lo);
    const std::size_t end = first_above(channels, hi);
    plans.push_back({first, end > first ? end - first : 0, std::move(group)});
    group.clear();
  };
  for (const PeakStart& start : starts) {
    const double reach = std::max(kRegionReachInFwhm * kFwhmPerSigma * std::fabs(start.sigma),
                                  kShortestReachInChannels * std::fabs(spacing(channels)));
    if (!group.empty() && start.mean - reach > hi) close();
    if (group.empty()) {
      lo = start.mean - reach;
      // A strip at the start of the data narrower than the reach joins the region.
      if (lo - channels.x.front() < reach) lo = channels.x.front();
      hi = start.mean + reach;
    } else {
      hi = std::max(hi, start.mean + reach);
    }
    if (channels.x.back() - hi < reach) hi = channels.x.back();
    group.push_back(start);
  }
  if (!group.empty()) close();
  return plans;
}

SpectrumFitResult fit_starts(const SpectrumFit& settings, const SpectrumData& data,
                             const Channels& channels, const std::vector<PeakStart>& starts,
                             double sigma, bool add_residual_lines) {
  SpectrumFitResult result;
  result.background = settings.get_background();
  result.statistics = data.statistics;
  result.status_str = gsl_strerror(GSL_SUCCESS);
  const std::vector<RegionPlan> plans = plan_regions(settings, channels, starts);
  for (const RegionPlan& plan : plans) {
    const std::size_t index = result.regions.size();
    RegionFit fit =
        add_residual_lines
            ? fit_region_with_residual_lines(settings, channels, plan.first, plan.count,
                                             plan.starts, index, sigma)
            : fit_given_region(settings, channels, plan.first, plan.count, plan.starts, index);
    if (plan.count == 0) {
      fit.region.lo = settings.get_window_lo();
      fit.region.hi = settings.get_window_hi();
    }
    result.regions.push_back(std::move(fit.region));
    result.peaks.insert(result.peaks.end(), fit.peaks.begin(), fit.peaks.end());
  }
  // Peaks come region by region, each region's in the order of their start positions; lines
  // added from the residuals are put in their place by their fitted mean.
  if (add_residual_lines) {
    std::stable_sort(result.peaks.begin(), result.peaks.end(),
                     [](const SpectrumPeak& a, const SpectrumPeak& b) {
                       return a.region < b.region || (a.region == b.region && a.mean < b.mean);
                     });
  }
  detail::add_line_measures(result, channels, data.live_time);
  return result;
}

// Start values for peaks at given positions: the height above the local background there, and
// the common width.
std::vector<PeakStart> starts_at(const Channels& channels, const std::vector<double>& positions,
                                 double sigma) {
  const int reach = 3 * detail::matched_half_width(sigma / spacing(channels));
  std::vector<PeakStart> starts;
  for (double position : positions) {
    const auto channel = static_cast<std::size_t>(std::lround(channels.channel_of(position)));
    starts.push_back({position, detail::height_at(channels, channel, reach), sigma});
  }
  return starts;
}

bool inside(const SpectrumFit& settings, const Channels& channels, double position) {
  if (settings.has_window()) {
    return settings.get_window_lo() <= position && position <= settings.get_window_hi();
  }
  return channels.x.front() <= position && position <= channels.x.back();
}

}  // namespace

void SpectrumFit::set_accuracy(double accuracy) {
  accuracy_ = std::clamp(accuracy, kSmallestAccuracy, kLargestAccuracy);
  if (std::isnan(accuracy)) accuracy_ = default_accuracy;
}

std::vector<FoundPeak> SpectrumFit::find_peaks(const SpectrumData& data) const {
  const Prepared prepared = prepare(data);
  if (prepared.status != GSL_SUCCESS) return {};
  return search(*this, prepared.channels, peak_sigma(*this, prepared.channels));
}

SpectrumFitResult SpectrumFit::fit(const SpectrumData& data) const {
  const Prepared prepared = prepare(data);
  if (prepared.status != GSL_SUCCESS) {
    return refused(*this, data, prepared.status, prepared.status_str);
  }
  const double sigma = peak_sigma(*this, prepared.channels);
  std::vector<PeakStart> starts;
  for (const FoundPeak& peak : search(*this, prepared.channels, sigma)) {
    starts.push_back({peak.mean, peak.amplitude, peak.sigma});
  }
  // Nothing found and no window to fit: a spectrum without peaks or regions.
  if (starts.empty() && !has_window()) {
    return refused(*this, data, GSL_SUCCESS, gsl_strerror(GSL_SUCCESS));
  }
  return fit_starts(*this, data, prepared.channels, starts, sigma, true);
}

SpectrumFitResult SpectrumFit::fit(const SpectrumData& data,
                                   const std::vector<double>& positions) const {
  const Prepared prepared = prepare(data);
  if (prepared.status != GSL_SUCCESS) {
    return refused(*this, data, prepared.status, prepared.status_str);
  }
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (!inside(*this, prepared.channels, positions[i])) {
      return refused(*this, data, GSL_EINVAL,
                     "peak position " + std::to_string(i) + " outside the " +
                         (has_window() ? "window" : "data"));
    }
  }
  double sigma = peak_sigma(*this, prepared.channels);
  // Without a width from the settings or the data, a tenth of the data's span.
  if (!(sigma > 0.0)) sigma = 0.1 * (prepared.channels.x.back() - prepared.channels.x.front());
  return fit_starts(*this, data, prepared.channels, starts_at(prepared.channels, positions, sigma),
                    sigma, false);
}

SpectrumFitResult SpectrumFit::fit(const SpectrumData& data,
                                   const std::vector<FoundPeak>& peaks) const {
  const Prepared prepared = prepare(data);
  if (prepared.status != GSL_SUCCESS) {
    return refused(*this, data, prepared.status, prepared.status_str);
  }
  std::vector<PeakStart> starts;
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    if (!inside(*this, prepared.channels, peaks[i].mean) || !std::isfinite(peaks[i].amplitude) ||
        !(std::fabs(peaks[i].sigma) > 0.0) || !std::isfinite(peaks[i].sigma)) {
      return refused(*this, data, GSL_EINVAL, "peak " + std::to_string(i) + " cannot start a fit");
    }
    starts.push_back({peaks[i].mean, peaks[i].amplitude, std::fabs(peaks[i].sigma)});
  }
  const double sigma = starts.empty() ? peak_sigma(*this, prepared.channels) : starts[0].sigma;
  return fit_starts(*this, data, prepared.channels, starts, sigma, false);
}

}  // namespace vesk::numerics
