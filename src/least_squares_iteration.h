#ifndef VESK_NUMERICS_SRC_LEAST_SQUARES_ITERATION_H
#define VESK_NUMERICS_SRC_LEAST_SQUARES_ITERATION_H

// The Levenberg-Marquardt iteration of the least-squares core; included by least_squares.h.

#include <gsl/gsl_errno.h>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <limits>

namespace vesk::numerics::detail {

// Damping relative to the scaled information matrix at the start.
constexpr double kInitialDamping = 1e-3;
// A step is taken when it achieves at least this share of the reduction the quadratic model
// predicts (MINPACK's rule).
constexpr double kAcceptableRatio = 1e-4;
constexpr double kMachinePrecision = std::numeric_limits<double>::epsilon();
// Steps in a row whose normal equations cannot be solved, however damped, before the iteration
// gives up with GSL_ENOPROG, as GSL's own solvers do after so many rejected steps.
constexpr int kMostUnsolvedSteps = 15;

// GSL's convergence tests after an accepted step: every component of the step within
// accuracy * (|x_i| + accuracy), or the scaled gradient max |g_i| max(|x_i|, 1) within
// accuracy * max(F, 1). A NaN accuracy passes neither.
template <typename Vector>
bool converged(const Vector& step, const Vector& x, const Vector& gradient, double half_chisq,
               double accuracy) {
  const auto magnitude = x.array().abs();
  if ((step.array().abs() < accuracy * accuracy + accuracy * magnitude).all()) return true;
  const double scaled_gradient = (gradient.array().abs() * magnitude.max(1.0)).maxCoeff();
  return scaled_gradient <= accuracy * std::max(half_chisq, 1.0);
}

// MINPACK's ftol test: the step's actual and predicted reductions of chisq are both within
// `tolerance` of it, and the step did not do more than twice what was predicted. Where the fit
// leaves residuals larger than its errors (lines of another shape than the model's) Gauss-Newton
// converges only linearly, and chisq settles long before the parameters meet the step test.
inline bool chisq_settled(double actual, double predicted, double ratio, double half_chisq,
                          double tolerance) {
  return tolerance > 0.0 && actual <= tolerance * half_chisq &&
         predicted <= tolerance * half_chisq && ratio <= 2.0;
}

// Before the slow end, chisq counts as settled at this share of the tolerance only. Lines of
// other shapes than the Gaussian leave residuals that are not pure noise, and Gauss-Newton then
// gains a digit or two a step: once a step lowers chisq by so little, the next would change it in
// its last few digits. On 180 windows of five overlapping Lorentzian, pseudo-Voigt and Voigt
// lines this took a fifth of the steps away, and chisq still ended below lmfit's in every one.
constexpr double kSettledChisqShare = 1e-3;
// Once an accepted step has lowered chisq by no more than the tolerance, a next step that the
// quadratic model expects to lower it by at most this share of the tolerance is not taken: it
// would change chisq in its last three digits or so. The fit ends where it is, one evaluation
// early; on the same 180 windows chisq stayed below lmfit's in every one (the closest by 7.5e-14
// of it).
constexpr double kNegligibleChisqShare = 1e-5;

// MINPACK's machine-precision exits: no reduction left to predict, or a step too small to change
// x. The parameters are then as good as double precision makes them.
template <typename Vector>
bool at_machine_precision(const Vector& step, const Vector& x, double predicted,
                          double half_chisq) {
  return !(predicted > kMachinePrecision * half_chisq) ||
         (step.array().abs() <= kMachinePrecision * x.array().abs()).all();
}

template <int kParameters>
using ParameterMask = Eigen::Array<bool, kParameters, 1>;

// The parameters on a bound that a move along `direction` would carry outside.
template <int kParameters>
ParameterMask<kParameters> pushed_out(const Bounds<kParameters>& bounds,
                                      const ParameterVector<kParameters>& x,
                                      const ParameterVector<kParameters>& direction) {
  return (x.array() <= bounds.lower.array() && direction.array() < 0.0) ||
         (x.array() >= bounds.upper.array() && direction.array() > 0.0);
}

// The damped step with the `held` parameters kept where they are: they are taken out of the
// normal equations. False when the equations cannot be solved. Factor is Eigen's LDLT or LLT.
template <int kParameters, typename Factor>
bool damped_step(const ParameterMatrix<kParameters>& damped,
                 const ParameterVector<kParameters>& gradient,
                 const ParameterMask<kParameters>& held, Factor& factor,
                 ParameterVector<kParameters>& step) {
  if (!held.any()) {
    factor.compute(damped);
    step = -gradient;
  } else {
    ParameterMatrix<kParameters> reduced = damped;
    step = -gradient;
    for (Eigen::Index i = 0; i < step.size(); ++i) {
      if (!held(i)) continue;
      reduced.row(i).setZero();
      reduced.col(i).setZero();
      reduced(i, i) = 1.0;
      step(i) = 0.0;
    }
    factor.compute(reduced);
  }
  factor.solveInPlace(step);
  return factor.info() == Eigen::Success && step.allFinite();
}

// The largest share of the step, at most all of it, that stays within the bounds.
template <int kParameters>
double share_within_bounds(const Bounds<kParameters>& bounds, const ParameterVector<kParameters>& x,
                           const ParameterVector<kParameters>& step) {
  double share = 1.0;
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    if (step(i) < 0.0) share = std::min(share, (bounds.lower(i) - x(i)) / step(i));
    if (step(i) > 0.0) share = std::min(share, (bounds.upper(i) - x(i)) / step(i));
  }
  return std::max(share, 0.0);
}

// Puts the parameters that cut a step short exactly on the bound they reached: x + share * step
// rounds to either side of it, and a parameter left a rounding error inside would cut the next
// step to nothing instead of being held on its bound.
template <int kParameters>
void land_on_bounds(const Bounds<kParameters>& bounds, const ParameterVector<kParameters>& x,
                    const ParameterVector<kParameters>& step, double share,
                    ParameterVector<kParameters>& candidate) {
  for (Eigen::Index i = 0; i < x.size(); ++i) {
    if (step(i) < 0.0 && (bounds.lower(i) - x(i)) / step(i) <= share) {
      candidate(i) = bounds.lower(i);
    }
    if (step(i) > 0.0 && (bounds.upper(i) - x(i)) / step(i) <= share) {
      candidate(i) = bounds.upper(i);
    }
  }
}

// Accepted steps whose directions agree this closely walk along one valley of chisq.
constexpr double kValleyCosine = 0.99;
// A step that lowers chisq by more than the quadratic model predicted found less curvature
// along its way than the model assumed: the sign of a valley that goes on.
constexpr double kValleyRatio = 1.0;
// Steps in a row along one valley before the valley is followed: a single such step is common
// near any minimum, a run of them is a crawl.
constexpr int kCrawlSteps = 3;
// How often a step along a valley is doubled before the iteration goes on.
constexpr int kMostValleyDoublings = 6;

// A long, curved valley of chisq (a tail's height traded against its slope) is walked by
// Gauss-Newton steps that each cover a small share of it, for hundreds of iterations. When a fit
// has used a third of its budget and its accepted steps have pointed one way for a while, each
// doing better than predicted, the same step is tried again, doubled each time chisq still falls: a
// line search along the valley. The iteration then goes on from the best point found; nothing else
// about it changes.
template <int kParameters, typename Evaluate>
void follow_valley(const ParameterVector<kParameters>& step, const Bounds<kParameters>* bounds,
                   Evaluate& evaluate, ParameterVector<kParameters>& x,
                   Evaluation<kParameters>& current, Evaluation<kParameters>& trial) {
  ParameterVector<kParameters> stride = step;
  ParameterVector<kParameters> candidate(x.size());
  for (int doubling = 0; doubling < kMostValleyDoublings; ++doubling) {
    candidate = x + stride;
    if (bounds) candidate = candidate.cwiseMax(bounds->lower).cwiseMin(bounds->upper);
    if (!candidate.allFinite() || !evaluate(candidate, trial) || !std::isfinite(trial.chisq) ||
        !(trial.chisq < current.chisq)) {
      return;
    }
    x = candidate;
    std::swap(current, trial);
    stride *= 2.0;
  }
}

// Whether two steps point the same way.
template <typename Vector>
bool aligned(const Vector& step, const Vector& earlier) {
  const double norms = step.norm() * earlier.norm();
  return norms > 0.0 && step.dot(earlier) > kValleyCosine * norms;
}

template <int kParameters, typename Evaluate>
Minimum<kParameters> levenberg_marquardt(const ParameterVector<kParameters>& start,
                                         const IterationLimits& limits, Evaluate&& evaluate,
                                         const Bounds<kParameters>* bounds) {
  using Vector = ParameterVector<kParameters>;
  using Matrix = ParameterMatrix<kParameters>;
  Minimum<kParameters> minimum;
  Evaluation<kParameters> current;
  const Eigen::Index p = start.size();
  Vector x = start;
  // A bounded parameter starts within its bounds.
  if (bounds) x = x.cwiseMax(bounds->lower).cwiseMin(bounds->upper);
  if (!x.allFinite() || !evaluate(x, current) || !std::isfinite(current.chisq)) {
    minimum.status = GSL_EDOM;
    minimum.parameters = x;
    minimum.information.setZero(p, p);
    return minimum;
  }
  Vector scale = Vector::Zero(p);
  Eigen::LDLT<Matrix> pivoted(p);
  Eigen::LLT<Matrix> cholesky(p);
  Evaluation<kParameters> trial;
  Matrix damped(p, p);
  Vector diagonal(p), step(p), candidate(p), gradient(p);
  Vector earlier_step;
  if (limits.follow_valleys) earlier_step.setZero(p);
  int crawl = 0;  // accepted steps in a row along one valley
  ParameterMask<kParameters> held(p);
  double damping = kInitialDamping;
  double growth = 2.0;
  int status = GSL_CONTINUE;
  int unsolved = 0;
  bool settling = false;  // the last step was accepted and lowered chisq by at most its tolerance
  while (status == GSL_CONTINUE) {
    // Marquardt's scaling by the largest diagonal seen so far keeps the step invariant to the
    // units of each parameter; a parameter the data never touched is scaled by 1.
    scale = scale.cwiseMax(current.information.diagonal());
    diagonal = (scale.array() > 0.0).select(scale, 1.0);
    damped = current.information;
    damped.diagonal() += damping * diagonal;
    // On a bound, the parameters that descent would carry outside are held there, and so are
    // those the step then pushes out.
    held.setConstant(false);
    if (bounds) held = pushed_out(*bounds, x, Vector(-current.gradient));
    const auto solve = [&] {
      return limits.fast_algebra ? damped_step(damped, current.gradient, held, cholesky, step)
                                 : damped_step(damped, current.gradient, held, pivoted, step);
    };
    bool solved = solve();
    while (solved && bounds) {
      const ParameterMask<kParameters> more = pushed_out(*bounds, x, step) && !held;
      if (!more.any()) break;
      held = held || more;
      solved = solve();
    }
    const double half_chisq = 0.5 * current.chisq;
    if (!solved) {
      settling = false;
      damping *= growth;
      growth *= 2.0;
      if (++unsolved > kMostUnsolvedSteps || !std::isfinite(damping)) status = GSL_ENOPROG;
      continue;
    }
    bool cut_at_bound = false;
    double predicted = 0.0;
    if (!bounds) {
      predicted =
          0.5 * (damping * step.dot(diagonal.cwiseProduct(step)) - step.dot(current.gradient));
      candidate = x + step;
    } else {
      const double share = share_within_bounds(*bounds, x, step);
      cut_at_bound = share < 1.0;
      candidate = (x + share * step).cwiseMax(bounds->lower).cwiseMin(bounds->upper);
      if (cut_at_bound) land_on_bounds(*bounds, x, step, share, candidate);
      step = candidate - x;
      // The reduction that the Gauss-Newton model predicts for the step actually taken.
      predicted = -step.dot(current.gradient) - 0.5 * step.dot(current.information * step);
    }
    unsolved = 0;
    if (settling && !cut_at_bound &&
        predicted <= kNegligibleChisqShare * limits.chisq_tolerance * half_chisq) {
      status = GSL_SUCCESS;
      break;
    }
    settling = false;
    const bool valid =
        candidate.allFinite() && evaluate(candidate, trial) && std::isfinite(trial.chisq);
    const double actual = valid ? half_chisq - 0.5 * trial.chisq : -1.0;
    if (valid && actual > 0.0 && actual > kAcceptableRatio * predicted) {
      const double ratio = actual / predicted;
      x = candidate;
      std::swap(current, trial);
      ++minimum.iterations;
      const double excess = 2.0 * ratio - 1.0;
      damping *= std::max(1.0 / 3.0, 1.0 - excess * excess * excess);
      growth = 2.0;
      // A step cut short at a bound says nothing about convergence; on a bound, the gradient
      // that points outside it is not a slope left to descend.
      if (bounds) {
        gradient = pushed_out(*bounds, x, Vector(-current.gradient))
                       .select(0.0, current.gradient.array())
                       .matrix();
      }
      const Vector& slope = bounds ? gradient : current.gradient;
      settling = actual <= limits.chisq_tolerance * half_chisq;
      // Fits that converge as they should have mostly done so within a third of their budget;
      // the measures against a slow end of the iteration wait until then.
      const bool slow = static_cast<std::size_t>(minimum.iterations) * 3 >= limits.max_iterations;
      if (!cut_at_bound &&
          (converged(step, x, slope, 0.5 * current.chisq, limits.accuracy) ||
           chisq_settled(actual, predicted, ratio, half_chisq,
                         (slow ? 1.0 : kSettledChisqShare) * limits.chisq_tolerance) ||
           (actual <= kMachinePrecision * half_chisq &&
            at_machine_precision(step, x, predicted, half_chisq)))) {
        status = GSL_SUCCESS;
      } else if (static_cast<std::size_t>(minimum.iterations) >= limits.max_iterations) {
        status = GSL_EMAXITER;
      } else if (limits.follow_valleys && slow) {
        const bool crawling = !cut_at_bound && ratio > kValleyRatio && aligned(step, earlier_step);
        crawl = crawling ? crawl + 1 : 0;
        if (crawl == kCrawlSteps) {
          follow_valley(step, bounds, evaluate, x, current, trial);
          crawl = 0;
          settling = false;
        }
        earlier_step = step;
      }
    } else if (at_machine_precision(step, x, predicted, half_chisq)) {
      status = GSL_SUCCESS;
    } else {
      damping *= growth;
      growth *= 2.0;
      if (!std::isfinite(damping)) status = GSL_ENOPROG;
    }
  }
  minimum.status = status;
  minimum.chisq = current.chisq;
  minimum.parameters = std::move(x);
  minimum.information = std::move(current.information);
  return minimum;
}

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_LEAST_SQUARES_ITERATION_H
