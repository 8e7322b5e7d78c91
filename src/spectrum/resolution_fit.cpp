#include "spectrum/resolution_fit.h"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include <gsl/gsl_math.h>
#include <gsl/gsl_statistics_double.h>

#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics::detail {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
// Lines needed for a straight line and for the parabola of FWHM^2.
constexpr Eigen::Index kLinesForSlope = 2;
constexpr Eigen::Index kLinesForCurvature = 5;
// Lines of kMeasuredWidthSignificance needed for a straight line through the medians of two
// halves, three a half.
constexpr std::size_t kLinesForHalves = 6;
constexpr double kHalfPi = M_PI_2;

struct WidthPoint {
  double x;
  double fwhm_squared;
  double weight;  // 1 / var(FWHM^2)
};

struct Width {
  double fwhm, error;
};

// A line's width as the resolution gives it, a FWHM: the line's own where the resolution sets its
// whole width, and its Gaussian part's, 2 sqrt(2 ln 2) sigma, for a tailed or Voigt line, which
// its tail or its Lorentzian makes wider than that.
Width resolution_width_of(const SpectrumPeak& peak, LineShape shape) {
  if (shape == LineShape::tailed || shape == LineShape::voigt) {
    return {kFwhmPerSigma * peak.sigma, kFwhmPerSigma * peak.sigma_err};
  }
  return {peak.fwhm, peak.fwhm_err};
}

// The widths of the lines whose net area is above `significance` standard errors.
std::vector<WidthPoint> width_points(const SpectrumFitResult& fitted, LineShape shape,
                                     double significance) {
  std::vector<WidthPoint> points;
  for (const SpectrumPeak& peak : fitted.peaks) {
    if (peak.region >= fitted.regions.size() || !fitted.regions[peak.region].ok()) continue;
    const bool significant = peak.area > significance * peak.area_err;
    const Width width = resolution_width_of(peak, shape);
    const bool measured = std::isfinite(peak.mean) && std::isfinite(width.fwhm) &&
                          width.fwhm > 0.0 && std::isfinite(width.error) && width.error > 0.0;
    if (!significant || !measured || peak.width_tied) continue;
    // var(F^2) = (2 F sd(F))^2
    const double error = 2.0 * width.fwhm * width.error;
    points.push_back({peak.mean, width.fwhm * width.fwhm, 1.0 / (error * error)});
  }
  return points;
}

// The powers of x, 0 to 2, that a fit of FWHM^2 holds.
using Powers = std::vector<int>;

Powers first_powers(Eigen::Index terms) {
  Powers powers;
  for (int j = 0; j < terms; ++j) powers.push_back(j);
  return powers;
}

// Weighted least squares of FWHM^2 by the `powers` of u = (x - centre) / scale, chosen so that
// the normal equations stay well conditioned; false where they are singular. The coefficients of
// the other powers are 0, with no error; `chisq` is the fit's.
bool fit_powers(const std::vector<WidthPoint>& points, const Powers& powers, double centre,
                double scale, FittedResolution& fitted, double& chisq) {
  const auto terms = static_cast<Eigen::Index>(powers.size());
  const auto u_power = [&](double x, int power) {
    double value = 1.0;
    for (int j = 0; j < power; ++j) value *= (x - centre) / scale;
    return value;
  };
  Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(terms, terms);
  Eigen::VectorXd right = Eigen::VectorXd::Zero(terms);
  for (const WidthPoint& point : points) {
    Eigen::VectorXd row(terms);
    for (Eigen::Index j = 0; j < terms; ++j) row(j) = u_power(point.x, powers[j]);
    normal += point.weight * row * row.transpose();
    right += point.weight * point.fwhm_squared * row;
  }
  const Eigen::LDLT<Eigen::MatrixXd> factor(normal);
  if (factor.info() != Eigen::Success || !(factor.rcond() > 1e-14)) return false;
  const Eigen::VectorXd in_u = factor.solve(right);
  Eigen::MatrixXd covariance = factor.solve(Eigen::MatrixXd::Identity(terms, terms));
  chisq = 0.0;
  for (const WidthPoint& point : points) {
    double model = 0.0;
    for (Eigen::Index j = 0; j < terms; ++j) model += in_u(j) * u_power(point.x, powers[j]);
    chisq += point.weight * (point.fwhm_squared - model) * (point.fwhm_squared - model);
  }
  // Scatter beyond the lines' own errors widens the coefficients' errors, never narrows them.
  const auto dof = static_cast<double>(points.size()) - static_cast<double>(terms);
  if (dof > 0.0) covariance *= std::max(1.0, chisq / dof);
  // Back to absolute x: u^1 = (x - c) / s, u^2 = (x^2 - 2 c x + c^2) / s^2.
  Eigen::Matrix3d transform = Eigen::Matrix3d::Zero();
  transform(0, 0) = 1.0;
  transform(0, 1) = -centre / scale;
  transform(1, 1) = 1.0 / scale;
  transform(0, 2) = centre * centre / (scale * scale);
  transform(1, 2) = -2.0 * centre / (scale * scale);
  transform(2, 2) = 1.0 / (scale * scale);
  Eigen::Vector3d coefficients = Eigen::Vector3d::Zero();
  Eigen::Matrix3d full = Eigen::Matrix3d::Zero();
  for (Eigen::Index j = 0; j < terms; ++j) {
    coefficients(powers[j]) = in_u(j);
    for (Eigen::Index k = 0; k < terms; ++k) full(powers[j], powers[k]) = covariance(j, k);
  }
  const Eigen::Vector3d absolute = transform * coefficients;
  const Eigen::Matrix3d absolute_covariance = transform * full * transform.transpose();
  for (int i = 0; i < 3; ++i)
    fitted.resolution.coefficients[static_cast<std::size_t>(i)] = absolute(i);
  for (int i = 0; i < 9; ++i) {
    fitted.covariance[static_cast<std::size_t>(i)] = absolute_covariance(i / 3, i % 3);
  }
  return true;
}

// The resolution with no negative coefficient, as noise, charge statistics and drift add
// variances, whose FWHM^2 fits the lines best: the least squares over every set of at most
// `terms` powers whose coefficients all come out non-negative, the others held at 0. Its curve
// rises with x >= 0 and may fall below @p least_fwhm towards x = 0, far from the lines (and at
// x < 0, where an energy scale holds no lines): the resolution is held at it there.
std::optional<FittedResolution> non_negative_resolution(const std::vector<WidthPoint>& points,
                                                        Eigen::Index terms, double least_fwhm) {
  double scale = 0.0;
  for (const WidthPoint& point : points) scale = std::max(scale, point.x);
  if (!(scale > 0.0)) return std::nullopt;
  std::optional<FittedResolution> best;
  double best_chisq = std::numeric_limits<double>::infinity();
  for (unsigned subset = 1; subset < 8u; ++subset) {
    Powers powers;
    for (int j = 0; j < 3; ++j) {
      if (subset & (1u << j)) powers.push_back(j);
    }
    if (static_cast<Eigen::Index>(powers.size()) > terms) continue;
    FittedResolution candidate{};
    double chisq = 0.0;
    if (!fit_powers(points, powers, 0.0, scale, candidate, chisq) || !(chisq < best_chisq))
      continue;
    const auto& c = candidate.resolution.coefficients;
    if (!(c[0] >= 0.0 && c[1] >= 0.0 && c[2] >= 0.0)) continue;
    best = candidate;
    best_chisq = chisq;
  }
  if (best) best->resolution.least_fwhm_squared = least_fwhm * least_fwhm;
  return best;
}

// A constant FWHM of @p fwhm (at least @p least_fwhm), with @p variance the variance of its square.
FittedResolution constant_resolution(double fwhm, double least_fwhm, double variance = kNan) {
  const double width = std::max(fwhm, least_fwhm);
  FittedResolution constant{{{width * width, 0.0, 0.0}}, {}};
  constant.covariance.fill(std::isnan(variance) ? kNan : 0.0);
  constant.covariance[0] = variance;
  return constant;
}

// The median FWHM^2 of some lines at their median x, with the median's variance pi/2 s^2 / n.
struct MedianWidth {
  double x;
  double fwhm_squared;
  double variance;
};

MedianWidth median_width(std::vector<WidthPoint>::const_iterator first,
                         std::vector<WidthPoint>::const_iterator last) {
  std::vector<double> xs, squares;
  for (auto point = first; point != last; ++point) {
    xs.push_back(point->x);
    squares.push_back(point->fwhm_squared);
  }
  const std::size_t n = squares.size();
  std::vector<double> work(n);
  const double spread = gsl_stats_mad(squares.data(), 1, n, work.data());
  // Lines that all agree to the bit leave their own errors as the only measure of the scatter.
  const double variance = spread > 0.0 ? kHalfPi * spread * spread / static_cast<double>(n)
                                       : 1.0 / (first->weight * static_cast<double>(n));
  return {gsl_stats_median(xs.data(), 1, n), gsl_stats_median(squares.data(), 1, n), variance};
}

// The straight line of FWHM^2 through the medians of the lower and the upper half of the lines,
// by x, with the covariance that the two medians' variances give it; none where the halves do
// not lie apart in x or the line falls with x, as no detector's resolution does.
std::optional<FittedResolution> line_through_halves(std::vector<WidthPoint> points,
                                                    double least_fwhm) {
  std::sort(points.begin(), points.end(),
            [](const WidthPoint& a, const WidthPoint& b) { return a.x < b.x; });
  const auto middle = points.begin() + static_cast<std::ptrdiff_t>(points.size() / 2);
  const MedianWidth low = median_width(points.begin(), middle);
  const MedianWidth high = median_width(middle, points.end());
  const double span = high.x - low.x;
  if (!(span > 0.0) || !(high.fwhm_squared >= low.fwhm_squared)) return std::nullopt;
  const double slope = (high.fwhm_squared - low.fwhm_squared) / span;
  FittedResolution line{{{low.fwhm_squared - slope * low.x, slope, 0.0}}, {}};
  line.covariance.fill(0.0);
  const double per_span = 1.0 / (span * span);
  line.covariance[0] = (high.x * high.x * low.variance + low.x * low.x * high.variance) * per_span;
  line.covariance[1] = line.covariance[3] =
      -(high.x * low.variance + low.x * high.variance) * per_span;
  line.covariance[4] = (low.variance + high.variance) * per_span;
  // Towards x = 0, far below the lines, the line may fall under the narrowest width a line can
  // show: the resolution is held at it there.
  line.resolution.least_fwhm_squared = least_fwhm * least_fwhm;
  return line;
}

// Where fewer than two lines are well determined (a low-activity sample), the lines of at least
// kMeasuredWidthSignificance together still measure the resolution far better than the search's
// width, which reads the narrow tops of lines lifted by noise and holds them some ten per cent too
// narrow, or than one strong line's width, which a germanium detector's lines at a tenth of its
// energy show some forty per cent narrower. Weighted by their own errors, they would pull it
// narrow as well (by a tenth at five standard errors: the lines that noise made narrow come out
// the best determined), so each counts alike: the straight line through the median FWHM^2 of the
// lower and of the upper half of them, where there are enough to halve; otherwise (or where that
// line falls with x) the one well-determined line's width, or with none their median FWHM^2, a
// constant.
std::optional<FittedResolution> weak_lines_resolution(const SpectrumFitResult& fitted,
                                                      LineShape shape, bool one_well_determined,
                                                      double least_fwhm) {
  const std::vector<WidthPoint> points = width_points(fitted, shape, kMeasuredWidthSignificance);
  if (points.size() >= kLinesForHalves) {
    if (auto line = line_through_halves(points, least_fwhm)) return line;
  }
  if (points.empty() || one_well_determined) return std::nullopt;
  const MedianWidth all = median_width(points.begin(), points.end());
  return constant_resolution(std::sqrt(all.fwhm_squared), least_fwhm, all.variance);
}

}  // namespace

bool wider_than_over(const Resolution& resolution, double least_fwhm, double lo, double hi) {
  const double least = least_fwhm * least_fwhm;
  if (!(resolution.curve(lo) > least) || !(resolution.curve(hi) > least)) {
    return false;
  }
  const double curvature = resolution.coefficients[2];
  if (!(curvature > 0.0)) return true;  // the least value lies at an end
  const double vertex = -resolution.coefficients[1] / (2.0 * curvature);
  return !(lo < vertex && vertex < hi) || resolution.curve(vertex) > least;
}

FittedResolution fit_resolution(const SpectrumFitResult& fitted, LineShape shape,
                                double common_sigma, double least_fwhm, double lo, double hi) {
  const std::vector<WidthPoint> points = width_points(fitted, shape, kWellDeterminedSignificance);
  if (points.size() < static_cast<std::size_t>(kLinesForSlope)) {
    if (auto weak = weak_lines_resolution(fitted, shape, points.size() == 1, least_fwhm)) {
      return *weak;
    }
  }
  if (points.empty()) return constant_resolution(kFwhmPerSigma * common_sigma, least_fwhm);
  double centre = 0.0;
  for (const WidthPoint& point : points) centre += point.x / static_cast<double>(points.size());
  const auto lines = static_cast<Eigen::Index>(points.size());
  const Eigen::Index most = lines >= kLinesForCurvature ? 3 : lines >= kLinesForSlope ? 2 : lines;
  const auto fit_first = [&](Eigen::Index terms) -> std::optional<FittedResolution> {
    FittedResolution result{};
    double chisq = 0.0;
    if (fit_powers(points, first_powers(terms), centre, 1.0, result, chisq) &&
        wider_than_over(result.resolution, least_fwhm, lo, hi)) {
      return result;
    }
    return std::nullopt;
  };
  for (Eigen::Index terms = most; terms >= kLinesForSlope; --terms) {
    if (const auto result = fit_first(terms)) return *result;
  }
  // A curve fitted freely may turn negative where no line measured it, mostly towards x = 0: on
  // the germanium spectra the lines from 350 keV up extrapolate to a negative w0. A constant
  // FWHM would then hold every line at one width over a range where it doubles.
  if (most >= kLinesForSlope) {
    if (const auto result = non_negative_resolution(points, most, least_fwhm)) return *result;
  }
  if (const auto result = fit_first(1)) return *result;
  return constant_resolution(kFwhmPerSigma * common_sigma, least_fwhm);
}

}  // namespace vesk::numerics::detail
