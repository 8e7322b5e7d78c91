// The spectrum engine's line shapes, timed for shapes_bench.py, one JSON line per fit.
//
//   compare_shapes spectrum FILE
//     searches and fits the counts in FILE (two columns: x, counts) with every line shape and
//     prints, per shape, the median time of the whole fit and how many lines and failed regions
//     it gave.
//   compare_shapes window SHAPE LO HI FWHM FILE POSITION...
//     fits the unweighted data in FILE over [LO, HI] as one region with a linear background and
//     lines of SHAPE started at the given positions with the given FWHM, and prints the median
//     time, the region's chisq and status, its background and every line's parameters.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "timing.h"
#include "vesk/numerics/SpectrumFit.h"

namespace {

using vesk::numerics::LineShape;
using vesk::numerics::SpectrumData;
using vesk::numerics::SpectrumFit;
using vesk::numerics::SpectrumFitResult;
using vesk::numerics::Statistics;

// The fits are several milliseconds long: a second of runs gives a steady median.
constexpr double kBudgetSeconds = 1.0;

int spectrum(const char* path) {
  const vesk::bench::Columns data = vesk::bench::read_columns(path);
  const SpectrumData counts{data.x.data(), data.y.data(), nullptr, data.x.size(),
                            Statistics::poisson};
  for (LineShape shape : {LineShape::gaussian, LineShape::tailed, LineShape::pseudo_voigt,
                          LineShape::voigt, LineShape::lorentzian}) {
    SpectrumFit fitter;
    fitter.set_shape(shape);
    SpectrumFitResult result;
    const double microseconds =
        vesk::bench::median_microseconds([&] { result = fitter.fit(counts); }, 7, kBudgetSeconds);
    std::size_t failed = 0;
    for (const auto& region : result.regions) failed += region.ok() ? 0 : 1;
    std::printf(
        "{\"shape\": \"%s\", \"ms\": %.6g, \"lines\": %zu, \"regions\": %zu, "
        "\"failed_regions\": %zu, \"status\": %d}\n",
        vesk::numerics::line_shape_name(shape), microseconds * 1e-3, result.peaks.size(),
        result.regions.size(), failed, result.status);
  }
  return 0;
}

void print_number(const char* name, double value, const char* separator = ", ") {
  // JSON has no NaN: a missing value is null.
  if (value == value) {
    std::printf("\"%s\": %.17g%s", name, value, separator);
  } else {
    std::printf("\"%s\": null%s", name, separator);
  }
}

int window(int argc, char** argv) {
  const std::optional<LineShape> shape = vesk::numerics::line_shape_named(argv[2]);
  if (!shape) return 2;
  const double lo = std::atof(argv[3]);
  const double hi = std::atof(argv[4]);
  const double fwhm = std::atof(argv[5]);
  const vesk::bench::Columns data = vesk::bench::read_columns(argv[6]);
  std::vector<double> positions;
  for (int i = 7; i < argc; ++i) positions.push_back(std::atof(argv[i]));
  const SpectrumData points{data.x.data(), data.y.data(), nullptr, data.x.size(),
                            Statistics::unweighted};
  SpectrumFit fitter;
  fitter.set_shape(*shape);
  fitter.set_window(lo, hi);
  fitter.set_fwhm(fwhm);
  SpectrumFitResult result;
  const double microseconds =
      vesk::bench::median_microseconds([&] { result = fitter.fit(points, positions); });
  if (result.regions.size() != 1) return 1;
  const auto& region = result.regions[0];
  std::printf("{\"us\": %.6g, \"status\": %d, \"iterations\": %d, ", microseconds, region.status,
              region.iterations);
  print_number("chisq", region.chisq);
  print_number("b0", region.b0);
  print_number("b1", region.b1);
  std::printf("\"lines\": [");
  for (std::size_t k = 0; k < result.peaks.size(); ++k) {
    const auto& line = result.peaks[k];
    std::printf("%s{", k == 0 ? "" : ", ");
    print_number("amplitude", line.amplitude);
    print_number("mean", line.mean);
    print_number("sigma", line.sigma);
    print_number("gamma", line.gamma);
    print_number("eta", line.eta);
    print_number("fwhm", line.fwhm);
    print_number("area", line.area, "}");
  }
  std::printf("]}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "spectrum") == 0) return spectrum(argv[2]);
  if (argc >= 8 && std::strcmp(argv[1], "window") == 0) return window(argc, argv);
  std::fprintf(stderr,
               "usage: compare_shapes spectrum FILE\n"
               "       compare_shapes window SHAPE LO HI FWHM FILE POSITION...\n");
  return 2;
}
