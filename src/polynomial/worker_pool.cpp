// The process-wide worker pool: its size from the environment and the machine, indexed jobs
// with failures carried back, hand-over without sleeping where it can, and a fresh pool
// after fork(). Never joined; no Python here.
#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "cpu_count.hpp"
#include "eval_error.hpp"

namespace kestrum {

namespace {

// --- sizing ----------------------------------------------------------------------------------

std::optional<std::size_t> env_unsigned(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  return parse_unsigned(text);
}

// --- the pool --------------------------------------------------------------------------------
//
// Handing a batch to a thread that sleeps on another CPU costs tens of microseconds on a
// virtual machine (the wake-up is an interrupt to a CPU that the host may have to schedule
// first), several times what a batch of two chunks takes to compute. So nothing on the way
// of a batch sleeps when it need not: an idle worker polls for the next batch for a short
// while before it sleeps, claims indices with one atomic operation, and the submitter polls
// for the end of its batch, on a CPU of its own when the workers leave it one, else giving
// the processor at every poll to the worker it shares a CPU with. A submitter whose batch
// outlasts its polling sleeps, and a worker polling on the submitter's CPU wakes it from
// there, which costs a local switch instead of a remote wake-up. A worker that finds another
// one polling on its CPU moves to a CPU that has none (the scheduler would leave the two
// taking turns on one CPU). Every poll yields the processor often, so a polling thread never
// keeps a runnable one waiting for long.

/// A hint to the core that this thread is polling.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

/// The CPU this thread runs on, or -1 where the system does not say.
inline int current_cpu() noexcept {
#if defined(__linux__)
  return sched_getcpu();
#else
  return -1;
#endif
}

/// How long an idle worker polls for the next batch before it sleeps: back-to-back batches
/// (a loop of small evaluations) never wait for a wake-up, and an idle process stops using
/// CPU time soon after its last batch.
constexpr auto kWorkerPoll = std::chrono::microseconds(100);
/// How long a submitter polls for the end of its batch before it sleeps: a batch that takes
/// longer pays the wake-up, a few per cent of its time at most.
constexpr auto kSubmitterPoll = std::chrono::microseconds(1000);
/// Polls between two yields of the processor: a polling thread gives way at once to a
/// runnable thread on its CPU (the interpreter's, or a worker with a chunk).
constexpr unsigned kPollsPerYield = 16;

/// Polls until `ready()` or `limit` has passed, calling `each()` between polls. True once
/// ready.
template <class Ready, class Each>
bool poll_until(std::chrono::microseconds limit, Ready ready, Each each) {
  if (limit.count() <= 0) return ready();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
    each();
    spin_pause();
    if (i % kPollsPerYield == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return ready();
      std::this_thread::yield();
    }
  }
}

/// The CPUs the polling decisions count on: the pool's CPU count, but no more than the
/// system has online (a control group's quota may name more CPUs than exist).
std::size_t polling_cpus() {
  const std::size_t online = std::thread::hardware_concurrency();
  const std::size_t cpus = machine_cpus();
  return online > 0 && online < cpus ? online : cpus;
}

/// Workers poll briefly, then sleep on a condition variable, until a batch is published.
/// Jobs are numbered across batches: the current batch holds the numbers [start_, end_), and
/// a worker claims the next number by advancing `next_`, which only succeeds while that
/// number lies in the current batch. Finished jobs are counted down. The object is never
/// destroyed: its detached threads wait on it for the life of the process.
class Pool {
 public:
  /// Calling thread only (under the creation mutex). Throws when no thread can be started.
  explicit Pool(std::size_t wanted) : Pool(wanted, polling_cpus()) {}

  /// Submitting thread only, one batch at a time; count ≥ 2.
  void run(std::size_t count, const std::function<void(std::size_t)>& job, const std::function<void()>& meanwhile) {
    std::vector<std::exception_ptr> errors(count);
    // Every number of the previous batch is claimed, so the new batch starts at next_. Its
    // fields are published by the release of end_: a worker reads them only after it
    // claimed a number below the end_ it acquired.
    const std::uint64_t start = next_.load(std::memory_order_relaxed);
    job_.store(&job, std::memory_order_relaxed);
    errors_.store(&errors, std::memory_order_relaxed);
    start_.store(start, std::memory_order_relaxed);
    unfinished_.store(count, std::memory_order_relaxed);
    end_.store(start + count, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) > 0) {
      { std::lock_guard lock(mutex_); }  // a worker between its last check and its wait
      work_ready_.notify_all();
    }
    if (spare_cpu_) submitter_cpu_.store(current_cpu(), std::memory_order_relaxed);
    if (spare_cpu_ && meanwhile) {
      try {
        meanwhile();
      } catch (...) {
        // Only a head start for the jobs: its failure changes no value, and the caller must
        // still wait for every job before it returns.
      }
    }
    const auto done = [this] { return unfinished_.load(std::memory_order_seq_cst) == 0; };
    bool finished = false;
    if (spare_cpu_) {
      finished = poll_until(kSubmitterPoll, done, [] {});
    } else if (worker_poll_.count() > 0) {
      // A worker shares this CPU: give it the processor at every poll, so a job it holds
      // runs at once, and the end of the batch is seen without a wake-up from another CPU.
      finished = poll_until(kSubmitterPoll, done, [] { std::this_thread::yield(); });
    }
    if (!finished) {
      asleep_cpu_.store(current_cpu(), std::memory_order_relaxed);
      submitter_asleep_.store(true, std::memory_order_seq_cst);
      std::unique_lock lock(mutex_);
      all_done_.wait(lock, done);
      submitter_asleep_.store(false, std::memory_order_relaxed);
    }
    // Every job has finished: report the failure of the lowest index, as a serial loop would.
    for (auto& error : errors) {
      if (error) std::rethrow_exception(error);
    }
  }

 private:
  Pool(std::size_t wanted, std::size_t cpus)
      : spare_cpu_(wanted < cpus),
        // With more workers than CPUs, a polling worker would take turns with a computing one;
        // with one CPU, the hand-over is a local switch anyway.
        worker_poll_(wanted <= cpus && cpus >= 2 ? kWorkerPoll : std::chrono::microseconds(0)),
        tracked_(std::min(wanted, kMaxTracked)),
        worker_cpu_(new std::atomic<int>[tracked_]) {
    for (std::size_t i = 0; i < tracked_; ++i) worker_cpu_[i].store(-1, std::memory_order_relaxed);
    for (std::size_t i = 0; i < wanted; ++i) {
      try {
        std::thread(&Pool::work, this, i).detach();
      } catch (const std::exception&) {
        // The system refused another thread: the pool works with the ones it has.
        if (i == 0) internal_failure("could not start any worker thread");
        break;
      }
    }
  }

  /// Worker threads only.
  void work(std::size_t self) {
    for (;;) {
      const std::uint64_t end = end_.load(std::memory_order_seq_cst);
      std::uint64_t number = next_.load(std::memory_order_relaxed);
      if (number >= end) {
        wait_for_batch(self, end);
        continue;
      }
      // Succeeds only while `number` is unclaimed, hence in the batch that ends at `end`,
      // which cannot be replaced before this job has finished.
      if (next_.compare_exchange_weak(number, number + 1, std::memory_order_relaxed)) {
        run_job(static_cast<std::size_t>(number - start_.load(std::memory_order_relaxed)));
      }
    }
  }

  void run_job(std::size_t index) {
    const auto* job = job_.load(std::memory_order_relaxed);
    auto* errors = errors_.load(std::memory_order_relaxed);
    try {
      (*job)(index);
    } catch (...) {
      (*errors)[index] = std::current_exception();  // slot `index` belongs to this job
    }
    // Release: the submitter sees this job's writes. The last job wakes a sleeping submitter
    // unless a worker polling on the submitter's CPU will.
    if (unfinished_.fetch_sub(1, std::memory_order_seq_cst) == 1 && submitter_asleep_.load(std::memory_order_seq_cst) &&
        local_pollers_.load(std::memory_order_seq_cst) == 0) {
      wake_submitter();
    }
  }

  void wake_submitter() {
    { std::lock_guard lock(mutex_); }  // the submitter between its last check and its wait
    all_done_.notify_one();
  }

  /// Whether a finished batch still has to wake its submitter.
  bool submitter_waits() const {
    return unfinished_.load(std::memory_order_seq_cst) == 0 && submitter_asleep_.load(std::memory_order_seq_cst);
  }

  /// Moves this worker off a CPU that another worker polls on, to an allowed CPU that no
  /// worker was seen on. Two workers polling on one CPU take turns there while another CPU
  /// idles, and the scheduler leaves them together as long as neither sleeps.
  void spread(std::size_t self) {
#if defined(__linux__)
    if (self >= tracked_) return;
    const int here = current_cpu();
    worker_cpu_[self].store(here, std::memory_order_relaxed);
    bool shared = false;
    for (std::size_t i = 0; i < tracked_; ++i) {
      if (i != self && worker_cpu_[i].load(std::memory_order_relaxed) == here) shared = true;
    }
    if (!shared || here < 0) return;
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    cpu_set_t unused = allowed;
    const auto take = [&](int cpu) {
      if (cpu >= 0 && cpu < CPU_SETSIZE) CPU_CLR(cpu, &unused);
    };
    for (std::size_t i = 0; i < tracked_; ++i) take(worker_cpu_[i].load(std::memory_order_relaxed));
    if (spare_cpu_) take(submitter_cpu_.load(std::memory_order_relaxed));  // it polls there
    if (CPU_COUNT(&unused) == 0 || sched_setaffinity(0, sizeof unused, &unused) != 0) return;
    // Moved: give the mask back (a second try for a failure in between).
    if (sched_setaffinity(0, sizeof allowed, &allowed) != 0) sched_setaffinity(0, sizeof allowed, &allowed);
    worker_cpu_[self].store(current_cpu(), std::memory_order_relaxed);
#else
    (void)self;
#endif
  }

  /// Waits until a batch other than the one ending at `seen` is published: polls, then
  /// sleeps. While it polls on the CPU of a sleeping submitter, this worker wakes it once the
  /// batch is done, so the last job need not wake it from another CPU.
  void wait_for_batch(std::size_t self, std::uint64_t seen) {
    const auto published = [&] { return end_.load(std::memory_order_seq_cst) != seen; };
    bool local = false;
    bool woke = false;
    const auto leave = [&] {
      if (!local) return;
      local = false;
      local_pollers_.fetch_sub(1, std::memory_order_seq_cst);
      if (submitter_waits()) {  // a last job may have left the wake to this worker
        wake_submitter();
        woke = true;
      }
    };
    const auto each = [&] {
      if (!local && !woke && submitter_asleep_.load(std::memory_order_relaxed)) {
        const int here = current_cpu();
        if (here >= 0 && here == asleep_cpu_.load(std::memory_order_relaxed)) {
          local = true;
          local_pollers_.fetch_add(1, std::memory_order_seq_cst);
        }
      }
      if (local && submitter_waits()) leave();
    };
    if (worker_poll_.count() > 0) spread(self);
    const bool got = poll_until(worker_poll_, published, each);
    leave();
    if (got) return;
    worker_cpu_[self].store(-1, std::memory_order_relaxed);  // asleep: on no CPU
    std::unique_lock lock(mutex_);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    work_ready_.wait(lock, published);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
  }

  const bool spare_cpu_;  // fewer workers than CPUs: the submitter polls on a CPU of its own
  const std::chrono::microseconds worker_poll_;
  // The CPU of each of the first tracked_ workers, -1 while it sleeps; others are not spread.
  static constexpr std::size_t kMaxTracked = 1024;
  const std::size_t tracked_;
  const std::unique_ptr<std::atomic<int>[]> worker_cpu_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable all_done_;
  // The current batch: its job and failure slots, its job numbers [start_, end_), the next
  // number to claim, and the jobs not yet finished.
  // Three cache lines: what the submitter writes once per batch and pollers read, the
  // claims, and the count-down with who waits for it.
  alignas(64) std::atomic<const std::function<void(std::size_t)>*> job_{nullptr};
  std::atomic<std::vector<std::exception_ptr>*> errors_{nullptr};
  std::atomic<std::uint64_t> start_{0};
  std::atomic<std::uint64_t> end_{0};
  std::atomic<int> submitter_cpu_{-1};  // where a polling submitter runs
  alignas(64) std::atomic<std::uint64_t> next_{0};
  alignas(64) std::atomic<std::size_t> unfinished_{0};
  // Who sleeps: workers on work_ready_, the submitter on all_done_ (and on which CPU), and
  // how many workers poll on that CPU.
  std::atomic<std::size_t> sleepers_{0};
  std::atomic<bool> submitter_asleep_{false};
  std::atomic<int> asleep_cpu_{-1};
  std::atomic<std::size_t> local_pollers_{0};
};

// The pool pointer and its guard. A plain mutex rather than a once-flag, because a forked
// child must be able to start over; both are re-initialised in the child.
pthread_mutex_t g_pool_mutex = PTHREAD_MUTEX_INITIALIZER;
Pool* g_pool = nullptr;
bool g_atfork_registered = false;

void before_fork() noexcept { pthread_mutex_lock(&g_pool_mutex); }
void after_fork_in_parent() noexcept { pthread_mutex_unlock(&g_pool_mutex); }
/// The child has only the forking thread: the parent's workers do not exist there and its
/// pool's mutex may be held by one of them, so the old pool is abandoned, never touched.
void after_fork_in_child() noexcept {
  g_pool_mutex = PTHREAD_MUTEX_INITIALIZER;
  g_pool = nullptr;
}

class PoolLock {
 public:
  PoolLock() noexcept { pthread_mutex_lock(&g_pool_mutex); }
  ~PoolLock() { pthread_mutex_unlock(&g_pool_mutex); }
  PoolLock(const PoolLock&) = delete;
  PoolLock& operator=(const PoolLock&) = delete;
};

Pool& the_pool() {
  PoolLock lock;
  if (g_pool == nullptr) {
    if (!g_atfork_registered) {
      if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) throw std::bad_alloc();
      g_atfork_registered = true;
    }
    g_pool = new Pool(configured_thread_count());  // leaked on purpose: exit must not wait for it
  }
  return *g_pool;
}

}  // namespace

std::size_t configured_thread_count() {
  if (const auto n = env_unsigned("RAYON_NUM_THREADS")) return *n > 0 ? *n : machine_cpus();
  if (const auto n = env_unsigned("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return machine_cpus();
}

void run_indexed(std::size_t count, const std::function<void(std::size_t)>& job,
                 const std::function<void()>& meanwhile) {
  Pool& pool = the_pool();
  if (count == 0) return;
  if (count == 1) {
    job(0);
    return;
  }
  pool.run(count, job, meanwhile);
}

}  // namespace kestrum
