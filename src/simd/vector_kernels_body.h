// The body of the vector kernels, included once per instruction set by vector_kernels_*.cpp,
// each compiled with its own target flags. Eigen is renamed per instruction set (the including
// file defines `Eigen`), so that no template instantiated with wider instructions can be merged
// by the linker into code that runs on a processor without them.
#include <Eigen/Core>

#include <cstddef>

#include "simd/vector_kernels.h"

namespace vesk::numerics::detail {
namespace VESK_KERNEL_NAMESPACE {
namespace {

using ConstArray = Eigen::Map<const Eigen::ArrayXd>;
using Array = Eigen::Map<Eigen::ArrayXd>;
using ConstMatrix = Eigen::Map<const Eigen::MatrixXd>;
using Matrix = Eigen::Map<Eigen::MatrixXd>;

// Below this exponent the exponential is subnormal; it is given as 0.
constexpr double kSmallestNormalExponent = -708.3964185322641;

void gaussian(const double* x, std::size_t count, double centre, double half_inverse_variance,
              double* out) {
  const auto n = static_cast<Eigen::Index>(count);
  const ConstArray positions(x, n);
  Array result(out, n);
  result = -(positions - centre).square() * half_inverse_variance;
  result = (result < kSmallestNormalExponent).select(0.0, result.exp());
}

void log(const double* in, std::size_t count, double* out) {
  const auto n = static_cast<Eigen::Index>(count);
  Array(out, n) = ConstArray(in, n).log();
}

void accumulate(const double* jacobian, std::size_t count, std::size_t parameters, const double* w,
                const double* a, double* scratch, double* normal, double* gradient) {
  const auto n = static_cast<Eigen::Index>(count);
  const auto p = static_cast<Eigen::Index>(parameters);
  const ConstMatrix j(jacobian, n, p);
  Matrix information(normal, p, p);
  if (w == nullptr) {
    information.noalias() += j.transpose() * j;
  } else {
    Matrix weighted(scratch, n, p);
    weighted.array() = j.array().colwise() * ConstArray(w, n);
    information.noalias() += j.transpose() * weighted;
  }
  Eigen::Map<Eigen::VectorXd>(gradient, p).noalias() +=
      j.transpose() * Eigen::Map<const Eigen::VectorXd>(a, n);
}

}  // namespace

extern const VectorKernels kernels;
const VectorKernels kernels{InstructionSet::VESK_KERNEL_NAMESPACE, &gaussian, &log, &accumulate};

}  // namespace VESK_KERNEL_NAMESPACE
}  // namespace vesk::numerics::detail
