// Many threads at once: fits with one shared fitter and with their own, weights, rotations and
// whole spectra, all giving exactly what the same calls give one after the other.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
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
    ASSERT_EQ(concurrent[s].peaks.size(), serial[s].peaks.size());
    for (std::size_t k = 0; k < serial[s].peaks.size(); ++k) {
      // Every number to the bit; the bytes after the closing bool are padding.
      EXPECT_EQ(std::memcmp(&concurrent[s].peaks[k], &serial[s].peaks[k],
                            offsetof(SpectrumPeak, significant)),
                0);
      EXPECT_EQ(concurrent[s].peaks[k].significant, serial[s].peaks[k].significant);
    }
    ASSERT_EQ(concurrent[s].regions.size(), serial[s].regions.size());
    for (std::size_t r = 0; r < serial[s].regions.size(); ++r) {
      EXPECT_EQ(concurrent[s].regions[r].covariance, serial[s].regions[r].covariance);
      EXPECT_EQ(concurrent[s].regions[r].chisq, serial[s].regions[r].chisq);
      EXPECT_EQ(concurrent[s].regions[r].iterations, serial[s].regions[r].iterations);
    }
  }
}

}  // namespace
}  // namespace vesk::numerics
