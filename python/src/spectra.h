#ifndef VESK_PYTHON_SPECTRA_H
#define VESK_PYTHON_SPECTRA_H

#include <pybind11/pybind11.h>

namespace vesk::python {

// Adds find_peaks, fit_peaks, fit_peaks_many and SpectrumFitResult to the compiled module.
void bind_spectra(pybind11::module_& m);

}  // namespace vesk::python

#endif  // VESK_PYTHON_SPECTRA_H
