#include "parallel.h"

#include <sched.h>

#include <chrono>

namespace vesk::numerics::detail {

namespace {

// Which worker of the running job this thread is: pieces that share work again from within a
// piece run in their thread, with its buffers.
thread_local std::size_t current_worker = 0;

// How long a thread watches for what it waits for before it sleeps: longer than the gaps
// between the pieces of one fit, short against the fit itself. A thread that slept may be woken
// on the processor of the thread that woke it, and wait there for milliseconds.
constexpr std::chrono::microseconds kWatchTime{2000};

// Whether `done` came true while watching it for kWatchTime. The watching thread yields between
// looks, so that it never holds up a thread that shares its processor.
template <typename Done>
bool watch(const Done& done) {
  const auto until = std::chrono::steady_clock::now() + kWatchTime;
  do {
    if (done()) return true;
    std::this_thread::yield();
  } while (std::chrono::steady_clock::now() < until);
  return done();
}

// Keeps the calling helper off the processor `caller` of the thread that started it, where there
// is another: the scheduler may start a thread beside the one that started it and leave it
// waiting there, while another processor idles, for the whole of a fit. The helper may still run
// on any other processor the process may use; where this cannot be done, it simply runs where
// the scheduler puts it. The helper does it itself, so that its caller does not wait for it.
void keep_off_processor(int caller) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (caller < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
      CPU_COUNT(&allowed) < 2 || !CPU_ISSET(caller, &allowed)) {
    return;
  }
  CPU_CLR(caller, &allowed);
  sched_setaffinity(0, sizeof allowed, &allowed);
}

}  // namespace

Workers::~Workers() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  started_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void Workers::take(std::size_t worker) {
  current_worker = worker;
  try {
    for (std::size_t i = next_++; i < count_ && !failed_; i = next_++) call_(context_, i, worker);
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
    failed_ = true;
  }
}

void Workers::serve(std::size_t worker) {
  unsigned long seen = 0;
  for (;;) {
    const auto called = [&] { return stopping_ || generation_ != seen; };
    if (!watch(called)) {
      std::unique_lock<std::mutex> lock(mutex_);
      started_.wait(lock, called);
    }
    if (stopping_) return;
    seen = generation_;
    // A helper that comes after the caller has closed the job leaves it: every piece is done.
    // Joining first and then looking, while the caller closes first and then looks for helpers
    // that joined, one of the two always sees the other.
    ++active_helpers_;
    if (closed_generation_ < seen) take(worker);
    if (--active_helpers_ == 0) {
      // Under the mutex, so that the caller cannot miss the news between its test and its sleep.
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_.notify_one();
    }
  }
}

void Workers::run(std::size_t count, Call call, const void* context) {
  bool idle = false;
  if (threads_ < 2 || count < 2 || !running_.compare_exchange_strong(idle, true)) {
    for (std::size_t i = 0; i < count; ++i) call(context, i, current_worker);
    return;
  }
  for (std::size_t helper = helpers_.size() + 1; helper < threads_; ++helper) {
    try {
      const int caller = sched_getcpu();
      helpers_.emplace_back([this, helper, caller] {
        keep_off_processor(caller);
        serve(helper);
      });
    } catch (...) {
      threads_ = helper;  // no more threads to be had
    }
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    call_ = call;
    context_ = context;
    count_ = count;
    next_ = 0;
    failed_ = false;
    failure_ = nullptr;
    ++generation_;
  }
  started_.notify_all();
  take(0);
  // Every piece is taken: the caller waits only for helpers still at one, not for those that
  // have yet to wake, which would find nothing left to do.
  closed_generation_ = generation_.load();
  std::exception_ptr failure;
  {
    const auto finished = [&] { return active_helpers_ == 0; };
    if (!watch(finished)) {
      std::unique_lock<std::mutex> lock(mutex_);
      finished_.wait(lock, finished);
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    failure = failure_;
  }
  running_ = false;
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vesk::numerics::detail
