#include "vesk/report/peak_table.h"

#include <charconv>
#include <type_traits>

namespace vesk::report {

namespace {

using numerics::SpectrumPeak;
using numerics::SpectrumRegion;

}  // namespace

// One line per column. A new column is one more line here: the CSV and the report take it up.
const std::vector<PeakColumn>& peak_columns() {
  static const std::vector<PeakColumn> columns = {
      {"peak", [](const PeakRow& r) -> PeakCell { return static_cast<long long>(r.index); }},
      {"region",
       [](const PeakRow& r) -> PeakCell { return static_cast<long long>(r.peak.region); }},
      {"mean", [](const PeakRow& r) -> PeakCell { return r.peak.mean; }},
      {"mean_err", [](const PeakRow& r) -> PeakCell { return r.peak.mean_err; }},
      {"sigma", [](const PeakRow& r) -> PeakCell { return r.peak.sigma; }},
      {"sigma_err", [](const PeakRow& r) -> PeakCell { return r.peak.sigma_err; }},
      {"fwhm", [](const PeakRow& r) -> PeakCell { return r.peak.fwhm; }},
      {"fwhm_err", [](const PeakRow& r) -> PeakCell { return r.peak.fwhm_err; }},
      {"amplitude", [](const PeakRow& r) -> PeakCell { return r.peak.amplitude; }},
      {"amplitude_err", [](const PeakRow& r) -> PeakCell { return r.peak.amplitude_err; }},
      {"area", [](const PeakRow& r) -> PeakCell { return r.peak.area; }},
      {"area_err", [](const PeakRow& r) -> PeakCell { return r.peak.area_err; }},
      {"region_lo", [](const PeakRow& r) -> PeakCell { return r.region.lo; }},
      {"region_hi", [](const PeakRow& r) -> PeakCell { return r.region.hi; }},
      {"chisq", [](const PeakRow& r) -> PeakCell { return r.region.chisq; }},
      {"dof", [](const PeakRow& r) -> PeakCell { return static_cast<long long>(r.region.dof); }},
      {"status",
       [](const PeakRow& r) -> PeakCell { return static_cast<long long>(r.region.status); }},
      {"status_str", [](const PeakRow& r) -> PeakCell { return r.region.status_str; }},
      // The line shape's own numbers; NaN where the shape has no such parameter.
      {"gamma", [](const PeakRow& r) -> PeakCell { return r.peak.gamma; }},
      {"gamma_err", [](const PeakRow& r) -> PeakCell { return r.peak.gamma_err; }},
      {"eta", [](const PeakRow& r) -> PeakCell { return r.peak.eta; }},
      {"eta_err", [](const PeakRow& r) -> PeakCell { return r.peak.eta_err; }},
      {"tail", [](const PeakRow& r) -> PeakCell { return r.region.tail; }},
      {"tail_err", [](const PeakRow& r) -> PeakCell { return r.region.tail_err; }},
      {"tail_slope", [](const PeakRow& r) -> PeakCell { return r.region.tail_slope; }},
      {"tail_slope_err", [](const PeakRow& r) -> PeakCell { return r.region.tail_slope_err; }},
      {"step", [](const PeakRow& r) -> PeakCell { return r.region.step; }},
      {"step_err", [](const PeakRow& r) -> PeakCell { return r.region.step_err; }},
      // What a counting laboratory reports of the line.
      {"counts", [](const PeakRow& r) -> PeakCell { return r.peak.counts; }},
      {"counts_err", [](const PeakRow& r) -> PeakCell { return r.peak.counts_err; }},
      {"rate", [](const PeakRow& r) -> PeakCell { return r.peak.rate; }},
      {"rate_err", [](const PeakRow& r) -> PeakCell { return r.peak.rate_err; }},
      {"critical_level", [](const PeakRow& r) -> PeakCell { return r.peak.critical_level; }},
      {"detection_limit", [](const PeakRow& r) -> PeakCell { return r.peak.detection_limit; }},
      {"significant",
       [](const PeakRow& r) -> PeakCell { return static_cast<long long>(r.peak.significant); }},
      {"net_rate", [](const PeakRow& r) -> PeakCell { return r.peak.net_rate; }},
      {"net_rate_err", [](const PeakRow& r) -> PeakCell { return r.peak.net_rate_err; }},
      {"width_tied",
       [](const PeakRow& r) -> PeakCell { return static_cast<long long>(r.peak.width_tied); }},
      {"outside_region",
       [](const PeakRow& r) -> PeakCell { return static_cast<long long>(r.peak.outside_region); }},
  };
  return columns;
}

PeakRow peak_row(const numerics::SpectrumFitResult& result, std::size_t index) {
  const SpectrumPeak& peak = result.peaks[index];
  return {index, peak, result.regions[peak.region]};
}

std::string cell_text(const PeakCell& cell) {
  return std::visit(
      [](const auto& value) -> std::string {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>) {
          return value;
        } else if constexpr (std::is_same_v<T, bool>) {
          return value ? "true" : "false";
        } else {
          char text[32];
          const auto written = std::to_chars(text, text + sizeof text, value);
          return std::string(text, written.ptr);
        }
      },
      cell);
}

}  // namespace vesk::report
