// The vector kernels in avx512 code; see vector_kernels_body.h.
#define Eigen vesk_eigen_avx512
#define VESK_KERNEL_NAMESPACE avx512
#include "simd/vector_kernels_body.h"
