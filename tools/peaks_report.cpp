#include "peaks_report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "commands.h"
#include "vesk/report/peak_table.h"

namespace vesk::tools {

namespace {

// The line shape's own numbers in JSON; NaN where the shape has no such parameter.
constexpr std::array<const char*, 10> kShapeColumns = {
    "gamma",      "gamma_err",      "eta",  "eta_err", "tail", "tail_err",
    "tail_slope", "tail_slope_err", "step", "step_err"};
// An error is shown to two significant digits, and its value to the same decimal place.
constexpr int kErrorDigits = 2;
constexpr int kMostDecimals = 12;

// "value ± error", rounded where the error leaves off.
std::string with_error(double value, double error) {
  if (std::isnan(value)) return "nan";
  int decimals = 6;
  if (std::isfinite(error) && error > 0.0) {
    decimals = std::clamp(kErrorDigits - 1 - static_cast<int>(std::floor(std::log10(error))), 0,
                          kMostDecimals);
  }
  char text[96];
  std::snprintf(text, sizeof text, "%.*f ± %.*f", decimals, value, decimals, error);
  return text;
}

// @p text followed by blanks up to @p width characters (UTF-8 code points, so that "±" counts
// as one) and at least one blank.
std::string padded(const std::string& text, std::size_t width) {
  std::size_t characters = 0;
  for (const char c : text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return text + std::string(characters < width ? width - characters : 1, ' ');
}

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

nlohmann::json number(double value) {
  return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

// The values of kShapeColumns for peak @p p of region @p r.
std::array<double, kShapeColumns.size()> shape_numbers(const numerics::SpectrumPeak& p,
                                                       const numerics::SpectrumRegion& r) {
  return {p.gamma,      p.gamma_err,      p.eta,  p.eta_err, r.tail, r.tail_err,
          r.tail_slope, r.tail_slope_err, r.step, r.step_err};
}

// The resolution's coefficients and covariance, or null when the widths followed none.
nlohmann::json resolution_json(const numerics::SpectrumFitResult& result) {
  if (result.width != numerics::WidthMode::resolution) return nullptr;
  nlohmann::json coefficients = nlohmann::json::array(), covariance = nlohmann::json::array();
  for (std::size_t i = 0; i < result.resolution.size(); ++i) {
    coefficients.push_back(number(result.resolution[i]));
    nlohmann::json row = nlohmann::json::array();
    for (std::size_t j = 0; j < result.resolution.size(); ++j) {
      row.push_back(number(result.resolution_covariance[3 * i + j]));
    }
    covariance.push_back(row);
  }
  return {{"coefficients", coefficients}, {"covariance", covariance}};
}

bool any_line(const std::vector<SpectrumFitFile>& fits, double numerics::SpectrumPeak::*field) {
  return std::any_of(fits.begin(), fits.end(), [&](const SpectrumFitFile& fit) {
    return std::any_of(fit.result.peaks.begin(), fit.result.peaks.end(),
                       [&](const numerics::SpectrumPeak& p) { return std::isfinite(p.*field); });
  });
}

// The line's rate (or, without a live time, its net counts) with its error; for a line not
// detected, the detection limit as an upper limit instead. Among files with rates, one without
// a live time has none.
std::string rate_or_limit(const numerics::SpectrumPeak& p, bool rates, double live_time) {
  const double scale = rates ? 1.0 / live_time : 1.0;
  if (!p.significant && std::isfinite(p.detection_limit * scale)) {
    char text[64];
    std::snprintf(text, sizeof text, "< %.3g not detected", p.detection_limit * scale);
    return text;
  }
  return rates ? with_error(p.rate, p.rate_err) : with_error(p.counts, p.counts_err);
}

}  // namespace

void print_peak_table(const std::vector<SpectrumFitFile>& fits, std::ostream& out) {
  const bool several = fits.size() > 1;
  std::size_t file_width = 4;
  for (const SpectrumFitFile& fit : fits) file_width = std::max(file_width, fit.file.size() + 2);
  constexpr std::size_t kPeak = 6, kMean = 26, kFwhm = 22, kArea = 24, kAmplitude = 24, kRegion = 8,
                        kChisq = 11, kRate = 26;
  const bool rates = any_line(fits, &numerics::SpectrumPeak::rate);
  const bool net_rates = any_line(fits, &numerics::SpectrumPeak::net_rate);
  if (several) out << padded("file", file_width);
  out << padded("peak", kPeak) << padded("mean", kMean) << padded("fwhm", kFwhm)
      << padded("area", kArea) << padded("amplitude", kAmplitude) << padded("region", kRegion)
      << padded("chisq/dof", kChisq) << padded(rates ? "rate /s" : "counts", kRate);
  if (net_rates) out << padded("net rate /s", kRate);
  out << "status\n";
  for (const SpectrumFitFile& fit : fits) {
    for (std::size_t k = 0; k < fit.result.peaks.size(); ++k) {
      const numerics::SpectrumPeak& p = fit.result.peaks[k];
      const numerics::SpectrumRegion& r = fit.result.regions[p.region];
      char chisq[32];
      std::snprintf(chisq, sizeof chisq, "%.3g", r.chisq_dof);
      if (several) out << padded(fit.file, file_width);
      out << padded(std::to_string(k), kPeak) << padded(with_error(p.mean, p.mean_err), kMean)
          << padded(with_error(p.fwhm, p.fwhm_err), kFwhm)
          << padded(with_error(p.area, p.area_err), kArea)
          << padded(with_error(p.amplitude, p.amplitude_err), kAmplitude)
          << padded(std::to_string(p.region), kRegion) << padded(chisq, kChisq)
          << padded(rate_or_limit(p, rates, fit.data.live_time), kRate);
      if (net_rates) out << padded(with_error(p.net_rate, p.net_rate_err), kRate);
      out << r.status_str << (p.width_tied ? ", width tied" : "")
          << (p.outside_region ? ", outside its region: no line" : "") << "\n";
    }
  }
}

// The file, then the columns of the report library's peak table, which the HTML report shows too.
void print_peak_csv(const std::vector<SpectrumFitFile>& fits, std::ostream& out) {
  const std::vector<report::PeakColumn>& columns = report::peak_columns();
  out << "file";
  for (const report::PeakColumn& column : columns) out << "," << column.name;
  out << "\n";
  for (const SpectrumFitFile& fit : fits) {
    for (std::size_t k = 0; k < fit.result.peaks.size(); ++k) {
      const report::PeakRow row = report::peak_row(fit.result, k);
      out << csv_field(fit.file);
      for (const report::PeakColumn& column : columns) {
        out << "," << csv_field(report::cell_text(column.value(row)));
      }
      out << "\n";
    }
  }
}

nlohmann::json spectrum_json(const SpectrumFitFile& fit) {
  nlohmann::json peaks = nlohmann::json::array();
  for (const numerics::SpectrumPeak& p : fit.result.peaks) {
    nlohmann::json peak = {{"mean", number(p.mean)},
                           {"mean_err", number(p.mean_err)},
                           {"sigma", number(p.sigma)},
                           {"sigma_err", number(p.sigma_err)},
                           {"fwhm", number(p.fwhm)},
                           {"fwhm_err", number(p.fwhm_err)},
                           {"amplitude", number(p.amplitude)},
                           {"amplitude_err", number(p.amplitude_err)},
                           {"area", number(p.area)},
                           {"area_err", number(p.area_err)},
                           {"region", p.region}};
    const auto values = shape_numbers(p, fit.result.regions[p.region]);
    for (std::size_t i = 0; i < kShapeColumns.size(); ++i) {
      peak[kShapeColumns[i]] = number(values[i]);
    }
    peak["counts"] = number(p.counts);
    peak["counts_err"] = number(p.counts_err);
    peak["rate"] = number(p.rate);
    peak["rate_err"] = number(p.rate_err);
    peak["critical_level"] = number(p.critical_level);
    peak["detection_limit"] = number(p.detection_limit);
    peak["significant"] = p.significant;
    peak["net_rate"] = number(p.net_rate);
    peak["net_rate_err"] = number(p.net_rate_err);
    peak["width_tied"] = p.width_tied;
    peak["outside_region"] = p.outside_region;
    peaks.push_back(peak);
  }
  nlohmann::json regions = nlohmann::json::array();
  for (const numerics::SpectrumRegion& r : fit.result.regions) {
    regions.push_back({{"lo", r.lo},
                       {"hi", r.hi},
                       {"points", r.points},
                       {"b0", number(r.b0)},
                       {"b0_err", number(r.b0_err)},
                       {"b1", number(r.b1)},
                       {"b1_err", number(r.b1_err)},
                       {"b2", number(r.b2)},
                       {"b2_err", number(r.b2_err)},
                       {"tail", number(r.tail)},
                       {"tail_err", number(r.tail_err)},
                       {"tail_slope", number(r.tail_slope)},
                       {"tail_slope_err", number(r.tail_slope_err)},
                       {"step", number(r.step)},
                       {"step_err", number(r.step_err)},
                       {"chisq", number(r.chisq)},
                       {"dof", r.dof},
                       {"chisq_dof", number(r.chisq_dof)},
                       {"status", r.status},
                       {"status_str", r.status_str},
                       {"iterations", r.iterations},
                       {"ok", r.ok()}});
  }
  return {{"file", fit.file},
          {"background", numerics::background_name(fit.result.background)},
          {"shape", numerics::line_shape_name(fit.result.shape)},
          {"width", numerics::width_mode_name(fit.result.width)},
          {"resolution", resolution_json(fit.result)},
          {"peaks", peaks},
          {"regions", regions}};
}

void print_peak_json(const std::vector<SpectrumFitFile>& fits, std::ostream& out) {
  if (fits.size() == 1) {
    out << spectrum_json(fits.front()).dump(2) << "\n";
    return;
  }
  nlohmann::json all = nlohmann::json::array();
  for (const SpectrumFitFile& fit : fits) all.push_back(spectrum_json(fit));
  out << all.dump(2) << "\n";
}

}  // namespace vesk::tools
