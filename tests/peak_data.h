#ifndef VESK_NUMERICS_TESTS_PEAK_DATA_H
#define VESK_NUMERICS_TESTS_PEAK_DATA_H

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

namespace vesk::numerics::testing {

/// A sampled Gaussian peak A exp(-(x - mean)^2 / (2 sigma^2)) + offset on an even grid, with
/// optional Gaussian noise from a fixed seed.
struct PeakData {
  std::vector<double> x;
  std::vector<double> y;
};

struct PeakShape {
  double amplitude;
  double mean;
  double sigma;
  double offset;
};

inline PeakData sample_peak(const PeakShape& shape, std::size_t point_count, double x_first,
                            double x_step, double noise = 0.0, unsigned seed = 1) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> normal(0.0, noise > 0.0 ? noise : 1.0);
  PeakData data;
  for (std::size_t i = 0; i < point_count; ++i) {
    const double x = x_first + x_step * static_cast<double>(i);
    const double distance = (x - shape.mean) / shape.sigma;
    double y = shape.amplitude * std::exp(-0.5 * distance * distance) + shape.offset;
    if (noise > 0.0) y += normal(generator);
    data.x.push_back(x);
    data.y.push_back(y);
  }
  return data;
}

}  // namespace vesk::numerics::testing

#endif  // VESK_NUMERICS_TESTS_PEAK_DATA_H
