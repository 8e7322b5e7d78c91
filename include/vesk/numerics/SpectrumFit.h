#ifndef VESK_NUMERICS_SPECTRUMFIT_H
#define VESK_NUMERICS_SPECTRUMFIT_H

/// @file
/// Every peak of a measured spectrum: search, multiplets on a background, net areas with their
/// uncertainties, for unweighted, weighted or Poisson-distributed data.

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

#include "vesk/numerics/SpectrumFitResult.h"
#include "vesk/numerics/export.h"

namespace vesk::numerics {

/// A measured spectrum, as views of the caller's arrays (nothing is copied or owned): x in
/// increasing or decreasing order, y, and for Statistics::weighted the per-point standard
/// deviations in `sigma` (> 0). For Statistics::poisson y are counts (>= 0).
struct SpectrumData {
  const double* x = nullptr;      ///< Positions, in x units, sorted either way.
  const double* y = nullptr;      ///< Values (counts for Statistics::poisson), in y units.
  const double* sigma = nullptr;  ///< Standard deviations of y, read for Statistics::weighted.
  std::size_t size = 0;           ///< Number of points in each array.
  Statistics statistics = Statistics::unweighted;  ///< How y is compared with the model.
  /// The measurement's live time in seconds, which turns net counts into rates; NaN (or any
  /// value that is not positive and finite) when unknown, and the rates are NaN.
  double live_time = std::numeric_limits<double>::quiet_NaN();
};

/// What makes a spectrum's values unusable.
enum class DataFault {
  none,                ///< Usable.
  missing_array,       ///< x, y or (Statistics::weighted) sigma is null while size > 0.
  non_finite_x,        ///< An x that is NaN or infinite.
  non_finite_y,        ///< A y that is NaN or infinite.
  non_finite_error,    ///< Statistics::weighted: a sigma that is NaN or infinite.
  non_positive_error,  ///< Statistics::weighted: a sigma of 0 or below.
  negative_count,      ///< Statistics::poisson: a y below 0.
  x_out_of_order,      ///< x neither increasing nor decreasing throughout.
  x_constant,          ///< Every x the same.
};

/// A fault of a spectrum's values and the point where it lies.
struct DataFaultAt {
  DataFault fault = DataFault::none;  ///< What is wrong, or DataFault::none.
  std::size_t index = 0;  ///< The point at fault; for x_out_of_order the first out of order.
};

/// The first fault of @p data's values: point by point (x, y, then the error or count that the
/// statistics read), then the order of x and its span. `fit` and `find_peaks` refuse data with
/// any fault, and data of fewer than 3 points.
VESK_NUMERICS_EXPORT DataFaultAt find_data_fault(const SpectrumData& data) noexcept;

/// A peak found by the search, with start values for a fit.
struct FoundPeak {
  double mean;          ///< Refined position, in x units.
  double amplitude;     ///< Height above the local background, in y units.
  double sigma;         ///< Width estimate, in x units.
  double fwhm;          ///< 2 sqrt(2 ln 2) sigma.
  double significance;  ///< Minus the smoothed second derivative over its standard deviation.
};

/// Finds and fits the lines of a spectrum.
///
/// The search smooths the second derivative with Savitzky-Golay derivative weights as wide as the
/// peaks, and takes the local maxima of its significance -d2 / sigma(d2) above the threshold;
/// sigma(d2) comes from the statistics (counts: var y = y; weighted: the given sigma; unweighted:
/// a robust estimate of the noise from the data); maxima narrower than a channel (sigma) or a
/// quarter of the common width are taken for noise. The fit groups peaks closer than a few FWHM
/// into regions reaching a few FWHM beyond their outer peaks, each with its own background, and
/// fits every region by Levenberg-Marquardt; lines that the fit of a region leaves significant in
/// its residuals are added and the region fitted again. A found line whose fitted area is below
/// a hundredth of its error (its height gone to zero, or its area undetermined) is no line: it is
/// taken out and its region fitted again without it; a region left without lines is dropped,
/// unless it is the window. With a window set, all peaks are fitted as one region over exactly the
/// points in [lo, hi].
///
/// Lines have the profile of the LineShape set (Gaussian by default); their widths are free,
/// shared within a region, or follow the detector's resolution (WidthMode), and the shape
/// parameters may be held at values. Whatever the mode, a line whose own width comes out
/// narrower than the spacing of its points is fitted again with its width tied to its region's
/// other lines, or to the resolution, and says so (SpectrumPeak::width_tied).
///
/// A new object holds: Gaussian lines, linear background, free widths, FWHM estimated from the
/// data, threshold 5, no window, 50 iterations, accuracy 1e-8, no parameter held. All fits are
/// const and may run in any number of threads at once; they never throw for bad data, but report
/// through the statuses of the result and its regions.
class SpectrumFit {
 public:
  static constexpr double default_threshold = 5.0;   ///< A new object's search threshold.
  static constexpr int default_max_iterations = 50;  ///< A new object's iteration budget.
  static constexpr double default_accuracy = 1e-8;   ///< A new object's solver tolerance.

  /// Finds the peaks of @p data, sorted by mean; empty for bad data or when none passes.
  VESK_NUMERICS_EXPORT std::vector<FoundPeak> find_peaks(const SpectrumData& data) const;

  /// Searches @p data for peaks and fits them all. Tailed lines hold the tail and step that the
  /// spectrum's strong lines measured (the medians of their regions' fits, each weighted
  /// 1 / max(1, chisq / dof); errors 0) in a region whose lines are too weak to measure them, and
  /// in one whose fit with them free runs out of its budget though its lines are there (held at
  /// their start values they lower chisq as a line of the threshold's significance would).
  VESK_NUMERICS_EXPORT SpectrumFitResult fit(const SpectrumData& data) const;

  /// Fits peaks near the given approximate @p positions (x units) instead of searching. Without
  /// a FWHM set or a window, lines start with the width estimated from the spectrum's strongest
  /// lines; a line that a Gaussian fit finds 1.5 times wider or more starts again with the width
  /// it was found to have, in a region that reaches as far beyond it as that width calls for.
  /// Regions of tailed lines reach 7 FWHM beyond their outer lines (other shapes 2.5), so that
  /// the background shows below the tail and on both sides of the step.
  /// A line the data do not hold (its region's fit does not converge with it, or it comes out
  /// more than four times narrower or wider than it started, or outside its region) is taken
  /// out and its region fitted again without it; it is reported held at its position and
  /// starting width (errors of mean, sigma and fwhm 0), with the net counts of its channels
  /// (data less background, within 1.25 FWHM) as its area, and significant only if those exceed
  /// the critical level. The region's covariance then holds the lines that were fitted. The
  /// same holds for the overload with start values.
  VESK_NUMERICS_EXPORT SpectrumFitResult fit(const SpectrumData& data,
                                             const std::vector<double>& positions) const;

  /// Fits the peaks the search found (or any list of start values) without searching again.
  VESK_NUMERICS_EXPORT SpectrumFitResult fit(const SpectrumData& data,
                                             const std::vector<FoundPeak>& peaks) const;

  /// Fits @p blank (a blank sample's or the shielded detector's spectrum, with its own live
  /// time) at the means of the lines of @p sample, without searching, with these settings, and
  /// sets every sample line's net_rate to its rate minus the blank line's rate (each over its
  /// own live time) and net_rate_err to both errors combined in quadrature. Lines of failed
  /// regions, lines outside the blank's data (or the window), and lines whose partner in the
  /// blank failed keep NaN. Returns the blank's fit, its peaks in the order of the sample
  /// lines' sorted means; its status says why a blank that cannot be fitted was not.
  VESK_NUMERICS_EXPORT SpectrumFitResult subtract_blank(SpectrumFitResult& sample,
                                                        const SpectrumData& blank) const;

  /// The background of every region.
  void set_background(Background background) { background_ = background; }
  /// The background of every region.
  Background get_background() const { return background_; }

  /// The profile of every line.
  void set_shape(LineShape shape) { shape_ = shape; }
  /// The profile of every line.
  LineShape get_shape() const { return shape_; }

  /// Where the lines' widths come from.
  void set_width(WidthMode width) { width_ = width; }
  /// Where the lines' widths come from.
  WidthMode get_width() const { return width_; }

  /// Whether the peaks of a region share their widths (a multiplet seen by one detector): true
  /// selects WidthMode::shared, false leaves another mode as it is and turns shared into free.
  void set_same_width(bool same_width) {
    if (same_width) width_ = WidthMode::shared;
    if (!same_width && width_ == WidthMode::shared) width_ = WidthMode::free;
  }
  /// Whether the peaks of a region share their widths (WidthMode::shared).
  bool get_same_width() const { return width_ == WidthMode::shared; }

  /// The detector's resolution for WidthMode::resolution, FWHM(x)^2 = w0 + w1 x + w2 x^2 in x
  /// units: imposed on every line instead of being fitted from the spectrum. Coefficients that
  /// give no positive FWHM over the data make the fit refuse the spectrum (GSL_EINVAL).
  void set_resolution(double w0, double w1, double w2) { resolution_ = {{w0, w1, w2}}; }
  /// Back to a resolution fitted from the spectrum's well-determined lines.
  void clear_resolution() { resolution_.reset(); }
  /// The given resolution coefficients, if any.
  std::optional<std::array<double, 3>> get_resolution() const { return resolution_; }

  /// Holds @p parameter at @p value for every line or region, instead of fitting it. A value
  /// outside the parameter's domain (see in_domain) makes every fit refuse the spectrum with
  /// GSL_EINVAL; a parameter that the shape does not have is ignored.
  void set_fixed(ShapeParameter parameter, double value) {
    fixed_[static_cast<std::size_t>(parameter)] = value;
  }
  /// Fits @p parameter again.
  void clear_fixed(ShapeParameter parameter) {
    fixed_[static_cast<std::size_t>(parameter)].reset();
  }
  /// The value @p parameter is held at, if it is.
  std::optional<double> get_fixed(ShapeParameter parameter) const {
    return fixed_[static_cast<std::size_t>(parameter)];
  }

  /// The peaks' FWHM in x units, for the search and the start values; 0 or less, or NaN,
  /// estimates it from the data.
  void set_fwhm(double fwhm) { fwhm_ = fwhm; }
  /// The FWHM in x units; 0 or less, or NaN, means estimated from the data.
  double get_fwhm() const { return fwhm_; }

  /// The least significance of a peak the search reports.
  void set_threshold(double threshold) { threshold_ = threshold; }
  /// The least significance of a peak the search reports.
  double get_threshold() const { return threshold_; }

  /// Fits everything as one region over exactly the points with lo <= x <= hi.
  void set_window(double lo, double hi) {
    window_lo_ = lo;
    window_hi_ = hi;
    has_window_ = true;
  }
  /// Back to regions around the peaks.
  void clear_window() { has_window_ = false; }
  /// Whether a window is set.
  bool has_window() const { return has_window_; }
  /// The window's lower end, in x units.
  double get_window_lo() const { return window_lo_; }
  /// The window's upper end, in x units.
  double get_window_hi() const { return window_hi_; }

  /// The solver's iteration budget per region; zero or negative values select 50.
  void set_max_iterations(int max_iterations) {
    max_iterations_ = max_iterations > 0 ? max_iterations : default_max_iterations;
  }
  /// The solver's iteration budget per region.
  int get_max_iterations() const { return max_iterations_; }

  /// The solver's step and gradient tolerance, clamped to [1e-12, 0.01].
  VESK_NUMERICS_EXPORT void set_accuracy(double accuracy);
  /// The solver's step and gradient tolerance.
  double get_accuracy() const { return accuracy_; }

  /// How many threads one fit may use, counting the caller's: the search's smoothings and the
  /// regions are shared among them. Results are the same to the last bit whatever the number;
  /// values below 1 select 1, the default (callers that fit many spectra at once usually
  /// spread the spectra over their threads instead). The helper threads belong to the calling
  /// thread: started by its first fit that shares work, they sleep between its fits and end
  /// when it ends.
  void set_threads(int threads) { threads_ = threads > 1 ? threads : 1; }
  /// How many threads one fit may use.
  int get_threads() const { return threads_; }

 private:
  Background background_ = Background::linear;
  LineShape shape_ = LineShape::gaussian;
  WidthMode width_ = WidthMode::free;
  std::optional<std::array<double, 3>> resolution_;
  std::array<std::optional<double>, 5> fixed_;
  bool has_window_ = false;
  int max_iterations_ = default_max_iterations;
  double fwhm_ = 0.0;
  double threshold_ = default_threshold;
  double window_lo_ = 0.0;
  double window_hi_ = 0.0;
  double accuracy_ = default_accuracy;
  int threads_ = 1;
};

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_SPECTRUMFIT_H
