// The vector kernels of every instruction set this processor has, against plain scalar loops:
// the exponentials and logarithms to a few units in the last place, the normal equations to
// rounding, and the special values (underflow, NaN) the fitter relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "simd/vector_kernels.h"
#include "spectrum/faddeeva.h"

namespace vesk::numerics::detail {
namespace {

const char* const kNames[] = {"Sse2", "Avx2", "Avx512"};
constexpr double kUlps = 4 * std::numeric_limits<double>::epsilon();

class VectorKernelsTest : public ::testing::TestWithParam<InstructionSet> {
 protected:
  void SetUp() override {
    found_ = vector_kernels_for(GetParam());
    if (found_ == nullptr) GTEST_SKIP() << "this processor lacks the instruction set";
    EXPECT_EQ(found_->instruction_set, GetParam());
  }
  const VectorKernels& kernels() const { return *found_; }

 private:
  const VectorKernels* found_ = nullptr;
};

TEST_P(VectorKernelsTest, GaussianMatchesTheScalarExponential) {
  const VectorKernels& k = kernels();
  // 37 points: full vectors and a tail; distances out to where the exponential underflows.
  std::vector<double> x;
  for (int i = 0; i < 37; ++i) x.push_back(-30.0 + 1.7 * i);
  x.push_back(std::numeric_limits<double>::quiet_NaN());
  std::vector<double> out(x.size());
  const double centre = 1.25;
  const double half_inverse_variance = 0.5 / 0.81;
  k.gaussian(x.data(), x.size(), centre, half_inverse_variance, out.data());
  for (std::size_t i = 0; i + 1 < x.size(); ++i) {
    const double exponent = -(x[i] - centre) * (x[i] - centre) * half_inverse_variance;
    const double expected = std::exp(exponent);
    if (expected < std::numeric_limits<double>::min()) {
      EXPECT_EQ(out[i], 0.0) << x[i];
    } else {
      EXPECT_NEAR(out[i], expected, kUlps * expected) << x[i];
    }
  }
  EXPECT_TRUE(std::isnan(out.back()));
}

TEST_P(VectorKernelsTest, LogMatchesTheScalarLogarithm) {
  const VectorKernels& k = kernels();
  const std::vector<double> in = {1e-300, 0.003, 0.5, 1.0, 1.0 + 1e-12, 2.0, 17.5, 1e6, 3e300};
  std::vector<double> out(in.size());
  k.log(in.data(), in.size(), out.data());
  for (std::size_t i = 0; i < in.size(); ++i) {
    EXPECT_NEAR(out[i], std::log(in[i]), kUlps * std::max(1.0, std::fabs(std::log(in[i]))))
        << in[i];
  }
}

// Against libcerf's erfcx, itself within 9e-16 of the true value: dense over the range where the
// series changes fastest, then out to where erfcx is 1 / (x sqrt(pi)) to the last bit; every
// point also at other places of the array, where it may fall in a vector or in the tail.
TEST_P(VectorKernelsTest, ErfcxMatchesLibcerfWhereverThePointIs) {
  const VectorKernels& k = kernels();
  std::vector<double> in;
  for (int i = 0; i <= 4000; ++i) in.push_back(0.01 * i);
  for (double x = 40.0; x < 1e300; x *= 1.7) in.push_back(x);
  std::vector<double> out(in.size());
  k.erfcx(in.data(), in.size(), out.data());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const double expected = faddeeva_erfcx(in[i]);
    ASSERT_NEAR(out[i], expected, 1.5e-15 * expected) << in[i];
  }
  for (std::size_t shift = 1; shift < 8; ++shift) {
    std::vector<double> shifted(in.size() - shift);
    k.erfcx(in.data() + shift, shifted.size(), shifted.data());
    for (std::size_t i = 0; i < shifted.size(); ++i) ASSERT_EQ(shifted[i], out[i + shift]) << i;
  }
  const double special[] = {std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(), 0.0,
                            std::numeric_limits<double>::max()};
  double special_out[4];
  k.erfcx(special, 4, special_out);
  EXPECT_EQ(special_out[0], 0.0);
  EXPECT_TRUE(std::isnan(special_out[1]));
  EXPECT_NEAR(special_out[2], 1.0, 1e-16);
  // A subnormal result, to its last few units.
  EXPECT_NEAR(special_out[3], faddeeva_erfcx(special[3]), 1e-322);
}

// Weighted and unweighted sums, with few parameters (dot products) and many (matrix product), by
// both kernels: the register tiles cover every partial tile and a tail of points shorter than a
// vector.
TEST_P(VectorKernelsTest, AccumulateFormsTheNormalEquations) {
  const VectorKernels& k = kernels();
  std::mt19937_64 generator(3);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  // Dot products up to 16 parameters, the matrix product's lower triangle beyond.
  for (std::size_t parameters : {1u, 3u, 4u, 13u, 22u, 29u}) {
    for (auto [accumulate, tiled] : {std::pair{k.accumulate, false}, {k.accumulate_tiled, true}}) {
      for (bool weighted : {false, true}) {
        SCOPED_TRACE(std::to_string(parameters) + (weighted ? " weighted" : "") +
                     (tiled ? " tiled" : ""));
        const std::size_t count = 203;
        std::vector<double> jacobian(count * parameters), w(count), a(count);
        for (double& value : jacobian) value = uniform(generator);
        for (double& value : w) value = 1.5 + uniform(generator);
        for (double& value : a) value = uniform(generator);
        std::vector<double> scratch(count * parameters);
        std::vector<double> normal(parameters * parameters, 1.0);  // sums add to what is there
        std::vector<double> gradient(parameters, 1.0);
        accumulate(jacobian.data(), count, parameters, weighted ? w.data() : nullptr, a.data(),
                   scratch.data(), normal.data(), gradient.data());
        for (std::size_t r = 0; r < parameters; ++r) {
          double expected_gradient = 1.0;
          for (std::size_t i = 0; i < count; ++i)
            expected_gradient += jacobian[r * count + i] * a[i];
          EXPECT_NEAR(gradient[r], expected_gradient, 1e-12);
          for (std::size_t c = 0; c < parameters; ++c) {
            double expected = 1.0;
            for (std::size_t i = 0; i < count; ++i) {
              expected +=
                  jacobian[r * count + i] * jacobian[c * count + i] * (weighted ? w[i] : 1.0);
            }
            EXPECT_NEAR(normal[c * parameters + r], expected, 1e-12) << r << "," << c;
            // Symmetric to the bit, whichever triangle was summed.
            EXPECT_EQ(normal[c * parameters + r], normal[r * parameters + c]) << r << "," << c;
          }
        }
      }
    }
  }
}

// The normal equations of few parameters are Eigen's dot products of J and the weighted J to the
// bit, as the fits of Gaussian lines have always had them: every point count from one to past
// two vectors' worth of pairs and a tail, so that every branch of the reduction is taken.
TEST_P(VectorKernelsTest, AccumulateOfFewParametersIsEigensDotProductsToTheBit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "instrumented, Eigen's dot product is not inlined and its products and sums "
                  "are rounded apart: it is not the one that optimised builds fuse";
#endif
  const VectorKernels& k = kernels();
  std::mt19937_64 generator(13);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (std::size_t parameters : {1u, 5u, 9u, 16u}) {
    for (std::size_t count = 1; count <= 41; ++count) {
      std::vector<double> jacobian(count * parameters), a(count), w(count);
      for (double& value : jacobian) value = uniform(generator);
      for (double& value : a) value = uniform(generator);
      for (double& value : w) value = 1.5 + uniform(generator);
      for (bool weighted : {false, true}) {
        std::vector<double> normal(parameters * parameters, 0.25), gradient(parameters, 0.25);
        std::vector<double> scratch(count * parameters), weighted_column(count);
        k.accumulate(jacobian.data(), count, parameters, weighted ? w.data() : nullptr, a.data(),
                     scratch.data(), normal.data(), gradient.data());
        for (std::size_t c = 0; c < parameters; ++c) {
          const double* column = jacobian.data() + c * count;
          for (std::size_t i = 0; i < count; ++i)
            weighted_column[i] = weighted ? column[i] * w[i] : column[i];
          ASSERT_EQ(gradient[c], 0.25 + k.dot(column, a.data(), count))
              << parameters << " " << count;
          for (std::size_t r = c; r < parameters; ++r) {
            ASSERT_EQ(normal[c * parameters + r],
                      0.25 + k.dot(jacobian.data() + r * count, weighted_column.data(), count))
                << parameters << " parameters, " << count << " points, " << r << "," << c
                << (weighted ? ", weighted" : "");
          }
        }
      }
    }
  }
}

TEST_P(VectorKernelsTest, CorrelatePairMatchesTwoScalarCorrelations) {
  const VectorKernels& k = kernels();
  std::mt19937_64 generator(5);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (std::size_t taps : {1u, 5u, 33u}) {
    const std::size_t count = 100;  // blocks and a tail
    std::vector<double> a(count), b(count), wa(taps), wb(taps);
    for (auto* values : {&a, &b, &wa, &wb}) {
      for (double& value : *values) value = uniform(generator);
    }
    std::vector<double> out_a(count - taps + 1), out_b(count - taps + 1);
    k.correlate_pair(a.data(), wa.data(), b.data(), wb.data(), count, taps, out_a.data(),
                     out_b.data());
    for (std::size_t i = 0; i + taps <= count; ++i) {
      double sum_a = 0.0, sum_b = 0.0;
      for (std::size_t t = 0; t < taps; ++t) {
        sum_a += wa[t] * a[i + t];
        sum_b += wb[t] * b[i + t];
      }
      // The same additions in the same order: equal up to contraction into fused multiply-adds.
      EXPECT_NEAR(out_a[i], sum_a, 1e-14) << taps << " " << i;
      EXPECT_NEAR(out_b[i], sum_b, 1e-14) << taps << " " << i;
    }
  }
}

// An output is the same sum wherever it falls, in a block of vector sums or in the scalar tail:
// the input shifted by one to 40 points moves every output across the blocks' edges, and each
// must come out equal to the bit, or the search would depend on where a peak lies.
TEST_P(VectorKernelsTest, CorrelatePairOutputsDoNotDependOnTheirPlace) {
  const VectorKernels& k = kernels();
  std::mt19937_64 generator(8);
  std::uniform_real_distribution<double> uniform(0.0, 1000.0);
  const std::size_t count = 203;
  for (std::size_t taps : {3u, 13u, 33u}) {
    std::vector<double> a(count), b(count), wa(taps), wb(taps);
    for (auto* values : {&a, &b, &wa, &wb}) {
      for (double& value : *values) value = uniform(generator) - 500.0;
    }
    const std::size_t outputs = count - taps + 1;
    std::vector<double> out_a(outputs), out_b(outputs);
    k.correlate_pair(a.data(), wa.data(), b.data(), wb.data(), count, taps, out_a.data(),
                     out_b.data());
    for (std::size_t shift = 1; shift <= 40; ++shift) {
      std::vector<double> shifted_a(outputs - shift), shifted_b(outputs - shift);
      k.correlate_pair(a.data() + shift, wa.data(), b.data() + shift, wb.data(), count - shift,
                       taps, shifted_a.data(), shifted_b.data());
      for (std::size_t i = 0; i + shift < outputs; ++i) {
        ASSERT_EQ(shifted_a[i], out_a[i + shift]) << taps << " taps, shift " << shift;
        ASSERT_EQ(shifted_b[i], out_b[i + shift]) << taps << " taps, shift " << shift;
      }
    }
  }
}

// The Poisson deviance's parts and the search's significance are exact arithmetic on each point:
// every instruction set must give the plain formula's bits wherever a point falls, or a fit of
// counts would depend on the processor. Points with no count, a zero model and a model outside
// the domain (f < 0, or f = 0 under a count) among ordinary ones.
TEST_P(VectorKernelsTest, PoissonTermsAndSignificanceAreThePlainFormulasToTheBit) {
  const VectorKernels& k = kernels();
  std::mt19937_64 generator(11);
  std::uniform_real_distribution<double> uniform(0.0, 50.0);
  const std::size_t count = 37;
  std::vector<double> y(count), f(count);
  for (std::size_t i = 0; i < count; ++i) {
    y[i] = i % 5 == 0 ? 0.0 : std::floor(uniform(generator));
    f[i] = i % 7 == 3 && y[i] == 0.0 ? 0.0 : 0.1 + uniform(generator);
  }
  y[10] = f[10] = 0.0;
  std::vector<double> ratio(count), logarithm(count), terms(count), a(count), b(count);
  ASSERT_TRUE(k.poisson_terms(y.data(), f.data(), count, ratio.data(), logarithm.data(),
                              terms.data(), a.data(), b.data()));
  for (std::size_t i = 0; i < count; ++i) {
    const double expected_ratio = y[i] > 0.0 ? y[i] / f[i] : 1.0;
    EXPECT_EQ(ratio[i], expected_ratio) << i;
    EXPECT_NEAR(logarithm[i], std::log(expected_ratio), kUlps * 10.0) << i;
    const double y_log = y[i] > 0.0 ? y[i] * logarithm[i] : 0.0;
    EXPECT_EQ(terms[i], 2.0 * (f[i] - y[i] + y_log)) << i;
    EXPECT_EQ(a[i], y[i] > 0.0 ? 1.0 - expected_ratio : 1.0) << i;
    EXPECT_EQ(b[i], f[i] > 0.0 ? 1.0 / f[i] : 0.0) << i;
  }
  for (const std::size_t bad : {2u, 9u, 36u}) {
    for (const auto& [y_bad, f_bad] : {std::pair{3.0, 0.0}, std::pair{0.0, -1e-300}}) {
      std::vector<double> y_out = y, f_out = f;
      y_out[bad] = y_bad;
      f_out[bad] = f_bad;
      EXPECT_FALSE(k.poisson_terms(y_out.data(), f_out.data(), count, ratio.data(),
                                   logarithm.data(), terms.data(), a.data(), b.data()))
          << bad << " " << y_bad << " " << f_bad;
    }
  }

  std::vector<double> value(count), variance(count), significance(count);
  for (std::size_t i = 0; i < count; ++i) {
    value[i] = uniform(generator) - 25.0;
    variance[i] = i % 6 == 0 ? 0.0 : uniform(generator);
  }
  k.significance(value.data(), variance.data(), count, significance.data());
  for (std::size_t i = 0; i < count; ++i) {
    const double deviation = std::sqrt(std::max(variance[i], std::numeric_limits<double>::min()));
    EXPECT_EQ(significance[i], -value[i] / deviation) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(InstructionSets, VectorKernelsTest,
                         ::testing::Values(InstructionSet::sse2, InstructionSet::avx2,
                                           InstructionSet::avx512),
                         [](const auto& info) { return kNames[static_cast<int>(info.param)]; });

TEST(VectorKernels, BestIsTheWidestSupported) {
  const VectorKernels& best = best_vector_kernels();
  for (InstructionSet wider = InstructionSet::avx512; wider > best.instruction_set;
       wider = static_cast<InstructionSet>(static_cast<int>(wider) - 1)) {
    EXPECT_EQ(vector_kernels_for(wider), nullptr);
  }
  EXPECT_EQ(vector_kernels_for(best.instruction_set), &best);
}

}  // namespace
}  // namespace vesk::numerics::detail
