#include "spectrum/faddeeva.h"

#include <cerf.h>

namespace vesk::numerics::detail {

// libcerf takes and returns C99 complex numbers, which are std::complex<double>'s own storage.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wc99-extensions"
#endif
std::complex<double> faddeeva_w(std::complex<double> z) {
  return std::complex<double>(w_of_z(z.__rep()));
}
#pragma GCC diagnostic pop

double faddeeva_erfcx(double x) { return erfcx(x); }

}  // namespace vesk::numerics::detail
