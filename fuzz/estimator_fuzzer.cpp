// The two public start-value estimators on arbitrary vectors, of equal or unequal length: they
// must return a number without hanging or reading outside either vector.
#include "fuzz_input.h"
#include "vesk/numerics/GaussFit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vesk::numerics::fuzzing::FuzzInput input(data, size);
  const auto x_share = input.take<std::uint8_t>();
  std::vector<double> values = input.rest_as_doubles();
  const std::size_t x_count = values.size() * x_share / 255;
  if (x_count == 0 || x_count == values.size()) return 0;  // GSL has no empty vectors

  // Separate heap blocks, so that AddressSanitizer sees a read past either one.
  std::vector<double> x(values.begin(), values.begin() + x_count);
  std::vector<double> y(values.begin() + x_count, values.end());
  const gsl_vector_const_view x_view = gsl_vector_const_view_array(x.data(), x.size());
  const gsl_vector_const_view y_view = gsl_vector_const_view_array(y.data(), y.size());
  const vesk::numerics::GaussFit fitter;
  volatile double sink = fitter.guess_sigma(x_view.vector, y_view.vector);
  sink = fitter.guess_initial_parameters(x_view.vector, y_view.vector).variance_;
  (void)sink;
  return 0;
}
