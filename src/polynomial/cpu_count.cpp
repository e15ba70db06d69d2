// The CPU count behind the worker pool's default size: control-group quota, affinity mask and
// online CPUs on Linux, the online CPUs elsewhere. The platform differences live here only.
#include "cpu_count.hpp"

#include <unistd.h>

#if defined(__linux__)
#include <sched.h>
#endif

#include <fstream>
#include <limits>
#include <string>
#include <thread>

namespace kestrum {

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

namespace {

/// The online CPUs, or 0 when the system does not say.
std::size_t online_cpus() {
#if defined(_SC_NPROCESSORS_ONLN)
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online > 0) return static_cast<std::size_t>(online);
#endif
  return std::thread::hardware_concurrency();  // 0 when unknown
}

#if defined(__linux__)

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

#endif  // __linux__

}  // namespace

std::size_t machine_cpus() {
#if defined(__linux__)
  if (const auto quota = cgroup_cpus()) return *quota;
  if (const std::size_t mask = affinity_cpus(); mask > 0) return mask;
#endif
  const std::size_t online = online_cpus();
  return online > 0 ? online : 1;
}

}  // namespace kestrum
