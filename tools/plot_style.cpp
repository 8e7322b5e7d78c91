#include "plot_style.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vesk::tools {

namespace {

constexpr PLFLT kMargin = 0.05;  // fraction of the data range left free on each side

void set_colours() {
  plscol0(kBackground, 255, 255, 255);
  plscol0(kInk, 0, 0, 0);
  plscol0(kData, 31, 119, 180);
  plscol0(kCurve, 214, 39, 40);
  plscol0(kGuide, 150, 150, 150);
  plscol0(kPeak, 44, 160, 44);
  plscol0(kBaseline, 255, 127, 14);
  plscol0a(kRegionShade, 148, 103, 189, 0.15);
}

}  // namespace

Range padded_range(const std::vector<double>& values) {
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  const PLFLT span = *high > *low ? *high - *low : std::max(1.0, std::abs(*low));
  return {*low - kMargin * span, *high + kMargin * span};
}

void begin_svg_page(const std::string& path) {
  // PLplot ends the process when it cannot open its file, so the path is tried here first.
  if (!std::ofstream(path)) {
    throw std::runtime_error(path + ": cannot write plot: " + std::strerror(errno));
  }
  plsdev("svg");
  plsfnam(path.c_str());
  plspage(0, 0, 900, 675, 0, 0);
  set_colours();
  plinit();
  pladv(0);
}

}  // namespace vesk::tools
