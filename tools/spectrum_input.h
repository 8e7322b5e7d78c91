#ifndef VESK_TOOLS_SPECTRUM_INPUT_H
#define VESK_TOOLS_SPECTRUM_INPUT_H

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "fit_input.h"
#include "vesk/io/Spectrum.h"

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
  /// Its real (clock) time in seconds, NaN where the file does not give one.
  double real_time = std::numeric_limits<double>::quiet_NaN();
  std::string format;       ///< An instrument file's format; empty for text columns.
  std::string calibration;  ///< How an instrument file's channels map to x, as text.
  bool is_counts = false;   ///< Whether an instrument file holds counts.
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

/// How the x of an instrument file are taken: the file's (calibrated x, or channel numbers where
/// it has no calibration), the channel numbers, or a calibration given on the command line.
struct XChoice {
  bool channels = false;            ///< --channels
  std::vector<double> calibration;  ///< --calibration C0,C1[,C2]; empty: the file's
};

/// Parses "C0,C1" or "C0,C1,C2" (x = C0 + C1 ch + C2 ch^2). @throws UsageError when malformed.
std::vector<double> parse_calibration(const std::string& text);

/// The x of @p spectrum as @p choice asks, with their label ("energy (keV)", "channel", ...).
std::vector<double> x_of(const io::Spectrum& spectrum, const XChoice& choice, std::string* label);

/// The points of an instrument file's spectrum inside @p range, x as @p choice asks.
SpectrumFile spectrum_file_of(const io::Spectrum& spectrum, const XChoice& choice,
                              const XRange& range);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_SPECTRUM_INPUT_H
