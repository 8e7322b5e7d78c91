#ifndef VESK_NUMERICS_ROTATION_H
#define VESK_NUMERICS_ROTATION_H

/// @file
/// Matrices of rotations in three dimensions.
///
/// The matrices act on column vectors (x' = R x); a positive angle, in radians, turns
/// counter-clockwise seen from the tip of the axis (right-hand rule). None of the functions
/// throws or allocates heap memory; a non-finite angle gives NaN in every element that depends
/// on it.

#include <armadillo>

#include "vesk/numerics/export.h"

namespace vesk::numerics {

/// Rotation by @p angle radians about the x axis.
VESK_NUMERICS_EXPORT arma::mat33 calc_3d_rotation_matrix_around_x(double angle);

/// Rotation by @p angle radians about the y axis.
VESK_NUMERICS_EXPORT arma::mat33 calc_3d_rotation_matrix_around_y(double angle);

/// Rotation by @p angle radians about the z axis.
VESK_NUMERICS_EXPORT arma::mat33 calc_3d_rotation_matrix_around_z(double angle);

/// Rotation by @p angle radians about @p axis, which need not have unit length (Rodrigues'
/// formula on the normalised axis). A zero axis gives nine NaN values.
VESK_NUMERICS_EXPORT arma::mat33 calc_3d_rotation_matrix_around_axis(arma::vec3 axis, double angle);

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_ROTATION_H
