#include "vesk/numerics/SpectrumFitResult.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "spectrum/line_shape.h"
#include "spectrum/region_model.h"

namespace vesk::numerics {

namespace detail {

double background_at(Background background, double b0, double b1, double b2, double x) {
  switch (background) {
    case Background::none:
      return 0.0;
    case Background::constant:
      return b0;
    case Background::linear:
      return b0 + b1 * x;
    case Background::quadratic:
      return b0 + x * (b1 + x * b2);
    case Background::exponential:
      return b0 * std::exp(-b1 * x);
  }
  return 0.0;
}

}  // namespace detail

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

detail::LineParameters line_of(const SpectrumFitResult& result, const SpectrumPeak& peak) {
  detail::LineParameters line;
  line.amplitude = peak.amplitude;
  line.mean = peak.mean;
  line.sigma = peak.sigma;
  line.gamma = peak.gamma;
  line.eta = peak.eta;
  // A region whose lines are all absent fitted no tail and no step: its lines have none.
  if (peak.region < result.regions.size() && !std::isnan(result.regions[peak.region].tail)) {
    const SpectrumRegion& region = result.regions[peak.region];
    line.tail = region.tail;
    line.tail_slope = region.tail_slope;
    line.step = region.step;
  }
  return line;
}

}  // namespace

std::size_t SpectrumFitResult::region_at(double x) const {
  for (std::size_t i = 0; i < regions.size(); ++i) {
    if (regions[i].contains(x)) return i;
  }
  return regions.size();
}

double detail::region_background(const SpectrumFitResult& result, std::size_t index, double x) {
  const SpectrumRegion& region = result.regions[index];
  double value = background_at(result.background, region.b0, region.b1, region.b2, x);
  // The steps under tailed lines: charge lost by the line's events raises the background
  // below it.
  if (result.shape == LineShape::tailed) {
    for (const SpectrumPeak& peak : result.peaks) {
      if (peak.region == index) value += step_value(result.shape, line_of(result, peak), x);
    }
  }
  return value;
}

double detail::region_background_sum(const SpectrumFitResult& result, std::size_t index,
                                     const double* x, std::size_t count) {
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) sum += region_background(result, index, x[i]);
  return sum;
}

double SpectrumFitResult::evaluate_background(double x) const {
  const std::size_t index = region_at(x);
  if (index == regions.size() || !regions[index].ok()) return kNan;
  return detail::region_background(*this, index, x);
}

double SpectrumFitResult::evaluate(double x) const {
  const std::size_t index = region_at(x);
  double value = evaluate_background(x);
  if (std::isnan(value)) return value;
  for (const SpectrumPeak& peak : peaks) {
    if (peak.region == index) value += detail::line_value(shape, line_of(*this, peak), x);
  }
  return value;
}

double SpectrumFitResult::evaluate_peak(std::size_t index, double x) const {
  if (index >= peaks.size() || region_at(x) != peaks[index].region) return kNan;
  return detail::line_value(shape, line_of(*this, peaks[index]), x);
}

}  // namespace vesk::numerics
