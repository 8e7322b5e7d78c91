#ifndef VESK_NUMERICS_SPECTRUMFITRESULT_H
#define VESK_NUMERICS_SPECTRUMFITRESULT_H

/// @file
/// The records of a fitted spectrum: its peaks, the regions they were fitted in, and the
/// background of each region.

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vesk/numerics/export.h"

namespace vesk::numerics {

namespace detail {

/// The enumerator from 0 to @p last whose name (by @p name_of) is @p name, if one is.
template <typename Enum>
std::optional<Enum> enumerator_named(std::string_view name, Enum last,
                                     const char* (*name_of)(Enum)) {
  for (int kind = 0; kind <= static_cast<int>(last); ++kind) {
    if (name == name_of(static_cast<Enum>(kind))) return static_cast<Enum>(kind);
  }
  return std::nullopt;
}

}  // namespace detail

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
  return detail::enumerator_named(name, Background::exponential, background_name);
}

/// The profile of every line. All are written in a height A and a position mu, t = x - mu:
/// - gaussian: A exp(-t^2 / (2 sigma^2)).
/// - tailed (germanium detectors, the Hypermet form): A [exp(-t^2 / (2 sigma^2)) + (T/2)
///   exp(t / beta + sigma^2 / (2 beta^2)) erfc(t / (sqrt 2 sigma) + sigma / (sqrt 2 beta))]; the
///   tail height ratio T >= 0 and tail slope beta > 0 (x units) are shared by the lines of a
///   region, as is the step A (S/2) erfc(t / (sqrt 2 sigma)), S >= 0, under each line, which
///   belongs to the background. Net area A (sigma sqrt(2 pi) + T beta). A fitted T stays
///   within [0, 10] and a fitted beta between the spacing of the points and the region's width.
/// - lorentzian: A / (1 + (t / gamma)^2), gamma the half width at half maximum; area pi A gamma.
/// - pseudo_voigt: A [(1 - eta) exp(-ln 2 (t / h)^2) + eta / (1 + (t / h)^2)], h = FWHM / 2,
///   0 <= eta <= 1 per line; written in sigma = FWHM / (2 sqrt(2 ln 2)); area
///   A h [(1 - eta) sqrt(pi / ln 2) + pi eta].
/// - voigt: A V(t; sigma, gamma) / V(0; sigma, gamma), V the convolution of a Gaussian of
///   standard deviation sigma and a Lorentzian of half width gamma, from the Faddeeva function;
///   area A / V(0; sigma, gamma).
enum class LineShape : unsigned char { gaussian, tailed, lorentzian, pseudo_voigt, voigt };

/// The name of a line shape: "gaussian", "tailed", "lorentzian", "pseudo_voigt" or "voigt".
inline const char* line_shape_name(LineShape shape) {
  constexpr const char* kNames[] = {"gaussian", "tailed", "lorentzian", "pseudo_voigt", "voigt"};
  return kNames[static_cast<int>(shape)];
}

/// The line shape of that name, if @p name is one of those line_shape_name gives.
inline std::optional<LineShape> line_shape_named(std::string_view name) {
  return detail::enumerator_named(name, LineShape::voigt, line_shape_name);
}

/// Where the widths of the lines come from.
enum class WidthMode : unsigned char {
  free,    ///< every line has its own widths
  shared,  ///< the lines of a region share their widths
  /// Every line's resolution width (sigma; a Lorentzian's gamma) follows the detector's
  /// resolution FWHM(x)^2 = w0 + w1 x + w2 x^2, where FWHM is 2 sqrt(2 ln 2) sigma (2 gamma for
  /// Lorentzian lines): the Gaussian part of a tailed or Voigt line, which its tail or
  /// Lorentzian makes wider. The resolution is given, or fitted from the spectrum's
  /// well-determined lines (net area at least 20 errors). Where fewer than two are, it comes from
  /// the lines of at least 5 errors, each counted alike: the straight line through the median
  /// FWHM^2 of their lower and of their upper half by x (six lines or more, the line rising with
  /// x), else the one well-determined line's width or their median FWHM^2, a constant. A fitted
  /// resolution has no negative
  /// coefficient where a free curve would fall below two channels' width; its FWHM is then held
  /// at two channels wherever the curve is narrower (towards x = 0, away from the lines that
  /// measured it).
  resolution,
};

/// The name of a width mode: "free", "shared" or "resolution".
inline const char* width_mode_name(WidthMode mode) {
  constexpr const char* kNames[] = {"free", "shared", "resolution"};
  return kNames[static_cast<int>(mode)];
}

/// The width mode of that name, if @p name is one of those width_mode_name gives.
inline std::optional<WidthMode> width_mode_named(std::string_view name) {
  return detail::enumerator_named(name, WidthMode::resolution, width_mode_name);
}

/// A shape parameter that can be held at a value for every line or region of a spectrum.
enum class ShapeParameter : unsigned char {
  tail,        ///< T, tail height ratio (tailed), >= 0; fitted within [0, 10]
  tail_slope,  ///< beta, tail slope in x units (tailed), > 0
  step,        ///< S, step ratio (tailed), >= 0
  eta,         ///< eta, Lorentzian share (pseudo_voigt), in [0, 1]
  gamma,       ///< gamma, Lorentzian half width in x units (lorentzian, voigt), > 0
};

/// The name of a shape parameter: "tail", "tail_slope", "step", "eta" or "gamma".
inline const char* shape_parameter_name(ShapeParameter parameter) {
  constexpr const char* kNames[] = {"tail", "tail_slope", "step", "eta", "gamma"};
  return kNames[static_cast<int>(parameter)];
}

/// The shape parameter of that name, if @p name is one of those shape_parameter_name gives.
inline std::optional<ShapeParameter> shape_parameter_named(std::string_view name) {
  return detail::enumerator_named(name, ShapeParameter::gamma, shape_parameter_name);
}

/// Whether @p value is one that @p parameter may be held at (see ShapeParameter).
inline bool in_domain(ShapeParameter parameter, double value) {
  switch (parameter) {
    case ShapeParameter::tail:
    case ShapeParameter::step:
      return value >= 0.0 && value < 1e300;
    case ShapeParameter::eta:
      return value >= 0.0 && value <= 1.0;
    case ShapeParameter::tail_slope:
    case ShapeParameter::gamma:
      return value > 0.0 && value < 1e300;
  }
  return false;
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

/// One fitted line above its region's background, of the result's LineShape. Errors are one
/// standard deviation; a parameter held fixed or imposed has error 0. In a region whose fit
/// failed every number is NaN.
struct SpectrumPeak {
  double amplitude;      ///< A: height above the background, in y units.
  double amplitude_err;  ///< Error of amplitude.
  double mean;           ///< Centre, in x units.
  double mean_err;       ///< Error of mean.
  /// Gaussian width (standard deviation) in x units, always positive; pseudo_voigt: its FWHM
  /// over 2 sqrt(2 ln 2); NaN for lorentzian.
  double sigma;
  double sigma_err;  ///< Error of sigma.
  double fwhm;       ///< Full width at half maximum of the line (without step), in x units.
  double fwhm_err;   ///< Error of fwhm, from the covariance of the shape's parameters.
  double area;       ///< Net area of the line (without step), in y times x units.
  /// Error of area, from the full covariance of its parameters. A shape parameter that the fit
  /// took to where the shape ends (tail or step 0, eta 0 or 1, a Voigt line's gamma 0) is held
  /// there for every error, with error 0.
  double area_err;
  std::size_t region;      ///< Index of the region the peak was fitted in.
  double gamma = NAN;      ///< Lorentzian half width (lorentzian, voigt), x units; else NaN.
  double gamma_err = NAN;  ///< Error of gamma.
  double eta = NAN;        ///< Lorentzian share in [0, 1] (pseudo_voigt); else NaN.
  double eta_err = NAN;    ///< Error of eta.
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
  /// Whether the line's own width came out narrower than the spacing of its points, which means
  /// undetermined, and it was fitted again with its width tied to its region's other lines or
  /// to the resolution.
  bool width_tied = false;
  /// Whether the fit carried the line outside its region's points (mean < lo or mean > hi) in a
  /// region that succeeded. Such a "line" took what the region's background cannot, most often
  /// the steep edge of a detector's threshold: it is no line, and its numbers measure nothing;
  /// the region's other lines were fitted beside it.
  bool outside_region = false;
};

/// One region of the spectrum: the points in [lo, hi], fitted as background plus peaks.
struct SpectrumRegion {
  double lo;                    ///< Smallest x of the region's points.
  double hi;                    ///< Largest x of the region's points.
  std::size_t points;           ///< Number of points fitted.
  double b0;                    ///< Background coefficient b0 (see Background), for absolute x.
  double b0_err;                ///< Error of b0.
  double b1;                    ///< Background coefficient b1; 0 when the background has none.
  double b1_err;                ///< Error of b1.
  double b2;                    ///< Background coefficient b2; 0 when the background has none.
  double b2_err;                ///< Error of b2.
  double tail = NAN;            ///< Tail height ratio T (tailed); else NaN.
  double tail_err = NAN;        ///< Error of tail.
  double tail_slope = NAN;      ///< Tail slope beta in x units (tailed); else NaN.
  double tail_slope_err = NAN;  ///< Error of tail_slope.
  double step = NAN;            ///< Step ratio S (tailed); else NaN.
  double step_err = NAN;        ///< Error of step.
  double chisq;                 ///< The statistic at the optimum (see Statistics).
  int dof;                      ///< points minus fitted parameters.
  double chisq_dof;             ///< chisq / dof.
  int status;                   ///< 0 success, else a GSL status code, or -1 too few points.
  std::string status_str;       ///< Text for status.
  int iterations;               ///< Accepted steps of the solver.
  std::vector<std::string> parameter_names;  ///< The fitted parameters, in covariance order.
  std::vector<double> covariance;            ///< Their covariance matrix, row-major, absolute x.

  /// Whether the fit of this region completed (status 0).
  bool ok() const { return status == 0; }
  /// Whether x lies within the region's points, lo <= x <= hi (false for NaN).
  bool contains(double x) const { return lo <= x && x <= hi; }
};

/// All peaks and regions of one spectrum. Regions are sorted by lo; peaks come region by region,
/// sorted by mean when found by the search, in the order of their sorted start positions when
/// given.
class SpectrumFitResult {
 public:
  Background background = Background::linear;      ///< The kind of background of every region.
  Statistics statistics = Statistics::unweighted;  ///< How the data were weighed.
  LineShape shape = LineShape::gaussian;           ///< The profile of every line.
  WidthMode width = WidthMode::free;               ///< Where the lines' widths came from.
  /// With WidthMode::resolution: the coefficients (w0, w1, w2) of FWHM(x)^2 = w0 + w1 x + w2 x^2
  /// (x units squared, x units, 1), given or fitted; NaN otherwise.
  std::array<double, 3> resolution{NAN, NAN, NAN};
  /// Covariance of resolution, row-major; zero where given, NaN without a resolution.
  std::array<double, 9> resolution_covariance{NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN, NAN};
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

  /// The fitted background alone at @p x, with the steps of a tailed shape's lines, NaN as for
  /// evaluate().
  VESK_NUMERICS_EXPORT double evaluate_background(double x) const;

  /// The contribution of peak @p index alone (without background and step) at @p x; NaN outside
  /// the peak's region.
  VESK_NUMERICS_EXPORT double evaluate_peak(std::size_t index, double x) const;

  /// The region whose [lo, hi] holds @p x, or regions.size() when none does.
  VESK_NUMERICS_EXPORT std::size_t region_at(double x) const;
};

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_SPECTRUMFITRESULT_H
