// Rotations about arbitrary doubles: for a finite angle and a finite, non-zero axis the matrix
// must be orthogonal with determinant 1.
#include <cmath>
#include <cstdlib>

#include "fuzz_input.h"
#include "vesk/numerics/rotation.h"

using namespace vesk::numerics;

namespace {

constexpr double kTolerance = 1e-12;

void check_proper_rotation(const arma::mat33& rotation) {
  const arma::mat33 product = rotation.t() * rotation;
  for (arma::uword i = 0; i < 3; ++i) {
    for (arma::uword j = 0; j < 3; ++j) {
      if (std::fabs(product(i, j) - (i == j ? 1.0 : 0.0)) > kTolerance) std::abort();
    }
  }
  if (std::fabs(arma::det(rotation) - 1.0) > kTolerance) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vesk::numerics::fuzzing::FuzzInput input(data, size);
  const double angle = input.take<double>();
  const arma::vec3 axis = {input.take<double>(), input.take<double>(), input.take<double>()};
  const arma::mat33 about_x = calc_3d_rotation_matrix_around_x(angle);
  const arma::mat33 about_y = calc_3d_rotation_matrix_around_y(angle);
  const arma::mat33 about_z = calc_3d_rotation_matrix_around_z(angle);
  const arma::mat33 about_axis = calc_3d_rotation_matrix_around_axis(axis, angle);
  if (!std::isfinite(angle)) return 0;
  check_proper_rotation(about_x);
  check_proper_rotation(about_y);
  check_proper_rotation(about_z);
  if (!axis.is_finite() || arma::norm(axis) == 0.0) return 0;
  check_proper_rotation(about_axis);
  return 0;
}
