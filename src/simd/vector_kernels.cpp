#include "simd/vector_kernels.h"

#include <initializer_list>

namespace vesk::numerics::detail {

namespace sse2 {
extern const VectorKernels kernels;
}
namespace avx2 {
extern const VectorKernels kernels;
}
namespace avx512 {
extern const VectorKernels kernels;
}

namespace {

// The compiler's own reading of the processor, made when the program starts; asking it is a
// read of constant data, safe in any thread.
bool supported(InstructionSet instruction_set) {
  switch (instruction_set) {
    case InstructionSet::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("fma");
    case InstructionSet::avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case InstructionSet::sse2:
      return true;
  }
  return false;
}

}  // namespace

const VectorKernels* vector_kernels_for(InstructionSet instruction_set) {
  if (!supported(instruction_set)) return nullptr;
  switch (instruction_set) {
    case InstructionSet::avx512:
      return &avx512::kernels;
    case InstructionSet::avx2:
      return &avx2::kernels;
    case InstructionSet::sse2:
      break;
  }
  return &sse2::kernels;
}

const VectorKernels& best_vector_kernels() {
  for (InstructionSet widest : {InstructionSet::avx512, InstructionSet::avx2}) {
    if (const VectorKernels* kernels = vector_kernels_for(widest)) return *kernels;
  }
  return sse2::kernels;
}

}  // namespace vesk::numerics::detail
