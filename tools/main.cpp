// vesk-numerics: fits Gaussian peaks, smooths data and rotates vectors from the command line.
#include <CLI/CLI.hpp>

#include <csignal>
#include <iostream>

#include "commands.h"
#include "data_table.h"

namespace {

using namespace vesk::tools;

void add_fit(CLI::App& app, FitOptions& options) {
  CLI::App* fit =
      app.add_subcommand("fit", "Fit a Gaussian peak y = A exp(-(x-mu)^2/(2 sigma^2)) + c");
  fit->add_option("files", options.inputs,
                  "Data files: two columns (x y) or one (y against the sample index), or any "
                  "number with --columns; '-' or nothing reads standard input. Several files "
                  "are fitted alike, one row each");
  fit->add_option("--columns", options.columns,
                  "The x and y columns, X,Y, or Y alone against the sample index: numbers from "
                  "1 or header names");
  fit->add_option("--range", options.range,
                  "Fit only the points with LO <= x <= HI (LO:HI, LO: or :HI)");
  fit->add_option("--offset", options.constant_offset,
                  "Hold the offset c at this value (default: fit it)");
  fit->add_option("--max-iterations", options.max_iterations,
                  "Solver iteration budget (0 or less: 50)")
      ->capture_default_str();
  fit->add_option("--accuracy", options.accuracy,
                  "Solver step and gradient tolerance, kept within [1e-12, 0.01]")
      ->capture_default_str();
  fit->add_option("--solver", options.solver,
                  "lmsder (classic, the default) or normal (normal equations: 1.5 to 3 times "
                  "as fast, same optimum)")
      ->check(CLI::IsMember({"lmsder", "normal"}))
      ->capture_default_str();
  fit->add_option("--format", options.format,
                  "table (default), csv or json; one file alone gets the detailed report")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  fit->add_flag("--json", options.json, "The same as --format json");
  fit->add_flag("--summary", options.summary,
                "Add the mean and sample standard deviation of the completed fits");
  fit->add_option("--plot", options.plot_path,
                  "Write an SVG plot of the data, the fitted curve and the residuals (one file)");
  fit->add_option("--trend-plot", options.trend_plot_path,
                  "Write an SVG plot of the fitted mean and sigma across the files");
  fit->add_option("--trend-x", options.trend_x,
                  "With --trend-plot: a regular expression whose one group finds the number in "
                  "each file name to plot against (default: the file's place in the series)");
  fit->add_option("--x-label", options.x_label, "Label of the x axis (default: header name)");
  fit->add_option("--y-label", options.y_label, "Label of the y axis (default: header name)");
}

void add_peaks(CLI::App& app, PeaksOptions& options) {
  CLI::App* peaks = app.add_subcommand(
      "peaks", "Find every line of a spectrum and fit them, multiplets on a background per region");
  peaks->add_option("files", options.inputs,
                    "Spectra: instrument files (SPE, CHN, N42, IEC 1455, Canberra CNF/MCA, xrdml, "
                    "Bruker raw/UXD; counting formats imply --counts), or text columns: one "
                    "(counts per channel), two (x y) or three (x y error), or any number with "
                    "--columns; '-' or nothing reads standard input");
  peaks->add_option("--columns", options.columns,
                    "The x, y and optional error columns, X,Y[,ERR]: numbers from 1 or header "
                    "names");
  peaks->add_option("--range", options.range, "Read only the points with LO <= x <= HI");
  peaks->add_flag("--counts", options.counts,
                  "y are counts: fit the Poisson likelihood (errors from the Fisher information)");
  peaks
      ->add_option("--background", options.background,
                   "Background of each region: none, constant, linear, quadratic or exponential")
      ->check(CLI::IsMember({"none", "constant", "linear", "quadratic", "exponential"}))
      ->capture_default_str();
  peaks->add_option("--fwhm", options.fwhm, "The lines' FWHM in x units (default: estimated)");
  peaks->add_option("--threshold", options.threshold, "Least significance of a line in the search")
      ->capture_default_str();
  peaks->add_option("--at", options.at, "Fit lines near these positions, M1,M2,..., no search");
  peaks->add_option("--window", options.window,
                    "Fit all lines as one region over exactly the points in LO:HI");
  peaks->add_flag("--same-width", options.same_width, "The lines of a region share one width");
  peaks
      ->add_option("--shape", options.shape,
                   "Profile of every line: gaussian, tailed (germanium detectors), lorentzian, "
                   "pseudo-voigt or voigt")
      ->capture_default_str();
  peaks->add_option("--width", options.width,
                    "Widths of the lines: free (each its own), shared (per region) or resolution "
                    "(the detector's, FWHM^2 = w0 + w1 x + w2 x^2; default with --resolution)");
  peaks->add_option("--resolution", options.resolution,
                    "The detector's resolution W0,W1,W2 imposed on every line (default: fitted "
                    "from the well-determined lines)");
  peaks
      ->add_option("--fix", options.fix,
                   "Hold a shape parameter at a value, NAME=VALUE (repeatable): tail, tail_slope, "
                   "step, eta or gamma")
      ->allow_extra_args(false);
  peaks->add_option("--max-iterations", options.max_iterations, "Solver budget per region")
      ->capture_default_str();
  peaks->add_option("--accuracy", options.accuracy, "Solver step and gradient tolerance")
      ->capture_default_str();
  peaks
      ->add_option("--threads", options.threads,
                   "Threads one spectrum's fit may use (the same result whatever the number)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  peaks->add_option("--format", options.format, "table (default), csv or json")
      ->check(CLI::IsMember({"table", "csv", "json"}));
  peaks->add_option("--plot", options.plot_path,
                    "Write an SVG plot of the spectrum, the fit and the residuals (one spectrum)");
  peaks->add_flag("--log-y", options.log_y, "With --plot: a logarithmic y axis");
  peaks->add_option("--live-time", options.live_time,
                    "The measurement's live time in seconds, for count rates");
  peaks->add_option("--blank", options.blank,
                    "A blank's or the shielded detector's spectrum: fitted at the same lines, "
                    "its rates subtracted");
  peaks->add_option("--blank-live-time", options.blank_live_time,
                    "The blank's live time in seconds");
  peaks->add_option("--html", options.html_path,
                    "Write an HTML report to explore in a browser: the spectrum, the fit, the "
                    "residuals and the table of lines (one spectrum)");
  peaks->add_flag("--channels", options.channels,
                  "Instrument files: x are the channel numbers, not the calibrated x");
  peaks->add_option("--calibration", options.calibration,
                    "Instrument files: C0,C1[,C2] replaces the file's calibration, "
                    "x = C0 + C1 ch + C2 ch^2");
}

void add_info(CLI::App& app, InfoOptions& options) {
  CLI::App* info = app.add_subcommand(
      "info", "Describe instrument files: format, channels, calibration, times, metadata");
  info->add_option("files", options.inputs,
                   "SPE, CHN, N42, IEC 1455, Canberra CNF/MCA, xrdml, Bruker raw/UXD, text "
                   "columns")
      ->required();
  info->add_option("--format", options.format, "table (default) or json")
      ->check(CLI::IsMember({"table", "json"}));
}

void add_convert(CLI::App& app, ConvertOptions& options) {
  CLI::App* convert =
      app.add_subcommand("convert", "Write the spectra of instrument files as channel, x, counts");
  convert->add_option("files", options.inputs, "Instrument files (as for info)")->required();
  convert
      ->add_option("--to", options.to,
                   "csv (times and calibration in '#' lines above the columns) or json")
      ->check(CLI::IsMember({"csv", "json"}))
      ->capture_default_str();
}

void add_smooth(CLI::App& app, SmoothOptions& options) {
  CLI::App* smooth = app.add_subcommand(
      "smooth", "Smooth one column with Savitzky-Golay weights; one value per input row");
  smooth->add_option("file", options.input,
                     "Data: one column, or two of which the second is smoothed; '-' or nothing "
                     "reads standard input");
  smooth->add_option("--order", options.order, "Polynomial order, 0 or more")->required();
  smooth->add_option("--window", options.window,
                     "Odd window length, centred; near the ends it shifts to stay inside");
  smooth->add_option("--left", options.left, "Fixed asymmetric window: samples before the point");
  smooth->add_option("--right", options.right, "Fixed asymmetric window: samples after the point");
}

void add_rotate(CLI::App& app, RotateOptions& options) {
  CLI::App* rotate = app.add_subcommand(
      "rotate", "Print a 3-D rotation matrix, or rotate every row (x y z) of a file");
  rotate->add_option("file", options.input, "Rows of three columns to rotate; '-' reads stdin");
  rotate->add_option("--axis", options.axis, "x, y, z, or an axis X,Y,Z of any length")->required();
  rotate->add_option("--angle", options.angle, "Rotation angle, radians unless --degrees")
      ->required();
  rotate->add_flag("--degrees", options.degrees, "The angle is in degrees");
}

int usage_error(const std::string& message, const std::string& command) {
  std::cerr << "vesk-numerics: " << message << "\nRun 'vesk-numerics " << command
            << (command.empty() ? "" : " ") << "--help' for usage.\n";
  return kBadInput;
}

}  // namespace

int main(int argc, char** argv) {
  // Output into a closed pipe ends the program quietly, as for any filter.
  std::signal(SIGPIPE, SIG_DFL);

  CLI::App app{
      "vesk-numerics: Gaussian peak fits, spectra, Savitzky-Golay smoothing and 3-D "
      "rotations",
      "vesk-numerics"};
  app.require_subcommand(1);
  app.footer(
      "\nExamples:\n"
      "  vesk-numerics fit peak.dat --plot fit.svg\n"
      "  vesk-numerics fit peak.dat --offset 120 --json\n"
      "  vesk-numerics fit gamma_lines.csv --columns energy_keV,counts --range 655:668\n"
      "  vesk-numerics fit run_*.dat --summary --format csv --trend-plot drift.svg\n"
      "  vesk-numerics peaks calibration_mixture.dat --counts --plot spectrum.svg --log-y\n"
      "  vesk-numerics peaks spectrum.csv --columns energy,counts --at 1173.2,1332.5 --counts\n"
      "  vesk-numerics peaks calibration_mixture.dat --counts --html report.html\n"
      "  vesk-numerics peaks sample.Spe --at 1460.8\n"
      "  vesk-numerics info sample.Spe sample.n42 --format json\n"
      "  vesk-numerics convert sample.CHN --to csv\n"
      "  vesk-numerics smooth signal.dat --order 3 --window 11\n"
      "  vesk-numerics rotate --axis 1,1,1 --angle 120 --degrees points.dat\n"
      "\nExit status: 0 success, 1 a fit or a region failed (its status is printed), 2 a usage "
      "error or a "
      "file that could not be read (the other files are still fitted).\nRun 'vesk-numerics "
      "SUBCOMMAND --help' for a subcommand's options.");
  FitOptions fit_options;
  PeaksOptions peaks_options;
  SmoothOptions smooth_options;
  RotateOptions rotate_options;
  InfoOptions info_options;
  ConvertOptions convert_options;
  add_fit(app, fit_options);
  add_peaks(app, peaks_options);
  add_smooth(app, smooth_options);
  add_rotate(app, rotate_options);
  add_info(app, info_options);
  add_convert(app, convert_options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    const auto chosen = app.get_subcommands();
    return usage_error(error.what(), chosen.empty() ? "" : chosen.front()->get_name());
  }

  const std::string command = app.get_subcommands().front()->get_name();
  try {
    if (command == "fit") return run_fit(fit_options, std::cout, std::cerr);
    if (command == "peaks") return run_peaks(peaks_options, std::cout, std::cerr);
    if (command == "smooth") return run_smooth(smooth_options, std::cout);
    if (command == "info") return run_info(info_options, std::cout, std::cerr);
    if (command == "convert") return run_convert(convert_options, std::cout, std::cerr);
    return run_rotate(rotate_options, std::cout);
  } catch (const UsageError& error) {
    return usage_error(error.what(), command);
  } catch (const DataError& error) {
    std::cerr << error.what() << "\n";
    return kBadInput;
  } catch (const std::exception& error) {
    std::cerr << "vesk-numerics: " << error.what() << "\n";
    return kFitFailed;
  }
}
