// The Python binding of libvesk_numerics: numpy arrays in and out, the GIL released around every
// call that computes. Argument checks that name the bad argument live here; every number comes
// from the library.
#include <gsl/gsl_errno.h>
#include <gsl/gsl_vector.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "docstrings.h"
#include "io.h"
#include "peak_fits.h"
#include "threads.h"
#include "vesk/numerics/GaussFit.h"
#include "vesk/numerics/GaussFitResult.h"
#include "vesk/numerics/filter.h"
#include "vesk/numerics/peak_measures.h"
#include "vesk/numerics/rotation.h"
#include "vesk/numerics/smoothing.h"
#include "vesk/util/exceptions.h"

namespace py = pybind11;
namespace docs = vesk::python::docs;
using vesk::numerics::GaussFit;
using vesk::numerics::GaussFitResult;

namespace {

using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The numeric fields of a batch row, in this order; fit_many's structured array names them.
constexpr int kRowNumbers = 15;

// `object` as a contiguous float64 array of `dimensions` dimensions, converted only when it is not
// one already. Strings, complex numbers and objects are refused, naming `name`.
Samples real_array(const py::handle& object, const char* name, int dimensions) {
  const py::array array = py::array::ensure(object);
  if (!array) throw py::type_error(std::string(name) + " must be an array-like of real numbers");
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    throw py::type_error(std::string(name) + " must hold real numbers, not dtype " +
                         py::str(array.dtype()).cast<std::string>());
  }
  if (array.ndim() != dimensions) {
    throw py::value_error(std::string(name) + " must be " + std::to_string(dimensions) +
                          "-D, got " + std::to_string(array.ndim()) + "-D");
  }
  return Samples::ensure(array);
}

GaussFit::Solver solver_named(const std::string& name) {
  if (name == "lmsder") return GaussFit::Solver::lmsder;
  if (name == "normal_equations") return GaussFit::Solver::normal_equations;
  throw py::value_error("solver must be 'lmsder' or 'normal_equations', got '" + name + "'");
}

std::string solver_name(GaussFit::Solver solver) {
  return solver == GaussFit::Solver::normal_equations ? "normal_equations" : "lmsder";
}

GaussFit make_fitter(std::optional<double> constant_offset, int max_iterations, double accuracy,
                     const std::string& solver) {
  GaussFit fitter;
  fitter.enable_constant_offset(constant_offset.has_value());
  fitter.set_constant_offset(constant_offset.value_or(0.0));
  fitter.set_max_iterations(max_iterations);
  fitter.set_accuracy(accuracy);
  fitter.set_solver(solver_named(solver));
  return fitter;
}

// One fit of `count_x` x values and `count_y` y values; x null fits y against its sample index.
// The library has no empty GSL vectors: its vector overload answers for empty input.
GaussFitResult fit_points(const GaussFit& fitter, const double* x, std::size_t count_x,
                          const double* y, std::size_t count_y) {
  if (count_y == 0 || (x != nullptr && count_x == 0)) {
    return fitter.fit(std::vector<double>{}, std::vector<double>{});
  }
  const gsl_vector_const_view y_view = gsl_vector_const_view_array(y, count_y);
  if (x == nullptr) return fitter.fit(y_view.vector);
  const gsl_vector_const_view x_view = gsl_vector_const_view_array(x, count_x);
  return fitter.fit(x_view.vector, y_view.vector);
}

using vesk::numerics::area_of;
using vesk::numerics::completed;
using vesk::numerics::fwhm_of;

void write_row(const GaussFitResult& r, double* numbers) {
  const double values[kRowNumbers] = {
      r.amplitude_,      r.amplitude_err_,      r.mean_,   r.mean_err_,
      r.variance_,       r.variance_err_,       r.offset_, r.offset_err_,
      r.sigma_,          r.sigma_err_,          r.chisq_,  r.chisq_dof_,
      fwhm_of(r.sigma_), fwhm_of(r.sigma_err_), area_of(r)};
  std::copy(values, values + kRowNumbers, numbers);
}

// Fits every row of `ys` (rows x columns) against `x` (one shared row, or one per row), with
// `workers` threads of its own; the GIL is released throughout. Returns the numbers
// (rows x kRowNumbers), status and iteration count per row, and the text of every status seen.
py::tuple fit_many(const py::handle& x_object, const py::handle& ys_object,
                   std::optional<double> constant_offset, int max_iterations, double accuracy,
                   int workers, const std::string& solver) {
  if (workers < 1) throw py::value_error("workers must be 1 or more");
  const GaussFit fitter = make_fitter(constant_offset, max_iterations, accuracy, solver);
  const Samples ys = real_array(ys_object, "ys", 2);
  const py::array x_any = py::array::ensure(x_object);
  const Samples x = real_array(x_object, "x", x_any && x_any.ndim() == 2 ? 2 : 1);
  const std::size_t rows = static_cast<std::size_t>(ys.shape(0));
  const std::size_t columns = static_cast<std::size_t>(ys.shape(1));
  const bool x_per_row = x.ndim() == 2;
  if (x_per_row && static_cast<std::size_t>(x.shape(0)) != rows) {
    throw py::value_error("x has " + std::to_string(x.shape(0)) + " rows, ys has " +
                          std::to_string(rows));
  }
  const std::size_t x_columns = static_cast<std::size_t>(x.shape(x.ndim() - 1));

  py::array_t<double> numbers({rows, static_cast<std::size_t>(kRowNumbers)});
  py::array_t<int> counts({rows, std::size_t{2}});
  std::vector<std::string> texts(rows);
  {
    py::gil_scoped_release unlocked;
    const double* x_data = x.data();
    const double* y_data = ys.data();
    double* number_data = numbers.mutable_data();
    int* count_data = counts.mutable_data();
    const auto fit_rows = [&](std::size_t first, std::size_t step) {
      for (std::size_t row = first; row < rows; row += step) {
        const double* row_x = x_per_row ? x_data + row * x_columns : x_data;
        const GaussFitResult r =
            fit_points(fitter, row_x, x_columns, y_data + row * columns, columns);
        write_row(r, number_data + row * kRowNumbers);
        count_data[2 * row] = r.status_;
        count_data[2 * row + 1] = r.num_iterations_;
        texts[row] = r.status_str_;
      }
    };
    vesk::python::run_in_threads(std::min<std::size_t>(static_cast<std::size_t>(workers), rows),
                                 fit_rows);
  }
  std::map<int, std::string> text_of_status;
  const int* count_data = counts.data();
  for (std::size_t row = 0; row < rows; ++row) text_of_status[count_data[2 * row]] = texts[row];
  return py::make_tuple(numbers, counts, text_of_status);
}

py::dict to_dict(const GaussFitResult& r) {
  py::dict d;
  d["amplitude"] = r.amplitude_;
  d["amplitude_err"] = r.amplitude_err_;
  d["mean"] = r.mean_;
  d["mean_err"] = r.mean_err_;
  d["variance"] = r.variance_;
  d["variance_err"] = r.variance_err_;
  d["offset"] = r.offset_;
  d["offset_err"] = r.offset_err_;
  d["sigma"] = r.sigma_;
  d["sigma_err"] = r.sigma_err_;
  d["chisq"] = r.chisq_;
  d["chisq_dof"] = r.chisq_dof_;
  d["status"] = r.status_;
  d["status_str"] = r.status_str_;
  d["num_iterations"] = r.num_iterations_;
  d["ok"] = completed(r);
  d["fwhm"] = fwhm_of(r.sigma_);
  d["fwhm_err"] = fwhm_of(r.sigma_err_);
  d["area"] = area_of(r);
  return d;
}

// A record from anything indexed by the field names: to_dict's dictionary, or a row of fit_many's
// structured array.
GaussFitResult from_record(const py::handle& d) {
  GaussFitResult r;
  r.amplitude_ = d["amplitude"].cast<double>();
  r.amplitude_err_ = d["amplitude_err"].cast<double>();
  r.mean_ = d["mean"].cast<double>();
  r.mean_err_ = d["mean_err"].cast<double>();
  r.variance_ = d["variance"].cast<double>();
  r.variance_err_ = d["variance_err"].cast<double>();
  r.offset_ = d["offset"].cast<double>();
  r.offset_err_ = d["offset_err"].cast<double>();
  r.sigma_ = d["sigma"].cast<double>();
  r.sigma_err_ = d["sigma_err"].cast<double>();
  r.chisq_ = d["chisq"].cast<double>();
  r.chisq_dof_ = d["chisq_dof"].cast<double>();
  r.status_ = d["status"].cast<int>();
  r.status_str_ = d["status_str"].cast<std::string>();
  r.num_iterations_ = d["num_iterations"].cast<int>();
  return r;
}

std::string report(const GaussFitResult& r) {
  char text[512];
  if (!completed(r)) {
    std::snprintf(text, sizeof text, "FitResult(failed: %s (status %d), %d iterations)",
                  r.status_str_.c_str(), r.status_, r.num_iterations_);
  } else {
    std::snprintf(text, sizeof text,
                  "FitResult(amplitude=%.8g ± %.3g, mean=%.8g ± %.3g, sigma=%.8g ± %.3g, "
                  "offset=%.8g ± %.3g, chisq_dof=%.6g, %s, %d iterations)",
                  r.amplitude_, r.amplitude_err_, r.mean_, r.mean_err_, r.sigma_, r.sigma_err_,
                  r.offset_, r.offset_err_, r.chisq_dof_, r.status_str_.c_str(), r.num_iterations_);
  }
  return text;
}

std::string fitter_report(const GaussFit& f) {
  char offset[64] = "None";
  if (f.is_constant_offset_enabled())
    std::snprintf(offset, sizeof offset, "%.17g", f.get_constant_offset());
  char text[256];
  std::snprintf(text, sizeof text,
                "GaussFit(constant_offset=%s, max_iterations=%d, accuracy=%.17g, solver='%s')",
                offset, f.get_max_iterations(), f.get_accuracy(),
                solver_name(f.get_solver()).c_str());
  return text;
}

py::object evaluate(const GaussFitResult& r, const py::object& x) {
  if (py::isinstance<py::float_>(x) || py::isinstance<py::int_>(x)) {
    return py::float_(r.gaussian(x.cast<double>()));
  }
  const py::array any = py::array::ensure(x);
  const Samples points = real_array(x, "x", any ? static_cast<int>(any.ndim()) : 1);
  py::array_t<double> values(
      std::vector<py::ssize_t>(points.shape(), points.shape() + points.ndim()));
  {
    py::gil_scoped_release unlocked;
    const double* in = points.data();
    double* out = values.mutable_data();
    for (py::ssize_t i = 0; i < points.size(); ++i) out[i] = r.gaussian(in[i]);
  }
  if (points.ndim() == 0) return py::float_(values.data()[0]);
  return std::move(values);
}

// The records of a series: FitResult objects, or the rows of fit_many's structured array.
std::vector<GaussFitResult> results_of(const py::iterable& results) {
  std::vector<GaussFitResult> series;
  for (const py::handle& item : results) {
    if (py::isinstance<GaussFitResult>(item)) {
      series.push_back(item.cast<GaussFitResult>());
      continue;
    }
    try {
      series.push_back(from_record(item));
    } catch (const py::error_already_set&) {
      throw py::type_error("results must hold FitResult objects or rows of fit_many's array");
    } catch (const py::cast_error&) {
      throw py::type_error("results must hold FitResult objects or rows of fit_many's array");
    }
  }
  return series;
}

// The value of `call`, computed with the GIL released.
template <typename Call>
auto released(Call call) -> decltype(call()) {
  py::gil_scoped_release unlocked;
  return call();
}

py::array_t<double> matrix_of(const arma::mat33& m) {
  py::array_t<double> out({3, 3});
  auto view = out.mutable_unchecked<2>();
  for (py::ssize_t i = 0; i < 3; ++i) {
    for (py::ssize_t j = 0; j < 3; ++j)
      view(i, j) = m(static_cast<arma::uword>(i), static_cast<arma::uword>(j));
  }
  return out;
}

// Runs a call of the weight builder, raising Error for bad arguments and LinAlgError for a
// window that cannot determine the polynomial.
template <typename Call>
auto with_filter_errors(Call call) -> decltype(call()) {
  try {
    py::gil_scoped_release unlocked;
    return call();
  } catch (const vesk::Error&) {
    throw;
  } catch (const std::runtime_error& singular) {
    const py::object linalg_error = py::module_::import("numpy.linalg").attr("LinAlgError");
    PyErr_SetString(linalg_error.ptr(), singular.what());
    throw py::error_already_set();
  }
}

py::array_t<double> savitzky_golay(int order, int left, int right) {
  const arma::rowvec weights = with_filter_errors(
      [&] { return vesk::numerics::create_savitzky_golay_filter(order, left, right); });
  return py::array_t<double>(weights.n_elem, weights.memptr());
}

py::array_t<double> smooth(const py::handle& y_object, int order, int window) {
  const Samples y = real_array(y_object, "y", 1);
  if (window < 1 || window % 2 == 0) {
    throw py::value_error("window must be a positive odd number, got " + std::to_string(window));
  }
  if (y.size() < window) {
    throw py::value_error("y has " + std::to_string(y.size()) +
                          " samples, fewer than the window length " + std::to_string(window));
  }
  const vesk::numerics::Window requested{window / 2, window / 2};
  const std::vector<double> smoothed = with_filter_errors([&] {
    return vesk::numerics::smooth_series(y.data(), static_cast<std::size_t>(y.size()), order,
                                         requested);
  });
  return py::array_t<double>(smoothed.size(), smoothed.data());
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "Compiled core of vesk_numerics; use the package, not this module.";
  py::register_exception<vesk::Error>(m, "Error", PyExc_ValueError);
  vesk::python::bind_spectra(m);
  vesk::python::bind_report(m);
  vesk::python::add_io(m);

  py::class_<GaussFitResult>(m, "FitResult", docs::kFitResult)
      .def_readonly("amplitude", &GaussFitResult::amplitude_)
      .def_readonly("mean", &GaussFitResult::mean_)
      .def_readonly("variance", &GaussFitResult::variance_)
      .def_readonly("offset", &GaussFitResult::offset_)
      .def_readonly("amplitude_err", &GaussFitResult::amplitude_err_)
      .def_readonly("mean_err", &GaussFitResult::mean_err_)
      .def_readonly("variance_err", &GaussFitResult::variance_err_)
      .def_readonly("offset_err", &GaussFitResult::offset_err_)
      .def_readonly("sigma", &GaussFitResult::sigma_)
      .def_readonly("sigma_err", &GaussFitResult::sigma_err_)
      .def_readonly("chisq", &GaussFitResult::chisq_)
      .def_readonly("chisq_dof", &GaussFitResult::chisq_dof_)
      .def_readonly("status", &GaussFitResult::status_)
      .def_readonly("status_str", &GaussFitResult::status_str_)
      .def_readonly("num_iterations", &GaussFitResult::num_iterations_)
      .def_property_readonly("ok", &completed, docs::kOk)
      .def_property_readonly(
          "fwhm", [](const GaussFitResult& r) { return fwhm_of(r.sigma_); }, docs::kFwhm)
      .def_property_readonly(
          "fwhm_err", [](const GaussFitResult& r) { return fwhm_of(r.sigma_err_); }, docs::kFwhmErr)
      .def_property_readonly("area", &area_of, docs::kArea)
      .def("result", &evaluate, py::arg("x"), docs::kResult)
      .def("to_dict", &to_dict, docs::kToDict)
      .def(
          "scaled",
          [](const GaussFitResult& r, double x, double y) {
            GaussFitResult copy = r;
            copy.scale_x(x);
            copy.scale_y(y);
            return copy;
          },
          py::kw_only(), py::arg("x") = 1.0, py::arg("y") = 1.0, docs::kScaled)
      .def("__repr__", &report)
      .def(py::pickle([](const GaussFitResult& r) { return to_dict(r); },
                      [](const py::dict& d) { return from_record(d); }));

  py::class_<GaussFit>(m, "GaussFit", docs::kGaussFit)
      .def(py::init(&make_fitter), py::kw_only(), py::arg("constant_offset") = py::none(),
           py::arg("max_iterations") = 50, py::arg("accuracy") = 1e-8, py::arg("solver") = "lmsder")
      .def_property_readonly("constant_offset",
                             [](const GaussFit& f) -> std::optional<double> {
                               if (!f.is_constant_offset_enabled()) return std::nullopt;
                               return f.get_constant_offset();
                             })
      .def_property_readonly("max_iterations", &GaussFit::get_max_iterations)
      .def_property_readonly("accuracy", &GaussFit::get_accuracy)
      .def_property_readonly("solver",
                             [](const GaussFit& f) { return solver_name(f.get_solver()); })
      .def("__repr__", &fitter_report)
      .def(
          "fit",
          [](const GaussFit& fitter, const py::handle& first, const py::object& second) {
            const bool y_only = second.is_none();
            const Samples y = real_array(y_only ? first : second, "y", 1);
            const Samples x = y_only ? Samples() : real_array(first, "x", 1);
            // The library fits the common length; from Python, as numpy would, unequal lengths
            // are an error rather than a silent truncation.
            if (!y_only && x.size() != y.size()) {
              throw py::value_error("x and y differ in length: " + std::to_string(x.size()) +
                                    " and " + std::to_string(y.size()));
            }
            py::gil_scoped_release unlocked;
            return fit_points(fitter, y_only ? nullptr : x.data(),
                              y_only ? 0 : static_cast<std::size_t>(x.size()), y.data(),
                              static_cast<std::size_t>(y.size()));
          },
          py::arg("x"), py::arg("y") = py::none(), docs::kFit);

  m.def("fit_many", &fit_many, py::arg("x"), py::arg("ys"), py::kw_only(),
        py::arg("constant_offset") = py::none(), py::arg("max_iterations") = 50,
        py::arg("accuracy") = 1e-8, py::arg("workers") = 1, py::arg("solver") = "lmsder");
  m.def(
      "mean_of",
      [](const py::iterable& results) {
        std::vector<GaussFitResult> series = results_of(results);
        py::gil_scoped_release unlocked;
        return GaussFitResult::calc_mean(series);
      },
      py::arg("results"), docs::kMeanOf);
  m.def(
      "mean_and_std",
      [](const py::iterable& results) {
        std::vector<GaussFitResult> series = results_of(results);
        py::gil_scoped_release unlocked;
        return GaussFitResult::calc_mean_and_std(series);
      },
      py::arg("results"), docs::kMeanAndStd);
  m.def("savitzky_golay", &savitzky_golay, py::arg("order"), py::arg("left"), py::arg("right"),
        docs::kSavitzkyGolay);
  m.def("smooth", &smooth, py::arg("y"), py::arg("order"), py::arg("window"), docs::kSmooth);
  m.def(
      "rotation_x",
      [](double angle) {
        return matrix_of(
            released([&] { return vesk::numerics::calc_3d_rotation_matrix_around_x(angle); }));
      },
      py::arg("angle"), docs::kRotationAxis);
  m.def(
      "rotation_y",
      [](double angle) {
        return matrix_of(
            released([&] { return vesk::numerics::calc_3d_rotation_matrix_around_y(angle); }));
      },
      py::arg("angle"), docs::kRotationAxis);
  m.def(
      "rotation_z",
      [](double angle) {
        return matrix_of(
            released([&] { return vesk::numerics::calc_3d_rotation_matrix_around_z(angle); }));
      },
      py::arg("angle"), docs::kRotationAxis);
  m.def(
      "rotation_about",
      [](const py::handle& axis_object, double angle) {
        const Samples axis = real_array(axis_object, "axis", 1);
        if (axis.size() != 3) {
          throw py::value_error("axis must have 3 components, got " + std::to_string(axis.size()));
        }
        const arma::vec3 axis_vector{axis.data()[0], axis.data()[1], axis.data()[2]};
        return matrix_of(released([&] {
          return vesk::numerics::calc_3d_rotation_matrix_around_axis(axis_vector, angle);
        }));
      },
      py::arg("axis"), py::arg("angle"), docs::kRotationAbout);
}
