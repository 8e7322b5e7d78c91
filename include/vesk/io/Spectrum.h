#ifndef VESK_IO_SPECTRUM_H
#define VESK_IO_SPECTRUM_H

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "vesk/io/export.h"

namespace vesk::io {

/// Why a file could not be read. The message names the file and what is wrong with it.
class VESK_IO_EXPORT ReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The file could not be opened or read at all (missing, a directory, no permission, too large).
class VESK_IO_EXPORT FileError : public ReadError {
 public:
  using ReadError::ReadError;
};

/// The file was read, but its content is not a spectrum this library reads, or a damaged one.
class VESK_IO_EXPORT FormatError : public ReadError {
 public:
  using ReadError::ReadError;
};

/// One spectrum of an instrument file: counts (or intensities) per channel, with what the file
/// says about the measurement.
struct Spectrum {
  std::vector<double> counts;    ///< counts or intensities, finite (and not negative if is_counts)
  std::vector<double> x;         ///< the x of each channel: calibrated, or the channel number
  std::vector<double> channels;  ///< channel numbers as the file numbers them
  std::string x_unit;            ///< "keV", "deg", ...; "channel" where x are channel numbers
  /// Polynomial channel -> x, lowest order first (x = c0 + c1 ch + c2 ch^2 ...); empty when the
  /// file has none, or when it is not increasing over the channels (then metadata "warning" says
  /// so and x are the channel numbers).
  std::vector<double> calibration;
  double live_time;        ///< seconds; NaN where the file gives none
  double real_time;        ///< seconds; NaN where the file gives none
  std::string start_time;  ///< ISO 8601 local time "YYYY-MM-DDTHH:MM:SS[.fff]"; empty if unknown
  std::string format;      ///< the file format's name, e.g. "ORTEC CHN"
  /// Descriptive fields of the file, as UTF-8 text: bytes of the file that are not well-formed
  /// UTF-8 are written "\xNN" (as are those of x_unit and format).
  std::map<std::string, std::string> metadata;
  bool is_counts = false;  ///< whether counts are Poisson counts (gamma spectra)

  /// An empty spectrum with unknown (NaN) times.
  VESK_IO_EXPORT Spectrum();
};

/// Every spectrum in the file at @p path. The format is recognised by content (magic bytes, first
/// line, root element); the extension only breaks ties. Reads IAEA/ORTEC SPE, ORTEC CHN, ANSI
/// N42.42 (2006 and 2011), IEC 1455, the formats of xylib (Canberra CNF and MCA, PANalytical
/// xrdml, Bruker raw and UXD, ...) and text columns (y; x y; or x y error). Safe in any number of
/// threads.
/// @throws FileError when the file cannot be opened or read; FormatError naming the file and the
/// reason for content that is not a spectrum or is damaged. Never returns an empty list.
VESK_IO_EXPORT std::vector<Spectrum> read_spectra(const std::string& path);

/// Spectrum @p index (from 0) of the file at @p path.
/// @throws as read_spectra, and FormatError when the file holds no spectrum @p index.
VESK_IO_EXPORT Spectrum read_spectrum(const std::string& path, std::size_t index = 0);

/// As read_spectra, on the bytes of a file already in memory; @p source names it in messages.
VESK_IO_EXPORT std::vector<Spectrum> parse_spectra(const std::string& bytes,
                                                   const std::string& source);

/// Whether the file at @p path is an instrument file rather than text columns (a text file is
/// read by read_table, which lets the caller choose the columns). Reads the start of the file.
/// @throws FileError when it cannot be opened.
VESK_IO_EXPORT bool is_instrument_file(const std::string& path);

}  // namespace vesk::io

#endif  // VESK_IO_SPECTRUM_H
