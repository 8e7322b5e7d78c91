#ifndef VESK_TOOLS_PEAKS_PLOT_H
#define VESK_TOOLS_PEAKS_PLOT_H

#include <string>

#include "peaks_report.h"

namespace vesk::tools {

/// Writes an SVG plot of a fitted spectrum: the data as steps, every region shaded, its
/// background, each line's own curve over it and the total model; below, the residuals divided
/// by their uncertainty. @p log_y draws the spectrum on a logarithmic axis.
/// @throws std::runtime_error when the file cannot be written.
void write_peaks_plot(const std::string& path, const SpectrumFitFile& fit, bool log_y);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_PEAKS_PLOT_H
