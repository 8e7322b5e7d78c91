#ifndef VESK_TOOLS_PEAKS_REPORT_H
#define VESK_TOOLS_PEAKS_REPORT_H

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "spectrum_input.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::tools {

/// One file's spectrum and what the fit found in it.
struct SpectrumFitFile {
  std::string file;  ///< as given on the command line
  SpectrumFile data;
  numerics::SpectrumFitResult result;
};

/// One aligned line per peak: mean, FWHM, area and amplitude, each with its error, the region,
/// its chi-square per degree of freedom and its status, followed by "width tied" where the line's
/// width was tied and "outside its region: no line" where the fit carried it outside its region;
/// the file first when there are several.
void print_peak_table(const std::vector<SpectrumFitFile>& fits, std::ostream& out);

/// CSV: the header row, then a row per peak with numbers that read back as the same doubles; the
/// line shape's numbers (gamma, eta, and the region's tail, tail_slope and step, with errors) and
/// width_tied and outside_region (1 or 0) come last.
void print_peak_csv(const std::vector<SpectrumFitFile>& fits, std::ostream& out);

/// {"file", "background", "shape", "width", "resolution", "peaks": [...], "regions": [...]} for
/// one file; "resolution" is {"coefficients": [w0, w1, w2], "covariance": 3 x 3} with the
/// resolution width mode, else null.
nlohmann::json spectrum_json(const SpectrumFitFile& fit);

/// One JSON object for one file, an array of them for several.
void print_peak_json(const std::vector<SpectrumFitFile>& fits, std::ostream& out);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_PEAKS_REPORT_H
