#include <algorithm>
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
  if (!options.html_path.empty() && plan.inputs.size() > 1) {
    throw UsageError("--html reports one spectrum: give one file");
  }
  if (options.counts && plan.columns && plan.columns->errors) {
    throw UsageError("--counts takes the errors from the counts: drop the error column");
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

SpectrumFitFile fit_file(const std::string& file, const PeaksPlan& plan,
                         const PeaksOptions& options) {
  SpectrumFitFile fit{file, load_spectrum(file, plan.columns, plan.range), {}};
  if (options.counts) fit.data.errors.clear();
  const numerics::SpectrumData data = data_of(fit.data, options.counts);
  fit.result = plan.positions ? plan.fitter.fit(data, *plan.positions) : plan.fitter.fit(data);
  if (fit.result.status != 0) throw DataError(source_name(file) + ": " + fit.result.status_str);
  return fit;
}

void write_report(const std::string& path, const SpectrumFitFile& fit, const PeaksPlan& plan,
                  const PeaksOptions& options) {
  report::ReportFacts facts;
  facts.file = source_name(fit.file);
  facts.format = "text columns";
  facts.x_label = fit.data.x_label.empty() ? "x" : fit.data.x_label;
  facts.y_label = fit.data.y_label.empty() ? "y" : fit.data.y_label;
  report::describe_fit(plan.fitter, plan.positions.value_or(std::vector<double>{}), facts);
  facts.version = "vesk-numerics " VESK_NUMERICS_VERSION;
  report::write_html_report(path, data_of(fit.data, options.counts), fit.result, facts);
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
      fits.push_back(fit_file(file, plan, options));
    } catch (const DataError& error) {
      err << error.what() << "\n";  // this file is skipped; the others are still fitted
      status = kBadInput;
      continue;
    }
    if (!all_regions_fitted(fits.back())) status = std::max<int>(status, kFitFailed);
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
  if (!options.html_path.empty() && fits.size() == 1) {
    write_report(options.html_path, fits.front(), plan, options);
  }
  return status;
}

}  // namespace vesk::tools
