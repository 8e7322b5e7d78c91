// Timings of every public operation: fits in both modes and with both solvers and the estimators
// at growing sizes, a whole gamma spectrum searched and fitted, statistics, Savitzky-Golay
// weights, rotations, and fits in one and two threads.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "vesk/io/Spectrum.h"
#include "vesk/numerics/GaussFit.h"
#include "vesk/numerics/SpectrumFit.h"
#include "vesk/numerics/filter.h"
#include "vesk/numerics/rotation.h"

namespace {

using vesk::numerics::GaussFit;
using vesk::numerics::GaussFitResult;

struct Peak {
  std::vector<double> x;
  std::vector<double> y;
};

// A noisy peak on a baseline, sampled over +-5 sigma whatever the point count.
Peak noisy_peak(std::size_t count, unsigned seed = 42) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> noise(0.0, 0.05);
  Peak peak;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = -5.0 + 10.0 * static_cast<double>(i) / static_cast<double>(count - 1);
    peak.x.push_back(x);
    peak.y.push_back(3.0 * std::exp(-0.5 * (x - 0.3) * (x - 0.3) / 1.1) + 0.7 + noise(generator));
  }
  return peak;
}

// The point counts at which fits and estimators are timed.
void peak_sizes(benchmark::internal::Benchmark* benchmark) {
  for (int count : {16, 100, 1000, 10000, 100000}) benchmark->Arg(count);
}

void fit_benchmark(benchmark::State& state, bool constant_offset,
                   GaussFit::Solver solver = GaussFit::Solver::lmsder) {
  const Peak peak = noisy_peak(static_cast<std::size_t>(state.range(0)));
  GaussFit fitter;
  fitter.set_solver(solver);
  fitter.enable_constant_offset(constant_offset);
  fitter.set_constant_offset(0.7);
  int status = 0;
  for (auto _ : state) {
    const GaussFitResult result = fitter.fit(peak.x, peak.y);
    status |= result.status_;
    benchmark::DoNotOptimize(result.mean_);
  }
  if (status != 0) state.SkipWithError("a fit failed");
  state.SetItemsProcessed(state.iterations());
  state.SetComplexityN(state.range(0));
}

void BM_FitFreeOffset(benchmark::State& state) { fit_benchmark(state, false); }
void BM_FitConstantOffset(benchmark::State& state) { fit_benchmark(state, true); }
void BM_FitNormalEquations(benchmark::State& state) {
  fit_benchmark(state, false, GaussFit::Solver::normal_equations);
}
BENCHMARK(BM_FitFreeOffset)->Apply(peak_sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FitConstantOffset)->Apply(peak_sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FitNormalEquations)->Apply(peak_sizes)->Unit(benchmark::kMicrosecond);

// An 8 192-channel gamma spectrum of counts: 40 lines (six close doublets among them) on a
// falling background, with Poisson noise.
std::vector<double> gamma_spectrum(std::vector<double>& channels) {
  std::mt19937_64 generator(7);
  std::uniform_real_distribution<double> position(150.0, 8042.0);
  std::uniform_real_distribution<double> area(300.0, 20000.0);
  std::vector<double> expected;
  for (int i = 0; i < 8192; ++i) {
    const double x = i;
    channels.push_back(x);
    expected.push_back(400.0 * std::exp(-x / 1500.0) + 20.0 * std::exp(-x / 6000.0));
  }
  const double sigma = 6.0 / 2.3548;
  const auto add_line = [&](double centre, double line_area) {
    for (int i = 0; i < 8192; ++i) {
      const double d = (i - centre) / sigma;
      expected[static_cast<std::size_t>(i)] +=
          line_area / (sigma * std::sqrt(2.0 * M_PI)) * std::exp(-0.5 * d * d);
    }
  };
  for (int line = 0; line < 34; ++line) {
    const double centre = 150.0 + 230.0 * line + position(generator) * 0.01;
    if (line % 6 == 5) {
      add_line(centre, area(generator));
      add_line(centre + 1.4 * 6.0, area(generator));
    } else {
      add_line(centre, area(generator));
    }
  }
  std::vector<double> counts;
  for (double mean : expected) {
    counts.push_back(static_cast<double>(std::poisson_distribution<long>(mean)(generator)));
  }
  return counts;
}

// Searches and fits every line of a spectrum of counts with `fitter`'s settings.
void fit_spectrum(benchmark::State& state, const vesk::numerics::SpectrumFit& fitter,
                  const std::vector<double>& x, const std::vector<double>& counts) {
  const vesk::numerics::SpectrumData data{x.data(), counts.data(), nullptr, x.size(),
                                          vesk::numerics::Statistics::poisson};
  std::size_t peaks = 0;
  for (auto _ : state) {
    const vesk::numerics::SpectrumFitResult result = fitter.fit(data);
    peaks = result.peaks.size();
    benchmark::DoNotOptimize(result.peaks.data());
  }
  state.counters["peaks"] = static_cast<double>(peaks);
}

// The argument is the number of threads the fit may use; its wall time is what counts.
void BM_SpectrumSearchAndFit(benchmark::State& state) {
  std::vector<double> channels;
  const std::vector<double> counts = gamma_spectrum(channels);
  vesk::numerics::SpectrumFit fitter;
  fitter.set_threads(static_cast<int>(state.range(0)));
  fit_spectrum(state, fitter, channels, counts);
}
BENCHMARK(BM_SpectrumSearchAndFit)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same spectrum fitted with each line shape (LineShape's values in turn): the Gaussian's
// time is the yardstick of the others.
void BM_SpectrumShape(benchmark::State& state) {
  vesk::numerics::SpectrumFit fitter;
  const auto shape = static_cast<vesk::numerics::LineShape>(state.range(0));
  fitter.set_shape(shape);
  state.SetLabel(vesk::numerics::line_shape_name(shape));
  std::vector<double> channels;
  const std::vector<double> counts = gamma_spectrum(channels);
  fit_spectrum(state, fitter, channels, counts);
}
BENCHMARK(BM_SpectrumShape)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// A 16 384-channel gamma spectrum as an instrument writes it (IAEA SPE with a calibration): what
// reading it costs next to fitting it.
const std::string& spectrum_file_16k() {
  static const std::string path = [] {
    std::vector<double> channels;
    std::vector<double> counts = gamma_spectrum(channels);
    const std::vector<double> half = counts;
    counts.insert(counts.end(), half.rbegin(), half.rend());
    static const std::string name = "/tmp/vesk_bench_16k_" + std::to_string(::getpid()) + ".Spe";
    std::ofstream file(name);
    file << "$SPEC_ID:\nbenchmark\n$MEAS_TIM:\n1000 1010\n$DATA:\n0 " << counts.size() - 1 << "\n";
    for (const double count : counts) file << "      " << count << "\n";
    file << "$MCA_CAL:\n3\n-0.035 0.1828 -6.9E-10 keV\n";
    std::atexit([] { std::remove(name.c_str()); });
    return name;
  }();
  return path;
}

void BM_ReadSpectrumFile16k(benchmark::State& state) {
  std::size_t channels = 0;
  for (auto _ : state) {
    const std::vector<vesk::io::Spectrum> spectra = vesk::io::read_spectra(spectrum_file_16k());
    channels = spectra.front().counts.size();
    benchmark::DoNotOptimize(spectra.front().x.data());
  }
  state.counters["channels"] = static_cast<double>(channels);
}
BENCHMARK(BM_ReadSpectrumFile16k)->Unit(benchmark::kMillisecond);

void BM_FitSpectrumFile16k(benchmark::State& state) {
  const vesk::io::Spectrum spectrum = vesk::io::read_spectrum(spectrum_file_16k());
  fit_spectrum(state, vesk::numerics::SpectrumFit(), spectrum.x, spectrum.counts);
}
BENCHMARK(BM_FitSpectrumFile16k)->Unit(benchmark::kMillisecond);

template <typename Estimate>
void estimator_benchmark(benchmark::State& state, Estimate estimate) {
  const Peak peak = noisy_peak(static_cast<std::size_t>(state.range(0)));
  const gsl_vector_const_view x = gsl_vector_const_view_array(peak.x.data(), peak.x.size());
  const gsl_vector_const_view y = gsl_vector_const_view_array(peak.y.data(), peak.y.size());
  const GaussFit fitter;
  for (auto _ : state) benchmark::DoNotOptimize(estimate(fitter, x.vector, y.vector));
  state.SetComplexityN(state.range(0));
}

void BM_GuessSigma(benchmark::State& state) {
  estimator_benchmark(state, [](const GaussFit& f, const gsl_vector& x, const gsl_vector& y) {
    return f.guess_sigma(x, y);
  });
}
void BM_GuessInitialParameters(benchmark::State& state) {
  estimator_benchmark(state, [](const GaussFit& f, const gsl_vector& x, const gsl_vector& y) {
    return f.guess_initial_parameters(x, y).variance_;
  });
}
BENCHMARK(BM_GuessSigma)->Apply(peak_sizes)->Complexity();
BENCHMARK(BM_GuessInitialParameters)->Apply(peak_sizes)->Complexity();

std::vector<GaussFitResult> records(std::size_t count) {
  std::vector<GaussFitResult> series(count);
  for (std::size_t i = 0; i < count; ++i) {
    series[i].amplitude_ = 1.0 + 1e-3 * static_cast<double>(i);
    series[i].mean_ = std::sin(static_cast<double>(i));
    series[i].sigma_err_ = 0.01;
  }
  return series;
}

void BM_CalcMean(benchmark::State& state) {
  std::vector<GaussFitResult> series = records(10000);
  for (auto _ : state) benchmark::DoNotOptimize(GaussFitResult::calc_mean(series).mean_);
}
void BM_CalcMeanAndStd(benchmark::State& state) {
  std::vector<GaussFitResult> series = records(10000);
  for (auto _ : state) benchmark::DoNotOptimize(GaussFitResult::calc_mean_and_std(series).mean_);
}
void BM_CalcMeanAndStdInto(benchmark::State& state) {
  std::vector<GaussFitResult> series = records(10000);
  GaussFitResult result;
  GaussFitResult spread;
  for (auto _ : state) {
    GaussFitResult().calc_mean_and_std(series, result, spread);
    benchmark::DoNotOptimize(spread.mean_);
  }
}
BENCHMARK(BM_CalcMean)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalcMeanAndStd)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalcMeanAndStdInto)->Unit(benchmark::kMicrosecond);

void BM_SavitzkyGolay(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  const int left = static_cast<int>(state.range(1));
  const int right = static_cast<int>(state.range(2));
  for (auto _ : state) {
    benchmark::DoNotOptimize(vesk::numerics::create_savitzky_golay_filter(order, left, right));
  }
}
BENCHMARK(BM_SavitzkyGolay)
    ->Args({2, 2, 2})
    ->Args({4, 10, 10})
    ->Args({4, 50, 50})
    ->Args({6, 100, 100})
    ->Unit(benchmark::kMicrosecond);

template <arma::mat33 (*Rotation)(double)>
void fixed_axis_benchmark(benchmark::State& state) {
  double angle = 0.1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Rotation(angle));
    angle += 1e-3;
  }
}
void BM_RotationX(benchmark::State& s) {
  fixed_axis_benchmark<vesk::numerics::calc_3d_rotation_matrix_around_x>(s);
}
void BM_RotationY(benchmark::State& s) {
  fixed_axis_benchmark<vesk::numerics::calc_3d_rotation_matrix_around_y>(s);
}
void BM_RotationZ(benchmark::State& s) {
  fixed_axis_benchmark<vesk::numerics::calc_3d_rotation_matrix_around_z>(s);
}
void BM_RotationAxis(benchmark::State& state) {
  const arma::vec3 axis = {0.3, -1.2, 2.0};
  double angle = 0.1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vesk::numerics::calc_3d_rotation_matrix_around_axis(axis, angle));
    angle += 1e-3;
  }
}
BENCHMARK(BM_RotationX);
BENCHMARK(BM_RotationY);
BENCHMARK(BM_RotationZ);
BENCHMARK(BM_RotationAxis);

// Independent peaks fitted in one and in two threads with one shared fitter: the items per
// second show whether the threads contend.
void BM_FitThroughput(benchmark::State& state) {
  static const GaussFit shared;
  const Peak peak = noisy_peak(100, 7 + static_cast<unsigned>(state.thread_index()));
  for (auto _ : state) benchmark::DoNotOptimize(shared.fit(peak.x, peak.y).mean_);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FitThroughput)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
