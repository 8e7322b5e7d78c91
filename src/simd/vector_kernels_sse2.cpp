// The vector kernels in sse2 code; see vector_kernels_body.h.
#define Eigen vesk_eigen_sse2
#define VESK_KERNEL_NAMESPACE sse2
#include "simd/vector_kernels_body.h"
