// info and convert: what an instrument file holds, and its spectra as plain CSV or JSON that any
// other tool reads.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

#include "commands.h"
#include "data_table.h"
#include "vesk/io/Spectrum.h"

namespace vesk::tools {

namespace {

constexpr double kPercent = 100.0;

nlohmann::json number(double value) {
  return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
}

double total_of(const io::Spectrum& spectrum) {
  double total = 0.0;
  for (const double count : spectrum.counts) total += count;
  return total;
}

// Dead time in per cent of the real time, NaN without both times.
double dead_time_percent(const io::Spectrum& spectrum) {
  if (!(spectrum.real_time > 0.0) || !std::isfinite(spectrum.live_time)) return std::nan("");
  return kPercent * (spectrum.real_time - spectrum.live_time) / spectrum.real_time;
}

std::string calibration_text(const std::vector<double>& calibration) {
  if (calibration.empty()) return "none";
  std::string text = "x = " + exact_text(calibration[0]);
  for (std::size_t k = 1; k < calibration.size(); ++k) {
    text += " + " + exact_text(calibration[k]) + " ch" + (k > 1 ? "^" + std::to_string(k) : "");
  }
  return text;
}

std::string seconds_text(double seconds) {
  return std::isfinite(seconds) ? exact_text(seconds) + " s" : "unknown";
}

// Metadata values on one line: line ends become "; ".
std::string one_line(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c == '\r') continue;
    line += c == '\n' ? std::string("; ") : std::string(1, c);
  }
  return line;
}

// Several spectra of one file are named FILE#1, FILE#2, ...
std::string name_of(const std::string& file, std::size_t index, std::size_t count) {
  return count == 1 ? file : file + "#" + std::to_string(index + 1);
}

void print_info_table(const std::string& name, const io::Spectrum& s, std::ostream& out) {
  char range[96];
  std::snprintf(range, sizeof range, "%.6g to %.6g %s", s.x.front(), s.x.back(), s.x_unit.c_str());
  const double dead = dead_time_percent(s);
  char dead_text[32];
  std::snprintf(dead_text, sizeof dead_text, "%.3f %%", dead);
  out << name << "\n"
      << "  format        " << s.format << "\n"
      << "  channels      " << s.counts.size() << " (" << exact_text(s.channels.front()) << " to "
      << exact_text(s.channels.back()) << ")\n"
      << "  x             " << range << "\n"
      << "  calibration   " << calibration_text(s.calibration) << "\n"
      << "  live time     " << seconds_text(s.live_time) << "\n"
      << "  real time     " << seconds_text(s.real_time) << "\n"
      << "  dead time     " << (std::isfinite(dead) ? dead_text : "unknown") << "\n"
      << "  start time    " << (s.start_time.empty() ? "unknown" : s.start_time) << "\n"
      << "  total counts  " << exact_text(total_of(s)) << "\n";
  for (const auto& [key, value] : s.metadata) out << "  " << key << ": " << one_line(value) << "\n";
}

nlohmann::json info_json(const std::string& name, const io::Spectrum& s) {
  return {
      {"file", name},
      {"format", s.format},
      {"channels", s.counts.size()},
      {"first_channel", s.channels.front()},
      {"x_min", s.x.front()},
      {"x_max", s.x.back()},
      {"x_unit", s.x_unit},
      {"calibration",
       s.calibration.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.calibration)},
      {"live_time", number(s.live_time)},
      {"real_time", number(s.real_time)},
      {"dead_time_percent", number(dead_time_percent(s))},
      {"start_time", s.start_time.empty() ? nlohmann::json(nullptr) : nlohmann::json(s.start_time)},
      {"total_counts", total_of(s)},
      {"is_counts", s.is_counts},
      {"metadata", s.metadata}};
}

void print_csv(const std::string& name, const io::Spectrum& s, std::ostream& out) {
  out << "# file: " << one_line(name) << "\n"
      << "# format: " << s.format << "\n"
      << "# x_unit: " << s.x_unit << "\n"
      << "# calibration: " << calibration_text(s.calibration) << "\n"
      << "# live_time_s: " << (std::isfinite(s.live_time) ? exact_text(s.live_time) : "nan") << "\n"
      << "# real_time_s: " << (std::isfinite(s.real_time) ? exact_text(s.real_time) : "nan") << "\n"
      << "# start_time: " << s.start_time << "\n";
  for (const auto& [key, value] : s.metadata) out << "# " << key << ": " << one_line(value) << "\n";
  out << "channel,x,counts\n";
  for (std::size_t i = 0; i < s.counts.size(); ++i) {
    out << exact_text(s.channels[i]) << "," << exact_text(s.x[i]) << "," << exact_text(s.counts[i])
        << "\n";
  }
}

nlohmann::json spectrum_json(const std::string& name, const io::Spectrum& s) {
  nlohmann::json json = info_json(name, s);
  json["channel"] = s.channels;
  json["x"] = s.x;
  json["counts"] = s.counts;
  return json;
}

// Reads each file and hands its spectra to @p each; a file that cannot be read is reported and
// skipped.
template <typename Each>
int for_each_spectrum(const std::vector<std::string>& inputs, std::ostream& err, Each each) {
  int status = kSuccess;
  for (const std::string& file : inputs) {
    std::vector<io::Spectrum> spectra;
    try {
      spectra = io::read_spectra(file);
    } catch (const io::ReadError& error) {
      err << error.what() << "\n";
      status = kBadInput;
      continue;
    }
    for (std::size_t i = 0; i < spectra.size(); ++i) {
      each(name_of(file, i, spectra.size()), spectra[i]);
    }
  }
  return status;
}

// Every spectrum of the files as JSON (one value for one spectrum, an array for several) or as
// text blocks separated by blank lines.
int report(const std::vector<std::string>& inputs, bool json, std::ostream& out, std::ostream& err,
           nlohmann::json (*to_json)(const std::string&, const io::Spectrum&),
           void (*print)(const std::string&, const io::Spectrum&, std::ostream&)) {
  nlohmann::json items = nlohmann::json::array();
  bool first = true;
  const int status =
      for_each_spectrum(inputs, err, [&](const std::string& name, const io::Spectrum& s) {
        if (json) {
          items.push_back(to_json(name, s));
          return;
        }
        if (!first) out << "\n";
        first = false;
        print(name, s, out);
      });
  if (json && !items.empty()) out << (items.size() == 1 ? items.front() : items).dump(2) << "\n";
  return status;
}

}  // namespace

int run_info(const InfoOptions& options, std::ostream& out, std::ostream& err) {
  return report(options.inputs, options.format == "json", out, err, info_json, print_info_table);
}

int run_convert(const ConvertOptions& options, std::ostream& out, std::ostream& err) {
  return report(options.inputs, options.to == "json", out, err, spectrum_json, print_csv);
}

}  // namespace vesk::tools
