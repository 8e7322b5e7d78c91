#ifndef VESK_NUMERICS_SRC_PARALLEL_H
#define VESK_NUMERICS_SRC_PARALLEL_H

// Independent pieces of one call (the smoothings of a search, the regions of a spectrum) shared
// among threads. Each piece writes only its own result, so what comes out does not depend on the
// number of threads or on which thread took which piece.
//
// The helper threads belong to the thread that calls, not to the call: starting a thread and
// joining it cost 100 to 150 us on a virtual machine, as much as fitting a few regions, and a
// spectrum's fit takes a few milliseconds. A calling thread's helpers are started when one of
// its calls first has pieces to share, wait asleep between its calls, and end when it ends.
// Nothing is shared between calling threads, so calls from any number of threads stay
// independent. A process forked from one that had helpers starts helpers of its own. Waiting
// first watches for the next piece for a while and only then sleeps: waking a sleeping thread
// costs tens of microseconds, as much as a smoothing of the search.

#include <cstddef>

namespace vesk::numerics::detail {

class Workers {
 public:
  // This thread and threads - 1 helpers (none for 1 or less). Helpers that cannot be started
  // leave their share to the others.
  explicit Workers(int threads) : threads_(threads > 1 ? static_cast<std::size_t>(threads) : 1) {}
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // How many threads share the work, this one included.
  std::size_t size() const { return threads_; }

  // Calls work(i, worker) once for every i in [0, count), each thread taking the next index
  // that none has taken; `worker`, below size(), tells which thread runs the call, for buffers
  // of its own. Returns when every call has returned; the first exception thrown is passed on
  // then, and no index is started after it. Called again from within `work`, it runs its
  // pieces in the calling thread.
  template <typename Work>
  void for_each_index(std::size_t count, const Work& work) {
    run(
        count,
        [](const void* context, std::size_t i, std::size_t worker) {
          (*static_cast<const Work*>(context))(i, worker);
        },
        &work);
  }

  using Call = void (*)(const void* context, std::size_t index, std::size_t worker);

 private:
  void run(std::size_t count, Call call, const void* context);

  std::size_t threads_;
};

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_PARALLEL_H
