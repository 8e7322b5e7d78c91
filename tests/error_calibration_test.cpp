// The reported errors are calibrated: over many peaks with Gaussian noise of known size, the
// true mean and width lie within one reported error in about 68% of the fits and within two in
// about 95%.
#include <gtest/gtest.h>

#include <cmath>

#include "peak_data.h"
#include "vesk/numerics/GaussFit.h"

namespace vesk::numerics {
namespace {

constexpr int kPeaks = 2000;
constexpr double kNoise = 0.1;
const testing::PeakShape kTruth{2.0, 5.0, 1.2, 0.5};

struct Coverage {
  double within_one = 0;
  double within_two = 0;
};

void count(double estimate, double error, double truth, Coverage& coverage) {
  const double deviation = std::fabs(estimate - truth);
  coverage.within_one += deviation <= error ? 1.0 / kPeaks : 0.0;
  coverage.within_two += deviation <= 2 * error ? 1.0 / kPeaks : 0.0;
}

class ErrorCalibration : public ::testing::TestWithParam<bool> {};

TEST_P(ErrorCalibration, MeanAndSigmaErrorsCoverTheTruth) {
  GaussFit fitter;
  fitter.enable_constant_offset(GetParam());
  fitter.set_constant_offset(kTruth.offset);
  Coverage mean;
  Coverage sigma;
  for (int seed = 0; seed < kPeaks; ++seed) {
    const testing::PeakData data =
        testing::sample_peak(kTruth, 50, 0.0, 0.2, kNoise, static_cast<unsigned>(seed + 1));
    const GaussFitResult result = fitter.fit(data.x, data.y);
    ASSERT_EQ(result.status_, 0) << "seed " << seed;
    count(result.mean_, result.mean_err_, kTruth.mean, mean);
    count(result.sigma_, result.sigma_err_, kTruth.sigma, sigma);
  }
  for (const Coverage& coverage : {mean, sigma}) {
    EXPECT_NEAR(coverage.within_one, 0.68, 0.03);
    EXPECT_NEAR(coverage.within_two, 0.95, 0.02);
  }
  RecordProperty("mean_within_1", std::to_string(mean.within_one));
  RecordProperty("mean_within_2", std::to_string(mean.within_two));
  RecordProperty("sigma_within_1", std::to_string(sigma.within_one));
  RecordProperty("sigma_within_2", std::to_string(sigma.within_two));
}

INSTANTIATE_TEST_SUITE_P(BothModes, ErrorCalibration, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "ConstantOffset" : "FreeOffset");
});

}  // namespace
}  // namespace vesk::numerics
