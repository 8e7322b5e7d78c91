// The spectrum engine on arbitrary data and settings: every statistic and background, with and
// without a window, searched or at given positions. It must return without crashing; a refused
// spectrum has no peaks or regions, and a fitted region's peaks are finite where it completed.
#include <gsl/gsl_errno.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "vesk/numerics/SpectrumFit.h"

using vesk::numerics::Background;
using vesk::numerics::SpectrumFit;
using vesk::numerics::SpectrumFitResult;
using vesk::numerics::Statistics;

namespace {

// At most so many points are fitted, so that one input runs quickly.
constexpr std::size_t kMostPoints = 512;

void check(const SpectrumFitResult& result) {
  if (result.status != GSL_SUCCESS && (!result.peaks.empty() || !result.regions.empty())) {
    std::abort();
  }
  for (const auto& peak : result.peaks) {
    if (peak.region >= result.regions.size()) std::abort();
    const auto& region = result.regions[peak.region];
    if (region.ok() && !(std::isfinite(peak.mean) && std::isfinite(region.chisq))) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vesk::numerics::fuzzing::FuzzInput input(data, size);
  const auto flags = input.take<std::uint8_t>();
  const auto fwhm = input.take<double>();
  const auto position = input.take<double>();
  const auto window_lo = input.take<double>();
  const auto window_hi = input.take<double>();
  std::vector<double> y = input.rest_as_doubles();
  if (y.size() > kMostPoints) y.resize(kMostPoints);

  // Channels as x, the values as y and as per-point errors, so that bad x, y and errors occur.
  std::vector<double> x(y.size());
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i);
  if ((flags & 0x40) != 0 && !y.empty()) x[y.size() / 2] = y.front();
  const Statistics statistics = static_cast<Statistics>(flags % 3);
  const vesk::numerics::SpectrumData spectrum{x.data(), y.data(), y.data(), y.size(), statistics};

  SpectrumFit fitter;
  fitter.set_background(static_cast<Background>((flags >> 2) % 5));
  fitter.set_same_width((flags & 0x20) != 0);
  fitter.set_fwhm(fwhm);
  fitter.set_max_iterations(20);
  if ((flags & 0x80) != 0) fitter.set_window(window_lo, window_hi);
  check(fitter.fit(spectrum));
  check(fitter.fit(spectrum, std::vector<double>{position, position + 3.0}));
  (void)fitter.find_peaks(spectrum);
  return 0;
}
