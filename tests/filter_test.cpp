#include "vesk/numerics/filter.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "vesk/util/exceptions.h"

namespace vesk::numerics {
namespace {

struct WeightCase {
  int order;
  int left;
  int right;
  std::vector<double> numerators;
  double denominator;
};

class ClassicalWeights : public ::testing::TestWithParam<WeightCase> {};

TEST_P(ClassicalWeights, MatchTheTables) {
  const WeightCase& c = GetParam();
  const arma::rowvec weights = create_savitzky_golay_filter(c.order, c.left, c.right);
  ASSERT_EQ(weights.n_elem, c.numerators.size());
  for (std::size_t k = 0; k < c.numerators.size(); ++k) {
    EXPECT_NEAR(weights(k), c.numerators[k] / c.denominator, 1e-12) << "element " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClassicalWeights,
    ::testing::Values(WeightCase{2, 2, 2, {-3, 12, 17, 12, -3}, 35},
                      WeightCase{3, 2, 2, {-3, 12, 17, 12, -3}, 35},
                      WeightCase{4, 3, 3, {5, -30, 75, 131, 75, -30, 5}, 231},
                      WeightCase{2, 3, 3, {-2, 3, 6, 7, 6, 3, -2}, 21},
                      WeightCase{0, 1, 2, {1, 1, 1, 1}, 4},  // order 0: the plain mean
                      WeightCase{0, 0, 6, {1, 1, 1, 1, 1, 1, 1}, 7},
                      WeightCase{1, 2, 2, {1, 1, 1, 1, 1}, 5},  // a line through a symmetric window
                      WeightCase{1, 2, 0, {-1, 2, 5}, 6},  // one-sided window ending at the point
                      WeightCase{0, 0, 0, {1}, 1},
                      WeightCase{2, 2, 0, {0, 0, 1}, 1}));  // order = extent: interpolation

TEST(SavitzkyGolay, WeightsSumToOneOverAGridOfWindows) {
  for (int order = 0; order <= 6; ++order) {
    for (int left = 0; left <= 12; ++left) {
      for (int right = 0; right <= 12; ++right) {
        if (order > left + right) continue;
        const arma::rowvec weights = create_savitzky_golay_filter(order, left, right);
        ASSERT_EQ(weights.n_elem, static_cast<arma::uword>(left + right + 1));
        EXPECT_NEAR(arma::accu(weights), 1.0, 1e-9) << order << " " << left << " " << right;
      }
    }
  }
}

// With as many coefficients as samples the polynomial passes through every sample, so the
// smoothed value is the sample itself.
TEST(SavitzkyGolay, OrderEqualToTheExtentInterpolates) {
  for (int left = 0; left <= 4; ++left) {
    for (int right = 0; right <= 4; ++right) {
      const arma::rowvec weights = create_savitzky_golay_filter(left + right, left, right);
      for (int k = 0; k <= left + right; ++k) {
        EXPECT_NEAR(weights(k), k == left ? 1.0 : 0.0, 1e-8) << left << " " << right << " " << k;
      }
    }
  }
}

// A cubic is reproduced exactly by weights of order three or more, at any window position.
TEST(SavitzkyGolay, ReproducesPolynomialsUpToItsOrder) {
  const auto cubic = [](double t) { return 2.0 - 0.5 * t + 0.25 * t * t - 0.125 * t * t * t; };
  for (const auto& [left, right] : std::vector<std::pair<int, int>>{{5, 5}, {0, 8}, {7, 2}}) {
    const arma::rowvec weights = create_savitzky_golay_filter(3, left, right);
    double smoothed = 0.0;
    for (int k = 0; k <= left + right; ++k) smoothed += weights(k) * cubic(k - left);
    EXPECT_NEAR(smoothed, cubic(0), 1e-10) << left << " " << right;
  }
}

struct BadArguments {
  int order;
  int left;
  int right;
  const char* message;
};

class RejectsNegativeArguments : public ::testing::TestWithParam<BadArguments> {};

TEST_P(RejectsNegativeArguments, WithTheFirstOffendingArgument) {
  const BadArguments& c = GetParam();
  try {
    create_savitzky_golay_filter(c.order, c.left, c.right);
    FAIL() << "no exception";
  } catch (const Error& error) {
    EXPECT_EQ(std::string(error.what()), c.message);
    EXPECT_EQ(error.get_message(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RejectsNegativeArguments,
    ::testing::Values(BadArguments{-1, 2, 2, "Bad polynomial order -1"},
                      BadArguments{-1, -5, -7, "Bad polynomial order -1"},
                      BadArguments{INT_MIN, 0, 0, "Bad polynomial order -2147483648"},
                      BadArguments{2, -1, -3, "Bad number of left samples: -1"},
                      BadArguments{0, -42, 3, "Bad number of left samples: -42"},
                      BadArguments{2, 3, -3, "Bad number of right samples: -3"},
                      BadArguments{INT_MAX, 0, INT_MIN,
                                   "Bad number of right samples: -2147483648"}));

struct SingularCase {
  int order;
  int left;
  int right;
};

class SingularWindows : public ::testing::TestWithParam<SingularCase> {};

// More coefficients than samples: reported as std::runtime_error, deliberately not vesk::Error,
// including the windows where rounding let the inverse succeed.
TEST_P(SingularWindows, ThrowRuntimeErrorNamingOrderAndWindow) {
  const SingularCase& c = GetParam();
  try {
    create_savitzky_golay_filter(c.order, c.left, c.right);
    FAIL() << "no exception";
  } catch (const Error&) {
    FAIL() << "a singular window is not an argument error";
  } catch (const std::runtime_error& error) {
    const std::string message = error.what();
    const long long window = static_cast<long long>(c.left) + c.right + 1;
    EXPECT_NE(message.find(std::to_string(c.order)), std::string::npos) << message;
    EXPECT_NE(message.find(std::to_string(window)), std::string::npos) << message;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SingularWindows,
                         ::testing::Values(SingularCase{1, 0, 0}, SingularCase{2, 1, 0},
                                           SingularCase{5, 2, 2}, SingularCase{12, 4, 3},
                                           SingularCase{INT_MAX, 0, 0},
                                           SingularCase{INT_MAX, 1000, 1000},
                                           SingularCase{INT_MAX, INT_MAX / 2, INT_MAX / 2 - 1}));

// The largest arguments overflow nothing: the matrix library refuses the size.
TEST(SavitzkyGolay, LargestArgumentsEndInTheMatrixLibrarysException) {
  EXPECT_THROW(create_savitzky_golay_filter(INT_MAX, INT_MAX, INT_MAX), std::logic_error);
}

TEST(VeskError, IsARuntimeErrorWithItsMessage) {
  const Error from_string(std::string("from string"));
  const Error from_chars("from chars");
  const Error copy(from_chars);
  EXPECT_EQ(from_string.get_message(), "from string");
  EXPECT_EQ(copy.get_message(), "from chars");
  try {
    throw Error("caught as runtime_error");
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "caught as runtime_error");
  }
}

// get_message() reads what() through the virtual table.
TEST(VeskError, GetMessageHonoursAnOverriddenWhat) {
  struct Louder : Error {
    Louder() : Error("quiet") {}
    const char* what() const noexcept override { return "LOUD"; }
  };
  const Error& error = Louder();
  EXPECT_EQ(error.get_message(), "LOUD");
}

}  // namespace
}  // namespace vesk::numerics
