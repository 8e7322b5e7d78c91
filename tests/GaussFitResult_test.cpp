#include "vesk/numerics/GaussFitResult.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace vesk::numerics {
namespace {

GaussFitResult peak(double amplitude, double mean, double sigma, double offset) {
  GaussFitResult record;
  record.amplitude_ = amplitude;
  record.mean_ = mean;
  record.sigma_ = sigma;
  record.variance_ = sigma * sigma;
  record.offset_ = offset;
  return record;
}

void expect_cleared(const GaussFitResult& record) {
  for (double value : record.get_vector()) EXPECT_EQ(value, 0.0);
  EXPECT_EQ(record.variance_, 0.0);
  EXPECT_EQ(record.variance_err_, 0.0);
  EXPECT_EQ(record.chisq_, 0.0);
  EXPECT_EQ(record.chisq_dof_, 0.0);
  EXPECT_EQ(record.status_, 0);
  EXPECT_TRUE(record.status_str_.empty());
  EXPECT_EQ(record.num_iterations_, 0);
}

TEST(GaussFitResult, DefaultAndClearedRecordsAreEmpty) {
  GaussFitResult fresh;
  expect_cleared(fresh);
  EXPECT_EQ(fresh.gaussian(12.5), 0.0);

  GaussFitResult used = peak(2, 5, 1.5, 1);
  used.amplitude_err_ = used.mean_err_ = used.variance_err_ = used.offset_err_ = 0.1;
  used.sigma_err_ = used.chisq_ = used.chisq_dof_ = 3;
  used.status_ = 27;
  used.status_str_ = "not making progress towards solution";
  used.num_iterations_ = 17;
  used.clear();
  expect_cleared(used);
}

struct CurveCase {
  double sigma;
  double x;
  double expected;
};

class GaussianCurve : public ::testing::TestWithParam<CurveCase> {};

TEST_P(GaussianCurve, EvaluatesThePeak) {
  const CurveCase& c = GetParam();
  const GaussFitResult record = peak(2, 5, c.sigma, 1);
  EXPECT_NEAR(record.gaussian(c.x), c.expected, 1e-10);
  EXPECT_EQ(record.gaussian(std::vector<double>{c.x}).at(0), record.gaussian(c.x));
}

const double kOneSigmaBelowPeak = 2 * std::exp(-0.5) + 1;  // 2.2130613194...

INSTANTIATE_TEST_SUITE_P(
    Table, GaussianCurve,
    ::testing::Values(CurveCase{1.5, 5, 3.0}, CurveCase{1.5, 6.5, kOneSigmaBelowPeak},
                      CurveCase{1.5, 3.5, kOneSigmaBelowPeak},
                      CurveCase{-1.5, 6.5, kOneSigmaBelowPeak},
                      // zero width: amplitude + offset everywhere, mean not read
                      CurveCase{0.0, 5, 3.0}, CurveCase{0.0, -40, 3.0},
                      CurveCase{-0.0, 1e300, 3.0}));

TEST(GaussFitResult, NanWidthGivesNan) {
  EXPECT_TRUE(std::isnan(peak(2, 5, std::nan(""), 1).gaussian(5)));
}

TEST(GaussFitResult, VectorEvaluationMatchesSingleValuesBitForBit) {
  const GaussFitResult record = peak(2, 5, 1.5, 1);
  const std::vector<double> x = {3.5, 5, 6.5, 100};
  const std::vector<double> values = record.gaussian(x);
  ASSERT_EQ(values.size(), x.size());
  for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(values[i], record.gaussian(x[i]));
  EXPECT_TRUE(record.gaussian(std::vector<double>{}).empty());
}

TEST(GaussFitResult, GetVectorExportsOffsetFirstAndSigmaNotVariance) {
  GaussFitResult record = peak(2, 3, 4, 1);
  record.offset_err_ = 0.1;
  record.amplitude_err_ = 0.2;
  record.mean_err_ = 0.3;
  record.sigma_err_ = 0.4;
  record.variance_err_ = 0.5;
  EXPECT_EQ(record.get_vector(), (std::vector<double>{1, 2, 3, 4, 0.1, 0.2, 0.3, 0.4}));
}

GaussFitResult filled_record() {
  GaussFitResult record = peak(2, 3, 2, 1);
  record.amplitude_err_ = 0.2;
  record.mean_err_ = 0.3;
  record.variance_err_ = 0.5;
  record.offset_err_ = 0.1;
  record.sigma_err_ = 0.4;
  record.chisq_ = 7;
  record.chisq_dof_ = 1.75;
  record.status_ = -2;
  record.num_iterations_ = 9;
  return record;
}

TEST(GaussFitResult, ScaleXConvertsOnlyTheAbscissaQuantities) {
  GaussFitResult record = filled_record();
  record.scale_x(2);
  EXPECT_EQ(record.mean_, 6);
  EXPECT_EQ(record.mean_err_, 0.6);
  EXPECT_EQ(record.variance_, 16);
  EXPECT_EQ(record.variance_err_, 2.0);
  EXPECT_EQ(record.sigma_, 4);
  EXPECT_EQ(record.sigma_err_, 0.8);
  EXPECT_EQ(record.amplitude_, 2);
  EXPECT_EQ(record.amplitude_err_, 0.2);
  EXPECT_EQ(record.offset_, 1);
  EXPECT_EQ(record.offset_err_, 0.1);
  EXPECT_EQ(record.chisq_, 7);
  EXPECT_EQ(record.chisq_dof_, 1.75);
  EXPECT_EQ(record.status_, -2);
  EXPECT_EQ(record.num_iterations_, 9);

  GaussFitResult mirrored = filled_record();
  mirrored.scale_x(-1);
  EXPECT_EQ(mirrored.mean_, -3);
  EXPECT_EQ(mirrored.mean_err_, -0.3);
  EXPECT_EQ(mirrored.sigma_, -2);
  EXPECT_EQ(mirrored.sigma_err_, -0.4);
  EXPECT_EQ(mirrored.variance_, 4);
  EXPECT_EQ(mirrored.variance_err_, 0.5);
}

TEST(GaussFitResult, ScaleYConvertsOnlyTheOrdinateQuantities) {
  GaussFitResult record = filled_record();
  record.scale_y(3);
  EXPECT_EQ(record.amplitude_, 6);
  EXPECT_DOUBLE_EQ(record.amplitude_err_, 0.6);
  EXPECT_EQ(record.offset_, 3);
  EXPECT_DOUBLE_EQ(record.offset_err_, 0.3);
  EXPECT_EQ(record.chisq_, 63);
  EXPECT_EQ(record.chisq_dof_, 15.75);
  EXPECT_EQ(record.mean_, 3);
  EXPECT_EQ(record.sigma_, 2);
  EXPECT_EQ(record.variance_, 4);
  EXPECT_EQ(record.variance_err_, 0.5);
}

TEST(GaussFitResult, ScaledRecordEvaluatesAtScaledAbscissa) {
  for (double factor : {2.5, -0.1, 1e3}) {
    GaussFitResult record = peak(2, 5, 1.5, 1);
    const GaussFitResult original = record;
    record.scale_x(factor);
    for (double x : {3.0, 5.0, 6.1}) {
      EXPECT_NEAR(record.gaussian(x * factor), original.gaussian(x), 1e-12) << factor;
    }
  }
  GaussFitResult collapsed = peak(2, 5, 1.5, 1);
  collapsed.scale_x(0);
  EXPECT_EQ(collapsed.gaussian(17), 3.0);
}

// Statistics over series of records.

GaussFitResult with_member(double GaussFitResult::*member, double value) {
  GaussFitResult record;
  record.*member = value;
  return record;
}

TEST(GaussFitResultStatistics, EmptySeriesLeavesEverythingCleared) {
  std::vector<GaussFitResult> none;
  expect_cleared(GaussFitResult::calc_mean(none));
  expect_cleared(GaussFitResult::calc_mean_and_std(none));
  GaussFitResult result = filled_record();
  GaussFitResult spread = filled_record();
  GaussFitResult().calc_mean_and_std(none, result, spread);
  expect_cleared(result);
  expect_cleared(spread);
}

struct SpreadCase {
  double GaussFitResult::*member;
  std::vector<double> values;
  double mean;
  double spread;
};

class SeriesStatistics : public ::testing::TestWithParam<SpreadCase> {};

TEST_P(SeriesStatistics, MeanAndSampleStandardDeviation) {
  const SpreadCase& c = GetParam();
  std::vector<GaussFitResult> series;
  for (double value : c.values) series.push_back(with_member(c.member, value));

  EXPECT_DOUBLE_EQ(GaussFitResult::calc_mean(series).*c.member, c.mean);
  GaussFitResult result;
  GaussFitResult spread;
  GaussFitResult().calc_mean_and_std(series, result, spread);
  EXPECT_DOUBLE_EQ(result.*c.member, c.mean);
  EXPECT_NEAR(spread.*c.member, c.spread, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SeriesStatistics,
    ::testing::Values(SpreadCase{&GaussFitResult::amplitude_, {1, 3}, 2, std::sqrt(2.0)},
                      SpreadCase{&GaussFitResult::mean_, {1, 2, 3}, 2, 1.0},
                      SpreadCase{&GaussFitResult::sigma_, {4.5}, 4.5, 0.0},
                      SpreadCase{&GaussFitResult::offset_err_, {0.1, 0.3}, 0.2, std::sqrt(0.02)},
                      // a failed fit counts as zeros
                      SpreadCase{&GaussFitResult::variance_, {0, 4, 8}, 4, 4.0}));

TEST(GaussFitResultStatistics, StaticSpreadGoesIntoTheErrorMembers) {
  std::vector<GaussFitResult> series;
  for (double amplitude : {1.0, 3.0}) {
    GaussFitResult record = filled_record();
    record.amplitude_ = amplitude;
    record.amplitude_err_ = 0.5;
    record.mean_ = amplitude * 2;
    series.push_back(record);
  }
  const GaussFitResult summary = GaussFitResult::calc_mean_and_std(series);
  EXPECT_EQ(summary.amplitude_, 2);
  EXPECT_DOUBLE_EQ(summary.amplitude_err_, std::sqrt(2.0));  // spread, not the mean error 0.5
  EXPECT_EQ(summary.mean_, 4);
  EXPECT_DOUBLE_EQ(summary.mean_err_, std::sqrt(8.0));
  EXPECT_EQ(summary.offset_err_, 0.0);  // equal offsets, whatever their errors
  EXPECT_EQ(summary.sigma_err_, 0.0);
  EXPECT_EQ(summary.chisq_, 0.0);
  EXPECT_EQ(summary.status_, 0);
  EXPECT_EQ(summary.num_iterations_, 0);

  const GaussFitResult means = GaussFitResult::calc_mean(series);
  EXPECT_EQ(means.amplitude_err_, 0.5);
  EXPECT_EQ(means.chisq_, 0.0);
  EXPECT_TRUE(means.status_str_.empty());
}

TEST(GaussFitResultStatistics, MemberOverloadSpreadsTheErrorsToo) {
  std::vector<GaussFitResult> series(2);
  series[0].sigma_ = 2;
  series[0].sigma_err_ = 0.1;
  series[1].sigma_ = 4;
  series[1].sigma_err_ = 0.3;
  series[1].status_ = 5;
  series[1].status_str_ = "x";
  GaussFitResult result;
  GaussFitResult spread;
  GaussFitResult().calc_mean_and_std(series, result, spread);
  EXPECT_EQ(result.sigma_, 3);
  EXPECT_DOUBLE_EQ(result.sigma_err_, 0.2);
  EXPECT_DOUBLE_EQ(spread.sigma_, std::sqrt(2.0));
  EXPECT_NEAR(spread.sigma_err_, 0.1414213562, 1e-10);
  EXPECT_EQ(result.status_, 0);
  EXPECT_TRUE(spread.status_str_.empty());
}

TEST(GaussFitResultStatistics, NonFiniteValuesStayInTheirMember) {
  std::vector<GaussFitResult> series = {with_member(&GaussFitResult::mean_, INFINITY),
                                        with_member(&GaussFitResult::mean_, 1)};
  series[0].amplitude_ = 2;
  series[1].amplitude_ = 4;
  const GaussFitResult summary = GaussFitResult::calc_mean_and_std(series);
  EXPECT_TRUE(std::isinf(summary.mean_));
  EXPECT_TRUE(std::isnan(summary.mean_err_));
  EXPECT_EQ(summary.amplitude_, 3);
  EXPECT_DOUBLE_EQ(summary.amplitude_err_, std::sqrt(2.0));
}

}  // namespace
}  // namespace vesk::numerics
