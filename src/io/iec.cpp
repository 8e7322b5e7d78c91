// IEC 1455 text: every line starts with the record mark "A004". Line 2 holds live time, real time
// and the number of channels, line 3 the start date and time, line 4 the energy calibration in
// fields of 15 characters; the counts follow in lines "CHANNEL C C C C C".
#include <cmath>

#include "readers.h"

namespace vesk::io::detail {

namespace {

constexpr std::string_view kRecordMark = "A004";
constexpr std::size_t kCalibrationField = 15;
constexpr std::size_t kCalibrationTerms = 4;
constexpr std::size_t kFirstDataLine = 5;

std::vector<std::string_view> records_of(std::string_view bytes) {
  std::vector<std::string_view> records;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, kRecordMark.size()) == kRecordMark) {
      records.push_back(line.substr(kRecordMark.size()));
    } else if (!line.empty()) {
      break;  // the records end here
    }
  }
  return records;
}

std::vector<double> calibration_of(std::string_view record) {
  std::vector<double> terms;
  for (std::size_t i = 0; i < kCalibrationTerms; ++i) {
    const std::size_t at = i * kCalibrationField;
    const std::vector<std::string> words = at < record.size()
                                               ? words_of(record.substr(at, kCalibrationField))
                                               : std::vector<std::string>{};
    const double value = words.size() == 1 ? number_or_nan(words.front()) : std::nan("");
    if (std::isnan(value)) return {};
    terms.push_back(value);
  }
  bool all_zero = true;
  for (const double c : terms) all_zero = all_zero && c == 0.0;
  return all_zero ? std::vector<double>{} : terms;
}

bool is_integer_word(const std::string& word) {
  return !word.empty() && word.find_first_not_of("0123456789") == std::string::npos;
}

// The index of the first record of counts: "0 C ..." with whole numbers only.
std::size_t first_count_record(const std::vector<std::string_view>& records) {
  for (std::size_t i = kFirstDataLine; i < records.size(); ++i) {
    const std::vector<std::string> words = words_of(records[i]);
    if (words.size() < 2 || words.front() != "0") continue;
    bool integers = true;
    for (const std::string& word : words) integers = integers && is_integer_word(word);
    if (integers) return i;
  }
  return records.size();
}

}  // namespace

bool looks_like_iec(std::string_view bytes) {
  return bytes.substr(0, kRecordMark.size()) == kRecordMark;
}

std::vector<Spectrum> read_iec(const std::string& bytes, const std::string& source) {
  const std::vector<std::string_view> records = records_of(bytes);
  if (records.size() < kFirstDataLine) fail(source, "IEC 1455: fewer than five records");
  const std::vector<std::string> times = words_of(records[1]);
  if (times.size() < 3) fail(source, "IEC 1455: record 2 must hold live time, real time, channels");
  const double channels = number_or_nan(times[2]);
  if (!(channels >= 1 && channels <= static_cast<double>(kMaxChannels)) ||
      channels != std::floor(channels)) {
    fail(source, "IEC 1455: bad number of channels '" + times[2].substr(0, 40) + "'");
  }
  const auto channel_count = static_cast<std::size_t>(channels);
  Spectrum spectrum;
  spectrum.format = "IEC 1455";
  spectrum.is_counts = true;
  spectrum.live_time = number_or_nan(times[0]);
  spectrum.real_time = number_or_nan(times[1]);
  spectrum.start_time = month_day_year_time(std::string(records[2]));  // MM/DD/YY
  spectrum.calibration = calibration_of(records[3]);
  if (!spectrum.calibration.empty()) spectrum.x_unit = "keV";
  const std::vector<std::string> header = words_of(records[0]);
  if (!header.empty()) spectrum.metadata["header"] = std::string(records[0]);
  spectrum.counts.reserve(std::min(channel_count, records.size() * 8));
  for (std::size_t i = first_count_record(records); i < records.size(); ++i) {
    const std::vector<std::string> words = words_of(records[i]);
    if (words.empty()) continue;
    if (number_or_nan(words.front()) != static_cast<double>(spectrum.counts.size())) {
      if (spectrum.counts.size() >= channel_count) break;
      fail(source,
           "IEC 1455: counts out of order at channel " + std::to_string(spectrum.counts.size()));
    }
    for (std::size_t w = 1; w < words.size() && spectrum.counts.size() < channel_count; ++w) {
      const double value = number_or_nan(words[w]);
      if (std::isnan(value))
        fail(source, "IEC 1455: expected a count, got '" + words[w].substr(0, 40) + "'");
      spectrum.counts.push_back(value);
    }
  }
  if (spectrum.counts.size() != channel_count) {
    fail(source, "IEC 1455: " + std::to_string(channel_count) + " channels announced, " +
                     std::to_string(spectrum.counts.size()) + " counts found");
  }
  std::vector<Spectrum> spectra;
  spectra.push_back(std::move(spectrum));
  return spectra;
}

}  // namespace vesk::io::detail
