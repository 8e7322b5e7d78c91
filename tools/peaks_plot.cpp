#include "peaks_plot.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "plot_style.h"
#include "vesk/report/html_report.h"

namespace vesk::tools {

namespace {

constexpr int kSamplesPerRegion = 200;
// On a logarithmic axis empty channels are drawn at this fraction of the smallest positive value.
constexpr double kLogFloorShare = 0.5;

using numerics::SpectrumFitResult;
using numerics::SpectrumRegion;

// Values as the axis shows them: their decimal logarithm on a logarithmic axis, with values at
// or below zero raised to the floor.
struct YAxis {
  bool log = false;
  double floor = 1.0;
  double operator()(double y) const { return log ? std::log10(std::max(y, floor)) : y; }
};

YAxis y_axis_for(const std::vector<double>& y, bool log) {
  YAxis axis{log, 1.0};
  double smallest = INFINITY;
  for (double value : y) {
    if (value > 0.0) smallest = std::min(smallest, value);
  }
  if (std::isfinite(smallest)) axis.floor = kLogFloorShare * smallest;
  return axis;
}

std::vector<double> samples(const SpectrumRegion& region) {
  std::vector<double> x(kSamplesPerRegion);
  for (int i = 0; i < kSamplesPerRegion; ++i) {
    x[static_cast<std::size_t>(i)] =
        region.lo + (region.hi - region.lo) * i / (kSamplesPerRegion - 1);
  }
  return x;
}

// Data as steps: each value drawn flat across its channel, as one line.
void draw_steps(const std::vector<double>& x, const std::vector<double>& y) {
  if (x.size() < 2) return;
  std::vector<double> step_x, step_y;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double left = i > 0 ? 0.5 * (x[i - 1] + x[i]) : x[0] - 0.5 * (x[1] - x[0]);
    const double right =
        i + 1 < x.size() ? 0.5 * (x[i] + x[i + 1]) : x[i] + 0.5 * (x[i] - x[i - 1]);
    step_x.insert(step_x.end(), {left, right});
    step_y.insert(step_y.end(), {y[i], y[i]});
  }
  plline(static_cast<PLINT>(step_x.size()), step_x.data(), step_y.data());
}

template <typename Curve>
void draw_curve(const std::vector<double>& x, const YAxis& axis, Colour colour, PLFLT width,
                Curve curve) {
  std::vector<double> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = axis(curve(x[i]));
  plcol0(colour);
  plwidth(width);
  plline(static_cast<PLINT>(x.size()), x.data(), y.data());
  plwidth(1);
}

void shade(const SpectrumRegion& region, const Range& y_range) {
  std::array<PLFLT, 4> x = {region.lo, region.hi, region.hi, region.lo};
  std::array<PLFLT, 4> y = {y_range.low, y_range.low, y_range.high, y_range.high};
  plcol0(kRegionShade);
  plfill(4, x.data(), y.data());
}

void draw_legend() {
  constexpr int kEntries = 5;
  std::array<PLINT, kEntries> types = {PL_LEGEND_LINE, PL_LEGEND_LINE, PL_LEGEND_LINE,
                                       PL_LEGEND_LINE, PL_LEGEND_COLOR_BOX};
  std::array<const char*, kEntries> texts = {"data", "fitted model", "lines", "background",
                                             "fitted region"};
  std::array<PLINT, kEntries> text_colours = {kInk, kInk, kInk, kInk, kInk};
  std::array<PLINT, kEntries> box_colours = {0, 0, 0, 0, kRegionShade};
  std::array<PLINT, kEntries> box_patterns = {0, 0, 0, 0, 0};
  std::array<PLFLT, kEntries> box_scales = {0, 0, 0, 0, 0.6};
  std::array<PLFLT, kEntries> box_widths = {0, 0, 0, 0, 1};
  std::array<PLINT, kEntries> line_colours = {kData, kCurve, kPeak, kBaseline, 0};
  std::array<PLINT, kEntries> line_styles = {1, 1, 1, 1, 1};
  std::array<PLFLT, kEntries> line_widths = {1, 1.5, 1, 1, 1};
  std::array<PLINT, kEntries> symbol_colours = {0, 0, 0, 0, 0}, symbol_numbers = {0, 0, 0, 0, 0};
  std::array<PLFLT, kEntries> symbol_scales = {0, 0, 0, 0, 0};
  std::array<const char*, kEntries> symbols = {"", "", "", "", ""};
  PLFLT width = 0;
  PLFLT height = 0;
  // Above the spectrum, where it hides no data whatever the spectrum looks like.
  pllegend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_ROW_MAJOR,
           PL_POSITION_TOP | PL_POSITION_OUTSIDE, 0.0, 0.01, 0.03, kBackground, kInk, 0, 1, 3,
           kEntries, types.data(), 0.5, 0.7, 1.6, 0.0, text_colours.data(), texts.data(),
           box_colours.data(), box_patterns.data(), box_scales.data(), box_widths.data(),
           line_colours.data(), line_styles.data(), line_widths.data(), symbol_colours.data(),
           symbol_scales.data(), symbol_numbers.data(), symbols.data());
}

void draw_spectrum_panel(const SpectrumFitFile& fit, const YAxis& axis, const Range& x_range) {
  const SpectrumFitResult& result = fit.result;
  std::vector<double> shown(fit.data.y.size());
  for (std::size_t i = 0; i < shown.size(); ++i) shown[i] = axis(fit.data.y[i]);
  const Range y_range = padded_range(shown);
  plvpor(0.12, 0.95, 0.38, 0.90);
  plwind(x_range.low, x_range.high, y_range.low, y_range.high);
  for (const SpectrumRegion& region : result.regions) shade(region, y_range);
  plcol0(kData);
  draw_steps(fit.data.x, shown);
  for (std::size_t r = 0; r < result.regions.size(); ++r) {
    const SpectrumRegion& region = result.regions[r];
    if (!region.ok()) continue;
    const std::vector<double> x = samples(region);
    draw_curve(x, axis, kBaseline, 1.0, [&](double v) { return result.evaluate_background(v); });
    for (std::size_t k = 0; k < result.peaks.size(); ++k) {
      if (result.peaks[k].region != r) continue;
      draw_curve(x, axis, kPeak, 1.0, [&](double v) {
        return result.evaluate_background(v) + result.evaluate_peak(k, v);
      });
    }
    draw_curve(x, axis, kCurve, 1.5, [&](double v) { return result.evaluate(v); });
  }
  plcol0(kInk);
  plbox("bcst", 0, 0, axis.log ? "bcnstvl" : "bcnstv", 0, 0);
  pllab("", fit.data.y_label.c_str(), "");
  draw_legend();
}

// The residual of point i over its uncertainty, as the HTML report has it.
double normalised_residual(const SpectrumFitFile& fit, std::size_t i) {
  const double error = fit.data.errors.empty() ? NAN : fit.data.errors[i];
  return report::normalised_residual(fit.result, fit.data.x[i], fit.data.y[i], error);
}

void draw_residual_panel(const SpectrumFitFile& fit, const Range& x_range) {
  // One run of steps per region, so that no line bridges the data between regions.
  std::vector<std::vector<double>> run_x(fit.result.regions.size()), run_r(run_x.size());
  std::vector<double> all = {-3.0, 3.0};
  for (std::size_t i = 0; i < fit.data.x.size(); ++i) {
    const double value = normalised_residual(fit, i);
    if (!std::isfinite(value)) continue;
    const std::size_t region = fit.result.region_at(fit.data.x[i]);
    run_x[region].push_back(fit.data.x[i]);
    run_r[region].push_back(value);
    all.push_back(value);
  }
  const Range r_range = padded_range(all);
  plvpor(0.12, 0.95, 0.10, 0.32);
  plwind(x_range.low, x_range.high, r_range.low, r_range.high);
  plcol0(kGuide);
  for (double level : {-2.0, 0.0, 2.0}) {
    const std::array<PLFLT, 2> line_x = {x_range.low, x_range.high};
    const std::array<PLFLT, 2> line_y = {level, level};
    plline(2, line_x.data(), line_y.data());
  }
  plcol0(kData);
  for (std::size_t region = 0; region < run_x.size(); ++region) {
    draw_steps(run_x[region], run_r[region]);
  }
  plcol0(kInk);
  plbox("bcnst", 0, 0, "bcnstv", 0, 0);
  pllab(fit.data.x_label.c_str(), "residual / error", "");
}

}  // namespace

void write_peaks_plot(const std::string& path, const SpectrumFitFile& fit, bool log_y) {
  begin_svg_page(path);
  const Range x_range = padded_range(fit.data.x);
  draw_spectrum_panel(fit, y_axis_for(fit.data.y, log_y), x_range);
  draw_residual_panel(fit, x_range);
  plend();
}

}  // namespace vesk::tools
