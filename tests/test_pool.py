"""The worker pool: its size from the environment, values independent of the worker count,
and fork safety. Each case runs in a fresh interpreter."""

import os
import shutil
import subprocess
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


def worker_threads(env, prelude="", first_batch="t(np.ones((3, 2)))", wrapper=()):
    r = run_python(COUNT_THREADS.format(prelude=prelude, first_batch=first_batch),
                   env={"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", **env}, wrapper=wrapper)
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
])
def test_worker_count_from_environment(env, workers, machine_workers):
    expected = machine_workers if workers == "cpus" else workers
    assert worker_threads(env) == expected


@pytest.fixture(scope="module")
def machine_workers():
    """The worker count with neither variable set: this machine's CPU count, whose sources
    are checked against hand-written control-group trees below."""
    return worker_threads({})


@pytest.mark.parametrize("first_batch", [
    "t(np.ones((1, 2)))",
    "t(np.ones((12000, 2)))",
    "attempt(lambda: t(np.ones((0, 2))))",
], ids=["one-chunk", "three-chunks", "no-chunk"])
def test_first_batch_starts_pool_whatever_its_size(first_batch):
    assert worker_threads({"RAYON_NUM_THREADS": "2"}, first_batch=first_batch) == 2


# The CPU count comes from the control group's quota (v2, else v1), then the affinity mask.
# Each case mounts a hand-made tree over /sys/fs/cgroup in a private mount namespace of its
# own and pins the process to one CPU, so "mask" means 1 worker and a quota of 2 or 3 wins
# over it.
ONE_CPU = "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})"


@pytest.fixture(scope="module")
def private_cgroup_mount(tmp_path_factory):
    """A command prefix that runs a command with a directory mounted over /sys/fs/cgroup,
    visible to that command only."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        pytest.skip("mounting a fake control-group tree needs root")
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("needs unshare and mount")
    prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
              'mount --bind "$0" /sys/fs/cgroup && exec "$@"']
    probe = tmp_path_factory.mktemp("probe")
    (probe / "marker").write_text("here\n")
    r = subprocess.run(prefix + [str(probe), "cat", "/sys/fs/cgroup/marker"], capture_output=True, text=True)
    if r.returncode != 0 or r.stdout != "here\n":
        pytest.skip(f"cannot mount in a private namespace here: {r.stderr.strip()}")
    return prefix


@pytest.mark.parametrize("files, workers", [
    ({"cpu.max": "150000 100000\n"}, 2),
    ({"cpu.max": "300000 100000\n"}, 3),                 # more than the machine has: kept
    ({"cpu.max": "50000 100000\n"}, 1),
    ({"cpu.max": "200000 100000\n", "cpu/cpu.cfs_quota_us": "300000\n",
      "cpu/cpu.cfs_period_us": "100000\n"}, 2),          # v2 first
    ({"cpu.max": "max 100000\n", "cpu/cpu.cfs_quota_us": "300000\n",
      "cpu/cpu.cfs_period_us": "100000\n"}, "mask"),     # v2 says no quota: v1 not read
    ({"cpu.max": "0 100000\n"}, "mask"),
    ({"cpu.max": "lots 100000\n"}, "mask"),
    ({"cpu/cpu.cfs_quota_us": "250000\n", "cpu/cpu.cfs_period_us": "100000\n"}, 3),
    ({"cpu,cpuacct/cpu.cfs_quota_us": "200000\n", "cpu,cpuacct/cpu.cfs_period_us": "100000\n"}, 2),
    ({"cpu/cpu.cfs_quota_us": "-1\n", "cpu/cpu.cfs_period_us": "100000\n"}, "mask"),
    ({"cpu/cpu.cfs_quota_us": "200000\n"}, "mask"),       # no period
    ({}, "mask"),
])
def test_worker_count_from_control_group_then_affinity(files, workers, private_cgroup_mount, tmp_path):
    root = tmp_path / "cgroup"
    root.mkdir()
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    started = worker_threads({}, prelude=ONE_CPU, wrapper=private_cgroup_mount + [str(root)])
    assert started == (1 if workers == "mask" else workers)


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


BACK_TO_BACK = """
    import time, numpy as np
    from kestrum import ExpressionTree
    rng = np.random.default_rng(5)
    t = ExpressionTree(rng.standard_normal((5, 4)))
    points = rng.uniform(-1, 1, (23001, 2))
    # Each piece of at most 5000 rows is one chunk, evaluated on the calling thread.
    want = np.concatenate([t(points[i:i + 5000]) for i in range(0, len(points), 5000)]).view(np.int64)
    gaps = [0, 0, 0, 2e-5, 3e-4, 2e-3]  # back to back, within and past the workers' polling
    for k in range(1500):
        rows = [5001, 10000, 12001, 23001, 15000][k % 5]
        got = t(points[:rows]).view(np.int64)
        if not np.array_equal(got, want[:rows]):
            raise SystemExit(f"batch {{k}} of {{rows}} rows differs")
        if gaps[k % 6]:
            time.sleep(gaps[k % 6])
    print("ok")
"""


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_batches_in_quick_succession_keep_every_value(threads):
    # Batches handed over while workers poll, while they fall asleep and after: every chunk
    # is evaluated exactly once, into its own rows, whatever worker claims it.
    r = run_python(BACK_TO_BACK, env={"RAYON_NUM_THREADS": threads}, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


LARGE_BATCH = """
    import numpy as np
    from kestrum import ExpressionTree
    rng = np.random.default_rng(6)
    t = ExpressionTree(rng.standard_normal(12))
    points = rng.uniform(-1, 1, (700001, 1))  # a result of 5.6 MB, faulted in ahead of the workers
    for _ in range(3):
        got = t(points).view(np.int64)
        want = np.concatenate([t(points[i:i + 5000]) for i in range(0, len(points), 5000)]).view(np.int64)
        if not np.array_equal(got, want):
            raise SystemExit("large batch differs")
    print("ok")
"""


@pytest.mark.parametrize("threads", ["1", "2"])
def test_large_batch_keeps_every_value(threads):
    r = run_python(LARGE_BATCH, env={"RAYON_NUM_THREADS": threads})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


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
