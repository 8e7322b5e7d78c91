// The binding of the HTML report: the package's PeakFit.to_html checks the arguments and hands
// over the texts as bytes; the page is built and written with the GIL released, by the same
// library as the program's `peaks --html`.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "peak_fits.h"
#include "vesk/report/html_report.h"

namespace py = pybind11;

namespace vesk::python {

namespace {

using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Window = std::optional<std::pair<double, double>>;

// The fit's settings as PeakFit keeps them: background, same_width, fwhm, threshold, window,
// max_iterations, accuracy and the positions given (None when the lines were searched).
using Settings = std::tuple<std::string, LineSettings, std::optional<double>, double, Window, int,
                            double, std::optional<std::vector<double>>>;

// The measurement as PeakFit.to_html hands it over: file, format, calibration and version as
// bytes, the times in seconds or None, and further facts as pairs of bytes.
struct Measurement {
  std::string file, format, calibration, version;
  std::optional<double> live_time, real_time;
  std::vector<std::pair<std::string, std::string>> metadata;
};

report::ReportFacts facts_of(const Settings& settings, const Measurement& measurement,
                             const std::string& x_label, const std::string& y_label) {
  const auto& [background, lines, fwhm, threshold, window, max_iterations, accuracy, positions] =
      settings;
  report::ReportFacts facts;
  report::describe_fit(
      spectrum_fit(background, lines, fwhm, threshold, window, max_iterations, accuracy),
      positions.value_or(std::vector<double>{}), facts);
  facts.file = measurement.file;
  facts.format = measurement.format;
  facts.calibration = measurement.calibration;
  facts.version = measurement.version;
  facts.live_time = measurement.live_time;
  facts.real_time = measurement.real_time;
  facts.metadata = measurement.metadata;
  facts.x_label = x_label;
  facts.y_label = y_label;
  return facts;
}

void write_report(const std::string& path, const numerics::SpectrumFitResult& result,
                  const Samples& x, const Samples& y, const std::optional<Samples>& sigma,
                  const Settings& settings, const Measurement& measurement,
                  const std::string& x_label, const std::string& y_label) {
  const report::ReportFacts facts = facts_of(settings, measurement, x_label, y_label);
  numerics::SpectrumData data{x.data(), y.data(), sigma ? sigma->data() : nullptr,
                              static_cast<std::size_t>(x.size()), result.statistics};
  // A file that cannot be written raises RuntimeError, which the package turns into OSError.
  py::gil_scoped_release unlocked;
  report::write_html_report(path, data, result, facts);
}

}  // namespace

void bind_report(py::module_& m) {
  m.def(
      "write_report",
      [](py::bytes path, const numerics::SpectrumFitResult& result, const Samples& x,
         const Samples& y, const std::optional<Samples>& sigma, const Settings& settings,
         py::bytes file, py::bytes format, py::bytes calibration, std::optional<double> live_time,
         std::optional<double> real_time,
         const std::vector<std::pair<py::bytes, py::bytes>>& metadata, py::bytes x_label,
         py::bytes y_label, const std::string& version) {
        Measurement measurement{file, format, calibration, version, live_time, real_time, {}};
        for (const auto& [name, value] : metadata) measurement.metadata.emplace_back(name, value);
        write_report(path, result, x, y, sigma, settings, measurement, x_label, y_label);
      },
      py::arg("path"), py::arg("result"), py::arg("x"), py::arg("y"), py::arg("sigma"),
      py::arg("settings"), py::arg("file"), py::arg("format"), py::arg("calibration"),
      py::arg("live_time"), py::arg("real_time"), py::arg("metadata"), py::arg("x_label"),
      py::arg("y_label"), py::arg("version"));
}

}  // namespace vesk::python
