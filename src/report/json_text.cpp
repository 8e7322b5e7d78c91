#include "json_text.h"

#include <charconv>
#include <cmath>

namespace vesk::report {

namespace {

constexpr char kReplacement[] = "\\ufffd";

// The length of the well-formed UTF-8 sequence at the start of @p text, or 0 when it is not one
// (a stray continuation byte, a truncated sequence, an overlong form, a surrogate, or a code point
// above U+10FFFF).
std::size_t utf8_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void append_escape(std::string& out, unsigned code) {
  constexpr char kHex[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8_length(text.substr(i));
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (length == 3 && c == 0xE2 && text[i + 1] == '\x80' &&
        (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      append_escape(out, text[i + 2] == '\xA8' ? 0x2028 : 0x2029);
    } else if (length > 1) {
      out.append(text, i, length);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&' || c == '\'') {
      append_escape(out, c);
    } else {
      out += static_cast<char>(c);
    }
    i += length;
  }
  out += '"';
}

void append_json_number(std::string& out, double value, int digits) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[40];
  const auto written = digits > 0 ? std::to_chars(text, text + sizeof text, value,
                                                  std::chars_format::general, digits)
                                  : std::to_chars(text, text + sizeof text, value);
  out.append(text, written.ptr);
}

void append_json_numbers(std::string& out, const std::vector<double>& values, int digits) {
  out += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    append_json_number(out, values[i], digits);
  }
  out += ']';
}

}  // namespace vesk::report
