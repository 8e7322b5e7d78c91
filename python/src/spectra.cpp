// The binding of the spectrum engine: find_peaks, fit_peaks and the fitted spectrum's record.
// The package's Python layer checks the arguments and names the bad one; here the arrays reach
// the library with the GIL released, and the results come back as plain numeric tables.
#include "spectra.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "threads.h"
#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/SpectrumFitResult.h"

namespace py = pybind11;
using vesk::numerics::Background;
using vesk::numerics::FoundPeak;
using vesk::numerics::SpectrumData;
using vesk::numerics::SpectrumFit;
using vesk::numerics::SpectrumFitResult;
using vesk::numerics::SpectrumPeak;
using vesk::numerics::SpectrumRegion;
using vesk::numerics::Statistics;

namespace vesk::python {

namespace {

using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;

Background background_named(const std::string& name) {
  if (const auto background = vesk::numerics::background_named(name)) return *background;
  throw py::value_error(
      "background must be one of none, constant, linear, quadratic, "
      "exponential; got '" +
      name + "'");
}

// The spectrum as the library reads it: views of the arrays, which the caller keeps alive.
SpectrumData spectrum_of(const Samples& x, const Samples& y, const std::optional<Samples>& sigma,
                         bool counts) {
  SpectrumData data;
  data.x = x.data();
  data.y = y.data();
  data.size = static_cast<std::size_t>(std::min(x.size(), y.size()));
  if (sigma) {
    data.sigma = sigma->data();
    data.statistics = Statistics::weighted;
  } else if (counts) {
    data.statistics = Statistics::poisson;
  }
  return data;
}

py::array_t<double> peak_table(const SpectrumFitResult& result) {
  constexpr std::size_t kColumns = 10;
  py::array_t<double> table({result.peaks.size(), kColumns});
  auto out = table.mutable_unchecked<2>();
  for (std::size_t i = 0; i < result.peaks.size(); ++i) {
    const SpectrumPeak& p = result.peaks[i];
    const double values[kColumns] = {p.amplitude, p.amplitude_err, p.mean, p.mean_err,
                                     p.sigma,     p.sigma_err,     p.fwhm, p.fwhm_err,
                                     p.area,      p.area_err};
    for (std::size_t j = 0; j < kColumns; ++j) {
      out(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(j)) = values[j];
    }
  }
  return table;
}

py::tuple region_table(const SpectrumFitResult& result) {
  constexpr std::size_t kNumbers = 11;
  constexpr std::size_t kCounts = 4;
  const std::size_t n = result.regions.size();
  py::array_t<double> numbers({n, kNumbers});
  py::array_t<long long> counts({n, kCounts});
  py::list texts;
  auto number = numbers.mutable_unchecked<2>();
  auto count = counts.mutable_unchecked<2>();
  for (std::size_t i = 0; i < n; ++i) {
    const SpectrumRegion& r = result.regions[i];
    const double values[kNumbers] = {r.lo, r.hi,     r.b0,    r.b0_err,    r.b1, r.b1_err,
                                     r.b2, r.b2_err, r.chisq, r.chisq_dof, 0.0};
    const long long integers[kCounts] = {static_cast<long long>(r.points), r.dof, r.status,
                                         r.iterations};
    const auto row = static_cast<py::ssize_t>(i);
    for (std::size_t j = 0; j < kNumbers; ++j) number(row, static_cast<py::ssize_t>(j)) = values[j];
    for (std::size_t j = 0; j < kCounts; ++j) count(row, static_cast<py::ssize_t>(j)) = integers[j];
    texts.append(r.status_str);
  }
  return py::make_tuple(numbers, counts, texts);
}

std::vector<long long> peak_regions(const SpectrumFitResult& result) {
  std::vector<long long> regions;
  for (const SpectrumPeak& p : result.peaks) regions.push_back(static_cast<long long>(p.region));
  return regions;
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

SpectrumFit spectrum_fit(const std::string& background, bool same_width, std::optional<double> fwhm,
                         double threshold, std::optional<std::pair<double, double>> window,
                         int max_iterations, double accuracy) {
  SpectrumFit fitter;
  fitter.set_background(background_named(background));
  fitter.set_same_width(same_width);
  fitter.set_fwhm(fwhm.value_or(0.0));
  fitter.set_threshold(threshold);
  if (window) fitter.set_window(window->first, window->second);
  fitter.set_max_iterations(max_iterations);
  fitter.set_accuracy(accuracy);
  return fitter;
}

namespace {

// The numbers of one peak in a batch row, in the order of the package's PEAK_DTYPE, then its
// region's chi-square.
constexpr std::size_t kBatchNumbers = 11;
// The peak's region index, the region's degrees of freedom and its status.
constexpr std::size_t kBatchCounts = 3;

void write_batch_peak(const SpectrumFitResult& result, std::size_t index, double* numbers,
                      long long* counts) {
  const SpectrumPeak& p = result.peaks[index];
  const SpectrumRegion& r = result.regions[p.region];
  const double values[kBatchNumbers] = {p.amplitude, p.amplitude_err, p.mean, p.mean_err,
                                        p.sigma,     p.sigma_err,     p.fwhm, p.fwhm_err,
                                        p.area,      p.area_err,      r.chisq};
  std::copy(values, values + kBatchNumbers, numbers);
  counts[0] = static_cast<long long>(p.region);
  counts[1] = r.dof;
  counts[2] = r.status;
}

// Fits the same lines in every row of ys (rows x channels) against the shared x, in `workers`
// threads with the GIL released; row i is what fit_peaks gives for ys[i]. Columns follow the
// positions as given. Returns the numbers (rows x lines x kBatchNumbers), the counts (rows x
// lines x kBatchCounts) and the text of every status seen.
py::tuple fit_peaks_many(const Samples& x, const Samples& ys, const std::optional<Samples>& sigmas,
                         bool counts, const Samples& positions, const std::string& background,
                         bool same_width, std::optional<double> fwhm,
                         std::optional<std::pair<double, double>> window, int max_iterations,
                         double accuracy, int workers) {
  const SpectrumFit fitter =
      spectrum_fit(background, same_width, fwhm, SpectrumFit::default_threshold, window,
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
  py::array_t<double> numbers({rows, lines, kBatchNumbers});
  py::array_t<long long> integers({rows, lines, kBatchCounts});
  std::fill_n(numbers.mutable_data(), numbers.size(), std::numeric_limits<double>::quiet_NaN());
  std::fill_n(integers.mutable_data(), integers.size(), -1LL);
  std::vector<std::map<int, std::string>> texts(static_cast<std::size_t>(std::max(workers, 1)));
  {
    py::gil_scoped_release unlocked;
    double* number_data = numbers.mutable_data();
    long long* count_data = integers.mutable_data();
    const auto fit_rows = [&](std::size_t first, std::size_t step) {
      for (std::size_t row = first; row < rows; row += step) {
        SpectrumData data{x.data(), ys.data() + row * channels,
                          sigmas ? sigmas->data() + row * channels : nullptr, channels,
                          Statistics::unweighted};
        if (sigmas) data.statistics = Statistics::weighted;
        if (counts) data.statistics = Statistics::poisson;
        const SpectrumFitResult result = fitter.fit(data, given);
        for (const SpectrumRegion& region : result.regions) {
          texts[first][region.status] = region.status_str;
        }
        for (std::size_t j = 0; j < result.peaks.size() && j < lines; ++j) {
          const std::size_t cell = row * lines + column_of[j];
          write_batch_peak(result, j, number_data + cell * kBatchNumbers,
                           count_data + cell * kBatchCounts);
        }
      }
    };
    run_in_threads(std::min<std::size_t>(static_cast<std::size_t>(std::max(workers, 1)), rows),
                   fit_rows);
  }
  std::map<int, std::string> text_of_status;
  for (const auto& seen : texts) text_of_status.insert(seen.begin(), seen.end());
  return py::make_tuple(numbers, integers, text_of_status);
}

}  // namespace

void bind_spectra(py::module_& m) {
  m.def("fit_peaks_many", &fit_peaks_many, py::arg("x"), py::arg("ys"), py::arg("sigmas"),
        py::arg("counts"), py::arg("positions"), py::arg("background"), py::arg("same_width"),
        py::arg("fwhm"), py::arg("window"), py::arg("max_iterations"), py::arg("accuracy"),
        py::arg("workers"));
  py::class_<SpectrumFitResult>(m, "SpectrumFitResult")
      .def_property_readonly("background",
                             [](const SpectrumFitResult& r) {
                               return std::string(vesk::numerics::background_name(r.background));
                             })
      .def_readonly("status", &SpectrumFitResult::status)
      .def_readonly("status_str", &SpectrumFitResult::status_str)
      .def("peak_table", &peak_table)
      .def("peak_regions", &peak_regions)
      .def("region_table", &region_table)
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

  m.def(
      "find_peaks",
      [](const Samples& x, const Samples& y, const std::optional<Samples>& sigma, bool counts,
         std::optional<double> fwhm, double threshold) {
        const SpectrumFit fitter =
            spectrum_fit("linear", false, fwhm, threshold, std::nullopt,
                         SpectrumFit::default_max_iterations, SpectrumFit::default_accuracy);
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
         const std::string& background, bool same_width, std::optional<double> fwhm,
         double threshold, std::optional<std::pair<double, double>> window, int max_iterations,
         double accuracy) {
        const SpectrumFit fitter =
            spectrum_fit(background, same_width, fwhm, threshold, window, max_iterations, accuracy);
        const SpectrumData data = spectrum_of(x, y, sigma, counts);
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
        if (starts) return fitter.fit(data, found);
        if (positions) return fitter.fit(data, given);
        return fitter.fit(data);
      },
      py::arg("x"), py::arg("y"), py::arg("sigma"), py::arg("counts"), py::arg("positions"),
      py::arg("starts"), py::arg("background"), py::arg("same_width"), py::arg("fwhm"),
      py::arg("threshold"), py::arg("window"), py::arg("max_iterations"), py::arg("accuracy"));
}

}  // namespace vesk::python
