#ifndef VESK_NUMERICS_GAUSSFITRESULT_H
#define VESK_NUMERICS_GAUSSFITRESULT_H

/// @file
/// The record of one fitted Gaussian peak y(x) = A exp(-(x - mu)^2 / (2 sigma^2)) + c.

#include <string>
#include <vector>

#include "vesk/numerics/export.h"

namespace vesk::numerics {

/// One Gaussian peak with error estimates, fit quality and outcome.
///
/// A plain value record: every member is public. A default-constructed record reads as a
/// successful fit (status 0) of a peak with zero amplitude and zero width. No operation throws
/// for any member value; NaN and infinity propagate by IEEE-754 rules.
class VESK_NUMERICS_EXPORT GaussFitResult {
 public:
  double amplitude_;  ///< A: peak height above the offset, in y units.
  double mean_;       ///< mu: peak centre, in x units.
  double variance_;   ///< sigma^2: the width parameter the fitter adjusts, in x units squared.
  double offset_;     ///< c: constant baseline in y units (the fixed one in constant-offset mode).
  double amplitude_err_;  ///< Error estimate of amplitude_.
  double mean_err_;       ///< Error estimate of mean_.
  double variance_err_;   ///< Error estimate of variance_.
  double offset_err_;     ///< Error estimate of offset_; 0 when the offset was held fixed.
  double sigma_;          ///< sigma = sqrt(variance_): peak width (standard deviation), in x units.
  double sigma_err_;      ///< Error estimate of sigma_.
  double chisq_;          ///< Sum of squared residuals at the solution, in y units squared.
  double chisq_dof_;      ///< chisq_ per degree of freedom (points minus fitted parameters).
  int status_;            ///< 0 success; a GSL status code on solver failure; -1 too few points.
  std::string status_str_;  ///< Text for status_ ("Not enough data points" for -1, else GSL's).
  int num_iterations_;      ///< Iterations the solver ran; 0 when it never started.

  /// An empty record, identical to one after clear().
  GaussFitResult();

  /// Means of the ten numeric members (five peak parameters, five errors) over @p results.
  /// Every element counts, failed fits included. An empty series gives a cleared record.
  static GaussFitResult calc_mean(std::vector<GaussFitResult>& results);

  /// Means of the five peak parameters over @p results; each error member holds the sample
  /// standard deviation (n - 1 divisor, 1 for one element) of its parameter across the series.
  /// The inputs' error members are not read. An empty series gives a cleared record.
  static GaussFitResult calc_mean_and_std(std::vector<GaussFitResult>& results);

  /// Writes the means of the ten numeric members into @p result (as calc_mean) and their sample
  /// standard deviations into @p std. Both are cleared first; an empty series leaves them so.
  /// The object the call is made on is not read.
  void calc_mean_and_std(std::vector<GaussFitResult>& results, GaussFitResult& result,
                         GaussFitResult& std) const;

  /// Resets every number to 0, status_ to 0 and status_str_ to empty.
  void clear();

  /// The main values: {offset, amplitude, mean, sigma, offset_err, amplitude_err, mean_err,
  /// sigma_err}.
  std::vector<double> get_vector() const;

  /// Converts the x-axis quantities to a unit @p factor times smaller: mean_, sigma_ and their
  /// errors are multiplied by factor, variance_ and its error by factor squared.
  void scale_x(double factor);

  /// Converts the y-axis quantities: amplitude_, offset_ and their errors are multiplied by
  /// @p factor, chisq_ and chisq_dof_ by factor squared.
  void scale_y(double factor);

  /// The peak curve at @p x, using sigma_ (not variance_). A zero sigma_ gives
  /// amplitude_ + offset_ everywhere; a NaN sigma_ gives NaN.
  double gaussian(double x) const;

  /// The peak curve at every element of @p x; bit-identical to the single-value overload.
  std::vector<double> gaussian(const std::vector<double>& x) const;
};

}  // namespace vesk::numerics

#endif  // VESK_NUMERICS_GAUSSFITRESULT_H
