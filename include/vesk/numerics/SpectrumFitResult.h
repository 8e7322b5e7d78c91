#ifndef VESK_NUMERICS_SPECTRUMFITRESULT_H
#define VESK_NUMERICS_SPECTRUMFITRESULT_H

/// @file
/// The records of a fitted spectrum: its peaks, the regions they were fitted in, and the
/// background of each region.

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/numerics/export.h"

namespace vesk::numerics {

/// The smooth background under the peaks of a region, in absolute x.
enum class Background : unsigned char {
  none,         ///< no background: 0
  constant,     ///< b0
  linear,       ///< b0 + b1 x
  quadratic,    ///< b0 + b1 x + b2 x^2
  exponential,  ///< b0 exp(-b1 x)
};

/// The name of a background: "none", "constant", "linear", "quadratic" or "exponential".
inline const char* background_name(Background background) {
  constexpr const char* kNames[] = {"none", "constant", "linear", "quadratic", "exponential"};
  return kNames[static_cast<int>(background)];
}

/// The background of that name, if @p name is one of those background_name gives.
inline std::optional<Background> background_named(std::string_view name) {
  for (int kind = 0; kind <= static_cast<int>(Background::exponential); ++kind) {
    if (name == background_name(static_cast<Background>(kind))) {
      return static_cast<Background>(kind);
    }
  }
  return std::nullopt;
}

/// How the measured values are compared with the model.
enum class Statistics : unsigned char {
  /// Unweighted least squares; errors are scaled by sqrt(chisq / dof), so that they reflect the
  /// scatter of the data.
  unweighted,
  /// Least squares weighted by per-point standard deviations; errors are absolute (not scaled).
  weighted,
  /// The values are Poisson counts: the fit minimises the likelihood-ratio statistic
  /// 2 sum(f - y + y ln(y / f)), and errors come from the Fisher information, not scaled.
  poisson,
};

/// One fitted peak A exp(-(x - mean)^2 / (2 sigma^2)) above its region's background. Errors are
/// one standard deviation. In a region whose fit failed every number is NaN.
struct SpectrumPeak {
  double amplitude;      ///< A: height above the background, in y units.
  double amplitude_err;  ///< Error of amplitude.
  double mean;           ///< Centre, in x units.
  double mean_err;       ///< Error of mean.
  double sigma;          ///< Width (standard deviation), in x units; always reported positive.
  double sigma_err;      ///< Error of sigma.
  double fwhm;           ///< Full width at half maximum, 2 sqrt(2 ln 2) sigma, in x units.
  double fwhm_err;       ///< Error of fwhm.
  double area;           ///< Net area A sigma sqrt(2 pi), in y times x units.
  double area_err;       ///< Error of area, from the full covariance of A and sigma.
  std::size_t region;    ///< Index of the region the peak was fitted in.

  /// @name Counts, rates and detection limits
  /// Net counts are the area over the channel width at the line's mean (for counts: the
  /// counts the line adds to the spectrum; otherwise y units summed over channels). The
  /// critical level and the detection limit are Currie's, for false positives and false
  /// negatives of 5 % each (k = 1.645), from the fitted background under the line: with B the
  /// background summed over the channels within +-1.25 FWHM of the mean (inside the line's
  /// region) and sigma_B its standard error from the covariance of the background coefficients,
  /// sigma_0 = sqrt(V + sigma_B^2) is the standard deviation of the net counts of a line that is
  /// not there, L_C = k sigma_0, and
  /// - Statistics::poisson: V = B, and since the variance grows with the line,
  ///   L_D = k^2 + 2 L_C;
  /// - Statistics::weighted: V = the sum of the given variances over those channels;
  /// - Statistics::unweighted: V = their number times the region's chisq / dof (the scatter
  ///   about the fit that also scales the errors);
  ///   for both, noise that does not grow with the signal gives L_D = 2 L_C.
  /// A line whose net counts do not exceed L_C is not detected: report L_D as its upper limit
  /// rather than its fitted area (heights are fitted positive, so the area of a line that is not
  /// there is a bump of noise). Every value is NaN, and significant false, in a region whose fit
  /// failed.
  ///@{
  double counts = std::numeric_limits<double>::quiet_NaN();      ///< Net counts of the line.
  double counts_err = std::numeric_limits<double>::quiet_NaN();  ///< Error of counts.
  /// counts over SpectrumData::live_time, per second; NaN without a live time.
  double rate = std::numeric_limits<double>::quiet_NaN();
  double rate_err = std::numeric_limits<double>::quiet_NaN();         ///< Error of rate.
  double critical_level = std::numeric_limits<double>::quiet_NaN();   ///< L_C, in counts.
  double detection_limit = std::numeric_limits<double>::quiet_NaN();  ///< L_D, in counts.
  /// rate minus the rate of the same line in a blank (see SpectrumFit::subtract_blank), per
  /// second; NaN until a blank is subtracted, or where either rate is unknown.
  double net_rate = std::numeric_limits<double>::quiet_NaN();
  /// Error of net_rate: the errors of both rates combined in quadrature.
  double net_rate_err = std::numeric_limits<double>::quiet_NaN();
  bool significant = false;  ///< Whether counts > critical_level: the line is detected.
  ///@}
};

/// One region of the spectrum: the points in [lo, hi], fitted as background plus peaks.
struct SpectrumRegion {
  double lo;               ///< Smallest x of the region's points.
  double hi;               ///< Largest x of the region's points.
  std::size_t points;      ///< Number of points fitted.
  double b0;               ///< Background coefficient b0 (see Background), for absolute x.
  double b0_err;           ///< Error of b0.
  double b1;               ///< Background coefficient b1; 0 when the background has none.
  double b1_err;           ///< Error of b1.
  double b2;               ///< Background coefficient b2; 0 when the background has none.
  double b2_err;           ///< Error of b2.
  double chisq;            ///< The statistic at the optimum (see Statistics).
  int dof;                 ///< points minus fitted parameters.
  double chisq_dof;        ///< chisq / dof.
  int status;              ///< 0 success, else a GSL status code, or -1 too few points.
  std::string status_str;  ///< Text for status.
  int iterations;          ///< Accepted steps of the solver.
  std::vector<std::string> parameter_names;  ///< The fitted parameters, in covariance order.
  std::vector<double> covariance;            ///< Their covariance matrix, row-major, absolute x.

  /// Whether the fit of this region completed (status 0).
  bool ok() const { return status == 0; }
};

/// All peaks and regions of one spectrum. Regions are sorted by lo; peaks come region by region,
/// sorted by mean when found by the search, in the order of their sorted start positions when
/// given.
class SpectrumFitResult {
 public:
  Background background = Background::linear;      ///< The kind of background of every region.
  Statistics statistics = Statistics::unweighted;  ///< How the data were weighed.
  /// 0 when the input could be fitted; otherwise why not (GSL_EDOM for non-finite or negative
  /// data, GSL_EINVAL for a peak position outside the data, -1 for too few points), and then
  /// there are no peaks or regions.
  int status = 0;
  std::string status_str;               ///< Text for status.
  std::vector<SpectrumPeak> peaks;      ///< Every fitted peak.
  std::vector<SpectrumRegion> regions;  ///< Every region fitted.

  /// The fitted model (background plus peaks) at @p x, or NaN where x lies in no region or in a
  /// region whose fit failed.
  VESK_NUMERICS_EXPORT double evaluate(double x) const;

  /// The fitted background alone at @p x, NaN as for evaluate().
  VESK_NUMERICS_EXPORT double evaluate_background(double x) const;

  /// The contribution of peak @p index alone (without background) at @p x; NaN outside the
  /// peak's region.
  VESK_NUMERICS_EXPORT double evaluate_peak(std::size_t index, double x) const;

  /// The region whose [lo, hi] holds @p x, or regions.size() when none does.
  VESK_NUMERICS_EXPORT std::size_t region_at(double x) const;
};

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_SPECTRUMFITRESULT_H
