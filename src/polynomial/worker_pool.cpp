// The process-wide worker pool: its size from the environment and the machine, indexed jobs
// with failures carried back, and a fresh pool after fork(). Never joined; no Python here.
#include "worker_pool.hpp"

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
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

/// Workers wait for a batch, claim indices one at a time under the mutex, and report each
/// finished job; the submitting thread sleeps until the last one is done. The object is
/// never destroyed: its detached threads wait on it for the life of the process.
class Pool {
 public:
  /// Calling thread only (under the creation mutex). Throws when no thread can be started.
  explicit Pool(std::size_t wanted) {
    for (std::size_t i = 0; i < wanted; ++i) {
      try {
        std::thread(&Pool::work, this).detach();
      } catch (const std::exception&) {
        // The system refused another thread: the pool works with the ones it has.
        if (threads_ == 0) internal_failure("could not start any worker thread");
        break;
      }
      ++threads_;
    }
  }

  /// Submitting thread only, one batch at a time.
  void run(std::size_t count, const std::function<void(std::size_t)>& job) {
    std::vector<std::exception_ptr> errors(count);
    std::unique_lock lock(mutex_);
    job_ = &job;
    errors_ = &errors;
    count_ = count;
    next_ = 0;
    unfinished_ = count;
    work_ready_.notify_all();
    all_done_.wait(lock, [this] { return unfinished_ == 0; });
    job_ = nullptr;
    errors_ = nullptr;
    lock.unlock();
    // Every job has finished: report the failure of the lowest index, as a serial loop would.
    for (auto& error : errors) {
      if (error) std::rethrow_exception(error);
    }
  }

 private:
  /// Worker threads only.
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [this] { return job_ != nullptr && next_ < count_; });
      const std::size_t index = next_++;
      const auto* job = job_;
      auto* errors = errors_;
      lock.unlock();
      try {
        (*job)(index);
      } catch (...) {
        (*errors)[index] = std::current_exception();  // slot `index` belongs to this job
      }
      lock.lock();
      if (--unfinished_ == 0) all_done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable all_done_;
  const std::function<void(std::size_t)>* job_ = nullptr;
  std::vector<std::exception_ptr>* errors_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  std::size_t unfinished_ = 0;
  std::size_t threads_ = 0;
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

void run_indexed(std::size_t count, const std::function<void(std::size_t)>& job) {
  Pool& pool = the_pool();
  if (count == 0) return;
  if (count == 1) {
    job(0);
    return;
  }
  pool.run(count, job);
}

}  // namespace kestrum
