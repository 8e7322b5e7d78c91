#include "fit_plot.h"

#include <array>

#include "plot_style.h"

namespace vesk::tools {

namespace {

constexpr int kCurveSamples = 400;

void draw_legend() {
  std::array<PLINT, 2> types = {PL_LEGEND_SYMBOL, PL_LEGEND_LINE};
  std::array<const char*, 2> texts = {"data", "fitted Gaussian"};
  std::array<PLINT, 2> text_colours = {kInk, kInk};
  std::array<PLINT, 2> box_colours = {0, 0}, box_patterns = {0, 0};
  std::array<PLFLT, 2> box_scales = {0, 0}, box_widths = {0, 0};
  std::array<PLINT, 2> line_colours = {kData, kCurve}, line_styles = {1, 1};
  std::array<PLFLT, 2> line_widths = {1, 1.5};
  std::array<PLINT, 2> symbol_colours = {kData, kData}, symbol_numbers = {1, 1};
  std::array<PLFLT, 2> symbol_scales = {kSymbolScale, kSymbolScale};
  std::array<const char*, 2> symbols = {kDataSymbol, ""};
  PLFLT width = 0;
  PLFLT height = 0;
  pllegend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX,
           PL_POSITION_TOP | PL_POSITION_RIGHT | PL_POSITION_INSIDE, 0.02, 0.02, 0.1, kBackground,
           kInk, 1, 0, 0, 2, types.data(), 0.8, 1.0, 2.0, 0.0, text_colours.data(), texts.data(),
           box_colours.data(), box_patterns.data(), box_scales.data(), box_widths.data(),
           line_colours.data(), line_styles.data(), line_widths.data(), symbol_colours.data(),
           symbol_scales.data(), symbol_numbers.data(), symbols.data());
}

void draw_fit_panel(const std::vector<double>& x, const std::vector<double>& y,
                    const numerics::GaussFitResult& fit, const Range& x_range,
                    const std::string& y_label) {
  std::vector<double> curve_x(kCurveSamples);
  for (int i = 0; i < kCurveSamples; ++i) {
    curve_x[i] = x_range.low + (x_range.high - x_range.low) * i / (kCurveSamples - 1);
  }
  const std::vector<double> curve_y = fit.gaussian(curve_x);
  std::vector<double> all_y = y;
  all_y.insert(all_y.end(), curve_y.begin(), curve_y.end());
  const Range y_range = padded_range(all_y);

  plvpor(0.12, 0.95, 0.38, 0.93);
  plwind(x_range.low, x_range.high, y_range.low, y_range.high);
  plcol0(kInk);
  plbox("bcst", 0, 0, "bcnstv", 0, 0);
  pllab("", y_label.c_str(), "Gaussian peak fit");
  plcol0(kData);
  plschr(0, kSymbolScale);
  plstring(static_cast<PLINT>(x.size()), x.data(), y.data(), kDataSymbol);
  plschr(0, 1.0);
  plcol0(kCurve);
  plwidth(1.5);
  plline(kCurveSamples, curve_x.data(), curve_y.data());
  plwidth(1);
  draw_legend();
}

void draw_residual_panel(const std::vector<double>& x, const std::vector<double>& y,
                         const numerics::GaussFitResult& fit, const Range& x_range,
                         const std::string& x_label) {
  std::vector<double> residuals = fit.gaussian(x);
  for (std::size_t i = 0; i < residuals.size(); ++i) residuals[i] = y[i] - residuals[i];
  std::vector<double> with_zero = residuals;
  with_zero.push_back(0.0);
  const Range r_range = padded_range(with_zero);

  plvpor(0.12, 0.95, 0.10, 0.32);
  plwind(x_range.low, x_range.high, r_range.low, r_range.high);
  plcol0(kInk);
  plbox("bcnst", 0, 0, "bcnstv", 0, 3);
  pllab(x_label.c_str(), "residual", "");
  plcol0(kGuide);
  const std::array<PLFLT, 2> zero_x = {x_range.low, x_range.high};
  const std::array<PLFLT, 2> zero_y = {0, 0};
  plline(2, zero_x.data(), zero_y.data());
  plcol0(kData);
  plstring(static_cast<PLINT>(x.size()), x.data(), residuals.data(), kResidualSymbol);
}

}  // namespace

void write_fit_plot(const std::string& path, const std::vector<double>& x,
                    const std::vector<double>& y, const numerics::GaussFitResult& fit,
                    const std::string& x_label, const std::string& y_label) {
  begin_svg_page(path);
  const Range x_range = padded_range(x);
  draw_fit_panel(x, y, fit, x_range, y_label);
  draw_residual_panel(x, y, fit, x_range, x_label);
  plend();
}

}  // namespace vesk::tools
