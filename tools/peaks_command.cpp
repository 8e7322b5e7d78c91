#include <algorithm>
#include <optional>

#include "commands.h"
#include "data_table.h"
#include "peaks_plot.h"
#include "peaks_report.h"
#include "spectrum_input.h"
#include "vesk/numerics/SpectrumFit.h"

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

std::vector<double> parse_positions(const std::string& text) {
  std::vector<double> positions;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::optional<double> value = parse_number(text.substr(start, comma - start));
    if (!value || !std::isfinite(*value)) {
      throw UsageError("--at must be numbers separated by commas, got '" + text + "'");
    }
    positions.push_back(*value);
    if (comma == std::string::npos) return positions;
    start = comma + 1;
  }
}

numerics::SpectrumFit fitter_of(const PeaksOptions& options) {
  numerics::SpectrumFit fitter;
  fitter.set_background(background_of(options.background));
  fitter.set_same_width(options.same_width);
  if (options.fwhm) {
    if (!(*options.fwhm > 0.0)) throw UsageError("--fwhm must be positive");
    fitter.set_fwhm(*options.fwhm);
  }
  if (!(options.threshold > 0.0)) throw UsageError("--threshold must be positive");
  fitter.set_threshold(options.threshold);
  fitter.set_max_iterations(options.max_iterations);
  fitter.set_accuracy(options.accuracy);
  if (!options.window.empty()) {
    const XRange window = parse_range(options.window);
    if (!window.low || !window.high) throw UsageError("--window needs both ends, LO:HI");
    fitter.set_window(*window.low, *window.high);
  }
  return fitter;
}

PeaksPlan plan_of(const PeaksOptions& options) {
  PeaksPlan plan;
  plan.inputs = options.inputs.empty() ? std::vector<std::string>{"-"} : options.inputs;
  plan.format = format_named(options.format);
  if (!options.range.empty()) plan.range = parse_range(options.range);
  if (!options.columns.empty()) plan.columns = parse_spectrum_columns(options.columns);
  if (!options.at.empty()) plan.positions = parse_positions(options.at);
  if (!options.plot_path.empty() && plan.inputs.size() > 1) {
    throw UsageError("--plot draws one spectrum: give one file");
  }
  if (options.log_y && options.plot_path.empty()) throw UsageError("--log-y goes with --plot");
  if (options.counts && plan.columns && plan.columns->errors) {
    throw UsageError("--counts takes the errors from the counts: drop the error column");
  }
  plan.x_choice.channels = options.channels;
  if (!options.calibration.empty()) {
    if (options.channels) throw UsageError("--channels and --calibration exclude each other");
    plan.x_choice.calibration = parse_calibration(options.calibration);
  }
  plan.fitter = fitter_of(options);
  return plan;
}

numerics::SpectrumData data_of(const SpectrumFile& spectrum, bool counts) {
  numerics::SpectrumData data{spectrum.x.data(), spectrum.y.data(), nullptr, spectrum.x.size(),
                              numerics::Statistics::unweighted};
  if (counts) {
    data.statistics = numerics::Statistics::poisson;
  } else if (!spectrum.errors.empty()) {
    data.sigma = spectrum.errors.data();
    data.statistics = numerics::Statistics::weighted;
  }
  return data;
}

SpectrumFitFile fitted(SpectrumFitFile fit, const PeaksPlan& plan, bool counts) {
  if (counts) fit.data.errors.clear();
  const numerics::SpectrumData data = data_of(fit.data, counts);
  fit.result = plan.positions ? plan.fitter.fit(data, *plan.positions) : plan.fitter.fit(data);
  if (fit.result.status != 0) throw DataError(source_name(fit.file) + ": " + fit.result.status_str);
  return fit;
}

// The spectra of one file: one from text columns, one or more from an instrument file (counting
// formats fitted as counts; several spectra named FILE#1, FILE#2, ...).
std::vector<SpectrumFitFile> fit_file(const std::string& file, const PeaksPlan& plan,
                                      const PeaksOptions& options) {
  if (plan.columns || file == "-" || !io::is_instrument_file(file)) {
    SpectrumFitFile fit{file, load_spectrum(file, plan.columns, plan.range), {}};
    return {fitted(std::move(fit), plan, options.counts)};
  }
  const std::vector<io::Spectrum> spectra = io::read_spectra(file);
  std::vector<SpectrumFitFile> fits;
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    const std::string name = spectra.size() == 1 ? file : file + "#" + std::to_string(i + 1);
    SpectrumFitFile fit{name, spectrum_file_of(spectra[i], plan.x_choice, plan.range), {}};
    fits.push_back(fitted(std::move(fit), plan, options.counts || spectra[i].is_counts));
  }
  return fits;
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
  if (!options.plot_path.empty() && fits.size() == 1) {
    write_peaks_plot(options.plot_path, fits.front(), options.log_y);
  }
  return status;
}

}  // namespace vesk::tools
