// The format readers behind read_spectra. Each takes the bytes of a whole file and the name that
// messages give it, and returns its spectra with counts, channel numbers, calibration, times and
// metadata filled in; finish() then checks the counts and derives x.
#ifndef VESK_IO_READERS_H
#define VESK_IO_READERS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/io/Spectrum.h"

namespace vesk::io::detail {

/// No format that is read here holds more channels; a file that claims more is damaged.
constexpr std::size_t kMaxChannels = std::size_t{1} << 20;

/// Throws FormatError "SOURCE: WHAT".
[[noreturn]] void fail(const std::string& source, const std::string& what);

/// Checks the counts (finite; not negative for counts), numbers channels 0, 1, ... where the
/// reader left them empty, and sets x from the calibration, falling back to channel numbers (with
/// a warning in the metadata) when the calibration is not increasing over the channels.
void finish(Spectrum& spectrum, const std::string& source);

/// The polynomial channel -> x of degree 2 or less, lowest order first, that gives every x at
/// its channel @p ch to a few rounding errors (x that a reader worked out from coefficients it
/// does not report), or empty when none does.
std::vector<double> calibration_through(const std::vector<double>& ch,
                                        const std::vector<double>& x);

/// Whether the bytes look like each format; the checks read only the start of the file.
bool looks_like_spe(std::string_view bytes);
bool looks_like_chn(std::string_view bytes);
bool looks_like_iec(std::string_view bytes);
bool looks_like_n42(std::string_view bytes);
bool looks_like_xml(std::string_view bytes);

std::vector<Spectrum> read_spe(const std::string& bytes, const std::string& source);
std::vector<Spectrum> read_chn(const std::string& bytes, const std::string& source);
std::vector<Spectrum> read_iec(const std::string& bytes, const std::string& source);
std::vector<Spectrum> read_n42(const std::string& bytes, const std::string& source);

/// The name of the xylib format that reads these bytes, or empty when xylib reads none of its
/// distinctive formats (text columns are read here, not by xylib); the extension of @p path
/// decides among formats whose content checks accept much.
std::string xylib_format_of(const std::string& bytes, const std::string& path);
/// Reads the bytes with xylib's reader @p format.
std::vector<Spectrum> read_xylib(const std::string& bytes, const std::string& source,
                                 const std::string& format);

/// Text columns: y; x y; or x y error (the errors are not kept).
std::vector<Spectrum> read_text_columns(const std::string& bytes, const std::string& source);

/// A local date and time as ISO 8601 "YYYY-MM-DDTHH:MM:SS", or empty when out of range.
std::string iso_time(int year, int month, int day, int hour, int minute, double second);

/// "MM/DD/YYYY HH:MM:SS" (or a two-digit year, 1970 to 2069) as iso_time, or empty.
std::string month_day_year_time(const std::string& text);

/// Calls @p each with every word of a line, split at blanks, tabs and line ends, in order.
template <typename Each>
void for_each_word(std::string_view line, Each each) {
  constexpr std::string_view kBlanks = " \t\r\n";
  std::size_t position = 0;
  while ((position = line.find_first_not_of(kBlanks, position)) != std::string_view::npos) {
    const std::size_t end = line.find_first_of(kBlanks, position);
    each(line.substr(position, end - position));
    position = end;
  }
}

/// The words of a line, split at blanks, tabs and carriage returns.
std::vector<std::string> words_of(std::string_view line);

/// The number that all of @p text spells, or NaN.
double number_or_nan(const std::string& text);

/// As number_or_nan, and a plain decimal (the counts of a spectrum) without allocating.
double number_in(std::string_view word);

/// Little-endian integers and floats at @p offset; the caller has checked the size.
std::uint16_t le_u16(std::string_view bytes, std::size_t offset);
std::uint32_t le_u32(std::string_view bytes, std::size_t offset);
float le_f32(std::string_view bytes, std::size_t offset);

}  // namespace vesk::io::detail

#endif  // VESK_IO_READERS_H
