#include <sstream>

#include "readers.h"
#include "vesk/io/TextTable.h"

namespace vesk::io::detail {

namespace {

constexpr std::size_t kSniffBytes = 4096;

// Binary bytes (controls other than tabs and line ends) at the start mean no text file at all.
bool looks_binary(std::string_view bytes) {
  const std::string_view start = bytes.substr(0, kSniffBytes);
  for (const char c : start) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7F) return true;
  }
  return false;
}

}  // namespace

std::vector<Spectrum> read_text_columns(const std::string& bytes, const std::string& source) {
  if (looks_binary(bytes)) fail(source, "not a spectrum file this program reads");
  std::istringstream input(bytes);
  const DataTable table = read_table(input, source, {1, 2, 3});
  Spectrum spectrum;
  spectrum.format = "text columns";
  const bool with_x = table.columns.size() >= 2;
  spectrum.counts = table.columns[with_x ? 1 : 0];
  if (with_x) {
    spectrum.x = table.columns[0];
    spectrum.x_unit = table.names.empty() ? "" : table.names[0];
  }
  for (std::size_t c = 0; c < table.names.size(); ++c) {
    spectrum.metadata["column " + std::to_string(c + 1)] = table.names[c];
  }
  std::vector<Spectrum> spectra;
  spectra.push_back(std::move(spectrum));
  return spectra;
}

}  // namespace vesk::io::detail
