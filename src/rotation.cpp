#include <algorithm>
#include <cmath>

#include "vesk/numerics/rotation.h"

namespace vesk::numerics {

namespace {

constexpr double kSmallestSafeComponent = 1e-150;
constexpr double kLargestSafeComponent = 1e150;

// A 3 x 3 matrix from its rows, element (i, j) placed at (i, j) whatever the storage order.
arma::mat33 from_rows(double r00, double r01, double r02, double r10, double r11, double r12,
                      double r20, double r21, double r22) {
  arma::mat33 matrix;
  matrix.at(0, 0) = r00;
  matrix.at(0, 1) = r01;
  matrix.at(0, 2) = r02;
  matrix.at(1, 0) = r10;
  matrix.at(1, 1) = r11;
  matrix.at(1, 2) = r12;
  matrix.at(2, 0) = r20;
  matrix.at(2, 1) = r21;
  matrix.at(2, 2) = r22;
  return matrix;
}

}  // namespace

arma::mat33 calc_3d_rotation_matrix_around_x(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return from_rows(1.0, 0.0, 0.0,  //
                   0.0, c, -s,     //
                   0.0, s, c);
}

arma::mat33 calc_3d_rotation_matrix_around_y(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return from_rows(c, 0.0, s,      //
                   0.0, 1.0, 0.0,  //
                   -s, 0.0, c);
}

arma::mat33 calc_3d_rotation_matrix_around_z(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return from_rows(c, -s, 0.0,  //
                   s, c, 0.0,   //
                   0.0, 0.0, 1.0);
}

arma::mat33 calc_3d_rotation_matrix_around_axis(arma::vec3 axis, double angle) {
  // The squares inside the length underflow into the subnormal range, losing most of their
  // bits, or overflow, when the largest component leaves this range; such an axis is first
  // scaled so that its largest component is 1. Other axes are normalised as they come, and a
  // zero axis still gives NaN.
  const double largest = std::max({std::fabs(axis(0)), std::fabs(axis(1)), std::fabs(axis(2))});
  if (!(largest >= kSmallestSafeComponent && largest <= kLargestSafeComponent)) axis /= largest;
  axis /= arma::norm(axis);
  const double u = axis(0);
  const double v = axis(1);
  const double w = axis(2);
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  const double one_minus_c = 1.0 - c;
  return from_rows(u * u + (1.0 - u * u) * c, u * v * one_minus_c - w * s,
                   u * w * one_minus_c + v * s,  //
                   u * v * one_minus_c + w * s, v * v + (1.0 - v * v) * c,
                   v * w * one_minus_c - u * s,  //
                   u * w * one_minus_c - v * s, v * w * one_minus_c + u * s,
                   w * w + (1.0 - w * w) * c);
}

}  // namespace vesk::numerics
