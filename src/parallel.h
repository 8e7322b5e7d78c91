#ifndef VESK_NUMERICS_SRC_PARALLEL_H
#define VESK_NUMERICS_SRC_PARALLEL_H

// Independent pieces of one call (the smoothings of a search, the regions of a spectrum) shared
// among threads of that call. Each piece writes only its own result, so what comes out does not
// depend on the number of threads or on which thread took which piece. The threads belong to
// the call and end with it: nothing is kept between calls, and calls from any number of threads
// stay independent. They are started when the call first has pieces to share, and then wait
// between its pieces, since starting a thread costs as much as fitting a small region. Waiting
// first watches for the next piece for a while and only then sleeps: waking a sleeping thread
// costs tens of microseconds on a virtual machine, as much as a smoothing of the search.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk::numerics::detail {

class Workers {
 public:
  // This thread and threads - 1 more (none for 1 or less), started with the first pieces to
  // share. Threads that cannot be started leave their share to the others.
  explicit Workers(int threads) : threads_(threads > 1 ? static_cast<std::size_t>(threads) : 1) {}
  ~Workers();
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

 private:
  using Call = void (*)(const void* context, std::size_t index, std::size_t worker);
  void run(std::size_t count, Call call, const void* context);
  void take(std::size_t worker);
  void serve(std::size_t worker);

  std::size_t threads_;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable started_;
  std::condition_variable finished_;
  // The job in hand, published under the mutex with a new generation.
  Call call_ = nullptr;
  const void* context_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<unsigned long> generation_{0};
  // The last job whose pieces are all taken, and the helpers working at the job in hand.
  std::atomic<unsigned long> closed_generation_{0};
  std::atomic<std::size_t> active_helpers_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> failed_{false};
  std::atomic<bool> running_{false};
  std::exception_ptr failure_;
};

}  // namespace vesk::numerics::detail

#endif  // VESK_NUMERICS_SRC_PARALLEL_H
