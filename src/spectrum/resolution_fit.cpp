#include "spectrum/resolution_fit.h"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics::detail {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
// Lines needed for a straight line and for the parabola of FWHM^2.
constexpr std::size_t kLinesForSlope = 2;
constexpr std::size_t kLinesForCurvature = 5;

struct WidthPoint {
  double x;
  double fwhm_squared;
  double weight;  // 1 / var(FWHM^2)
};

std::vector<WidthPoint> well_determined(const SpectrumFitResult& fitted) {
  std::vector<WidthPoint> points;
  for (const SpectrumPeak& peak : fitted.peaks) {
    if (peak.region >= fitted.regions.size() || !fitted.regions[peak.region].ok()) continue;
    const bool significant = peak.area > kWellDeterminedSignificance * peak.area_err;
    const bool measured = std::isfinite(peak.fwhm) && peak.fwhm > 0.0 &&
                          std::isfinite(peak.fwhm_err) && peak.fwhm_err > 0.0;
    if (!significant || !measured || peak.width_tied) continue;
    // var(F^2) = (2 F var(F))^2
    const double error = 2.0 * peak.fwhm * peak.fwhm_err;
    points.push_back({peak.mean, peak.fwhm * peak.fwhm, 1.0 / (error * error)});
  }
  return points;
}

// Weighted least squares of FWHM^2 by the first `terms` powers of x, centred on `centre` so that
// the normal equations stay well conditioned; false where they are singular.
bool fit_powers(const std::vector<WidthPoint>& points, Eigen::Index terms, double centre,
                FittedResolution& fitted) {
  Eigen::MatrixXd normal = Eigen::MatrixXd::Zero(terms, terms);
  Eigen::VectorXd right = Eigen::VectorXd::Zero(terms);
  for (const WidthPoint& point : points) {
    Eigen::VectorXd powers(terms);
    double power = 1.0;
    for (Eigen::Index j = 0; j < terms; ++j, power *= point.x - centre) powers(j) = power;
    normal += point.weight * powers * powers.transpose();
    right += point.weight * point.fwhm_squared * powers;
  }
  const Eigen::LDLT<Eigen::MatrixXd> factor(normal);
  if (factor.info() != Eigen::Success || !(factor.rcond() > 1e-14)) return false;
  const Eigen::VectorXd centred = factor.solve(right);
  Eigen::MatrixXd covariance = factor.solve(Eigen::MatrixXd::Identity(terms, terms));
  double chisq = 0.0;
  for (const WidthPoint& point : points) {
    double model = 0.0, power = 1.0;
    for (Eigen::Index j = 0; j < terms; ++j, power *= point.x - centre) model += centred(j) * power;
    chisq += point.weight * (point.fwhm_squared - model) * (point.fwhm_squared - model);
  }
  // Scatter beyond the lines' own errors widens the coefficients' errors, never narrows them.
  const auto dof = static_cast<double>(points.size()) - static_cast<double>(terms);
  if (dof > 0.0) covariance *= std::max(1.0, chisq / dof);
  // Back to absolute x: c0 - c1 xc + c2 xc^2, c1 - 2 c2 xc, c2.
  Eigen::Matrix3d transform = Eigen::Matrix3d::Zero();
  transform(0, 0) = transform(1, 1) = transform(2, 2) = 1.0;
  transform(0, 1) = -centre;
  transform(0, 2) = centre * centre;
  transform(1, 2) = -2.0 * centre;
  Eigen::Vector3d coefficients = Eigen::Vector3d::Zero();
  coefficients.head(terms) = centred;
  Eigen::Matrix3d full = Eigen::Matrix3d::Zero();
  full.topLeftCorner(terms, terms) = covariance;
  const Eigen::Vector3d absolute = transform * coefficients;
  const Eigen::Matrix3d absolute_covariance = transform * full * transform.transpose();
  for (int i = 0; i < 3; ++i)
    fitted.resolution.coefficients[static_cast<std::size_t>(i)] = absolute(i);
  for (int i = 0; i < 9; ++i) {
    fitted.covariance[static_cast<std::size_t>(i)] = absolute_covariance(i / 3, i % 3);
  }
  return true;
}

}  // namespace

bool wider_than_over(const Resolution& resolution, double least_fwhm, double lo, double hi) {
  const double least = least_fwhm * least_fwhm;
  if (!(resolution.fwhm_squared(lo) > least) || !(resolution.fwhm_squared(hi) > least)) {
    return false;
  }
  const double curvature = resolution.coefficients[2];
  if (!(curvature > 0.0)) return true;  // the least value lies at an end
  const double vertex = -resolution.coefficients[1] / (2.0 * curvature);
  return !(lo < vertex && vertex < hi) || resolution.fwhm_squared(vertex) > least;
}

FittedResolution fit_resolution(const SpectrumFitResult& fitted, double common_sigma,
                                double least_fwhm, double lo, double hi) {
  const std::vector<WidthPoint> points = well_determined(fitted);
  double centre = 0.0;
  for (const WidthPoint& point : points) centre += point.x / static_cast<double>(points.size());
  Eigen::Index terms = points.size() >= kLinesForCurvature ? 3
                       : points.size() >= kLinesForSlope   ? 2
                                                         : static_cast<Eigen::Index>(points.size());
  for (; terms > 0; --terms) {
    FittedResolution result{};
    if (fit_powers(points, terms, centre, result) &&
        wider_than_over(result.resolution, least_fwhm, lo, hi)) {
      return result;
    }
  }
  const double fwhm = std::max(kFwhmPerSigma * common_sigma, least_fwhm);
  FittedResolution fallback{{{fwhm * fwhm, 0.0, 0.0}}, {}};
  fallback.covariance.fill(kNan);
  return fallback;
}

}  // namespace vesk::numerics::detail
