// The library starts no threads: not when it is loaded (with its BLAS), not when it works, unless
// a fit is asked to share its work; the helpers it then starts belong to the calling thread.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <string>
#include <thread>
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

// A spectrum of counts with a few lines, long enough for the search to share its smoothings,
// with its fit in one thread and a fitter that shares its work with a helper.
struct SharedFit {
  SharedFit() {
    for (std::size_t i = 0; i < x.size(); ++i) {
      x[i] = static_cast<double>(i);
      double expected = 30.0 + 0.01 * x[i];
      for (const double line : {700.0, 1900.0, 1930.0, 3300.0}) {
        const double d = (x[i] - line) / 3.0;
        expected += 400.0 * std::exp(-0.5 * d * d);
      }
      counts[i] = std::round(expected + 0.9 * std::sqrt(expected) * std::sin(7.3 * x[i]));
    }
    alone = vesk::numerics::SpectrumFit().fit(spectrum);
    shared.set_threads(2);
  }
  std::vector<double> x = std::vector<double>(4096);
  std::vector<double> counts = std::vector<double>(4096);
  vesk::numerics::SpectrumData spectrum{x.data(), counts.data(), nullptr, x.size(),
                                        vesk::numerics::Statistics::poisson};
  vesk::numerics::SpectrumFitResult alone;
  vesk::numerics::SpectrumFit shared;
};

bool same_peaks(const vesk::numerics::SpectrumFitResult& a,
                const vesk::numerics::SpectrumFitResult& b) {
  if (a.peaks.size() != b.peaks.size() || a.peaks.empty()) return false;
  for (std::size_t k = 0; k < a.peaks.size(); ++k) {
    if (a.peaks[k].mean != b.peaks[k].mean || a.peaks[k].area_err != b.peaks[k].area_err) {
      return false;
    }
  }
  return true;
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

// A thread's helper serves each of its fits, and ends with it.
TEST(NoThreads, AThreadsHelpersServeItsFitsAndEndWithIt) {
  SharedFit f;
  // Counted from within the caller, after any thread that a sanitizer starts with the first.
  int with_caller = 0;
  std::thread caller([&] {
    with_caller = thread_count();
    EXPECT_TRUE(same_peaks(f.shared.fit(f.spectrum), f.alone));
    EXPECT_EQ(thread_count(), with_caller + 1);  // its helper
    EXPECT_TRUE(same_peaks(f.shared.fit(f.spectrum), f.alone));
    EXPECT_EQ(thread_count(), with_caller + 1);
  });
  caller.join();
  EXPECT_EQ(thread_count(), with_caller - 1);
}

// A process forked from a thread with a helper has none of its threads: it fits with a helper of
// its own, which ends with the thread that started it, and the child neither hangs nor differs.
TEST(NoThreads, AForkedProcessFitsWithHelpersOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not follow threads started after a fork";
#else
  SharedFit f;
  ASSERT_TRUE(same_peaks(f.shared.fit(f.spectrum), f.alone));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(60);  // a child that hangs ends, and fails
    bool same = same_peaks(f.shared.fit(f.spectrum), f.alone);
    std::thread other([&] { same = same && same_peaks(f.shared.fit(f.spectrum), f.alone); });
    other.join();
    _exit(same && thread_count() == 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
