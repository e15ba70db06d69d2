// The process-wide worker pool behind batch evaluation: sizing from the environment,
// indexed jobs, failures carried back, and a fresh pool in a forked child. No Python here.
#pragma once

#include <cstddef>
#include <functional>

namespace kestrum {

/// Runs job(i) for every i in [0, count) and returns when all are done. Creates the pool on
/// first use (even for count 0 or 1). With count == 1 the job runs on the calling thread;
/// with count ≥ 2 the jobs run on the workers while the caller blocks. Job i must write
/// only its own slot i. If jobs throw, the exception of the lowest index is rethrown on the
/// calling thread after every job has finished. Called from one thread at a time (the
/// Python entry holds the interpreter lock); must not be called from a worker.
///
/// `meanwhile`, when given, runs on the calling thread once the jobs are handed out, and only
/// when the workers leave that thread a CPU of its own (fewer workers than CPUs); it must not
/// change what any job reads or writes.
void run_indexed(std::size_t count, const std::function<void(std::size_t)>& job,
                 const std::function<void()>& meanwhile = {});

/// The worker count the environment and machine give now (no pool is created): from
/// "RAYON_NUM_THREADS", then "RAYON_RS_NUM_CPUS", then machine_cpus() (cpu_count.hpp);
/// at least 1.
[[nodiscard]] std::size_t configured_thread_count();

}  // namespace kestrum
