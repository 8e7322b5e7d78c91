#ifndef VESK_TOOLS_PLOT_STYLE_H
#define VESK_TOOLS_PLOT_STYLE_H

// What the program's SVG plots share: colours, symbols, axis ranges and the page.

#include <plplot/plplot.h>

#include <string>
#include <vector>

namespace vesk::tools {

/// Colour map 0 entries used by the plots.
enum Colour : PLINT {
  kBackground = 0,
  kInk = 1,
  kData = 2,
  kCurve = 3,
  kGuide = 4,
  kPeak = 5,         ///< one line's own curve
  kBaseline = 6,     ///< a fitted background
  kRegionShade = 7,  ///< translucent fill of a fitted region
};

constexpr PLFLT kSymbolScale = 0.55;          ///< data symbols relative to the text height
constexpr char kDataSymbol[] = "\u25CF";      ///< filled circle
constexpr char kResidualSymbol[] = "\u2022";  ///< bullet

/// An axis range.
struct Range {
  PLFLT low;
  PLFLT high;
};

/// The range of @p values with a margin on each side; a single value gets a range around it.
Range padded_range(const std::vector<double>& values);

/// Starts an SVG page of 900 x 675 at @p path with the plots' colours; end it with plend().
/// @throws std::runtime_error when the file cannot be written.
void begin_svg_page(const std::string& path);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_PLOT_STYLE_H
