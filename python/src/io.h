#ifndef VESK_PYTHON_IO_H
#define VESK_PYTHON_IO_H

#include <pybind11/pybind11.h>

namespace vesk::python {

/// Adds read_spectra, and the translation of the reading errors, to the module.
void add_io(pybind11::module_& m);

}  // namespace vesk::python

#endif  // VESK_PYTHON_IO_H
