#include "fit_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "commands.h"
#include "data_table.h"

namespace vesk::tools {

using numerics::area_of;
using numerics::completed;
using numerics::fwhm_of;

namespace {

using numerics::GaussFitResult;

// One line of the detailed report: name, value, error (if any) and unit.
std::string detail_line(const char* name, double value, std::optional<double> error,
                        const std::string& unit) {
  char text[160];
  const int length = std::snprintf(text, sizeof text, "  %-15s %15.8g", name, value);
  std::string line(text, static_cast<std::size_t>(length));
  if (error) {
    std::snprintf(text, sizeof text, "  ± %-13.3g", *error);
    line += text;
  } else {
    line += std::string(17, ' ');
  }
  return line + "  " + unit + "\n";
}

// A value with its error in the rows table.
std::string with_error(double value, double error) {
  char text[64];
  std::snprintf(text, sizeof text, "%13.8g ± %-11.3g", value, error);
  return text;
}

std::size_t file_width(const std::vector<FileFit>& fits, std::size_t at_least) {
  std::size_t width = at_least;
  for (const FileFit& fit : fits) width = std::max(width, fit.file.size());
  return width;
}

std::string padded(const std::string& text, std::size_t width) {
  return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

std::string summary_label(const SeriesSummary& summary) {
  return "mean of " + std::to_string(summary.used) + " of " + std::to_string(summary.total) +
         " fits";
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

constexpr char kCsvHeader[] =
    "file,status,status_str,iterations,amplitude,amplitude_err,mean,mean_err,sigma,sigma_err,"
    "variance,variance_err,offset,offset_err,fwhm,fwhm_err,area,chisq,chisq_dof";

std::string csv_numbers(const std::vector<std::optional<double>>& values) {
  std::string line;
  for (const std::optional<double>& value : values) {
    line += "," + (value ? exact_text(*value) : std::string());
  }
  return line;
}

}  // namespace

SeriesSummary summarise(const std::vector<FileFit>& fits) {
  SeriesSummary summary;
  summary.total = fits.size();
  std::vector<GaussFitResult> done;
  for (const FileFit& fit : fits) {
    if (completed(fit.result)) done.push_back(fit.result);
  }
  summary.used = done.size();
  summary.statistics = GaussFitResult::calc_mean_and_std(done);
  return summary;
}

void print_detail(const FileFit& fit, bool offset_held, std::ostream& out) {
  const GaussFitResult& r = fit.result;
  out << "Gaussian peak fit of " << source_name(fit.file) << ": " << fit.data.y.size()
      << " points, offset " << (offset_held ? "held constant" : "fitted") << "\n";
  if (completed(r)) {
    const std::string& x = fit.data.x_label;
    const std::string& y = fit.data.y_label;
    out << detail_line("amplitude", r.amplitude_, r.amplitude_err_, y)
        << detail_line("mean", r.mean_, r.mean_err_, x)
        << detail_line("sigma", r.sigma_, r.sigma_err_, x)
        << detail_line("variance", r.variance_, r.variance_err_, "(" + x + ")^2")
        << detail_line("offset", r.offset_, r.offset_err_, y)
        << detail_line("FWHM", fwhm_of(r.sigma_), fwhm_of(r.sigma_err_), x)
        << detail_line("area", area_of(r), std::nullopt, y + " * " + x)
        << detail_line("chi-square", r.chisq_, std::nullopt, "(" + y + ")^2")
        << detail_line("chi-square/dof", r.chisq_dof_, std::nullopt, "(" + y + ")^2");
  }
  out << "  status          " << r.status_str_ << " (" << r.status_ << ")\n"
      << "  iterations      " << r.num_iterations_ << "\n";
}

nlohmann::json fit_json(const GaussFitResult& r, std::size_t point_count) {
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
               {"fwhm", fwhm_of(r.sigma_)},
               {"fwhm_err", fwhm_of(r.sigma_err_)},
               {"area", area_of(r)}});
  return json;
}

void print_rows(const std::vector<FileFit>& fits, const SeriesSummary* summary, std::ostream& out) {
  const std::size_t width = file_width(fits, summary ? 7 : 4);
  char header[160];
  std::snprintf(header, sizeof header, "  status  iter  %13s%14s%13s%14s%13s%14s%13s%14s%s\n",
                "amplitude", "", "mean", "", "sigma", "", "offset", "", "chi-square/dof");
  out << padded("file", width) << header;
  for (const FileFit& fit : fits) {
    const GaussFitResult& r = fit.result;
    char counts[32];
    std::snprintf(counts, sizeof counts, "  %6d  %4d  ", r.status_, r.num_iterations_);
    out << padded(fit.file, width) << counts;
    if (!completed(r)) {
      out << "failed: " << r.status_str_ << "\n";
      continue;
    }
    char quality[32];
    std::snprintf(quality, sizeof quality, "%.6g", r.chisq_dof_);
    out << with_error(r.amplitude_, r.amplitude_err_) << with_error(r.mean_, r.mean_err_)
        << with_error(r.sigma_, r.sigma_err_) << with_error(r.offset_, r.offset_err_) << quality
        << "\n";
  }
  if (!summary) return;
  if (summary->used == 0) {
    out << "no completed fit to summarise (" << summary->total << " fits)\n";
    return;
  }
  const GaussFitResult& s = summary->statistics;
  std::string line = padded("summary", width) + std::string(16, ' ') +
                     with_error(s.amplitude_, s.amplitude_err_) + with_error(s.mean_, s.mean_err_) +
                     with_error(s.sigma_, s.sigma_err_) + with_error(s.offset_, s.offset_err_);
  line.erase(line.find_last_not_of(' ') + 1);
  out << line << "\n"
      << "summary: " << summary_label(*summary)
      << ", each ± its sample standard deviation across them\n";
}

void print_csv(const std::vector<FileFit>& fits, const SeriesSummary* summary, std::ostream& out) {
  out << kCsvHeader << "\n";
  for (const FileFit& fit : fits) {
    const GaussFitResult& r = fit.result;
    out << csv_field(fit.file) << "," << r.status_ << "," << csv_field(r.status_str_) << ","
        << r.num_iterations_;
    if (completed(r)) {
      out << csv_numbers({r.amplitude_, r.amplitude_err_, r.mean_, r.mean_err_, r.sigma_,
                          r.sigma_err_, r.variance_, r.variance_err_, r.offset_, r.offset_err_,
                          fwhm_of(r.sigma_), fwhm_of(r.sigma_err_), area_of(r), r.chisq_,
                          r.chisq_dof_});
    } else {
      out << std::string(15, ',');
    }
    out << "\n";
  }
  if (!summary) return;
  // The summary row: means in the value columns, sample standard deviations in the error ones.
  const GaussFitResult& s = summary->statistics;
  out << "summary,,"
      << csv_field(summary_label(*summary) +
                   ", each ± its sample standard "
                   "deviation across them")
      << ",";
  if (summary->used == 0) {
    out << std::string(15, ',') << "\n";
    return;
  }
  out << csv_numbers({s.amplitude_, s.amplitude_err_, s.mean_, s.mean_err_, s.sigma_, s.sigma_err_,
                      s.variance_, s.variance_err_, s.offset_, s.offset_err_, std::nullopt,
                      std::nullopt, std::nullopt, std::nullopt, std::nullopt})
      << "\n";
}

void print_json_series(const std::vector<FileFit>& fits, const SeriesSummary* summary,
                       std::ostream& out) {
  nlohmann::json series = nlohmann::json::array();
  for (const FileFit& fit : fits) {
    nlohmann::json entry = fit_json(fit.result, fit.data.y.size());
    entry["file"] = fit.file;
    series.push_back(entry);
  }
  if (summary) {
    nlohmann::json entry = {
        {"summary", true}, {"fits_used", summary->used}, {"fits_total", summary->total}};
    if (summary->used > 0) {
      const GaussFitResult& s = summary->statistics;
      entry.update({{"amplitude", s.amplitude_},
                    {"amplitude_std", s.amplitude_err_},
                    {"mean", s.mean_},
                    {"mean_std", s.mean_err_},
                    {"sigma", s.sigma_},
                    {"sigma_std", s.sigma_err_},
                    {"variance", s.variance_},
                    {"variance_std", s.variance_err_},
                    {"offset", s.offset_},
                    {"offset_std", s.offset_err_}});
    }
    series.push_back(entry);
  }
  out << series.dump(2) << "\n";
}

}  // namespace vesk::tools
