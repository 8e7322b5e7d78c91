#include "spectrum/line_shape.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_roots.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <type_traits>

#include "spectrum/faddeeva.h"
#include "vesk/numerics/peak_measures.h"

namespace vesk::numerics::detail {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrtPi = 1.7724538509055159;
constexpr double kTwoOverSqrtPi = 2.0 / kSqrtPi;
// sqrt(2 ln 2): a pseudo-Voigt line's half width h in units of its sigma.
constexpr double kHalfWidthPerSigma = 0.5 * kFwhmPerSigma;
// sqrt(pi / ln 2): the area of exp(-ln 2 (t / h)^2) in units of h.
constexpr double kGaussianAreaPerHalfWidth = 2.1289340388624525;

struct GslRootSolver {
  struct Free {
    void operator()(gsl_root_fsolver* solver) const { gsl_root_fsolver_free(solver); }
  };
  std::unique_ptr<gsl_root_fsolver, Free> solver{gsl_root_fsolver_alloc(gsl_root_fsolver_brent)};
};

// The root of f in [lo, hi], where f(lo) and f(hi) differ in sign, by GSL's Brent solver.
using ScalarFunction = std::function<double(double)>;

double root_between(const ScalarFunction& f, double lo, double hi) {
  GslRootSolver holder;
  gsl_function function;
  function.function = [](double x, void* params) {
    return (*static_cast<const ScalarFunction*>(params))(x);
  };
  function.params = const_cast<ScalarFunction*>(&f);
  gsl_root_fsolver* solver = holder.solver.get();
  if (solver == nullptr || gsl_root_fsolver_set(solver, &function, lo, hi) != GSL_SUCCESS) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  constexpr int kMostIterations = 200;
  constexpr double kRelativeTolerance = 1e-15;
  double root = 0.5 * (lo + hi);
  for (int i = 0; i < kMostIterations; ++i) {
    if (gsl_root_fsolver_iterate(solver) != GSL_SUCCESS) break;
    root = gsl_root_fsolver_root(solver);
    if (gsl_root_test_interval(gsl_root_fsolver_x_lower(solver), gsl_root_fsolver_x_upper(solver),
                               0.0, kRelativeTolerance) == GSL_SUCCESS) {
      break;
    }
  }
  return root;
}

// One tailed line of unit height at distance t, with its derivatives.
struct TailedPoint {
  double value, by_t, by_sigma, by_tail, by_tail_slope;
};

// What every point of one tailed line shares, worked out once per line.
struct TailedLine {
  explicit TailedLine(const LineParameters& line)
      : sigma(line.sigma),
        beta(line.tail_slope),
        half_tail(0.5 * line.tail),
        inverse_sigma(1.0 / sigma),
        inverse_variance(inverse_sigma * inverse_sigma),
        inverse_beta(1.0 / beta),
        b_per_t(inverse_sigma / kSqrt2),
        b_at_centre(sigma * inverse_beta / kSqrt2),
        exponent_at_centre(0.5 * sigma * sigma * inverse_beta * inverse_beta) {}
  double sigma, beta, half_tail, inverse_sigma, inverse_variance, inverse_beta;
  double b_per_t, b_at_centre, exponent_at_centre;
};

// The tail exp(t / beta + sigma^2 / (2 beta^2)) erfc(b), b = t / (sqrt 2 sigma) + sigma /
// (sqrt 2 beta). Where b >= 0 it is written as G erfcx(b), G = exp(-t^2 / (2 sigma^2)), which
// neither overflows nor loses the product of a huge and a tiny factor; elsewhere erfc(b) =
// 2 - erfcx(-b) exp(-b^2), and exp(a - b^2) = G again. erfcx costs a third of erfc.
// The tail from erfcx(|b|) and, where b < 0, exp(t / beta + sigma^2 / (2 beta^2)); the two cases
// are chosen by arithmetic, which loops vectorise, where a branch would keep them scalar.
inline double tail_from(double b, double gaussian, double erfcx_of_b, double exponential) {
  const double below = static_cast<double>(b < 0.0);
  return below * 2.0 * exponential + (1.0 - 2.0 * below) * gaussian * erfcx_of_b;
}

double tail_at(const TailedLine& line, double t, double gaussian) {
  const double b = t * line.b_per_t + line.b_at_centre;
  const double exponential =
      b >= 0.0 ? 0.0 : std::exp(t * line.inverse_beta + line.exponent_at_centre);
  return tail_from(b, gaussian, faddeeva_erfcx(std::fabs(b)), exponential);
}

// erfc(z) from erfcx(|z|) and exp(-z^2), which the line has already.
inline double erfc_from(double z, double exp_minus_z_squared, double erfcx_of_z) {
  const double below = static_cast<double>(z < 0.0);
  return below * 2.0 + (1.0 - 2.0 * below) * erfcx_of_z * exp_minus_z_squared;
}

// The tailed line at t from its tail there: arithmetic only, so that loops over points vectorise.
inline TailedPoint tailed_point_with(const TailedLine& line, double t, double gaussian,
                                     double tail) {
  // d erfc(b) = -2/sqrt(pi) exp(-b^2) db, and exp(a - b^2) = G.
  const double slope_of_erfc = kTwoOverSqrtPi * gaussian;
  const double tail_by_t = tail * line.inverse_beta - slope_of_erfc * line.b_per_t;
  const double tail_by_sigma =
      tail * line.sigma * line.inverse_beta * line.inverse_beta -
      slope_of_erfc * (line.inverse_beta / kSqrt2 - t * line.b_per_t * line.inverse_sigma);
  const double tail_by_beta = -tail * line.inverse_beta * line.inverse_beta *
                                  (t + 2.0 * line.beta * line.exponent_at_centre) +
                              slope_of_erfc * line.b_at_centre * line.inverse_beta;
  const double half_tail = line.half_tail;
  return {gaussian + half_tail * tail,
          -t * line.inverse_variance * gaussian + half_tail * tail_by_t,
          t * t * line.inverse_variance * line.inverse_sigma * gaussian + half_tail * tail_by_sigma,
          0.5 * tail, half_tail * tail_by_beta};
}

TailedPoint tailed_point(const TailedLine& line, double t, double gaussian) {
  return tailed_point_with(line, t, gaussian, tail_at(line, t, gaussian));
}

TailedPoint tailed_point(const LineParameters& line, double t, double gaussian) {
  return tailed_point(TailedLine(line), t, gaussian);
}

// A Voigt line of unit height at distance t, with its derivatives by t, sigma and gamma.
struct VoigtPoint {
  double value, by_t, by_sigma, by_gamma;
};

// What every point of one Voigt line shares: the scale of z = (t + i gamma) / (sqrt 2 sigma),
// and the height at the centre, Re w(i y0) = erfcx(y0), with its derivative by y0.
struct VoigtLine {
  explicit VoigtLine(const LineParameters& line)
      : inverse_sigma(1.0 / line.sigma),
        scale(inverse_sigma / kSqrt2),
        y0(line.gamma * scale),
        centre(faddeeva_erfcx(y0)),
        inverse_centre(1.0 / centre),
        centre_slope(2.0 * y0 * centre - kTwoOverSqrtPi) {}
  double inverse_sigma, scale, y0, centre, inverse_centre, centre_slope;
};

// The Voigt line at t from w(z), z = (x, y0), x = t scale: arithmetic only, in real numbers, so
// that loops over points vectorise. w'(z) = -2 z w + 2i / sqrt(pi).
inline VoigtPoint voigt_point_with(const VoigtLine& line, double x, double w_re, double w_im) {
  const double slope_re = -2.0 * (x * w_re - line.y0 * w_im);
  const double slope_im = -2.0 * (x * w_im + line.y0 * w_re) + kTwoOverSqrtPi;
  const double value = w_re * line.inverse_centre;
  const double by_t = slope_re * line.scale * line.inverse_centre;
  const double by_gamma =
      (-slope_im - value * line.centre_slope) * line.scale * line.inverse_centre;
  const double slope_times_z = slope_re * x - slope_im * line.y0;
  const double by_sigma = (-slope_times_z + value * line.centre_slope * line.y0) *
                          line.inverse_sigma * line.inverse_centre;
  return {value, by_t, by_sigma, by_gamma};
}

VoigtPoint voigt_point(const VoigtLine& line, double t) {
  const double x = t * line.scale;
  const std::complex<double> w = faddeeva_w({x, line.y0});
  return voigt_point_with(line, x, w.real(), w.imag());
}

VoigtPoint voigt_point(const LineParameters& line, double t) {
  return voigt_point(VoigtLine(line), t);
}

// The loops over a line's points are compiled twice, for processors with FMA (and the AVX it
// implies: four doubles a vector) and for any x86-64, and the loader picks one for the processor
// it runs on: the compiler's own run-time dispatch, for loops whose formulas the single-point
// evaluation of a line here shares. (The vector kernels' table is for loops that need nothing
// of a line.)
// ThreadSanitizer instruments the resolver that picks a clone, and the loader runs it before the
// sanitizer's runtime is ready: built for ThreadSanitizer, the loops are compiled once.
#if defined(__SANITIZE_THREAD__)
#define VESK_POINTS_LOOP
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VESK_POINTS_LOOP
#endif
#endif
#ifndef VESK_POINTS_LOOP
#define VESK_POINTS_LOOP __attribute__((target_clones("fma", "default")))
#endif

// The Gaussian's loop keeps the numbers of earlier releases to the bit: a product and a sum are
// rounded apart, never fused. It is compiled for AVX2 without FMA, four points a vector, and for
// any x86-64; both round every operation as the scalar loop does.
#if defined(__SANITIZE_THREAD__)
#define VESK_UNFUSED_POINTS_LOOP
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VESK_UNFUSED_POINTS_LOOP
#endif
#endif
#ifndef VESK_UNFUSED_POINTS_LOOP
#define VESK_UNFUSED_POINTS_LOOP __attribute__((target_clones("avx2", "default")))
#endif

using FourPoints = double __attribute__((vector_size(4 * sizeof(double))));

// One Gaussian's part at points whose shape exp(-t^2 / (2 sigma^2)) is known: its height added to
// values, its derivatives to the columns (the amplitude's, the shape itself, is written apart).
// The same operations on one point or on four.
struct GaussianPoints {
  double amplitude, mean, inverse_variance, inverse_sigma, sigma_by_mean;

  template <typename Value>
  void add(const Value& shape, const Value& u, Value& value, Value& by_mean,
           Value& by_sigma) const {
    const Value height = amplitude * shape;
    const Value distance = u - mean;
    const Value slope = height * distance * inverse_variance;
    value += height;
    const Value sigma_part = slope * distance * inverse_sigma;
    by_mean += slope + sigma_part * sigma_by_mean;
    by_sigma += sigma_part;
  }
};

// by_mean and by_sigma are added to, or started where `starts_mean` and `starts_sigma` say so.
VESK_UNFUSED_POINTS_LOOP void add_gaussian_points(const GaussianPoints& line, const double* shape,
                                                  const double* u, std::size_t count,
                                                  double* values, double* by_mean, bool starts_mean,
                                                  double* by_sigma, bool starts_sigma) {
  constexpr std::size_t kFour = 4;
  std::size_t i = 0;
  for (; i + kFour <= count; i += kFour) {
    // Vectors through memcpy, which any alignment allows; no vector crosses a call.
    FourPoints shape_i, u_i, value, mean_part = {}, sigma_part = {};
    std::memcpy(&shape_i, shape + i, sizeof shape_i);
    std::memcpy(&u_i, u + i, sizeof u_i);
    std::memcpy(&value, values + i, sizeof value);
    if (!starts_mean) std::memcpy(&mean_part, by_mean + i, sizeof mean_part);
    if (!starts_sigma) std::memcpy(&sigma_part, by_sigma + i, sizeof sigma_part);
    line.add(shape_i, u_i, value, mean_part, sigma_part);
    std::memcpy(values + i, &value, sizeof value);
    std::memcpy(by_mean + i, &mean_part, sizeof mean_part);
    std::memcpy(by_sigma + i, &sigma_part, sizeof sigma_part);
  }
  for (; i < count; ++i) {
    double mean_part = starts_mean ? 0.0 : by_mean[i];
    double sigma_part = starts_sigma ? 0.0 : by_sigma[i];
    line.add(shape[i], u[i], values[i], mean_part, sigma_part);
    by_mean[i] = mean_part;
    by_sigma[i] = sigma_part;
  }
}

// A column's entry at point i with x added, or started as 0 + x where the line starts its
// columns: the same rounding as adding to a zeroed column, without zeroing it first.
inline void add_to(double* column, std::size_t i, double x, bool starts) {
  column[i] = (starts ? 0.0 : column[i]) + x;
}

// Runs loop(std::true_type) where a line starts its columns and loop(std::false_type) where it
// adds to them: two copies of the loop over points, each with no choice inside to keep it from
// vectorising.
template <typename Loop>
[[gnu::always_inline]] inline void starting_or_adding(bool starts, const Loop& loop) {
  if (starts) {
    loop(std::true_type{});
  } else {
    loop(std::false_type{});
  }
}

// The rows of scratch: row 0 the line's Gaussian, then a row for each column a line can add to,
// then the special functions of a tailed or Voigt line at the points (three rows at most).
constexpr std::size_t kSinkRows = 8;
constexpr std::size_t kSpecialsRow = 1 + kSinkRows;
static_assert(kSpecialsRow + 3 <= kLineScratchRows, "the special functions' rows");

// The columns that a shape's loop writes, with every one whose parameter is not fitted sent to a
// zeroed row of scratch of its own (rows 1 and on), so that the loop adds to each column without
// asking whether it is there, and no two columns share memory: as the vectoriser needs. Columns
// the shape never writes are left alone.
using ColumnMember = double* LineColumns::*;
constexpr ColumnMember kColumnRows[kSinkRows] = {
    &LineColumns::amplitude, &LineColumns::mean, &LineColumns::sigma,      &LineColumns::gamma,
    &LineColumns::eta,       &LineColumns::tail, &LineColumns::tail_slope, &LineColumns::step};

LineColumns with_sinks(const LineColumns& columns, std::size_t count, double* scratch,
                       std::initializer_list<ColumnMember> written) {
  LineColumns all = columns;
  for (std::size_t row = 0; row < kSinkRows; ++row) {
    const ColumnMember column = kColumnRows[row];
    if (all.*column != nullptr ||
        std::find(written.begin(), written.end(), column) == written.end())
      continue;
    all.*column = scratch + (row + 1) * count;
    if (!columns.starts) std::fill_n(all.*column, count, 0.0);
  }
  return all;
}

// Today's Gaussian, written so that the model's numbers stay those of earlier releases.
void add_gaussian(const LineParameters& line, const double* u, std::size_t count,
                  const VectorKernels& kernels, double* scratch, double* values,
                  const LineColumns& fitted) {
  const LineColumns c =
      with_sinks(fitted, count, scratch, {&LineColumns::mean, &LineColumns::sigma});
  const double inverse_variance = 1.0 / (line.sigma * line.sigma);
  double* shape = c.amplitude != nullptr ? c.amplitude : scratch;
  kernels.gaussian(u, count, line.mean, 0.5 * inverse_variance, shape);
  const GaussianPoints points{line.amplitude, line.mean, inverse_variance, 1.0 / line.sigma,
                              c.sigma_by_mean};
  // A sink is started where the line starts its columns, and otherwise zeroed already and added
  // to.
  add_gaussian_points(points, shape, u, count, values, c.mean,
                      fitted.mean ? c.starts_mean : c.starts, c.sigma,
                      fitted.sigma ? c.starts_sigma : c.starts);
}

// The tailed line's values and derivatives at the points, from the special functions worked
// out for all of them: the Gaussian G, erfcx(|b|) with the exponential of the tail where b < 0,
// and erfcx(|z|) of the step, z = t / (sqrt 2 sigma). Separate arrays, for the vectoriser.
VESK_POINTS_LOOP void add_tailed_points(
    const LineParameters& line, const TailedLine shared, const double* __restrict u,
    const double* __restrict gaussian, const double* __restrict tail_erfcx,
    const double* __restrict exponential, const double* __restrict step_erfcx, std::size_t count,
    double sigma_by_mean, double* __restrict values, bool starts, double* __restrict by_amplitude,
    double* __restrict by_mean, double* __restrict by_sigma_column, double* __restrict by_tail,
    double* __restrict by_tail_slope, double* __restrict by_step) {
  const double a = line.amplitude, mean = line.mean, half_step = 0.5 * line.step;
  const double step_slope = line.step / (kSqrt2 * kSqrtPi * line.sigma);
  starting_or_adding(
      starts, [&](auto starting) __attribute__((always_inline)) {
        for (std::size_t i = 0; i < count; ++i) {
          const double t = u[i] - mean;
          const double g = gaussian[i];
          const double b = t * shared.b_per_t + shared.b_at_centre;
          const double tail = tail_from(b, g, tail_erfcx[i], exponential[i]);
          const TailedPoint p = tailed_point_with(shared, t, g, tail);
          const double edge = erfc_from(t * shared.b_per_t, g, step_erfcx[i]);
          const double step = half_step * edge;
          const double by_t = p.by_t - step_slope * g;
          const double by_sigma = p.by_sigma + step_slope * g * t * shared.inverse_sigma;
          values[i] += a * (p.value + step);
          add_to(by_amplitude, i, p.value + step, starting);
          add_to(by_mean, i, -a * by_t + a * by_sigma * sigma_by_mean, starting);
          add_to(by_sigma_column, i, a * by_sigma, starting);
          add_to(by_tail, i, a * p.by_tail, starting);
          add_to(by_tail_slope, i, a * p.by_tail_slope, starting);
          add_to(by_step, i, a * 0.5 * edge, starting);
        }
      });
}

// The special functions first, over all points (the exponentials and erfcx by the vector
// kernels), then the arithmetic in one loop that vectorises.
void add_tailed(const LineParameters& line, const double* u, std::size_t count,
                const VectorKernels& kernels, double* scratch, double* values,
                const LineColumns& fitted) {
  const LineColumns c =
      with_sinks(fitted, count, scratch,
                 {&LineColumns::amplitude, &LineColumns::mean, &LineColumns::sigma,
                  &LineColumns::tail, &LineColumns::tail_slope, &LineColumns::step});
  double* gaussian = scratch;
  double* tail_erfcx = scratch + kSpecialsRow * count;
  double* exponential = tail_erfcx + count;
  double* step_erfcx = exponential + count;
  kernels.gaussian(u, count, line.mean, 0.5 / (line.sigma * line.sigma), gaussian);
  const TailedLine shared(line);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = u[i] - line.mean;
    tail_erfcx[i] = std::fabs(t * shared.b_per_t + shared.b_at_centre);
    step_erfcx[i] = std::fabs(t * shared.b_per_t);
    // Only read where b < 0, where it is below 0 too; elsewhere it could overflow.
    exponential[i] = std::min(t * shared.inverse_beta + shared.exponent_at_centre, 0.0);
  }
  kernels.exp(exponential, count, exponential);
  kernels.erfcx(tail_erfcx, count, tail_erfcx);
  kernels.erfcx(step_erfcx, count, step_erfcx);
  add_tailed_points(line, shared, u, gaussian, tail_erfcx, exponential, step_erfcx, count,
                    c.sigma_by_mean, values, c.starts, c.amplitude, c.mean, c.sigma, c.tail,
                    c.tail_slope, c.step);
}

VESK_POINTS_LOOP void add_lorentzian(const LineParameters& line, const double* u, std::size_t count,
                                     double* scratch, double* values, const LineColumns& fitted) {
  const LineColumns c = with_sinks(
      fitted, count, scratch, {&LineColumns::amplitude, &LineColumns::mean, &LineColumns::gamma});
  const double a = line.amplitude, inverse_gamma = 1.0 / line.gamma;
  const double mean = line.mean, gamma_by_mean = c.gamma_by_mean;
  starting_or_adding(
      c.starts, [&](auto starting) __attribute__((always_inline)) {
        for (std::size_t i = 0; i < count; ++i) {
          const double q = (u[i] - mean) * inverse_gamma;
          const double lorentzian = 1.0 / (1.0 + q * q);
          const double square = lorentzian * lorentzian;
          const double by_gamma = a * 2.0 * q * q * inverse_gamma * square;
          values[i] += a * lorentzian;
          add_to(c.amplitude, i, lorentzian, starting);
          add_to(c.mean, i, a * 2.0 * q * inverse_gamma * square + by_gamma * gamma_by_mean,
                 starting);
          add_to(c.gamma, i, by_gamma, starting);
        }
      });
}

// What every point of one pseudo-Voigt line shares.
struct PseudoVoigtLine {
  double amplitude, mean, eta, inverse_variance, inverse_sigma, inverse_half_width;
};

// The pseudo-Voigt line's values and derivatives at the points, added to separate arrays.
VESK_POINTS_LOOP void add_pseudo_voigt_points(
    const PseudoVoigtLine& line, const double* __restrict u, const double* __restrict gaussian,
    std::size_t count, double sigma_by_mean, double* __restrict values, bool starts,
    double* __restrict by_amplitude, double* __restrict by_mean, double* __restrict by_sigma_column,
    double* __restrict by_eta) {
  const double a = line.amplitude, eta = line.eta, inverse_variance = line.inverse_variance;
  const double inverse_half_width = line.inverse_half_width;
  starting_or_adding(
      starts, [&](auto starting) __attribute__((always_inline)) {
        for (std::size_t i = 0; i < count; ++i) {
          const double t = u[i] - line.mean;
          const double q = t * inverse_half_width;
          const double lorentzian = 1.0 / (1.0 + q * q);
          const double square = lorentzian * lorentzian;
          const double g = gaussian[i];
          const double value = (1.0 - eta) * g + eta * lorentzian;
          const double by_t =
              -(1.0 - eta) * t * inverse_variance * g - eta * 2.0 * q * inverse_half_width * square;
          const double by_sigma =
              ((1.0 - eta) * t * t * inverse_variance * g + eta * 2.0 * q * q * square) *
              line.inverse_sigma;
          values[i] += a * value;
          add_to(by_amplitude, i, value, starting);
          add_to(by_mean, i, -a * by_t + a * by_sigma * sigma_by_mean, starting);
          add_to(by_sigma_column, i, a * by_sigma, starting);
          add_to(by_eta, i, a * (lorentzian - g), starting);
        }
      });
}

void add_pseudo_voigt(const LineParameters& line, const double* u, std::size_t count,
                      const VectorKernels& kernels, double* scratch, double* values,
                      const LineColumns& fitted) {
  const LineColumns c = with_sinks(
      fitted, count, scratch,
      {&LineColumns::amplitude, &LineColumns::mean, &LineColumns::sigma, &LineColumns::eta});
  double* gaussian = scratch;
  const double inverse_variance = 1.0 / (line.sigma * line.sigma);
  kernels.gaussian(u, count, line.mean, 0.5 * inverse_variance, gaussian);
  const double inverse_sigma = 1.0 / line.sigma;
  const PseudoVoigtLine shared{line.amplitude,   line.mean,     line.eta,
                               inverse_variance, inverse_sigma, inverse_sigma / kHalfWidthPerSigma};
  add_pseudo_voigt_points(shared, u, gaussian, count, c.sigma_by_mean, values, c.starts,
                          c.amplitude, c.mean, c.sigma, c.eta);
}

// The Voigt line's values and derivatives at the points, from w(z) worked out for all of them
// (its real and imaginary parts in separate arrays, for the vectoriser).
VESK_POINTS_LOOP void add_voigt_points(const LineParameters& line, const VoigtLine shared,
                                       const double* __restrict u, const double* __restrict w_re,
                                       const double* __restrict w_im, std::size_t count,
                                       double sigma_by_mean, double gamma_by_mean,
                                       double* __restrict values, bool starts,
                                       double* __restrict by_amplitude, double* __restrict by_mean,
                                       double* __restrict by_sigma, double* __restrict by_gamma) {
  const double a = line.amplitude, mean = line.mean;
  starting_or_adding(
      starts, [&](auto starting) __attribute__((always_inline)) {
        for (std::size_t i = 0; i < count; ++i) {
          const VoigtPoint p =
              voigt_point_with(shared, (u[i] - mean) * shared.scale, w_re[i], w_im[i]);
          values[i] += a * p.value;
          add_to(by_amplitude, i, p.value, starting);
          add_to(by_mean, i,
                 -a * p.by_t + a * p.by_sigma * sigma_by_mean + a * p.by_gamma * gamma_by_mean,
                 starting);
          add_to(by_sigma, i, a * p.by_sigma, starting);
          add_to(by_gamma, i, a * p.by_gamma, starting);
        }
      });
}

// w(z) first, over all points (libcerf has no vector form), then the arithmetic in one loop
// that vectorises.
void add_voigt(const LineParameters& line, const double* u, std::size_t count, double* scratch,
               double* values, const LineColumns& fitted) {
  const LineColumns c = with_sinks(
      fitted, count, scratch,
      {&LineColumns::amplitude, &LineColumns::mean, &LineColumns::sigma, &LineColumns::gamma});
  double* w_re = scratch + kSpecialsRow * count;
  double* w_im = w_re + count;
  const VoigtLine shared(line);
  for (std::size_t i = 0; i < count; ++i) {
    const std::complex<double> w = faddeeva_w({(u[i] - line.mean) * shared.scale, shared.y0});
    w_re[i] = w.real();
    w_im[i] = w.imag();
  }
  add_voigt_points(line, shared, u, w_re, w_im, count, c.sigma_by_mean, c.gamma_by_mean, values,
                   c.starts, c.amplitude, c.mean, c.sigma, c.gamma);
}

// A unit line's value at distance t, for the roots of its half maximum.
double unit_value(LineShape shape, const LineParameters& line, double t) {
  LineParameters unit = line;
  unit.amplitude = 1.0;
  unit.mean = 0.0;
  return line_value(shape, unit, t);
}

// The first point beyond `from`, stepping by `step` and doubling it, where `keeps` no longer
// holds; NaN when there is none within the range of doubles.
template <typename Predicate>
double first_beyond(double from, double step, Predicate&& keeps) {
  constexpr int kMostDoublings = 60;
  for (int i = 0; i < kMostDoublings; ++i, step *= 2.0) {
    if (!keeps(from + step)) return from + step;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

// A unit line's value, slope and derivatives by its shape parameters at distance t (tailed or
// Voigt lines).
struct UnitPoint {
  double value = 0.0, by_t = 0.0;
  double by[kShapeGradientSize] = {};
};

UnitPoint unit_point(LineShape shape, const LineParameters& line, double t) {
  UnitPoint point;
  if (shape == LineShape::voigt) {
    const VoigtPoint voigt = voigt_point(line, t);
    point.value = voigt.value;
    point.by_t = voigt.by_t;
    point.by[kBySigma] = voigt.by_sigma;
    point.by[kByGamma] = voigt.by_gamma;
    return point;
  }
  const double gaussian = std::exp(-0.5 * t * t / (line.sigma * line.sigma));
  const TailedPoint tailed = tailed_point(line, t, gaussian);
  point.value = tailed.value;
  point.by_t = tailed.by_t;
  point.by[kBySigma] = tailed.by_sigma;
  point.by[kByTail] = tailed.by_tail;
  point.by[kByTailSlope] = tailed.by_tail_slope;
  return point;
}

// Where a line without a closed form has its maximum (where its slope changes sign), and the
// two points where it has fallen to half of it; NaN where they cannot be found.
struct HalfMaximum {
  double top, left, right;
};

HalfMaximum half_maximum(LineShape shape, const LineParameters& line) {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  const double width = std::max(line.sigma, shape == LineShape::voigt ? line.gamma : 0.0);
  double top = 0.0;
  if (shape == LineShape::tailed) {
    const auto slope = [&](double t) { return unit_point(shape, line, t).by_t; };
    const double lo = first_beyond(0.0, -0.5 * width, [&](double t) { return slope(t) <= 0.0; });
    const double hi = first_beyond(0.0, 0.5 * width, [&](double t) { return slope(t) >= 0.0; });
    if (!std::isfinite(lo) || !std::isfinite(hi)) return {kNan, kNan, kNan};
    top = root_between(slope, lo, hi);
  }
  const double half = 0.5 * unit_value(shape, line, top);
  const auto above_half = [&](double t) { return unit_value(shape, line, t) - half; };
  const double left_end =
      first_beyond(top, -0.5 * width, [&](double t) { return above_half(t) > 0.0; });
  const double right_end =
      first_beyond(top, 0.5 * width, [&](double t) { return above_half(t) > 0.0; });
  if (!std::isfinite(left_end) || !std::isfinite(right_end)) return {top, kNan, kNan};
  return {top, root_between(above_half, left_end, top), root_between(above_half, top, right_end)};
}

// The FWHM's derivatives by the shape parameters, by implicit differentiation of the half points
// t: L(t) = L(top) / 2, where the slope of L is 0 at the top, so that dt/dp =
// -(dL/dp(t) - dL/dp(top) / 2) / L'(t).
void fwhm_gradient(LineShape shape, const LineParameters& line, const HalfMaximum& points,
                   double* gradient) {
  const UnitPoint top = unit_point(shape, line, points.top);
  const UnitPoint left = unit_point(shape, line, points.left);
  const UnitPoint right = unit_point(shape, line, points.right);
  for (int p = kBySigma; p < kShapeGradientSize; ++p) {
    const double at_top = 0.5 * top.by[p];
    gradient[p] = -(right.by[p] - at_top) / right.by_t + (left.by[p] - at_top) / left.by_t;
  }
}

}  // namespace

bool has_sigma(LineShape shape) { return shape != LineShape::lorentzian; }
bool has_gamma(LineShape shape) {
  return shape == LineShape::lorentzian || shape == LineShape::voigt;
}
bool has_eta(LineShape shape) { return shape == LineShape::pseudo_voigt; }
bool has_tail(LineShape shape) { return shape == LineShape::tailed; }

void add_line(LineShape shape, const LineParameters& line, const double* u, std::size_t count,
              const VectorKernels& kernels, double* scratch, double* values,
              const LineColumns& columns) {
  switch (shape) {
    case LineShape::gaussian:
      return add_gaussian(line, u, count, kernels, scratch, values, columns);
    case LineShape::tailed:
      return add_tailed(line, u, count, kernels, scratch, values, columns);
    case LineShape::lorentzian:
      return add_lorentzian(line, u, count, scratch, values, columns);
    case LineShape::pseudo_voigt:
      return add_pseudo_voigt(line, u, count, kernels, scratch, values, columns);
    case LineShape::voigt:
      return add_voigt(line, u, count, scratch, values, columns);
  }
}

double line_value(LineShape shape, const LineParameters& line, double x) {
  const double t = x - line.mean;
  switch (shape) {
    case LineShape::gaussian: {
      const double distance = t / line.sigma;
      return line.amplitude * std::exp(-0.5 * distance * distance);
    }
    case LineShape::tailed: {
      const double gaussian = std::exp(-0.5 * t * t / (line.sigma * line.sigma));
      return line.amplitude * tailed_point(line, t, gaussian).value;
    }
    case LineShape::lorentzian: {
      const double q = t / line.gamma;
      return line.amplitude / (1.0 + q * q);
    }
    case LineShape::pseudo_voigt: {
      const double q = t / (kHalfWidthPerSigma * line.sigma);
      const double gaussian = std::exp(-0.5 * t * t / (line.sigma * line.sigma));
      return line.amplitude * ((1.0 - line.eta) * gaussian + line.eta / (1.0 + q * q));
    }
    case LineShape::voigt:
      return line.amplitude * voigt_point(line, t).value;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

double step_value(LineShape shape, const LineParameters& line, double x) {
  if (shape != LineShape::tailed) return 0.0;
  return line.amplitude * 0.5 * line.step * std::erfc((x - line.mean) / (kSqrt2 * line.sigma));
}

double line_area(LineShape shape, const LineParameters& line, double* gradient) {
  double g[kShapeGradientSize] = {};
  double area = 0.0;
  const double a = line.amplitude;
  switch (shape) {
    case LineShape::gaussian:
      area = kAreaPerAmplitudeSigma * a * line.sigma;
      g[kByAmplitude] = kAreaPerAmplitudeSigma * line.sigma;
      g[kBySigma] = kAreaPerAmplitudeSigma * a;
      break;
    case LineShape::tailed:
      area = a * (kAreaPerAmplitudeSigma * line.sigma + line.tail * line.tail_slope);
      g[kByAmplitude] = kAreaPerAmplitudeSigma * line.sigma + line.tail * line.tail_slope;
      g[kBySigma] = kAreaPerAmplitudeSigma * a;
      g[kByTail] = a * line.tail_slope;
      g[kByTailSlope] = a * line.tail;
      break;
    case LineShape::lorentzian:
      area = kPi * a * line.gamma;
      g[kByAmplitude] = kPi * line.gamma;
      g[kByGamma] = kPi * a;
      break;
    case LineShape::pseudo_voigt: {
      const double h = kHalfWidthPerSigma * line.sigma;
      const double mix = (1.0 - line.eta) * kGaussianAreaPerHalfWidth + kPi * line.eta;
      area = a * h * mix;
      g[kByAmplitude] = h * mix;
      g[kBySigma] = a * kHalfWidthPerSigma * mix;
      g[kByEta] = a * h * (kPi - kGaussianAreaPerHalfWidth);
      break;
    }
    case LineShape::voigt: {
      // A V(t) / V(0) with V of unit area: area = A / V(0), V(0) = erfcx(y0) / (sigma sqrt(2 pi)).
      const VoigtLine shared(line);
      const double centre = shared.centre, centre_slope = shared.centre_slope, y0 = shared.y0;
      area = a * kAreaPerAmplitudeSigma * line.sigma / centre;
      g[kByAmplitude] = kAreaPerAmplitudeSigma * line.sigma / centre;
      g[kBySigma] = area / line.sigma + area * centre_slope * y0 / (line.sigma * centre);
      g[kByGamma] = -area * centre_slope / (kSqrt2 * line.sigma * centre);
      break;
    }
  }
  if (gradient != nullptr) std::copy(g, g + kShapeGradientSize, gradient);
  return area;
}

double line_fwhm(LineShape shape, const LineParameters& line, double* gradient) {
  double g[kShapeGradientSize] = {};
  double fwhm = 0.0;
  switch (shape) {
    case LineShape::gaussian:
    case LineShape::pseudo_voigt:
      fwhm = kFwhmPerSigma * line.sigma;
      g[kBySigma] = kFwhmPerSigma;
      break;
    case LineShape::lorentzian:
      fwhm = 2.0 * line.gamma;
      g[kByGamma] = 2.0;
      break;
    case LineShape::tailed:
    case LineShape::voigt: {
      const HalfMaximum points = half_maximum(shape, line);
      fwhm = points.right - points.left;
      if (gradient != nullptr) fwhm_gradient(shape, line, points, g);
      break;
    }
  }
  if (gradient != nullptr) std::copy(g, g + kShapeGradientSize, gradient);
  return fwhm;
}

}  // namespace vesk::numerics::detail
