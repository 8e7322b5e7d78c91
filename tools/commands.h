#ifndef VESK_TOOLS_COMMANDS_H
#define VESK_TOOLS_COMMANDS_H

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk::tools {

/// A command line that asks for something impossible; reported with the usage hint, exit 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The output formats of fit and peaks.
enum class Format { kTable, kCsv, kJson };

/// The format that --format names ("table", "csv" or "json", as the command line has checked);
/// empty means the table.
inline Format format_named(const std::string& name) {
  if (name == "csv") return Format::kCsv;
  return name == "json" ? Format::kJson : Format::kTable;
}

/// Exit statuses of the program.
enum ExitStatus : int { kSuccess = 0, kFitFailed = 1, kBadInput = 2 };

struct FitOptions {
  std::vector<std::string> inputs;        ///< empty: standard input
  std::optional<double> constant_offset;  ///< set: constant-offset mode with this offset
  int max_iterations = 50;
  double accuracy = 1e-8;
  std::string solver = "lmsder";  ///< lmsder or normal (the normal-equations solver)
  bool json = false;              ///< the same as format "json"
  std::string format;             ///< table, csv or json; empty: table
  std::string range;              ///< LO:HI of x, either side may be empty; empty: every point
  std::string columns;          ///< X,Y or Y: numbers from 1 or header names; empty: 1 or 2 columns
  bool summary = false;         ///< add the mean and spread of the completed fits
  std::string plot_path;        ///< empty: no plot
  std::string trend_plot_path;  ///< empty: no plot of the series
  std::string trend_x;          ///< regex with one group finding a number in each file name
  std::string x_label;          ///< empty: the header's name, else "x"
  std::string y_label;
};

struct PeaksOptions {
  std::vector<std::string> inputs;  ///< empty: standard input
  std::string columns;              ///< X,Y or X,Y,ERR; empty: 1, 2 or 3 columns as they come
  std::string range;                ///< LO:HI of x to read; empty: every point
  bool counts = false;              ///< y are Poisson counts
  std::string background = "linear";
  std::optional<double> fwhm;  ///< unset: estimated from the data
  double threshold = 5.0;
  std::string at;      ///< M1,M2,...: fit lines here instead of searching
  std::string window;  ///< LO:HI: one region over exactly these points
  bool same_width = false;
  std::string shape = "gaussian";  ///< gaussian, tailed, lorentzian, pseudo-voigt or voigt
  std::string width;  ///< free, shared or resolution; empty: free, or resolution with one given
  std::string resolution;        ///< W0,W1,W2: the detector's resolution; empty: fitted
  std::vector<std::string> fix;  ///< NAME=VALUE, each a shape parameter held at a value
  int max_iterations = 50;
  double accuracy = 1e-8;
  int threads = 1;        ///< threads one spectrum's fit may use
  std::string format;     ///< table, csv or json; empty: table
  std::string plot_path;  ///< empty: no plot
  bool log_y = false;
  std::optional<double> live_time;        ///< seconds; unset: the file's, if it has one
  std::string blank;                      ///< a blank's spectrum; empty: none
  std::optional<double> blank_live_time;  ///< seconds; unset: the blank file's, if it has one
  std::string html_path;                  ///< empty: no HTML report
  bool channels = false;                  ///< instrument files: x are channel numbers
  std::string calibration;  ///< instrument files: C0,C1[,C2] replaces the file's calibration
};

struct InfoOptions {
  std::vector<std::string> inputs;
  std::string format;  ///< table (empty) or json
};

struct ConvertOptions {
  std::vector<std::string> inputs;
  std::string to = "csv";  ///< csv or json
};

struct SmoothOptions {
  std::string input = "-";
  int order = -1;
  std::optional<int> window;
  std::optional<int> left;
  std::optional<int> right;
};

struct RotateOptions {
  std::string input;  ///< empty: print the matrix only
  std::string axis;
  double angle = 0.0;
  bool degrees = false;
};

/// Fits a peak to each input and prints the results. Returns the worst outcome: kSuccess,
/// kFitFailed when a fit failed, kBadInput when a file could not be read (its error goes to
/// @p err and the other files are still fitted; a single file's error is thrown as DataError).
int run_fit(const FitOptions& options, std::ostream& out, std::ostream& err);

/// Finds and fits the lines of each input spectrum and prints them. Returns the worst outcome:
/// kSuccess, kFitFailed when a region's fit failed (its rows are still printed), kBadInput when a
/// file could not be read or fitted (its error goes to @p err; the other files are still fitted).
int run_peaks(const PeaksOptions& options, std::ostream& out, std::ostream& err);

/// Describes the spectra of each file: format, channels, x range, calibration, times, dead time,
/// start, total counts and metadata. Returns kSuccess, or kBadInput when a file could not be read
/// (its error goes to @p err; the other files are still described).
int run_info(const InfoOptions& options, std::ostream& out, std::ostream& err);

/// Writes the spectra of each file as channel, x, counts (CSV with the times and calibration in
/// '#' lines above, or JSON). Returns as run_info.
int run_convert(const ConvertOptions& options, std::ostream& out, std::ostream& err);

/// Smooths one column with Savitzky-Golay weights and prints one value per row.
int run_smooth(const SmoothOptions& options, std::ostream& out);

/// Prints a rotation matrix, or every row of the input rotated.
int run_rotate(const RotateOptions& options, std::ostream& out);

/// The shortest text that reads back as the same double.
std::string exact_text(double value);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_COMMANDS_H
