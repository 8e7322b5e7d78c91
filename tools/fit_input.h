#ifndef VESK_TOOLS_FIT_INPUT_H
#define VESK_TOOLS_FIT_INPUT_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "data_table.h"

namespace vesk::tools {

/// The points of a file that a fit uses, with the names of their axes.
struct PeakData {
  bool has_x = false;  ///< false: x is the sample index
  std::vector<double> x;
  std::vector<double> y;
  std::string x_label;
  std::string y_label;
};

/// The x interval LO <= x <= HI of --range; a missing side is open.
struct XRange {
  std::optional<double> low;
  std::optional<double> high;
  bool contains(double x) const { return (!low || x >= *low) && (!high || x <= *high); }
};

/// The columns of --columns: each a 1-based number or a header name; no x means the sample index.
struct ColumnChoice {
  std::optional<std::string> x;
  std::string y;
};

/// The index of the column that @p item names: a 1-based number or a header name of @p table.
/// @throws DataError naming @p source when there is no such column.
std::size_t column_index(const std::string& item, const DataTable& table,
                         const std::string& source);

/// Parses "LO:HI", ":HI" or "LO:". @throws UsageError naming @p option when malformed or
/// LO > HI.
XRange parse_range(const std::string& text, const std::string& option = "--range");

/// Parses "X,Y" or "Y". @throws UsageError when malformed.
ColumnChoice parse_columns(const std::string& text);

/// Reads the file at @p path ("-": standard input): the chosen columns, or without a choice one
/// column (y against the sample index) or two (x y), and only the points inside @p range.
/// @throws DataError naming the file for unreadable data, an unknown column, or a wide file
///         without a choice.
PeakData load_peak(const std::string& path, const std::optional<ColumnChoice>& columns,
                   const XRange& range);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_FIT_INPUT_H
