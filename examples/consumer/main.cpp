// Fits a peak, builds smoothing weights and a rotation through the installed headers and
// library; exits non-zero if any answer is wrong.
#include <vesk/numerics/GaussFit.h>
#include <vesk/numerics/GaussFitResult.h>
#include <vesk/numerics/filter.h>
#include <vesk/numerics/rotation.h>
#include <vesk/util/exceptions.h>

#include <cmath>
#include <cstdio>
#include <vector>

int main() {
  std::vector<double> x;
  std::vector<double> y;
  for (int i = 0; i < 50; ++i) {
    x.push_back(0.2 * i);
    y.push_back(4.0 * std::exp(-std::pow(0.2 * i - 5.0, 2) / (2 * 0.8 * 0.8)) + 1.0);
  }
  const vesk::numerics::GaussFit fitter;
  const vesk::numerics::GaussFitResult peak = fitter.fit(x, y);
  std::printf("fit: status %d (%s), mean %.6f, sigma %.6f\n", peak.status_,
              peak.status_str_.c_str(), peak.mean_, peak.sigma_);
  if (peak.status_ != 0 || std::fabs(peak.mean_ - 5.0) > 1e-6) return 1;

  const arma::rowvec weights = vesk::numerics::create_savitzky_golay_filter(2, 2, 2);
  std::printf("weights sum %.12f\n", arma::accu(weights));
  if (std::fabs(weights(2) - 17.0 / 35.0) > 1e-12) return 1;

  try {
    vesk::numerics::create_savitzky_golay_filter(-1, 2, 2);
    return 1;
  } catch (const vesk::Error& error) {
    std::printf("caught: %s\n", error.get_message().c_str());
  }

  const arma::mat33 turn = vesk::numerics::calc_3d_rotation_matrix_around_z(M_PI / 2);
  const arma::vec3 turned = turn * arma::vec3{1.0, 0.0, 0.0};
  std::printf("rotated x axis: %.3f %.3f %.3f\n", turned(0), turned(1), turned(2));
  return std::fabs(turned(1) - 1.0) < 1e-12 ? 0 : 1;
}
