#ifndef VESK_NUMERICS_BENCH_TIMING_H
#define VESK_NUMERICS_BENCH_TIMING_H

// Shared by the two comparison programs: reading a data file and timing a call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk::bench {

/// Step and gradient tolerance of the compared fits: tight enough that every program's optimum
/// agrees with the others' to 1e-8 relative.
constexpr double kAccuracy = 1e-10;

struct Columns {
  std::vector<double> x;
  std::vector<double> y;
};

/// Two columns of numbers, as the comparison script writes them.
inline Columns read_columns(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot open " + path);
  Columns columns;
  double x = 0;
  double y = 0;
  while (file >> x >> y) {
    columns.x.push_back(x);
    columns.y.push_back(y);
  }
  return columns;
}

/// Median wall time of one call in microseconds, over at least `min_runs` runs and about
/// `budget_seconds` in all.
template <typename Call>
double median_microseconds(Call&& call, int min_runs = 7, double budget_seconds = 0.5) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> times;
  const auto start = Clock::now();
  while (static_cast<int>(times.size()) < min_runs ||
         std::chrono::duration<double>(Clock::now() - start).count() < budget_seconds) {
    const auto before = Clock::now();
    call();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
    if (times.size() >= 200000) break;
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

/// One line of JSON with the outcome of a fit.
inline void print_json(std::size_t n, const double (&start)[4], const double (&params)[4],
                       const double (&errors)[4], int status, double microseconds) {
  std::printf(
      "{\"n\": %zu, \"status\": %d, \"us_per_fit\": %.6g, \"start\": [%.17g, %.17g, %.17g, "
      "%.17g], \"params\": [%.17g, %.17g, %.17g, %.17g], \"errors\": [%.17g, %.17g, %.17g, "
      "%.17g]}\n",
      n, status, microseconds, start[0], start[1], start[2], start[3], params[0], params[1],
      params[2], params[3], errors[0], errors[1], errors[2], errors[3]);
}

}  // namespace vesk::bench

#endif  // VESK_NUMERICS_BENCH_TIMING_H
