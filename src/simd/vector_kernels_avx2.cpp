// The vector kernels in avx2 code; see vector_kernels_body.h.
#define Eigen vesk_eigen_avx2
#define VESK_KERNEL_NAMESPACE avx2
#include "simd/vector_kernels_body.h"
