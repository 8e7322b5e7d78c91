// The library starts no threads: not when it is loaded (with its BLAS), not when it works.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "vesk/numerics/GaussFit.h"
#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/filter.h"
#include "vesk/numerics/rotation.h"

namespace {

int thread_count() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

TEST(NoThreads, LoadingAndCallingTheLibraryStartsNone) {
  EXPECT_EQ(thread_count(), 1);
  std::vector<double> x;
  std::vector<double> y;
  for (int i = 0; i < 2000; ++i) {
    x.push_back(0.01 * i);
    y.push_back(std::exp(-(0.01 * i - 9) * (0.01 * i - 9) / 2) + 0.1 * std::sin(i));
  }
  EXPECT_EQ(vesk::numerics::GaussFit().fit(x, y).status_, 0);
  EXPECT_EQ(vesk::numerics::create_savitzky_golay_filter(6, 100, 100).n_elem, 201u);
  EXPECT_FALSE(vesk::numerics::calc_3d_rotation_matrix_around_axis({1, 2, 3}, 0.5).has_nan());
  // A spectrum's fit shares its work among threads only when asked to.
  std::vector<double> counts;
  for (int i = 0; i < 2000; ++i) {
    counts.push_back(std::round(20.0 + 500.0 * std::exp(-(i - 900.0) * (i - 900.0) / 50.0)));
  }
  const vesk::numerics::SpectrumData spectrum{x.data(), counts.data(), nullptr, x.size(),
                                              vesk::numerics::Statistics::poisson};
  EXPECT_EQ(vesk::numerics::SpectrumFit().fit(spectrum).peaks.size(), 1u);
  EXPECT_EQ(thread_count(), 1);
}

}  // namespace
