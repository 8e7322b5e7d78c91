#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>

#include "commands.h"
#include "data_table.h"
#include "fit_input.h"
#include "fit_plot.h"
#include "fit_report.h"
#include "trend_plot.h"
#include "vesk/numerics/GaussFit.h"

namespace vesk::tools {

using numerics::area_of;
using numerics::completed;
using numerics::fwhm_of;

namespace {

// What the command line asks for, checked once before any file is read.
struct FitPlan {
  std::vector<std::string> inputs;
  Format format = Format::kTable;
  XRange range;
  std::optional<ColumnChoice> columns;
  std::optional<std::regex> trend_x;
};

Format format_of(const FitOptions& options) {
  if (options.json && !options.format.empty() && options.format != "json") {
    throw UsageError("--json asks for JSON, --format for " + options.format);
  }
  return options.json ? Format::kJson : format_named(options.format);
}

std::regex trend_pattern(const std::string& pattern) {
  try {
    std::regex compiled(pattern);
    if (compiled.mark_count() != 1) {
      throw UsageError("--trend-x needs exactly one capture group, got '" + pattern + "'");
    }
    return compiled;
  } catch (const std::regex_error& error) {
    throw UsageError("--trend-x '" + pattern + "' is not a regular expression: " + error.what());
  }
}

FitPlan plan_of(const FitOptions& options) {
  FitPlan plan;
  plan.inputs = options.inputs.empty() ? std::vector<std::string>{"-"} : options.inputs;
  plan.format = format_of(options);
  if (!options.range.empty()) plan.range = parse_range(options.range);
  if (!options.columns.empty()) plan.columns = parse_columns(options.columns);
  if (!options.trend_x.empty()) {
    if (options.trend_plot_path.empty()) throw UsageError("--trend-x goes with --trend-plot");
    plan.trend_x = trend_pattern(options.trend_x);
  }
  if (!options.plot_path.empty() && plan.inputs.size() > 1) {
    throw UsageError("--plot draws one fit: give one file, or use --trend-plot for a series");
  }
  return plan;
}

numerics::GaussFit configured_fitter(const FitOptions& options) {
  numerics::GaussFit fitter;
  fitter.set_max_iterations(options.max_iterations);
  fitter.set_accuracy(options.accuracy);
  fitter.enable_constant_offset(options.constant_offset.has_value());
  fitter.set_constant_offset(options.constant_offset.value_or(0.0));
  fitter.set_solver(options.solver == "normal" ? numerics::GaussFit::Solver::normal_equations
                                               : numerics::GaussFit::Solver::lmsder);
  return fitter;
}

// The number that --trend-x finds in the file's name.
double number_in_name(const std::string& file, const std::regex& pattern,
                      const std::string& pattern_text) {
  const std::string name = std::filesystem::path(file).filename().string();
  std::smatch match;
  if (std::regex_search(name, match, pattern) && match[1].matched) {
    if (const std::optional<double> value = parse_number(match[1].str())) return *value;
  }
  throw DataError(file + ": --trend-x '" + pattern_text + "' finds no number in the file name");
}

FileFit fit_file(const std::string& file, double position, const FitPlan& plan,
                 const FitOptions& options, const numerics::GaussFit& fitter) {
  FileFit fit{file, position, load_peak(file, plan.columns, plan.range), {}};
  if (!options.x_label.empty()) fit.data.x_label = options.x_label;
  if (!options.y_label.empty()) fit.data.y_label = options.y_label;
  fit.result = fitter.fit(fit.data.x, fit.data.y);
  return fit;
}

void print_fits(const std::vector<FileFit>& fits, const FitPlan& plan, const FitOptions& options,
                std::ostream& out) {
  const std::optional<SeriesSummary> summary =
      options.summary ? std::optional<SeriesSummary>(summarise(fits)) : std::nullopt;
  const SeriesSummary* summary_or_null = summary ? &*summary : nullptr;
  // One file alone reads as it always has: the detailed report, or one JSON object.
  const bool detailed = plan.inputs.size() == 1 && fits.size() == 1 && !summary;
  switch (plan.format) {
    case Format::kCsv:
      print_csv(fits, summary_or_null, out);
      break;
    case Format::kJson:
      if (detailed) {
        out << fit_json(fits.front().result, fits.front().data.y.size()).dump(2) << "\n";
      } else {
        print_json_series(fits, summary_or_null, out);
      }
      break;
    case Format::kTable:
      if (detailed) {
        print_detail(fits.front(), options.constant_offset.has_value(), out);
      } else {
        print_rows(fits, summary_or_null, out);
      }
  }
}

}  // namespace

int run_fit(const FitOptions& options, std::ostream& out, std::ostream& err) {
  const FitPlan plan = plan_of(options);
  const numerics::GaussFit fitter = configured_fitter(options);
  int status = kSuccess;
  std::vector<FileFit> fits;
  for (std::size_t i = 0; i < plan.inputs.size(); ++i) {
    const std::string& file = plan.inputs[i];
    try {
      const double position = plan.trend_x ? number_in_name(file, *plan.trend_x, options.trend_x)
                                           : static_cast<double>(i + 1);
      fits.push_back(fit_file(file, position, plan, options, fitter));
    } catch (const DataError& error) {
      if (plan.inputs.size() == 1) throw;
      err << error.what() << "\n";  // this file is skipped; the others are still fitted
      status = kBadInput;
      continue;
    }
    if (!completed(fits.back().result)) status = std::max<int>(status, kFitFailed);
  }
  print_fits(fits, plan, options, out);
  if (!options.plot_path.empty() && fits.size() == 1 && completed(fits.front().result)) {
    const FileFit& fit = fits.front();
    write_fit_plot(options.plot_path, fit.data.x, fit.data.y, fit.result, fit.data.x_label,
                   fit.data.y_label);
  }
  if (!options.trend_plot_path.empty()) {
    write_trend_plot(options.trend_plot_path, fits,
                     plan.trend_x ? "number from the file name (" + options.trend_x + ")"
                                  : "file in the series");
  }
  return status;
}

}  // namespace vesk::tools
