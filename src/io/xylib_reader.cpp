// The formats of xylib (Canberra CNF and MCA, PANalytical xrdml, Bruker raw and UXD, ...), read
// by xylib itself. Each block of a file is one spectrum: x from its first column, counts from its
// second, the metadata of file and block, times and calibration where xylib reports them.
//
// xylib keeps format tables that are only read, but also function-local statics of Boost (the
// object ids of Spirit grammars) and a cache singleton; the calls used here avoid the cache, and a
// mutex keeps any two of them from running at once, so that reading stays safe in every thread.
#include <xylib/xylib.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>

#include "readers.h"

namespace vesk::io::detail {

namespace {

std::mutex& xylib_mutex() {
  static std::mutex mutex;
  return mutex;
}

// xylib's formats in the order they are tried: those whose checks are distinctive (magic bytes,
// a root element) first; then those whose checks accept much, tried only where the file's
// extension names them. Not tried at all: "text" and "csv" (text columns are read here) and
// "bruker_spc", whose check takes ORTEC .Spc files (a different format) for its own.
constexpr const char* kDistinctive[] = {"canberra_cnf", "canberra_mca", "bruker_raw",  "uxd",
                                        "xrdml",        "philips_rd",   "philips_udf", "vamas",
                                        "pdcif",        "rigaku_dat",   "cpi",         "specsxy",
                                        "xfit_xdd",     "spectra",      "xsyg"};
constexpr const char* kByExtension[] = {"spe", "dbws", "riet7", "chiplot"};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool has_extension(const xylib::FormatInfo& format, const std::string& path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string extension = lower(path.substr(dot + 1));
  std::istringstream extensions(format.exts);
  std::string candidate;
  while (extensions >> candidate) {
    if (candidate == extension) return true;
  }
  return false;
}

bool passes_check(const xylib::FormatInfo& format, const std::string& bytes) {
  std::istringstream input(bytes);
  try {
    return xylib::check_format(&format, input, nullptr);
  } catch (const std::exception&) {
    return false;
  }
}

std::map<std::string, std::string> metadata_of(const xylib::MetaData& meta) {
  std::map<std::string, std::string> values;
  for (std::size_t i = 0; i < meta.size(); ++i) {
    const std::string& key = meta.get_key(i);
    values[key] = meta.get(key);
  }
  return values;
}

double seconds_of(const std::map<std::string, std::string>& meta, const char* key) {
  const auto found = meta.find(key);
  return found == meta.end() ? std::nan("") : number_or_nan(found->second);
}

// Canberra: "Thu, 2011-09-08 08:04:38"; Bruker raw: MEASURE_DATE "MM/DD/YY", MEASURE_TIME.
std::string start_time_of(const std::map<std::string, std::string>& meta) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (const auto found = meta.find("date and time"); found != meta.end()) {
    const std::size_t comma = found->second.find(',');
    const std::string text = found->second.substr(comma == std::string::npos ? 0 : comma + 1);
    if (std::sscanf(text.c_str(), " %d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute,
                    &second) == 6) {
      return iso_time(year, month, day, hour, minute, second);
    }
  }
  const auto date = meta.find("MEASURE_DATE");
  const auto time = meta.find("MEASURE_TIME");
  if (date != meta.end() && time != meta.end()) {
    return month_day_year_time(date->second + " " + time->second);
  }
  return "";
}

std::vector<double> calibration_of(const std::map<std::string, std::string>& meta) {
  std::vector<double> terms;
  for (int k = 0;; ++k) {
    const auto found = meta.find("energy calib " + std::to_string(k));
    if (found == meta.end()) return terms;
    terms.push_back(number_or_nan(found->second));
  }
}

Spectrum spectrum_of(const xylib::Block& block, const std::map<std::string, std::string>& file_meta,
                     const std::string& format, const std::string& source) {
  if (block.get_column_count() < 2) fail(source, format + ": a block without two columns");
  const int points = block.get_point_count();
  if (points <= 0 || static_cast<std::size_t>(points) > kMaxChannels) {
    fail(source, format + ": a block of " + std::to_string(points) + " points");
  }
  Spectrum spectrum;
  spectrum.format = format;
  spectrum.metadata = file_meta;
  for (const auto& [key, value] : metadata_of(block.meta)) spectrum.metadata[key] = value;
  if (!block.get_name().empty()) spectrum.metadata["block"] = block.get_name();
  const xylib::Column& x = block.get_column(1);
  const xylib::Column& y = block.get_column(2);
  spectrum.x.resize(static_cast<std::size_t>(points));
  spectrum.counts.resize(static_cast<std::size_t>(points));
  for (int i = 0; i < points; ++i) {
    spectrum.x[static_cast<std::size_t>(i)] = x.get_value(i);
    spectrum.counts[static_cast<std::size_t>(i)] = y.get_value(i);
  }
  const bool gamma = format.rfind("Canberra", 0) == 0;
  spectrum.is_counts = gamma;
  spectrum.x_unit = gamma ? "keV" : "deg";
  spectrum.live_time = seconds_of(spectrum.metadata, "live time (s)");
  spectrum.real_time = seconds_of(spectrum.metadata, "real time (s)");
  spectrum.start_time = start_time_of(spectrum.metadata);
  spectrum.calibration = calibration_of(spectrum.metadata);
  if (!spectrum.calibration.empty()) {
    // xylib numbers Canberra channels from 1: its first point is channel 1 of the calibration.
    spectrum.channels.resize(spectrum.counts.size());
    for (std::size_t i = 0; i < spectrum.channels.size(); ++i) spectrum.channels[i] = i + 1.0;
  }
  for (const double value : spectrum.x) {
    if (!std::isfinite(value)) fail(source, format + ": an x that is not a number");
  }
  return spectrum;
}

}  // namespace

std::string xylib_format_of(const std::string& bytes, const std::string& path) {
  const std::lock_guard<std::mutex> lock(xylib_mutex());
  for (const char* name : kDistinctive) {
    const auto* format = static_cast<const xylib::FormatInfo*>(xylib_get_format_by_name(name));
    if (format != nullptr && passes_check(*format, bytes)) return name;
  }
  for (const char* name : kByExtension) {
    const auto* format = static_cast<const xylib::FormatInfo*>(xylib_get_format_by_name(name));
    if (format != nullptr && has_extension(*format, path) && passes_check(*format, bytes)) {
      return name;
    }
  }
  return "";
}

std::vector<Spectrum> read_xylib(const std::string& bytes, const std::string& source,
                                 const std::string& format) {
  std::vector<Spectrum> spectra;
  const std::lock_guard<std::mutex> lock(xylib_mutex());
  try {
    const std::unique_ptr<xylib::DataSet> data(xylib::load_string(bytes, format));
    const std::string name = std::string(data->fi->desc);
    const std::map<std::string, std::string> file_meta = metadata_of(data->meta);
    for (int b = 0; b < data->get_block_count(); ++b) {
      spectra.push_back(spectrum_of(*data->get_block(b), file_meta, name, source));
    }
  } catch (const FormatError&) {
    throw;
  } catch (const std::exception& error) {
    fail(source, std::string(format) + ": " + error.what());
  }
  return spectra;
}

}  // namespace vesk::io::detail
