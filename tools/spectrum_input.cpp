#include "spectrum_input.h"

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
