// The number of CPUs this process may use, as the worker pool counts them, and the decimal
// reader shared with the worker-count variables. No environment variables and no Python here.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kestrum {

/// An unsigned decimal number (digits, an optional leading '+'), or nothing when the text is
/// empty, holds anything else, or does not fit in size_t. Any thread.
[[nodiscard]] std::optional<std::size_t> parse_unsigned(std::string_view text);

/// The CPUs available to this process, at least 1; read anew on every call. Any thread.
///
/// On Linux, in this order: the control group's CPU quota rounded up (cgroup v2
/// "/sys/fs/cgroup/cpu.max", else v1 "cpu.cfs_quota_us" / "cpu.cfs_period_us" under
/// "/sys/fs/cgroup/cpu" or "/sys/fs/cgroup/cpu,cpuacct"), else the CPUs in the affinity
/// mask, else the online CPUs. Elsewhere: the online CPUs (sysconf), else what
/// std::thread::hardware_concurrency reports.
[[nodiscard]] std::size_t machine_cpus();

}  // namespace kestrum
