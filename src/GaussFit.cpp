#include "vesk/numerics/GaussFit.h"

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_math.h>
#include <gsl/gsl_multifit_nlin.h>

#include <Eigen/Core>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "fit_policy.h"
#include "least_squares.h"
#include "simd/vector_kernels.h"

namespace vesk::numerics {

/// The measured points handed to the model callbacks through GSL's untyped params pointer.
/// Owns nothing: both vectors belong to the fit that runs the solver and hold at least n_ values.
struct GaussInputData {
  std::size_t n_;
  const gsl_vector* x_data_;
  const gsl_vector* y_data_;
};

namespace {

// Height of a Gaussian one standard deviation from its centre, relative to the peak: the level
// at which the width estimate looks for the flanks. Deliberately the rounded 0.6065.
constexpr double kLevelFactor = 0.6065;
// The flank search accepts a sample this close to the level, relative to the level...
constexpr double kToleranceFactor = 0.001;
// ...or this close in absolute terms when the level is zero.
constexpr double kToleranceFloor = 1e-10;
// The two crossings are one standard deviation either side of the centre.
constexpr double kHalfDistance = 0.5;

using detail::completed;
using detail::kNotEnoughDataText;

constexpr std::size_t kParametersWithFixedOffset = 3;
constexpr std::size_t kParametersWithFreeOffset = 4;

template <typename T, void (*Free)(T*)>
struct GslFree {
  void operator()(T* object) const { Free(object); }
};
using VectorHolder = std::unique_ptr<gsl_vector, GslFree<gsl_vector, gsl_vector_free>>;
using MatrixHolder = std::unique_ptr<gsl_matrix, GslFree<gsl_matrix, gsl_matrix_free>>;
using SolverHolder = std::unique_ptr<gsl_multifit_fdfsolver,
                                     GslFree<gsl_multifit_fdfsolver, gsl_multifit_fdfsolver_free>>;

std::size_t common_length(const gsl_vector& x_data, const gsl_vector& y_data) {
  return std::min(x_data.size, y_data.size);
}

// The first `count` elements of `vector`; count must be at least 1.
gsl_vector_const_view leading(const gsl_vector& vector, std::size_t count) {
  return gsl_vector_const_subvector(&vector, 0, count);
}

// A copy of the first `count` elements of `y_data` with `offset` subtracted from each.
VectorHolder shifted_copy(const gsl_vector& y_data, std::size_t count, double offset) {
  VectorHolder shifted(gsl_vector_alloc(count));
  const gsl_vector_const_view used = leading(y_data, count);
  gsl_vector_memcpy(shifted.get(), &used.vector);
  gsl_vector_add_constant(shifted.get(), -offset);
  return shifted;
}

GaussFitResult failed_fit(int status, int iterations) {
  GaussFitResult result;
  result.status_ = status;
  result.status_str_ = gsl_strerror(status);
  result.num_iterations_ = iterations;
  return result;
}

GaussFitResult not_enough_data() {
  GaussFitResult result;
  result.status_ = GSL_FAILURE;
  result.status_str_ = kNotEnoughDataText;
  return result;
}

// GSL's solver reports success, with the start values untouched, when the residuals are NaN or
// infinite; such points are therefore refused before the solver sees them.
bool points_are_finite(const gsl_vector& x_data, const gsl_vector& y_data, std::size_t count,
                       double offset) {
  for (std::size_t i = 0; i < count; ++i) {
    const double y = gsl_vector_get(&y_data, i);
    if (!std::isfinite(gsl_vector_get(&x_data, i)) || !std::isfinite(y) ||
        !std::isfinite(y - offset)) {
      return false;
    }
  }
  return true;
}

enum class Flank { kLeft, kRight };

// Bisects the index range [lower, upper] of one flank for the sample nearest `level`. On the
// right flank the data fall with the index, on the left they rise. A probe that is neither
// below, above nor near the level (NaN data) ends the search where it stands.
long bisect_flank(const gsl_vector& y_data, double level, double tolerance, long lower, long upper,
                  Flank flank) {
  for (;;) {
    const long midpoint = (lower + upper) / 2;
    const double value = gsl_vector_get(&y_data, static_cast<std::size_t>(midpoint));
    if (std::fabs(value - level) <= tolerance || midpoint == lower || midpoint == upper) {
      return midpoint;
    }
    if (value < level) {
      (flank == Flank::kRight ? upper : lower) = midpoint;
    } else if (value > level) {
      (flank == Flank::kRight ? lower : upper) = midpoint;
    } else {
      return midpoint;
    }
  }
}

// Residuals r_i = A exp(-d_i^2 / 2v) (+ c) - y_i, d_i = x_i - mu, in the order that fixes the
// last bit: square, times -0.5, over v, exponential, times A, plus c, minus y. Each exponential
// is also handed to `keep(i, value)`.
template <bool kWithOffset, typename Keep>
void write_residuals(const gsl_vector* parameters, const GaussInputData& input,
                     gsl_vector* residuals, Keep keep) {
  const double amplitude = gsl_vector_get(parameters, 0);
  const double mean = gsl_vector_get(parameters, 1);
  const double variance = gsl_vector_get(parameters, 2);
  const double offset = kWithOffset ? gsl_vector_get(parameters, 3) : 0.0;
  for (std::size_t i = 0; i < input.n_; ++i) {
    const double distance = gsl_vector_get(input.x_data_, i) - mean;
    const double exponential = std::exp(gsl_pow_2(distance) * -0.5 / variance);
    keep(i, exponential);
    double model = exponential * amplitude;
    if constexpr (kWithOffset) model = model + offset;
    gsl_vector_set(residuals, i, model - gsl_vector_get(input.y_data_, i));
  }
}

template <bool kWithOffset>
void write_residuals(const gsl_vector* parameters, const GaussInputData& input,
                     gsl_vector* residuals) {
  write_residuals<kWithOffset>(parameters, input, residuals, [](std::size_t, double) {});
}

// Jacobian rows (e, A e d / v, A e d^2 / (2 v^2) (, 1)) at distance d = x - mu, e = exp(-d^2 / 2v).
template <bool kWithOffset>
void write_jacobian(const gsl_vector* parameters, const GaussInputData& input,
                    gsl_matrix* jacobian) {
  const double amplitude = gsl_vector_get(parameters, 0);
  const double mean = gsl_vector_get(parameters, 1);
  const double variance = gsl_vector_get(parameters, 2);
  const double twice_variance = variance + variance;
  for (std::size_t i = 0; i < input.n_; ++i) {
    const double distance = gsl_vector_get(input.x_data_, i) - mean;
    const double exponential = std::exp(-(distance * distance) / twice_variance);
    const double slope = (amplitude * exponential) * distance;
    gsl_matrix_set(jacobian, i, 0, exponential);
    gsl_matrix_set(jacobian, i, 1, slope / variance);
    gsl_matrix_set(jacobian, i, 2, (distance * slope) / (twice_variance * variance));
    if constexpr (kWithOffset) gsl_matrix_set(jacobian, i, 3, 1.0);
  }
}

const GaussInputData& input_of(void* data) { return *static_cast<const GaussInputData*>(data); }

struct SolverSettings {
  std::size_t max_iterations;
  double accuracy;
  GaussFit::Solver solver;
};

// Where a solver ended: its parameters, the covariance matrix (J^T J)^-1 there, chi, and its
// own counts.
struct SolverEnd {
  const gsl_vector* parameters;
  const gsl_matrix* covariance;
  std::size_t point_count;
  double chi;
  int status;
  int iterations;
};

// The record of a completed fit: the solver's parameters, their errors from the covariance at
// the solution scaled by chi / sqrt(dof), chi-square and sigma; the offset too with four
// parameters.
GaussFitResult completed_fit(const SolverEnd& end) {
  const std::size_t parameter_count = end.parameters->size;
  const double dof = static_cast<double>(end.point_count - parameter_count);
  const double error_scale = end.chi / std::sqrt(dof);
  const auto parameter = [&](std::size_t i) { return gsl_vector_get(end.parameters, i); };
  const auto error = [&](std::size_t i) {
    return error_scale * std::sqrt(gsl_matrix_get(end.covariance, i, i));
  };

  GaussFitResult result;
  result.amplitude_ = parameter(0);
  result.mean_ = parameter(1);
  result.variance_ = parameter(2);
  if (parameter_count == kParametersWithFreeOffset) {
    result.offset_ = parameter(3);
    result.offset_err_ = error(3);
  }
  result.amplitude_err_ = error(0);
  result.mean_err_ = error(1);
  result.variance_err_ = error(2);
  result.chisq_ = end.chi * end.chi;
  result.chisq_dof_ = result.chisq_ / dof;
  result.status_ = end.status;
  result.status_str_ = gsl_strerror(end.status);
  result.num_iterations_ = end.iterations;
  result.sigma_ = std::sqrt(result.variance_);
  result.sigma_err_ = 0.5 * result.variance_err_ / result.sigma_;
  return result;
}

// GSL's classic scaled Levenberg-Marquardt driver (lmsder) from `start`.
GaussFitResult solve_lmsder(gsl_multifit_function_fdf& model, gsl_vector_view start,
                            const SolverSettings& settings) {
  SolverHolder solver(
      gsl_multifit_fdfsolver_alloc(gsl_multifit_fdfsolver_lmsder, model.n, model.p));
  gsl_multifit_fdfsolver_set(solver.get(), &model, &start.vector);
  int stop_reason = 0;
  const int status =
      gsl_multifit_fdfsolver_driver(solver.get(), settings.max_iterations, settings.accuracy,
                                    settings.accuracy, 0.0, &stop_reason);
  const int iterations = static_cast<int>(gsl_multifit_fdfsolver_niter(solver.get()));
  if (!completed(status)) return failed_fit(status, iterations);
  // The driver also reports success when its own sums overflowed on huge data; a chi-square
  // that is not a finite number means no fit took place.
  const double chi = gsl_blas_dnrm2(gsl_multifit_fdfsolver_residual(solver.get()));
  if (!std::isfinite(chi * chi)) return failed_fit(GSL_EDOM, iterations);
  const MatrixHolder jacobian(gsl_matrix_alloc(model.n, model.p));
  gsl_multifit_fdfsolver_jac(solver.get(), jacobian.get());
  MatrixHolder covariance(gsl_matrix_alloc(model.p, model.p));
  gsl_multifit_covar(jacobian.get(), 0.0, covariance.get());
  return completed_fit({solver->x, covariance.get(), model.n, chi, status, iterations});
}

// One Gaussian peak, with or without the offset, for the library's least-squares core: values
// A e + c and derivatives (e, A e d / v, A e d^2 / (2 v^2), 1), e = exp(-d^2 / 2v), d = x - mu.
template <bool kWithOffset>
class PeakModel {
 public:
  static constexpr int kParameters =
      static_cast<int>(kWithOffset ? kParametersWithFreeOffset : kParametersWithFixedOffset);

  PeakModel(const double* x_data, const detail::VectorKernels& kernels)
      : x_data_(x_data), kernels_(kernels) {}

  Eigen::Index parameter_count() const { return kParameters; }

  bool evaluate(const double* parameters, std::size_t begin, std::size_t count, double* values,
                double* jacobian) const {
    const double amplitude = parameters[0];
    const double mean = parameters[1];
    const double inverse_variance = 1.0 / parameters[2];
    const double offset = kWithOffset ? parameters[3] : 0.0;
    const double* x = x_data_ + begin;
    double* exponential = jacobian;
    kernels_.gaussian(x, count, mean, 0.5 * inverse_variance, exponential);
    for (std::size_t i = 0; i < count; ++i) values[i] = amplitude * exponential[i] + offset;
    double* by_mean = jacobian + count;
    double* by_variance = jacobian + 2 * count;
    const double half_inverse_square = 0.5 * inverse_variance * inverse_variance;
    for (std::size_t i = 0; i < count; ++i) {
      const double distance = x[i] - mean;
      const double slope = amplitude * exponential[i] * distance;
      by_mean[i] = slope * inverse_variance;
      by_variance[i] = slope * distance * half_inverse_square;
    }
    if constexpr (kWithOffset) std::fill_n(jacobian + 3 * count, count, 1.0);
    return true;
  }

 private:
  const double* x_data_;
  const detail::VectorKernels& kernels_;
};

// The points of a GSL vector as one contiguous array: the vector's own storage when it has
// unit stride, else a copy.
class ContiguousPoints {
 public:
  ContiguousPoints(const gsl_vector& vector, std::size_t count) {
    if (vector.stride == 1) {
      data_ = vector.data;
      return;
    }
    copy_.resize(count);
    for (std::size_t i = 0; i < count; ++i) copy_[i] = gsl_vector_get(&vector, i);
    data_ = copy_.data();
  }
  const double* data() const { return data_; }

 private:
  std::vector<double> copy_;
  const double* data_ = nullptr;
};

// A minimum of the library's own Levenberg-Marquardt as a fit record; its errors come from the
// covariance at the solution, as with lmsder.
template <int kParameters>
GaussFitResult peak_from(const detail::Minimum<kParameters>& minimum, std::size_t point_count) {
  if (!completed(minimum.status)) return failed_fit(minimum.status, minimum.iterations);
  if (!std::isfinite(minimum.chisq)) return failed_fit(GSL_EDOM, minimum.iterations);
  Eigen::MatrixXd covariance = detail::covariance_from(minimum.information);
  const gsl_vector_const_view parameters =
      gsl_vector_const_view_array(minimum.parameters.data(), kParameters);
  const gsl_matrix_view covariance_view =
      gsl_matrix_view_array(covariance.data(), kParameters, kParameters);
  return completed_fit({&parameters.vector, &covariance_view.matrix, point_count,
                        std::sqrt(minimum.chisq), minimum.status, minimum.iterations});
}

// The library's own Levenberg-Marquardt on the normal equations, with vectorised model loops.
template <bool kWithOffset>
GaussFitResult solve_normal_equations(const GaussInputData& input, const double* start,
                                      const SolverSettings& settings) {
  using Model = PeakModel<kWithOffset>;
  const ContiguousPoints x(*input.x_data_, input.n_);
  const ContiguousPoints y(*input.y_data_, input.n_);
  const detail::Observations observations{y.data(), nullptr, input.n_,
                                          detail::Statistic::least_squares};
  const detail::IterationLimits limits{settings.max_iterations, settings.accuracy};
  const detail::ParameterVector<Model::kParameters> initial(start);
  const Model model(x.data(), detail::best_vector_kernels());
  return peak_from(detail::minimise(model, observations, initial, limits), input.n_);
}

GaussFitResult solve(gsl_multifit_function_fdf& model, gsl_vector_view start,
                     const SolverSettings& settings) {
  return settings.solver == GaussFit::Solver::normal_equations
             ? (model.p == kParametersWithFreeOffset
                    ? solve_normal_equations<true>(input_of(model.params), start.vector.data,
                                                   settings)
                    : solve_normal_equations<false>(input_of(model.params), start.vector.data,
                                                    settings))
             : solve_lmsder(model, start, settings);
}

}  // namespace

GaussFitResult GaussFit::fit(const gsl_vector& x_data, const gsl_vector& y_data) const {
  return is_constant_offset_enabled_ ? fit3(x_data, y_data) : fit4(x_data, y_data);
}

GaussFitResult GaussFit::fit(const std::vector<double>& x_data,
                             const std::vector<double>& y_data) const {
  // GSL has no empty vectors; no point means too few points in either mode.
  if (x_data.empty() || y_data.empty()) return not_enough_data();
  const gsl_vector_const_view x_view = gsl_vector_const_view_array(x_data.data(), x_data.size());
  const gsl_vector_const_view y_view = gsl_vector_const_view_array(y_data.data(), y_data.size());
  return fit(x_view.vector, y_view.vector);
}

GaussFitResult GaussFit::fit(const gsl_vector& y_data) const {
  if (y_data.size == 0) return not_enough_data();
  VectorHolder sample_index(gsl_vector_alloc(y_data.size));
  for (std::size_t i = 0; i < y_data.size; ++i) {
    gsl_vector_set(sample_index.get(), i, static_cast<double>(i));
  }
  return fit(*sample_index, y_data);
}

void GaussFit::set_max_iterations(int maxIterations) {
  max_iterations_ =
      maxIterations > 0 ? static_cast<std::size_t>(maxIterations) : default_max_iterations;
}

void GaussFit::set_solver(Solver solver) {
  // The solver setting lives in padding, so that objects keep the size and member offsets that
  // code built against earlier versions of the library expects.
  static_assert(sizeof(GaussFit) == 32);
  static_assert(offsetof(GaussFit, max_iterations_) == 0);
  static_assert(offsetof(GaussFit, is_constant_offset_enabled_) == 8);
  static_assert(offsetof(GaussFit, constant_offset_) == 16);
  static_assert(offsetof(GaussFit, accuracy_) == 24);
  solver_ = solver;
}

void GaussFit::set_accuracy(double accuracy) {
  accuracy_ = detail::clamped_accuracy(accuracy);  // a NaN stays: see the header
}

double GaussFit::guess_sigma(const gsl_vector& x_data, const gsl_vector& y_data) const {
  const std::size_t count = common_length(x_data, y_data);
  if (count == 0) return 0.0;
  const gsl_vector_const_view y_used = leading(y_data, count);
  const long peak = static_cast<long>(gsl_vector_max_index(&y_used.vector));
  const double level = gsl_vector_get(&y_data, static_cast<std::size_t>(peak)) * kLevelFactor;
  const double relative_tolerance = level * kToleranceFactor;
  const double tolerance =
      relative_tolerance == 0.0 ? kToleranceFloor : std::fabs(relative_tolerance);

  const long right =
      bisect_flank(y_data, level, tolerance, peak, static_cast<long>(count), Flank::kRight);
  const long left = bisect_flank(y_data, level, tolerance, 0, peak, Flank::kLeft);
  return kHalfDistance * (gsl_vector_get(&x_data, static_cast<std::size_t>(right)) -
                          gsl_vector_get(&x_data, static_cast<std::size_t>(left)));
}

GaussFitResult GaussFit::guess_initial_parameters(const gsl_vector& x_data,
                                                  const gsl_vector& y_data) const {
  GaussFitResult guess;
  const std::size_t count = common_length(x_data, y_data);
  if (count == 0) return guess;
  const gsl_vector_const_view y_used = leading(y_data, count);
  std::size_t lowest = 0;
  std::size_t highest = 0;
  gsl_vector_minmax_index(&y_used.vector, &lowest, &highest);

  guess.offset_ = gsl_vector_get(&y_data, lowest);
  guess.amplitude_ = gsl_vector_get(&y_data, highest) - guess.offset_;
  const VectorHolder above_baseline = shifted_copy(y_data, count, guess.offset_);
  guess.sigma_ = guess_sigma(x_data, *above_baseline);
  guess.variance_ = guess.sigma_ * guess.sigma_;
  guess.mean_ = gsl_vector_get(&x_data, highest);
  return guess;
}

GaussFitResult GaussFit::initialGuess3(const gsl_vector& x_data, const gsl_vector& y_data) const {
  GaussFitResult guess;
  const std::size_t count = common_length(x_data, y_data);
  if (count == 0) return guess;
  const gsl_vector_const_view y_used = leading(y_data, count);
  const std::size_t highest = gsl_vector_max_index(&y_used.vector);

  guess.offset_ = 0.0;
  guess.amplitude_ = gsl_vector_get(&y_data, highest);
  guess.sigma_ = guess_sigma(x_data, y_data);
  guess.variance_ = guess.sigma_ * guess.sigma_;
  guess.mean_ = gsl_vector_get(&x_data, highest);
  return guess;
}

GaussFitResult GaussFit::fit3(const gsl_vector& x_data, const gsl_vector& y_data) const {
  const std::size_t count = common_length(x_data, y_data);
  if (count <= kParametersWithFixedOffset) return not_enough_data();
  if (!points_are_finite(x_data, y_data, count, constant_offset_)) return failed_fit(GSL_EDOM, 0);

  const VectorHolder above_offset = shifted_copy(y_data, count, constant_offset_);
  GaussInputData input{count, &x_data, above_offset.get()};
  gsl_multifit_function_fdf model{
      &gaussian_f3, &gaussian_df3, &gaussian_fdf3, count, kParametersWithFixedOffset, &input, 0, 0};
  const GaussFitResult guess = initialGuess3(x_data, *above_offset);
  std::array<double, kParametersWithFixedOffset> start = {guess.amplitude_, guess.mean_,
                                                          guess.variance_};

  GaussFitResult result = solve(model, gsl_vector_view_array(start.data(), start.size()),
                                {max_iterations_, accuracy_, solver_});
  const bool complete = result.status_ == GSL_SUCCESS || result.status_ == GSL_CONTINUE;
  if (complete) {
    result.offset_ = constant_offset_;
    result.offset_err_ = 0.0;
  }
  return result;
}

GaussFitResult GaussFit::fit4(const gsl_vector& x_data, const gsl_vector& y_data) const {
  const std::size_t count = common_length(x_data, y_data);
  if (count <= kParametersWithFreeOffset) return not_enough_data();
  if (!points_are_finite(x_data, y_data, count, 0.0)) return failed_fit(GSL_EDOM, 0);

  GaussInputData input{count, &x_data, &y_data};
  gsl_multifit_function_fdf model{
      &gaussian_f4, &gaussian_df4, &gaussian_fdf4, count, kParametersWithFreeOffset, &input, 0, 0};
  const GaussFitResult guess = guess_initial_parameters(x_data, y_data);
  std::array<double, kParametersWithFreeOffset> start = {guess.amplitude_, guess.mean_,
                                                         guess.variance_, guess.offset_};

  return solve(model, gsl_vector_view_array(start.data(), start.size()),
               {max_iterations_, accuracy_, solver_});
}

int GaussFit::gaussian_f3(const gsl_vector* parameters, void* data, gsl_vector* residuals) {
  write_residuals<false>(parameters, input_of(data), residuals);
  return GSL_SUCCESS;
}

int GaussFit::gaussian_f4(const gsl_vector* parameters, void* data, gsl_vector* residuals) {
  write_residuals<true>(parameters, input_of(data), residuals);
  return GSL_SUCCESS;
}

int GaussFit::gaussian_df3(const gsl_vector* parameters, void* data, gsl_matrix* jacobian) {
  write_jacobian<false>(parameters, input_of(data), jacobian);
  return GSL_SUCCESS;
}

int GaussFit::gaussian_df4(const gsl_vector* parameters, void* data, gsl_matrix* jacobian) {
  write_jacobian<true>(parameters, input_of(data), jacobian);
  return GSL_SUCCESS;
}

int GaussFit::gaussian_fdf3(const gsl_vector* parameters, void* data, gsl_vector* residuals,
                            gsl_matrix* jacobian) {
  gaussian_f3(parameters, data, residuals);
  gaussian_df3(parameters, data, jacobian);
  return GSL_SUCCESS;
}

int GaussFit::gaussian_fdf4(const gsl_vector* parameters, void* data, gsl_vector* residuals,
                            gsl_matrix* jacobian) {
  gaussian_f4(parameters, data, residuals);
  gaussian_df4(parameters, data, jacobian);
  return GSL_SUCCESS;
}

}  // namespace vesk::numerics
