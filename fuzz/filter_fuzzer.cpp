// Savitzky-Golay weights for arbitrary ints. Negative arguments must raise vesk::Error, windows
// shorter than order + 1 std::runtime_error, and well-conditioned windows must give weights
// that sum to 1.
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "fuzz_input.h"
#include "vesk/numerics/filter.h"
#include "vesk/util/exceptions.h"

namespace {

// Larger arguments are folded into this range so that no run allocates gigabytes; negative
// values stay as they are.
constexpr int kLargestExtent = 300;

int folded(int value) { return value > kLargestExtent ? value % (kLargestExtent + 1) : value; }

// Below this order and window length the normal matrix is inverted accurately.
bool well_conditioned(int order, int left, int right) {
  return order <= 4 && left + right + 1 <= 61;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vesk::numerics::fuzzing::FuzzInput input(data, size);
  const int order = folded(input.take<int>());
  const int left = folded(input.take<int>());
  const int right = folded(input.take<int>());
  const bool negative = order < 0 || left < 0 || right < 0;
  const bool singular = !negative && order > left + right;
  try {
    const arma::rowvec weights = vesk::numerics::create_savitzky_golay_filter(order, left, right);
    if (negative || singular) std::abort();
    if (weights.n_elem != static_cast<arma::uword>(left + right + 1)) std::abort();
    if (well_conditioned(order, left, right) && std::fabs(arma::accu(weights) - 1.0) > 1e-6) {
      std::abort();
    }
  } catch (const vesk::Error&) {
    if (!negative) std::abort();
  } catch (const std::runtime_error&) {
    // The explicit test catches every window too short for the order, so the matrix library's
    // inverse cannot be the one to notice.
    if (!singular) std::abort();
  }
  return 0;
}
