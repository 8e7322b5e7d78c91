// The spectrum engine from C++: Savitzky-Golay derivative weights, coefficients for absolute x
// recovered from noiseless data far from the origin, and hostile input answered by statuses.
#include <gsl/gsl_errno.h>
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/filter.h"
#include "vesk/util/exceptions.h"

namespace vesk::numerics {
namespace {

struct DerivativeWeights {
  int order, left, right, derivative;
  std::vector<double> expected;
};

class SavitzkyGolayDerivative : public ::testing::TestWithParam<DerivativeWeights> {};

TEST_P(SavitzkyGolayDerivative, MatchesTheClassicalWeights) {
  const DerivativeWeights& c = GetParam();
  const arma::rowvec weights =
      create_savitzky_golay_derivative_filter(c.order, c.left, c.right, c.derivative);
  ASSERT_EQ(weights.n_elem, c.expected.size());
  for (std::size_t k = 0; k < c.expected.size(); ++k) {
    EXPECT_NEAR(weights(k), c.expected[k], 1e-13) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SavitzkyGolayDerivative,
    ::testing::Values(
        // Second derivative of the quadratic through five points: (2, -1, -2, -1, 2) / 7.
        DerivativeWeights{2, 2, 2, 2, {2 / 7.0, -1 / 7.0, -2 / 7.0, -1 / 7.0, 2 / 7.0}},
        // First derivative, quadratic or linear, five points: (-2, -1, 0, 1, 2) / 10.
        DerivativeWeights{2, 2, 2, 1, {-0.2, -0.1, 0.0, 0.1, 0.2}},
        DerivativeWeights{1, 2, 2, 1, {-0.2, -0.1, 0.0, 0.1, 0.2}},
        // One-sided: the slope through three points at the last one.
        DerivativeWeights{1, 2, 0, 1, {-0.5, 0.0, 0.5}},
        // Third derivative of a cubic through exactly four points: the finite difference.
        DerivativeWeights{3, 1, 2, 3, {-1.0, 3.0, -3.0, 1.0}}));

TEST(SavitzkyGolayDerivativeFilter, DerivativeZeroIsTheSmoothingFilterAndBadArgumentsThrow) {
  for (int order : {0, 2, 4}) {
    const arma::rowvec smoothing = create_savitzky_golay_filter(order, 6, 3);
    const arma::rowvec derivative = create_savitzky_golay_derivative_filter(order, 6, 3, 0);
    EXPECT_TRUE(arma::approx_equal(smoothing, derivative, "absdiff", 0.0));
  }
  EXPECT_THROW(create_savitzky_golay_derivative_filter(2, 2, 2, -1), Error);
  EXPECT_THROW(create_savitzky_golay_derivative_filter(2, 2, 2, 3), Error);
  EXPECT_THROW(create_savitzky_golay_derivative_filter(-1, 2, 2, 0), Error);
  EXPECT_THROW(create_savitzky_golay_derivative_filter(4, 1, 1, 2), std::runtime_error);
}

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Spectrum {
  std::vector<double> x, y, sigma;
  SpectrumData data(Statistics statistics = Statistics::unweighted) const {
    return {x.data(), y.data(), sigma.empty() ? nullptr : sigma.data(), x.size(), statistics};
  }
};

// Two lines on a background, noiseless, at x from 1000 to 1200 where the background's
// coefficients for absolute x are ill-conditioned unless the fit centres x.
Spectrum two_lines(Background background) {
  Spectrum s;
  for (int i = 0; i <= 400; ++i) {
    const double x = 1000.0 + 0.5 * i;
    double b = 0.0;
    switch (background) {
      case Background::none:
        break;
      case Background::constant:
        b = 40.0;
        break;
      case Background::linear:
        b = 300.0 - 0.2 * x;
        break;
      case Background::quadratic:
        b = 300.0 - 0.2 * x + 1e-5 * x * x;
        break;
      case Background::exponential:
        b = 5e5 * std::exp(-0.007 * x);
        break;
    }
    const double d1 = (x - 1080.0) / 3.0, d2 = (x - 1091.0) / 3.5;
    s.x.push_back(x);
    s.y.push_back(b + 500.0 * std::exp(-0.5 * d1 * d1) + 250.0 * std::exp(-0.5 * d2 * d2));
    s.sigma.push_back(1.0);
  }
  return s;
}

class AbsoluteCoefficients : public ::testing::TestWithParam<Background> {};

TEST_P(AbsoluteCoefficients, NoiselessDataGiveTheCoefficientsBack) {
  const Background background = GetParam();
  const Spectrum s = two_lines(background);
  SpectrumFit fitter;
  fitter.set_background(background);
  fitter.set_accuracy(1e-12);
  fitter.set_max_iterations(200);
  const SpectrumFitResult r = fitter.fit(s.data(), std::vector<double>{1079.0, 1092.0});
  ASSERT_EQ(r.status, GSL_SUCCESS) << r.status_str;
  ASSERT_EQ(r.regions.size(), 1u);
  ASSERT_TRUE(r.regions[0].ok()) << r.regions[0].status_str;
  const double expected[5][3] = {
      {0, 0, 0}, {40, 0, 0}, {300, -0.2, 0}, {300, -0.2, 1e-5}, {5e5, 0.007, 0}};
  const auto& b = expected[static_cast<int>(background)];
  const double got[3] = {r.regions[0].b0, r.regions[0].b1, r.regions[0].b2};
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[k], b[k], 1e-7 * std::fabs(b[k]) + 1e-12) << k;
  ASSERT_EQ(r.peaks.size(), 2u);
  EXPECT_NEAR(r.peaks[0].mean, 1080.0, 1e-8);
  EXPECT_NEAR(r.peaks[1].sigma, 3.5, 1e-8);
  EXPECT_NEAR(r.peaks[0].area, 500.0 * 3.0 * std::sqrt(2.0 * M_PI), 1e-6);
  EXPECT_NEAR(r.evaluate(1085.0), s.y[170], 1e-8);
  EXPECT_TRUE(std::isnan(r.evaluate(900.0)));
}

INSTANTIATE_TEST_SUITE_P(Backgrounds, AbsoluteCoefficients,
                         ::testing::Values(Background::none, Background::constant,
                                           Background::linear, Background::quadratic,
                                           Background::exponential));

struct HostileSpectrum {
  const char* name;
  Spectrum spectrum;
  Statistics statistics;
  int expected_status;
  DataFaultAt fault;  // what find_data_fault names
};

Spectrum with_value(Spectrum s, std::vector<double> Spectrum::*member, std::size_t i,
                    double value) {
  (s.*member)[i] = value;
  return s;
}

class HostileSpectrumInput : public ::testing::TestWithParam<HostileSpectrum> {};

TEST_P(HostileSpectrumInput, IsRefusedWithAStatusNeverAnException) {
  const HostileSpectrum& c = GetParam();
  const SpectrumFit fitter;
  const SpectrumData data = c.spectrum.data(c.statistics);
  SpectrumFitResult r;
  ASSERT_NO_THROW(r = fitter.fit(data));
  EXPECT_EQ(r.status, c.expected_status) << r.status_str;
  EXPECT_TRUE(r.peaks.empty() && r.regions.empty());
  EXPECT_NO_THROW(EXPECT_TRUE(fitter.find_peaks(data).empty()));
  EXPECT_EQ(fitter.fit(data, std::vector<double>{1080.0}).status, c.expected_status);
  const DataFaultAt found = find_data_fault(data);
  EXPECT_EQ(found.fault, c.fault.fault);
  EXPECT_EQ(found.index, c.fault.index);
}

const Spectrum kLines = two_lines(Background::linear);

INSTANTIATE_TEST_SUITE_P(
    Table, HostileSpectrumInput,
    ::testing::Values(HostileSpectrum{"YBadBeforeXBadIsNamedFirst",
                                      with_value(with_value(kLines, &Spectrum::x, 40, INFINITY),
                                                 &Spectrum::y, 12, kNan),
                                      Statistics::unweighted,
                                      GSL_EDOM,
                                      {DataFault::non_finite_y, 12}},
                      HostileSpectrum{"NanY",
                                      with_value(kLines, &Spectrum::y, 17, kNan),
                                      Statistics::unweighted,
                                      GSL_EDOM,
                                      {DataFault::non_finite_y, 17}},
                      HostileSpectrum{"InfX",
                                      with_value(kLines, &Spectrum::x, 0, INFINITY),
                                      Statistics::unweighted,
                                      GSL_EDOM,
                                      {DataFault::non_finite_x, 0}},
                      HostileSpectrum{"XOutOfOrder",
                                      with_value(kLines, &Spectrum::x, 200, 1000.0),
                                      Statistics::unweighted,
                                      GSL_EDOM,
                                      {DataFault::x_out_of_order, 200}},
                      HostileSpectrum{
                          "XAllEqual",
                          Spectrum{std::vector<double>(kLines.x.size(), 5.0), kLines.y, {}},
                          Statistics::unweighted,
                          GSL_EDOM,
                          {DataFault::x_constant, 0}},
                      HostileSpectrum{"ZeroError",
                                      with_value(kLines, &Spectrum::sigma, 3, 0.0),
                                      Statistics::weighted,
                                      GSL_EDOM,
                                      {DataFault::non_positive_error, 3}},
                      HostileSpectrum{"NegativeCount",
                                      with_value(kLines, &Spectrum::y, 3, -1.0),
                                      Statistics::poisson,
                                      GSL_EDOM,
                                      {DataFault::negative_count, 3}},
                      HostileSpectrum{"TwoPoints",
                                      Spectrum{{1, 2}, {3, 4}, {}},
                                      Statistics::unweighted,
                                      GSL_FAILURE,
                                      {DataFault::none, 0}},
                      HostileSpectrum{"NoErrors",
                                      Spectrum{kLines.x, kLines.y, {}},
                                      Statistics::weighted,
                                      GSL_EFAULT,
                                      {DataFault::missing_array, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// An exponential background that rises by e^8 per unit of x near x = 100 is fitted well about the
// region's centre, but its coefficient for absolute x, e^-800 times its height, is not a double:
// the region reports an overflow, never a background of 0 * inf.
TEST(SpectrumFit, BackgroundBeyondTheDoubleRangeAtXZeroIsAnOverflow) {
  Spectrum s;
  for (int i = 0; i <= 200; ++i) {
    const double x = 95.0 + 0.05 * i, d = (x - 100.0) / 0.3;
    s.x.push_back(x);
    s.y.push_back(std::exp(8.0 * (x - 100.0)) + 50.0 * std::exp(-0.5 * d * d));
  }
  SpectrumFit fitter;
  fitter.set_background(Background::exponential);
  const SpectrumFitResult r = fitter.fit(s.data(), std::vector<double>{100.0});
  ASSERT_EQ(r.regions.size(), 1u);
  EXPECT_EQ(r.regions[0].status, GSL_EOVRFLW) << r.regions[0].status_str;
  EXPECT_TRUE(std::isnan(r.peaks.at(0).area));
  EXPECT_TRUE(std::isnan(r.evaluate(100.0)));
}

// A powder pattern, noiseless counts: four narrow lines on a background that curves, searched
// with a FWHM twice theirs and more (as a search over lines of many widths takes them). The
// regions of such wide starts joined the lines into one too wide for one background, where
// the curvature was taken as a "line" 2.2 degrees wide and the weaker line 0.8 degrees below a
// stronger one was lost.
TEST(SpectrumFit, FindsEveryNarrowLineWhereTheSearchTookThemTooWide) {
  struct Line {
    double position, fwhm, height;
  };
  const Line lines[] = {
      {48.64, 0.65, 100.0}, {49.45, 0.45, 180.0}, {51.93, 0.36, 150.0}, {56.20, 0.35, 700.0}};
  Spectrum s;
  for (int i = 0; i < 1500; ++i) {
    const double x = 40.0 + 0.02 * i, hump = (x - 50.0) / 5.0;
    double expected = 50.0 + 40.0 * std::exp(-0.5 * hump * hump);
    for (const Line& line : lines) {
      const double d = (x - line.position) / (line.fwhm / 2.3548200450309493);
      expected += line.height * std::exp(-0.5 * d * d);
    }
    s.x.push_back(x);
    s.y.push_back(expected);
  }
  SpectrumFit fitter;
  fitter.set_fwhm(1.2);
  const SpectrumFitResult r = fitter.fit(s.data(Statistics::poisson));
  ASSERT_EQ(r.status, GSL_SUCCESS) << r.status_str;
  for (const auto& region : r.regions) EXPECT_TRUE(region.ok()) << region.status_str;
  for (const Line& line : lines) {
    const double area = line.height * line.fwhm * 1.0644670194312262;
    const SpectrumPeak* found = nullptr;
    for (const SpectrumPeak& peak : r.peaks) {
      if (std::fabs(peak.mean - line.position) < 0.05) found = &peak;
    }
    ASSERT_NE(found, nullptr) << "line at " << line.position;
    EXPECT_NEAR(found->area, area, 0.1 * area) << "line at " << line.position;
    EXPECT_LT(found->fwhm, 1.5 * line.fwhm) << "line at " << line.position;
  }
}

TEST(SpectrumFit, PeakOutsideTheDataIsRefused) {
  const SpectrumFit fitter;
  const SpectrumFitResult r = fitter.fit(kLines.data(), std::vector<double>{1080.0, 1300.0});
  EXPECT_EQ(r.status, GSL_EINVAL);
  EXPECT_NE(r.status_str.find("outside the data"), std::string::npos);
}

// A weak line on a background, Poisson counts at 0.25 x units a channel (drawn once from
// 14.6 + 0.02 x + 6.3 exp(-(x - 11.7)^2 / (2 1.41^2))), searched in a window with a start FWHM
// 1.7 times the line's. Gauss-Newton creeps to this minimum: 96 iterations.
constexpr double kCreepingLine[] = {
    14, 19, 21, 17, 17, 23, 20, 10, 11, 9,  11, 12, 15, 19, 14, 9,  17, 23, 12, 5,  11, 17,
    10, 22, 15, 14, 13, 9,  15, 18, 19, 15, 14, 16, 19, 11, 21, 16, 13, 24, 16, 16, 18, 16,
    14, 24, 20, 18, 16, 18, 14, 21, 25, 21, 25, 29, 19, 20, 9,  13, 23, 13, 19, 19, 10, 15,
    6,  11, 14, 9,  10, 11, 23, 17, 15, 7,  10, 20, 18, 11, 15, 19, 18, 15, 19, 15};

// A Gaussian fit that runs out of its budget tries again following valleys and settling on
// chisq; it then ends where the patient fit ends. (It failed with the default budget.)
TEST(SpectrumFit, ACreepingGaussianFitConvergesWithinTheDefaultBudget) {
  Spectrum s;
  for (std::size_t i = 0; i < std::size(kCreepingLine); ++i) {
    s.x.push_back(0.25 * static_cast<double>(i));
    s.y.push_back(kCreepingLine[i]);
  }
  const auto fit = [&](int max_iterations) {
    SpectrumFit fitter;
    fitter.set_window(0.0, 21.5);
    fitter.set_fwhm(4.0);
    fitter.set_max_iterations(max_iterations);
    return fitter.fit(s.data(Statistics::poisson));
  };
  const SpectrumFitResult patient = fit(200);
  const SpectrumFitResult r = fit(50);
  ASSERT_EQ(patient.regions.size(), 1u);
  ASSERT_EQ(r.regions.size(), 1u);
  ASSERT_TRUE(patient.regions[0].ok()) << patient.regions[0].status_str;
  EXPECT_GT(patient.regions[0].iterations, 50);
  ASSERT_TRUE(r.regions[0].ok()) << r.regions[0].status_str;
  EXPECT_LE(r.regions[0].iterations, 50);
  EXPECT_NEAR(r.regions[0].chisq, patient.regions[0].chisq, 1e-6 * patient.regions[0].chisq);
  ASSERT_EQ(r.peaks.size(), 1u);
  ASSERT_EQ(patient.peaks.size(), 1u);
  EXPECT_NEAR(r.peaks[0].area, patient.peaks[0].area, 0.01 * patient.peaks[0].area_err);
  EXPECT_NEAR(r.peaks[0].mean, patient.peaks[0].mean, 0.01 * patient.peaks[0].mean_err);
}

// Lines at given positions start with the width the search measures on the spectrum's strongest
// lines; a germanium detector's lines widen with the energy. Here four narrow lines (sigma 2
// channels) set that width and the line asked for is 2.5 times wider: its region must still
// reach far enough for its background, and a tailed fit of it converge.
TEST(SpectrumFit, ALineAtAGivenPositionWiderThanTheSpectrumsLinesGetsARegionOfItsWidth) {
  std::mt19937_64 random(11);
  Spectrum s;
  constexpr double kWideMean = 1500.0, kWideSigma = 5.0, kWideHeight = 2000.0;
  for (int i = 0; i < 2048; ++i) {
    const double x = i;
    double mu = 40.0;
    for (double mean : {200.0, 500.0, 800.0, 1100.0}) {
      const double d = (x - mean) / 2.0;
      mu += 5000.0 * std::exp(-0.5 * d * d);
    }
    const double d = (x - kWideMean) / kWideSigma;
    mu += kWideHeight * std::exp(-0.5 * d * d);
    s.x.push_back(x);
    s.y.push_back(static_cast<double>(std::poisson_distribution<long>(mu)(random)));
  }
  const double area = kWideHeight * kWideSigma * std::sqrt(2.0 * M_PI);
  for (LineShape shape : {LineShape::gaussian, LineShape::tailed}) {
    SpectrumFit fitter;
    fitter.set_shape(shape);
    const SpectrumFitResult r =
        fitter.fit(s.data(Statistics::poisson), std::vector<double>{kWideMean});
    ASSERT_EQ(r.regions.size(), 1u);
    ASSERT_TRUE(r.regions[0].ok()) << r.regions[0].status_str;
    const SpectrumPeak& line = r.peaks[0];
    EXPECT_NEAR(line.fwhm, 2.3548200450309493 * kWideSigma, 0.05 * line.fwhm);
    EXPECT_LE(r.regions[0].lo, line.mean - 2.0 * line.fwhm);
    EXPECT_GE(r.regions[0].hi, line.mean + 2.0 * line.fwhm);
    EXPECT_NEAR(line.area, area, 3.0 * line.area_err);
    EXPECT_LT(r.regions[0].chisq_dof, 1.5);
  }
}

// Counts that begin on the steep edge of a detector's threshold, with five lines above it. The
// search's fits may take the edge with a "line" carried below the region's first point, or far
// outside the data, and the region still succeeds: such a line says so, and only such a line.
TEST(SpectrumFit, ALineCarriedOutsideItsRegionSaysSo) {
  struct Line {
    double position, height, sigma;
  };
  constexpr Line kLines[] = {
      {20, 800, 3.5}, {45, 400, 4.0}, {70, 1200, 4.5}, {110, 300, 5.0}, {140, 600, 5.5}};
  int outside = 0;
  for (unsigned seed = 0; seed < 4; ++seed) {
    for (const double decay : {6.0, 12.0, 25.0}) {
      for (const double edge : {3000.0, 20000.0}) {
        std::mt19937_64 random(seed);
        Spectrum s;
        for (int i = 0; i < 160; ++i) {
          const double x = i;
          double mu = edge * std::exp(-x / decay) + 100.0 + 0.2 * x;
          for (const Line& line : kLines) {
            const double d = (x - line.position) / line.sigma;
            mu += line.height * std::exp(-0.5 * d * d);
          }
          s.x.push_back(x);
          s.y.push_back(static_cast<double>(std::poisson_distribution<long>(mu)(random)));
        }
        const SpectrumFitResult r = SpectrumFit().fit(s.data(Statistics::poisson));
        for (const SpectrumPeak& line : r.peaks) {
          const SpectrumRegion& region = r.regions[line.region];
          const bool beyond = line.mean < region.lo || line.mean > region.hi;
          EXPECT_EQ(line.outside_region, region.ok() && beyond)
              << "seed " << seed << " decay " << decay << " edge " << edge << ": " << line.mean
              << " in " << region.lo << ".." << region.hi;
          outside += line.outside_region ? 1 : 0;
        }
      }
    }
  }
  EXPECT_GT(outside, 0);
}

}  // namespace
}  // namespace vesk::numerics
