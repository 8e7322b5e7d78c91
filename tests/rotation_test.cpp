#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "vesk/numerics/rotation.h"

namespace vesk::numerics {
namespace {

using RotationAboutAxis = arma::mat33 (*)(double);

void expect_matrix_near(const arma::mat33& actual, const arma::mat33& expected, double tolerance) {
  for (arma::uword i = 0; i < 3; ++i) {
    for (arma::uword j = 0; j < 3; ++j) {
      EXPECT_NEAR(actual(i, j), expected(i, j), tolerance) << "(" << i << ", " << j << ")";
    }
  }
}

arma::mat33 rows(std::initializer_list<std::initializer_list<double>> values) {
  arma::mat33 matrix;
  arma::uword i = 0;
  for (const auto& row : values) {
    arma::uword j = 0;
    for (double value : row) matrix(i, j++) = value;
    ++i;
  }
  return matrix;
}

struct FixedAxisCase {
  const char* name;
  RotationAboutAxis rotation;
  arma::vec3 axis;
  arma::vec3 from;  // a quarter turn maps `from` to `to`
  arma::vec3 to;
};

class FixedAxis : public ::testing::TestWithParam<FixedAxisCase> {};

TEST_P(FixedAxis, QuarterTurnFollowsTheRightHandRule) {
  const FixedAxisCase& c = GetParam();
  const arma::vec3 turned = c.rotation(M_PI / 2) * c.from;
  for (arma::uword i = 0; i < 3; ++i) EXPECT_NEAR(turned(i), c.to(i), 1e-15);
}

TEST_P(FixedAxis, ZeroAngleIsTheIdentityExactly) {
  const arma::mat33 identity = GetParam().rotation(0.0);
  for (arma::uword i = 0; i < 3; ++i) {
    for (arma::uword j = 0; j < 3; ++j) EXPECT_EQ(identity(i, j), i == j ? 1.0 : 0.0);
  }
}

TEST_P(FixedAxis, ArbitraryAxisReproducesItForUnitAndScaledAxes) {
  const FixedAxisCase& c = GetParam();
  for (double angle : {0.3, -1.2, 2.9, 7.5}) {
    for (double scale : {1.0, 2.0, 1e-200, 1e200}) {
      expect_matrix_near(calc_3d_rotation_matrix_around_axis(c.axis * scale, angle),
                         c.rotation(angle), 1e-15);
    }
  }
}

TEST_P(FixedAxis, NonFiniteAngleLeavesTheConstantEntries) {
  const FixedAxisCase& c = GetParam();
  const arma::mat33 matrix = c.rotation(NAN);
  const arma::uword fixed = c.axis(0) != 0 ? 0 : (c.axis(1) != 0 ? 1 : 2);
  EXPECT_EQ(matrix(fixed, fixed), 1.0);
  EXPECT_EQ(arma::accu(arma::abs(matrix.row(fixed))), 1.0);
  EXPECT_TRUE(std::isnan(matrix((fixed + 1) % 3, (fixed + 1) % 3)));
}

INSTANTIATE_TEST_SUITE_P(
    XYZ, FixedAxis,
    ::testing::Values(
        FixedAxisCase{"X", calc_3d_rotation_matrix_around_x, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        FixedAxisCase{"Y", calc_3d_rotation_matrix_around_y, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
        FixedAxisCase{"Z", calc_3d_rotation_matrix_around_z, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Rotation, FixedAxisMatricesElementByElement) {
  const double angle = 0.7;
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  expect_matrix_near(calc_3d_rotation_matrix_around_x(angle),
                     rows({{1, 0, 0}, {0, c, -s}, {0, s, c}}), 0.0);
  expect_matrix_near(calc_3d_rotation_matrix_around_y(angle),
                     rows({{c, 0, s}, {0, 1, 0}, {-s, 0, c}}), 0.0);
  expect_matrix_near(calc_3d_rotation_matrix_around_z(angle),
                     rows({{c, -s, 0}, {s, c, 0}, {0, 0, 1}}), 0.0);
}

TEST(Rotation, BodyDiagonalCyclesTheAxes) {
  const arma::mat33 cycle = calc_3d_rotation_matrix_around_axis({1, 1, 1}, 2 * M_PI / 3);
  expect_matrix_near(cycle, rows({{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}), 1e-15);
}

TEST(Rotation, RandomAxesGiveProperOrthogonalMatrices) {
  std::mt19937_64 generator(2024);
  std::uniform_real_distribution<double> component(-10.0, 10.0);
  std::uniform_real_distribution<double> turn(-20.0, 20.0);
  const arma::mat33 identity(arma::fill::eye);
  for (int trial = 0; trial < 500; ++trial) {
    const arma::vec3 axis = {component(generator), component(generator), component(generator)};
    const double angle = turn(generator);
    const arma::mat33 rotation = calc_3d_rotation_matrix_around_axis(axis, angle);
    expect_matrix_near(rotation.t() * rotation, identity, 1e-14);
    EXPECT_NEAR(arma::det(rotation), 1.0, 1e-14);
    const arma::vec3 on_axis = rotation * axis;  // the axis itself stays put
    for (arma::uword i = 0; i < 3; ++i) EXPECT_NEAR(on_axis(i), axis(i), 1e-12);
    // Reversing the axis or the angle gives the inverse, which is the transpose.
    expect_matrix_near(calc_3d_rotation_matrix_around_axis(-axis, angle), rotation.t(), 1e-14);
    expect_matrix_near(calc_3d_rotation_matrix_around_axis(axis, -angle), rotation.t(), 1e-14);
  }
}

// Axes whose length is subnormal or overflows (the first found by fuzzing) are still rotations.
TEST(Rotation, AxesOfExtremeLengthGiveProperRotations) {
  const arma::mat33 identity(arma::fill::eye);
  const std::vector<arma::vec3> axes = {{8.1e-318, 3.1e-320, 0.0},
                                        {4.9e-324, 0.0, 0.0},
                                        {-2e-310, 3e-310, 1e-309},
                                        {1.7e308, 1.7e308, 1.7e308},
                                        {-1.7e308, 0.0, 1e308}};
  for (const arma::vec3& axis : axes) {
    for (double angle : {0.4, 2.3e87}) {
      const arma::mat33 rotation = calc_3d_rotation_matrix_around_axis(axis, angle);
      expect_matrix_near(rotation.t() * rotation, identity, 1e-14);
      EXPECT_NEAR(arma::det(rotation), 1.0, 1e-14);
    }
  }
  expect_matrix_near(calc_3d_rotation_matrix_around_axis({0, 0, 5e-320}, 0.3),
                     calc_3d_rotation_matrix_around_z(0.3), 1e-16);
}

TEST(Rotation, ZeroAxisGivesNineNaNs) {
  const arma::mat33 rotation = calc_3d_rotation_matrix_around_axis({0, 0, 0}, 0.5);
  EXPECT_TRUE(rotation.has_nan());
  for (double value : rotation) EXPECT_TRUE(std::isnan(value));
}

TEST(Rotation, CallersAxisIsLeftUnnormalised) {
  const arma::vec3 axis = {0.0, 3.0, 4.0};
  calc_3d_rotation_matrix_around_axis(axis, 1.0);
  EXPECT_EQ(axis(0), 0.0);
  EXPECT_EQ(axis(1), 3.0);
  EXPECT_EQ(axis(2), 4.0);
}

}  // namespace
}  // namespace vesk::numerics
