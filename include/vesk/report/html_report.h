#ifndef VESK_REPORT_HTML_REPORT_H
#define VESK_REPORT_HTML_REPORT_H

/// @file
/// A fitted spectrum as one self-contained HTML page that a user explores in the browser: the
/// spectrum with the fitted model, its background and each line, the residuals under it, the
/// table of lines (every column of peak_columns()) and what is known of the measurement. The
/// plotting library and the data are inlined; the page loads nothing.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::report {

/// A name and its value, both as text to show.
using Fact = std::pair<std::string, std::string>;

/// What the report's header tells about the measurement and the fit. Empty texts and unset
/// times are left out of the page. Texts may hold any bytes: bytes that are not UTF-8 are shown
/// as U+FFFD, and nothing in them is ever read as markup or script.
struct ReportFacts {
  std::string file;                 ///< The file, as the user named it.
  std::string format;               ///< The file's format.
  std::optional<double> live_time;  ///< Live time of the measurement, in seconds.
  std::optional<double> real_time;  ///< Real (clock) time of the measurement, in seconds.
  std::string calibration;          ///< How channels map to x, as text.
  std::string shape;                ///< The shape of the fitted lines.
  std::vector<Fact> settings;       ///< The fit's settings, in the order to show.
  std::vector<Fact> metadata;       ///< Further facts the file holds.
  std::string x_label = "x";        ///< Name (and unit) of x.
  std::string y_label = "y";        ///< Name (and unit) of y.
  std::string version;              ///< The program or package that wrote the report.
};

/// Sets @p facts' shape and settings to those of @p fitter: background, widths, FWHM, how the
/// lines were chosen (the search and its threshold, or the given @p positions when there are
/// any), window, iteration budget and accuracy.
void describe_fit(const numerics::SpectrumFit& fitter, const std::vector<double>& positions,
                  ReportFacts& facts);

/// The residual of the point (@p x, @p y) over its uncertainty: the square root of the model for
/// Poisson counts, @p error (the point's standard deviation) for weighted data, the scatter of
/// its region (sqrt(chisq / dof)) for unweighted data. NaN outside every fitted region and in
/// regions whose fit failed.
double normalised_residual(const numerics::SpectrumFitResult& result, double x, double y,
                           double error);

/// The page for @p data fitted as @p result (its statistics say how the residuals are scaled;
/// @p data.sigma is read for weighted data). @p data.size points may be any number, none
/// included; the page stays small (about 40 bytes a channel plus the fitted curves).
std::string html_report(const numerics::SpectrumData& data,
                        const numerics::SpectrumFitResult& result, const ReportFacts& facts);

/// Writes html_report() to @p path.
/// @throws std::runtime_error naming @p path when it cannot be written.
void write_html_report(const std::string& path, const numerics::SpectrumData& data,
                       const numerics::SpectrumFitResult& result, const ReportFacts& facts);

}  // namespace vesk::report

#endif  // VESK_REPORT_HTML_REPORT_H
