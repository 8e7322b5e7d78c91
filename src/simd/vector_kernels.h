#ifndef VESK_NUMERICS_SRC_SIMD_VECTOR_KERNELS_H
#define VESK_NUMERICS_SRC_SIMD_VECTOR_KERNELS_H

// The loops that dominate a fit, compiled once for each instruction set and chosen at run time,
// so that the library uses AVX2 or AVX-512 where the processor has them and still runs on any
// x86-64. Every kernel works on plain arrays and keeps no state.

#include <cstddef>

namespace vesk::numerics::detail {

enum class InstructionSet : unsigned char { sse2, avx2, avx512 };

struct VectorKernels {
  InstructionSet instruction_set;
  // out[i] = exp(-(x[i] - centre)^2 * half_inverse_variance); values whose true result is below
  // the smallest normal double give 0.
  void (*gaussian)(const double* x, std::size_t count, double centre, double half_inverse_variance,
                   double* out);
  // out[i] = exp(in[i]), 0 where the true result is below the smallest normal double.
  void (*exp)(const double* in, std::size_t count, double* out);
  // Two correlations in one pass: out[i] = sum over k < taps of weights[k] in[i + k], for
  // i < count - taps + 1 (count >= taps), of in_a with weights_a and of in_b with weights_b.
  void (*correlate_pair)(const double* in_a, const double* weights_a, const double* in_b,
                         const double* weights_b, std::size_t count, std::size_t taps,
                         double* out_a, double* out_b);
  // out[i] = log(in[i]).
  void (*log)(const double* in, std::size_t count, double* out);
  // The Poisson deviance's parts for counts y and model values f: ratio[i] = y/f (1 where
  // y = 0), terms[i] = 2 (f - y + y ln(y/f)), a[i] = 1 - y/f (1 where y = 0), b[i] = 1/f (0 where
  // f = 0); logarithm[i] receives ln(ratio[i]). False, with the outputs unfinished, when some
  // f < 0, or f = 0 where y > 0: no count can come from such a model.
  bool (*poisson_terms)(const double* y, const double* f, std::size_t count, double* ratio,
                        double* logarithm, double* terms, double* a, double* b);
  // significance[i] = -value[i] / sqrt(variance[i]), the variance taken as at least the smallest
  // normal double; significance may be variance.
  void (*significance)(const double* value, const double* variance, std::size_t count,
                       double* significance);
  // out[i] = erfcx(in[i]) = exp(in[i]^2) erfc(in[i]) for in[i] >= 0, within 5e-16 relative
  // (+inf gives 0, NaN gives NaN): a Chebyshev series, since libcerf's erfcx, which the
  // single-point evaluations use, has no vector form. The same for every place of a point.
  void (*erfcx)(const double* in, std::size_t count, double* out);
  // Eigen's dot product of a and b in this instruction set, whose order of additions `accumulate`
  // keeps.
  double (*dot)(const double* a, const double* b, std::size_t count);
  // normal += J^T diag(w) J and gradient += J^T a, for the count x parameters column-major J.
  // A null w stands for all ones; scratch holds count x parameters doubles.
  void (*accumulate)(const double* jacobian, std::size_t count, std::size_t parameters,
                     const double* w, const double* a, double* scratch, double* normal,
                     double* gradient);
  // The same sums by register tiles read straight from J: two to three times faster with a
  // region's twenty-odd parameters, with its own order of additions.
  void (*accumulate_tiled)(const double* jacobian, std::size_t count, std::size_t parameters,
                           const double* w, const double* a, double* scratch, double* normal,
                           double* gradient);
};

// The kernels of the widest instruction set that this processor supports.
const VectorKernels& best_vector_kernels();

// The kernels of one instruction set, or null when this processor lacks it.
const VectorKernels* vector_kernels_for(InstructionSet instruction_set);

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_SIMD_VECTOR_KERNELS_H
