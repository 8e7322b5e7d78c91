#include "parallel.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vesk::numerics::detail {

namespace {

// Which worker of the running job this thread is: pieces that share work again from within a
// piece run in their thread, with its buffers.
thread_local std::size_t current_worker = 0;
// Whether this thread is running a piece: pieces that share work again run it themselves.
thread_local bool inside_piece = false;

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

// The helpers of one calling thread, and the job they share.
class Team {
 public:
  Team() : process_(getpid()) {}
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  // The process whose threads these helpers are.
  pid_t process() const { return process_; }

  // Runs call(context, i, worker) for every i in [0, count) with at most `helpers` helpers.
  void run(std::size_t count, std::size_t helpers, Workers::Call call, const void* context);

 private:
  std::size_t start_helpers(std::size_t wanted);
  void take(std::size_t worker);
  void serve(std::size_t worker);

  pid_t process_;
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable started_;
  std::condition_variable finished_;
  // The job in hand, published under the mutex with a new generation: helpers numbered up to
  // `participants_` share it.
  Workers::Call call_ = nullptr;
  const void* context_ = nullptr;
  std::size_t count_ = 0;
  std::size_t participants_ = 0;
  std::atomic<unsigned long> generation_{0};
  // The last job whose pieces are all taken, and the helpers working at the job in hand.
  std::atomic<unsigned long> closed_generation_{0};
  std::atomic<std::size_t> active_helpers_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr failure_;
};

Team::~Team() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  started_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

std::size_t Team::start_helpers(std::size_t wanted) {
  while (helpers_.size() < wanted) {
    const std::size_t helper = helpers_.size() + 1;
    const int caller = sched_getcpu();
    try {
      helpers_.emplace_back([this, helper, caller] {
        keep_off_processor(caller);
        serve(helper);
      });
    } catch (...) {
      break;  // no more threads to be had
    }
  }
  return std::min(wanted, helpers_.size());
}

void Team::take(std::size_t worker) {
  current_worker = worker;
  inside_piece = true;
  try {
    for (std::size_t i = next_++; i < count_ && !failed_; i = next_++) call_(context_, i, worker);
  } catch (...) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_) failure_ = std::current_exception();
    failed_ = true;
  }
  inside_piece = false;
}

void Team::serve(std::size_t worker) {
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
    if (closed_generation_ < seen && worker <= participants_) take(worker);
    if (--active_helpers_ == 0) {
      // Under the mutex, so that the caller cannot miss the news between its test and its sleep.
      const std::lock_guard<std::mutex> lock(mutex_);
      finished_.notify_one();
    }
  }
}

void Team::run(std::size_t count, std::size_t helpers, Workers::Call call, const void* context) {
  const std::size_t participants = start_helpers(helpers);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    call_ = call;
    context_ = context;
    count_ = count;
    participants_ = participants;
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
  if (failure) std::rethrow_exception(failure);
}

// The team of the thread that holds it, made when first needed. A process forked from one with
// helpers has a copy of the team but none of its threads, and perhaps a copy of a mutex that one
// of them held: it leaves the copy alone and makes a team of its own.
class TeamOfThisThread {
 public:
  TeamOfThisThread() = default;
  TeamOfThisThread(const TeamOfThisThread&) = delete;
  TeamOfThisThread& operator=(const TeamOfThisThread&) = delete;
  ~TeamOfThisThread() { leave_if_inherited(); }

  Team& get() {
    leave_if_inherited();
    if (!team_) team_ = std::make_unique<Team>();
    return *team_;
  }

 private:
  void leave_if_inherited() {
    if (team_ && team_->process() != getpid()) static_cast<void>(team_.release());
  }

  std::unique_ptr<Team> team_;
};

thread_local TeamOfThisThread team_of_this_thread;

}  // namespace

void Workers::run(std::size_t count, Call call, const void* context) {
  if (threads_ < 2 || count < 2 || inside_piece) {
    for (std::size_t i = 0; i < count; ++i) call(context, i, current_worker);
    return;
  }
  team_of_this_thread.get().run(count, threads_ - 1, call, context);
}

}  // namespace vesk::numerics::detail
