#include "vesk/numerics/GaussFitResult.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <initializer_list>

namespace vesk::numerics {

namespace {

using Member = double GaussFitResult::*;

// The five peak parameters and, at the same index, the error member each one pairs with.
constexpr std::array<Member, 5> kPeakParameters = {
    &GaussFitResult::amplitude_, &GaussFitResult::offset_, &GaussFitResult::variance_,
    &GaussFitResult::sigma_, &GaussFitResult::mean_};
constexpr std::array<Member, 5> kPeakErrors = {
    &GaussFitResult::amplitude_err_, &GaussFitResult::offset_err_, &GaussFitResult::variance_err_,
    &GaussFitResult::sigma_err_, &GaussFitResult::mean_err_};
constexpr std::array<Member, 10> kNumericMembers = {
    kPeakParameters[0], kPeakParameters[1], kPeakParameters[2], kPeakParameters[3],
    kPeakParameters[4], kPeakErrors[0],     kPeakErrors[1],     kPeakErrors[2],
    kPeakErrors[3],     kPeakErrors[4]};

template <typename T>
T square(T value) {
  return value * value;
}

// Bessel's correction, with a single element giving a spread of 0 rather than 0/0.
double spread_divisor(std::size_t count) { return std::max(static_cast<double>(count - 1), 1.0); }

// Plain left-to-right sums divided by the count, written into the members of `means`.
template <std::size_t N>
void accumulate_means(const std::vector<GaussFitResult>& results,
                      const std::array<Member, N>& members, GaussFitResult& means) {
  for (const GaussFitResult& element : results) {
    for (Member member : members) means.*member += element.*member;
  }
  const double count = static_cast<double>(results.size());
  for (Member member : members) means.*member /= count;
}

// Sample standard deviation of each `from` member about its mean in `means`, written into the
// `to` member at the same index.
template <std::size_t N>
void accumulate_spreads(const std::vector<GaussFitResult>& results,
                        const std::array<Member, N>& from, const GaussFitResult& means,
                        const std::array<Member, N>& to, GaussFitResult& spreads) {
  for (const GaussFitResult& element : results) {
    for (std::size_t i = 0; i < N; ++i) {
      spreads.*to[i] += square(element.*from[i] - means.*from[i]);
    }
  }
  const double divisor = spread_divisor(results.size());
  for (Member member : to) spreads.*member = std::sqrt(spreads.*member / divisor);
}

// Unit conversion: `linear` members change with the factor, `quadratic` ones with its square.
void scale_members(GaussFitResult& record, std::initializer_list<Member> linear,
                   std::initializer_list<Member> quadratic, double factor) {
  const double factor_squared = factor * factor;
  for (Member member : linear) record.*member *= factor;
  for (Member member : quadratic) record.*member *= factor_squared;
}

}  // namespace

GaussFitResult::GaussFitResult() : status_str_() { clear(); }

GaussFitResult GaussFitResult::calc_mean(std::vector<GaussFitResult>& results) {
  GaussFitResult means;
  if (results.empty()) return means;
  accumulate_means(results, kNumericMembers, means);
  return means;
}

GaussFitResult GaussFitResult::calc_mean_and_std(std::vector<GaussFitResult>& results) {
  GaussFitResult summary;
  if (results.empty()) return summary;
  accumulate_means(results, kPeakParameters, summary);
  accumulate_spreads(results, kPeakParameters, summary, kPeakErrors, summary);
  return summary;
}

void GaussFitResult::calc_mean_and_std(std::vector<GaussFitResult>& results, GaussFitResult& result,
                                       GaussFitResult& std) const {
  result.clear();
  std.clear();
  if (results.empty()) return;
  accumulate_means(results, kNumericMembers, result);
  accumulate_spreads(results, kNumericMembers, result, kNumericMembers, std);
}

void GaussFitResult::clear() {
  amplitude_ = 0.0;
  mean_ = 0.0;
  variance_ = 0.0;
  offset_ = 0.0;
  amplitude_err_ = 0.0;
  mean_err_ = 0.0;
  variance_err_ = 0.0;
  offset_err_ = 0.0;
  chisq_ = 0.0;
  chisq_dof_ = 0.0;
  sigma_ = 0.0;
  sigma_err_ = 0.0;
  status_ = 0;
  status_str_.clear();
  num_iterations_ = 0;
}

std::vector<double> GaussFitResult::get_vector() const {
  return {offset_, amplitude_, mean_, sigma_, offset_err_, amplitude_err_, mean_err_, sigma_err_};
}

void GaussFitResult::scale_x(double factor) {
  scale_members(*this,
                {&GaussFitResult::mean_, &GaussFitResult::mean_err_, &GaussFitResult::sigma_,
                 &GaussFitResult::sigma_err_},
                {&GaussFitResult::variance_, &GaussFitResult::variance_err_}, factor);
}

void GaussFitResult::scale_y(double factor) {
  scale_members(*this,
                {&GaussFitResult::amplitude_, &GaussFitResult::amplitude_err_,
                 &GaussFitResult::offset_, &GaussFitResult::offset_err_},
                {&GaussFitResult::chisq_, &GaussFitResult::chisq_dof_}, factor);
}

double GaussFitResult::gaussian(double x) const {
  // A zero width is a spike of zero extent: exp(-0) = 1 everywhere, without dividing by zero.
  if (sigma_ == 0.0) return std::exp(-0.0) * amplitude_ + offset_;
  const double xx = (x - mean_) / sigma_;
  const double exponent = (xx * (-xx)) * 0.5;
  return std::exp(exponent) * amplitude_ + offset_;
}

std::vector<double> GaussFitResult::gaussian(const std::vector<double>& x) const {
  std::vector<double> values(x.size(), 0.0);
  for (std::size_t i = 0; i < x.size(); ++i) values[i] = gaussian(x[i]);
  return values;
}

}  // namespace vesk::numerics
