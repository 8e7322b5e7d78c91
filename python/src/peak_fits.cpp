// The binding of the spectrum engine: find_peaks, fit_peaks and the fitted spectrum's record.
// The package's Python layer checks the kinds of the arguments and the settings; the values of
// the arrays are checked here by the library's own data check and named as the package names
// them. The arrays reach the library with the GIL released, and the results come back as
// numeric tables.
#include "peak_fits.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "threads.h"
#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace py = pybind11;
using vesk::numerics::Background;
using vesk::numerics::FoundPeak;
using vesk::numerics::LineShape;
using vesk::numerics::ShapeParameter;
using vesk::numerics::SpectrumData;
using vesk::numerics::SpectrumFit;
using vesk::numerics::SpectrumFitResult;
using vesk::numerics::SpectrumPeak;
using vesk::numerics::SpectrumRegion;
using vesk::numerics::Statistics;
using vesk::numerics::WidthMode;

namespace vesk::python {

namespace {

using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;
// A blank's spectrum: x, y, per-point errors or none, live time or none.
using Blank = std::tuple<Samples, Samples, std::optional<Samples>, std::optional<double>>;

constexpr double kUnknownLiveTime = std::numeric_limits<double>::quiet_NaN();

Background background_named(const std::string& name) {
  if (const auto background = vesk::numerics::background_named(name)) return *background;
  throw py::value_error(
      "background must be one of none, constant, linear, quadratic, "
      "exponential; got '" +
      name + "'");
}

LineShape line_shape_named(const std::string& name) {
  if (const auto shape = vesk::numerics::line_shape_named(name)) return *shape;
  throw py::value_error(
      "shape must be one of gaussian, tailed, lorentzian, pseudo_voigt, voigt; got '" + name + "'");
}

WidthMode width_mode_named(const std::string& name) {
  if (const auto mode = vesk::numerics::width_mode_named(name)) return *mode;
  throw py::value_error("width must be one of free, shared, resolution; got '" + name + "'");
}

// What a held value of `parameter` must be, for the message that refuses one.
const char* domain_of(ShapeParameter parameter) {
  switch (parameter) {
    case ShapeParameter::eta:
      return "in [0, 1]";
    case ShapeParameter::tail_slope:
    case ShapeParameter::gamma:
      return "positive and finite";
    case ShapeParameter::tail:
    case ShapeParameter::step:
      break;
  }
  return "non-negative and finite";
}

// The spectrum as the library reads it: views of the arrays, which the caller keeps alive.
SpectrumData spectrum_of(const Samples& x, const Samples& y, const std::optional<Samples>& sigma,
                         bool counts) {
  SpectrumData data;
  data.x = x.data();
  data.y = y.data();
  // The Python layer makes the lengths equal; the shortest bounds every read all the same.
  data.size = static_cast<std::size_t>(std::min(x.size(), y.size()));
  if (sigma) {
    data.size = std::min(data.size, static_cast<std::size_t>(sigma->size()));
    data.sigma = sigma->data();
    data.statistics = Statistics::weighted;
  } else if (counts) {
    data.statistics = Statistics::poisson;
  }
  return data;
}

// Raises ValueError naming the first value of a spectrum that the library would refuse, in the
// package's words: the array (x, y or errors) and the index.
void check_spectrum(const Samples& x, const Samples& y, const std::optional<Samples>& sigma,
                    bool counts) {
  using vesk::numerics::DataFault;
  const auto [fault, index] = vesk::numerics::find_data_fault(spectrum_of(x, y, sigma, counts));
  const auto at = [index = index](const char* what) {
    return std::string(what) + " at index " + std::to_string(index);
  };
  switch (fault) {
    case DataFault::none:
    case DataFault::missing_array:
      return;
    case DataFault::non_finite_x:
      throw py::value_error(at("x is not finite"));
    case DataFault::non_finite_y:
      throw py::value_error(at("y is not finite"));
    case DataFault::non_finite_error:
      throw py::value_error(at("errors is not finite"));
    case DataFault::non_positive_error:
      throw py::value_error(at("errors is not positive"));
    case DataFault::negative_count:
      throw py::value_error(at("y holds a negative count"));
    case DataFault::x_out_of_order:
      throw py::value_error("x must be sorted, increasing or decreasing");
    case DataFault::x_constant:
      throw py::value_error("x must span an interval: every x is the same");
  }
}

// The index of the first value that is not finite or lies outside [lo, hi], or -1.
py::ssize_t first_stray(const Samples& values, double lo, double hi) {
  const double* begin = values.data();
  const double* end = begin + values.size();
  const double* stray =
      std::find_if(begin, end, [&](double v) { return !(std::isfinite(v) && v >= lo && v <= hi); });
  return stray == end ? -1 : stray - begin;
}

// A fitted line as one element of the package's PEAK_DTYPE: the same fields, in its order and
// packed as numpy packs a structured dtype, so that the peaks reach Python as one array.
#pragma pack(push, 1)
struct PeakRecord {
  double amplitude, amplitude_err, mean, mean_err, sigma, sigma_err, fwhm, fwhm_err, area, area_err;
  std::int64_t region;
  double gamma, gamma_err, eta, eta_err, counts, counts_err, rate, rate_err, critical_level,
      detection_limit;
  bool significant;
  double net_rate, net_rate_err;
  bool width_tied, outside_region;
};
#pragma pack(pop)

PeakRecord peak_record(const SpectrumPeak& p) {
  return {p.amplitude,
          p.amplitude_err,
          p.mean,
          p.mean_err,
          p.sigma,
          p.sigma_err,
          p.fwhm,
          p.fwhm_err,
          p.area,
          p.area_err,
          static_cast<std::int64_t>(p.region),
          p.gamma,
          p.gamma_err,
          p.eta,
          p.eta_err,
          p.counts,
          p.counts_err,
          p.rate,
          p.rate_err,
          p.critical_level,
          p.detection_limit,
          p.significant,
          p.net_rate,
          p.net_rate_err,
          p.width_tied,
          p.outside_region};
}

py::array_t<PeakRecord> peak_records(const SpectrumFitResult& result) {
  py::array_t<PeakRecord> records(static_cast<py::ssize_t>(result.peaks.size()));
  PeakRecord* out = records.mutable_data();
  for (const SpectrumPeak& p : result.peaks) *out++ = peak_record(p);
  return records;
}

// A region as one element of the package's REGION_DTYPE, packed as numpy packs it; the status
// text is UCS-4, as numpy keeps a str field.
constexpr std::size_t kStatusWidth = 48;
#pragma pack(push, 1)
struct RegionRecord {
  double lo, hi;
  std::int64_t points;
  double b0, b0_err, b1, b1_err, b2, b2_err, chisq;
  std::int64_t dof;
  double chisq_dof;
  std::int32_t status;
  Py_UCS4 status_str[kStatusWidth];
  std::int32_t iterations;
  bool ok;
  double tail, tail_err, tail_slope, tail_slope_err, step, step_err;
};
#pragma pack(pop)

// @p text decoded from UTF-8, cut to the width of a status and padded with zeros.
std::array<Py_UCS4, kStatusWidth> status_text(const std::string& text) {
  std::array<Py_UCS4, kStatusWidth> out{};
  const py::str decoded(text);
  const auto length =
      std::min(PyUnicode_GetLength(decoded.ptr()), static_cast<py::ssize_t>(kStatusWidth));
  for (py::ssize_t i = 0; i < length; ++i) {
    out[static_cast<std::size_t>(i)] = PyUnicode_ReadChar(decoded.ptr(), i);
  }
  return out;
}

// The regions as an array of @p dtype, the package's REGION_DTYPE.
py::array region_records(const SpectrumFitResult& result, const py::dtype& dtype) {
  if (dtype.itemsize() != static_cast<py::ssize_t>(sizeof(RegionRecord))) {
    throw py::type_error("region_records: the dtype is not the package's REGION_DTYPE");
  }
  py::array records(dtype,
                    std::vector<py::ssize_t>{static_cast<py::ssize_t>(result.regions.size())});
  auto* out = static_cast<RegionRecord*>(records.mutable_data());
  for (const SpectrumRegion& r : result.regions) {
    RegionRecord& record = *out++;
    record = {r.lo,
              r.hi,
              static_cast<std::int64_t>(r.points),
              r.b0,
              r.b0_err,
              r.b1,
              r.b1_err,
              r.b2,
              r.b2_err,
              r.chisq,
              r.dof,
              r.chisq_dof,
              r.status,
              {},
              r.iterations,
              r.ok(),
              r.tail,
              r.tail_err,
              r.tail_slope,
              r.tail_slope_err,
              r.step,
              r.step_err};
    const std::array<Py_UCS4, kStatusWidth> text = status_text(r.status_str);
    std::memcpy(record.status_str, text.data(), sizeof record.status_str);
  }
  return records;
}

// The resolution coefficients and their covariance, or None when the widths followed none.
py::object resolution_of(const SpectrumFitResult& result) {
  if (result.width != WidthMode::resolution) return py::none();
  py::array_t<double> coefficients(3);
  py::array_t<double> covariance({3, 3});
  std::copy(result.resolution.begin(), result.resolution.end(), coefficients.mutable_data());
  std::copy(result.resolution_covariance.begin(), result.resolution_covariance.end(),
            covariance.mutable_data());
  return py::make_tuple(coefficients, covariance);
}

const SpectrumRegion& region_number(const SpectrumFitResult& result, py::ssize_t index) {
  const auto n = static_cast<py::ssize_t>(result.regions.size());
  if (index < -n || index >= n) {
    throw py::index_error("region " + std::to_string(index) + " out of range for " +
                          std::to_string(n) + " regions");
  }
  return result.regions[static_cast<std::size_t>(index < 0 ? index + n : index)];
}

// `function` at every element of `x`, computed with the GIL released.
template <typename Function>
py::array_t<double> at_each(const Samples& x, Function function) {
  py::array_t<double> values(std::vector<py::ssize_t>(x.shape(), x.shape() + x.ndim()));
  const double* in = x.data();
  double* out = values.mutable_data();
  const py::ssize_t size = x.size();
  py::gil_scoped_release unlocked;
  for (py::ssize_t i = 0; i < size; ++i) out[i] = function(in[i]);
  return values;
}

}  // namespace

void LineSettings::apply_to(SpectrumFit& fitter) const {
  fitter.set_shape(line_shape_named(shape));
  fitter.set_width(width_mode_named(width));
  if (resolution) fitter.set_resolution((*resolution)[0], (*resolution)[1], (*resolution)[2]);
  for (const auto& [name, value] : fixed) {
    const auto parameter = vesk::numerics::shape_parameter_named(name);
    if (!parameter) {
      throw py::value_error("fixed names no parameter '" + name +
                            "'; the names are tail, tail_slope, step, eta, gamma");
    }
    if (!vesk::numerics::in_domain(*parameter, value)) {
      const std::string shown = py::repr(py::float_(value));
      throw py::value_error("fixed['" + name + "'] = " + shown + " is out of its domain: " + name +
                            " must be " + domain_of(*parameter));
    }
    fitter.set_fixed(*parameter, value);
  }
}

SpectrumFit spectrum_fit(const std::string& background, const LineSettings& lines,
                         std::optional<double> fwhm, double threshold,
                         std::optional<std::pair<double, double>> window, int max_iterations,
                         double accuracy) {
  SpectrumFit fitter;
  fitter.set_background(background_named(background));
  lines.apply_to(fitter);
  fitter.set_fwhm(fwhm.value_or(0.0));
  fitter.set_threshold(threshold);
  if (window) fitter.set_window(window->first, window->second);
  fitter.set_max_iterations(max_iterations);
  fitter.set_accuracy(accuracy);
  return fitter;
}

namespace {

// A line of a batch row as one element of the package's BATCH_PEAK_DTYPE: its PEAK_DTYPE fields,
// then its region's chi-square, degrees of freedom and status, and whether that fit succeeded.
#pragma pack(push, 1)
struct BatchPeakRecord {
  PeakRecord peak;
  double chisq;
  std::int64_t dof;
  std::int32_t status;
  bool ok;
};
#pragma pack(pop)

BatchPeakRecord batch_peak_record(const SpectrumFitResult& result, std::size_t index) {
  const SpectrumPeak& p = result.peaks[index];
  const SpectrumRegion& r = result.regions[p.region];
  return {peak_record(p), r.chisq, r.dof, r.status, r.ok()};
}

// A line that a row's fit did not reach: no numbers, no region, no status, nothing true.
BatchPeakRecord unfitted_batch_peak() {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  SpectrumPeak none{};
  for (double* number :
       {&none.amplitude, &none.amplitude_err, &none.mean, &none.mean_err, &none.sigma,
        &none.sigma_err, &none.fwhm, &none.fwhm_err, &none.area, &none.area_err}) {
    *number = kNan;
  }
  BatchPeakRecord record{peak_record(none), kNan, -1, -1, false};
  record.peak.region = -1;
  return record;
}

// Fits the same lines in every row of ys (rows x channels) against the shared x, in `workers`
// threads with the GIL released; row i is what fit_peaks gives for ys[i]. Columns follow the
// positions as given. Returns the lines as an array of @p dtype, the package's BATCH_PEAK_DTYPE
// (rows x lines).
py::array fit_peaks_many(const Samples& x, const Samples& ys, const std::optional<Samples>& sigmas,
                         bool counts, const Samples& positions, const std::string& background,
                         const LineSettings& line_settings, std::optional<double> fwhm,
                         std::optional<std::pair<double, double>> window, int max_iterations,
                         double accuracy, int workers, const std::optional<Samples>& live_times,
                         const py::dtype& dtype) {
  if (dtype.itemsize() != static_cast<py::ssize_t>(sizeof(BatchPeakRecord))) {
    throw py::type_error("fit_peaks_many: the dtype is not the package's BATCH_PEAK_DTYPE");
  }
  const SpectrumFit fitter =
      spectrum_fit(background, line_settings, fwhm, SpectrumFit::default_threshold, window,
                   max_iterations, accuracy);
  const auto rows = static_cast<std::size_t>(ys.shape(0));
  const auto channels = static_cast<std::size_t>(ys.shape(1));
  const auto lines = static_cast<std::size_t>(positions.size());
  const std::vector<double> given(positions.data(), positions.data() + lines);
  // The library returns a region's peaks in the order of their sorted positions.
  std::vector<std::size_t> column_of(lines);
  std::iota(column_of.begin(), column_of.end(), std::size_t{0});
  std::stable_sort(column_of.begin(), column_of.end(),
                   [&](std::size_t a, std::size_t b) { return given[a] < given[b]; });
  py::array records(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows),
                                                    static_cast<py::ssize_t>(lines)});
  auto* record_data = static_cast<BatchPeakRecord*>(records.mutable_data());
  std::fill_n(record_data, rows * lines, unfitted_batch_peak());
  {
    py::gil_scoped_release unlocked;
    const auto fit_rows = [&](std::size_t first, std::size_t step) {
      for (std::size_t row = first; row < rows; row += step) {
        SpectrumData data{x.data(), ys.data() + row * channels,
                          sigmas ? sigmas->data() + row * channels : nullptr, channels,
                          Statistics::unweighted};
        if (sigmas) data.statistics = Statistics::weighted;
        if (counts) data.statistics = Statistics::poisson;
        if (live_times) data.live_time = live_times->data()[row];
        const SpectrumFitResult result = fitter.fit(data, given);
        for (std::size_t j = 0; j < result.peaks.size() && j < lines; ++j) {
          record_data[row * lines + column_of[j]] = batch_peak_record(result, j);
        }
      }
    };
    run_in_threads(std::min<std::size_t>(static_cast<std::size_t>(std::max(workers, 1)), rows),
                   fit_rows);
  }
  return records;
}

}  // namespace

void bind_spectra(py::module_& m) {
  PYBIND11_NUMPY_DTYPE(PeakRecord, amplitude, amplitude_err, mean, mean_err, sigma, sigma_err, fwhm,
                       fwhm_err, area, area_err, region, gamma, gamma_err, eta, eta_err, counts,
                       counts_err, rate, rate_err, critical_level, detection_limit, significant,
                       net_rate, net_rate_err, width_tied, outside_region);
  py::class_<LineSettings>(m, "LineSettings")
      .def(py::init<std::string, std::string, std::optional<std::array<double, 3>>,
                    std::map<std::string, double>>(),
           py::arg("shape"), py::arg("width"), py::arg("resolution"), py::arg("fixed"));
  m.def("fit_peaks_many", &fit_peaks_many, py::arg("x"), py::arg("ys"), py::arg("sigmas"),
        py::arg("counts"), py::arg("positions"), py::arg("background"), py::arg("lines"),
        py::arg("fwhm"), py::arg("window"), py::arg("max_iterations"), py::arg("accuracy"),
        py::arg("workers"), py::arg("live_times"), py::arg("dtype"));
  py::class_<SpectrumFitResult>(m, "SpectrumFitResult")
      .def_property_readonly("background",
                             [](const SpectrumFitResult& r) {
                               return std::string(vesk::numerics::background_name(r.background));
                             })
      .def_property_readonly("shape",
                             [](const SpectrumFitResult& r) {
                               return std::string(vesk::numerics::line_shape_name(r.shape));
                             })
      .def_property_readonly("width",
                             [](const SpectrumFitResult& r) {
                               return std::string(vesk::numerics::width_mode_name(r.width));
                             })
      .def("resolution", &resolution_of)
      .def_readonly("status", &SpectrumFitResult::status)
      .def_readonly("status_str", &SpectrumFitResult::status_str)
      .def("peak_records", &peak_records)
      .def("region_records", &region_records)
      .def("covariance",
           [](const SpectrumFitResult& r, py::ssize_t index) {
             const SpectrumRegion& region = region_number(r, index);
             const std::size_t p = region.parameter_names.size();
             py::array_t<double> matrix({p, p});
             std::copy(region.covariance.begin(), region.covariance.end(), matrix.mutable_data());
             return matrix;
           })
      .def("parameter_names",
           [](const SpectrumFitResult& r, py::ssize_t index) {
             return region_number(r, index).parameter_names;
           })
      .def("evaluate",
           [](const SpectrumFitResult& r, const Samples& x) {
             return at_each(x, [&](double v) { return r.evaluate(v); });
           })
      .def("evaluate_background",
           [](const SpectrumFitResult& r, const Samples& x) {
             return at_each(x, [&](double v) { return r.evaluate_background(v); });
           })
      .def("evaluate_peak", [](const SpectrumFitResult& r, std::size_t index, const Samples& x) {
        return at_each(x, [&](double v) { return r.evaluate_peak(index, v); });
      });

  m.def("first_stray", &first_stray, py::arg("values"), py::arg("lo"), py::arg("hi"));
  m.def("check_spectrum", &check_spectrum, py::arg("x"), py::arg("y"), py::arg("sigma"),
        py::arg("counts"));

  m.def(
      "find_peaks",
      [](const Samples& x, const Samples& y, const std::optional<Samples>& sigma, bool counts,
         std::optional<double> fwhm, double threshold) {
        const SpectrumFit fitter = spectrum_fit(
            "linear", LineSettings{"gaussian", "free", std::nullopt, {}}, fwhm, threshold,
            std::nullopt, SpectrumFit::default_max_iterations, SpectrumFit::default_accuracy);
        std::vector<FoundPeak> found;
        {
          py::gil_scoped_release unlocked;
          found = fitter.find_peaks(spectrum_of(x, y, sigma, counts));
        }
        py::array_t<double> table({found.size(), std::size_t{5}});
        auto out = table.mutable_unchecked<2>();
        for (std::size_t i = 0; i < found.size(); ++i) {
          const FoundPeak& f = found[i];
          const double values[5] = {f.mean, f.amplitude, f.sigma, f.fwhm, f.significance};
          for (py::ssize_t j = 0; j < 5; ++j) out(static_cast<py::ssize_t>(i), j) = values[j];
        }
        return table;
      },
      py::arg("x"), py::arg("y"), py::arg("sigma"), py::arg("counts"), py::arg("fwhm"),
      py::arg("threshold"));

  m.def(
      "fit_peaks",
      [](const Samples& x, const Samples& y, const std::optional<Samples>& sigma, bool counts,
         const std::optional<Samples>& positions, const std::optional<Samples>& starts,
         const std::string& background, const LineSettings& line_settings,
         std::optional<double> fwhm, double threshold,
         std::optional<std::pair<double, double>> window, int max_iterations, double accuracy,
         std::optional<double> live_time, const std::optional<Blank>& blank, int workers) {
        SpectrumFit fitter = spectrum_fit(background, line_settings, fwhm, threshold, window,
                                          max_iterations, accuracy);
        fitter.set_threads(workers);
        SpectrumData data = spectrum_of(x, y, sigma, counts);
        data.live_time = live_time.value_or(kUnknownLiveTime);
        std::optional<SpectrumData> blank_data;
        if (blank) {
          const auto& [blank_x, blank_y, blank_sigma, blank_live_time] = *blank;
          blank_data = spectrum_of(blank_x, blank_y, blank_sigma, counts);
          blank_data->live_time = blank_live_time.value_or(kUnknownLiveTime);
        }
        std::vector<double> given;
        if (positions) given.assign(positions->data(), positions->data() + positions->size());
        std::vector<FoundPeak> found;
        if (starts) {
          const auto rows = starts->unchecked<2>();
          for (py::ssize_t i = 0; i < rows.shape(0); ++i) {
            found.push_back({rows(i, 0), rows(i, 1), rows(i, 2), 0.0, 0.0});
          }
        }
        py::gil_scoped_release unlocked;
        std::pair<SpectrumFitResult, std::optional<SpectrumFitResult>> fitted;
        if (starts) {
          fitted.first = fitter.fit(data, found);
        } else if (positions) {
          fitted.first = fitter.fit(data, given);
        } else {
          fitted.first = fitter.fit(data);
        }
        if (blank_data && fitted.first.status == 0) {
          fitted.second = fitter.subtract_blank(fitted.first, *blank_data);
        }
        return fitted;
      },
      py::arg("x"), py::arg("y"), py::arg("sigma"), py::arg("counts"), py::arg("positions"),
      py::arg("starts"), py::arg("background"), py::arg("lines"), py::arg("fwhm"),
      py::arg("threshold"), py::arg("window"), py::arg("max_iterations"), py::arg("accuracy"),
      py::arg("live_time"), py::arg("blank"), py::arg("workers"));
}

}  // namespace vesk::python
