#include "spectrum/region_fit.h"

#include <gsl/gsl_errno.h>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/QR>
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fit_policy.h"
#include "least_squares.h"
#include "spectrum/line_shape.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics::detail {

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
// The background's start values come from this share of the region's points at either end.
constexpr std::size_t kEdgeShare = 8;
// Counts: the start background is at least this many counts, so that the model starts positive.
constexpr double kSmallestCountsBackground = 0.1;
// A peak is at most this share of its region's span wide.
constexpr double kWidestSigmaShare = 0.5;
// A peak starts at least this share of the region's range of values high.
constexpr double kLeastStartHeight = 1e-3;
// Start values of the shapes' own parameters, from a Gaussian of width sigma fitted first: a
// Voigt line of Gaussian width 0.75 sigma and Lorentzian half width 0.5 sigma has that
// Gaussian's FWHM, as does a Lorentzian of half width sqrt(2 ln 2) sigma; a pseudo-Voigt line
// starts half Lorentzian; a germanium line with a weak tail a little wider than its Gaussian
// and a small step.
constexpr double kVoigtSigmaShare = 0.75;
constexpr double kVoigtGammaShare = 0.5;
constexpr double kLorentzianGammaShare = 0.5 * kFwhmPerSigma;
constexpr double kStartEta = 0.5;
// Gaussian lines that give another shape its start values are fitted to this accuracy.
constexpr double kStartValueAccuracy = 1e-4;
constexpr double kStartTail = 0.05;
constexpr double kStartTailSlopeInSigma = 1.0;
constexpr double kStartStep = 1e-3;

Statistic statistic_of(Statistics statistics) {
  switch (statistics) {
    case Statistics::weighted:
      return Statistic::weighted;
    case Statistics::poisson:
      return Statistic::poisson;
    case Statistics::unweighted:
      break;
  }
  return Statistic::least_squares;
}

// Start values of the background from the mean values at either end of the region.
void background_start(const RegionLayout& layout, const Channels& channels, std::size_t first,
                      std::size_t count, const std::vector<double>& u, Eigen::VectorXd& start) {
  const std::size_t edge = std::max<std::size_t>(1, count / kEdgeShare);
  double left = 0.0, right = 0.0, u_left = 0.0, u_right = 0.0;
  for (std::size_t i = 0; i < edge; ++i) {
    left += channels.y[first + i];
    u_left += u[i];
    right += channels.y[first + count - 1 - i];
    u_right += u[count - 1 - i];
  }
  const double n = static_cast<double>(edge);
  left /= n, right /= n, u_left /= n, u_right /= n;
  if (channels.statistics == Statistics::poisson) {
    left = std::max(left, kSmallestCountsBackground);
    right = std::max(right, kSmallestCountsBackground);
  }
  const double span = u_right - u_left;
  switch (layout.background()) {
    case Background::none:
      return;
    case Background::constant:
      start(0) = 0.5 * (left + right);
      return;
    case Background::linear:
    case Background::quadratic: {
      double slope = span > 0.0 ? (right - left) / span : 0.0;
      // Counts need a model that is positive at every point from the start: the line through
      // the mean values at either end can dip below zero at the region's outermost points.
      const double lowest =
          std::min(left + slope * (u.front() - u_left), right + slope * (u.back() - u_right));
      if (channels.statistics == Statistics::poisson && lowest < kSmallestCountsBackground) {
        slope = 0.0;
        left = std::min(left, right);
      }
      start(0) = left - slope * u_left;
      start(1) = slope;
      if (layout.background() == Background::quadratic) start(2) = 0.0;
      return;
    }
    case Background::exponential: {
      if (left > 0.0 && right > 0.0 && span > 0.0) {
        start(1) = -std::log(right / left) / span;
        start(0) = left * std::exp(start(1) * u_left);
      } else {
        start(0) = std::max(0.5 * (left + right), kSmallestCountsBackground);
        start(1) = 0.0;
      }
      return;
    }
  }
}

// Each line (with a tailed line's step) at the positions u, as a column of `columns`.
void unit_line_columns(LineShape shape, const std::vector<LineParameters>& lines,
                       const std::vector<double>& u, Eigen::Ref<Eigen::MatrixXd> columns) {
  const VectorKernels& kernels = best_vector_kernels();
  AlignedBuffer scratch(kLineScratchRows * kChunk);  // aligned, as the fit's: the same bits
  columns.setZero();
  // Only the values are wanted: the derivatives go to scratch, started rather than added to.
  LineColumns derivatives;
  derivatives.starts = true;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    double* column = columns.col(static_cast<Eigen::Index>(k)).data();
    for (std::size_t begin = 0; begin < u.size(); begin += kChunk) {
      const std::size_t count = std::min(kChunk, u.size() - begin);
      add_line(shape, lines[k], u.data() + begin, count, kernels, scratch.data(), column + begin,
               derivatives);
    }
  }
}

// The reciprocal condition number of the normal equations below which start values are solved
// for by QR: their solution then still has six digits or more, plenty for a start.
constexpr double kLeastNormalConditioning = 1e-10;

// The linear least-squares solution by the normal equations where they are well conditioned, a
// few times faster than a QR decomposition of a region's points, and by column-pivoting QR
// otherwise, which also copes with lines that coincide.
Eigen::VectorXd least_squares_solution(const Eigen::MatrixXd& design,
                                       const Eigen::VectorXd& target) {
  // A handful of columns: their dot products beat a packed matrix product. LDLT reads the lower
  // triangle alone.
  const Eigen::Index columns = design.cols();
  Eigen::MatrixXd normal(columns, columns);
  for (Eigen::Index column = 0; column < columns; ++column) {
    for (Eigen::Index row = column; row < columns; ++row) {
      normal(row, column) = design.col(row).dot(design.col(column));
    }
  }
  const Eigen::LDLT<Eigen::MatrixXd, Eigen::Lower> factor(normal);
  if (factor.info() == Eigen::Success && factor.isPositive() &&
      factor.rcond() > kLeastNormalConditioning) {
    return factor.solve(design.transpose() * target);
  }
  return design.colPivHouseholderQr().solve(target);
}

// With the peaks' positions and widths at their start values the model is linear in the heights
// and in a polynomial background's coefficients; their weighted least-squares values are far
// better start values than heights read off the data, above all for overlapping lines.
// Fits as they always have been (see fit_region) take the lines point by point and solve by QR.
void linear_start(const RegionLayout& layout, const Channels& channels, std::size_t first,
                  const std::vector<double>& u, double centre, double least_height, bool as_always,
                  Eigen::VectorXd& start) {
  const auto n = static_cast<Eigen::Index>(u.size());
  const bool polynomial = layout.background() == Background::constant ||
                          layout.background() == Background::linear ||
                          layout.background() == Background::quadratic;
  const Eigen::Index background = polynomial ? layout.background_size() : 0;
  const auto peaks = static_cast<Eigen::Index>(layout.peak_count());
  if (background + peaks == 0) return;  // nothing linear to solve for
  // Every line of unit height, as it starts.
  std::vector<LineParameters> lines;
  for (std::size_t k = 0; k < layout.peak_count(); ++k) {
    lines.push_back(layout.line_parameters(k, start.data(), centre));
    lines.back().amplitude = 1.0;
  }
  Eigen::MatrixXd design(n, background + peaks);
  Eigen::VectorXd target(n);
  std::vector<double> fixed_background(u.size(), 0.0);
  if (!polynomial) {
    evaluate_background(layout.background(), start.data(), u.data(), u.size(),
                        best_vector_kernels(), fixed_background.data(), nullptr, 0);
  }
  // The other fits take their columns from the vectorised line shapes that the fit evaluates.
  if (!as_always) unit_line_columns(layout.shape(), lines, u, design.rightCols(peaks));
  const Eigen::Map<const Eigen::VectorXd> y(channels.y.data() + first, n);
  const Eigen::Map<const Eigen::VectorXd> x(u.data(), n);
  // Each point weighted by its inverse error, column by column: the same products as point by
  // point.
  Eigen::VectorXd weight = Eigen::VectorXd::Ones(n);
  if (channels.statistics == Statistics::weighted) {
    weight = Eigen::Map<const Eigen::VectorXd>(channels.sigma.data() + first, n).cwiseInverse();
  }
  if (channels.statistics == Statistics::poisson) {
    weight = y.cwiseMax(1.0).cwiseSqrt().cwiseInverse();
  }
  for (Eigen::Index j = 0; j < background; ++j) {
    design.col(j) = j == 0 ? weight : Eigen::VectorXd(design.col(j - 1).cwiseProduct(x));
  }
  for (Eigen::Index k = 0; k < peaks; ++k) {
    auto column = design.col(background + k);
    if (as_always) {
      const LineParameters& line = lines[static_cast<std::size_t>(k)];
      for (Eigen::Index i = 0; i < n; ++i) {
        column(i) = weight(i) * (line_value(layout.shape(), line, x(i)) +
                                 step_value(layout.shape(), line, x(i)));
      }
    } else {
      column = weight.cwiseProduct(column);
    }
  }
  target = weight.cwiseProduct(y - Eigen::Map<const Eigen::VectorXd>(fixed_background.data(), n));
  const Eigen::VectorXd solution = as_always ? design.colPivHouseholderQr().solve(target)
                                             : least_squares_solution(design, target);
  if (!solution.allFinite()) return;
  for (Eigen::Index k = 0; k < peaks; ++k) {
    start(layout.amplitude(static_cast<std::size_t>(k))) =
        std::max(solution(background + k), least_height);
  }
  // Counts keep the positive background they started with unless the fitted one is positive too.
  const auto positive_at = [&](double x) {
    double value = 0.0;
    double power = 1.0;
    for (Eigen::Index j = 0; j < background; ++j, power *= x) value += solution(j) * power;
    return value > 0.0;
  };
  if (channels.statistics != Statistics::poisson ||
      (positive_at(u.front()) && positive_at(u.back()) && positive_at(0.0))) {
    start.head(background) = solution.head(background);
  }
}

// The covariance of a fit whose minimum lies where the line shape ends (no tail or step, a line
// purely Gaussian or Lorentzian): the parameters there are held, with no error, and the others'
// errors are those with them held, as where they are fixed. Left free in the covariance, they
// widen the others' errors along directions the fit cannot take: pseudo-Voigt and Voigt lines
// fitted to Gaussian ones had area errors 1.6 times the areas' scatter. A parameter on a limit
// the fit sets (the steepest tail) stays free: the data pull it beyond what the shape allows.
Eigen::MatrixXd covariance_held_at_shape_edges(const RegionModel& model,
                                               const Eigen::VectorXd& parameters,
                                               const Eigen::MatrixXd& information) {
  const auto edges = model.shape_edges();
  std::vector<Eigen::Index> inside;
  for (Eigen::Index i = 0; i < parameters.size(); ++i) {
    if (edges.lower(i) < parameters(i) && parameters(i) < edges.upper(i)) inside.push_back(i);
  }
  if (inside.size() == static_cast<std::size_t>(parameters.size())) {
    return fast_covariance_from(information);
  }
  Eigen::MatrixXd covariance = Eigen::MatrixXd::Zero(parameters.size(), parameters.size());
  covariance(inside, inside) = fast_covariance_from(information(inside, inside));
  return covariance;
}

// Flips a negative width (the model is even in sigma) and its covariances.
void make_width_positive(Eigen::Index index, Eigen::VectorXd& parameters,
                         Eigen::MatrixXd& covariance) {
  if (!(parameters(index) < 0.0)) return;
  parameters(index) = -parameters(index);
  covariance.row(index) *= -1.0;
  covariance.col(index) *= -1.0;
}

double error_of(const Eigen::MatrixXd& covariance, Eigen::Index index) {
  return index == RegionLayout::kNotFitted ? 0.0 : std::sqrt(covariance(index, index));
}

// Gaussian lines with fitted widths, as earlier releases reported them to the last bit.
void gaussian_widths(const RegionLayout& layout, std::size_t k, const Eigen::VectorXd& parameters,
                     const Eigen::MatrixXd& covariance, SpectrumPeak& peak) {
  const Eigen::Index a = layout.amplitude(k), s = layout.sigma(k);
  peak.sigma = parameters(s);
  peak.sigma_err = std::sqrt(covariance(s, s));
  peak.fwhm = kFwhmPerSigma * peak.sigma;
  peak.fwhm_err = kFwhmPerSigma * peak.sigma_err;
  peak.area = kAreaPerAmplitudeSigma * peak.amplitude * peak.sigma;
  // area = c A sigma: var = c^2 (sigma^2 var A + A^2 var sigma + 2 A sigma cov(A, sigma))
  const double variance = peak.sigma * peak.sigma * covariance(a, a) +
                          peak.amplitude * peak.amplitude * covariance(s, s) +
                          2.0 * peak.amplitude * peak.sigma * covariance(a, s);
  peak.area_err = kAreaPerAmplitudeSigma * std::sqrt(std::max(variance, 0.0));
}

// Any shape: widths, FWHM and area with errors from the covariance of the line's parameters.
void shape_widths(const RegionLayout& layout, std::size_t k, const Eigen::VectorXd& parameters,
                  const Eigen::MatrixXd& covariance, SpectrumPeak& peak) {
  const LineShape shape = layout.shape();
  const LineParameters line = layout.line_parameters(k, parameters.data(), 0.0);
  const RegionLayout::LineGradient by_line = layout.line_gradient(k, parameters.data(), 0.0);
  const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0,
                      RegionLayout::LineGradient::kMostFitted,
                      RegionLayout::LineGradient::kMostFitted>
      fitted_covariance = covariance(by_line.fitted, by_line.fitted);
  const Eigen::Matrix<double, RegionLayout::LineGradient::kRows, RegionLayout::LineGradient::kRows>
      line_covariance = by_line.by_fitted * fitted_covariance * by_line.by_fitted.transpose();
  const auto error = [&](int row) { return std::sqrt(std::max(line_covariance(row, row), 0.0)); };
  const auto propagated = [&](const double* gradient) {
    const Eigen::Map<const Eigen::Matrix<double, kShapeGradientSize, 1>> g(gradient);
    const auto block = line_covariance.topLeftCorner<kShapeGradientSize, kShapeGradientSize>();
    return std::sqrt(std::max(g.dot(block * g), 0.0));
  };
  peak.sigma = has_sigma(shape) ? line.sigma : kNan;
  peak.sigma_err = has_sigma(shape) ? error(kBySigma) : kNan;
  if (has_gamma(shape)) {
    peak.gamma = line.gamma;
    peak.gamma_err = error(kByGamma);
  }
  if (has_eta(shape)) {
    peak.eta = line.eta;
    peak.eta_err = error(kByEta);
  }
  double gradient[kShapeGradientSize];
  peak.fwhm = line_fwhm(shape, line, gradient);
  peak.fwhm_err = propagated(gradient);
  peak.area = line_area(shape, line, gradient);
  peak.area_err = propagated(gradient);
}

SpectrumPeak peak_record(const RegionLayout& layout, std::size_t k,
                         const Eigen::VectorXd& parameters, const Eigen::MatrixXd& covariance,
                         std::size_t region) {
  const Eigen::Index a = layout.amplitude(k), m = layout.mean(k);
  SpectrumPeak peak;
  peak.amplitude = parameters(a);
  peak.amplitude_err = std::sqrt(covariance(a, a));
  peak.mean = parameters(m);
  peak.mean_err = std::sqrt(covariance(m, m));
  const bool fitted_gaussian = layout.shape() == LineShape::gaussian &&
                               layout.sigma(k) != RegionLayout::kNotFitted &&
                               layout.line(k).width.kind != WidthSource::resolution;
  if (fitted_gaussian) {
    gaussian_widths(layout, k, parameters, covariance, peak);
  } else {
    shape_widths(layout, k, parameters, covariance, peak);
  }
  peak.region = region;
  return peak;
}

bool representable(const SpectrumPeak& peak) {
  return std::isfinite(peak.amplitude) && std::isfinite(peak.mean) && std::isfinite(peak.fwhm) &&
         std::isfinite(peak.area);
}

// Whether the reported coefficients give the background at the region's ends; every background
// is monotone or a parabola there, so the ends bound it.
bool background_representable(const SpectrumRegion& region, Background background) {
  for (const double x : {region.lo, region.hi}) {
    if (!std::isfinite(background_at(background, region.b0, region.b1, region.b2, x))) return false;
  }
  return true;
}

SpectrumPeak failed_peak(std::size_t region) {
  return {kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, kNan, region};
}

void set_coefficients(SpectrumRegion& region, const RegionLayout& layout,
                      const Eigen::VectorXd& parameters, const Eigen::MatrixXd& covariance) {
  double* values[] = {&region.b0, &region.b1, &region.b2};
  double* errors[] = {&region.b0_err, &region.b1_err, &region.b2_err};
  for (Eigen::Index i = 0; i < layout.background_size(); ++i) {
    *values[i] = parameters(i);
    *errors[i] = std::sqrt(covariance(i, i));
  }
  if (!has_tail(layout.shape()) || layout.peak_count() == 0) return;
  const LineParameters shape = layout.line_parameters(0, parameters.data(), 0.0);
  region.tail = shape.tail;
  region.tail_err = error_of(covariance, layout.tail());
  region.tail_slope = shape.tail_slope;
  region.tail_slope_err = error_of(covariance, layout.tail_slope());
  region.step = shape.step;
  region.step_err = error_of(covariance, layout.step());
}

// The start values of what a shape has beyond a Gaussian's height, position and width.
void shape_start(const RegionLayout& layout, const std::vector<PeakStart>& starts, double widest,
                 Eigen::VectorXd& start) {
  const auto set = [&](Eigen::Index index, double value) {
    if (index != RegionLayout::kNotFitted) start(index) = value;
  };
  double mean_sigma = 0.0;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const RegionLayout::Line& line = layout.line(k);
    const double sigma = std::min(starts[k].sigma, widest);
    mean_sigma += sigma / static_cast<double>(starts.size());
    switch (layout.shape()) {
      case LineShape::gaussian:
      case LineShape::tailed:
      case LineShape::pseudo_voigt:
        set(line.sigma, sigma);
        break;
      case LineShape::lorentzian:
        set(line.gamma, std::min(kLorentzianGammaShare * sigma, widest));
        break;
      case LineShape::voigt:
        set(line.sigma, kVoigtSigmaShare * sigma);
        set(line.gamma, kVoigtGammaShare * sigma);
        break;
    }
    set(line.eta, kStartEta);
  }
  set(layout.tail(), kStartTail);
  set(layout.tail_slope(), std::min(kStartTailSlopeInSigma * mean_sigma, widest));
  set(layout.step(), kStartStep);
}

// Gaussian lines fitted first give a line of any other shape its position, height and width.
std::vector<PeakStart> gaussian_starts(const RegionSettings& context, std::size_t first,
                                       std::size_t count, const std::vector<PeakStart>& starts,
                                       const std::vector<WidthSource>& widths) {
  RegionSettings gaussian = context;
  gaussian.shape.shape = LineShape::gaussian;
  gaussian.start_values_only = true;
  const RegionFit fit = fit_region(gaussian, first, count, starts, widths, 0);
  if (!fit.region.ok()) return starts;
  std::vector<PeakStart> better;
  for (const SpectrumPeak& peak : fit.peaks)
    better.push_back({peak.mean, peak.amplitude, peak.sigma});
  return better;
}

}  // namespace

bool starts_as_given(LineShape shape) {
  return shape == LineShape::gaussian || shape == LineShape::pseudo_voigt ||
         shape == LineShape::lorentzian;
}

ShapeSettings shape_settings(const SpectrumFit& settings) {
  ShapeSettings shape;
  shape.background = settings.get_background();
  shape.shape = settings.get_shape();
  for (int parameter = 0; parameter <= static_cast<int>(ShapeParameter::gamma); ++parameter) {
    shape.fixed[static_cast<std::size_t>(parameter)] =
        settings.get_fixed(static_cast<ShapeParameter>(parameter));
  }
  if (const auto given = settings.get_resolution()) shape.resolution = Resolution{*given};
  return shape;
}

std::vector<WidthSource> widths_of(const SpectrumFit& settings, std::size_t lines) {
  WidthSource width;
  switch (settings.get_width()) {
    case WidthMode::free:
      width.kind = WidthSource::own;
      break;
    case WidthMode::shared:
      width.kind = WidthSource::region;
      break;
    case WidthMode::resolution:
      width.kind = WidthSource::resolution;
      break;
  }
  return std::vector<WidthSource>(lines, width);
}

RegionFit fit_region(const RegionSettings& context, std::size_t first, std::size_t count,
                     const std::vector<PeakStart>& starts, const std::vector<WidthSource>& widths,
                     std::size_t region_index) {
  const Channels& channels = context.channels;
  const SpectrumFit& settings = context.settings;
  const RegionLayout layout(context.shape, widths);
  RegionFit fit;
  SpectrumRegion& region = fit.region;
  // A region may hold no point at all (lines at the very edge of the data, an empty window).
  region.lo = count > 0 ? channels.x[first] : kNan;
  region.hi = count > 0 ? channels.x[first + count - 1] : kNan;
  region.points = count;
  region.b0 = region.b0_err = region.b1 = region.b1_err = region.b2 = region.b2_err = 0.0;
  region.parameter_names = layout.names();
  const auto parameter_count = static_cast<std::size_t>(layout.size());
  region.dof = static_cast<int>(count) - static_cast<int>(parameter_count);
  const auto fail = [&](int status, std::string text, int iterations) {
    region.status = status;
    region.status_str = std::move(text);
    region.iterations = iterations;
    region.chisq = region.chisq_dof = kNan;
    region.b0 = region.b1 = region.b2 = kNan;
    region.b0_err = region.b1_err = region.b2_err = kNan;
    region.covariance.assign(parameter_count * parameter_count, kNan);
    fit.peaks.assign(starts.size(), failed_peak(region_index));
    return fit;
  };
  // No background and no line: there is nothing to fit.
  if (parameter_count == 0) return fail(GSL_EINVAL, "nothing to fit: no background and no line", 0);
  if (count <= parameter_count) return fail(GSL_FAILURE, kNotEnoughDataText, 0);

  const double centre = 0.5 * (region.lo + region.hi);
  std::vector<double> u(count);
  for (std::size_t i = 0; i < count; ++i) u[i] = channels.x[first + i] - centre;
  const std::vector<PeakStart> shaped =
      layout.shape() == LineShape::gaussian || !context.gaussian_first
          ? starts
          : gaussian_starts(context, first, count, starts, widths);
  Eigen::VectorXd start = Eigen::VectorXd::Zero(layout.size());
  background_start(layout, channels, first, count, u, start);
  // Every peak starts with some height, as the model needs.
  const auto region_y = channels.y.begin() + static_cast<std::ptrdiff_t>(first);
  const auto [lowest_y, highest_y] =
      std::minmax_element(region_y, region_y + static_cast<std::ptrdiff_t>(count));
  const double least_height =
      kLeastStartHeight * std::max(*highest_y - *lowest_y, kLeastStartHeight);
  const double widest_sigma = kWidestSigmaShare * (u.back() - u.front());
  for (std::size_t k = 0; k < shaped.size(); ++k) {
    start(layout.amplitude(k)) = std::max(shaped[k].amplitude, least_height);
    start(layout.mean(k)) = shaped[k].mean - centre;
  }
  shape_start(layout, shaped, widest_sigma, start);
  const auto fitted = [&](ShapeParameter parameter) {
    return layout.tail_parameter(parameter) != RegionLayout::kNotFitted;
  };
  if (context.shape_held_at_start &&
      std::any_of(kTailParameters.begin(), kTailParameters.end(), fitted)) {
    RegionSettings held = context;
    held.shape_held_at_start = false;
    held.gaussian_first = false;
    for (ShapeParameter parameter : kTailParameters) {
      if (fitted(parameter)) held.shape.hold(parameter, start(layout.tail_parameter(parameter)));
    }
    return fit_region(held, first, count, shaped, widths, region_index);
  }
  // Gaussian lines of their own or shared widths are fitted as they always have been, to the last
  // bit, and a single such line takes the measures against a slow end only in a second try, when
  // that iteration ran out of its budget (a weak line on a strong background creeping to its
  // minimum): every fit that converged stays as it was. Lines of the other shapes, or with widths
  // from the detector's resolution, take them at once: a slow iteration follows valleys and
  // settles on chisq too, as MINPACK and so the peers' fits do. Their normal equations are summed
  // by the faster register tiles, solved by Cholesky and inverted by it where that is safe, and
  // their start heights come from the vectorised line shapes. A region of several lines that fails
  // sheds its weakest line instead, and the search plans its regions again from what is left.
  const bool as_always =
      layout.shape() == LineShape::gaussian && settings.get_width() != WidthMode::resolution;
  linear_start(layout, channels, first, u, centre, least_height, as_always, start);
  const Observations observations{
      channels.y.data() + first,
      channels.statistics == Statistics::weighted ? channels.sigma.data() + first : nullptr, count,
      statistic_of(channels.statistics)};
  const double spacing = (u.back() - u.front()) / static_cast<double>(count - 1);
  const RegionModel model(layout, u.data(), centre, widest_sigma, best_vector_kernels(), spacing);
  const double accuracy = context.start_values_only
                              ? std::max(settings.get_accuracy(), kStartValueAccuracy)
                              : settings.get_accuracy();
  const auto limits = [&](bool measures) {
    return IterationLimits{static_cast<std::size_t>(settings.get_max_iterations()), accuracy,
                           measures, measures ? accuracy : 0.0, !as_always};
  };
  auto minimum = minimise(model, observations, start, limits(!as_always));
  if (minimum.status == GSL_EMAXITER && as_always && starts.size() == 1) {
    minimum = minimise(model, observations, start, limits(true));
  }
  if (minimum.status != GSL_SUCCESS) {
    return fail(minimum.status, gsl_strerror(minimum.status), minimum.iterations);
  }

  // Start values need no errors: the pseudo-inverse of the information is left out.
  Eigen::MatrixXd covariance =
      context.start_values_only ? Eigen::MatrixXd::Zero(layout.size(), layout.size())
      : as_always               ? covariance_from(minimum.information)
                  : covariance_held_at_shape_edges(model, minimum.parameters, minimum.information);
  region.chisq = minimum.chisq;
  region.chisq_dof = region.chisq / region.dof;
  // Unweighted data carry their scale in the scatter about the fit.
  if (channels.statistics == Statistics::unweighted) covariance *= region.chisq_dof;
  const Eigen::MatrixXd transform = to_absolute_x(layout, minimum.parameters, centre);
  Eigen::VectorXd parameters = absolute_parameters(layout, minimum.parameters, centre);
  if (as_always) {
    covariance = transform * covariance * transform.transpose();
  } else {
    // The transform moves the background's coefficients alone, its first rows and columns.
    const Eigen::Index moved = layout.background_size();
    const Eigen::MatrixXd block = transform.topLeftCorner(moved, moved);
    covariance.topRows(moved) = block * covariance.topRows(moved);
    covariance.leftCols(moved) = covariance.leftCols(moved) * block.transpose();
  }
  for (std::size_t k = 0; k < layout.peak_count(); ++k) {
    const Eigen::Index sigma = layout.sigma(k);
    if (sigma != RegionLayout::kNotFitted &&
        (k == 0 || layout.line(k).width.kind == WidthSource::own))
      make_width_positive(sigma, parameters, covariance);
  }
  for (std::size_t k = 0; k < layout.peak_count(); ++k) {
    fit.peaks.push_back(peak_record(layout, k, parameters, covariance, region_index));
  }
  set_coefficients(region, layout, parameters, covariance);
  // A minimum whose values overflow where they are reported (an exponential background moved
  // from the region's centre to x = 0, the area of a line of extreme height) is not a fit.
  if (!parameters.allFinite() || !std::isfinite(minimum.chisq) ||
      !background_representable(region, layout.background()) ||
      !std::all_of(fit.peaks.begin(), fit.peaks.end(), representable)) {
    return fail(GSL_EOVRFLW, gsl_strerror(GSL_EOVRFLW), minimum.iterations);
  }
  region.status = GSL_SUCCESS;
  region.status_str = gsl_strerror(GSL_SUCCESS);
  region.iterations = minimum.iterations;
  region.covariance.assign(covariance.data(), covariance.data() + covariance.size());
  return fit;
}

}  // namespace vesk::numerics::detail
