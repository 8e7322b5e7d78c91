// The trust-region solver against the classic one: on every kind of peak, both modes and lengths
// from the fewest points to long scans, both land on the same optimum with the same errors.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

#include "peak_data.h"
#include "vesk/numerics/GaussFit.h"

namespace vesk::numerics {
namespace {

using Solver = GaussFit::Solver;

struct Peak {
  const char* name;
  testing::PeakShape shape;
  std::size_t points;
  double step;
  double noise;
};

constexpr double kParameterTolerance = 1e-8;
constexpr double kChisqTolerance = 1e-12;

GaussFitResult fit_with(Solver solver, bool constant_offset, const testing::PeakData& data,
                        double offset) {
  GaussFit fitter;
  fitter.set_solver(solver);
  fitter.enable_constant_offset(constant_offset);
  fitter.set_constant_offset(offset);
  return fitter.fit(data.x, data.y);
}

void expect_relatively_near(double actual, double expected, double tolerance, const char* what) {
  EXPECT_LE(std::fabs(actual - expected), tolerance * std::fabs(expected))
      << what << ": " << actual << " vs " << expected;
}

class SolverAgreement : public ::testing::TestWithParam<std::tuple<bool, Peak>> {};

TEST_P(SolverAgreement, SameOptimumAndErrors) {
  const auto& [constant_offset, peak] = GetParam();
  const double x_first = peak.shape.mean - peak.step * static_cast<double>(peak.points) * 0.45;
  const testing::PeakData data =
      testing::sample_peak(peak.shape, peak.points, x_first, peak.step, peak.noise, 7);
  const GaussFitResult classic = fit_with(Solver::lmsder, constant_offset, data, peak.shape.offset);
  const GaussFitResult normal =
      fit_with(Solver::normal_equations, constant_offset, data, peak.shape.offset);

  ASSERT_EQ(classic.status_, 0) << classic.status_str_;
  ASSERT_EQ(normal.status_, 0) << normal.status_str_;
  EXPECT_GT(normal.num_iterations_, 0);
  const auto classic_values = classic.get_vector();
  const auto normal_values = normal.get_vector();
  const char* names[] = {"offset",       "amplitude",       "mean",       "sigma",
                         "offset error", "amplitude error", "mean error", "sigma error"};
  // Noiseless data fit to rounding level: errors and chi-square are rounding noise themselves,
  // so only the parameters are compared, and the residual must vanish for both.
  const std::size_t compared = peak.noise > 0.0 ? classic_values.size() : 4;
  for (std::size_t i = 0; i < compared; ++i) {
    expect_relatively_near(normal_values[i], classic_values[i], kParameterTolerance, names[i]);
  }
  expect_relatively_near(normal.variance_, classic.variance_, kParameterTolerance, "variance");
  if (peak.noise > 0.0) {
    expect_relatively_near(normal.variance_err_, classic.variance_err_, kParameterTolerance,
                           "variance error");
    expect_relatively_near(normal.chisq_, classic.chisq_, kChisqTolerance, "chi-square");
  } else {
    const double rounding_level = 1e-20 * peak.shape.amplitude * peak.shape.amplitude;
    EXPECT_LT(classic.chisq_, rounding_level);
    EXPECT_LT(normal.chisq_, rounding_level);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SolverAgreement,
    ::testing::Combine(
        ::testing::Bool(),
        ::testing::Values(Peak{"Noiseless", {850, 661.7, 1.8, 120}, 101, 0.25, 0.0},
                          Peak{"Noisy", {850, 661.7, 1.8, 120}, 101, 0.25, 15.0},
                          Peak{"FewestPoints", {10, 20.0, 1.0, 2}, 5, 1.0, 0.05},
                          Peak{"Narrow", {3, 50.0, 0.6, 0.5}, 100, 1.0, 0.05},
                          Peak{"Wide", {3, 50.0, 25.0, 0.5}, 100, 1.0, 0.05},
                          Peak{"Thousand", {200, 400.0, 30.0, 10}, 1000, 0.2, 2.0},
                          Peak{"TenThousand", {200, 2000.0, 300.0, 10}, 10000, 0.2, 2.0},
                          Peak{"HundredThousand", {2e4, 5.0, 3.0, -40}, 100000, 0.0003, 30.0})),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) ? "ConstantOffset" : "FreeOffset") +
             std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace vesk::numerics
