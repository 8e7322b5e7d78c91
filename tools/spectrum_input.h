#ifndef VESK_TOOLS_SPECTRUM_INPUT_H
#define VESK_TOOLS_SPECTRUM_INPUT_H

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fit_input.h"

namespace vesk::tools {

/// A spectrum read from a file: positions, values and, from a third column, per-point errors.
struct SpectrumFile {
  std::vector<double> x;
  std::vector<double> y;
  std::vector<double> errors;  ///< empty without an error column
  std::string x_label;
  std::string y_label;
  /// The measurement's live time in seconds, NaN where the file does not give one.
  double live_time = std::numeric_limits<double>::quiet_NaN();
};

/// The columns of `peaks --columns`: X,Y or X,Y,ERR, each a 1-based number or a header name.
struct SpectrumColumns {
  std::string x;
  std::string y;
  std::optional<std::string> errors;
};

/// Parses "X,Y" or "X,Y,ERR". @throws UsageError when malformed.
SpectrumColumns parse_spectrum_columns(const std::string& text);

/// Reads the file at @p path ("-": standard input): the chosen columns, or without a choice one
/// column (y against the channel number 0, 1, 2, ...), two (x y) or three (x y error), keeping
/// the points inside @p range.
/// @throws DataError naming the file for unreadable data or an unknown column.
SpectrumFile load_spectrum(const std::string& path, const std::optional<SpectrumColumns>& columns,
                           const XRange& range);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_SPECTRUM_INPUT_H
