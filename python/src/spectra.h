#ifndef VESK_PYTHON_SPECTRA_H
#define VESK_PYTHON_SPECTRA_H

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>

#include "vesk/numerics/SpectrumFit.h"

namespace vesk::python {

// A spectrum fitter with the package's settings; an unknown background raises ValueError.
numerics::SpectrumFit spectrum_fit(const std::string& background, bool same_width,
                                   std::optional<double> fwhm, double threshold,
                                   std::optional<std::pair<double, double>> window,
                                   int max_iterations, double accuracy);

// Adds find_peaks, fit_peaks, fit_peaks_many and SpectrumFitResult to the compiled module.
void bind_spectra(pybind11::module_& m);

// Adds write_report, the HTML report of a fitted spectrum (python/src/report.cpp).
void bind_report(pybind11::module_& m);

}  // namespace vesk::python

#endif  // VESK_PYTHON_SPECTRA_H
