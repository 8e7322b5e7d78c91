#ifndef VESK_TOOLS_TREND_PLOT_H
#define VESK_TOOLS_TREND_PLOT_H

#include <string>
#include <vector>

#include "fit_report.h"

namespace vesk::tools {

/// Writes a two-panel SVG plot of a series: the fitted mean above and sigma below, each with
/// its error bar, against every completed fit's place in the series (labelled @p position_label).
/// Failed fits are left out. @throws std::runtime_error when the file cannot be written.
void write_trend_plot(const std::string& path, const std::vector<FileFit>& fits,
                      const std::string& position_label);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_TREND_PLOT_H
