#include "least_squares.h"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <cmath>

namespace vesk::numerics::detail {

AlignedBuffer::AlignedBuffer(std::size_t count)
    : storage_(static_cast<double*>(::operator new[](count * sizeof(double), kAlignment))) {}

namespace {

// Buffers of one point each per chunk, besides the two of one point per parameter.
constexpr std::size_t kPerPointBuffers = 6;

}  // namespace

ChunkBuffers::ChunkBuffers(Eigen::Index parameters, bool tiled_sums)
    : storage_(kChunk * (kPerPointBuffers + 2 * static_cast<std::size_t>(parameters))),
      values(storage_.data()),
      jacobian(values + kChunk),
      scratch(jacobian + kChunk * static_cast<std::size_t>(parameters)),
      chisq_terms(scratch + kChunk * static_cast<std::size_t>(parameters)),
      gradient_weights(chisq_terms + kChunk),
      information_weights(gradient_weights + kChunk),
      ratios(information_weights + kChunk),
      logarithms(ratios + kChunk),
      kernels(best_vector_kernels()),
      accumulate(tiled_sums ? kernels.accumulate_tiled : kernels.accumulate) {}

namespace {

// Least squares, plain or weighted by 1 / sigma^2: terms r^2, gradient weights r / sigma, and
// information weights 1 / sigma^2 (null for plain least squares: all ones).
void squares(const Observations& observations, std::size_t begin, std::size_t count,
             ChunkBuffers& buffers) {
  const double* y = observations.y + begin;
  const double* f = buffers.values;
  double* terms = buffers.chisq_terms;
  double* a = buffers.gradient_weights;
  if (observations.statistic == Statistic::weighted) {
    const double* sigma = observations.sigma + begin;
    double* b = buffers.information_weights;
    for (std::size_t i = 0; i < count; ++i) {
      const double inverse = 1.0 / sigma[i];
      const double r = (f[i] - y[i]) * inverse;
      terms[i] = r * r;
      a[i] = r * inverse;
      b[i] = inverse * inverse;
    }
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      const double r = f[i] - y[i];
      terms[i] = r * r;
      a[i] = r;
    }
  }
}

// Counts: terms 2 (f - y + y ln(y / f)), gradient weights 1 - y / f, information weights 1 / f.
// A point with y = 0 and f = 0 adds nothing; any other f <= 0 is outside the model's domain.
bool counts(const Observations& observations, std::size_t begin, std::size_t count,
            ChunkBuffers& buffers) {
  return buffers.kernels.poisson_terms(observations.y + begin, buffers.values, count,
                                       buffers.ratios, buffers.logarithms, buffers.chisq_terms,
                                       buffers.gradient_weights, buffers.information_weights);
}

}  // namespace

bool add_chunk(const Observations& observations, std::size_t begin, std::size_t count,
               std::size_t parameters, ChunkBuffers& buffers, double& chisq, double* information,
               double* gradient) {
  if (observations.statistic == Statistic::poisson) {
    if (!counts(observations, begin, count, buffers)) return false;
  } else {
    squares(observations, begin, count, buffers);
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) sum += buffers.chisq_terms[i];
  chisq += sum;
  const double* weights =
      observations.statistic == Statistic::least_squares ? nullptr : buffers.information_weights;
  buffers.accumulate(buffers.jacobian, count, parameters, weights, buffers.gradient_weights,
                     buffers.scratch, information, gradient);
  return true;
}

namespace {

// 1 / sqrt of each diagonal element (0 where it is not positive): the scaling that gives the
// information a unit diagonal.
Eigen::VectorXd unit_diagonal_scale(const Eigen::MatrixXd& information) {
  const Eigen::VectorXd diagonal = information.diagonal();
  return (diagonal.array() > 0.0).select(diagonal.array().sqrt().inverse(), 0.0);
}

// The condition number of the scaled information up to which its Cholesky inverse is taken. The
// eigendecomposition drops directions whose eigenvalue is below p times the machine precision
// of the largest; this keeps a margin of a million over that for p up to a hundred.
constexpr double kMostInvertedCondition = 1e8;

// The 1-norm, the largest column sum of magnitudes: for a symmetric matrix at least its largest
// eigenvalue, so that norm(A) norm(A^-1) bounds the ratio of A's eigenvalues.
double one_norm(const Eigen::MatrixXd& matrix) {
  return matrix.cwiseAbs().colwise().sum().maxCoeff();
}

}  // namespace

Eigen::MatrixXd fast_covariance_from(const Eigen::MatrixXd& information) {
  const Eigen::VectorXd scale = unit_diagonal_scale(information);
  const Eigen::MatrixXd scaled = scale.asDiagonal() * information * scale.asDiagonal();
  const Eigen::LLT<Eigen::MatrixXd> factor(scaled);
  if (factor.info() != Eigen::Success) return covariance_from(information);
  const Eigen::MatrixXd inverse =
      factor.solve(Eigen::MatrixXd::Identity(information.rows(), information.cols()));
  if (!(one_norm(scaled) * one_norm(inverse) <= kMostInvertedCondition)) {
    return covariance_from(information);
  }
  const Eigen::MatrixXd covariance = scale.asDiagonal() * inverse * scale.asDiagonal();
  // Symmetric to the bit, as a covariance is.
  return 0.5 * (covariance + covariance.transpose());
}

Eigen::MatrixXd covariance_from(const Eigen::MatrixXd& information) {
  const Eigen::Index p = information.rows();
  const Eigen::VectorXd scale = unit_diagonal_scale(information);
  const Eigen::MatrixXd scaled = scale.asDiagonal() * information * scale.asDiagonal();
  const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eigen(scaled);
  const Eigen::VectorXd values = eigen.eigenvalues();
  const double cutoff = values.cwiseAbs().maxCoeff() * kMachinePrecision * static_cast<double>(p);
  const Eigen::VectorXd inverse = (values.array() > cutoff).select(values.array().inverse(), 0.0);
  const Eigen::MatrixXd pseudo_inverse =
      eigen.eigenvectors() * inverse.asDiagonal() * eigen.eigenvectors().transpose();
  return scale.asDiagonal() * pseudo_inverse * scale.asDiagonal();
}

}  // namespace vesk::numerics::detail
