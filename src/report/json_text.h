#ifndef VESK_REPORT_JSON_TEXT_H
#define VESK_REPORT_JSON_TEXT_H

// JSON written for inlining into an HTML page: whatever a string holds, the text never closes the
// <script> element that carries it, never opens a comment, and is valid UTF-8.

#include <string>
#include <string_view>
#include <vector>

namespace vesk::report {

// Appends @p text as a JSON string. Bytes that are not UTF-8 become U+FFFD; the characters
// < > & ' and the line separators U+2028 and U+2029 are written as \u escapes, so that no
// "</script>" or "<!--" can appear, whatever the text.
void append_json_string(std::string& out, std::string_view text);

// Appends @p value with @p digits significant digits (0: the shortest text that reads back as
// the same double); null when it is not finite.
void append_json_number(std::string& out, double value, int digits = 0);

// Appends [v0,v1,...] as append_json_number writes each.
void append_json_numbers(std::string& out, const std::vector<double>& values, int digits);

}  // namespace vesk::report

#endif  // VESK_REPORT_JSON_TEXT_H
