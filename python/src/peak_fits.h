#ifndef VESK_PYTHON_PEAK_FITS_H
#define VESK_PYTHON_PEAK_FITS_H

#include <pybind11/pybind11.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "vesk/numerics/SpectrumFit.h"

namespace vesk::python {

// The shape, width mode, given resolution and held parameters of every line.
struct LineSettings {
  std::string shape;
  std::string width;
  std::optional<std::array<double, 3>> resolution;
  std::map<std::string, double> fixed;

  // Sets them on @p fitter; an unknown name or a held value outside its domain raises
  // ValueError naming it.
  void apply_to(numerics::SpectrumFit& fitter) const;
};

// A spectrum fitter with the package's settings; an unknown background, shape, width mode or
// held parameter raises ValueError.
numerics::SpectrumFit spectrum_fit(const std::string& background, const LineSettings& lines,
                                   std::optional<double> fwhm, double threshold,
                                   std::optional<std::pair<double, double>> window,
                                   int max_iterations, double accuracy);

// Adds find_peaks, fit_peaks, fit_peaks_many and SpectrumFitResult to the compiled module.
void bind_spectra(pybind11::module_& m);

// Adds write_report, the HTML report of a fitted spectrum (python/src/report.cpp).
void bind_report(pybind11::module_& m);

}  // namespace vesk::python

#endif  // VESK_PYTHON_PEAK_FITS_H
