#ifndef VESK_NUMERICS_SRC_LEAST_SQUARES_H
#define VESK_NUMERICS_SRC_LEAST_SQUARES_H

// The library's least-squares core: Levenberg-Marquardt on the normal equations, with the
// stopping rules of GSL's and MINPACK's drivers so that a status means the same as with GSL's
// lmsder. The dense algebra is Eigen's (no BLAS: nothing is shared between threads), the loops
// over the points are the vector kernels. One minimisation makes its own workspace and keeps
// nothing afterwards, so any number of threads may run minimisations at once.
//
// Three statistics share the iteration. With model values f, derivatives grad f and data y:
//   least_squares  chisq = sum (f - y)^2
//   weighted       chisq = sum ((f - y) / sigma)^2
//   poisson        chisq = 2 sum (f - y + y ln(y / f)), the likelihood-ratio statistic of counts
// The core minimises F = chisq / 2 with gradient sum a_i grad f_i and the Gauss-Newton (for
// counts: Fisher) matrix sum b_i grad f_i grad f_i^T, a_i and b_i being the statistic's
// per-point weights. For counts the model must stay positive where y > 0; a step that leaves it
// is refused like any step that does not lower chisq.

#include <Eigen/Core>

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "simd/vector_kernels.h"

namespace vesk::numerics::detail {

enum class Statistic : unsigned char { least_squares, weighted, poisson };

// The measured values that the model is compared with, by index. Owns nothing.
struct Observations {
  const double* y;
  const double* sigma;  // per-point standard deviations; read only for Statistic::weighted
  std::size_t count;
  Statistic statistic;
};

struct IterationLimits {
  std::size_t max_iterations;
  double accuracy;  // GSL's xtol and gtol
  // Two measures against a slow end, taken once a third of max_iterations is used; off (the
  // defaults), the iteration is GSL's and MINPACK's. Whether accepted steps that keep one
  // direction are followed further along it (see follow_valley):
  bool follow_valleys = false;
  // and MINPACK's ftol: converged also when an accepted step's actual and predicted reductions
  // of chisq are both within this share of it (0, as in GSL's driver, leaves the test out), and
  // before the slow end within kSettledChisqShare of this share.
  double chisq_tolerance = 0.0;
  // J^T W J summed by the vector kernels' register tiles and the damped steps solved by Cholesky
  // (LLT): faster than Eigen's matrix product and pivoted LDLT (the defaults), but in another
  // order of operations. Off, the last bits of every result are those that fits have always had.
  bool fast_algebra = false;
};

// Parameter vectors and matrices: fixed-size for a model with a known number of parameters
// (kParameters), dynamic for Eigen::Dynamic.
template <int kParameters>
using ParameterVector = Eigen::Matrix<double, kParameters, 1>;
template <int kParameters>
using ParameterMatrix = Eigen::Matrix<double, kParameters, kParameters>;

template <int kParameters>
struct Minimum {
  // GSL_SUCCESS, GSL_EMAXITER, GSL_ENOPROG when no step could be taken, or GSL_EDOM when the
  // start is not finite
  int status = 0;
  int iterations = 0;  // accepted steps
  double chisq = 0.0;
  ParameterVector<kParameters> parameters;
  ParameterMatrix<kParameters> information;  // sum b_i grad f_i grad f_i^T at the parameters
};

// Points are processed in chunks of this many, so that a chunk's Jacobian stays in the cache.
constexpr std::size_t kChunk = 256;

// A model for the core provides
//   static constexpr int kParameters;  (its parameter count, or Eigen::Dynamic)
//   Eigen::Index parameter_count() const;
//   bool evaluate(const double* parameters, std::size_t begin, std::size_t count, double* values,
//                 double* jacobian) const;
// evaluate writes the values at points [begin, begin + count) and their derivatives as a
// count x parameter_count column-major matrix, count being at most kChunk; it returns false for
// parameters outside the model's domain, which the iteration then treats as a failed step.

// One evaluation of the statistic at one set of parameters.
template <int kParameters>
struct Evaluation {
  double chisq = 0.0;
  ParameterMatrix<kParameters> information;
  ParameterVector<kParameters> gradient;
};

// Doubles aligned to the widest vector register. Vectorised sums start at an aligned element, so
// where a buffer lies would otherwise change the order of additions, and with it the last bit of
// a result.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(std::size_t count);
  double* data() { return storage_.get(); }
  double& operator[](std::size_t i) { return storage_[i]; }

 private:
  static constexpr std::align_val_t kAlignment{64};
  struct Free {
    void operator()(double* storage) const { ::operator delete[](storage, kAlignment); }
  };
  std::unique_ptr<double[], Free> storage_;
};

// The per-point buffers of one minimisation, in one aligned allocation: each is a whole number of
// chunks long, so that every one starts aligned.
struct ChunkBuffers {
  ChunkBuffers(Eigen::Index parameters, bool tiled_sums);
  ChunkBuffers(const ChunkBuffers&) = delete;
  ChunkBuffers& operator=(const ChunkBuffers&) = delete;

 private:
  AlignedBuffer storage_;

 public:
  double* values;
  double* jacobian;
  double* scratch;
  double* chisq_terms;
  double* gradient_weights;
  double* information_weights;
  double* ratios;
  double* logarithms;
  const VectorKernels& kernels;
  decltype(VectorKernels::accumulate) accumulate;  // the kernel that sums J^T W J
};

// Turns one chunk's model values into chisq terms and weights, adds the terms to chisq and, with
// derivatives, J^T W J to the parameters x parameters column-major information and J^T a to the
// gradient; false when the model left its domain (counts: f <= 0 where y > 0, or f < 0).
bool add_chunk(const Observations& observations, std::size_t begin, std::size_t count,
               std::size_t parameters, ChunkBuffers& buffers, double& chisq, double* information,
               double* gradient);

// Closed bounds on parameters whose minimum may lie on them (a tail that the data do not show,
// a line that is purely Lorentzian): the iteration keeps them inside by stepping to the bound and
// then holding there the parameters the step would push out. Other restrictions of a model's
// domain are refused steps. No bounds (a null pointer) leaves the iteration unchanged.
template <int kParameters>
struct Bounds {
  ParameterVector<kParameters> lower;
  ParameterVector<kParameters> upper;
};

// The Levenberg-Marquardt iteration itself, on an evaluator: bool evaluate(parameters,
// Evaluation&), false for a point outside the model's domain.
template <int kParameters, typename Evaluate>
Minimum<kParameters> levenberg_marquardt(const ParameterVector<kParameters>& start,
                                         const IterationLimits& limits, Evaluate&& evaluate,
                                         const Bounds<kParameters>* bounds = nullptr);

// Whether a model declares bounds: std::optional<Bounds<kParameters>> bounds() const.
template <typename Model, typename = void>
struct HasBounds : std::false_type {};
template <typename Model>
struct HasBounds<Model, std::void_t<decltype(std::declval<const Model&>().bounds())>>
    : std::true_type {};

template <typename Model>
Minimum<Model::kParameters> minimise(const Model& model, const Observations& observations,
                                     const ParameterVector<Model::kParameters>& start,
                                     const IterationLimits& limits) {
  constexpr int kParameters = Model::kParameters;
  const Eigen::Index p = model.parameter_count();
  const auto parameter_count = static_cast<std::size_t>(p);
  ChunkBuffers buffers(p, limits.fast_algebra);
  auto evaluate = [&](const ParameterVector<kParameters>& parameters,
                      Evaluation<kParameters>& evaluation) {
    evaluation.chisq = 0.0;
    evaluation.information.setZero(p, p);
    evaluation.gradient.setZero(p);
    for (std::size_t begin = 0; begin < observations.count; begin += kChunk) {
      const std::size_t count = std::min(kChunk, observations.count - begin);
      if (!model.evaluate(parameters.data(), begin, count, buffers.values, buffers.jacobian) ||
          !add_chunk(observations, begin, count, parameter_count, buffers, evaluation.chisq,
                     evaluation.information.data(), evaluation.gradient.data())) {
        return false;
      }
    }
    return true;
  };
  if constexpr (HasBounds<Model>::value) {
    const auto bounds = model.bounds();
    return levenberg_marquardt<kParameters>(start, limits, evaluate, bounds ? &*bounds : nullptr);
  } else {
    return levenberg_marquardt<kParameters>(start, limits, evaluate);
  }
}

// The covariance matrix of the parameters: the pseudo-inverse of the information matrix, with
// directions the data do not determine (a flat peak's width) given zero variance.
Eigen::MatrixXd covariance_from(const Eigen::MatrixXd& information);

// The same matrix, inverted through a Cholesky factorisation where the information is so well
// conditioned that no direction would be dropped, and as covariance_from otherwise: several
// times faster than the eigendecomposition for a region's twenty-odd parameters, but with other
// last bits.
Eigen::MatrixXd fast_covariance_from(const Eigen::MatrixXd& information);

}  // namespace vesk::numerics::detail

#include "least_squares_iteration.h"

#endif  // VESK_NUMERICS_SRC_LEAST_SQUARES_H
