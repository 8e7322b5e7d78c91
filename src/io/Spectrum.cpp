#include "vesk/io/Spectrum.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "readers.h"
#include "vesk/io/TextTable.h"

namespace vesk::io {

namespace {

// Larger files are no spectra: the largest formats read here hold a few megabytes.
constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;
// The start of a file that decides whether it is text columns.
constexpr std::size_t kSniffBytes = 4096;

std::string read_file(const std::string& path, std::size_t limit) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw FileError(path + ": cannot open: " + std::strerror(errno));
  std::string bytes;
  char buffer[1 << 16];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(file.gcount()));
    if (bytes.size() > limit) {
      if (limit < kMaxFileBytes) return bytes;
      throw FileError(path + ": larger than " + std::to_string(kMaxFileBytes >> 20) +
                      " MiB: not a spectrum file this program reads");
    }
  }
  if (file.bad()) throw FileError(path + ": read error");
  return bytes;
}

std::vector<Spectrum> parse_known(const std::string& bytes, const std::string& source) {
  if (bytes.empty()) detail::fail(source, "empty file");
  // Entities are declared in a document type declaration: no XML reader here gets to see one.
  if (detail::looks_like_xml(bytes) && (bytes.find("<!DOCTYPE") != std::string::npos ||
                                        bytes.find("<!ENTITY") != std::string::npos)) {
    detail::fail(source, "XML with a document type declaration (entities) is refused");
  }
  if (detail::looks_like_chn(bytes)) return detail::read_chn(bytes, source);
  if (detail::looks_like_spe(bytes)) return detail::read_spe(bytes, source);
  if (detail::looks_like_iec(bytes)) return detail::read_iec(bytes, source);
  if (detail::looks_like_n42(bytes)) return detail::read_n42(bytes, source);
  const std::string xylib_format = detail::xylib_format_of(bytes, source);
  if (!xylib_format.empty()) return detail::read_xylib(bytes, source, xylib_format);
  return detail::read_text_columns(bytes, source);
}

}  // namespace

Spectrum::Spectrum()
    : live_time(std::numeric_limits<double>::quiet_NaN()),
      real_time(std::numeric_limits<double>::quiet_NaN()) {}

std::vector<Spectrum> parse_spectra(const std::string& bytes, const std::string& source) {
  std::vector<Spectrum> spectra = parse_known(bytes, source);
  if (spectra.empty()) detail::fail(source, "the file holds no spectrum");
  for (Spectrum& spectrum : spectra) detail::finish(spectrum, source);
  return spectra;
}

std::vector<Spectrum> read_spectra(const std::string& path) {
  return parse_spectra(read_file(path, kMaxFileBytes), path);
}

Spectrum read_spectrum(const std::string& path, std::size_t index) {
  std::vector<Spectrum> spectra = read_spectra(path);
  if (index >= spectra.size()) {
    detail::fail(path, "holds " + std::to_string(spectra.size()) + " spectra, no spectrum " +
                           std::to_string(index));
  }
  return std::move(spectra[index]);
}

bool is_instrument_file(const std::string& path) {
  if (path == "-") return false;
  const std::string start = read_file(path, kSniffBytes);
  if (detail::looks_like_chn(start) || detail::looks_like_spe(start) ||
      detail::looks_like_iec(start) || detail::looks_like_n42(start)) {
    return true;
  }
  // xylib's checks may need the whole file (binary formats check their size).
  return !detail::xylib_format_of(read_file(path, kMaxFileBytes), path).empty();
}

namespace detail {

void fail(const std::string& source, const std::string& what) {
  throw FormatError(source + ": " + what);
}

namespace {

void check_counts(const Spectrum& spectrum, const std::string& source) {
  for (std::size_t i = 0; i < spectrum.counts.size(); ++i) {
    const double value = spectrum.counts[i];
    if (std::isfinite(value) && !(spectrum.is_counts && value < 0.0)) continue;
    fail(source, "the count of channel " + std::to_string(i) + " (from 0) is " +
                     (std::isfinite(value) ? "negative" : "not a number"));
  }
}

double polynomial(const std::vector<double>& coefficients, double at) {
  double value = 0.0;
  for (auto c = coefficients.rbegin(); c != coefficients.rend(); ++c) value = value * at + *c;
  return value;
}

std::string coefficients_text(const std::vector<double>& coefficients) {
  std::string text;
  for (const double c : coefficients) {
    char number[32];
    std::snprintf(number, sizeof number, "%.9g", c);
    text += (text.empty() ? "" : " ") + std::string(number);
  }
  return text;
}

// x from the calibration, or empty when the calibration does not increase over every channel.
std::vector<double> calibrated_x(const Spectrum& spectrum) {
  std::vector<double> x;
  x.reserve(spectrum.channels.size());
  for (const double channel : spectrum.channels) {
    const double value = polynomial(spectrum.calibration, channel);
    if (!std::isfinite(value) || (!x.empty() && !(value > x.back()))) return {};
    x.push_back(value);
  }
  return x;
}

// The length of the well-formed UTF-8 sequence at @p at, or 0 (a stray byte, a truncated or
// overlong sequence, a surrogate, beyond U+10FFFF).
std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = byte(at + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

// @p text with every byte that is not part of well-formed UTF-8 written as "\xNN": the
// descriptive fields of old or damaged files are in any code page, and JSON and Python take text
// only as UTF-8.
std::string as_utf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_length(text, at);
    if (length > 0) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[at++]));
    out += escape;
  }
  return out;
}

void make_text_utf8(Spectrum& spectrum) {
  std::map<std::string, std::string> metadata;
  for (const auto& [key, value] : spectrum.metadata) metadata[as_utf8(key)] = as_utf8(value);
  spectrum.metadata = std::move(metadata);
  spectrum.x_unit = as_utf8(spectrum.x_unit);
  spectrum.format = as_utf8(spectrum.format);
}

}  // namespace

void finish(Spectrum& spectrum, const std::string& source) {
  if (spectrum.counts.empty()) fail(source, "the spectrum has no channels");
  check_counts(spectrum, source);
  make_text_utf8(spectrum);
  if (spectrum.channels.empty()) {
    spectrum.channels.resize(spectrum.counts.size());
    for (std::size_t i = 0; i < spectrum.channels.size(); ++i) {
      spectrum.channels[i] = static_cast<double>(i);
    }
  }
  // Trailing zero terms say nothing; formats differ in how many they write.
  while (spectrum.calibration.size() > 2 && spectrum.calibration.back() == 0.0) {
    spectrum.calibration.pop_back();
  }
  if (!spectrum.x.empty() && spectrum.x.front() != spectrum.x.back()) return;  // the reader's x
  if (!spectrum.x.empty()) {
    // A file without a calibration of its own (a Canberra MCA file's coefficients all 0) gives
    // every channel the same x.
    spectrum.metadata["warning"] = "every x the file gives is " +
                                   coefficients_text({spectrum.x.front()}) +
                                   ": x are channel numbers";
    spectrum.x.clear();
  }
  if (!spectrum.calibration.empty()) {
    spectrum.x = calibrated_x(spectrum);
    if (spectrum.x.empty()) {
      spectrum.metadata["warning"] = "the calibration " + coefficients_text(spectrum.calibration) +
                                     " does not increase over the channels: x are channel numbers";
      spectrum.metadata["file calibration"] = coefficients_text(spectrum.calibration);
      spectrum.calibration.clear();
    }
  }
  if (spectrum.x.empty()) {
    spectrum.x = spectrum.channels;
    spectrum.x_unit = "channel";
  }
}

// Largest difference, relative to the largest |x|, between the x a reader gives and the
// polynomial found through three of them, for that polynomial to be the file's calibration: a few
// rounding errors of the reader's own evaluation.
constexpr double kCalibrationAgreement = 1e-12;

// Through the first, middle and last channel by divided differences, then checked at every
// channel.
std::vector<double> calibration_through(const std::vector<double>& ch,
                                        const std::vector<double>& x) {
  const std::size_t n = x.size();
  if (n < 3 || ch.size() != n) return {};
  const std::size_t f = 0, m = n / 2, l = n - 1;
  if (!(x[l] > x[f])) return {};  // no calibration gives every channel the same x
  const double first_slope = (x[m] - x[f]) / (ch[m] - ch[f]);
  const double second_slope = (x[l] - x[m]) / (ch[l] - ch[m]);
  const double c2 = (second_slope - first_slope) / (ch[l] - ch[f]);
  const double c1 = first_slope - c2 * (ch[m] + ch[f]);
  const double c0 = x[f] - ch[f] * (c1 + c2 * ch[f]);
  std::vector<double> calibration{c0, c1, c2};
  double largest = 0.0;
  for (const double value : x) largest = std::max(largest, std::fabs(value));
  for (std::size_t i = 0; i < n; ++i) {
    if (!(std::fabs(polynomial(calibration, ch[i]) - x[i]) <= kCalibrationAgreement * largest)) {
      return {};
    }
  }
  return calibration;  // finish() drops a zero quadratic term, as for every format
}

std::string iso_time(int year, int month, int day, int hour, int minute, double second) {
  constexpr int kFirstYear = 1900, kLastYear = 2200;
  if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || !(second >= 0.0 && second < 61.0)) {
    return "";
  }
  char text[40];
  const int whole = static_cast<int>(second);
  const int millis = static_cast<int>(std::lround((second - whole) * 1000.0));
  if (millis > 0 && millis < 1000) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", year, month, day, hour,
                  minute, whole, millis);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hour,
                  minute, whole);
  }
  return text;
}

std::string month_day_year_time(const std::string& text) {
  int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &month, &day, &year, &hour, &minute,
                  &second) != 6) {
    return "";
  }
  constexpr int kCenturyPivot = 70;
  if (year >= 0 && year < 100) year += year < kCenturyPivot ? 2000 : 1900;
  return iso_time(year, month, day, hour, minute, second);
}

std::vector<std::string> words_of(std::string_view line) {
  std::vector<std::string> words;
  for_each_word(line, [&](std::string_view word) { words.emplace_back(word); });
  return words;
}

double number_or_nan(const std::string& text) {
  const std::optional<double> value = parse_number(text);
  return value ? *value : std::numeric_limits<double>::quiet_NaN();
}

double number_in(std::string_view word) {
  double value = 0.0;
  const char* const end = word.data() + word.size();
  const auto [stop, error] = std::from_chars(word.data(), end, value);
  if (error == std::errc() && stop == end && std::isfinite(value)) return value;
  return number_or_nan(std::string(word));  // what from_chars does not take as strtod does
}

std::uint16_t le_u16(std::string_view bytes, std::size_t offset) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t le_u32(std::string_view bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(le_u16(bytes, offset)) |
         (static_cast<std::uint32_t>(le_u16(bytes, offset + 2)) << 16);
}

float le_f32(std::string_view bytes, std::size_t offset) {
  const std::uint32_t bits = le_u32(bytes, offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace detail

}  // namespace vesk::io
