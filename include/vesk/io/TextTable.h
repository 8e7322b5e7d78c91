#ifndef VESK_IO_TEXT_TABLE_H
#define VESK_IO_TEXT_TABLE_H

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "vesk/io/Spectrum.h"
#include "vesk/io/export.h"

namespace vesk::io {

/// Columns of finite numbers read from a text file, with the names of an optional header line.
struct DataTable {
  std::vector<std::string> names;            ///< header names, empty without a header line
  std::vector<std::vector<double>> columns;  ///< columns[c][r]: row r of column c
  /// The number of rows (0 without columns).
  std::size_t row_count() const { return columns.empty() ? 0 : columns.front().size(); }
};

/// Reads rows of numbers separated by blanks, tabs, commas, or semicolons (then a comma in a
/// number is its decimal mark). Text from '#' to the end of a line
/// and blank lines are skipped; one line of names may stand before the first number. Every row
/// must have the same number of columns, one of @p allowed_column_counts (any number when it is
/// empty).
/// @throws FormatError naming @p source and the line ("SOURCE:LINE: ...") for anything else, and
/// for no rows at all.
VESK_IO_EXPORT DataTable read_table(std::istream& input, const std::string& source,
                                    const std::vector<std::size_t>& allowed_column_counts);

/// As read_table, from the file at @p path, or from standard input for "-".
/// @throws FileError when the file cannot be opened, FormatError as read_table.
VESK_IO_EXPORT DataTable read_table_file(const std::string& path,
                                         const std::vector<std::size_t>& allowed_column_counts);

/// The number that all of @p text spells, or nothing (also for empty text).
VESK_IO_EXPORT std::optional<double> parse_number(const std::string& text);

/// @p text for a message: bytes that are not printable ASCII escaped as \xNN, and cut short
/// after 40 characters with "...".
VESK_IO_EXPORT std::string escaped(const std::string& text);

/// escaped(@p text) in single quotes.
VESK_IO_EXPORT std::string quoted(const std::string& text);

/// How a path is named in messages: "<stdin>" for "-".
VESK_IO_EXPORT std::string source_name(const std::string& path);

}  // namespace vesk::io

#endif  // VESK_IO_TEXT_TABLE_H
