#include "vesk/numerics/SpectrumFitResult.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "spectrum/evaluation.h"

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

double peak_at(const SpectrumPeak& peak, double x) {
  const double distance = (x - peak.mean) / peak.sigma;
  return peak.amplitude * std::exp(-0.5 * distance * distance);
}

}  // namespace detail

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

}  // namespace

std::size_t SpectrumFitResult::region_at(double x) const {
  for (std::size_t i = 0; i < regions.size(); ++i) {
    if (regions[i].lo <= x && x <= regions[i].hi) return i;
  }
  return regions.size();
}

double SpectrumFitResult::evaluate_background(double x) const {
  const std::size_t index = region_at(x);
  if (index == regions.size() || !regions[index].ok()) return kNan;
  const SpectrumRegion& region = regions[index];
  return detail::background_at(background, region.b0, region.b1, region.b2, x);
}

double SpectrumFitResult::evaluate(double x) const {
  const std::size_t index = region_at(x);
  double value = evaluate_background(x);
  if (std::isnan(value)) return value;
  for (const SpectrumPeak& peak : peaks) {
    if (peak.region == index) value += detail::peak_at(peak, x);
  }
  return value;
}

double SpectrumFitResult::evaluate_peak(std::size_t index, double x) const {
  if (index >= peaks.size() || region_at(x) != peaks[index].region) return kNan;
  return detail::peak_at(peaks[index], x);
}

}  // namespace vesk::numerics
