#ifndef VESK_TOOLS_FIT_PLOT_H
#define VESK_TOOLS_FIT_PLOT_H

#include <string>
#include <vector>

#include "vesk/numerics/GaussFitResult.h"

namespace vesk::tools {

/// Writes an SVG plot: the data points and the fitted curve above, the residuals below.
/// @throws std::runtime_error when the file cannot be written.
void write_fit_plot(const std::string& path, const std::vector<double>& x,
                    const std::vector<double>& y, const numerics::GaussFitResult& fit,
                    const std::string& x_label, const std::string& y_label);

}  // namespace vesk::tools

#endif  // VESK_TOOLS_FIT_PLOT_H
