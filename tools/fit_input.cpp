#include "fit_input.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "commands.h"
#include "data_table.h"

namespace vesk::tools {

namespace {

bool is_column_number(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + escaped(name);
  return text;
}

std::string name_of(const DataTable& table, std::size_t column, const char* fallback) {
  return column < table.names.size() ? table.names[column] : fallback;
}

}  // namespace

std::size_t column_index(const std::string& item, const DataTable& table,
                         const std::string& source) {
  const std::size_t count = table.columns.size();
  if (is_column_number(item)) {
    const unsigned long number = std::strtoul(item.c_str(), nullptr, 10);
    if (number == 0 || number > count) {
      throw DataError(source + ": no column " + item + "; the file has " + std::to_string(count) +
                      " columns");
    }
    return number - 1;
  }
  const auto found = std::find(table.names.begin(), table.names.end(), item);
  if (found == table.names.end() ||
      static_cast<std::size_t>(found - table.names.begin()) >= count) {
    throw DataError(source + ": no column named " + quoted(item) +
                    (table.names.empty() ? " (the file has no header line)"
                                         : " (columns: " + joined(table.names) + ")"));
  }
  return static_cast<std::size_t>(found - table.names.begin());
}

XRange parse_range(const std::string& text, const std::string& option) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    throw UsageError(option + " must be LO:HI, LO: or :HI, got '" + text + "'");
  }
  XRange range;
  const std::string low = text.substr(0, colon);
  const std::string high = text.substr(colon + 1);
  range.low = parse_number(low);
  range.high = parse_number(high);
  if ((!low.empty() && !range.low) || (!high.empty() && !range.high)) {
    throw UsageError(option + " must hold numbers, got '" + text + "'");
  }
  if (range.low && range.high && *range.low > *range.high) {
    throw UsageError(option + " " + text + " is empty: LO exceeds HI");
  }
  return range;
}

ColumnChoice parse_columns(const std::string& text) {
  const std::size_t comma = text.find(',');
  if (comma == std::string::npos) {
    if (text.empty()) throw UsageError("--columns needs X,Y or Y");
    return {std::nullopt, text};
  }
  const std::string x = text.substr(0, comma);
  const std::string y = text.substr(comma + 1);
  if (x.empty() || y.empty() || y.find(',') != std::string::npos) {
    throw UsageError("--columns must be X,Y or Y (numbers from 1, or header names), got '" + text +
                     "'");
  }
  return {x, y};
}

PeakData load_peak(const std::string& path, const std::optional<ColumnChoice>& columns,
                   const XRange& range) {
  const std::string source = source_name(path);
  DataTable table;
  try {
    table = read_table_file(path,
                            columns ? std::vector<std::size_t>{} : std::vector<std::size_t>{1, 2});
  } catch (const DataError& error) {
    const std::string message = error.what();
    if (columns || message.find("expected 1 or 2") == std::string::npos) throw;
    throw DataError(message + "; choose two with --columns X,Y");
  }

  PeakData data;
  std::optional<std::size_t> x_column;
  std::size_t y_column = 0;
  if (columns) {
    if (columns->x) x_column = column_index(*columns->x, table, source);
    y_column = column_index(columns->y, table, source);
  } else {
    if (table.columns.size() == 2) x_column = 0;
    y_column = table.columns.size() - 1;
  }
  data.has_x = x_column.has_value();
  data.x_label = data.has_x ? name_of(table, *x_column, "x") : "sample index";
  data.y_label = name_of(table, y_column, "y");
  const std::vector<double>& y = table.columns[y_column];
  for (std::size_t row = 0; row < y.size(); ++row) {
    const double x = data.has_x ? table.columns[*x_column][row] : static_cast<double>(row);
    if (!range.contains(x)) continue;
    data.x.push_back(x);
    data.y.push_back(y[row]);
  }
  return data;
}

}  // namespace vesk::tools
