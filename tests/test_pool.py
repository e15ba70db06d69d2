"""The worker pool: its size from the environment, values independent of the worker count,
and fork safety. Each case runs in a fresh interpreter."""

import math
import os
import textwrap

import pytest

from conftest import run_python

COUNT_THREADS = """
    import os, numpy as np
    from kestrum import ExpressionTree
    def threads():
        return len(os.listdir('/proc/self/task'))
    def attempt(call):
        try:
            call()
        except ValueError:
            pass
    {prelude}
    t = ExpressionTree(np.arange(6.0).reshape(2, 3))
    t(np.ones(2))                       # a single point never starts the pool
    before = threads()
    {first_batch}
    after = threads()
    t(np.ones((12000, 2)))              # later batches reuse the same workers
    print(after - before, threads() - after)
"""


def cpu_quota():
    """The control group's CPU quota in CPUs (rounded up), or None when there is none."""
    try:
        lines = open("/proc/self/cgroup").read().splitlines()
    except OSError:
        return None
    for line in lines:
        _, controllers, path = line.split(":", 2)
        if controllers == "":
            candidates = [(f"/sys/fs/cgroup{path}/cpu.max", None)]
        elif "cpu" in controllers.split(","):
            base = f"/sys/fs/cgroup/{controllers}{path}"
            candidates = [(f"{base}/cpu.cfs_quota_us", f"{base}/cpu.cfs_period_us"),
                          (f"/sys/fs/cgroup/cpu{path}/cpu.cfs_quota_us",
                           f"/sys/fs/cgroup/cpu{path}/cpu.cfs_period_us")]
        else:
            continue
        for quota_file, period_file in candidates:
            try:
                if period_file is None:
                    quota, period = open(quota_file).read().split()
                else:
                    quota, period = open(quota_file).read().strip(), open(period_file).read().strip()
            except (OSError, ValueError):
                continue
            if quota not in ("max", "-1") and int(quota) > 0:
                return max(1, math.ceil(int(quota) / int(period)))
    return None


def cpu_count():
    quota = cpu_quota()
    return quota if quota is not None else len(os.sched_getaffinity(0))


def worker_threads(env, prelude="", first_batch="t(np.ones((3, 2)))"):
    r = run_python(COUNT_THREADS.format(prelude=prelude, first_batch=first_batch),
                   env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", **env})
    assert r.returncode == 0, r.stderr
    started, later = map(int, r.stdout.split())
    assert later == 0
    return started


@pytest.mark.parametrize("env, workers", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "2"}, 5),
    ({"RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "cpus"),   # 0 means the CPU count
    ({"RAYON_RS_NUM_CPUS": "0"}, "cpus"),
    ({"RAYON_RS_NUM_CPUS": "two"}, "cpus"),
    ({}, "cpus"),
])
def test_worker_count_from_environment(env, workers):
    expected = cpu_count() if workers == "cpus" else workers
    assert worker_threads(env) == expected


@pytest.mark.parametrize("first_batch", [
    "t(np.ones((1, 2)))",
    "t(np.ones((12000, 2)))",
    "attempt(lambda: t(np.ones((0, 2))))",
], ids=["one-chunk", "three-chunks", "no-chunk"])
def test_first_batch_starts_pool_whatever_its_size(first_batch):
    assert worker_threads({"RAYON_NUM_THREADS": "2"}, first_batch=first_batch) == 2


@pytest.mark.skipif(cpu_quota() is not None or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two CPUs and no control-group quota")
def test_worker_count_follows_affinity_mask():
    prelude = "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})"
    assert worker_threads({}, prelude=prelude) == 1


VALUES = """
    import hashlib, sys, numpy as np
    sys.path.insert(0, {tests!r})
    from conftest import random_twin, random_points
    rng = np.random.default_rng(99)
    digest = hashlib.sha256()
    for kind in ("i64", "f64", "c64"):
        t, m, _ = random_twin(rng, kind, 2, depth=3)
        for rows in (12001, 5000, 3):
            digest.update(t(random_points(rng, (rows,), 2, m.kind)).tobytes())
    print(digest.hexdigest())
"""


def test_values_do_not_depend_on_worker_count():
    tests = os.path.dirname(__file__)
    digests = set()
    for n in ("1", "2", "7"):
        r = run_python(VALUES.format(tests=tests), env={"RAYON_NUM_THREADS": n})
        assert r.returncode == 0, r.stderr
        digests.add(r.stdout.strip())
    assert len(digests) == 1


FORK = """
    import os, sys, time, numpy as np
    from kestrum import ExpressionTree
    t = ExpressionTree(np.arange(6.0).reshape(2, 3))
    pts = np.random.default_rng(0).uniform(-1, 1, (12000, 2))
    want = t(pts).view(np.int64)        # the pool exists and has run jobs

    def child_job(_=None):
        return bool(np.array_equal(t(pts).view(np.int64), want))

{body}
    print("ok" if np.array_equal(t(pts).view(np.int64), want) else "parent-wrong")
"""

OS_FORK = """
    pid = os.fork()
    if pid == 0:
        os._exit(0 if child_job() else 3)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            sys.exit("child hung")
        time.sleep(0.02)
    if os.WIFSIGNALED(status) or os.WEXITSTATUS(status) != 0:
        sys.exit(f"child failed: {status}")
"""

MP_FORK = """
    import multiprocessing
    with multiprocessing.get_context("fork").Pool(2) as workers:
        results = workers.map_async(child_job, range(4)).get(timeout=60)
    if results != [True] * 4:
        sys.exit(f"children: {results}")
"""


@pytest.mark.parametrize("body", [OS_FORK, MP_FORK], ids=["os.fork", "multiprocessing"])
@pytest.mark.parametrize("threads", ["1", "3"])
def test_fork_after_evaluation_does_not_deadlock(body, threads):
    code = FORK.format(body=textwrap.indent(textwrap.dedent(body), "    "))
    r = run_python(code, env={"RAYON_NUM_THREADS": threads}, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_idle_workers_use_no_cpu_after_a_short_grace():
    # Workers poll for a moment after a batch, then sleep: half a second later, the whole
    # process (workers included) uses almost no CPU while the main thread sleeps.
    r = run_python("""
        import time, resource
        import numpy as np
        from kestrum import ExpressionTree
        t = ExpressionTree(np.arange(16.0))
        points = np.ones((40000, 1))
        for _ in range(50):
            t(points)
        time.sleep(0.1)
        before = resource.getrusage(resource.RUSAGE_SELF)
        time.sleep(0.5)
        after = resource.getrusage(resource.RUSAGE_SELF)
        print((after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime))
    """)
    assert r.returncode == 0, r.stderr
    assert float(r.stdout) < 0.05
