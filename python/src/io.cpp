// The binding of vesk_numerics_io: read_spectra gives each spectrum as a dict of arrays and
// fields, which vesk_numerics._io turns into a Spectrum.
#include "io.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <string>
#include <vector>

#include "vesk/io/Spectrum.h"

namespace py = pybind11;

namespace vesk::python {

namespace {

py::array_t<double> array_of(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::dict dict_of(const io::Spectrum& spectrum) {
  py::dict fields;
  fields["counts"] = array_of(spectrum.counts);
  fields["x"] = array_of(spectrum.x);
  fields["channels"] = array_of(spectrum.channels);
  fields["x_unit"] = spectrum.x_unit;
  fields["calibration"] = spectrum.calibration.empty() ? py::object(py::none())
                                                       : py::object(array_of(spectrum.calibration));
  fields["live_time"] = spectrum.live_time;
  fields["real_time"] = spectrum.real_time;
  fields["start_time"] = spectrum.start_time;
  fields["format"] = spectrum.format;
  fields["metadata"] = spectrum.metadata;
  fields["is_counts"] = spectrum.is_counts;
  return fields;
}

py::list read_spectra(const std::string& path) {
  std::vector<io::Spectrum> spectra;
  {
    py::gil_scoped_release release;
    spectra = io::read_spectra(path);
  }
  py::list items;
  for (const io::Spectrum& spectrum : spectra) items.append(dict_of(spectrum));
  return items;
}

// Messages quote the file's bytes and name its path, neither of which need be UTF-8: such bytes
// are shown as \xNN escapes rather than lose the whole message to a decoding error.
void set_error(PyObject* type, const char* message) {
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                        "backslashreplace");
  if (text == nullptr) {
    PyErr_Clear();
    PyErr_SetString(type, "the file could not be read");
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void add_io(py::module_& m) {
  // A file that cannot be opened or read is an OSError, content that is no spectrum a ValueError.
  py::register_exception_translator([](std::exception_ptr error) {
    try {
      if (error) std::rethrow_exception(error);
    } catch (const io::FileError& e) {
      set_error(PyExc_OSError, e.what());
    } catch (const io::FormatError& e) {
      set_error(PyExc_ValueError, e.what());
    }
  });
  m.def("read_spectra", &read_spectra, py::arg("path"),
        "The spectra of an instrument file as dicts of fields (see vesk_numerics.read_spectra).");
}

}  // namespace vesk::python
