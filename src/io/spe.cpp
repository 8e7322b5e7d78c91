// IAEA/ORTEC SPE text: sections that start with a line "$NAME:". The counts follow "$DATA:" and
// a line "FIRST LAST" of channel numbers; times, date and calibration have sections of their own.
#include <cmath>
#include <map>

#include "readers.h"

namespace vesk::io::detail {

namespace {

using Sections = std::map<std::string, std::vector<std::string_view>>;

std::string_view skip_bom(std::string_view bytes) {
  return bytes.substr(0, 3) == "\xEF\xBB\xBF" ? bytes.substr(3) : bytes;
}

Sections sections_of(std::string_view bytes) {
  Sections sections;
  std::vector<std::string_view>* current = nullptr;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    start = end + 1;
    if (line.size() >= 2 && line.front() == '$' && line.back() == ':') {
      current = &sections[std::string(line.substr(1, line.size() - 2))];
    } else if (current != nullptr) {
      current->push_back(line);
    }
  }
  return sections;
}

std::string joined(const std::vector<std::string_view>& lines) {
  std::string text;
  for (const std::string_view line : lines) {
    if (line.empty()) continue;
    text += (text.empty() ? "" : "\n") + std::string(line);
  }
  return text;
}

std::vector<double> numbers_of(const std::string& source, std::string_view line,
                               const char* section) {
  std::vector<double> numbers;
  for (const std::string& word : words_of(line)) {
    const double value = number_or_nan(word);
    if (std::isnan(value)) break;  // a unit ("keV") may close the line
    numbers.push_back(value);
  }
  if (numbers.empty()) fail(source, std::string("$") + section + ": expected numbers");
  return numbers;
}

void read_counts(Spectrum& spectrum, const Sections& sections, const std::string& source) {
  const auto data = sections.find("DATA");
  if (data == sections.end() || data->second.empty()) fail(source, "no $DATA: section");
  const std::vector<double> range = numbers_of(source, data->second.front(), "DATA");
  if (range.size() != 2 || range[0] != std::floor(range[0]) || range[1] < range[0] ||
      range[1] - range[0] >= static_cast<double>(kMaxChannels)) {
    fail(source, "$DATA: the first line must be the first and last channel, got '" +
                     std::string(data->second.front().substr(0, 40)) + "'");
  }
  const auto channel_count = static_cast<std::size_t>(range[1] - range[0]) + 1;
  spectrum.counts.reserve(std::min(channel_count, data->second.size() * 16));
  for (std::size_t i = 1; i < data->second.size(); ++i) {
    for_each_word(data->second[i], [&](std::string_view word) {
      const double value = number_in(word);
      if (std::isnan(value)) {
        fail(source, "$DATA: expected a count, got '" + std::string(word.substr(0, 40)) + "'");
      }
      spectrum.counts.push_back(value);
    });
  }
  if (spectrum.counts.size() != channel_count) {
    fail(source, "$DATA: channels " + std::to_string(static_cast<long long>(range[0])) + " to " +
                     std::to_string(static_cast<long long>(range[1])) + " announced, " +
                     std::to_string(spectrum.counts.size()) + " counts found");
  }
  spectrum.channels.resize(channel_count);
  for (std::size_t i = 0; i < channel_count; ++i) spectrum.channels[i] = range[0] + i;
}

// $MCA_CAL: a line with the number of coefficients, then the coefficients and a unit; else
// $ENER_FIT: offset and slope.
void read_calibration(Spectrum& spectrum, const Sections& sections, const std::string& source) {
  std::vector<double> coefficients;
  std::string unit = "keV";
  const auto mca = sections.find("MCA_CAL");
  const auto fit = sections.find("ENER_FIT");
  if (mca != sections.end() && mca->second.size() >= 2) {
    const std::vector<double> count = numbers_of(source, mca->second[0], "MCA_CAL");
    coefficients = numbers_of(source, mca->second[1], "MCA_CAL");
    if (count.front() >= 1 && count.front() < coefficients.size()) {
      coefficients.resize(static_cast<std::size_t>(count.front()));
    }
    const std::vector<std::string> words = words_of(mca->second[1]);
    if (words.size() > coefficients.size() && std::isnan(number_or_nan(words.back()))) {
      unit = words.back();
    }
  } else if (fit != sections.end() && !fit->second.empty()) {
    coefficients = numbers_of(source, fit->second[0], "ENER_FIT");
  }
  if (coefficients.empty()) return;
  spectrum.calibration = coefficients;
  spectrum.x_unit = unit;
}

}  // namespace

bool looks_like_spe(std::string_view bytes) {
  const std::string_view start = skip_bom(bytes).substr(0, 64);
  return start.substr(0, 1) == "$" && start.find(':') != std::string_view::npos &&
         bytes.find("$DATA:") != std::string_view::npos;
}

std::vector<Spectrum> read_spe(const std::string& bytes, const std::string& source) {
  const Sections sections = sections_of(skip_bom(bytes));
  Spectrum spectrum;
  spectrum.format = "IAEA SPE";
  spectrum.is_counts = true;
  read_counts(spectrum, sections, source);
  read_calibration(spectrum, sections, source);
  if (const auto time = sections.find("MEAS_TIM");
      time != sections.end() && !time->second.empty()) {
    const std::vector<double> times = numbers_of(source, time->second.front(), "MEAS_TIM");
    spectrum.live_time = times[0];
    if (times.size() > 1) spectrum.real_time = times[1];
  }
  if (const auto date = sections.find("DATE_MEA"); date != sections.end()) {
    spectrum.start_time =
        date->second.empty() ? "" : month_day_year_time(std::string(date->second.front()));
    if (spectrum.start_time.empty() && !date->second.empty()) {
      spectrum.metadata["date"] = joined(date->second);
    }
  }
  static const char* const kDescriptive[][2] = {
      {"SPEC_ID", "sample"}, {"SPEC_REM", "remark"}, {"PRESETS", "presets"}, {"ROI", "roi"}};
  for (const auto& [section, key] : kDescriptive) {
    const auto found = sections.find(section);
    if (found != sections.end() && !joined(found->second).empty()) {
      spectrum.metadata[key] = joined(found->second);
    }
  }
  std::vector<Spectrum> spectra;
  spectra.push_back(std::move(spectrum));
  return spectra;
}

}  // namespace vesk::io::detail
