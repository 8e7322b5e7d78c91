#ifndef VESK_TOOLS_FIT_REPORT_H
#define VESK_TOOLS_FIT_REPORT_H

#include <cstddef>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "fit_input.h"
#include "vesk/numerics/GaussFitResult.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::tools {

/// One file's fit: where it came from, what was fitted and what came out.
struct FileFit {
  std::string file;        ///< as given on the command line
  double series_position;  ///< its place in the series: its number, or from --trend-x
  PeakData data;           ///< the points fitted
  numerics::GaussFitResult result;
};

/// Mean and sample standard deviation of the completed fits of a series.
struct SeriesSummary {
  std::size_t used = 0;                 ///< completed fits that went into it
  std::size_t total = 0;                ///< all fits of the series
  numerics::GaussFitResult statistics;  ///< means; each *_err_ member holds the std deviation
};

/// The summary of the completed fits among @p fits, by the library's calc_mean_and_std.
SeriesSummary summarise(const std::vector<FileFit>& fits);

/// The detailed report of one fit: a line per quantity with its error and unit.
void print_detail(const FileFit& fit, bool offset_held, std::ostream& out);

/// The whole record of one fit as JSON; numbers only for a completed fit.
nlohmann::json fit_json(const numerics::GaussFitResult& result, std::size_t point_count);

/// One aligned line per file, and the summary's lines when there is one.
void print_rows(const std::vector<FileFit>& fits, const SeriesSummary* summary, std::ostream& out);

/// CSV: a header row, a row per file (numbers that read back as the same doubles, empty for a
/// failed fit), and a final row marked "summary" when there is one.
void print_csv(const std::vector<FileFit>& fits, const SeriesSummary* summary, std::ostream& out);

/// JSON: an array of the per-file objects, each with its "file", and a final summary object.
void print_json_series(const std::vector<FileFit>& fits, const SeriesSummary* summary,
                       std::ostream& out);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_FIT_REPORT_H
