#ifndef VESK_REPORT_PEAK_TABLE_H
#define VESK_REPORT_PEAK_TABLE_H

/// @file
/// The columns of the table of fitted lines: one list, read by the program's CSV output and by
/// the HTML report alike, so that a column added here appears in both.

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "vesk/numerics/SpectrumFitResult.h"

namespace vesk::report {

/// One cell of the table: a count or index, a number, a yes/no, or a text.
using PeakCell = std::variant<long long, double, bool, std::string>;

/// What a column reads: one peak of a fitted spectrum, its index and its region.
struct PeakRow {
  std::size_t index;                       ///< The peak's index in SpectrumFitResult::peaks.
  const numerics::SpectrumPeak& peak;      ///< The peak.
  const numerics::SpectrumRegion& region;  ///< The region it was fitted in.
};

/// A column: its name (the CSV header and the report's table heading) and how its value is taken
/// from a row.
struct PeakColumn {
  const char* name;                       ///< Lower case, no commas or quotes.
  PeakCell (*value)(const PeakRow& row);  ///< The cell of @p row in this column.
};

/// Every column, in the order they are written: peak, region, mean, mean_err, sigma, sigma_err,
/// fwhm, fwhm_err, amplitude, amplitude_err, area, area_err, region_lo, region_hi, chisq, dof,
/// status, status_str. Numbers are NaN where a region's fit failed.
const std::vector<PeakColumn>& peak_columns();

/// The row of peak @p index of @p result (index < result.peaks.size()).
PeakRow peak_row(const numerics::SpectrumFitResult& result, std::size_t index);

/// A cell as text: a number as the shortest text that reads back as the same double ("nan",
/// "inf" and "-inf" for the others), a count in decimal, a yes/no as "true" or "false", a text
/// as it is.
std::string cell_text(const PeakCell& cell);

}  // namespace vesk::report

#endif  // VESK_REPORT_PEAK_TABLE_H
