#include "vesk/report/html_report.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "json_text.h"
#include "report_assets.h"
#include "vesk/report/peak_table.h"

namespace vesk::report {

namespace {

using numerics::SpectrumData;
using numerics::SpectrumFitResult;
using numerics::SpectrumRegion;

// Significant digits of what is only drawn: the data as shown on hover, the fitted curves and the
// residuals. The table keeps every digit.
constexpr int kDataDigits = 7;
constexpr int kCurveDigits = 6;
constexpr int kResidualDigits = 4;
// x keeps a thousandth of its smallest step, so that zooming into a channel stays exact.
constexpr int kExtraXDigits = 3;
constexpr int kLeastXDigits = 6;
constexpr int kMostXDigits = 17;
// The fitted curves are sampled so that the narrowest line of a region is drawn smooth: this many
// samples over its FWHM, at least one a channel (the data's own detail) and at most
// kMostPerChannel, which a line a few channels wide needs. Wider lines need no more: sampling every
// line at kMostPerChannel made a 16 384-channel spectrum of 250 lines a 2.4 MB page. A region over
// a whole long spectrum gets no more samples than it has channels.
constexpr double kSamplesPerFwhm = 12.0;
constexpr double kMostPerChannel = 4.0;
constexpr std::size_t kLeastSamples = 64;
constexpr std::size_t kMostSamples = 8192;

int x_digits(const SpectrumData& data) {
  double largest = 0.0, step = INFINITY;
  for (std::size_t i = 0; i < data.size; ++i) {
    largest = std::max(largest, std::fabs(data.x[i]));
    if (i > 0 && data.x[i] != data.x[i - 1])
      step = std::min(step, std::fabs(data.x[i] - data.x[i - 1]));
  }
  if (!(largest > 0.0) || !std::isfinite(step)) return kMostXDigits;
  const int digits = static_cast<int>(std::ceil(std::log10(largest / step))) + kExtraXDigits;
  return std::clamp(digits, kLeastXDigits, kMostXDigits);
}

std::string number_text(double value) {
  std::string text;
  append_json_number(text, value);
  return text;
}

// "name": as the key of the next member.
void key(std::string& out, const char* name) {
  append_json_string(out, name);
  out += ':';
}

// Members are written as "name":value, each with a comma, which close_object() turns into the
// closing brace after the last.
void member(std::string& out, const char* name, double value) {
  key(out, name);
  append_json_number(out, value);
  out += ',';
}

void member(std::string& out, const char* name, std::string_view text) {
  key(out, name);
  append_json_string(out, text);
  out += ',';
}

void member(std::string& out, const char* name, const std::vector<double>& values, int digits) {
  key(out, name);
  append_json_numbers(out, values, digits);
  out += ',';
}

void close_object(std::string& out) {
  if (out.back() == ',') out.pop_back();
  out += '}';
}

void append_facts(std::string& out, const std::vector<Fact>& facts) {
  out += '[';
  for (std::size_t i = 0; i < facts.size(); ++i) {
    if (i > 0) out += ',';
    out += '[';
    append_json_string(out, facts[i].first);
    out += ',';
    append_json_string(out, facts[i].second);
    out += ']';
  }
  out += ']';
}

void append_header(std::string& out, const ReportFacts& facts) {
  key(out, "facts");
  out += '{';
  const std::pair<const char*, const std::string*> texts[] = {
      {"file", &facts.file},      {"format", &facts.format},   {"calibration", &facts.calibration},
      {"shape", &facts.shape},    {"x_label", &facts.x_label}, {"y_label", &facts.y_label},
      {"version", &facts.version}};
  for (const auto& [name, text] : texts) member(out, name, *text);
  member(out, "live_time", facts.live_time.value_or(NAN));
  member(out, "real_time", facts.real_time.value_or(NAN));
  key(out, "settings");
  append_facts(out, facts.settings);
  out += ',';
  key(out, "metadata");
  append_facts(out, facts.metadata);
  close_object(out);
}

// Per channel: x, y, the model and the normalised residual.
void append_channels(std::string& out, const SpectrumData& data, const SpectrumFitResult& result) {
  std::vector<double> x(data.x, data.x + data.size), y(data.y, data.y + data.size);
  std::vector<double> model(data.size), residual(data.size);
  for (std::size_t i = 0; i < data.size; ++i) {
    model[i] = result.evaluate(x[i]);
    const double error = data.sigma != nullptr ? data.sigma[i] : NAN;
    residual[i] = normalised_residual(result, x[i], y[i], error);
  }
  key(out, "channels");
  out += '{';
  member(out, "x", x, x_digits(data));
  member(out, "y", y, kDataDigits);
  member(out, "model", model, kDataDigits);
  member(out, "residual", residual, kResidualDigits);
  close_object(out);
}

template <typename Curve>
std::vector<double> sampled(const std::vector<double>& grid, Curve curve) {
  std::vector<double> values(grid.size());
  std::transform(grid.begin(), grid.end(), values.begin(), curve);
  return values;
}

// How many samples of region @p index's curves draw its narrowest line smooth.
std::size_t curve_samples(const SpectrumFitResult& result, std::size_t index) {
  const SpectrumRegion& region = result.regions[index];
  double narrowest = INFINITY;
  for (const numerics::SpectrumPeak& peak : result.peaks) {
    if (peak.region == index && peak.fwhm > 0.0) narrowest = std::min(narrowest, peak.fwhm);
  }
  double per_channel = kMostPerChannel;  // also where no width is known (a failed region)
  if (region.points > 1 && std::isfinite(narrowest)) {
    const double channel = (region.hi - region.lo) / static_cast<double>(region.points - 1);
    per_channel = std::clamp(kSamplesPerFwhm * channel / narrowest, 1.0, kMostPerChannel);
  }
  const auto wanted =
      static_cast<std::size_t>(std::ceil(per_channel * static_cast<double>(region.points)));
  return std::clamp(wanted, kLeastSamples, std::max(region.points, kMostSamples));
}

// A region: its range and status, and its model, background and lines sampled evenly from lo to
// hi (the page spaces the samples again from lo, hi and their number).
void append_region(std::string& out, const SpectrumFitResult& result, std::size_t index) {
  const SpectrumRegion& region = result.regions[index];
  const std::size_t samples = curve_samples(result, index);
  std::vector<double> grid(samples);
  for (std::size_t i = 0; i < samples; ++i) {
    grid[i] = region.lo +
              (region.hi - region.lo) * static_cast<double>(i) / static_cast<double>(samples - 1);
  }
  out += '{';
  member(out, "lo", region.lo);
  member(out, "hi", region.hi);
  key(out, "ok");
  out += region.ok() ? "true," : "false,";
  member(out, "status", region.status_str);
  member(out, "model", sampled(grid, [&](double v) { return result.evaluate(v); }), kCurveDigits);
  member(out, "background", sampled(grid, [&](double v) { return result.evaluate_background(v); }),
         kCurveDigits);
  key(out, "lines");
  out += '[';
  bool first = true;
  for (std::size_t k = 0; k < result.peaks.size(); ++k) {
    if (result.peaks[k].region != index) continue;
    out += first ? "[" : ",[";
    first = false;
    out += std::to_string(k) + ',';
    append_json_numbers(out,
                        sampled(grid,
                                [&](double v) {
                                  return result.evaluate_background(v) + result.evaluate_peak(k, v);
                                }),
                        kCurveDigits);
    out += ']';
  }
  out += "]}";
}

void append_cell(std::string& out, const PeakCell& cell) {
  std::visit(
      [&](const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>) {
          append_json_string(out, value);
        } else if constexpr (std::is_same_v<T, bool>) {
          out += value ? "true" : "false";
        } else {
          append_json_number(out, static_cast<double>(value));
        }
      },
      cell);
}

// The table of lines: every column of peak_columns(), and for each row the line's region.
void append_table(std::string& out, const SpectrumFitResult& result) {
  const std::vector<PeakColumn>& columns = peak_columns();
  key(out, "columns");
  out += '[';
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (c > 0) out += ',';
    append_json_string(out, columns[c].name);
  }
  out += "],";
  key(out, "rows");
  out += '[';
  for (std::size_t k = 0; k < result.peaks.size(); ++k) {
    const PeakRow row = peak_row(result, k);
    out += k > 0 ? ",[" : "[";
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (c > 0) out += ',';
      append_cell(out, columns[c].value(row));
    }
    out += ']';
  }
  out += "],";
  key(out, "line_regions");
  out += '[';
  for (std::size_t k = 0; k < result.peaks.size(); ++k) {
    if (k > 0) out += ',';
    out += std::to_string(result.peaks[k].region);
  }
  out += ']';
}

std::string report_json(const SpectrumData& data, const SpectrumFitResult& result,
                        const ReportFacts& facts) {
  std::string out = "{";
  append_header(out, facts);
  out += ',';
  constexpr const char* kStatistics[] = {"unweighted", "weighted (given errors)", "Poisson counts"};
  member(out, "statistics", kStatistics[static_cast<int>(result.statistics)]);
  member(out, "background", numerics::background_name(result.background));
  append_channels(out, data, result);
  out += ',';
  key(out, "regions");
  out += '[';
  for (std::size_t r = 0; r < result.regions.size(); ++r) {
    if (r > 0) out += ',';
    append_region(out, result, r);
  }
  out += "],";
  append_table(out, result);
  out += '}';
  return out;
}

}  // namespace

void describe_fit(const numerics::SpectrumFit& fitter, const std::vector<double>& positions,
                  ReportFacts& facts) {
  facts.shape = numerics::line_shape_name(fitter.get_shape());
  const double fwhm = fitter.get_fwhm();
  std::string lines = "found by the search, threshold " + number_text(fitter.get_threshold());
  if (!positions.empty()) {
    lines = "fitted near";
    for (std::size_t i = 0; i < positions.size(); ++i) {
      lines += (i > 0 ? ", " : " ") + number_text(positions[i]);
    }
  }
  facts.settings = {
      {"background", numerics::background_name(fitter.get_background())},
      {"widths", numerics::width_mode_name(fitter.get_width())},
      {"FWHM", fwhm > 0.0 ? number_text(fwhm) : "estimated from the data"},
      {"lines", lines},
  };
  if (fitter.has_window()) {
    facts.settings.push_back({"window", number_text(fitter.get_window_lo()) + " to " +
                                            number_text(fitter.get_window_hi())});
  }
  if (const auto resolution = fitter.get_resolution()) {
    facts.settings.push_back({"resolution", number_text((*resolution)[0]) + ", " +
                                                number_text((*resolution)[1]) + ", " +
                                                number_text((*resolution)[2])});
  }
  for (int kind = 0; kind <= static_cast<int>(numerics::ShapeParameter::gamma); ++kind) {
    const auto parameter = static_cast<numerics::ShapeParameter>(kind);
    if (const auto value = fitter.get_fixed(parameter)) {
      facts.settings.push_back(
          {std::string("held ") + numerics::shape_parameter_name(parameter), number_text(*value)});
    }
  }
  facts.settings.push_back({"iterations per region", std::to_string(fitter.get_max_iterations())});
  facts.settings.push_back({"accuracy", number_text(fitter.get_accuracy())});
}

double normalised_residual(const SpectrumFitResult& result, double x, double y, double error) {
  const double model = result.evaluate(x);
  if (std::isnan(model)) return NAN;
  double uncertainty = 1.0;
  switch (result.statistics) {
    case numerics::Statistics::poisson:
      uncertainty = std::sqrt(std::max(model, 1e-300));
      break;
    case numerics::Statistics::weighted:
      uncertainty = error;
      break;
    case numerics::Statistics::unweighted:
      uncertainty = std::sqrt(result.regions[result.region_at(x)].chisq_dof);
      break;
  }
  return (y - model) / uncertainty;
}

std::string html_report(const SpectrumData& data, const SpectrumFitResult& result,
                        const ReportFacts& facts) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      // Nothing may be loaded from anywhere: the page is complete as it is.
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Spectrum report</title>\n<style>\n";
  page += embedded::kUplotCss;
  page += "\n</style>\n<style>\n";
  page += embedded::kPageCss;
  page += "\n</style>\n</head>\n<body>\n";
  page += embedded::kPageBody;
  // The data travel as JSON in an element the browser never runs; the page's script parses it.
  page += "\n<script type=\"application/json\" id=\"report-data\">";
  page += report_json(data, result, facts);
  page += "</script>\n<script>\n";
  page += embedded::kUplotJs;
  page += "\n</script>\n<script>\n";
  page += embedded::kPageJs;
  page += "\n</script>\n</body>\n</html>\n";
  return page;
}

void write_html_report(const std::string& path, const SpectrumData& data,
                       const SpectrumFitResult& result, const ReportFacts& facts) {
  const std::string page = html_report(data, result, facts);
  std::ofstream file(path, std::ios::binary);
  file.write(page.data(), static_cast<std::streamsize>(page.size()));
  file.close();
  if (!file) throw std::runtime_error(path + ": cannot write the report");
}

}  // namespace vesk::report
