#include "vesk/numerics/SpectrumFit.h"

#include <gsl/gsl_errno.h>

#include <cmath>
#include <string>
#include <utility>

#include "fit_policy.h"
#include "spectrum/line_search.h"
#include "spectrum/region_fit.h"
#include "spectrum/regions.h"
#include "spectrum/resolution_fit.h"
#include "spectrum/spectrum_channels.h"

namespace vesk::numerics {

namespace {

using detail::Channels;
using detail::PeakStart;

SpectrumFitResult refused(const SpectrumFit& settings, const SpectrumData& data, int status,
                          std::string text) {
  SpectrumFitResult result;
  result.background = settings.get_background();
  result.statistics = data.statistics;
  result.shape = settings.get_shape();
  result.width = settings.get_width();
  result.status = status;
  result.status_str = std::move(text);
  return result;
}

// Why the settings cannot fit these channels, or nothing: a held parameter outside its domain,
// or a given resolution without a positive FWHM over the data.
std::string unusable_settings(const SpectrumFit& settings, const Channels& channels) {
  for (int kind = 0; kind <= static_cast<int>(ShapeParameter::gamma); ++kind) {
    const auto parameter = static_cast<ShapeParameter>(kind);
    const std::optional<double> value = settings.get_fixed(parameter);
    if (value && !in_domain(parameter, *value)) {
      return std::string("fixed ") + shape_parameter_name(parameter) + " outside its domain";
    }
  }
  const auto given = settings.get_resolution();
  if (given && settings.get_width() == WidthMode::resolution &&
      !detail::positive_over(detail::Resolution{*given}, channels.x.front(), channels.x.back())) {
    return "resolution gives no positive FWHM over the data";
  }
  return {};
}

// The checked channels, or the result that says why there are none.
struct Checked {
  detail::PreparedChannels prepared;
  std::optional<SpectrumFitResult> refusal;
};

Checked check(const SpectrumFit& settings, const SpectrumData& data) {
  Checked checked{detail::prepare_channels(data), std::nullopt};
  if (checked.prepared.status != GSL_SUCCESS) {
    checked.refusal = refused(settings, data, checked.prepared.status, checked.prepared.status_str);
  } else if (std::string why = unusable_settings(settings, checked.prepared.channels);
             !why.empty()) {
    checked.refusal = refused(settings, data, GSL_EINVAL, std::move(why));
  }
  return checked;
}

bool inside(const SpectrumFit& settings, const Channels& channels, double position) {
  if (settings.has_window()) {
    return settings.get_window_lo() <= position && position <= settings.get_window_hi();
  }
  return channels.x.front() <= position && position <= channels.x.back();
}

}  // namespace

void SpectrumFit::set_accuracy(double accuracy) {
  accuracy_ = detail::clamped_accuracy(accuracy);
  if (std::isnan(accuracy)) accuracy_ = default_accuracy;
}

std::vector<FoundPeak> SpectrumFit::find_peaks(const SpectrumData& data) const {
  const detail::PreparedChannels prepared = detail::prepare_channels(data);
  if (prepared.status != GSL_SUCCESS) return {};
  detail::Workers workers(threads_);
  return detail::search_lines(*this, prepared.channels,
                              detail::common_sigma(*this, prepared.channels, workers), workers);
}

SpectrumFitResult SpectrumFit::fit(const SpectrumData& data) const {
  const Checked checked = check(*this, data);
  if (checked.refusal) return *checked.refusal;
  const Channels& channels = checked.prepared.channels;
  detail::Workers workers(threads_);
  const double sigma = detail::common_sigma(*this, channels, workers);
  std::vector<PeakStart> starts;
  for (const FoundPeak& peak : detail::search_lines(*this, channels, sigma, workers)) {
    starts.push_back({peak.mean, peak.amplitude, peak.sigma});
  }
  // Nothing found and no window to fit: a spectrum without peaks or regions.
  if (starts.empty() && !has_window()) {
    return refused(*this, data, GSL_SUCCESS, gsl_strerror(GSL_SUCCESS));
  }
  return detail::fit_lines(*this, data, channels, starts, detail::StartWidths::searched, sigma,
                           true, workers);
}

SpectrumFitResult SpectrumFit::fit(const SpectrumData& data,
                                   const std::vector<double>& positions) const {
  const Checked checked = check(*this, data);
  if (checked.refusal) return *checked.refusal;
  const Channels& channels = checked.prepared.channels;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (!inside(*this, channels, positions[i])) {
      return refused(*this, data, GSL_EINVAL,
                     "peak position " + std::to_string(i) + " outside the " +
                         (has_window() ? "window" : "data"));
    }
  }
  detail::Workers workers(threads_);
  double sigma = detail::common_sigma(*this, channels, workers);
  // Without a width from the settings or the data, a tenth of the data's span.
  if (!(sigma > 0.0)) sigma = 0.1 * (channels.x.back() - channels.x.front());
  return detail::fit_lines_at(*this, data, channels, positions, sigma, workers);
}

SpectrumFitResult SpectrumFit::fit(const SpectrumData& data,
                                   const std::vector<FoundPeak>& peaks) const {
  const Checked checked = check(*this, data);
  if (checked.refusal) return *checked.refusal;
  const Channels& channels = checked.prepared.channels;
  std::vector<PeakStart> starts;
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    if (!inside(*this, channels, peaks[i].mean) || !std::isfinite(peaks[i].amplitude) ||
        !(std::fabs(peaks[i].sigma) > 0.0) || !std::isfinite(peaks[i].sigma)) {
      return refused(*this, data, GSL_EINVAL, "peak " + std::to_string(i) + " cannot start a fit");
    }
    starts.push_back({peaks[i].mean, peaks[i].amplitude, std::fabs(peaks[i].sigma)});
  }
  detail::Workers workers(threads_);
  const double sigma =
      starts.empty() ? detail::common_sigma(*this, channels, workers) : starts[0].sigma;
  return detail::fit_lines(*this, data, channels, starts, detail::StartWidths::searched, sigma,
                           false, workers);
}

}  // namespace vesk::numerics
