#include <cmath>
#include <sstream>

#include "commands.h"
#include "data_table.h"
#include "vesk/numerics/rotation.h"

namespace vesk::tools {

namespace {

arma::mat33 rotation_matrix(const std::string& axis, double angle) {
  if (axis == "x" || axis == "X") return numerics::calc_3d_rotation_matrix_around_x(angle);
  if (axis == "y" || axis == "Y") return numerics::calc_3d_rotation_matrix_around_y(angle);
  if (axis == "z" || axis == "Z") return numerics::calc_3d_rotation_matrix_around_z(angle);
  const std::string wanted = "--axis takes x, y, z or X,Y,Z, got '" + axis + "'";
  DataTable table;
  try {
    std::istringstream components(axis);
    table = read_table(components, "--axis", {3});
  } catch (const DataError&) {
    throw UsageError(wanted);
  }
  if (table.row_count() != 1 || !table.names.empty()) throw UsageError(wanted);
  const arma::vec3 vector = {table.columns[0][0], table.columns[1][0], table.columns[2][0]};
  if (arma::norm(vector) == 0.0) throw UsageError("--axis must not be the zero vector");
  return numerics::calc_3d_rotation_matrix_around_axis(vector, angle);
}

void print_row(double a, double b, double c, std::ostream& out) {
  out << exact_text(a) << " " << exact_text(b) << " " << exact_text(c) << "\n";
}

}  // namespace

int run_rotate(const RotateOptions& options, std::ostream& out) {
  if (!std::isfinite(options.angle)) throw UsageError("--angle must be a finite number");
  const double angle = options.degrees ? options.angle * M_PI / 180.0 : options.angle;
  const arma::mat33 matrix = rotation_matrix(options.axis, angle);
  if (options.input.empty()) {
    for (arma::uword i = 0; i < 3; ++i) print_row(matrix(i, 0), matrix(i, 1), matrix(i, 2), out);
    return kSuccess;
  }
  const DataTable table = read_table_file(options.input, {3});
  for (std::size_t r = 0; r < table.row_count(); ++r) {
    const arma::vec3 point = {table.columns[0][r], table.columns[1][r], table.columns[2][r]};
    const arma::vec3 turned = matrix * point;
    print_row(turned(0), turned(1), turned(2), out);
  }
  return kSuccess;
}

}  // namespace vesk::tools
