// Line shapes: every shape's derivatives, area and FWHM against numerical calculus; fits of every
// shape that give simulated lines back; held parameters; widths from a detector's resolution;
// residual lines whatever the unit of y; undetermined widths tied; a solver that cannot step.
#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "least_squares.h"
#include "simd/vector_kernels.h"
#include "spectrum/line_shape.h"
#include "spectrum/region_model.h"
#include "vesk/numerics/SpectrumFit.h"

namespace vesk::numerics {
namespace {

using detail::LineParameters;

struct ShapeCase {
  const char* name;
  LineShape shape;
  LineParameters line;
};

LineParameters line_of(double sigma, double gamma, double eta, double tail, double slope,
                       double step) {
  LineParameters line;
  line.amplitude = 100.0;
  line.mean = 50.0;
  line.sigma = sigma;
  line.gamma = gamma;
  line.eta = eta;
  line.tail = tail;
  line.tail_slope = slope;
  line.step = step;
  return line;
}

const ShapeCase kShapes[] = {
    {"Gaussian", LineShape::gaussian, line_of(2.0, 0, 0, 0, 1, 0)},
    {"Tailed", LineShape::tailed, line_of(2.0, 0, 0, 0.3, 3.0, 0.02)},
    {"SteepTail", LineShape::tailed, line_of(1.2, 0, 0, 1.5, 0.4, 0.0)},
    {"Lorentzian", LineShape::lorentzian, line_of(0, 1.5, 0, 0, 1, 0)},
    {"PseudoVoigt", LineShape::pseudo_voigt, line_of(2.0, 0, 0.4, 0, 1, 0)},
    {"Voigt", LineShape::voigt, line_of(1.5, 1.0, 0, 0, 1, 0)},
};

double model_at(LineShape shape, const LineParameters& line, double x) {
  return detail::line_value(shape, line, x) + detail::step_value(shape, line, x);
}

class LineShapeCalculus : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(LineShapeCalculus, DerivativesAreThoseOfTheValues) {
  const ShapeCase& c = GetParam();
  constexpr std::size_t kPoints = 64;
  std::vector<double> u(kPoints), values(kPoints, 0.0);
  for (std::size_t i = 0; i < kPoints; ++i) u[i] = 30.0 + 0.65 * static_cast<double>(i);
  double LineParameters::*members[] = {&LineParameters::amplitude,  &LineParameters::mean,
                                       &LineParameters::sigma,      &LineParameters::gamma,
                                       &LineParameters::eta,        &LineParameters::tail,
                                       &LineParameters::tail_slope, &LineParameters::step};
  std::vector<std::vector<double>> columns(8, std::vector<double>(kPoints, 0.0));
  detail::LineColumns out;
  double** slots[] = {&out.amplitude, &out.mean, &out.sigma,      &out.gamma,
                      &out.eta,       &out.tail, &out.tail_slope, &out.step};
  for (int p = 0; p < 8; ++p) *slots[p] = columns[static_cast<std::size_t>(p)].data();
  std::vector<double> scratch(detail::kLineScratchRows * kPoints);
  detail::add_line(c.shape, c.line, u.data(), kPoints, detail::best_vector_kernels(),
                   scratch.data(), values.data(), out);
  const bool used[] = {true,
                       true,
                       detail::has_sigma(c.shape),
                       detail::has_gamma(c.shape),
                       detail::has_eta(c.shape),
                       detail::has_tail(c.shape),
                       detail::has_tail(c.shape),
                       detail::has_tail(c.shape)};
  for (std::size_t i = 0; i < kPoints; ++i) {
    EXPECT_NEAR(values[i], model_at(c.shape, c.line, u[i]), 1e-12 * c.line.amplitude) << i;
    for (int p = 0; p < 8; ++p) {
      if (!used[p]) continue;
      LineParameters up = c.line, down = c.line;
      const double h = 1e-6 * std::max(std::fabs(c.line.*members[p]), 1.0);
      up.*members[p] += h;
      down.*members[p] -= h;
      const double difference =
          (model_at(c.shape, up, u[i]) - model_at(c.shape, down, u[i])) / (2.0 * h);
      EXPECT_NEAR(columns[static_cast<std::size_t>(p)][i], difference,
                  2e-6 * (std::fabs(difference) + 1.0))
          << "parameter " << p << " at u = " << u[i];
    }
  }
}

TEST_P(LineShapeCalculus, AreaIsTheIntegralOfTheLine) {
  const ShapeCase& c = GetParam();
  struct Workspace {
    void operator()(gsl_integration_workspace* w) const { gsl_integration_workspace_free(w); }
  };
  std::unique_ptr<gsl_integration_workspace, Workspace> workspace(
      gsl_integration_workspace_alloc(4000));
  gsl_function f;
  f.function = [](double x, void* p) {
    const auto* shape = static_cast<const ShapeCase*>(p);
    return detail::line_value(shape->shape, shape->line, x);
  };
  f.params = const_cast<ShapeCase*>(&c);
  // The core over +-40 widths, and the long tails beyond.
  const double reach = 40.0 * std::max(c.line.sigma, c.line.gamma);
  const double lo = c.line.mean - reach, hi = c.line.mean + reach;
  double core = 0.0, left = 0.0, right = 0.0, error = 0.0;
  ASSERT_EQ(gsl_integration_qags(&f, lo, hi, 0.0, 1e-13, 4000, workspace.get(), &core, &error),
            GSL_SUCCESS);
  ASSERT_EQ(gsl_integration_qagil(&f, lo, 0.0, 1e-10, 4000, workspace.get(), &left, &error),
            GSL_SUCCESS);
  ASSERT_EQ(gsl_integration_qagiu(&f, hi, 0.0, 1e-10, 4000, workspace.get(), &right, &error),
            GSL_SUCCESS);
  const double integral = left + core + right;
  double gradient[detail::kShapeGradientSize];
  const double area = detail::line_area(c.shape, c.line, gradient);
  EXPECT_NEAR(area, integral, 1e-9 * integral);
  // The gradient that carries the covariance over is that of the area.
  LineParameters wider = c.line;
  const double h = 1e-6;
  double LineParameters::*width =
      detail::has_sigma(c.shape) ? &LineParameters::sigma : &LineParameters::gamma;
  wider.*width += h;
  const int row = detail::has_sigma(c.shape) ? detail::kBySigma : detail::kByGamma;
  EXPECT_NEAR(gradient[row], (detail::line_area(c.shape, wider, nullptr) - area) / h,
              1e-4 * std::fabs(gradient[row]));
}

TEST_P(LineShapeCalculus, FwhmIsWhereTheLineFallsToHalfItsHeight) {
  const ShapeCase& c = GetParam();
  // The half-height crossings of a dense sampling, interpolated linearly.
  constexpr int kSamples = 400000;
  const double lo = 20.0, hi = 80.0, step = (hi - lo) / kSamples;
  std::vector<double> values(kSamples + 1);
  double top = 0.0;
  for (int i = 0; i <= kSamples; ++i) {
    values[static_cast<std::size_t>(i)] = detail::line_value(c.shape, c.line, lo + i * step);
    top = std::max(top, values[static_cast<std::size_t>(i)]);
  }
  double left = NAN, right = NAN;
  for (int i = 0; i < kSamples; ++i) {
    const double a = values[static_cast<std::size_t>(i)] - 0.5 * top;
    const double b = values[static_cast<std::size_t>(i) + 1] - 0.5 * top;
    const double crossing = lo + (i + a / (a - b)) * step;
    if (a < 0.0 && b >= 0.0 && std::isnan(left)) left = crossing;
    if (a >= 0.0 && b < 0.0) right = crossing;
  }
  double gradient[detail::kShapeGradientSize];
  const double fwhm = detail::line_fwhm(c.shape, c.line, gradient);
  EXPECT_NEAR(fwhm, right - left, 1e-6 * (right - left));
  // Its gradient, against central differences of the FWHM itself.
  const std::pair<double LineParameters::*, int> parameters[] = {
      {&LineParameters::sigma, detail::kBySigma},
      {&LineParameters::gamma, detail::kByGamma},
      {&LineParameters::eta, detail::kByEta},
      {&LineParameters::tail, detail::kByTail},
      {&LineParameters::tail_slope, detail::kByTailSlope}};
  for (const auto& [member, index] : parameters) {
    LineParameters up = c.line, down = c.line;
    const double h = 1e-5 * std::max(std::fabs(c.line.*member), 0.1);
    up.*member += h;
    down.*member -= h;
    const double difference =
        (detail::line_fwhm(c.shape, up, nullptr) - detail::line_fwhm(c.shape, down, nullptr)) /
        (2.0 * h);
    EXPECT_NEAR(gradient[index], difference, 1e-6 * (std::fabs(difference) + 1.0)) << index;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LineShapeCalculus, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

// A region's Jacobian, whatever its lines share: each shape with every line's widths its own,
// shared by the region, or the third line's tied to the first's. The columns are filled with NaN
// before every evaluation, so a column that a line neither starts nor finds zeroed shows.
struct RegionShape {
  const char* name;
  LineShape shape;
};

const RegionShape kRegionShapes[] = {{"Gaussian", LineShape::gaussian},
                                     {"Tailed", LineShape::tailed},
                                     {"Lorentzian", LineShape::lorentzian},
                                     {"PseudoVoigt", LineShape::pseudo_voigt},
                                     {"Voigt", LineShape::voigt}};

class RegionJacobian : public ::testing::TestWithParam<std::tuple<RegionShape, int>> {};

TEST_P(RegionJacobian, ColumnsAreTheDerivativesOfTheValues) {
  const LineShape shape = std::get<0>(GetParam()).shape;
  const auto kind = static_cast<detail::WidthSource::Kind>(std::get<1>(GetParam()));
  constexpr std::size_t kLines = 3;
  std::vector<detail::WidthSource> widths(kLines, detail::WidthSource{kind, 0, 0.0});
  if (kind == detail::WidthSource::like_line)
    widths[0].kind = widths[1].kind = detail::WidthSource::own;
  detail::ShapeSettings settings;
  settings.shape = shape;
  const detail::RegionLayout layout(settings, widths);
  // More points than one chunk, so that the columns of a chunk that follows another are checked.
  const std::size_t n = detail::kChunk + 45;
  std::vector<double> u(n);
  for (std::size_t i = 0; i < n; ++i) u[i] = -15.0 + 30.0 * static_cast<double>(i) / (n - 1);
  const detail::RegionModel model(layout, u.data(), 0.0, 50.0, detail::best_vector_kernels());
  // Every parameter at a value inside its domain, one slot at a time in the layout's order.
  Eigen::VectorXd p = Eigen::VectorXd::Constant(layout.size(), 0.9);
  p(0) = 5.0;
  p(1) = 0.1;
  const double means[kLines] = {-6.0, 0.5, 4.0};
  for (std::size_t k = 0; k < kLines; ++k) {
    p(layout.amplitude(k)) = 100.0 * static_cast<double>(k + 1);
    p(layout.mean(k)) = means[k];
    if (layout.line(k).eta != detail::RegionLayout::kNotFitted) p(layout.line(k).eta) = 0.4;
  }
  if (layout.tail() != detail::RegionLayout::kNotFitted) p(layout.tail()) = 0.3;
  if (layout.tail_slope() != detail::RegionLayout::kNotFitted) p(layout.tail_slope()) = 2.0;
  if (layout.step() != detail::RegionLayout::kNotFitted) p(layout.step()) = 0.02;
  const auto values_at = [&](const Eigen::VectorXd& at) {
    std::vector<double> values(n), jacobian(n * static_cast<std::size_t>(layout.size()));
    for (std::size_t begin = 0; begin < n; begin += detail::kChunk) {
      const std::size_t count = std::min(detail::kChunk, n - begin);
      EXPECT_TRUE(model.evaluate(at.data(), begin, count, values.data() + begin, jacobian.data()));
    }
    return values;
  };
  std::vector<double> jacobian(detail::kChunk * static_cast<std::size_t>(layout.size()));
  std::vector<double> values(detail::kChunk);
  for (std::size_t begin = 0; begin < n; begin += detail::kChunk) {
    const std::size_t count = std::min(detail::kChunk, n - begin);
    std::fill(jacobian.begin(), jacobian.end(), std::numeric_limits<double>::quiet_NaN());
    ASSERT_TRUE(model.evaluate(p.data(), begin, count, values.data(), jacobian.data()));
    for (Eigen::Index j = 0; j < layout.size(); ++j) {
      Eigen::VectorXd up = p, down = p;
      const double h = 1e-6 * std::max(std::fabs(p(j)), 1.0);
      up(j) += h;
      down(j) -= h;
      const std::vector<double> above = values_at(up), below = values_at(down);
      for (std::size_t i = 0; i < count; ++i) {
        const double difference = (above[begin + i] - below[begin + i]) / (2.0 * h);
        ASSERT_NEAR(jacobian[static_cast<std::size_t>(j) * count + i], difference,
                    2e-6 * (std::fabs(difference) + 1.0))
            << layout.names()[static_cast<std::size_t>(j)] << " at u = " << u[begin + i];
      }
    }
  }
}

std::string region_case_name(const ::testing::TestParamInfo<std::tuple<RegionShape, int>>& info) {
  static const char* const kWidths[] = {"Own", "Shared", "Tied"};
  return std::string(std::get<0>(info.param).name) + kWidths[std::min(std::get<1>(info.param), 2)];
}

INSTANTIATE_TEST_SUITE_P(
    ShapesAndWidths, RegionJacobian,
    ::testing::Combine(::testing::ValuesIn(kRegionShapes),
                       ::testing::Values(static_cast<int>(detail::WidthSource::own),
                                         static_cast<int>(detail::WidthSource::region),
                                         static_cast<int>(detail::WidthSource::like_line))),
    region_case_name);

struct Spectrum {
  std::vector<double> x, y;
  SpectrumData data(Statistics statistics = Statistics::unweighted) const {
    return {x.data(), y.data(), nullptr, x.size(), statistics};
  }
};

// Three overlapping lines of one shape on a sloping background, far from x = 0.
Spectrum three_lines(const ShapeCase& c, double scale = 1.0) {
  Spectrum s;
  const double means[] = {1040.0, 1047.0, 1056.0}, heights[] = {400.0, 250.0, 320.0};
  for (int i = 0; i <= 300; ++i) {
    const double x = 1000.0 + 0.35 * i;
    double y = 80.0 - 0.05 * (x - 1000.0);
    for (int k = 0; k < 3; ++k) {
      LineParameters line = c.line;
      line.mean = means[k];
      line.amplitude = heights[k];
      y += model_at(c.shape, line, x);
    }
    s.x.push_back(x);
    s.y.push_back(scale * y);
  }
  return s;
}

class ShapeFit : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeFit, NoiselessLinesComeBack) {
  const ShapeCase& c = GetParam();
  const Spectrum s = three_lines(c);
  SpectrumFit fitter;
  fitter.set_shape(c.shape);
  fitter.set_accuracy(1e-12);
  fitter.set_max_iterations(500);
  fitter.set_window(1000.0, 1105.0);
  const SpectrumFitResult r = fitter.fit(s.data(), std::vector<double>{1041.0, 1046.0, 1057.0});
  ASSERT_EQ(r.status, GSL_SUCCESS) << r.status_str;
  ASSERT_TRUE(r.regions.at(0).ok()) << r.regions[0].status_str;
  EXPECT_LT(r.regions[0].chisq, 1e-12);
  const double means[] = {1040.0, 1047.0, 1056.0}, heights[] = {400.0, 250.0, 320.0};
  for (std::size_t k = 0; k < 3; ++k) {
    const SpectrumPeak& p = r.peaks.at(k);
    EXPECT_NEAR(p.mean, means[k], 1e-7);
    EXPECT_NEAR(p.amplitude, heights[k], 1e-7 * heights[k]);
    LineParameters truth = c.line;
    truth.amplitude = heights[k];
    EXPECT_NEAR(p.area, detail::line_area(c.shape, truth, nullptr), 1e-7 * p.area);
    EXPECT_NEAR(p.fwhm, detail::line_fwhm(c.shape, truth, nullptr), 1e-7 * p.fwhm);
    EXPECT_EQ(std::isnan(p.gamma), !detail::has_gamma(c.shape));
    EXPECT_EQ(std::isnan(p.eta), !detail::has_eta(c.shape));
    // The line alone is the model less the background, tail and all, step not.
    const double x = means[k] - 1.3;
    EXPECT_NEAR(r.evaluate_peak(k, x),
                detail::line_value(
                    c.shape,
                    [&] {
                      LineParameters l = truth;
                      l.mean = means[k];
                      return l;
                    }(),
                    x),
                1e-6 * heights[k]);
  }
  EXPECT_NEAR(r.evaluate(s.x[143]), s.y[143], 1e-6);
  if (detail::has_tail(c.shape)) {
    EXPECT_NEAR(r.regions[0].tail, c.line.tail, 1e-6 * c.line.tail);
    EXPECT_NEAR(r.regions[0].step, c.line.step, 1e-6);
  } else {
    EXPECT_TRUE(std::isnan(r.regions[0].tail));
  }
}

// With noise the lines' shape leaves residuals that Gauss-Newton reduces a digit or two a step.
// A fit with the default accuracy may stop once chisq has settled, but no sooner than where a
// patient fit's minimum is reached to a small share of every error.
TEST_P(ShapeFit, NoisyLinesEndAtThePatientFitsMinimum) {
  const ShapeCase& c = GetParam();
  Spectrum s = three_lines(c);
  std::mt19937_64 random(5);
  std::normal_distribution<double> noise(0.0, 4.0);
  for (double& y : s.y) y += noise(random);
  const auto fit = [&](double accuracy) {
    SpectrumFit fitter;
    fitter.set_shape(c.shape);
    fitter.set_accuracy(accuracy);
    fitter.set_max_iterations(500);
    fitter.set_window(1000.0, 1105.0);
    return fitter.fit(s.data(), std::vector<double>{1041.0, 1046.0, 1057.0});
  };
  const SpectrumFitResult r = fit(SpectrumFit::default_accuracy);
  const SpectrumFitResult patient = fit(1e-14);
  ASSERT_TRUE(r.regions.at(0).ok()) << r.regions[0].status_str;
  ASSERT_TRUE(patient.regions.at(0).ok()) << patient.regions[0].status_str;
  EXPECT_LE(r.regions[0].chisq, patient.regions[0].chisq * (1.0 + 1e-9));
  for (std::size_t k = 0; k < 3; ++k) {
    const SpectrumPeak &line = r.peaks.at(k), &best = patient.peaks.at(k);
    EXPECT_NEAR(line.mean, best.mean, 2e-3 * best.mean_err) << k;
    EXPECT_NEAR(line.area, best.area, 2e-3 * best.area_err) << k;
    EXPECT_NEAR(line.fwhm, best.fwhm, 2e-3 * best.fwhm_err) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShapeFit, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

// Lines whose shape has a parameter at the edge of its domain: Gaussian lines fitted as tailed
// lines (no tail, no step) and as Voigt lines (no Lorentzian width), Lorentzian lines fitted as
// pseudo-Voigt lines (eta 1). Within the default iteration budget the fit ends on the edge, with
// the lines' true areas.
struct EdgeCase {
  const char* name;
  std::size_t data;  // index into kShapes
  LineShape fitted;
};

class ShapeOnItsEdge : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(ShapeOnItsEdge, EndsOnTheEdgeWithTheTrueAreas) {
  const EdgeCase& c = GetParam();
  const ShapeCase& truth = kShapes[c.data];
  const Spectrum s = three_lines(truth);
  SpectrumFit fitter;
  fitter.set_shape(c.fitted);
  fitter.set_window(1000.0, 1105.0);
  const SpectrumFitResult r = fitter.fit(s.data(), std::vector<double>{1041.0, 1046.0, 1057.0});
  ASSERT_TRUE(r.regions.at(0).ok()) << r.regions[0].status_str;
  if (detail::has_tail(c.fitted)) {
    EXPECT_LT(r.regions[0].tail, 1e-9);
    EXPECT_LT(r.regions[0].step, 1e-9);
  }
  const double heights[] = {400.0, 250.0, 320.0};
  for (std::size_t k = 0; k < 3; ++k) {
    const SpectrumPeak& p = r.peaks.at(k);
    if (c.fitted == LineShape::voigt) {
      EXPECT_LT(p.gamma, 1e-9) << k;
    }
    if (c.fitted == LineShape::pseudo_voigt) {
      EXPECT_GT(p.eta, 1.0 - 1e-9) << k;
    }
    LineParameters line = truth.line;
    line.amplitude = heights[k];
    EXPECT_NEAR(p.area, detail::line_area(truth.shape, line, nullptr), 1e-6 * p.area) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShapeOnItsEdge,
                         ::testing::Values(EdgeCase{"GaussianAsTailed", 0, LineShape::tailed},
                                           EdgeCase{"GaussianAsVoigt", 0, LineShape::voigt},
                                           EdgeCase{"LorentzianAsPseudoVoigt", 3,
                                                    LineShape::pseudo_voigt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HeldParameters, StayAtTheirValuesWithNoError) {
  const ShapeCase& tailed = kShapes[1];
  const Spectrum s = three_lines(tailed);
  SpectrumFit fitter;
  fitter.set_shape(LineShape::tailed);
  fitter.set_window(1000.0, 1105.0);
  fitter.set_fixed(ShapeParameter::tail, 0.3);
  fitter.set_fixed(ShapeParameter::step, 0.02);
  const SpectrumFitResult r = fitter.fit(s.data(), std::vector<double>{1041.0, 1046.0, 1057.0});
  ASSERT_TRUE(r.regions.at(0).ok()) << r.regions[0].status_str;
  EXPECT_EQ(r.regions[0].tail, 0.3);
  EXPECT_EQ(r.regions[0].tail_err, 0.0);
  EXPECT_EQ(r.regions[0].step, 0.02);
  EXPECT_NEAR(r.regions[0].tail_slope, 3.0, 1e-6);
  EXPECT_GT(r.regions[0].tail_slope_err, 0.0);
  for (const std::string& name : r.regions[0].parameter_names) {
    EXPECT_TRUE(name != "tail" && name != "step") << name;
  }
  // A value a parameter cannot take refuses the spectrum instead of fitting nonsense.
  fitter.set_fixed(ShapeParameter::tail_slope, -1.0);
  const SpectrumFitResult refused = fitter.fit(s.data());
  EXPECT_EQ(refused.status, GSL_EINVAL);
  EXPECT_NE(refused.status_str.find("tail_slope"), std::string::npos);
}

// Poisson counts of one strong tailed line (area 10 000, T = 0.15, beta = 2.5, S = 0.003,
// sigma = 2) on 20 a channel. On the first the tail's height and slope trade along a valley that
// plain Gauss-Newton steps walk for 136 iterations; on the second the best tail is as steep as
// the points allow and its height grows without end.
const double kCrawlingTail[] = {
    26,   13,  23,  25,  23, 28, 21, 23, 26, 24, 28, 28, 26, 17,  25,  31,  20,  20,   34,   30,
    23,   33,  25,  31,  22, 32, 30, 22, 30, 36, 32, 46, 52, 112, 239, 495, 960, 1483, 1870, 1789,
    1549, 888, 501, 159, 64, 35, 15, 18, 18, 21, 27, 16, 25, 20,  24,  26,  21,  20,   16,   21,
    18,   21,  23,  22,  21, 15, 16, 10, 17, 18, 10, 15, 16, 16,  13,  17,  15,  18,   22,   22};
const double kUnendingTail[] = {
    16,   21,   24,   16,   31,  27,  25,  26, 27, 35, 33, 22, 18, 27, 24, 28, 15,  23,  29,  23,
    23,   33,   24,   34,   28,  23,  23,  29, 22, 22, 19, 34, 36, 28, 35, 56, 125, 233, 515, 995,
    1457, 1951, 1840, 1565, 931, 431, 161, 57, 25, 21, 18, 17, 12, 21, 28, 20, 17,  19,  16,  18,
    14,   25,   22,   26,   24,  16,  21,  17, 17, 35, 24, 26, 25, 22, 24, 23, 25,  23,  13,  21};

TEST(UndeterminedTails, ConvergeWithinTheDefaultBudgetWithTheirArea) {
  for (const double* counts : {kCrawlingTail, kUnendingTail}) {
    Spectrum s;
    for (int i = 0; i < 80; ++i) s.x.push_back(i), s.y.push_back(counts[i]);
    SpectrumFit fitter;
    fitter.set_shape(LineShape::tailed);
    const SpectrumFitResult r = fitter.fit(s.data(Statistics::poisson));
    ASSERT_EQ(r.regions.size(), 1u);
    ASSERT_TRUE(r.regions[0].ok()) << r.regions[0].status_str;
    ASSERT_EQ(r.peaks.size(), 1u);
    EXPECT_LE(r.regions[0].tail, 10.0);
    // The area is what the counts determine, whatever the tail: within 1.5 of its errors.
    EXPECT_NEAR(r.peaks[0].area, 10000.0, 1.5 * r.peaks[0].area_err);
  }
}

// A germanium-like spectrum: Gaussian lines whose FWHM^2 = 3 + 0.002 x, as Poisson counts.
Spectrum resolution_spectrum(std::mt19937_64& random) {
  Spectrum s;
  const double means[] = {150, 320, 480, 660, 810, 1000, 1170, 1330, 1500, 1700};
  for (int i = 0; i < 4096; ++i) {
    const double x = 0.5 * i;
    double mu = 50.0 * std::exp(-x / 700.0) + 5.0;
    for (double mean : means) {
      const double sigma = std::sqrt(3.0 + 0.002 * mean) / 2.3548200450309493;
      const double d = (x - mean) / sigma;
      mu += 3000.0 * std::exp(-0.5 * d * d);
    }
    s.x.push_back(x);
    s.y.push_back(static_cast<double>(std::poisson_distribution<long>(mu)(random)));
  }
  return s;
}

// Strong lines from x = 1000 to 1900 whose FWHM^2 = 1 + 0.009 x channels^2, and a weak one at
// x = 100: the resolution that the strong lines measure would be a line's width of little more
// than a channel at the start of the data, narrower than any line can be shown by its points.
// The strong lines still follow it, not one width for all.
TEST(ResolutionWidths, NeverHoldALineNarrowerThanTwoChannels) {
  std::mt19937_64 random(3);
  Spectrum s;
  for (int i = 0; i < 2000; ++i) {
    const double x = i;
    double mu = 20.0;
    for (double mean : {100.0, 1000.0, 1200.0, 1400.0, 1600.0, 1800.0, 1900.0}) {
      const double sigma = std::sqrt(1.0 + 0.009 * mean) / 2.3548200450309493;
      const double d = (x - mean) / sigma;
      mu += (mean < 500.0 ? 150.0 : 4000.0) * std::exp(-0.5 * d * d);
    }
    s.x.push_back(x);
    s.y.push_back(static_cast<double>(std::poisson_distribution<long>(mu)(random)));
  }
  SpectrumFit fitter;
  fitter.set_width(WidthMode::resolution);
  const SpectrumFitResult r = fitter.fit(s.data(Statistics::poisson));
  ASSERT_EQ(r.status, GSL_SUCCESS);
  ASSERT_GE(r.peaks.size(), 7u);
  for (const SpectrumPeak& p : r.peaks) {
    EXPECT_GE(p.fwhm, 2.0) << "line at " << p.mean;
    if (p.mean > 500.0) {
      EXPECT_NEAR(p.fwhm, std::sqrt(1.0 + 0.009 * p.mean), 0.03 * p.fwhm) << "line at " << p.mean;
    }
  }
}

TEST(ResolutionWidths, AreFittedFromTheStrongLinesAndImposedOnAll) {
  std::mt19937_64 random(7);
  const Spectrum s = resolution_spectrum(random);
  SpectrumFit fitter;
  fitter.set_width(WidthMode::resolution);
  const SpectrumFitResult r = fitter.fit(s.data(Statistics::poisson));
  ASSERT_EQ(r.status, GSL_SUCCESS);
  ASSERT_EQ(r.peaks.size(), 10u);
  EXPECT_EQ(r.width, WidthMode::resolution);
  // The fitted coefficients agree with the truth within their errors.
  const double truth[] = {3.0, 0.002, 0.0};
  for (std::size_t i = 0; i < 3; ++i) {
    const double error = std::sqrt(r.resolution_covariance[4 * i]);
    EXPECT_GT(error, 0.0);
    EXPECT_LT(std::fabs(r.resolution[i] - truth[i]), 4.0 * error) << i;
  }
  for (const SpectrumPeak& p : r.peaks) {
    const double fwhm =
        std::sqrt(r.resolution[0] + p.mean * (r.resolution[1] + p.mean * r.resolution[2]));
    EXPECT_NEAR(p.fwhm, fwhm, 1e-12 * fwhm);
  }
  // Given coefficients are imposed as they are, with no error.
  fitter.set_resolution(3.0, 0.002, 0.0);
  const SpectrumFitResult given = fitter.fit(s.data(Statistics::poisson));
  ASSERT_EQ(given.peaks.size(), 10u);
  EXPECT_EQ(given.resolution[1], 0.002);
  EXPECT_EQ(given.resolution_covariance[0], 0.0);
  EXPECT_NEAR(given.peaks[3].fwhm, std::sqrt(3.0 + 0.002 * given.peaks[3].mean), 1e-12);
}

TEST(ResidualLines, DoNotDependOnTheUnitOfY) {
  // A doublet of similar lines 1.3 FWHM apart, with noise: fitted as two lines in any unit.
  std::mt19937_64 random(11);
  std::normal_distribution<double> noise(0.0, 4.0);
  Spectrum s;
  for (int i = 0; i < 600; ++i) {
    const double x = i;
    const double a = (x - 300.0) / 4.0, b = (x - 312.0) / 4.0;
    s.x.push_back(x);
    s.y.push_back(50.0 + 900.0 * std::exp(-0.5 * a * a) + 700.0 * std::exp(-0.5 * b * b) +
                  noise(random));
  }
  Spectrum milli = s;
  for (double& y : milli.y) y *= 1e-3;
  const SpectrumFit fitter;
  const SpectrumFitResult in_units = fitter.fit(s.data());
  const SpectrumFitResult in_thousandths = fitter.fit(milli.data());
  ASSERT_EQ(in_units.peaks.size(), 2u);
  ASSERT_EQ(in_thousandths.peaks.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_NEAR(in_units.peaks[k].mean, in_thousandths.peaks[k].mean, 1e-6);
  }
}

TEST(UndeterminedWidths, AreTiedAndSaySo) {
  // A strong line and, beside it in its region, a spike one channel wide: its own width would
  // come out narrower than a channel.
  Spectrum s;
  for (int i = 0; i < 200; ++i) {
    const double x = i;
    const double a = (x - 100.0) / 3.0;
    s.x.push_back(x);
    s.y.push_back(10.0 + 1000.0 * std::exp(-0.5 * a * a) + (i == 112 ? 150.0 : 0.0) +
                  (i % 2 == 0 ? 0.5 : -0.5));
  }
  SpectrumFit fitter;
  fitter.set_window(80.0, 130.0);
  // The spike starts as narrow as it looks, so that it is not taken for a line that is absent.
  const std::vector<FoundPeak> starts = {{100.0, 1000.0, 3.0, 7.0, 50.0},
                                         {112.0, 150.0, 0.6, 1.4, 8.0}};
  const SpectrumFitResult r = fitter.fit(s.data(), starts);
  ASSERT_EQ(r.status, GSL_SUCCESS);
  ASSERT_EQ(r.peaks.size(), 2u);
  ASSERT_TRUE(r.regions[0].ok()) << r.regions[0].status_str;
  EXPECT_FALSE(r.peaks[0].width_tied);
  EXPECT_TRUE(r.peaks[1].width_tied);
  EXPECT_DOUBLE_EQ(r.peaks[1].sigma, r.peaks[0].sigma);
  for (const SpectrumPeak& p : r.peaks) EXPECT_GE(p.fwhm, 2.0);
}

// A model whose derivatives are not numbers: no step can ever be solved for.
struct UnsolvableModel {
  static constexpr int kParameters = 2;
  Eigen::Index parameter_count() const { return 2; }
  bool evaluate(const double*, std::size_t, std::size_t count, double* values,
                double* jacobian) const {
    for (std::size_t i = 0; i < count; ++i) {
      values[i] = 1.0;
      jacobian[i] = NAN;
      jacobian[count + i] = 1.0;
    }
    return true;
  }
};

TEST(LeastSquaresCore, AStepThatCannotBeSolvedEndsAsNoProgress) {
  const std::vector<double> y(10, 2.0);
  const detail::Observations observations{y.data(), nullptr, y.size(),
                                          detail::Statistic::least_squares};
  const auto minimum = detail::minimise(UnsolvableModel{}, observations,
                                        detail::ParameterVector<2>(1.0, 1.0), {50, 1e-8});
  EXPECT_EQ(minimum.status, GSL_ENOPROG);
  EXPECT_EQ(minimum.iterations, 0);
}

// A straight line whose slope may not be negative, fitted to points that fall: the minimum lies
// on the bound, at the points' mean. However the step that reaches the bound rounds, the slope
// must then be held there and the height go on to the mean, from every start.
struct RisingLine {
  static constexpr int kParameters = 2;
  Eigen::Index parameter_count() const { return 2; }
  bool evaluate(const double* p, std::size_t begin, std::size_t count, double* values,
                double* jacobian) const {
    for (std::size_t i = 0; i < count; ++i) {
      const double x = static_cast<double>(begin + i);
      values[i] = p[0] + p[1] * x;
      jacobian[i] = 1.0;
      jacobian[count + i] = x;
    }
    return true;
  }
  std::optional<detail::Bounds<2>> bounds() const {
    return detail::Bounds<2>{{-1e300, 0.0}, {1e300, 1e300}};
  }
};

TEST(LeastSquaresCore, AStepCutShortAtABoundLeavesTheParameterOnIt) {
  std::vector<double> y(40);
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = 7.0 - 0.37 * static_cast<double>(i);
  const double mean = (y.front() + y.back()) / 2.0;
  const detail::Observations observations{y.data(), nullptr, y.size(),
                                          detail::Statistic::least_squares};
  for (int k = 1; k <= 40; ++k) {
    const detail::ParameterVector<2> start(0.1 * k, 0.013 * k);
    const auto minimum = detail::minimise(RisingLine{}, observations, start, {100, 1e-10});
    ASSERT_EQ(minimum.status, GSL_SUCCESS) << k;
    EXPECT_EQ(minimum.parameters(1), 0.0) << k;
    EXPECT_NEAR(minimum.parameters(0), mean, 1e-6) << k;
  }
}

// The Cholesky inverse that fits of the other shapes take is the pseudo-inverse of the
// eigendecomposition wherever it is taken, and where the information is singular or nearly so
// the eigendecomposition itself answers.
TEST(LeastSquaresCore, FastCovarianceIsThePseudoInverse) {
  std::mt19937_64 random(11);
  std::normal_distribution<double> normal(0.0, 1.0);
  const Eigen::Index p = 22;
  Eigen::MatrixXd jacobian(60, p);
  for (Eigen::Index i = 0; i < jacobian.size(); ++i) jacobian.data()[i] = normal(random);
  // Parameters in units a million times apart, as a height and a position can be.
  for (Eigen::Index j = 0; j < p; ++j) jacobian.col(j) *= std::pow(10.0, (j % 7) - 3.0);
  const Eigen::MatrixXd information = jacobian.transpose() * jacobian;
  const Eigen::MatrixXd fast = detail::fast_covariance_from(information);
  const Eigen::MatrixXd exact = detail::covariance_from(information);
  EXPECT_TRUE(fast.isApprox(fast.transpose(), 0.0));
  for (Eigen::Index r = 0; r < p; ++r) {
    for (Eigen::Index c = 0; c < p; ++c) {
      EXPECT_NEAR(fast(r, c), exact(r, c), 1e-12 * std::sqrt(exact(r, r) * exact(c, c)));
    }
  }
  Eigen::MatrixXd singular = information;
  singular.row(5).setZero();
  singular.col(5).setZero();  // a parameter the data never touched
  Eigen::MatrixXd degenerate = information;
  degenerate.row(7) = degenerate.row(6);  // two parameters with one effect
  degenerate.col(7) = degenerate.col(6);
  for (const Eigen::MatrixXd& m : {singular, degenerate}) {
    const Eigen::MatrixXd answer = detail::fast_covariance_from(m);
    EXPECT_TRUE(answer.cwiseEqual(detail::covariance_from(m)).all());
  }
}

}  // namespace
}  // namespace vesk::numerics
