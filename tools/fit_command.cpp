#include <gsl/gsl_vector.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "commands.h"
#include "data_table.h"
#include "fit_plot.h"
#include "vesk/numerics/GaussFit.h"

namespace vesk::tools {

namespace {

// Full width at half maximum of a Gaussian, in units of sigma: 2 sqrt(2 ln 2).
const double kFwhmPerSigma = 2.0 * std::sqrt(2.0 * std::log(2.0));
// Area under a Gaussian of unit amplitude and unit sigma: sqrt(2 pi).
const double kAreaPerAmplitudeSigma = std::sqrt(2.0 * M_PI);

struct PeakData {
  bool has_x = false;  ///< false: x is the sample index
  std::vector<double> x;
  std::vector<double> y;
  std::string x_label;
  std::string y_label;
};

// One column is y against its sample index; two are x and y.
PeakData load(const FitOptions& options) {
  DataTable table = read_table_file(options.input, {1, 2});
  PeakData data;
  data.has_x = table.columns.size() == 2;
  data.y = std::move(table.columns.back());
  if (data.has_x) {
    data.x = std::move(table.columns.front());
  } else {
    for (std::size_t i = 0; i < data.y.size(); ++i) data.x.push_back(static_cast<double>(i));
  }
  const auto name = [&](std::size_t column, const char* fallback) -> std::string {
    return column < table.names.size() ? table.names[column] : fallback;
  };
  data.x_label = data.has_x ? name(0, "x") : "sample index";
  data.y_label = name(data.has_x ? 1 : 0, "y");
  if (!options.x_label.empty()) data.x_label = options.x_label;
  if (!options.y_label.empty()) data.y_label = options.y_label;
  return data;
}

numerics::GaussFit configured_fitter(const FitOptions& options) {
  numerics::GaussFit fitter;
  fitter.set_max_iterations(options.max_iterations);
  fitter.set_accuracy(options.accuracy);
  fitter.set_solver(options.solver == "normal" ? numerics::GaussFit::Solver::normal_equations
                                               : numerics::GaussFit::Solver::lmsder);
  fitter.enable_constant_offset(options.constant_offset.has_value());
  fitter.set_constant_offset(options.constant_offset.value_or(0.0));
  return fitter;
}

numerics::GaussFitResult fit(const numerics::GaussFit& fitter, const PeakData& data) {
  if (data.has_x) return fitter.fit(data.x, data.y);
  const gsl_vector_const_view y = gsl_vector_const_view_array(data.y.data(), data.y.size());
  return fitter.fit(y.vector);
}

bool completed(const numerics::GaussFitResult& result) {
  return result.status_ == GSL_SUCCESS || result.status_ == GSL_CONTINUE;
}

nlohmann::json to_json(const numerics::GaussFitResult& r, std::size_t point_count) {
  nlohmann::json json = {{"points", point_count},
                         {"status", r.status_},
                         {"status_str", r.status_str_},
                         {"num_iterations", r.num_iterations_}};
  if (!completed(r)) return json;
  json.update({{"amplitude", r.amplitude_},
               {"amplitude_err", r.amplitude_err_},
               {"mean", r.mean_},
               {"mean_err", r.mean_err_},
               {"variance", r.variance_},
               {"variance_err", r.variance_err_},
               {"offset", r.offset_},
               {"offset_err", r.offset_err_},
               {"sigma", r.sigma_},
               {"sigma_err", r.sigma_err_},
               {"chisq", r.chisq_},
               {"chisq_dof", r.chisq_dof_},
               {"fwhm", kFwhmPerSigma * r.sigma_},
               {"fwhm_err", kFwhmPerSigma * r.sigma_err_},
               {"area", r.amplitude_ * r.sigma_ * kAreaPerAmplitudeSigma}});
  return json;
}

// One line of the table: name, value, error (if any) and unit.
std::string row(const char* name, double value, std::optional<double> error,
                const std::string& unit) {
  char text[160];
  const int length = std::snprintf(text, sizeof text, "  %-15s %15.8g", name, value);
  std::string line(text, static_cast<std::size_t>(length));
  if (error) {
    std::snprintf(text, sizeof text, "  +/- %-11.3g", *error);
    line += text;
  } else {
    line += std::string(17, ' ');
  }
  return line + "  " + unit + "\n";
}

void print_table(const numerics::GaussFitResult& r, const FitOptions& options, const PeakData& data,
                 std::ostream& out) {
  out << "Gaussian peak fit of " << source_name(options.input) << ": " << data.y.size()
      << " points, offset " << (options.constant_offset ? "held constant" : "fitted") << "\n";
  if (completed(r)) {
    const std::string& x = data.x_label;
    const std::string& y = data.y_label;
    out << row("amplitude", r.amplitude_, r.amplitude_err_, y)
        << row("mean", r.mean_, r.mean_err_, x) << row("sigma", r.sigma_, r.sigma_err_, x)
        << row("variance", r.variance_, r.variance_err_, "(" + x + ")^2")
        << row("offset", r.offset_, r.offset_err_, y)
        << row("FWHM", kFwhmPerSigma * r.sigma_, kFwhmPerSigma * r.sigma_err_, x)
        << row("area", r.amplitude_ * r.sigma_ * kAreaPerAmplitudeSigma, std::nullopt,
               y + " * " + x)
        << row("chi-square", r.chisq_, std::nullopt, "(" + y + ")^2")
        << row("chi-square/dof", r.chisq_dof_, std::nullopt, "(" + y + ")^2");
  }
  out << "  status          " << r.status_str_ << " (" << r.status_ << ")\n"
      << "  iterations      " << r.num_iterations_ << "\n";
}

}  // namespace

int run_fit(const FitOptions& options, std::ostream& out) {
  const PeakData data = load(options);
  const numerics::GaussFitResult result = fit(configured_fitter(options), data);
  if (options.json) {
    out << to_json(result, data.y.size()).dump(2) << "\n";
  } else {
    print_table(result, options, data, out);
  }
  if (!completed(result)) return kFitFailed;
  if (!options.plot_path.empty()) {
    write_fit_plot(options.plot_path, data.x, data.y, result, data.x_label, data.y_label);
  }
  return kSuccess;
}

}  // namespace vesk::tools
