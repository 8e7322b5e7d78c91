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
#include <algorithm>
#include <chrono>
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

// The fits are several milliseconds long: five seconds of rounds give steady medians.
constexpr double kBudgetSeconds = 5.0;
constexpr int kLeastRounds = 7;

// Each shape's median time, the shapes taking turns: round after round, one fit of each. The
// ratios to the Gaussian are what is compared, and a machine whose speed drifts (other jobs, a
// VM's neighbours) then slows all of them alike instead of whichever ran at the time.
int spectrum(const char* path) {
  using Clock = std::chrono::steady_clock;
  const vesk::bench::Columns data = vesk::bench::read_columns(path);
  const SpectrumData counts{data.x.data(), data.y.data(), nullptr, data.x.size(),
                            Statistics::poisson};
  const std::vector<LineShape> shapes{LineShape::gaussian, LineShape::tailed,
                                      LineShape::pseudo_voigt, LineShape::voigt,
                                      LineShape::lorentzian};
  std::vector<SpectrumFitResult> results(shapes.size());
  std::vector<std::vector<double>> milliseconds(shapes.size());
  const auto start = Clock::now();
  for (int round = 0; round < kLeastRounds ||
                      std::chrono::duration<double>(Clock::now() - start).count() < kBudgetSeconds;
       ++round) {
    for (std::size_t s = 0; s < shapes.size(); ++s) {
      SpectrumFit fitter;
      fitter.set_shape(shapes[s]);
      const auto before = Clock::now();
      results[s] = fitter.fit(counts);
      milliseconds[s].push_back(
          std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    }
  }
  for (std::size_t s = 0; s < shapes.size(); ++s) {
    std::vector<double>& times = milliseconds[s];
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    std::size_t failed = 0;
    for (const auto& region : results[s].regions) failed += region.ok() ? 0 : 1;
    std::printf(
        "{\"shape\": \"%s\", \"ms\": %.6g, \"lines\": %zu, \"regions\": %zu, "
        "\"failed_regions\": %zu, \"status\": %d}\n",
        vesk::numerics::line_shape_name(shapes[s]), times[times.size() / 2],
        results[s].peaks.size(), results[s].regions.size(), failed, results[s].status);
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
