#ifndef VESK_NUMERICS_SRC_SPECTRUM_FADDEEVA_H
#define VESK_NUMERICS_SRC_SPECTRUM_FADDEEVA_H

// The Faddeeva function and the scaled complementary error function, from libcerf, whose header
// speaks C99 complex numbers that C++ code cannot use directly.

#include <complex>

namespace vesk::numerics::detail {

// w(z) = exp(-z^2) erfc(-i z).
std::complex<double> faddeeva_w(std::complex<double> z);

// erfcx(x) = exp(x^2) erfc(x), finite for every finite x >= -26.
double faddeeva_erfcx(double x);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SPECTRUM_FADDEEVA_H
