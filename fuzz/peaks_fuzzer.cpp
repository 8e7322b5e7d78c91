// The spectrum engine on arbitrary data and settings: every statistic, background, line shape and
// width mode, a given resolution and held shape parameters of any value, with and without a
// window, searched or at given positions, in one thread or shared among several. It must return
// without crashing; a refused spectrum has no peaks or regions, a fitted region's peaks are
// finite where it completed, and a fit shared among threads equals one thread's to the bit.
#include <gsl/gsl_errno.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "vesk/numerics/SpectrumFit.h"

using vesk::numerics::Background;
using vesk::numerics::LineShape;
using vesk::numerics::ShapeParameter;
using vesk::numerics::SpectrumFit;
using vesk::numerics::SpectrumFitResult;
using vesk::numerics::Statistics;
using vesk::numerics::WidthMode;

namespace {

// At most so many points are fitted, so that one input runs quickly.
constexpr std::size_t kMostPoints = 512;
constexpr int kShapes = 5;
constexpr int kWidthModes = 3;
constexpr std::size_t kShapeParameters = 5;

// The line settings of an input: a byte for the shape (bits 0-2), the width mode (bits 3-4; 0
// leaves the one that the same-width flag chose), whether the resolution is given (bit 5) and how
// many threads one fit may use (bits 6-7: 1 + the value mod 3), a
// byte of the shape parameters held (bit i for ShapeParameter i), then the resolution's three
// coefficients and a value for every shape parameter. All zero is the settings of a new object.
void set_lines(vesk::numerics::fuzzing::FuzzInput& input, SpectrumFit& fitter) {
  const auto lines = input.take<std::uint8_t>();
  const auto held = input.take<std::uint8_t>();
  double resolution[3];
  for (double& w : resolution) w = input.take<double>();
  double values[kShapeParameters];
  for (double& value : values) value = input.take<double>();
  fitter.set_shape(static_cast<LineShape>((lines & 0x07) % kShapes));
  const int width = ((lines >> 3) & 0x03) % kWidthModes;
  if (width != 0) fitter.set_width(static_cast<WidthMode>(width));
  if ((lines & 0x20) != 0) fitter.set_resolution(resolution[0], resolution[1], resolution[2]);
  fitter.set_threads(1 + ((lines >> 6) & 0x03) % 3);
  for (std::size_t k = 0; k < kShapeParameters; ++k) {
    if ((held >> k) & 1U) fitter.set_fixed(static_cast<ShapeParameter>(k), values[k]);
  }
}

void check(const SpectrumFitResult& result) {
  if (result.status != GSL_SUCCESS && (!result.peaks.empty() || !result.regions.empty())) {
    std::abort();
  }
  for (const auto& peak : result.peaks) {
    if (peak.region >= result.regions.size()) std::abort();
    const auto& region = result.regions[peak.region];
    if (region.ok() && !(std::isfinite(peak.mean) && std::isfinite(peak.area) &&
                         std::isfinite(peak.fwhm) && std::isfinite(region.chisq))) {
      std::abort();
    }
  }
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A fit shared among threads gives what one thread gives, to the bit.
void check_same_as_one_thread(const SpectrumFitResult& shared, const SpectrumFitResult& one) {
  bool same = shared.status == one.status && shared.peaks.size() == one.peaks.size() &&
              shared.regions.size() == one.regions.size();
  for (std::size_t k = 0; same && k < one.peaks.size(); ++k) {
    same = same_bits(shared.peaks[k].mean, one.peaks[k].mean) &&
           same_bits(shared.peaks[k].area, one.peaks[k].area) &&
           same_bits(shared.peaks[k].fwhm_err, one.peaks[k].fwhm_err);
  }
  for (std::size_t r = 0; same && r < one.regions.size(); ++r) {
    same = shared.regions[r].status == one.regions[r].status &&
           same_bits(shared.regions[r].chisq, one.regions[r].chisq);
  }
  if (!same) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vesk::numerics::fuzzing::FuzzInput input(data, size);
  const auto flags = input.take<std::uint8_t>();
  const auto fwhm = input.take<double>();
  const auto position = input.take<double>();
  const auto window_lo = input.take<double>();
  const auto window_hi = input.take<double>();
  SpectrumFit fitter;
  fitter.set_same_width((flags & 0x20) != 0);
  set_lines(input, fitter);
  std::vector<double> y = input.rest_as_doubles();
  if (y.size() > kMostPoints) y.resize(kMostPoints);

  // Channels as x, the values as y and as per-point errors, so that bad x, y and errors occur.
  std::vector<double> x(y.size());
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i);
  if ((flags & 0x40) != 0 && !y.empty()) x[y.size() / 2] = y.front();
  const Statistics statistics = static_cast<Statistics>(flags % 3);
  const vesk::numerics::SpectrumData spectrum{x.data(), y.data(), y.data(), y.size(), statistics};

  fitter.set_background(static_cast<Background>((flags >> 2) % 5));
  fitter.set_fwhm(fwhm);
  fitter.set_max_iterations(20);
  if ((flags & 0x80) != 0) fitter.set_window(window_lo, window_hi);
  const SpectrumFitResult searched = fitter.fit(spectrum);
  check(searched);
  if (fitter.get_threads() > 1) {
    SpectrumFit one = fitter;
    one.set_threads(1);
    check_same_as_one_thread(searched, one.fit(spectrum));
  }
  check(fitter.fit(spectrum, std::vector<double>{position, position + 3.0}));
  (void)fitter.find_peaks(spectrum);
  return 0;
}
