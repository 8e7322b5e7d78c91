#include "trend_plot.h"

#include <algorithm>
#include <cmath>

#include "plot_style.h"

namespace vesk::tools {

namespace {

constexpr double kTicksPerAxis = 4.0;       // about as many as PLplot chooses
constexpr PLFLT kYLabelDisplacement = 6.5;  // character heights left of the axis, past its numbers

// One quantity of the series with its error bars: the points' values and their error ranges.
struct Trend {
  std::vector<double> value;
  std::vector<double> low;
  std::vector<double> high;
};

void add_point(Trend& trend, double value, double error) {
  trend.value.push_back(value);
  trend.low.push_back(value - error);
  trend.high.push_back(value + error);
}

// Draws one panel in the viewport's vertical band [bottom, top].
void draw_panel(const std::vector<double>& positions, Trend& trend, const Range& x_range,
                PLFLT bottom, PLFLT top, const std::string& x_label, const std::string& y_label,
                const char* title) {
  std::vector<double> extent = trend.low;
  extent.insert(extent.end(), trend.high.begin(), trend.high.end());
  const Range y_range = padded_range(extent);
  plvpor(0.14, 0.95, bottom, top);
  plwind(x_range.low, x_range.high, y_range.low, y_range.high);
  plcol0(kInk);
  // A drift is often far smaller than the value itself: enough decimals to tell the ticks apart.
  const double tick_spacing = (y_range.high - y_range.low) / kTicksPerAxis;
  plbox(x_label.empty() ? "bcst" : "bcnst", 0, 0, "", 0, 0);
  plprec(1, std::max(0, static_cast<int>(std::ceil(-std::log10(tick_spacing)))));
  plbox("", 0, 0, "bcnstv", 0, 0);
  plprec(0, 0);
  pllab(x_label.c_str(), "", title);
  plmtex("l", kYLabelDisplacement, 0.5, 0.5, y_label.c_str());
  const PLINT count = static_cast<PLINT>(positions.size());
  plcol0(kCurve);
  plerry(count, positions.data(), trend.low.data(), trend.high.data());
  plcol0(kGuide);
  plline(count, positions.data(), trend.value.data());
  plcol0(kData);
  plschr(0, kSymbolScale);
  plstring(count, positions.data(), trend.value.data(), kDataSymbol);
  plschr(0, 1.0);
}

}  // namespace

void write_trend_plot(const std::string& path, const std::vector<FileFit>& fits,
                      const std::string& position_label) {
  std::vector<double> positions;
  Trend mean;
  Trend sigma;
  std::string x_unit;
  for (const FileFit& fit : fits) {
    if (!completed(fit.result)) continue;
    positions.push_back(fit.series_position);
    add_point(mean, fit.result.mean_, fit.result.mean_err_);
    add_point(sigma, fit.result.sigma_, fit.result.sigma_err_);
    x_unit = fit.data.x_label;
  }
  begin_svg_page(path);
  if (!positions.empty()) {
    const Range x_range = padded_range(positions);
    draw_panel(positions, mean, x_range, 0.56, 0.93, "", "mean (" + x_unit + ")",
               "Fitted peak across the series");
    draw_panel(positions, sigma, x_range, 0.10, 0.48, position_label, "sigma (" + x_unit + ")", "");
  }
  plend();
}

}  // namespace vesk::tools
