#ifndef VESK_PYTHON_THREADS_H
#define VESK_PYTHON_THREADS_H

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace vesk::python {

// Runs work(first, step) for first = 0 .. threads - 1 with step = threads: the first share in
// this thread, the others in threads of their own, all joined before it returns. An exception
// from any share (a failed allocation, a thread that cannot start) is passed on after the join.
template <typename Work>
void run_in_threads(std::size_t threads, const Work& work) {
  const std::size_t step = std::max<std::size_t>(threads, 1);
  std::vector<std::exception_ptr> failures(step);
  const auto share = [&](std::size_t first) {
    try {
      work(first, step);
    } catch (...) {
      failures[first] = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  try {
    for (std::size_t first = 1; first < step; ++first) pool.emplace_back(share, first);
  } catch (...) {
    failures[0] = std::current_exception();
  }
  if (!failures[0]) share(0);
  for (std::thread& thread : pool) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace vesk::python

#endif  // VESK_PYTHON_THREADS_H
