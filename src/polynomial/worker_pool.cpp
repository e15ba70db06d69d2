// The process-wide worker pool: its size from the environment and the machine, indexed jobs
// with failures carried back, and a fresh pool after fork(). Never joined; no Python here.
#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "eval_error.hpp"

namespace kestrum {

namespace {

// --- sizing ----------------------------------------------------------------------------------

/// An unsigned decimal number (digits, an optional leading '+'), or nothing when the text is
/// empty, holds anything else, or does not fit in size_t.
std::optional<std::size_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(ch - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::size_t> env_unsigned(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr) return std::nullopt;
  return parse_unsigned(text);
}

/// Reads the first whitespace-separated word of a file; empty when unreadable.
std::string first_word(const char* path) {
  std::ifstream in(path);
  std::string word;
  if (in) in >> word;
  return word;
}

std::optional<long long> parse_signed(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::string_view digits = text;
  const bool negative = digits.front() == '-';
  if (negative) digits.remove_prefix(1);
  const auto magnitude = parse_unsigned(digits);
  if (!magnitude || *magnitude > static_cast<std::size_t>(std::numeric_limits<long long>::max())) return std::nullopt;
  const auto value = static_cast<long long>(*magnitude);
  return negative ? -value : value;
}

/// ⌈quota / period⌉ when both are positive.
std::optional<std::size_t> quota_cpus(std::optional<long long> quota, std::optional<long long> period) {
  if (!quota || !period || *quota <= 0 || *period <= 0) return std::nullopt;
  const auto q = static_cast<unsigned long long>(*quota);
  const auto p = static_cast<unsigned long long>(*period);
  return static_cast<std::size_t>(q / p + (q % p != 0 ? 1 : 0));
}

/// The control group's CPU quota rounded up, when one is set (v2 first, then v1).
std::optional<std::size_t> cgroup_cpus() {
  {
    // cgroup v2: "max 100000" (no quota) or "<quota> <period>".
    std::ifstream in("/sys/fs/cgroup/cpu.max");
    std::string quota, period;
    if (in >> quota >> period) {
      if (quota == "max") return std::nullopt;
      return quota_cpus(parse_signed(quota), parse_signed(period));
    }
  }
  // cgroup v1: a quota of -1 means none.
  for (const char* dir : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    const std::string base = dir;
    const auto quota = parse_signed(first_word((base + "/cpu.cfs_quota_us").c_str()));
    const auto period = parse_signed(first_word((base + "/cpu.cfs_period_us").c_str()));
    if (quota && period) return quota_cpus(quota, period);
  }
  return std::nullopt;
}

std::size_t affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
  return static_cast<std::size_t>(CPU_COUNT(&set));
}

std::size_t machine_cpus() {
  if (const auto quota = cgroup_cpus()) return *quota;
  if (const std::size_t mask = affinity_cpus(); mask > 0) return mask;
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
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
