// Debian's serial OpenBLAS, on which GSL runs here, keeps its routines' work buffers in one
// table shared by all threads and takes them without a lock. Its rank-1 update dsyr copies a
// strided vector into such a buffer, so two threads in dsyr at once corrupt each other's
// results. GSL's modified Cholesky decomposition, which the normal-equations solver runs at
// every step, calls dsyr with a strided vector. This library therefore provides cblas_dsyr
// itself and hands every call to GSL's reference CBLAS, which keeps no state: the matrices
// concerned are at most 4 x 4, and every other routine still runs on OpenBLAS.
#include <dlfcn.h>
#include <gsl/gsl_cblas.h>

#include <cstdlib>

#include "vesk/numerics/export.h"

namespace {

using Dsyr = void (*)(enum CBLAS_ORDER, enum CBLAS_UPLO, int, double, const double*, int, double*,
                      int);

// GSL's reference CBLAS is loaded already: GSL itself depends on it.
Dsyr reference_dsyr() {
  void* reference = dlopen("libgslcblas.so.0", RTLD_NOW | RTLD_LOCAL);
  void* routine = reference == nullptr ? nullptr : dlsym(reference, "cblas_dsyr");
  if (routine == nullptr) std::abort();  // GSL is not installed as it must be
  return reinterpret_cast<Dsyr>(routine);
}

}  // namespace

extern "C" VESK_NUMERICS_EXPORT void cblas_dsyr(const enum CBLAS_ORDER order,
                                                const enum CBLAS_UPLO uplo, const int n,
                                                const double alpha, const double* x,
                                                const int incx, double* a, const int lda) {
  static const Dsyr reference = reference_dsyr();
  reference(order, uplo, n, alpha, x, incx, a, lda);
}
