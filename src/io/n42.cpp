// ANSI N42.42 XML, 2006 and 2011: every Spectrum element is one spectrum. Its counts are in
// ChannelData (possibly "CountedZeroes": a 0 is followed by the number of zeros it stands for),
// its times in ISO 8601 durations beside it or in its measurement, its energy calibration referred
// to by id (2011) or inside it (2006).
//
// pugixml expands no entities but the five predefined ones and reads nothing from elsewhere; a
// document type declaration, where entities would be declared, is refused outright.
#include <pugixml.hpp>

#include <cmath>
#include <cstring>
#include <iterator>
#include <map>

#include "readers.h"

namespace vesk::io::detail {

namespace {

// The spectra of one document; more are not a measurement but an attack on memory.
constexpr std::size_t kMaxSpectra = 4096;

std::string_view local_name(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const std::size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The element children of each parent by local name, in document order, indexed once: every
// spectrum looks its times and calibration up in the same measurement and document, whose
// children may be thousands of spectra or measurements (a search of them per spectrum would take
// time growing with the square of their number).
class Children {
 public:
  using Named = std::multimap<std::string_view, pugi::xml_node>;

  const Named& of(const pugi::xml_node& parent) {
    const auto [entry, added] = index_.try_emplace(parent);
    if (added) {
      for (const pugi::xml_node child : parent.children()) {
        if (child.type() == pugi::node_element) entry->second.emplace(local_name(child), child);
      }
    }
    return entry->second;
  }

  // The first child element of @p node named @p name, or an empty node.
  pugi::xml_node named(const pugi::xml_node& node, std::string_view name) {
    const Named& children = of(node);
    const auto found = children.lower_bound(name);  // the first of equal names
    return found == children.end() || found->first != name ? pugi::xml_node() : found->second;
  }

  // The first of @p names found as a child of @p node or of one of its ancestors.
  pugi::xml_node nearest(pugi::xml_node node, std::initializer_list<std::string_view> names) {
    for (; node; node = node.parent()) {
      for (const std::string_view name : names) {
        if (const pugi::xml_node found = named(node, name)) return found;
      }
    }
    return {};
  }

 private:
  std::map<pugi::xml_node, Named> index_;
};

pugi::xml_node child_named(const pugi::xml_node& node, std::string_view name) {
  for (const pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element && local_name(child) == name) return child;
  }
  return {};
}

// Deeper documents are no N42 files, and the search below recurses.
constexpr int kMaxDepth = 64;

void collect_spectra(const pugi::xml_node& node, std::vector<pugi::xml_node>& found,
                     const std::string& source, int depth = 0) {
  if (depth > kMaxDepth) fail(source, "N42: elements nested too deeply");
  for (const pugi::xml_node child : node.children()) {
    if (child.type() != pugi::node_element) continue;
    if (local_name(child) == "Spectrum" && child_named(child, "ChannelData")) {
      if (found.size() >= kMaxSpectra) fail(source, "N42: more than 4096 spectra");
      found.push_back(child);
    } else {
      collect_spectra(child, found, source, depth + 1);
    }
  }
}

// "PT841.420S", "PT1H2M3S", "P1DT2H": seconds, or NaN.
double duration_seconds(const char* text) {
  const std::string value = words_of(text).empty() ? "" : words_of(text).front();
  if (value.size() < 3 || value[0] != 'P') return std::nan("");
  double seconds = 0.0;
  bool in_time = false;
  std::size_t position = 1;
  while (position < value.size()) {
    if (value[position] == 'T') {
      in_time = true;
      ++position;
      continue;
    }
    char* end = nullptr;
    const double amount = std::strtod(value.c_str() + position, &end);
    if (end == value.c_str() + position || *end == '\0') return std::nan("");
    const char unit = *end;
    if (unit == 'D' && !in_time) {
      seconds += amount * 86400.0;
    } else if (unit == 'H' && in_time) {
      seconds += amount * 3600.0;
    } else if (unit == 'M' && in_time) {
      seconds += amount * 60.0;
    } else if (unit == 'S' && in_time) {
      seconds += amount;
    } else {
      return std::nan("");
    }
    position = static_cast<std::size_t>(end - value.c_str()) + 1;
  }
  return seconds;
}

// "2013-10-11T10:30:10", with fractions, a zone, or "3:12:28 PM" as some converters write.
std::string start_time_of(const char* text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, consumed = 0;
  double second = 0.0;
  if (std::sscanf(text, " %d-%d-%dT%d:%d:%lf%n", &year, &month, &day, &hour, &minute, &second,
                  &consumed) != 6) {
    return "";
  }
  const std::string rest = words_of(text + consumed).empty() ? "" : words_of(text + consumed)[0];
  if (rest == "PM" && hour < 12) hour += 12;
  if (rest == "AM" && hour == 12) hour = 0;
  return iso_time(year, month, day, hour, minute, second);
}

std::vector<double> numbers_in(const char* text, const std::string& source, const char* what) {
  std::vector<double> numbers;
  const char* position = text;
  for (;;) {
    while (*position != '\0' && std::strchr(" \t\r\n", *position) != nullptr) ++position;
    if (*position == '\0') return numbers;
    char* end = nullptr;
    const double value = std::strtod(position, &end);
    if (end == position || (*end != '\0' && std::strchr(" \t\r\n", *end) == nullptr)) {
      fail(source, std::string("N42: ") + what + ": expected numbers");
    }
    numbers.push_back(value);
    position = end;
  }
}

std::vector<double> channel_data(const pugi::xml_node& data, const std::string& source) {
  std::vector<double> values = numbers_in(data.child_value(), source, "ChannelData");
  std::string compression = data.attribute("compressionCode").value();
  if (compression.empty()) compression = data.attribute("Compression").value();
  if (compression != "CountedZeroes") {
    if (values.size() > kMaxChannels) fail(source, "N42: too many channels");
    return values;
  }
  std::vector<double> counts;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] != 0.0) {
      counts.push_back(values[i]);
      continue;
    }
    if (i + 1 == values.size()) fail(source, "N42: CountedZeroes: a zero without its number");
    const double zeros = values[++i];
    if (!(zeros >= 0.0 && zeros == std::floor(zeros)) ||
        zeros > static_cast<double>(kMaxChannels - counts.size())) {
      fail(source, "N42: CountedZeroes: bad number of zeros");
    }
    counts.insert(counts.end(), static_cast<std::size_t>(zeros), 0.0);
  }
  return counts;
}

std::vector<double> calibration_of(const pugi::xml_node& spectrum,
                                   const pugi::xml_document& document, Children& children,
                                   const std::string& source, std::string& unit) {
  unit = "keV";
  // 2011: an EnergyCalibration element that the spectrum names, or the only one.
  const std::string reference = spectrum.attribute("energyCalibrationReference").value();
  pugi::xml_node calibration;
  const auto [first, last] =
      children.of(document.document_element()).equal_range("EnergyCalibration");
  for (auto candidate = first; candidate != last; ++candidate) {
    if (reference.empty() || reference == candidate->second.attribute("id").value()) {
      calibration = candidate->second;
    }
  }
  const bool only_one = first != last && std::next(first) == last;
  if (calibration && (only_one || !reference.empty())) {
    if (const pugi::xml_node values = child_named(calibration, "CoefficientValues")) {
      return numbers_in(values.child_value(), source, "CoefficientValues");
    }
  }
  // 2006: Calibration Type="Energy" with Equation/Coefficients, in or beside the spectrum.
  for (pugi::xml_node node = spectrum; node; node = node.parent()) {
    const auto [from, to] = children.of(node).equal_range("Calibration");
    for (auto candidate = from; candidate != to; ++candidate) {
      const pugi::xml_node& found = candidate->second;
      if (std::strcmp(found.attribute("Type").value(), "Energy") != 0) continue;
      if (const char* units = found.attribute("EnergyUnits").value(); *units != '\0') {
        unit = units;
      }
      const pugi::xml_node coefficients =
          child_named(child_named(found, "Equation"), "Coefficients");
      if (coefficients) return numbers_in(coefficients.child_value(), source, "Coefficients");
    }
  }
  return {};
}

void add_text_fields(const pugi::xml_node& parent, Spectrum& spectrum) {
  for (const pugi::xml_node child : parent.children()) {
    if (child.type() != pugi::node_element || child.first_child().type() != pugi::node_pcdata) {
      continue;
    }
    const std::string value = child.child_value();
    if (!value.empty() && value.size() < 1024)
      spectrum.metadata[std::string(local_name(child))] = value;
  }
}

Spectrum spectrum_of(const pugi::xml_node& node, const pugi::xml_document& document,
                     Children& children, const std::string& source, const std::string& format) {
  Spectrum spectrum;
  spectrum.format = format;
  spectrum.is_counts = true;
  spectrum.counts = channel_data(child_named(node, "ChannelData"), source);
  if (const pugi::xml_node live = children.nearest(node, {"LiveTimeDuration", "LiveTime"})) {
    spectrum.live_time = duration_seconds(live.child_value());
  }
  if (const pugi::xml_node real = children.nearest(node, {"RealTimeDuration", "RealTime"})) {
    spectrum.real_time = duration_seconds(real.child_value());
  }
  if (const pugi::xml_node start = children.nearest(node, {"StartDateTime", "StartTime"})) {
    spectrum.start_time = start_time_of(start.child_value());
    if (spectrum.start_time.empty()) spectrum.metadata["start"] = start.child_value();
  }
  std::string unit;
  spectrum.calibration = calibration_of(node, document, children, source, unit);
  bool all_zero = true;
  for (const double c : spectrum.calibration) all_zero = all_zero && c == 0.0;
  if (all_zero) spectrum.calibration.clear();
  if (!spectrum.calibration.empty()) spectrum.x_unit = unit;
  if (const char* id = node.attribute("id").value(); *id != '\0') spectrum.metadata["id"] = id;
  add_text_fields(children.named(document.document_element(), "RadInstrumentInformation"),
                  spectrum);
  if (const pugi::xml_node remark = child_named(node, "Remark")) {
    spectrum.metadata["Remark"] = remark.child_value();
  }
  return spectrum;
}

}  // namespace

bool looks_like_xml(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  const std::size_t first = bytes.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && bytes[first] == '<';
}

bool looks_like_n42(std::string_view bytes) {
  // Every XML document but PANalytical's (read by xylib) is taken for N42, so that an XML file
  // gets the XML reader's message rather than the text reader's.
  return looks_like_xml(bytes) &&
         bytes.substr(0, 4096).find("xrdMeasurement") == std::string_view::npos;
}

std::vector<Spectrum> read_n42(const std::string& bytes, const std::string& source) {
  pugi::xml_document document;
  // parse_doctype keeps a document type declaration as a node, so that it can be refused.
  const pugi::xml_parse_result parsed =
      document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_doctype);
  if (!parsed) {
    fail(source, std::string("malformed XML at byte ") + std::to_string(parsed.offset) + ": " +
                     parsed.description());
  }
  for (const pugi::xml_node node : document.children()) {
    if (node.type() == pugi::node_doctype) {
      fail(source, "XML with a document type declaration (entities) is refused");
    }
  }
  const std::string_view root = local_name(document.document_element());
  const std::string format = root == "RadInstrumentData" ? "ANSI N42.42-2011" : "ANSI N42.42-2006";
  std::vector<pugi::xml_node> nodes;
  collect_spectra(document, nodes, source);
  if (nodes.empty()) fail(source, "N42: no Spectrum with ChannelData");
  std::vector<Spectrum> spectra;
  // Counted zeros can stand for far more channels than the file holds bytes; so can many spectra.
  constexpr std::size_t kMostChannelsInAll = 2 * kMaxChannels;
  std::size_t channels = 0;
  Children children;
  for (const pugi::xml_node& node : nodes) {
    spectra.push_back(spectrum_of(node, document, children, source, format));
    channels += spectra.back().counts.size();
    if (channels > kMostChannelsInAll) fail(source, "N42: more than 2097152 channels in all");
  }
  return spectra;
}

}  // namespace vesk::io::detail
