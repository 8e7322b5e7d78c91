// Hostile inputs to the fitter, each with its expected outcome. Whatever the input, a fit
// returns; status 0 or -2 comes only with a finite chi-square, and any other status with every
// number 0 and the status's own text.
#include <gsl/gsl_errno.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "peak_data.h"
#include "vesk/numerics/GaussFit.h"

namespace vesk::numerics {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Hostile {
  const char* name;
  bool constant_offset;
  double offset;
  std::vector<double> x;
  std::vector<double> y;
  int expected_status;
  std::optional<double> expected_amplitude = std::nullopt;
  double accuracy = 1e-8;
  int max_iterations = 50;
  // Where the trust-region solver ends differently.
  std::optional<int> status_with_normal_equations = std::nullopt;
};

std::vector<double> grid(std::size_t count, double scale = 1.0) {
  std::vector<double> values;
  for (std::size_t i = 0; i < count; ++i) values.push_back(scale * static_cast<double>(i));
  return values;
}

std::vector<double> peak(std::size_t count, double scale = 1.0) {
  std::vector<double> values;
  for (std::size_t i = 0; i < count; ++i) {
    const double d = static_cast<double>(i) - 0.4 * static_cast<double>(count);
    values.push_back(scale * (5.0 * std::exp(-d * d / 8.0) + 1.0));
  }
  return values;
}

std::vector<double> with(std::vector<double> values, std::size_t index, double value) {
  values.at(index) = value;
  return values;
}

std::vector<double> same(std::size_t count, double value) {
  return std::vector<double>(count, value);
}

std::vector<double> reversed(std::vector<double> values) {
  return std::vector<double>(values.rbegin(), values.rend());
}

void expect_promises_kept(const GaussFitResult& result) {
  const bool complete = result.status_ == GSL_SUCCESS || result.status_ == GSL_CONTINUE;
  if (complete) {
    EXPECT_TRUE(std::isfinite(result.chisq_));
    EXPECT_TRUE(std::isfinite(result.chisq_dof_));
    return;
  }
  for (double value : result.get_vector()) EXPECT_EQ(value, 0.0);
  EXPECT_EQ(result.variance_, 0.0);
  EXPECT_EQ(result.chisq_, 0.0);
  EXPECT_EQ(result.status_str_, result.status_ == GSL_FAILURE ? "Not enough data points"
                                                              : gsl_strerror(result.status_));
}

using Solver = GaussFit::Solver;

class HostileInput : public ::testing::TestWithParam<std::tuple<Solver, Hostile>> {};

TEST_P(HostileInput, HasItsExpectedOutcome) {
  const auto& [solver, c] = GetParam();
  GaussFit fitter;
  fitter.set_solver(solver);
  fitter.enable_constant_offset(c.constant_offset);
  fitter.set_constant_offset(c.offset);
  fitter.set_accuracy(c.accuracy);
  fitter.set_max_iterations(c.max_iterations);
  const GaussFitResult result = fitter.fit(c.x, c.y);
  const int expected_status = solver == Solver::normal_equations
                                  ? c.status_with_normal_equations.value_or(c.expected_status)
                                  : c.expected_status;
  EXPECT_EQ(result.status_, expected_status) << result.status_str_;
  if (c.expected_amplitude && expected_status == GSL_SUCCESS) {
    EXPECT_NEAR(result.amplitude_, *c.expected_amplitude, 1e-9 * std::fabs(*c.expected_amplitude));
  }
  expect_promises_kept(result);
}

const int kDomain = GSL_EDOM;
const int kTooFew = GSL_FAILURE;

INSTANTIATE_TEST_SUITE_P(
    Table, HostileInput,
    ::testing::Combine(
        ::testing::Values(Solver::lmsder, Solver::normal_equations),
        ::testing::Values(
            // Non-finite values among the points used, or in the offset that is subtracted.
            Hostile{"NanInX", false, 0, with(grid(30), 4, kNan), peak(30), kDomain},
            Hostile{"MinusInfInX", true, 1, with(grid(30), 0, -kInf), peak(30), kDomain},
            Hostile{"InfInY", true, 1, grid(30), with(peak(30), 29, kInf), kDomain},
            Hostile{"NanInY", false, 0, grid(30), with(peak(30), 12, kNan), kDomain},
            Hostile{"NanOffset", true, kNan, grid(30), peak(30), kDomain},
            Hostile{"InfOffset", true, -kInf, grid(30), peak(30), kDomain},
            Hostile{"OffsetOverflowsY", true, -1.7e308, grid(30), same(30, 1.7e308), kDomain},
            Hostile{"NanOffsetUnusedWhenFitted", false, kNan, grid(30), peak(30), GSL_SUCCESS, 5.0},
            // Too few points, and unequal lengths both ways.
            Hostile{"Empty", false, 0, {}, {}, kTooFew},
            Hostile{"OnePoint", true, 0, grid(1), peak(1), kTooFew},
            Hostile{"ThreePointsFixed", true, 0, grid(3), peak(3), kTooFew},
            Hostile{"FourPointsFree", false, 0, grid(4), peak(4), kTooFew},
            Hostile{"LongerX", false, 0, grid(50), peak(30), GSL_SUCCESS, 5.0},
            Hostile{"LongerY", true, 1, grid(30), peak(50), GSL_SUCCESS},
            Hostile{"ShortYLongX", false, 0, grid(50), peak(4), kTooFew},
            // Degenerate shapes.
            Hostile{"ConstantX", false, 0, same(30, 2.0), peak(30), kDomain},
            Hostile{"ConstantXFixed", true, 1, same(30, 2.0), peak(30), kDomain},
            Hostile{"AllEqualY", false, 0, grid(30), same(30, 5.0), GSL_SUCCESS, 0.0},
            Hostile{"AllZeroY", false, 0, grid(30), same(30, 0.0), GSL_SUCCESS, 0.0},
            Hostile{"AllYBelowTheFixedOffset", true, 1, grid(30), same(30, 0.0), kDomain},
            Hostile{"DescendingX", false, 0, reversed(grid(30)), peak(30), GSL_SUCCESS, 5.0},
            Hostile{"DescendingXFixed", true, 1, reversed(grid(30)), peak(30), GSL_SUCCESS, 5.0},
            // Magnitudes near the ends of the double range.
            Hostile{"HugeY", false, 0, grid(30), peak(30, 1e300), kDomain},
            Hostile{"TinyY", false, 0, grid(30), peak(30, 1e-300), GSL_SUCCESS, 5e-300},
            Hostile{"HugeX", false, 0, grid(30, 1e300), peak(30), kDomain},
            Hostile{"TinyX", false, 0, grid(30, 1e-300), peak(30), kDomain},
            // Settings at and beyond their clamps.
            // No convergence test passes with a NaN tolerance: both solvers stop at machine
            // precision.
            Hostile{"NanAccuracy", true, 1, grid(30), peak(30), GSL_SUCCESS, 5.0, kNan},
            Hostile{"AccuracyBelowClamp", false, 0, grid(30), peak(30), GSL_SUCCESS, 5.0, 1e-300},
            Hostile{"AccuracyAboveClamp", false, 0, grid(30), peak(30), GSL_SUCCESS, 5.0, 1e300},
            Hostile{"NegativeBudget", false, 0, grid(30), peak(30), GSL_SUCCESS, 5.0, 1e-8, -7},
            Hostile{"BudgetOfOne", false, 0, grid(30), with(peak(30), 3, 1.7), GSL_EMAXITER,
                    std::nullopt, 1e-8, 1})),
    [](const auto& info) {
      const bool classic = std::get<0>(info.param) == Solver::lmsder;
      return std::string(classic ? "Lmsder" : "Normal") + std::get<1>(info.param).name;
    });

// Hand-written records with odd widths still evaluate without failing.
TEST(HostileRecord, OddWidthsEvaluate) {
  GaussFitResult record;
  record.amplitude_ = 2;
  record.mean_ = 5;
  record.offset_ = 1;
  const std::vector<std::pair<double, double>> width_and_value_at_6 = {
      {-1.0, 2 * std::exp(-0.5) + 1}, {0.0, 3.0}, {-0.0, 3.0}, {kInf, 3.0}, {1e-300, 1.0}};
  for (const auto& [width, expected] : width_and_value_at_6) {
    record.sigma_ = width;
    EXPECT_DOUBLE_EQ(record.gaussian(6.0), expected) << width;
  }
  record.sigma_ = kNan;
  EXPECT_TRUE(std::isnan(record.gaussian(6.0)));
}

}  // namespace
}  // namespace vesk::numerics
