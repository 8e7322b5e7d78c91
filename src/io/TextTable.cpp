#include "vesk/io/TextTable.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>

#include "readers.h"

namespace vesk::io {

namespace {

std::string trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> split_at(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = line.find(separator, start);
    fields.push_back(trim(line.substr(start, at - start)));
    if (at == std::string::npos) return fields;
    start = at + 1;
  }
}

// Fields split at semicolons, where a comma is the decimal mark (as spreadsheets export in much
// of Europe: "661,7;1234"); else at commas; else at runs of blanks and tabs.
std::vector<std::string> split_fields(const std::string& line) {
  if (line.find(';') != std::string::npos) {
    std::vector<std::string> fields = split_at(line, ';');
    for (std::string& field : fields) {
      if (parse_number(field)) continue;
      std::string with_point = field;
      std::replace(with_point.begin(), with_point.end(), ',', '.');
      if (parse_number(with_point)) field = with_point;
    }
    return fields;
  }
  if (line.find(',') != std::string::npos) return split_at(line, ',');
  return detail::words_of(line);
}

// At most this many characters of a field are quoted in a message.
constexpr std::size_t kLongestQuotation = 40;

// Whether a line is text: valid UTF-8 without control characters other than tabs and a carriage
// return.
bool is_text(const std::string& line) {
  std::size_t continuation = 0;
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (continuation > 0) {
      if ((byte & 0xC0) != 0x80) return false;
      --continuation;
    } else if (byte < 0x20) {
      if (byte != '\t' && byte != '\r') return false;
    } else if (byte == 0x7F) {
      return false;
    } else if (byte >= 0x80) {
      if ((byte & 0xE0) == 0xC0 && byte >= 0xC2) {
        continuation = 1;
      } else if ((byte & 0xF0) == 0xE0) {
        continuation = 2;
      } else if ((byte & 0xF8) == 0xF0 && byte <= 0xF4) {
        continuation = 3;
      } else {
        return false;
      }
    }
  }
  return continuation == 0;
}

std::string allowed_text(const std::vector<std::size_t>& allowed) {
  std::string text;
  for (std::size_t i = 0; i < allowed.size(); ++i) {
    if (i > 0) text += i + 1 == allowed.size() ? " or " : ", ";
    text += std::to_string(allowed[i]);
  }
  return text;
}

class TableReader {
 public:
  TableReader(std::string source, const std::vector<std::size_t>& allowed)
      : source_(std::move(source)), allowed_(allowed) {}

  void add_line(const std::string& raw_line) {
    ++line_number_;
    if (!is_text(raw_line)) fail("not a text file: " + quoted(raw_line));
    const std::string line = trim(raw_line.substr(0, raw_line.find('#')));
    if (line.empty()) return;
    const std::vector<std::string> fields = split_fields(line);
    if (table_.columns.empty() && table_.names.empty() && is_header(fields)) {
      table_.names = fields;
      return;
    }
    add_row(fields);
  }

  DataTable finish() {
    if (table_.row_count() == 0) fail("no data");
    return std::move(table_);
  }

 private:
  // A header is a first line with no number in it at all.
  static bool is_header(const std::vector<std::string>& fields) {
    for (const std::string& field : fields) {
      if (parse_number(field)) return false;
    }
    return true;
  }

  void add_row(const std::vector<std::string>& fields) {
    if (table_.columns.empty()) {
      bool allowed = allowed_.empty();
      for (std::size_t count : allowed_) allowed = allowed || count == fields.size();
      if (!allowed) {
        fail("row has " + std::to_string(fields.size()) + " columns, expected " +
             allowed_text(allowed_));
      }
      table_.columns.resize(fields.size());
    } else if (fields.size() != table_.columns.size()) {
      fail("row has " + std::to_string(fields.size()) + " columns, expected " +
           std::to_string(table_.columns.size()));
    }
    for (std::size_t c = 0; c < fields.size(); ++c) {
      const std::optional<double> value = parse_number(fields[c]);
      if (!value) fail("expected a number, got " + quoted(fields[c]));
      if (!std::isfinite(*value)) fail("expected a finite number, got " + quoted(fields[c]));
      table_.columns[c].push_back(*value);
    }
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw FormatError(source_ + ":" + std::to_string(line_number_) + ": " + what);
  }

  std::string source_;
  std::vector<std::size_t> allowed_;
  std::size_t line_number_ = 0;
  DataTable table_;
};

}  // namespace

std::string quoted(const std::string& text) { return "'" + escaped(text) + "'"; }

std::string escaped(const std::string& text) {
  std::string shown;
  const std::size_t shown_length = std::min(text.size(), kLongestQuotation);
  for (std::size_t i = 0; i < shown_length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7f) {
      shown += static_cast<char>(byte);
    } else {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02X", byte);
      shown += code;
    }
  }
  return shown + (text.size() > shown_length ? "..." : "");
}

std::optional<double> parse_number(const std::string& field) {
  if (field.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(field.c_str(), &end);
  if (end != field.c_str() + field.size()) return std::nullopt;
  return value;
}

DataTable read_table(std::istream& input, const std::string& source,
                     const std::vector<std::size_t>& allowed_column_counts) {
  TableReader reader(source, allowed_column_counts);
  std::string line;
  while (std::getline(input, line)) reader.add_line(line);
  if (input.bad()) throw FileError(source + ": read error");
  return reader.finish();
}

DataTable read_table_file(const std::string& path,
                          const std::vector<std::size_t>& allowed_column_counts) {
  if (path == "-") return read_table(std::cin, source_name(path), allowed_column_counts);
  std::ifstream file(path);
  if (!file) throw FileError(path + ": cannot open: " + std::strerror(errno));
  return read_table(file, path, allowed_column_counts);
}

std::string source_name(const std::string& path) { return path == "-" ? "<stdin>" : path; }

}  // namespace vesk::io
