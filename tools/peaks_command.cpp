#include <algorithm>
#include <cmath>
#include <optional>

#include "commands.h"
#include "data_table.h"
#include "peaks_plot.h"
#include "peaks_report.h"
#include "spectrum_input.h"
#include "vesk/numerics/SpectrumFit.h"
#include "vesk/report/html_report.h"

namespace vesk::tools {

namespace {

// What the command line asks for, checked once before any file is read.
struct PeaksPlan {
  std::vector<std::string> inputs;
  Format format = Format::kTable;
  XRange range;
  std::optional<SpectrumColumns> columns;
  std::optional<std::vector<double>> positions;
  XChoice x_choice;
  numerics::SpectrumFit fitter;
};

numerics::Background background_of(const std::string& name) {
  if (const auto background = numerics::background_named(name)) return *background;
  throw UsageError("--background must be none, constant, linear, quadratic or exponential");
}

// Numbers separated by commas, all finite; @p what describes them in the message.
std::vector<double> parse_numbers(const std::string& text, const std::string& what) {
  std::vector<double> numbers;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::optional<double> value = parse_number(text.substr(start, comma - start));
    if (!value || !std::isfinite(*value)) throw UsageError(what + ", got '" + text + "'");
    numbers.push_back(*value);
    if (comma == std::string::npos) return numbers;
    start = comma + 1;
  }
}

// The library's spelling of a name given on the command line, where words may be joined by
// hyphens as in the other options (pseudo-voigt, tail-slope).
std::string library_name(std::string name) {
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

numerics::LineShape shape_of(const std::string& name) {
  if (const auto shape = numerics::line_shape_named(library_name(name))) return *shape;
  throw UsageError("--shape must be gaussian, tailed, lorentzian, pseudo-voigt or voigt, got '" +
                   name + "'");
}

// --width, or what --resolution and --same-width imply without it; settings that contradict
// each other are refused rather than one of them silently ignored.
numerics::WidthMode width_of(const PeaksOptions& options) {
  const bool resolution_given = !options.resolution.empty();
  if (options.width.empty()) {
    if (resolution_given && options.same_width) {
      throw UsageError(
          "--resolution gives every line its own width from the resolution: drop "
          "--same-width");
    }
    if (resolution_given) return numerics::WidthMode::resolution;
    return options.same_width ? numerics::WidthMode::shared : numerics::WidthMode::free;
  }
  const auto mode = numerics::width_mode_named(options.width);
  if (!mode) {
    throw UsageError("--width must be free, shared or resolution, got '" + options.width + "'");
  }
  if (options.same_width && *mode != numerics::WidthMode::shared) {
    throw UsageError("--same-width means --width shared, not --width " + options.width);
  }
  if (resolution_given && *mode != numerics::WidthMode::resolution) {
    throw UsageError("--resolution goes with --width resolution, not --width " + options.width);
  }
  return *mode;
}

// One --fix NAME=VALUE, held on @p fitter.
void hold(const std::string& text, numerics::SpectrumFit& fitter) {
  const std::size_t equals = text.find('=');
  const std::string name = text.substr(0, equals);
  const auto parameter = numerics::shape_parameter_named(library_name(name));
  if (equals == std::string::npos || !parameter) {
    throw UsageError(
        "--fix must be NAME=VALUE with NAME tail, tail_slope, step, eta or gamma, got '" + text +
        "'");
  }
  const std::optional<double> value = parse_number(text.substr(equals + 1));
  if (!value || !numerics::in_domain(*parameter, *value)) {
    throw UsageError("--fix " + text + " is out of the domain of " + name +
                     " (tail, step >= 0; tail_slope, gamma > 0; eta in [0, 1]; all finite)");
  }
  fitter.set_fixed(*parameter, *value);
}

// The shape, width and held parameters of the lines.
void set_lines(const PeaksOptions& options, numerics::SpectrumFit& fitter) {
  fitter.set_shape(shape_of(options.shape));
  fitter.set_width(width_of(options));
  if (!options.resolution.empty()) {
    const std::vector<double> w =
        parse_numbers(options.resolution, "--resolution must be three numbers W0,W1,W2");
    if (w.size() != 3) {
      throw UsageError("--resolution must be three numbers W0,W1,W2, got '" + options.resolution +
                       "'");
    }
    fitter.set_resolution(w[0], w[1], w[2]);
  }
  for (const std::string& text : options.fix) hold(text, fitter);
}

numerics::SpectrumFit fitter_of(const PeaksOptions& options) {
  numerics::SpectrumFit fitter;
  fitter.set_background(background_of(options.background));
  set_lines(options, fitter);
  if (options.fwhm) {
    if (!(*options.fwhm > 0.0)) throw UsageError("--fwhm must be positive");
    fitter.set_fwhm(*options.fwhm);
  }
  if (!(options.threshold > 0.0)) throw UsageError("--threshold must be positive");
  fitter.set_threshold(options.threshold);
  fitter.set_max_iterations(options.max_iterations);
  fitter.set_accuracy(options.accuracy);
  fitter.set_threads(options.threads);
  if (!options.window.empty()) {
    const XRange window = parse_range(options.window, "--window");
    if (!window.low || !window.high) throw UsageError("--window needs both ends, LO:HI");
    fitter.set_window(*window.low, *window.high);
  }
  return fitter;
}

void check_live_time(const std::optional<double>& seconds, const char* option) {
  if (seconds && !(std::isfinite(*seconds) && *seconds > 0.0)) {
    throw UsageError(std::string(option) + " must be a positive number of seconds");
  }
}

PeaksPlan plan_of(const PeaksOptions& options) {
  PeaksPlan plan;
  plan.inputs = options.inputs.empty() ? std::vector<std::string>{"-"} : options.inputs;
  plan.format = format_named(options.format);
  if (!options.range.empty()) plan.range = parse_range(options.range);
  if (!options.columns.empty()) plan.columns = parse_spectrum_columns(options.columns);
  if (!options.at.empty()) {
    plan.positions = parse_numbers(options.at, "--at must be numbers separated by commas");
  }
  if (!options.plot_path.empty() && plan.inputs.size() > 1) {
    throw UsageError("--plot draws one spectrum: give one file");
  }
  if (options.log_y && options.plot_path.empty()) throw UsageError("--log-y goes with --plot");
  if (!options.html_path.empty() && plan.inputs.size() > 1) {
    throw UsageError("--html reports one spectrum: give one file");
  }
  if (options.counts && plan.columns && plan.columns->errors) {
    throw UsageError("--counts takes the errors from the counts: drop the error column");
  }
  plan.x_choice.channels = options.channels;
  if (!options.calibration.empty()) {
    if (options.channels) throw UsageError("--channels and --calibration exclude each other");
    plan.x_choice.calibration = parse_calibration(options.calibration);
  }
  plan.fitter = fitter_of(options);
  check_live_time(options.live_time, "--live-time");
  check_live_time(options.blank_live_time, "--blank-live-time");
  if (options.blank_live_time && options.blank.empty()) {
    throw UsageError("--blank-live-time goes with --blank");
  }
  return plan;
}

numerics::SpectrumData data_of(const SpectrumFile& spectrum, bool counts) {
  numerics::SpectrumData data{spectrum.x.data(), spectrum.y.data(), nullptr, spectrum.x.size(),
                              numerics::Statistics::unweighted};
  data.live_time = spectrum.live_time;
  if (counts) {
    data.statistics = numerics::Statistics::poisson;
  } else if (!spectrum.errors.empty()) {
    data.sigma = spectrum.errors.data();
    data.statistics = numerics::Statistics::weighted;
  }
  return data;
}

// The spectra of one file: one from text columns, one or more from an instrument file (counting
// formats read as counts; several spectra named FILE#1, FILE#2, ...), with whether each holds
// counts.
std::vector<std::pair<SpectrumFitFile, bool>> spectra_of(const std::string& file,
                                                         const PeaksPlan& plan,
                                                         const PeaksOptions& options) {
  if (plan.columns || file == "-" || !io::is_instrument_file(file)) {
    return {
        {SpectrumFitFile{file, load_spectrum(file, plan.columns, plan.range), {}}, options.counts}};
  }
  const std::vector<io::Spectrum> spectra = io::read_spectra(file);
  std::vector<std::pair<SpectrumFitFile, bool>> files;
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    const std::string name = spectra.size() == 1 ? file : file + "#" + std::to_string(i + 1);
    files.push_back(
        {SpectrumFitFile{name, spectrum_file_of(spectra[i], plan.x_choice, plan.range), {}},
         options.counts || spectra[i].is_counts});
  }
  return files;
}

// The blank is read again for every sample, whose lines it is fitted at.
void subtract_blank(SpectrumFitFile& fit, const PeaksPlan& plan, const PeaksOptions& options,
                    bool counts) {
  std::vector<std::pair<SpectrumFitFile, bool>> blanks = spectra_of(options.blank, plan, options);
  SpectrumFile& blank = blanks.front().first.data;
  if (counts) blank.errors.clear();
  if (options.blank_live_time) blank.live_time = *options.blank_live_time;
  const numerics::SpectrumFitResult fitted =
      plan.fitter.subtract_blank(fit.result, data_of(blank, counts));
  if (fitted.status != 0) {
    throw DataError(source_name(options.blank) + ": blank: " + fitted.status_str);
  }
}

SpectrumFitFile fitted(SpectrumFitFile fit, const PeaksPlan& plan, const PeaksOptions& options,
                       bool counts) {
  if (counts) fit.data.errors.clear();
  if (options.live_time) fit.data.live_time = *options.live_time;
  const numerics::SpectrumData data = data_of(fit.data, counts);
  fit.result = plan.positions ? plan.fitter.fit(data, *plan.positions) : plan.fitter.fit(data);
  if (fit.result.status != 0) throw DataError(source_name(fit.file) + ": " + fit.result.status_str);
  if (!options.blank.empty()) subtract_blank(fit, plan, options, counts);
  return fit;
}

std::vector<SpectrumFitFile> fit_file(const std::string& file, const PeaksPlan& plan,
                                      const PeaksOptions& options) {
  std::vector<SpectrumFitFile> fits;
  for (auto& [spectrum, counts] : spectra_of(file, plan, options)) {
    fits.push_back(fitted(std::move(spectrum), plan, options, counts));
  }
  return fits;
}

void write_report(const std::string& path, const SpectrumFitFile& fit, const PeaksPlan& plan,
                  const PeaksOptions& options) {
  report::ReportFacts facts;
  facts.file = source_name(fit.file);
  facts.format = fit.data.format.empty() ? "text columns" : fit.data.format;
  facts.calibration = fit.data.calibration;
  if (std::isfinite(fit.data.live_time)) facts.live_time = fit.data.live_time;
  if (std::isfinite(fit.data.real_time)) facts.real_time = fit.data.real_time;
  facts.x_label = fit.data.x_label.empty() ? "x" : fit.data.x_label;
  facts.y_label = fit.data.y_label.empty() ? "y" : fit.data.y_label;
  report::describe_fit(plan.fitter, plan.positions.value_or(std::vector<double>{}), facts);
  facts.version = "vesk-numerics " VESK_NUMERICS_VERSION;
  const bool counts = options.counts || fit.data.is_counts;
  report::write_html_report(path, data_of(fit.data, counts), fit.result, facts);
}

bool all_regions_fitted(const SpectrumFitFile& fit) {
  return std::all_of(fit.result.regions.begin(), fit.result.regions.end(),
                     [](const numerics::SpectrumRegion& r) { return r.ok(); });
}

}  // namespace

int run_peaks(const PeaksOptions& options, std::ostream& out, std::ostream& err) {
  const PeaksPlan plan = plan_of(options);
  int status = kSuccess;
  std::vector<SpectrumFitFile> fits;
  for (const std::string& file : plan.inputs) {
    try {
      for (SpectrumFitFile& fit : fit_file(file, plan, options)) {
        if (!all_regions_fitted(fit)) status = std::max<int>(status, kFitFailed);
        fits.push_back(std::move(fit));
      }
    } catch (const DataError& error) {
      err << error.what() << "\n";  // this file is skipped; the others are still fitted
      status = kBadInput;
    }
  }
  switch (plan.format) {
    case Format::kCsv:
      print_peak_csv(fits, out);
      break;
    case Format::kJson:
      if (!fits.empty()) print_peak_json(fits, out);
      break;
    case Format::kTable:
      print_peak_table(fits, out);
      break;
  }
  if (fits.size() > 1) {
    // Several files were refused before fitting: one file holding several spectra got here.
    // Saying so beats leaving the user to look for a plot or report that was never written.
    for (const auto& [option, path] :
         {std::pair{"--plot", &options.plot_path}, std::pair{"--html", &options.html_path}}) {
      if (path->empty()) continue;
      err << source_name(plan.inputs.front()) << ": holds " << fits.size() << " spectra; " << option
          << " shows one: " << *path << " not written\n";
      status = kBadInput;
    }
  } else if (fits.size() == 1) {
    if (!options.plot_path.empty()) {
      write_peaks_plot(options.plot_path, fits.front(), options.log_y);
    }
    if (!options.html_path.empty()) write_report(options.html_path, fits.front(), plan, options);
  }
  return status;
}

}  // namespace vesk::tools
