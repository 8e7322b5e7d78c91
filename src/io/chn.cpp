// ORTEC CHN: a 32-byte header (times in ticks of 20 ms, start date and time as text), the counts as
// 32-bit integers, and a trailer with the energy calibration and two descriptions.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "readers.h"

namespace vesk::io::detail {

namespace {

constexpr std::size_t kHeaderBytes = 32;
constexpr std::size_t kCountBytes = 4;
constexpr double kTicksPerSecond = 50.0;  // ticks of 20 ms
constexpr std::int16_t kChnMagic = -1;
// Trailer types: -101 has offset and slope, -102 a quadratic term as well.
constexpr std::int16_t kLinearTrailer = -101;
constexpr std::int16_t kQuadraticTrailer = -102;
constexpr std::size_t kDetectorDescriptionAt = 256;
constexpr std::size_t kSampleDescriptionAt = 320;
constexpr std::size_t kDescriptionBytes = 63;

std::int16_t le_i16(std::string_view bytes, std::size_t offset) {
  return static_cast<std::int16_t>(le_u16(bytes, offset));
}

int digits(std::string_view text) {
  int value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// Date "DDMMMYY" with a century flag ('1': 2000s), time "HHMM", seconds "SS".
std::string start_time_of(std::string_view header) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  const std::string_view date = header.substr(16, 8);
  std::string month_name(date.substr(2, 3));
  for (char& c : month_name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  int month = 0;
  for (int m = 0; m < 12; ++m) {
    if (month_name == kMonths[m]) month = m + 1;
  }
  const int year = digits(date.substr(5, 2));
  if (month == 0 || year < 0) return "";
  const int century = date[7] == '1' ? 2000 : 1900;
  return iso_time(century + year, month, digits(date.substr(0, 2)), digits(header.substr(24, 2)),
                  digits(header.substr(26, 2)), digits(header.substr(6, 2)));
}

std::string description_at(std::string_view trailer, std::size_t at) {
  if (trailer.size() < at + 1 + kDescriptionBytes) return "";
  const std::size_t length =
      std::min<std::size_t>(static_cast<unsigned char>(trailer[at]), kDescriptionBytes);
  std::string text(trailer.substr(at + 1, length));
  text = text.substr(0, text.find('\0'));
  for (const char c : text) {
    if (!std::isprint(static_cast<unsigned char>(c))) return "";
  }
  return text;
}

// The shortest decimal that reads back as the same float: the number the acquisition software
// wrote (0.718993, not 0.71899300813674927), as the other formats of the same measurement hold it.
double shortest_decimal(float value) {
  constexpr int kFloatDigits = 9;  // always enough to read back a float
  char text[32];
  for (int digits = 1; digits < kFloatDigits; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value) return std::strtod(text, nullptr);
  }
  return value;
}

void read_trailer(Spectrum& spectrum, std::string_view trailer) {
  constexpr std::size_t kCalibrationBytes = 16;
  if (trailer.size() < kCalibrationBytes) return;
  const std::int16_t type = le_i16(trailer, 0);
  if (type != kLinearTrailer && type != kQuadraticTrailer) return;
  spectrum.calibration = {shortest_decimal(le_f32(trailer, 4)),
                          shortest_decimal(le_f32(trailer, 8))};
  if (type == kQuadraticTrailer) {
    spectrum.calibration.push_back(shortest_decimal(le_f32(trailer, 12)));
  }
  bool all_zero = true;
  for (const double c : spectrum.calibration) all_zero = all_zero && c == 0.0;
  if (all_zero) spectrum.calibration.clear();
  spectrum.x_unit = "keV";
  if (const std::string detector = description_at(trailer, kDetectorDescriptionAt);
      !detector.empty()) {
    spectrum.metadata["detector"] = detector;
  }
  if (const std::string sample = description_at(trailer, kSampleDescriptionAt); !sample.empty()) {
    spectrum.metadata["sample"] = sample;
  }
}

}  // namespace

bool looks_like_chn(std::string_view bytes) {
  return bytes.size() >= kHeaderBytes && le_i16(bytes, 0) == kChnMagic;
}

std::vector<Spectrum> read_chn(const std::string& bytes, const std::string& source) {
  const std::size_t channel_count = le_u16(bytes, 30);
  const std::size_t first_channel = le_u16(bytes, 28);
  if (channel_count == 0) fail(source, "the CHN header announces no channels");
  const std::size_t data_end = kHeaderBytes + channel_count * kCountBytes;
  if (bytes.size() < data_end) {
    fail(source, "truncated: the CHN header announces " + std::to_string(channel_count) +
                     " channels (" + std::to_string(data_end) + " bytes), the file has " +
                     std::to_string(bytes.size()) + " bytes");
  }
  Spectrum spectrum;
  spectrum.format = "ORTEC CHN";
  spectrum.is_counts = true;
  spectrum.real_time = le_u32(bytes, 8) / kTicksPerSecond;
  spectrum.live_time = le_u32(bytes, 12) / kTicksPerSecond;
  spectrum.start_time = start_time_of(bytes);
  spectrum.metadata["mca"] = std::to_string(le_u16(bytes, 2));
  spectrum.metadata["segment"] = std::to_string(le_u16(bytes, 4));
  spectrum.counts.resize(channel_count);
  spectrum.channels.resize(channel_count);
  for (std::size_t i = 0; i < channel_count; ++i) {
    spectrum.counts[i] = le_u32(bytes, kHeaderBytes + i * kCountBytes);
    spectrum.channels[i] = static_cast<double>(first_channel + i);
  }
  read_trailer(spectrum, std::string_view(bytes).substr(data_end));
  std::vector<Spectrum> spectra;
  spectra.push_back(std::move(spectrum));
  return spectra;
}

}  // namespace vesk::io::detail
