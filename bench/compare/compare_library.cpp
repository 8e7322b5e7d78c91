// Fits each data file with the library in free-offset mode and prints its start values, result
// and median time per fit as one JSON line per file. With --savgol, builds the Savitzky-Golay
// weights for each ORDER,LEFT,RIGHT argument instead and prints them with their median time.
// With --normal-equations, the fits use the normal-equations solver instead of lmsder; with
// --accuracy A, that accuracy instead of the comparison's tolerance.
// Usage: compare_library [--normal-equations] [--accuracy A] FILE...
//        compare_library --savgol ORDER,LEFT,RIGHT...
#include <gsl/gsl_vector.h>

#include <cstdlib>
#include <cstring>

#include "timing.h"
#include "vesk/numerics/GaussFit.h"
#include "vesk/numerics/filter.h"

namespace {

int savitzky_golay(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    int order = 0;
    int left = 0;
    int right = 0;
    if (std::sscanf(argv[i], "%d,%d,%d", &order, &left, &right) != 3) return 2;
    arma::rowvec weights;
    const double microseconds = vesk::bench::median_microseconds(
        [&] { weights = vesk::numerics::create_savitzky_golay_filter(order, left, right); });
    std::printf("{\"us\": %.6g, \"weights\": [", microseconds);
    for (arma::uword k = 0; k < weights.n_elem; ++k) {
      std::printf("%s%.17g", k == 0 ? "" : ", ", weights(k));
    }
    std::printf("]}\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--savgol") == 0) return savitzky_golay(argc, argv);
  vesk::numerics::GaussFit fitter;
  fitter.set_accuracy(vesk::bench::kAccuracy);
  int first_file = 1;
  for (; first_file < argc && argv[first_file][0] == '-'; ++first_file) {
    if (std::strcmp(argv[first_file], "--normal-equations") == 0) {
      fitter.set_solver(vesk::numerics::GaussFit::Solver::normal_equations);
    } else if (std::strcmp(argv[first_file], "--accuracy") == 0 && first_file + 1 < argc) {
      fitter.set_accuracy(std::atof(argv[++first_file]));
    } else {
      return 2;
    }
  }
  for (int i = first_file; i < argc; ++i) {
    const vesk::bench::Columns data = vesk::bench::read_columns(argv[i]);
    const gsl_vector_const_view x = gsl_vector_const_view_array(data.x.data(), data.x.size());
    const gsl_vector_const_view y = gsl_vector_const_view_array(data.y.data(), data.y.size());
    const vesk::numerics::GaussFitResult guess =
        fitter.guess_initial_parameters(x.vector, y.vector);
    vesk::numerics::GaussFitResult result;
    const double microseconds =
        vesk::bench::median_microseconds([&] { result = fitter.fit(data.x, data.y); });
    const double start[4] = {guess.amplitude_, guess.mean_, guess.variance_, guess.offset_};
    const double params[4] = {result.amplitude_, result.mean_, result.variance_, result.offset_};
    const double errors[4] = {result.amplitude_err_, result.mean_err_, result.variance_err_,
                              result.offset_err_};
    vesk::bench::print_json(data.x.size(), start, params, errors, result.status_, microseconds);
  }
}
