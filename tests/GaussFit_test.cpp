#include "vesk/numerics/GaussFit.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_multifit_nlin.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "peak_data.h"

namespace vesk::numerics {

// The fitter's private record of the points, with the layout the callbacks read.
struct GaussInputData {
  std::size_t n_;
  const gsl_vector* x_data_;
  const gsl_vector* y_data_;
};

class GaussFitInternals {
 public:
  static constexpr auto f3 = &GaussFit::gaussian_f3;
  static constexpr auto f4 = &GaussFit::gaussian_f4;
  static constexpr auto df3 = &GaussFit::gaussian_df3;
  static constexpr auto df4 = &GaussFit::gaussian_df4;
  static constexpr auto fdf3 = &GaussFit::gaussian_fdf3;
  static constexpr auto fdf4 = &GaussFit::gaussian_fdf4;
  static GaussFitResult initial_guess3(const GaussFit& fitter, const gsl_vector& x,
                                       const gsl_vector& y) {
    return fitter.initialGuess3(x, y);
  }
};

namespace {

using testing::PeakShape;
using testing::sample_peak;
using Internals = GaussFitInternals;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

gsl_vector_const_view view(const std::vector<double>& values) {
  return gsl_vector_const_view_array(values.data(), values.size());
}

std::vector<double> range(std::size_t count, double first = 0, double step = 1) {
  std::vector<double> values;
  for (std::size_t i = 0; i < count; ++i) values.push_back(first + step * static_cast<double>(i));
  return values;
}

// --- Model callbacks -------------------------------------------------------------------------

struct CallbackFixture {
  std::vector<double> x;
  std::vector<double> y;
  gsl_vector_const_view x_view;
  gsl_vector_const_view y_view;
  GaussInputData input;
  CallbackFixture(std::vector<double> xs, std::vector<double> ys)
      : x(std::move(xs)),
        y(std::move(ys)),
        x_view(view(x)),
        y_view(view(y)),
        input{x.size(), &x_view.vector, &y_view.vector} {}
};

TEST(GaussModelCallbacks, WorkedExample) {
  CallbackFixture data({3.0}, {1.0});
  std::vector<double> p4 = {2, 1, 4, 0.5};
  gsl_vector_view params3 = gsl_vector_view_array(p4.data(), 3);
  gsl_vector_view params4 = gsl_vector_view_array(p4.data(), 4);
  gsl_vector* residual = gsl_vector_alloc(1);
  gsl_matrix* jacobian3 = gsl_matrix_alloc(1, 3);
  gsl_matrix* jacobian4 = gsl_matrix_alloc(1, 4);
  const double e = std::exp(-0.5);

  EXPECT_EQ(Internals::f3(&params3.vector, &data.input, residual), GSL_SUCCESS);
  EXPECT_NEAR(gsl_vector_get(residual, 0), 0.2130613194, 1e-10);
  EXPECT_EQ(Internals::f4(&params4.vector, &data.input, residual), GSL_SUCCESS);
  EXPECT_NEAR(gsl_vector_get(residual, 0), 0.7130613194, 1e-10);

  EXPECT_EQ(Internals::df3(&params3.vector, &data.input, jacobian3), GSL_SUCCESS);
  EXPECT_EQ(Internals::df4(&params4.vector, &data.input, jacobian4), GSL_SUCCESS);
  for (gsl_matrix* jacobian : {jacobian3, jacobian4}) {
    EXPECT_DOUBLE_EQ(gsl_matrix_get(jacobian, 0, 0), e);
    EXPECT_DOUBLE_EQ(gsl_matrix_get(jacobian, 0, 1), e);
    EXPECT_NEAR(gsl_matrix_get(jacobian, 0, 2), 0.1516326649, 1e-10);
  }
  EXPECT_EQ(gsl_matrix_get(jacobian4, 0, 3), 1.0);
  gsl_matrix_free(jacobian4);
  gsl_matrix_free(jacobian3);
  gsl_vector_free(residual);
}

TEST(GaussModelCallbacks, PointAtTheMeanHasOnlyAmplitudeAndOffsetSlopes) {
  CallbackFixture data({1.0}, {0.25});
  std::vector<double> p = {2, 1, 4, 0.5};
  gsl_vector_view params = gsl_vector_view_array(p.data(), 4);
  gsl_vector* residual = gsl_vector_alloc(1);
  gsl_matrix* jacobian = gsl_matrix_alloc(1, 4);
  Internals::f4(&params.vector, &data.input, residual);
  Internals::df4(&params.vector, &data.input, jacobian);
  EXPECT_EQ(gsl_vector_get(residual, 0), 2 + 0.5 - 0.25);
  const std::vector<double> expected_row = {1, 0, 0, 1};
  for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(gsl_matrix_get(jacobian, 0, j), expected_row[j]);
  gsl_matrix_free(jacobian);
  gsl_vector_free(residual);
}

// The combined callbacks equal the single ones; nothing beyond n_ is written, and n_ = 0
// writes nothing at all.
TEST(GaussModelCallbacks, CombinedEqualsSingleAndStaysWithinTheCount) {
  const std::vector<double> x = range(6, -2.5, 1.0);
  const std::vector<double> y = {0.1, 0.7, 1.9, 2.2, 1.1, 0.3};
  std::vector<double> p = {2, 0.3, 1.7, 0.2};
  gsl_vector_view params = gsl_vector_view_array(p.data(), 4);
  for (std::size_t used : {std::size_t{0}, std::size_t{4}, std::size_t{6}}) {
    for (bool with_offset : {false, true}) {
      const std::size_t columns = with_offset ? 4 : 3;
      gsl_vector_const_view x_view = view(x);
      gsl_vector_const_view y_view = view(y);
      GaussInputData input{used, &x_view.vector, &y_view.vector};
      gsl_vector* single_f = gsl_vector_alloc(6);
      gsl_vector* combined_f = gsl_vector_alloc(6);
      gsl_matrix* single_j = gsl_matrix_alloc(6, columns);
      gsl_matrix* combined_j = gsl_matrix_alloc(6, columns);
      for (gsl_vector* v : {single_f, combined_f}) gsl_vector_set_all(v, -99);
      for (gsl_matrix* m : {single_j, combined_j}) gsl_matrix_set_all(m, -99);
      gsl_vector_view pv = gsl_vector_subvector(&params.vector, 0, columns);
      if (with_offset) {
        Internals::f4(&pv.vector, &input, single_f);
        Internals::df4(&pv.vector, &input, single_j);
        EXPECT_EQ(Internals::fdf4(&pv.vector, &input, combined_f, combined_j), GSL_SUCCESS);
      } else {
        Internals::f3(&pv.vector, &input, single_f);
        Internals::df3(&pv.vector, &input, single_j);
        EXPECT_EQ(Internals::fdf3(&pv.vector, &input, combined_f, combined_j), GSL_SUCCESS);
      }
      for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(gsl_vector_get(single_f, i), gsl_vector_get(combined_f, i));
        if (i >= used) {
          EXPECT_EQ(gsl_vector_get(combined_f, i), -99) << i;
        }
        for (std::size_t j = 0; j < columns; ++j) {
          EXPECT_EQ(gsl_matrix_get(single_j, i, j), gsl_matrix_get(combined_j, i, j));
          if (i >= used) {
            EXPECT_EQ(gsl_matrix_get(combined_j, i, j), -99);
          }
        }
      }
      gsl_matrix_free(combined_j);
      gsl_matrix_free(single_j);
      gsl_vector_free(combined_f);
      gsl_vector_free(single_f);
    }
  }
}

// --- Start values ------------------------------------------------------------------------------

std::vector<double> unit_peak(const std::vector<double>& x, double two_variance) {
  std::vector<double> y;
  for (double value : x) y.push_back(std::exp(-(value - 10) * (value - 10) / two_variance));
  return y;
}

struct SigmaCase {
  const char* name;
  std::vector<double> x;
  std::vector<double> y;
  double expected;
};

class GuessSigma : public ::testing::TestWithParam<SigmaCase> {};

TEST_P(GuessSigma, BisectsBothFlanks) {
  const SigmaCase& c = GetParam();
  const gsl_vector_const_view x = view(c.x);
  const gsl_vector_const_view y = view(c.y);
  EXPECT_EQ(GaussFit().guess_sigma(x.vector, y.vector), c.expected);
}

std::vector<double> constant(std::size_t count, double value) {
  return std::vector<double>(count, value);
}

std::vector<double> descending(std::size_t count, double first) { return range(count, first, -1); }

const std::vector<double> kGrid = range(21);
const std::vector<double> kTen = range(10);

INSTANTIATE_TEST_SUITE_P(
    Table, GuessSigma,
    ::testing::Values(SigmaCase{"WithinTolerance", kGrid, unit_peak(kGrid, 18), 3.0},
                      SigmaCase{"AdjacentBounds", kGrid, unit_peak(kGrid, 12.5), 2.5},
                      SigmaCase{"MaximumLast", kTen, range(10), 2.0},
                      SigmaCase{"MaximumFirst", kTen, descending(10, 10), 1.5},
                      SigmaCase{"Flat", kTen, constant(10, 1.0), 4.5},
                      SigmaCase{"AllZero", kTen, constant(10, 0.0), 2.5},
                      SigmaCase{"DescendingX", descending(21, 20), unit_peak(kGrid, 18), -3.0},
                      SigmaCase{"SingleSample", {4.0}, {7.0}, 0.0},
                      // Unequal lengths use the common length: the longer tails are never read.
                      SigmaCase{"LongerY", kTen,
                                [] {
                                  auto y = range(10);
                                  y.push_back(1e9);
                                  return y;
                                }(),
                                2.0},
                      SigmaCase{"LongerX", range(30), range(10), 2.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GuessSigma, NonFiniteDataEndTheSearch) {
  const std::vector<double> x = range(9);
  const gsl_vector_const_view xv = view(x);
  for (const std::vector<double>& y : {std::vector<double>{0, 1, 2, 5, 9, kNan, kNan, kNan, kNan},
                                       std::vector<double>{0, kNan, 1, 5, 9, 4, 2, 1, 0},
                                       std::vector<double>{0, 1, kInf, 5, kInf, 4, kInf, 1, 0},
                                       constant(9, kNan), constant(9, -kInf)}) {
    const gsl_vector_const_view yv = view(y);
    const double width = GaussFit().guess_sigma(xv.vector, yv.vector);
    EXPECT_TRUE(width >= -4 && width <= 4) << width;  // an x distance within the grid
  }
}

TEST(GuessInitialParameters, RemovesTheBaselineFirst) {
  std::vector<double> y = unit_peak(kGrid, 18);
  for (double& value : y) value = 2 * value + 0.5;
  const gsl_vector_const_view x = view(kGrid);
  const gsl_vector_const_view yv = view(y);
  const GaussFitResult guess = GaussFit().guess_initial_parameters(x.vector, yv.vector);
  EXPECT_EQ(guess.offset_, y[0]);
  EXPECT_NEAR(guess.offset_, 0.5077318, 1e-7);
  EXPECT_NEAR(guess.amplitude_, 1.9922681, 1e-7);
  EXPECT_EQ(guess.mean_, 10);
  EXPECT_EQ(guess.sigma_, 2.5);
  EXPECT_EQ(guess.variance_, 6.25);
  for (double error : {guess.amplitude_err_, guess.mean_err_, guess.variance_err_,
                       guess.offset_err_, guess.sigma_err_, guess.chisq_, guess.chisq_dof_}) {
    EXPECT_EQ(error, 0.0);
  }
  EXPECT_EQ(guess.status_, 0);
  EXPECT_EQ(guess.num_iterations_, 0);
}

TEST(GuessInitialParameters, DegenerateData) {
  const GaussFit fitter;
  const std::vector<double> zeros = constant(10, 0.0);
  const gsl_vector_const_view x = view(kTen);
  const gsl_vector_const_view y = view(zeros);
  const GaussFitResult flat = fitter.guess_initial_parameters(x.vector, y.vector);
  EXPECT_EQ(flat.amplitude_, 0);
  EXPECT_EQ(flat.offset_, 0);
  EXPECT_EQ(flat.sigma_, 2.5);

  const std::vector<double> one_x = {4.0};
  const std::vector<double> one_y = {7.0};
  const gsl_vector_const_view sx = view(one_x);
  const gsl_vector_const_view sy = view(one_y);
  const GaussFitResult four = fitter.guess_initial_parameters(sx.vector, sy.vector);
  const GaussFitResult three = Internals::initial_guess3(fitter, sx.vector, sy.vector);
  EXPECT_EQ(four.amplitude_, 0);
  EXPECT_EQ(three.amplitude_, 7);
  for (const GaussFitResult& guess : {four, three}) {
    EXPECT_EQ(guess.mean_, 4);
    EXPECT_EQ(guess.variance_, 0);
  }
  EXPECT_EQ(three.offset_, 0);

  const std::vector<double> twin = {0, 3, 1, 3, 0, 0};  // equal maxima: the lower index wins
  const std::vector<double> twin_x = range(6);
  const gsl_vector_const_view tx = view(twin_x);
  const gsl_vector_const_view ty = view(twin);
  EXPECT_EQ(Internals::initial_guess3(fitter, tx.vector, ty.vector).mean_, 1);
  EXPECT_EQ(fitter.guess_initial_parameters(tx.vector, ty.vector).mean_, 1);
}

// --- Settings ----------------------------------------------------------------------------------

TEST(GaussFitSettings, NewFitterDefaults) {
  const GaussFit fitter;
  EXPECT_EQ(fitter.get_max_iterations(), 50);
  EXPECT_EQ(fitter.get_accuracy(), 1e-8);
  EXPECT_FALSE(fitter.is_constant_offset_enabled());
  EXPECT_EQ(fitter.get_constant_offset(), 0.0);
}

TEST(GaussFitSettings, ClampsInsteadOfRejecting) {
  GaussFit fitter;
  const std::vector<std::pair<int, int>> budgets = {{0, 50}, {-5, 50}, {1, 1}, {500, 500}};
  for (const auto& [given, stored] : budgets) {
    fitter.set_max_iterations(given);
    EXPECT_EQ(fitter.get_max_iterations(), stored) << given;
  }
  const std::vector<std::pair<double, double>> accuracies = {
      {1e-15, 1e-12}, {0.5, 0.01}, {1e-6, 1e-6}, {1e-12, 1e-12}, {0.01, 0.01}, {-kInf, 1e-12}};
  for (const auto& [given, stored] : accuracies) {
    fitter.set_accuracy(given);
    EXPECT_EQ(fitter.get_accuracy(), stored) << given;
  }
  fitter.set_accuracy(kNan);
  EXPECT_TRUE(std::isnan(fitter.get_accuracy()));

  fitter.set_constant_offset(2.5);
  EXPECT_EQ(fitter.get_constant_offset(), 2.5);
  EXPECT_FALSE(fitter.is_constant_offset_enabled());  // storing the offset does not switch mode
  fitter.enable_constant_offset(true);
  EXPECT_TRUE(fitter.is_constant_offset_enabled());
}

// --- Fitting -----------------------------------------------------------------------------------

const PeakShape kPeak{3.0, 4.2, 1.3, 0.75};

GaussFit fitter_in_mode(bool constant_offset) {
  GaussFit fitter;
  fitter.enable_constant_offset(constant_offset);
  fitter.set_constant_offset(kPeak.offset);
  return fitter;
}

enum class Overload { kGslVectors, kStdVectors, kYOnly };

class NoiselessFit : public ::testing::TestWithParam<std::tuple<bool, Overload>> {};

TEST_P(NoiselessFit, RecoversThePeak) {
  const auto [constant_offset, overload] = GetParam();
  // The y-only overload puts x on the sample index.
  const testing::PeakData data =
      sample_peak(kPeak, 41, 0.0, overload == Overload::kYOnly ? 1 : 0.25);
  const GaussFit fitter = fitter_in_mode(constant_offset);
  const gsl_vector_const_view x = view(data.x);
  const gsl_vector_const_view y = view(data.y);
  GaussFitResult result;
  switch (overload) {
    case Overload::kGslVectors:
      result = fitter.fit(x.vector, y.vector);
      break;
    case Overload::kStdVectors:
      result = fitter.fit(data.x, data.y);
      break;
    case Overload::kYOnly:
      result = fitter.fit(y.vector);
      break;
  }
  ASSERT_EQ(result.status_, GSL_SUCCESS) << result.status_str_;
  EXPECT_EQ(result.status_str_, gsl_strerror(GSL_SUCCESS));
  EXPECT_NEAR(result.amplitude_, kPeak.amplitude, 1e-9 * kPeak.amplitude);
  EXPECT_NEAR(result.mean_, kPeak.mean, 1e-9 * kPeak.mean);
  EXPECT_NEAR(result.sigma_, kPeak.sigma, 1e-9 * kPeak.sigma);
  EXPECT_NEAR(result.variance_, kPeak.sigma * kPeak.sigma, 1e-9);
  EXPECT_NEAR(result.offset_, kPeak.offset, 1e-9 * kPeak.offset);
  EXPECT_LT(result.chisq_, 1e-18);
  EXPECT_GT(result.num_iterations_, 0);
  EXPECT_LE(result.num_iterations_, fitter.get_max_iterations());
  if (constant_offset) {
    EXPECT_EQ(result.offset_, kPeak.offset);
    EXPECT_EQ(result.offset_err_, 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModesAllOverloads, NoiselessFit,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(Overload::kGslVectors,
                                                              Overload::kStdVectors,
                                                              Overload::kYOnly)));

struct CountCase {
  bool constant_offset;
  std::size_t x_count;
  std::size_t y_count;
  bool enough;
};

class PointCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(PointCount, NeedsMorePointsThanParameters) {
  const CountCase& c = GetParam();
  const testing::PeakData data = sample_peak(kPeak, 12, 2.0, 0.5, 0.01);
  const std::vector<double> x(data.x.begin(), data.x.begin() + c.x_count);
  const std::vector<double> y(data.y.begin(), data.y.begin() + c.y_count);
  const GaussFitResult result = fitter_in_mode(c.constant_offset).fit(x, y);
  if (c.enough) {
    EXPECT_TRUE(result.status_ == GSL_SUCCESS || result.status_ > 0) << result.status_str_;
    EXPECT_NE(result.status_, GSL_FAILURE);
  } else {
    EXPECT_EQ(result.status_, GSL_FAILURE);
    EXPECT_EQ(result.status_str_, "Not enough data points");
    for (double value : result.get_vector()) EXPECT_EQ(value, 0.0);
    EXPECT_EQ(result.num_iterations_, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PointCount,
    ::testing::Values(CountCase{true, 3, 3, false}, CountCase{true, 4, 4, true},
                      CountCase{false, 4, 4, false}, CountCase{false, 5, 5, true},
                      CountCase{true, 10, 3, false}, CountCase{false, 10, 3, false},
                      CountCase{false, 3, 10, false}, CountCase{false, 0, 0, false},
                      CountCase{true, 0, 7, false}, CountCase{false, 7, 0, false}));

TEST(GaussFit, OneDegreeOfFreedomAtTheBoundary) {
  const testing::PeakData data = sample_peak(kPeak, 5, 2.0, 1.0, 0.05, 3);
  const GaussFitResult result = fitter_in_mode(false).fit(data.x, data.y);
  ASSERT_EQ(result.status_, GSL_SUCCESS) << result.status_str_;
  EXPECT_DOUBLE_EQ(result.chisq_dof_, result.chisq_);  // dof = 5 - 4 = 1
}

TEST(GaussFit, EmptyInputThroughEveryOverload) {
  const GaussFit fitter;
  const std::vector<double> empty;
  const std::vector<double> some = range(8);
  gsl_vector empty_gsl = {0, 1, nullptr, nullptr, 0};
  for (const GaussFitResult& result :
       {fitter.fit(empty, empty), fitter.fit(empty, some), fitter.fit(some, empty),
        fitter.fit(empty_gsl), fitter.fit(empty_gsl, empty_gsl)}) {
    EXPECT_EQ(result.status_, GSL_FAILURE);
    EXPECT_EQ(result.status_str_, "Not enough data points");
  }
}

TEST(GaussFit, YOnlyUsesTheSampleIndex) {
  const testing::PeakData data = sample_peak({5.0, 7.0, 2.0, 1.0}, 20, 0.0, 1.0, 0.02, 11);
  const gsl_vector_const_view y = view(data.y);
  const GaussFitResult result = GaussFit().fit(y.vector);
  ASSERT_EQ(result.status_, GSL_SUCCESS);
  EXPECT_NEAR(result.mean_, 7.0, 0.05);
  const GaussFitResult explicit_x = GaussFit().fit(range(20), data.y);
  EXPECT_EQ(result.mean_, explicit_x.mean_);
  EXPECT_EQ(result.chisq_, explicit_x.chisq_);
}

TEST(GaussFit, ConstantOffsetModeMeasuresTheAmplitudeFromTheOffset) {
  const testing::PeakData data = sample_peak({3.0, 4.2, 1.3, 10.0}, 40, 0.0, 0.25);
  GaussFit fitter;
  fitter.enable_constant_offset(true);
  fitter.set_constant_offset(10.0);
  const GaussFitResult result = fitter.fit(data.x, data.y);
  ASSERT_EQ(result.status_, GSL_SUCCESS);
  EXPECT_EQ(result.offset_, 10.0);
  EXPECT_EQ(result.offset_err_, 0.0);
  EXPECT_NEAR(result.amplitude_, 3.0, 1e-9);
}

// The reported errors are sqrt(diag((J^T J)^-1)) * chi / sqrt(n - p), with J at the solution.
TEST(GaussFit, ErrorsAreCovarianceScaledByTheResidual) {
  const testing::PeakData data = sample_peak(kPeak, 30, 0.0, 0.3, 0.05, 7);
  for (bool constant_offset : {false, true}) {
    const GaussFitResult result = fitter_in_mode(constant_offset).fit(data.x, data.y);
    ASSERT_EQ(result.status_, GSL_SUCCESS);
    const std::size_t p = constant_offset ? 3 : 4;
    std::vector<double> solution = {result.amplitude_, result.mean_, result.variance_,
                                    result.offset_};
    const gsl_vector_view parameters = gsl_vector_view_array(solution.data(), p);
    const gsl_vector_const_view x = view(data.x);
    const gsl_vector_const_view y = view(data.y);
    GaussInputData input{data.x.size(), &x.vector, &y.vector};
    gsl_matrix* jacobian = gsl_matrix_alloc(data.x.size(), p);
    gsl_matrix* covariance = gsl_matrix_alloc(p, p);
    (constant_offset ? Internals::df3 : Internals::df4)(&parameters.vector, &input, jacobian);
    gsl_multifit_covar(jacobian, 0.0, covariance);
    const double scale = std::sqrt(result.chisq_ / static_cast<double>(data.x.size() - p));
    EXPECT_NEAR(result.chisq_dof_, result.chisq_ / static_cast<double>(data.x.size() - p), 1e-15);
    const std::vector<double> errors = {result.amplitude_err_, result.mean_err_,
                                        result.variance_err_, result.offset_err_};
    for (std::size_t i = 0; i < p; ++i) {
      const double expected = scale * std::sqrt(gsl_matrix_get(covariance, i, i));
      EXPECT_NEAR(errors[i], expected, 1e-6 * expected) << i;
    }
    EXPECT_DOUBLE_EQ(result.sigma_err_, 0.5 * result.variance_err_ / result.sigma_);
    EXPECT_GT(result.mean_err_, 0.0);
    gsl_matrix_free(covariance);
    gsl_matrix_free(jacobian);
  }
}

TEST(GaussFit, DriverFailureReportsOnlyStatusTextAndIterations) {
  const testing::PeakData data = sample_peak(kPeak, 60, -5.0, 0.3, 0.3, 5);
  GaussFit fitter;
  fitter.set_max_iterations(1);
  const GaussFitResult result = fitter.fit(data.x, data.y);
  ASSERT_NE(result.status_, GSL_SUCCESS);
  ASSERT_NE(result.status_, GSL_CONTINUE);
  EXPECT_EQ(result.status_, GSL_EMAXITER);
  EXPECT_EQ(result.status_str_, gsl_strerror(GSL_EMAXITER));
  EXPECT_EQ(result.num_iterations_, 1);
  for (double value : result.get_vector()) EXPECT_EQ(value, 0.0);
  EXPECT_EQ(result.variance_, 0.0);
  EXPECT_EQ(result.chisq_, 0.0);
}

const testing::PeakData kClean = sample_peak(kPeak, 25, 0.0, 0.35, 0.02, 9);

TEST(GaussFit, ValuesBeyondTheCommonLengthAreIgnored) {
  std::vector<double> y = kClean.y;
  y.push_back(kNan);
  y.push_back(1e308);
  for (bool constant_offset : {false, true}) {
    const GaussFit fitter = fitter_in_mode(constant_offset);
    const GaussFitResult padded = fitter.fit(kClean.x, y);
    const GaussFitResult plain = fitter.fit(kClean.x, kClean.y);
    ASSERT_EQ(padded.status_, GSL_SUCCESS);
    EXPECT_EQ(padded.get_vector(), plain.get_vector());
    EXPECT_EQ(padded.chisq_, plain.chisq_);
  }
}

}  // namespace
}  // namespace vesk::numerics
