// The fitter on arbitrary data and settings, through all three overloads, both modes and both
// solvers. It must return, never crash, and report status 0 or -2 only with a finite
// chi-square; a failed fit has every number 0.
#include <gsl/gsl_errno.h>

#include <cmath>
#include <cstdlib>

#include "fuzz_input.h"
#include "vesk/numerics/GaussFit.h"

using vesk::numerics::GaussFit;
using vesk::numerics::GaussFitResult;

namespace {

void check(const GaussFitResult& result, std::size_t point_count, std::size_t parameter_count) {
  const bool complete = result.status_ == GSL_SUCCESS || result.status_ == GSL_CONTINUE;
  if (point_count <= parameter_count && result.status_ != GSL_FAILURE) std::abort();
  if (complete && !std::isfinite(result.chisq_)) std::abort();
  if (!complete) {
    for (double value : result.get_vector()) {
      if (value != 0.0) std::abort();
    }
    if (result.chisq_ != 0.0 || result.status_str_.empty()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vesk::numerics::fuzzing::FuzzInput input(data, size);
  const auto flags = input.take<std::uint8_t>();
  const auto budget = input.take<std::uint8_t>();  // kept small so that one input runs quickly
  const auto accuracy = input.take<double>();
  const auto offset = input.take<double>();
  const auto x_share = input.take<std::uint8_t>();
  const std::vector<double> values = input.rest_as_doubles();

  GaussFit fitter;
  fitter.enable_constant_offset((flags & 1) != 0);
  fitter.set_solver((flags & 0x80) != 0 ? GaussFit::Solver::normal_equations
                                        : GaussFit::Solver::lmsder);
  fitter.set_constant_offset(offset);
  fitter.set_max_iterations(budget % 64);
  fitter.set_accuracy(accuracy);
  const std::size_t parameters = fitter.is_constant_offset_enabled() ? 3 : 4;

  // x takes a share of the values, y the rest: equal and unequal lengths both occur.
  const std::size_t x_count = values.size() * x_share / 255;
  const std::vector<double> x(values.begin(), values.begin() + x_count);
  const std::vector<double> y(values.begin() + x_count, values.end());
  switch ((flags >> 1) % 3) {
    case 0:
      check(fitter.fit(x, y), std::min(x.size(), y.size()), parameters);
      break;
    case 1:
      check(fitter.fit(values, values), values.size(), parameters);
      break;
    default:
      if (!values.empty()) {
        const gsl_vector_const_view view =
            gsl_vector_const_view_array(values.data(), values.size());
        check(fitter.fit(view.vector), values.size(), parameters);
      }
  }
  return 0;
}
