#include "spectrum_input.h"

#include <cmath>
#include <sstream>

#include "commands.h"
#include "data_table.h"

namespace vesk::tools {

namespace {

std::vector<std::string> split_at_commas(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

// The largest polynomial the command line takes: quadratic, as the instruments write.
constexpr std::size_t kMostCalibrationTerms = 3;

double polynomial(const std::vector<double>& coefficients, double at) {
  double value = 0.0;
  for (auto c = coefficients.rbegin(); c != coefficients.rend(); ++c) value = value * at + *c;
  return value;
}

std::string label_of_unit(const std::string& unit) {
  if (unit == "keV" || unit == "MeV" || unit == "eV") return "energy (" + unit + ")";
  if (unit == "deg") return "2theta (deg)";
  return unit.empty() ? "x" : unit;
}

std::string label_of(const DataTable& table, std::size_t column, const char* fallback) {
  return column < table.names.size() ? table.names[column] : fallback;
}

}  // namespace

SpectrumColumns parse_spectrum_columns(const std::string& text) {
  const std::vector<std::string> items = split_at_commas(text);
  bool empty_item = false;
  for (const std::string& item : items) empty_item = empty_item || item.empty();
  if (items.size() < 2 || items.size() > 3 || empty_item) {
    throw UsageError("--columns must be X,Y or X,Y,ERR (numbers from 1, or header names), got '" +
                     text + "'");
  }
  SpectrumColumns columns{items[0], items[1], std::nullopt};
  if (items.size() == 3) columns.errors = items[2];
  return columns;
}

std::vector<double> parse_calibration(const std::string& text) {
  std::vector<double> terms;
  bool all_numbers = true;
  for (const std::string& item : split_at_commas(text)) {
    const std::optional<double> value = parse_number(item);
    all_numbers = all_numbers && value && std::isfinite(*value);
    terms.push_back(value ? *value : 0.0);
  }
  if (!all_numbers || terms.size() < 2 || terms.size() > kMostCalibrationTerms) {
    throw UsageError("--calibration must be C0,C1 or C0,C1,C2 (x = C0 + C1 ch + C2 ch^2), got '" +
                     text + "'");
  }
  return terms;
}

std::vector<double> x_of(const io::Spectrum& spectrum, const XChoice& choice, std::string* label) {
  if (choice.channels) {
    *label = "channel";
    return spectrum.channels;
  }
  if (choice.calibration.empty()) {
    *label = label_of_unit(spectrum.x_unit);
    return spectrum.x;
  }
  *label = "x";
  std::vector<double> x;
  x.reserve(spectrum.channels.size());
  for (const double channel : spectrum.channels)
    x.push_back(polynomial(choice.calibration, channel));
  return x;
}

SpectrumFile spectrum_file_of(const io::Spectrum& spectrum, const XChoice& choice,
                              const XRange& range) {
  SpectrumFile file;
  const std::vector<double> x = x_of(spectrum, choice, &file.x_label);
  file.y_label = spectrum.is_counts ? "counts" : "intensity";
  file.live_time = spectrum.live_time;
  file.real_time = spectrum.real_time;
  file.format = spectrum.format;
  file.is_counts = spectrum.is_counts;
  for (std::size_t k = 0; k < spectrum.calibration.size(); ++k) {
    std::ostringstream term;
    term << spectrum.calibration[k];
    file.calibration += (k > 0 ? " + " : "x = ") + term.str() +
                        (k == 0   ? ""
                         : k == 1 ? " ch"
                                  : " ch^" + std::to_string(k));
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!range.contains(x[i])) continue;
    file.x.push_back(x[i]);
    file.y.push_back(spectrum.counts[i]);
  }
  return file;
}

SpectrumFile load_spectrum(const std::string& path, const std::optional<SpectrumColumns>& columns,
                           const XRange& range) {
  const std::string source = source_name(path);
  const DataTable table = read_table_file(
      path, columns ? std::vector<std::size_t>{} : std::vector<std::size_t>{1, 2, 3});
  const std::size_t count = table.columns.size();
  std::optional<std::size_t> x_column, error_column;
  std::size_t y_column = 0;
  if (columns) {
    x_column = column_index(columns->x, table, source);
    y_column = column_index(columns->y, table, source);
    if (columns->errors) error_column = column_index(*columns->errors, table, source);
  } else {
    if (count >= 2) x_column = 0;
    y_column = count >= 2 ? 1 : 0;
    if (count == 3) error_column = 2;
  }
  SpectrumFile spectrum;
  spectrum.x_label = x_column ? label_of(table, *x_column, "x") : "channel";
  spectrum.y_label = label_of(table, y_column, "y");
  for (std::size_t row = 0; row < table.row_count(); ++row) {
    const double x = x_column ? table.columns[*x_column][row] : static_cast<double>(row);
    if (!range.contains(x)) continue;
    spectrum.x.push_back(x);
    spectrum.y.push_back(table.columns[y_column][row]);
    if (error_column) spectrum.errors.push_back(table.columns[*error_column][row]);
  }
  return spectrum;
}

}  // namespace vesk::tools
