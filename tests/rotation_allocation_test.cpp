// Counts every heap allocation in this program, to show the rotations make none. Armadillo takes
// its memory from malloc and posix_memalign rather than operator new, so the C allocator's entry
// points are interposed here and forwarded to glibc's own implementations.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstddef>

#include "vesk/numerics/rotation.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
std::atomic<long> allocation_count{0};
void* counted(void* memory) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  return memory;
}
}  // namespace

extern "C" {
void* malloc(std::size_t size) { return counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) { return counted(__libc_calloc(count, size)); }
void* realloc(void* memory, std::size_t size) { return counted(__libc_realloc(memory, size)); }
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return counted(__libc_memalign(alignment, size));
}
int posix_memalign(void** memory, std::size_t alignment, std::size_t size) {
  *memory = counted(__libc_memalign(alignment, size));
  return *memory != nullptr ? 0 : ENOMEM;
}
}

namespace vesk::numerics {
namespace {

TEST(RotationAllocations, CounterSeesAllocations) {
  const long before = allocation_count.load();
  const arma::mat heap_matrix(20, 20,
                              arma::fill::zeros);  // too large for Armadillo's local storage
  EXPECT_GT(allocation_count.load(), before);
  EXPECT_EQ(heap_matrix.n_elem, 400u);
}

TEST(RotationAllocations, NoneOfTheFourFunctionsAllocates) {
  volatile double sink = 0.0;
  const arma::vec3 axis = {0.3, -1.2, 2.0};
  const long before = allocation_count.load();
  for (int i = 0; i < 100; ++i) {
    const double angle = 0.01 * i;
    sink = sink + calc_3d_rotation_matrix_around_x(angle)(1, 2);
    sink = sink + calc_3d_rotation_matrix_around_y(angle)(0, 2);
    sink = sink + calc_3d_rotation_matrix_around_z(angle)(1, 0);
    sink = sink + calc_3d_rotation_matrix_around_axis(axis, angle)(2, 1);
  }
  EXPECT_EQ(allocation_count.load(), before);
  EXPECT_TRUE(std::isfinite(sink));
}

}  // namespace
}  // namespace vesk::numerics
