#include "spectrum/regions.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_statistics_double.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <utility>

#include "spectrum/line_measures.h"
#include "spectrum/line_shape.h"
#include "spectrum/residual_lines.h"
#include "spectrum/resolution_fit.h"
#include "spectrum/spectrum_channels.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics::detail {

namespace {

// A region reaches this many FWHM beyond its outer peaks, where a Gaussian has fallen below
// 1e-7 of its height; peaks whose regions would overlap share one.
constexpr double kRegionReachInFwhm = 2.5;
// A region reaches at least this many channels beyond its outer peaks.
constexpr double kShortestReachInChannels = 5.0;
// A region of tailed lines whose start widths were measured reaches this many FWHM beyond its
// outer peaks: its background must show well below the tail and on both sides of the step, or
// they trade off with the background's slope, and the strong lines' areas lose up to half their
// precision and their errors no longer cover them. (The search's start widths are wider than
// the lines: their regions reach as far already.)
constexpr double kTailedReachInFwhm = 7.0;
// A line narrower than this many channels (FWHM) is not measured by its points: its width is
// undetermined.
constexpr double kNarrowestFwhmInChannels = 2.0;
// A "line" this many times wider than the median of its nearest kNeighbours lines is background.
constexpr double kBroadLineInNeighbours = 3.0;
constexpr std::size_t kNeighbours = 4;
// A found line whose fitted area is below this share of its own error is no line: the fit took
// its height to zero, the edge of its domain, or left it so undetermined that its area means
// nothing.
constexpr double kVanishedShareOfError = 0.01;
// A search width this many times a line's fitted width is the search's error, not the line's.
constexpr double kSearchWidthExcess = 1.5;
// A line asked for at a given position is at most this factor wider or narrower than it started.
constexpr double kWidthSpread = 4.0;

struct RegionPlan {
  std::size_t first;
  std::size_t count;
  std::vector<PeakStart> starts;
};

// The regions' indexes, those of the most points times parameters first: handed out in this
// order, the threads that share them finish together, none left with a large region at the end.
std::vector<std::size_t> largest_first(const std::vector<RegionPlan>& plans) {
  const auto work = [&](std::size_t index) {
    return plans[index].count * (plans[index].starts.size() + 1);
  };
  std::vector<std::size_t> order(plans.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return work(a) > work(b); });
  return order;
}

bool same_starts(const std::vector<PeakStart>& a, const std::vector<PeakStart>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const PeakStart& p, const PeakStart& q) {
                      return p.mean == q.mean && p.amplitude == q.amplitude && p.sigma == q.sigma;
                    });
}

bool same_plan(const RegionPlan& a, const RegionPlan& b) {
  return a.first == b.first && a.count == b.count && same_starts(a.starts, b.starts);
}

// The fit of every planned region as it first came out, so that fitting the spectrum again with
// a few starts changed fits only the regions those starts fall in: a region's fit depends on its
// plan and the settings alone.
using PlanFits = std::vector<std::pair<RegionPlan, RegionFit>>;

// The earlier fit of this plan, numbered as region `index`, if there is one.
std::optional<RegionFit> earlier_fit(const PlanFits& earlier, const RegionPlan& plan,
                                     std::size_t index) {
  for (const auto& [planned, fit] : earlier) {
    if (!same_plan(planned, plan)) continue;
    RegionFit again = fit;
    for (SpectrumPeak& peak : again.peaks) peak.region = index;
    return again;
  }
  return std::nullopt;
}

std::size_t first_at_or_above(const Channels& channels, double x) {
  return static_cast<std::size_t>(std::lower_bound(channels.x.begin(), channels.x.end(), x) -
                                  channels.x.begin());
}

std::size_t first_above(const Channels& channels, double x) {
  return static_cast<std::size_t>(std::upper_bound(channels.x.begin(), channels.x.end(), x) -
                                  channels.x.begin());
}

// How far a region reaches beyond a line of this sigma, `in_fwhm` FWHM.
double region_reach(const Channels& channels, double sigma, double in_fwhm = kRegionReachInFwhm) {
  return std::max(in_fwhm * kFwhmPerSigma * sigma,
                  kShortestReachInChannels * std::fabs(spacing(channels)));
}

// How many FWHM of their start widths the regions of these settings reach beyond their lines.
double reach_in_fwhm(const RegionSettings& context) {
  return context.start_widths == StartWidths::measured && has_tail(context.shape.shape)
             ? kTailedReachInFwhm
             : kRegionReachInFwhm;
}

std::vector<RegionPlan> plan_regions(const RegionSettings& context, std::vector<PeakStart> starts) {
  const SpectrumFit& settings = context.settings;
  const Channels& channels = context.channels;
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
    const double reach = region_reach(channels, std::fabs(start.sigma), reach_in_fwhm(context));
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

// Every region fitted, each with its own lines.
// Lines asked for at given positions that the data do not hold keep the fit of their region
// from converging (the height runs to zero, where the model ends), or leave a bump of noise
// narrower or wider than lines are, kWidthSpread from the width they started with, or one that
// has wandered out of the region. Such lines are taken out and the region fitted again without
// them; they are reported as not there, held where they were asked for, with the net counts of
// their channels, unless those counts show that the line is there after all. The region's peaks
// stay in the order of their starts.
bool implausible(const SpectrumPeak& line, LineShape shape, const PeakStart& start,
                 const SpectrumRegion& region) {
  const double sigma = restart_of(line, shape).sigma;
  return !(sigma >= start.sigma / kWidthSpread && sigma <= start.sigma * kWidthSpread &&
           region.contains(line.mean));
}

RegionFit fit_given_region(const RegionSettings& context, std::size_t first, std::size_t count,
                           const std::vector<PeakStart>& starts, std::size_t region_index) {
  const SpectrumFit& settings = context.settings;
  const auto fit_lines = [&](const std::vector<PeakStart>& lines) {
    return fit_region(context, first, count, lines, widths_of(settings, lines.size()),
                      region_index);
  };
  std::vector<bool> absent(starts.size(), false);
  std::vector<std::size_t> present(starts.size());
  std::iota(present.begin(), present.end(), std::size_t{0});
  const RegionFit with_all = fit_lines(starts);
  RegionFit fit = with_all;
  while (!present.empty()) {
    if (!fit.region.ok()) {
      absent[*std::min_element(present.begin(), present.end(), [&](std::size_t a, std::size_t b) {
        return starts[a].amplitude < starts[b].amplitude;
      })] = true;
    } else {
      bool dropped = false;
      for (std::size_t j = 0; j < present.size(); ++j) {
        if (implausible(fit.peaks[j], context.shape.shape, starts[present[j]], fit.region))
          absent[present[j]] = dropped = true;
      }
      if (!dropped) break;
    }
    std::vector<PeakStart> kept;
    present.clear();
    for (std::size_t k = 0; k < starts.size(); ++k) {
      if (!absent[k]) present.push_back(k), kept.push_back(starts[k]);
    }
    fit = fit_lines(kept);
  }
  std::vector<SpectrumPeak> peaks;
  for (std::size_t k = 0, next = 0; k < starts.size(); ++k) {
    peaks.push_back(absent[k] ? absent_line(fit.region, settings.get_background(), context.channels,
                                            starts[k].mean, starts[k].sigma, region_index)
                              : fit.peaks[next++]);
  }
  // A line whose net counts stand out as the search's lines do is there, whatever its fit did:
  // the region then keeps its first fit, a failure as a failure, rather than call it absent.
  for (std::size_t k = 0; k < starts.size(); ++k) {
    if (absent[k] && peaks[k].area > settings.get_threshold() * peaks[k].area_err) return with_all;
  }
  fit.peaks = std::move(peaks);
  return fit;
}

// Whether a region's fit holds a line whose area is well determined.
bool has_strong_line(const RegionFit& fit) {
  return fit.region.ok() &&
         std::any_of(fit.peaks.begin(), fit.peaks.end(), [](const SpectrumPeak& peak) {
           return peak.area > kWellDeterminedSignificance * peak.area_err;
         });
}

// The median of some values (at least one), the mean of the middle two for an even count.
double median(std::vector<double> values) {
  return gsl_stats_median(values.data(), 1, values.size());
}

// A region's fitted tail, tail slope or step (one of kTailParameters), and its error: 0 where
// it was held.
struct FittedValue {
  double value, error;
};
FittedValue fitted_value(const SpectrumRegion& region, ShapeParameter parameter) {
  switch (parameter) {
    case ShapeParameter::tail:
      return {region.tail, region.tail_err};
    case ShapeParameter::tail_slope:
      return {region.tail_slope, region.tail_slope_err};
    default:
      return {region.step, region.step_err};
  }
}

// The median of (value, weight) pairs: the value at which the weight summed from the smallest
// value first passes half the total; the midpoint of two values where half falls just between
// them, so that equal weights give the usual median.
double weighted_median(std::vector<std::pair<double, double>> weighted) {
  std::sort(weighted.begin(), weighted.end());
  double total = 0.0;
  for (const auto& entry : weighted) total += entry.second;
  double below = 0.0;
  for (std::size_t k = 0; k < weighted.size(); ++k) {
    below += weighted[k].second;
    if (below > 0.5 * total || k + 1 == weighted.size()) return weighted[k].first;
    if (below == 0.5 * total) return 0.5 * (weighted[k].first + weighted[k + 1].first);
  }
  return std::numeric_limits<double>::quiet_NaN();
}

// The tail and step of tailed lines as the regions with well-determined lines measured them, for
// the shape parameters that are not held already: the median of their fits, each weighted by how
// well its model describes its counts, 1 / max(1, chisq / dof). A region whose residuals are many
// times its counts' errors measures no shape: a detector's threshold or a Doppler-broadened line
// fitted as a tailed line takes whatever tail makes it wider.
std::optional<ShapeSettings> measured_tails(const RegionSettings& context,
                                            const std::vector<RegionFit>& fits) {
  std::vector<std::pair<const SpectrumRegion*, double>> measuring;
  for (const RegionFit& fit : fits) {
    if (has_strong_line(fit)) {
      measuring.emplace_back(&fit.region, 1.0 / std::max(1.0, fit.region.chisq_dof));
    }
  }
  if (measuring.empty()) return std::nullopt;
  ShapeSettings held = context.shape;
  for (ShapeParameter parameter : kTailParameters) {
    if (held.holds(parameter)) continue;
    std::vector<std::pair<double, double>> values;
    for (const auto& [region, weight] : measuring)
      values.emplace_back(fitted_value(*region, parameter).value, weight);
    held.hold(parameter, weighted_median(std::move(values)));
  }
  return held;
}

// Every region fitted, each with its own lines. Tailed lines whose region has no line strong
// enough to measure a tail are fitted again with the tail and step that the strong lines of the
// spectrum measured: a weak line cannot tell its tail from the background, and left free its
// tail wanders off.
SpectrumFitResult fit_regions(const RegionSettings& context, const SpectrumData& data,
                              const std::vector<PeakStart>& starts, double sigma,
                              bool add_residual_lines, Workers& workers,
                              const PlanFits& earlier = {}, PlanFits* fitted = nullptr) {
  const SpectrumFit& settings = context.settings;
  SpectrumFitResult result;
  result.background = settings.get_background();
  result.statistics = data.statistics;
  result.shape = settings.get_shape();
  result.width = settings.get_width();
  result.status_str = gsl_strerror(GSL_SUCCESS);
  const std::vector<RegionPlan> plans = plan_regions(context, starts);
  const auto fit_plan = [&](const RegionSettings& with, const RegionPlan& plan, std::size_t index) {
    RegionFit fit = add_residual_lines
                        ? fit_region_with_residual_lines(with, plan.first, plan.count, plan.starts,
                                                         index, sigma)
                        : fit_given_region(with, plan.first, plan.count, plan.starts, index);
    if (plan.count == 0) {
      fit.region.lo = settings.get_window_lo();
      fit.region.hi = settings.get_window_hi();
    }
    return fit;
  };
  std::vector<RegionFit> fits(plans.size());
  const std::vector<std::size_t> order = largest_first(plans);
  workers.for_each_index(plans.size(), [&](std::size_t k, std::size_t) {
    const std::size_t index = order[k];
    std::optional<RegionFit> known = earlier_fit(earlier, plans[index], index);
    fits[index] = known ? std::move(*known) : fit_plan(context, plans[index], index);
  });
  for (std::size_t index = 0; fitted && index < plans.size(); ++index) {
    fitted->emplace_back(plans[index], fits[index]);
  }
  if (has_tail(context.shape.shape) && plans.size() > 1) {
    if (const std::optional<ShapeSettings> tails = measured_tails(context, fits)) {
      // A region that failed starts afresh, like the first time; lines fitted already start
      // where they ended.
      const RegionSettings held{settings, context.channels, *tails, context.gaussian_first};
      const RegionSettings restarted{settings, context.channels, *tails, false};
      workers.for_each_index(plans.size(), [&](std::size_t index, std::size_t) {
        RegionFit& fit = fits[index];
        if (has_strong_line(fit)) return;
        if (!fit.region.ok()) {
          fit = fit_plan(held, plans[index], index);
          return;
        }
        std::vector<PeakStart> lines;
        for (const SpectrumPeak& peak : fit.peaks)
          lines.push_back(restart_of(peak, LineShape::tailed));
        RegionFit again = fit_region(restarted, plans[index].first, plans[index].count, lines,
                                     widths_of(settings, lines.size()), index);
        if (again.region.ok()) fit = std::move(again);
      });
    }
  }
  for (RegionFit& fit : fits) {
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
  return result;
}

double region_spacing(const SpectrumRegion& region) {
  return region.points > 1 ? (region.hi - region.lo) / static_cast<double>(region.points - 1) : 0.0;
}

bool too_narrow(const SpectrumPeak& peak, double channel) {
  return peak.fwhm < kNarrowestFwhmInChannels * channel;
}

// The width a line is held at where nothing in its region can carry it: the resolution's.
double held_width(LineShape shape, const Resolution& resolution, double x) {
  const double fwhm = std::sqrt(resolution.fwhm_squared(x));
  return shape == LineShape::lorentzian ? 0.5 * fwhm : fwhm / kFwhmPerSigma;
}

// Settings to fit a region again from its lines as fitted, its tail, tail slope and step held
// at their fitted values where `hold(error)` says so for their errors.
template <typename Hold>
RegionSettings refit_settings(const RegionSettings& context, const SpectrumRegion& region,
                              const Hold& hold) {
  RegionSettings again = context;
  again.gaussian_first = false;
  if (!has_tail(context.shape.shape)) return again;
  for (ShapeParameter parameter : kTailParameters) {
    const FittedValue fitted = fitted_value(region, parameter);
    if (hold(fitted.error)) again.shape.hold(parameter, fitted.value);
  }
  return again;
}

// The peaks [begin, end) of region r fitted again, those too narrow with their width tied to
// the nearest well-measured line of the region or, with `to_resolution` or where there is none,
// held at the resolution's. False when the refit fails. The region then stays as it was, unless
// its lines were held at the resolution, the last resort: a width narrower than the points can
// show is no measurement, and the region is reported as that refit ended.
bool tie_region(const RegionSettings& context, const Resolution& resolution, std::size_t r,
                std::size_t begin, std::size_t end, bool to_resolution, SpectrumFitResult& result) {
  const SpectrumRegion& region = result.regions[r];
  const double channel = region_spacing(region);
  std::vector<WidthSource> widths = widths_of(context.settings, end - begin);
  std::vector<PeakStart> starts;
  for (std::size_t k = begin; k < end; ++k) {
    starts.push_back(restart_of(result.peaks[k], context.shape.shape));
  }
  const auto narrow = [&](std::size_t k) { return too_narrow(result.peaks[k], channel); };
  for (std::size_t k = begin; k < end; ++k) {
    if (!narrow(k) && !result.peaks[k].width_tied) continue;
    std::optional<std::size_t> nearest;
    for (std::size_t j = begin; j < end && !to_resolution; ++j) {
      if (narrow(j) || result.peaks[j].width_tied || widths[j - begin].kind != WidthSource::own) {
        continue;
      }
      const double distance = std::fabs(result.peaks[j].mean - result.peaks[k].mean);
      if (!nearest || distance < std::fabs(result.peaks[*nearest].mean - result.peaks[k].mean)) {
        nearest = j;
      }
    }
    const double mean = result.peaks[k].mean;
    widths[k - begin] = nearest ? WidthSource{WidthSource::like_line, *nearest - begin, 0.0}
                                : WidthSource{WidthSource::held, 0,
                                              held_width(context.shape.shape, resolution, mean)};
    starts[k - begin].sigma = held_width(LineShape::gaussian, resolution, mean);
  }
  const std::size_t first = first_at_or_above(context.channels, region.lo);
  // The region's tail and step stay as fitted: only the undetermined widths change.
  RegionSettings tied = refit_settings(context, region, [](double) { return true; });
  RegionFit refit = fit_region(tied, first, region.points, starts, widths, r);
  const bool tied_all = refit.region.ok();
  if (!tied_all && !to_resolution) return false;
  for (std::size_t k = begin; k < end && tied_all; ++k) {
    const WidthSource::Kind kind = widths[k - begin].kind;
    refit.peaks[k - begin].width_tied = kind == WidthSource::like_line || kind == WidthSource::held;
  }
  result.regions[r] = std::move(refit.region);
  std::copy(refit.peaks.begin(), refit.peaks.end(),
            result.peaks.begin() + static_cast<std::ptrdiff_t>(begin));
  return tied_all;
}

// Lines whose own width came out narrower than their points can show are fitted again with it
// tied: to a neighbour in their region first, to the resolution where that is still too narrow.
void tie_narrow_lines(const RegionSettings& context, const Resolution& resolution,
                      SpectrumFitResult& result) {
  std::size_t begin = 0;
  for (std::size_t r = 0; r < result.regions.size(); ++r) {
    std::size_t end = begin;
    while (end < result.peaks.size() && result.peaks[end].region == r) ++end;
    const auto any_narrow = [&] {
      const double channel = region_spacing(result.regions[r]);
      return result.regions[r].ok() &&
             std::any_of(result.peaks.begin() + static_cast<std::ptrdiff_t>(begin),
                         result.peaks.begin() + static_cast<std::ptrdiff_t>(end),
                         [&](const SpectrumPeak& peak) { return too_narrow(peak, channel); });
    };
    // A region whose lines cannot share a neighbour's width (the refit failed) holds them at
    // the resolution instead.
    if (any_narrow() &&
        (!tie_region(context, resolution, r, begin, end, false, result) || any_narrow())) {
      tie_region(context, resolution, r, begin, end, true, result);
    }
    begin = end;
  }
}

bool vanished(const SpectrumPeak& line) {
  return line.area < kVanishedShareOfError * line.area_err;
}

std::vector<SpectrumPeak>::iterator line_at(SpectrumFitResult& result, std::size_t k) {
  return result.peaks.begin() + static_cast<std::ptrdiff_t>(k);
}

// Region r, whose lines are [begin, end), fitted again without its vanished lines, from where
// the others ended; a line whose width was tied is held at the width it was tied to. Returns the
// end of the region's lines. A region keeps its fit where the refit fails, and where every line
// vanished (drop_vanished_lines drops it).
std::size_t refit_without_vanished_lines(const RegionSettings& context, std::size_t r,
                                         std::size_t begin, std::size_t end,
                                         SpectrumFitResult& result) {
  const auto at = [&](std::size_t k) { return line_at(result, k); };
  if (!result.regions[r].ok() || std::none_of(at(begin), at(end), vanished) ||
      std::all_of(at(begin), at(end), vanished)) {
    return end;
  }
  const LineShape shape = context.shape.shape;
  std::vector<PeakStart> starts;
  std::vector<bool> tied;
  std::vector<WidthSource> widths;
  for (std::size_t k = begin; k < end; ++k) {
    const SpectrumPeak& line = result.peaks[k];
    if (vanished(line)) continue;
    starts.push_back(restart_of(line, shape));
    tied.push_back(line.width_tied);
    widths.push_back(widths_of(context.settings, 1).front());
    const double width = shape == LineShape::lorentzian ? line.gamma : line.sigma;
    if (line.width_tied) widths.back() = {WidthSource::held, 0, width};
  }
  // A tail and step that the region held (no error: the spectrum's, for a region of weak
  // lines) stay held; those it fitted are fitted again.
  const SpectrumRegion& region = result.regions[r];
  const RegionSettings again =
      refit_settings(context, region, [](double error) { return error == 0.0; });
  RegionFit refit = fit_region(again, first_at_or_above(context.channels, region.lo), region.points,
                               starts, widths, r);
  if (!refit.region.ok()) return end;
  for (std::size_t j = 0; j < starts.size(); ++j) refit.peaks[j].width_tied = tied[j];
  result.regions[r] = std::move(refit.region);
  result.peaks.erase(at(begin), at(end));
  result.peaks.insert(at(begin), refit.peaks.begin(), refit.peaks.end());
  return begin + starts.size();
}

// The found lines that their regions' fits took to nothing are taken out of them, and a region
// left without lines goes with them: it was planned for them alone. A caller's window stays.
void drop_vanished_lines(const RegionSettings& context, SpectrumFitResult& result) {
  std::vector<SpectrumRegion> regions;
  std::vector<SpectrumPeak> lines;
  std::size_t begin = 0;
  for (std::size_t r = 0; r < result.regions.size(); ++r) {
    std::size_t end = begin;
    while (end < result.peaks.size() && result.peaks[end].region == r) ++end;
    // A refit can take another line to nothing.
    std::size_t fewer = refit_without_vanished_lines(context, r, begin, end, result);
    while (fewer < end) {
      end = fewer;
      fewer = refit_without_vanished_lines(context, r, begin, end, result);
    }
    const bool empty = !context.settings.has_window() && result.regions[r].ok() && end > begin &&
                       std::all_of(line_at(result, begin), line_at(result, end), vanished);
    if (!empty) {
      for (std::size_t k = begin; k < end; ++k) {
        lines.push_back(result.peaks[k]);
        lines.back().region = regions.size();
      }
      regions.push_back(result.regions[r]);
    }
    begin = end;
  }
  result.regions = std::move(regions);
  result.peaks = std::move(lines);
}

// Lines that a region's fit carried outside its points, in a region that succeeded, say so: what
// they took is what the region's background cannot (the steep edge of a detector's threshold),
// and refitting without them lost real lines elsewhere, or whole regions.
void mark_lines_outside_their_regions(SpectrumFitResult& result) {
  for (SpectrumPeak& line : result.peaks) {
    const SpectrumRegion& region = result.regions[line.region];
    line.outside_region = region.ok() && !std::isnan(line.mean) && !region.contains(line.mean);
  }
}

bool has_narrow_line(const SpectrumFitResult& result) {
  return std::any_of(result.peaks.begin(), result.peaks.end(), [&](const SpectrumPeak& peak) {
    const SpectrumRegion& region = result.regions[peak.region];
    return region.ok() && too_narrow(peak, region_spacing(region));
  });
}

// The FWHM of the lines nearest to line k (at most kNeighbours of them), as a median; NaN when
// it has none.
double neighbours_fwhm(const SpectrumFitResult& result, std::size_t k) {
  std::vector<std::pair<double, double>> others;  // distance, FWHM
  for (std::size_t j = 0; j < result.peaks.size(); ++j) {
    const SpectrumPeak& peak = result.peaks[j];
    if (j == k || !std::isfinite(peak.fwhm)) continue;
    others.emplace_back(std::fabs(peak.mean - result.peaks[k].mean), peak.fwhm);
  }
  if (others.empty()) return std::numeric_limits<double>::quiet_NaN();
  const std::size_t count = std::min(others.size(), kNeighbours);
  std::partial_sort(others.begin(), others.begin() + static_cast<std::ptrdiff_t>(count),
                    others.end());
  std::vector<double> widths;
  for (std::size_t j = 0; j < count; ++j) widths.push_back(others[j].second);
  return median(widths);
}

// Whether the lines of a region, as wide as they were fitted, lie too far apart to share one
// region: a search that took them wider than they are joined them in one too wide for a single
// background to serve.
bool splits(const Channels& channels, std::vector<const SpectrumPeak*> lines) {
  std::sort(lines.begin(), lines.end(),
            [](const SpectrumPeak* a, const SpectrumPeak* b) { return a->mean < b->mean; });
  for (std::size_t k = 1; k < lines.size(); ++k) {
    const double apart = lines[k]->mean - lines[k - 1]->mean;
    const double reaches = region_reach(channels, lines[k]->fwhm / kFwhmPerSigma) +
                           region_reach(channels, lines[k - 1]->fwhm / kFwhmPerSigma);
    if (apart > reaches) return true;
  }
  return false;
}

// The sigma whose region reaches from a start over the fitted lines nearer to it than to any
// other start of its region, as far as their own reach: the width the start is narrowed to.
double sigma_over_own_lines(const Channels& channels, const std::vector<PeakStart>& starts,
                            std::size_t own, const std::vector<const SpectrumPeak*>& lines) {
  const PeakStart& start = starts[own];
  double reach = 0.0;
  for (const SpectrumPeak* line : lines) {
    const double distance = std::fabs(line->mean - start.mean);
    const bool nearer_other = std::any_of(starts.begin(), starts.end(), [&](const PeakStart& s) {
      return &s != &start && std::fabs(line->mean - s.mean) < distance;
    });
    if (nearer_other) continue;
    reach = std::max(reach, distance + region_reach(channels, line->fwhm / kFwhmPerSigma));
  }
  return reach / (kRegionReachInFwhm * kFwhmPerSigma);
}

// Every region whose search starts were kSearchWidthExcess times wider or more than the lines
// fitted there, so wide that the lines as fitted would split it: those starts take the width
// that reaches over their own lines as fitted. True when any start changed.
bool narrow_split_regions(const Channels& channels, const SpectrumFitResult& result,
                          std::vector<PeakStart>& starts) {
  bool narrowed = false;
  for (std::size_t r = 0; r < result.regions.size(); ++r) {
    const SpectrumRegion& region = result.regions[r];
    if (!region.ok()) continue;
    std::vector<const SpectrumPeak*> lines;
    for (const SpectrumPeak& peak : result.peaks) {
      if (peak.region == r && std::isfinite(peak.fwhm) && std::isfinite(peak.mean))
        lines.push_back(&peak);
    }
    if (lines.empty() || !splits(channels, lines)) continue;
    std::vector<std::size_t> inside;
    std::vector<PeakStart> region_starts;
    for (std::size_t k = 0; k < starts.size(); ++k) {
      if (!region.contains(starts[k].mean)) continue;
      inside.push_back(k);
      region_starts.push_back(starts[k]);
    }
    // A start that no fitted line is nearest to has no lines of its own to reach over: it takes
    // the width its region's lines were fitted with, not none.
    std::vector<double> fitted_sigmas;
    for (const SpectrumPeak* line : lines) fitted_sigmas.push_back(line->fwhm / kFwhmPerSigma);
    const double usual_sigma = median(fitted_sigmas);
    for (std::size_t j = 0; j < inside.size(); ++j) {
      double covering = sigma_over_own_lines(channels, region_starts, j, lines);
      if (!(covering > 0.0)) covering = usual_sigma;
      PeakStart& start = starts[inside[j]];
      if (start.sigma > kSearchWidthExcess * covering) {
        start.sigma = covering;
        narrowed = true;
      }
    }
  }
  return narrowed;
}

// How many times the regions are planned again around broad lines. A tailed line takes the
// curvature of a detector's threshold into its tail and stays narrow enough to pass for a line;
// only once its broad neighbour is narrowed does it come out broad. On the real germanium
// spectra a second round took the kelp spectrum's threshold region from chisq/dof 27 to 1.3
// (6 220 to 25 with the resolution's widths); lines of the other shapes gained as many failed
// regions as better ones from it.
int narrowing_rounds(LineShape shape) { return has_tail(shape) ? 2 : 1; }

// Narrows the starts of the lines that came out several times wider than their neighbours, and
// of the regions they split (narrow_split_regions). True when any start changed.
bool narrow_broad_lines(const Channels& channels, const SpectrumFitResult& result,
                        std::vector<PeakStart>& starts) {
  bool narrowed = narrow_split_regions(channels, result, starts);
  for (std::size_t k = 0; k < result.peaks.size(); ++k) {
    const double fwhm = result.peaks[k].fwhm;
    const double usual = neighbours_fwhm(result, k);
    if (!(fwhm > kBroadLineInNeighbours * usual)) continue;
    const auto nearest =
        std::min_element(starts.begin(), starts.end(), [&](const PeakStart& a, const PeakStart& b) {
          return std::fabs(a.mean - result.peaks[k].mean) <
                 std::fabs(b.mean - result.peaks[k].mean);
        });
    if (nearest != starts.end() && nearest->sigma > usual / kFwhmPerSigma) {
      nearest->sigma = usual / kFwhmPerSigma;
      narrowed = true;
    }
  }
  return narrowed;
}

// The search's lines fitted, then again where a "line" came out several times wider than its
// neighbours: such a one is the curvature of the background taken with a line or two, in a
// region that its width made too wide for a background to serve. It starts again as wide as its
// neighbours, in a region of their size, and the lines it held come back from the residuals.
// The starts as they were last planned with go to `planned`, where given.
SpectrumFitResult fit_regions_without_broad_lines(const RegionSettings& context,
                                                  const SpectrumData& data,
                                                  std::vector<PeakStart> starts, double sigma,
                                                  bool add_residual_lines, Workers& workers,
                                                  std::vector<PeakStart>* planned = nullptr) {
  if (planned) *planned = starts;
  if (!add_residual_lines) {
    return fit_regions(context, data, starts, sigma, add_residual_lines, workers);
  }
  PlanFits fitted;
  SpectrumFitResult result =
      fit_regions(context, data, starts, sigma, add_residual_lines, workers, {}, &fitted);
  const int rounds = narrowing_rounds(context.shape.shape);
  for (int round = 0; round < rounds; ++round) {
    if (!narrow_broad_lines(context.channels, result, starts)) break;
    if (planned) *planned = starts;
    PlanFits refitted;
    result = fit_regions(context, data, starts, sigma, add_residual_lines, workers, fitted,
                         round + 1 < rounds ? &refitted : nullptr);
    fitted.insert(fitted.end(), refitted.begin(), refitted.end());
  }
  return result;
}

}  // namespace

SpectrumFitResult fit_lines(const SpectrumFit& settings, const SpectrumData& data,
                            const Channels& channels, const std::vector<PeakStart>& starts,
                            StartWidths start_widths, double sigma, bool add_residual_lines,
                            Workers& workers) {
  RegionSettings context{settings, channels, shape_settings(settings)};
  context.start_widths = start_widths;
  const bool caller_starts = !add_residual_lines && settings.get_fwhm() > 0.0;
  context.gaussian_first = !(caller_starts && starts_as_given(settings.get_shape()));
  const double lo = channels.x.front(), hi = channels.x.back();
  const double least_fwhm = kNarrowestFwhmInChannels * std::fabs(spacing(channels));
  std::optional<FittedResolution> resolution;
  if (context.shape.resolution) {
    resolution = FittedResolution{*context.shape.resolution, {}};
  }
  SpectrumFitResult result;
  if (settings.get_width() == WidthMode::resolution && !resolution) {
    // The resolution from the lines fitted with their own widths, then imposed on all, in the
    // regions that those fits found a background could serve: a region planned from the
    // search alone may reach over a detector's threshold, and lines held at the resolution
    // there cannot take the curvature that a broad line took before it was narrowed.
    SpectrumFit free = settings;
    free.set_width(WidthMode::free);
    RegionSettings own{free, channels, context.shape, context.gaussian_first};
    own.start_widths = start_widths;
    std::vector<PeakStart> planned;
    resolution =
        fit_resolution(fit_regions_without_broad_lines(own, data, starts, sigma, add_residual_lines,
                                                       workers, &planned),
                       context.shape.shape, sigma, least_fwhm, lo, hi);
    context.shape.resolution = resolution->resolution;
    result =
        fit_regions_without_broad_lines(context, data, planned, sigma, add_residual_lines, workers);
  } else {
    result =
        fit_regions_without_broad_lines(context, data, starts, sigma, add_residual_lines, workers);
  }
  if (settings.get_width() == WidthMode::resolution) {
    result.resolution = resolution->resolution.coefficients;
    result.resolution_covariance = resolution->covariance;
  } else if (has_narrow_line(result)) {
    if (!resolution) {
      resolution = fit_resolution(result, context.shape.shape, sigma, least_fwhm, lo, hi);
    }
    tie_narrow_lines(context, resolution->resolution, result);
  }
  if (add_residual_lines) drop_vanished_lines(context, result);
  mark_lines_outside_their_regions(result);
  add_line_measures(result, channels, data.live_time);
  return result;
}

// Start values for peaks at given positions: the height above the local background there, and
// the common width.
std::vector<PeakStart> starts_at(const Channels& channels, const std::vector<double>& positions,
                                 double sigma) {
  const int reach = 3 * matched_half_width(sigma / spacing(channels));
  std::vector<PeakStart> starts;
  for (double position : positions) {
    const auto channel = static_cast<std::size_t>(std::lround(channels.channel_of(position)));
    starts.push_back({position, height_at(channels, channel, reach), sigma});
  }
  return starts;
}

namespace {

// The fitted line nearest to x among those with a width, or null.
const SpectrumPeak* nearest_measured(const SpectrumFitResult& result, double x) {
  const SpectrumPeak* nearest = nullptr;
  for (const SpectrumPeak& peak : result.peaks) {
    if (!std::isfinite(peak.fwhm) || !std::isfinite(peak.mean)) continue;
    if (!nearest || std::fabs(peak.mean - x) < std::fabs(nearest->mean - x)) nearest = &peak;
  }
  return nearest;
}

// Starts kSearchWidthExcess times narrower or more than the lines measured near them take the
// measured width. True when any start changed.
bool widen_starts(const SpectrumFitResult& measured, std::vector<PeakStart>& starts) {
  bool widened = false;
  for (PeakStart& start : starts) {
    const SpectrumPeak* line = nearest_measured(measured, start.mean);
    if (!line) continue;
    const double sigma = restart_of(*line, LineShape::gaussian).sigma;
    if (sigma > kSearchWidthExcess * start.sigma) {
      start.sigma = sigma;
      widened = true;
    }
  }
  return widened;
}

}  // namespace

SpectrumFitResult fit_lines_at(const SpectrumFit& settings, const SpectrumData& data,
                               const Channels& channels, const std::vector<double>& positions,
                               double sigma, Workers& workers) {
  std::vector<PeakStart> starts = starts_at(channels, positions, sigma);
  const bool width_estimated = !(settings.get_fwhm() > 0.0) && !settings.has_window();
  constexpr StartWidths kMeasured = StartWidths::measured;
  if (!width_estimated)
    return fit_lines(settings, data, channels, starts, kMeasured, sigma, false, workers);
  SpectrumFit gaussian = settings;
  gaussian.set_shape(LineShape::gaussian);
  gaussian.set_width(WidthMode::free);
  const bool as_measured =
      settings.get_shape() == LineShape::gaussian && settings.get_width() == WidthMode::free;
  SpectrumFitResult measured =
      fit_lines(gaussian, data, channels, starts, kMeasured, sigma, false, workers);
  if (!widen_starts(measured, starts) && as_measured) return measured;
  return fit_lines(settings, data, channels, starts, kMeasured, sigma, false, workers);
}

}  // namespace vesk::numerics::detail
