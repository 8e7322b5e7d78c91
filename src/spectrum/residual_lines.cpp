#include "spectrum/residual_lines.h"

#include <gsl/gsl_errno.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "spectrum/line_shape.h"
#include "spectrum/spectrum_channels.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics::detail {

namespace {

// Lines that a region's fit leaves significant in its residuals are added at most this often,
// and only this many sigma away from the peaks already there.
constexpr int kResidualPasses = 2;
constexpr double kResidualSeparationInSigma = 1.0;
// A residual line closer than this to a fitted peak splits it.
constexpr double kSplitDistanceInFwhm = 1.5;

// What one unit of chisq is worth: 1 where the data carry their errors, the variance of the
// scatter about the fit for unweighted data, whose chisq is in units of y squared. A line must
// lower chisq by threshold squared of these, whatever the unit of y.
double chisq_unit(const Channels& channels, const RegionFit& fit) {
  const double variance = fit.region.chisq_dof;
  if (channels.statistics != Statistics::unweighted || !(variance > 0.0) ||
      !std::isfinite(variance)) {
    return 1.0;
  }
  return variance;
}

// A line that the region's fit leaves in its residuals, as a start value, if one is significant
// and not at a peak already fitted.
bool residual_line(const RegionSettings& context, std::size_t first, std::size_t count,
                   const RegionFit& fit, double sigma, PeakStart& line) {
  const Channels& channels = context.channels;
  const SpectrumFit& settings = context.settings;
  Channels residuals;
  residuals.statistics = channels.statistics;
  residuals.x.assign(channels.x.begin() + static_cast<std::ptrdiff_t>(first),
                     channels.x.begin() + static_cast<std::ptrdiff_t>(first + count));
  residuals.variance.assign(channels.variance.begin() + static_cast<std::ptrdiff_t>(first),
                            channels.variance.begin() + static_cast<std::ptrdiff_t>(first + count));
  residuals.y.resize(count);
  SpectrumFitResult fitted;
  fitted.background = settings.get_background();
  fitted.shape = context.shape.shape;
  fitted.regions = {fit.region};
  for (SpectrumPeak peak : fit.peaks) {
    peak.region = 0;
    fitted.peaks.push_back(peak);
  }
  for (std::size_t i = 0; i < count; ++i) {
    residuals.y[i] = channels.y[first + i] - fitted.evaluate(residuals.x[i]);
  }
  const int half_width = matched_half_width(sigma / spacing(channels));
  double best = settings.get_threshold();
  bool found = false;
  for (const Candidate& c : significant_maxima(residuals, half_width, settings.get_threshold())) {
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

// Whether tailed lines whose fit ran out of its budget are there all the same: held at the start
// values of their tail, tail slope and step, they converge and lower chisq below `than`'s by
// `least_improvement` units. A tail steeper than the lines are wide can trade its height against
// its slope, and the fit follows that valley for 60 iterations and more (two tailed lines 1.2 to
// 1.6 FWHM apart, with tails of 0 to 0.1 of their height); shedding or refusing the second line
// then fitted the doublet as one line twice as wide, and 10 to 19 % of such lines were lost.
bool held_tails_show_lines(const RegionSettings& context, std::size_t first, std::size_t count,
                           const std::vector<PeakStart>& lines, std::size_t region_index,
                           const RegionFit& failed, const RegionFit& than,
                           double least_improvement) {
  if (failed.region.status != GSL_EMAXITER || !has_tail(context.shape.shape)) return false;
  RegionSettings held = context;
  held.shape_held_at_start = true;
  const RegionFit fit = fit_region(held, first, count, lines,
                                   widths_of(context.settings, lines.size()), region_index);
  return fit.region.ok() &&
         (!than.region.ok() || than.region.chisq - fit.region.chisq >
                                   least_improvement * chisq_unit(context.channels, fit));
}

}  // namespace

PeakStart restart_of(const SpectrumPeak& peak, LineShape shape) {
  const double sigma = shape == LineShape::gaussian ? peak.sigma : peak.fwhm / kFwhmPerSigma;
  return {peak.mean, peak.amplitude, std::isfinite(sigma) ? sigma : peak.sigma};
}

RegionFit fit_region_with_residual_lines(const RegionSettings& context, std::size_t first,
                                         std::size_t count, std::vector<PeakStart> starts,
                                         std::size_t region_index, double sigma) {
  const SpectrumFit& settings = context.settings;
  const auto fit_lines = [&](const std::vector<PeakStart>& lines) {
    return fit_region(context, first, count, lines, widths_of(settings, lines.size()),
                      region_index);
  };
  const double least_improvement = settings.get_threshold() * settings.get_threshold();
  const std::vector<PeakStart> found = starts;
  RegionFit fit = fit_lines(starts);
  const RegionFit with_all = fit;
  // A found peak that the data do not support keeps the fit from converging: the weakest goes
  // until the fit converges.
  while (!fit.region.ok() && starts.size() > 1) {
    starts.erase(std::min_element(
        starts.begin(), starts.end(),
        [](const PeakStart& a, const PeakStart& b) { return a.amplitude < b.amplitude; }));
    RegionFit fewer = fit_lines(starts);
    if (fewer.region.ok()) fit = std::move(fewer);
  }
  if (starts.size() < found.size() &&
      held_tails_show_lines(context, first, count, found, region_index, with_all, fit,
                            least_improvement)) {
    return with_all;
  }
  for (int pass = 0; pass < kResidualPasses && fit.region.ok(); ++pass) {
    PeakStart line{};
    if (!residual_line(context, first, count, fit, sigma, line)) break;
    std::vector<PeakStart> fitted;
    for (const SpectrumPeak& p : fit.peaks) fitted.push_back(restart_of(p, context.shape.shape));
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
      RegionFit refit = fit_lines(*more);
      if (held_tails_show_lines(context, first, count, *more, region_index, refit, fit,
                                least_improvement)) {
        return refit;
      }
      if (refit.region.ok() && refit.region.chisq < best.region.chisq) best = std::move(refit);
    }
    if (!(fit.region.chisq - best.region.chisq >
          least_improvement * chisq_unit(context.channels, best)))
      break;
    fit = std::move(best);
  }
  return fit;
}

}  // namespace vesk::numerics::detail
