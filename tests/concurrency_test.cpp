// Many threads at once: fits with one shared fitter and with their own, weights, rotations and
// whole spectra of every line shape, all giving exactly what the same calls give one after the
// other; and one spectrum's fit shared among threads of its own, giving what one thread gives.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "peak_data.h"
#include "vesk/numerics/GaussFit.h"
#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/filter.h"
#include "vesk/numerics/rotation.h"

namespace vesk::numerics {
namespace {

constexpr std::size_t kThreads = 8;
constexpr std::size_t kRoundsPerThread = 12;

struct Work {
  testing::PeakData peak;
  int order;
  int left;
  int right;
  arma::vec3 axis;
  double angle;
};

struct Answers {
  GaussFitResult shared_fit;
  GaussFitResult own_fit;
  arma::rowvec weights;
  arma::mat33 rotation;
};

Work work_item(std::size_t i) {
  const double step = 0.1 + 0.01 * static_cast<double>(i % 7);
  return {testing::sample_peak({2.0 + i % 5, 3.0, 0.8, 0.4}, 40 + i % 30, 0.0, step, 0.03,
                               static_cast<unsigned>(i)),
          static_cast<int>(i % 5),
          static_cast<int>(3 + i % 9),
          static_cast<int>(4 + i % 6),
          {1.0 + static_cast<double>(i), -2.0, 0.5},
          0.1 * static_cast<double>(i)};
}

// The threads' own fitters use the other solver, so that both kinds run at once.
GaussFit constant_offset_fitter() {
  GaussFit fitter;
  fitter.set_solver(GaussFit::Solver::normal_equations);
  fitter.enable_constant_offset(true);
  fitter.set_constant_offset(0.4);
  return fitter;
}

Answers answer(const GaussFit& shared, const Work& work) {
  const GaussFit own = constant_offset_fitter();
  return {shared.fit(work.peak.x, work.peak.y), own.fit(work.peak.x, work.peak.y),
          create_savitzky_golay_filter(work.order, work.left, work.right),
          calc_3d_rotation_matrix_around_axis(work.axis, work.angle)};
}

void expect_identical(const GaussFitResult& a, const GaussFitResult& b) {
  EXPECT_EQ(a.get_vector(), b.get_vector());
  EXPECT_EQ(a.variance_, b.variance_);
  EXPECT_EQ(a.chisq_, b.chisq_);
  EXPECT_EQ(a.status_, b.status_);
  EXPECT_EQ(a.num_iterations_, b.num_iterations_);
}

TEST(Concurrency, EightThreadsMatchSerialResultsExactly) {
  const GaussFit shared;  // free-offset mode, shared by every thread
  std::vector<Work> work;
  std::vector<Answers> serial;
  for (std::size_t i = 0; i < kThreads * kRoundsPerThread; ++i) {
    work.push_back(work_item(i));
    serial.push_back(answer(shared, work.back()));
  }

  std::vector<Answers> concurrent(work.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < work.size(); i += kThreads)
        concurrent[i] = answer(shared, work[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (std::size_t i = 0; i < work.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(serial[i].shared_fit.status_, 0);
    ASSERT_EQ(serial[i].own_fit.status_, 0);
    expect_identical(concurrent[i].shared_fit, serial[i].shared_fit);
    expect_identical(concurrent[i].own_fit, serial[i].own_fit);
    EXPECT_TRUE(arma::approx_equal(concurrent[i].weights, serial[i].weights, "absdiff", 0.0));
    EXPECT_TRUE(arma::approx_equal(concurrent[i].rotation, serial[i].rotation, "absdiff", 0.0));
  }
}

// Both solvers in many threads at once, each fitting other data, on peaks from 12 to 3 000
// points, where the linear algebra reaches the sizes at which a BLAS that shares work buffers
// between threads would mix their matrices: every result equals the serial one to the bit.
TEST(Concurrency, BothSolversOnLongPeaksInEightThreadsMatchSerialResults) {
  constexpr std::size_t kPeaks = 4000;
  constexpr std::size_t kShortest = 12;
  constexpr std::size_t kLongest = 3000;
  std::array<GaussFit, 2> fitters{};
  fitters[1] = constant_offset_fitter();
  std::vector<testing::PeakData> peaks;
  std::vector<GaussFitResult> serial;
  for (std::size_t i = 0; i < kPeaks; ++i) {
    const std::size_t points = kShortest + i * (kLongest - kShortest) / (kPeaks - 1);
    const double step = 6.0 / static_cast<double>(points);
    peaks.push_back(testing::sample_peak({2.0 + i % 5, 3.0, 0.8, 0.4}, points, 0.2, step, 0.03,
                                         static_cast<unsigned>(i)));
    serial.push_back(fitters[i % 2].fit(peaks.back().x, peaks.back().y));
  }
  std::vector<GaussFitResult> concurrent(kPeaks);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t i = t; i < kPeaks; i += kThreads) {
        concurrent[i] = fitters[i % 2].fit(peaks[i].x, peaks[i].y);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::size_t differing = 0;
  for (std::size_t i = 0; i < kPeaks; ++i) {
    ASSERT_EQ(serial[i].status_, 0) << i;
    differing += concurrent[i].get_vector() != serial[i].get_vector() ||
                 concurrent[i].chisq_ != serial[i].chisq_ ||
                 concurrent[i].num_iterations_ != serial[i].num_iterations_;
  }
  EXPECT_EQ(differing, 0u);
}

// The bits of a double, so that NaN equals the same NaN.
std::uint64_t bits(double value) {
  std::uint64_t pattern;
  std::memcpy(&pattern, &value, sizeof pattern);
  return pattern;
}

std::vector<std::uint64_t> bits(const SpectrumPeak& p) {
  return {bits(p.amplitude),
          bits(p.amplitude_err),
          bits(p.mean),
          bits(p.mean_err),
          bits(p.sigma),
          bits(p.sigma_err),
          bits(p.fwhm),
          bits(p.fwhm_err),
          bits(p.area),
          bits(p.area_err),
          bits(p.gamma),
          bits(p.gamma_err),
          bits(p.eta),
          bits(p.eta_err),
          p.region,
          p.width_tied,
          bits(p.counts),
          bits(p.counts_err),
          bits(p.rate),
          bits(p.rate_err),
          bits(p.critical_level),
          bits(p.detection_limit),
          bits(p.net_rate),
          bits(p.net_rate_err),
          p.significant};
}

std::vector<std::uint64_t> bits(const SpectrumRegion& r) {
  std::vector<std::uint64_t> all = {bits(r.lo),
                                    bits(r.hi),
                                    bits(r.b0),
                                    bits(r.b0_err),
                                    bits(r.b1),
                                    bits(r.b1_err),
                                    bits(r.b2),
                                    bits(r.b2_err),
                                    bits(r.tail),
                                    bits(r.tail_err),
                                    bits(r.tail_slope),
                                    bits(r.tail_slope_err),
                                    bits(r.step),
                                    bits(r.step_err),
                                    bits(r.chisq),
                                    bits(r.chisq_dof),
                                    r.points,
                                    static_cast<std::uint64_t>(r.dof),
                                    static_cast<std::uint64_t>(r.status),
                                    static_cast<std::uint64_t>(r.iterations)};
  for (double value : r.covariance) all.push_back(bits(value));
  return all;
}

// Every number of two results, peaks, regions and resolution, equal to the bit (the structures'
// padding aside).
void expect_same_bits(const SpectrumFitResult& a, const SpectrumFitResult& b) {
  ASSERT_EQ(a.peaks.size(), b.peaks.size());
  for (std::size_t k = 0; k < a.peaks.size(); ++k) EXPECT_EQ(bits(a.peaks[k]), bits(b.peaks[k]));
  ASSERT_EQ(a.regions.size(), b.regions.size());
  for (std::size_t r = 0; r < a.regions.size(); ++r) {
    EXPECT_EQ(bits(a.regions[r]), bits(b.regions[r]));
    EXPECT_EQ(a.regions[r].parameter_names, b.regions[r].parameter_names);
  }
  for (std::size_t i = 0; i < a.resolution.size(); ++i) {
    EXPECT_EQ(bits(a.resolution[i]), bits(b.resolution[i]));
  }
  for (std::size_t i = 0; i < a.resolution_covariance.size(); ++i) {
    EXPECT_EQ(bits(a.resolution_covariance[i]), bits(b.resolution_covariance[i]));
  }
}

// Spectra searched and fitted in eight threads at once, as counts, weighted and unweighted: every
// peak and region equals the serial result to the bit.
TEST(Concurrency, SpectrumFitsInEightThreadsMatchSerialResults) {
  constexpr std::size_t kSpectra = 96;
  std::vector<std::vector<double>> xs, ys, sigmas;
  std::mt19937_64 generator(11);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (std::size_t s = 0; s < kSpectra; ++s) {
    std::vector<double> x, y, sigma;
    for (int i = 0; i < 600; ++i) {
      const double position = static_cast<double>(i);
      const double d1 = (position - 150.0 - static_cast<double>(s)) / 3.0;
      const double d2 = (position - 400.0) / 4.0;
      const double expected = 50.0 * std::exp(-position / 300.0) + 5.0 +
                              300.0 * std::exp(-0.5 * d1 * d1) + 120.0 * std::exp(-0.5 * d2 * d2);
      x.push_back(position);
      y.push_back(std::max(0.0, std::round(expected + std::sqrt(expected) * noise(generator))));
      sigma.push_back(std::sqrt(expected));
    }
    xs.push_back(std::move(x));
    ys.push_back(std::move(y));
    sigmas.push_back(std::move(sigma));
  }
  const Statistics kinds[] = {Statistics::poisson, Statistics::weighted, Statistics::unweighted};
  const auto fit = [&](std::size_t s) {
    const SpectrumData data{xs[s].data(), ys[s].data(), sigmas[s].data(), xs[s].size(),
                            kinds[s % 3]};
    return SpectrumFit().fit(data);
  };
  std::vector<SpectrumFitResult> serial;
  for (std::size_t s = 0; s < kSpectra; ++s) serial.push_back(fit(s));
  std::vector<SpectrumFitResult> concurrent(kSpectra);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t s = t; s < kSpectra; s += kThreads) concurrent[s] = fit(s);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t s = 0; s < kSpectra; ++s) {
    SCOPED_TRACE(s);
    ASSERT_EQ(serial[s].peaks.size(), 2u);
    expect_same_bits(concurrent[s], serial[s]);
  }
}

// Every line shape, with each width mode in turn, a given resolution and held parameters, in
// eight threads at once: each spectrum's result equals its serial one to the bit.
TEST(Concurrency, EveryLineShapeInEightThreadsMatchesSerialResults) {
  constexpr std::size_t kShapes = 5;
  constexpr std::size_t kSpectraPerShape = 6;
  constexpr int kChannels = 160;
  std::vector<std::vector<double>> xs, ys;
  std::mt19937_64 generator(19);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (std::size_t s = 0; s < kShapes * kSpectraPerShape; ++s) {
    std::vector<double> x, y;
    for (int i = 0; i < kChannels; ++i) {
      const double position = static_cast<double>(i);
      const double d1 = (position - 50.0) / 2.5, d2 = (position - 110.0 - s % 4) / 3.0;
      // A low-energy tail and a step under the first line, as germanium detectors give.
      const double tail = position < 50.0 ? 40.0 * std::exp((position - 50.0) / 4.0) : 0.0;
      const double expected = 20.0 + (position < 50.0 ? 6.0 : 0.0) + tail +
                              400.0 * std::exp(-0.5 * d1 * d1) + 150.0 / (1.0 + d2 * d2);
      x.push_back(position);
      y.push_back(std::max(0.0, std::round(expected + std::sqrt(expected) * noise(generator))));
    }
    xs.push_back(std::move(x));
    ys.push_back(std::move(y));
  }
  const auto fitter_for = [](std::size_t s) {
    SpectrumFit fitter;
    fitter.set_shape(static_cast<LineShape>(s % kShapes));
    fitter.set_width(static_cast<WidthMode>(s / kShapes % 3));
    if (s / kShapes == 3) {
      fitter.set_width(WidthMode::resolution);
      fitter.set_resolution(6.0, 0.05, 0.0);
    }
    if (s / kShapes == 4) {
      fitter.set_fixed(ShapeParameter::step, 0.0);
      fitter.set_fixed(ShapeParameter::eta, 0.5);
      fitter.set_fixed(ShapeParameter::gamma, 1.0);
    }
    return fitter;
  };
  const auto fit = [&](std::size_t s) {
    const SpectrumData data{xs[s].data(), ys[s].data(), nullptr, xs[s].size(), Statistics::poisson};
    return fitter_for(s).fit(data);
  };
  std::vector<SpectrumFitResult> serial;
  for (std::size_t s = 0; s < xs.size(); ++s) serial.push_back(fit(s));
  std::vector<SpectrumFitResult> concurrent(xs.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t s = t; s < xs.size(); s += kThreads) concurrent[s] = fit(s);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t s = 0; s < xs.size(); ++s) {
    SCOPED_TRACE(::testing::Message() << line_shape_name(serial[s].shape) << " spectrum " << s);
    ASSERT_EQ(serial[s].status, 0) << serial[s].status_str;
    EXPECT_EQ(serial[s].shape, static_cast<LineShape>(s % kShapes));
    ASSERT_FALSE(serial[s].peaks.empty());
    expect_same_bits(concurrent[s], serial[s]);
  }
}

// A spectrum of many regions (singlets, doublets, a weak line beside a strong one for the
// residual search) fitted with its work shared among 2 and 5 threads: every shape and width
// mode, searched, at given positions and from given starts, equals one thread's fit to the bit,
// also while other callers' fits run at the same time.
TEST(Concurrency, OneFitSharedAmongThreadsMatchesOneThread) {
  std::vector<double> x, y;
  std::mt19937_64 generator(23);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> positions;
  for (int i = 0; i < 1500; ++i) {
    const double position = static_cast<double>(i);
    double expected = 80.0 * std::exp(-position / 700.0) + 10.0;
    for (int line = 0; line < 12; ++line) {
      const double centre = 60.0 + 115.0 * line;
      const double d = (position - centre) / (2.0 + 0.1 * line);
      expected += (200.0 + 40.0 * line) * std::exp(-0.5 * d * d);
      const double beside = (position - centre - (line % 3 == 0 ? 9.0 : 0.0)) / 2.2;
      if (line % 3 == 0) expected += 60.0 * std::exp(-0.5 * beside * beside);
    }
    x.push_back(position);
    y.push_back(std::max(0.0, std::round(expected + std::sqrt(expected) * noise(generator))));
  }
  for (int line = 0; line < 12; ++line) positions.push_back(61.0 + 115.0 * line);
  const SpectrumData data{x.data(), y.data(), nullptr, x.size(), Statistics::poisson};
  for (int s = 0; s < 5; ++s) {
    SpectrumFit fitter;
    fitter.set_shape(static_cast<LineShape>(s));
    fitter.set_width(static_cast<WidthMode>(s % 3));
    const std::vector<FoundPeak> found = fitter.find_peaks(data);
    const auto fits = [&](int threads) {
      SpectrumFit shared = fitter;
      shared.set_threads(threads);
      EXPECT_EQ(shared.find_peaks(data).size(), found.size());
      return std::array<SpectrumFitResult, 3>{shared.fit(data), shared.fit(data, positions),
                                              shared.fit(data, found)};
    };
    const std::array<SpectrumFitResult, 3> one = fits(1);
    std::array<SpectrumFitResult, 3> five;
    std::thread other([&] { five = fits(5); });
    const std::array<SpectrumFitResult, 3> two = fits(2);
    other.join();
    for (std::size_t call = 0; call < one.size(); ++call) {
      SCOPED_TRACE(::testing::Message() << line_shape_name(fitter.get_shape()) << " call " << call);
      ASSERT_EQ(one[call].status, 0) << one[call].status_str;
      ASSERT_GE(one[call].regions.size(), 10u);
      expect_same_bits(two[call], one[call]);
      expect_same_bits(five[call], one[call]);
    }
  }
}

}  // namespace
}  // namespace vesk::numerics
