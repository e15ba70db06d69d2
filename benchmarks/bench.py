"""Measures kestrum against the tools its users would otherwise reach for.

Run from a checkout after `python -m pip install ".[bench]"`:

    python benchmarks/bench.py            # full run, prints a table
    python benchmarks/bench.py --quick    # smaller sizes, for a smoke test
    python benchmarks/bench.py --json out.json

Every peer computes the same values.  Peers marked "exact" follow kestrum's operation
order (term by term, row-major, powers by squaring, product over ascending axes, then times
the coefficient) and their results are checked bit for bit against kestrum's; Horner-based
peers (numpy.polynomial) round differently and are only timed.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

import kestrum

ROOT = os.path.dirname(os.path.abspath(__file__))


# --------------------------------------------------------------------------------------
# timing helpers


def median_seconds(fn, repeat: int, budget: float) -> float:
    """Median wall time of fn() over `repeat` runs (fewer if the budget runs out)."""
    times = []
    start = time.perf_counter()
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if time.perf_counter() - start > budget:
            break
    return statistics.median(times)


ROWS: list[dict] = []


def record(case: str, tool: str, seconds: float | None, points: int | None, note: str = "") -> None:
    ROWS.append({"case": case, "tool": tool, "seconds": seconds, "points": points, "note": note})


# --------------------------------------------------------------------------------------
# exact-order peers


def numpy_element_power(x: np.ndarray, k: int) -> np.ndarray:
    """x**k with the squaring sequence kestrum uses (lowest bit first)."""
    e = k
    p = x.copy()
    while e % 2 == 0:
        p = p * p
        e //= 2
    result = p
    e //= 2
    while e:
        p = p * p
        if e & 1:
            result = result * p
        e //= 2
    return result


def numpy_exact(coeffs: np.ndarray, points: np.ndarray) -> np.ndarray:
    """Term-by-term evaluation vectorised over the points, in kestrum's order."""
    cols = [np.ascontiguousarray(points[:, e]) for e in range(coeffs.ndim)]
    powers = [
        [None, cols[e]] + [numpy_element_power(cols[e], k) for k in range(2, coeffs.shape[e])]
        for e in range(coeffs.ndim)
    ]
    total = None
    for index in itertools.product(*(range(n) for n in coeffs.shape)):
        c = coeffs[index]
        if c == 0:
            continue
        term = None
        for e, k in enumerate(index):
            if k == 0:
                continue
            term = powers[e][k] if term is None else term * powers[e][k]
        term = np.full(len(points), c) if term is None else term * c
        total = term.copy() if total is None else total + term
    return np.zeros(len(points), coeffs.dtype) if total is None else total


def numba_kernels():
    import numba

    @numba.njit(inline="always")
    def epow(x, k):
        e = k
        p = x
        while e % 2 == 0:
            p = p * p
            e //= 2
        result = p
        e //= 2
        while e:
            p = p * p
            if e & 1:
                result = result * p
            e //= 2
        return result

    def make(parallel):
        loop = numba.prange if parallel else range

        @numba.njit(parallel=parallel, fastmath=False)
        def kernel(flat, exps, points, out):
            n = points.shape[0]
            d = points.shape[1]
            for r in loop(n):
                total = flat[0] * 0
                first = True
                for t in range(flat.shape[0]):
                    c = flat[t]
                    if c == 0:
                        continue
                    have = False
                    prod = c
                    for e in range(d):
                        k = exps[t, e]
                        if k == 0:
                            continue
                        f = points[r, e] if k == 1 else epow(points[r, e], k)
                        prod = f if not have else prod * f
                        have = True
                    term = prod * c if have else c
                    if first:
                        total = term
                        first = False
                    else:
                        total = total + term
                out[r] = total

        return kernel

    return make(False), make(True)


def exponent_table(shape) -> np.ndarray:
    return np.array(list(itertools.product(*(range(n) for n in shape))), dtype=np.int64).reshape(-1, len(shape))


# --------------------------------------------------------------------------------------
# machine limit


LIMIT_CODE = """
import json, sys, threading, time
import numba, numpy as np

@numba.njit(nogil=True, fastmath=False)
def churn(v, reps):
    a = 0.999999
    b = 1e-9
    for _ in range(reps):
        for i in range(v.shape[0]):
            y = v[i]
            y = y * a + b; y = y * a + b; y = y * a + b; y = y * a + b
            y = y * a + b; y = y * a + b; y = y * a + b; y = y * a + b
            v[i] = y

threads = int(sys.argv[1])
# Each thread's array starts 4 KiB after the previous one: no cache line is shared.
block = np.ones((threads, 512))
arrays = [block[t, :256] for t in range(threads)]
churn(arrays[0], 1)
reps = 400000  # about 30 ms per run: long enough that starting the threads does not count
best = float("inf")
for _ in range(9):
    workers = [threading.Thread(target=churn, args=(v, reps)) for v in arrays]
    t0 = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    best = min(best, time.perf_counter() - t0)
print(json.dumps(16.0 * threads * 256 * reps / best))
"""


def measured_flops(threads: int) -> float:
    """Multiply/add throughput (flops/s) of this machine: each of `threads` threads (numba code
    without the interpreter lock) runs eight dependent multiply-then-add steps (no fused
    multiply-add) on every element of its own L1-resident array, vectorised across elements,
    and the best of several runs is kept, since the limit is what the machine can reach. It runs in a fresh interpreter whose compiler is told to use the
    widest vectors the CPU has (LLVM otherwise stops at 256 bits on AVX-512 machines)."""
    import llvmlite.binding as llvm

    env = dict(os.environ, NUMBA_CPU_NAME=llvm.get_host_cpu_name(),
               NUMBA_CPU_FEATURES=llvm.get_host_cpu_features().flatten() + ",-prefer-256-bit")
    out = subprocess.run([sys.executable, "-c", LIMIT_CODE, str(threads)], env=env, capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout)


# --------------------------------------------------------------------------------------
# kestrum with a fixed worker count (in a subprocess: the pool size is read once)


def kestrum_with_workers(workers: int, shape, npts: int, repeat: int) -> float:
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    code = (
        "import sys, json, numpy as np, kestrum, time, statistics;"
        f"rng=np.random.default_rng(0);c=rng.standard_normal({tuple(shape)!r});"
        f"p=rng.uniform(-1,1,({npts},{len(shape)}));t=kestrum.ExpressionTree(c);t(p);"
        "ts=[];"
        f"exec('for _ in range({repeat}):\\n t0=time.perf_counter();t(p);ts.append(time.perf_counter()-t0)');"
        "print(json.dumps(statistics.median(ts)))"
    )
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


# --------------------------------------------------------------------------------------
# cases


def bench_dense_eval(args, flops1, flopsn, cores, numba_pair):
    rng = np.random.default_rng(1)
    shapes = [(16,), (16, 16), (8, 8, 8), (6, 6, 6, 6)]
    sizes = [10**4, 10**5] if args.quick else [10**5, 10**6]
    for shape, npts in itertools.product(shapes, sizes):
        coeffs = rng.standard_normal(shape)
        points = rng.uniform(-1.0, 1.0, (npts, len(shape)))
        case = f"eval f64 {shape} x {npts:.0e}"
        tree = kestrum.ExpressionTree(coeffs)
        expected = tree(points)
        t_k = median_seconds(lambda: tree(points), args.repeat, args.budget)
        record(case, "kestrum", t_k, npts)
        nnz = int(np.count_nonzero(coeffs))
        record(case, "limit 1 core", npts * nnz * 3 / flops1, npts, "measured mul/add rate")
        record(case, f"limit {cores} cores", npts * nnz * 3 / flopsn, npts, "measured mul/add rate")
        for workers in (1, cores):
            record(case, f"kestrum {workers} worker(s)", kestrum_with_workers(workers, shape, npts, args.repeat), npts)
        got = numpy_exact(coeffs, points)
        note = "exact" if np.array_equal(got.view(np.int64), expected.view(np.int64)) else "NOT BIT-EQUAL"
        record(case, "numpy term-by-term", median_seconds(lambda: numpy_exact(coeffs, points), 3, args.budget), npts, note)
        horner = {1: lambda: np.polynomial.polynomial.polyval(points[:, 0], coeffs),
                  2: lambda: np.polynomial.polynomial.polyval2d(points[:, 0], points[:, 1], coeffs),
                  3: lambda: np.polynomial.polynomial.polyval3d(points[:, 0], points[:, 1], points[:, 2], coeffs)}
        if len(shape) in horner:
            record(case, "numpy.polynomial Horner", median_seconds(horner[len(shape)], args.repeat, args.budget), npts,
                   "other rounding")
        if numba_pair:
            flat = coeffs.reshape(-1).copy()
            exps = exponent_table(shape)
            out = np.empty(npts)
            for name, kernel in zip(("numba exact 1 thread", "numba exact prange"), numba_pair):
                kernel(flat, exps, points, out)
                note = "exact" if np.array_equal(out.view(np.int64), expected.view(np.int64)) else "NOT BIT-EQUAL"
                record(case, name, median_seconds(lambda: kernel(flat, exps, points, out), args.repeat, args.budget), npts,
                       note)
        bench_sympy(case, coeffs, points, args)


def bench_sympy(case, coeffs, points, args):
    try:
        import sympy
    except ImportError:
        return
    start = time.perf_counter()
    xs = sympy.symbols(f"x1:{coeffs.ndim + 1}")
    expr = 0
    for index in itertools.product(*(range(n) for n in coeffs.shape)):
        term = sympy.Float(float(coeffs[index]))
        for x, k in zip(xs, index):
            term *= x**k
        expr += term
        if time.perf_counter() - start > args.budget:
            record(case, "sympy lambdify", None, len(points), "over time budget")
            return
    fn = sympy.lambdify(xs, expr, "numpy")
    cols = [points[:, e] for e in range(coeffs.ndim)]
    sample = max(1, len(points) // 100)
    t0 = time.perf_counter()
    fn(*(c[:sample] for c in cols))
    if (time.perf_counter() - t0) * len(points) / sample > args.budget:
        record(case, "sympy lambdify", None, len(points), "over time budget")
        return
    record(case, "sympy lambdify", median_seconds(lambda: fn(*cols), 3, args.budget), len(points), "other rounding")


def bench_types_and_trees(args, numba_pair):
    rng = np.random.default_rng(2)
    npts = 10**5 if args.quick else 10**6
    shape = (8, 8, 8)
    for name, coeffs, points in (
        ("c64", rng.standard_normal(shape) + 1j * rng.standard_normal(shape),
         rng.uniform(-1, 1, (npts, 3)) + 1j * rng.uniform(-1, 1, (npts, 3))),
        ("i64", rng.integers(-5, 5, shape), rng.integers(-3, 3, (npts, 3))),
    ):
        case = f"eval {name} {shape} x {npts:.0e}"
        tree = kestrum.ExpressionTree(coeffs)
        record(case, "kestrum", median_seconds(lambda: tree(points), args.repeat, args.budget), npts)
        if numba_pair:
            flat = coeffs.reshape(-1).copy()
            exps = exponent_table(shape)
            out = np.empty(npts, coeffs.dtype)
            kernel = numba_pair[1]
            kernel(flat, exps, points, out)
            record(case, "numba exact prange", median_seconds(lambda: kernel(flat, exps, points, out), args.repeat,
                                                              args.budget), npts)
    leaves = [kestrum.ExpressionTree(rng.standard_normal(shape)) for _ in range(4)]
    tree = (leaves[0] + leaves[1]) * leaves[2] - leaves[3]
    points = rng.uniform(-1, 1, (npts, 3))
    record(f"eval f64 tree (a+b)*c-d of {shape} x {npts:.0e}", "kestrum",
           median_seconds(lambda: tree(points), args.repeat, args.budget), npts)


def exact_product(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Dense product in kestrum's accumulation order: out[i + j] += a[i] * b[j]."""
    out = np.zeros(tuple(x + y - 1 for x, y in zip(a.shape, b.shape)), np.result_type(a, b))
    for i in itertools.product(*(range(n) for n in a.shape)):
        block = tuple(slice(k, k + n) for k, n in zip(i, b.shape))
        out[block] = a[i] * b + out[block]
    return out


def bench_expand(args, flops1):
    import scipy.signal

    rng = np.random.default_rng(3)
    a = rng.standard_normal((32, 32))
    b = rng.standard_normal((64, 64))
    ta, tb = kestrum.ExpressionTree(a), kestrum.ExpressionTree(b)
    prod = ta * tb
    case = "expand (32,32) x (64,64)"
    record(case, "kestrum", median_seconds(lambda: prod.expand(), args.repeat, args.budget), None)
    record(case, "limit 1 core", 2.0 * a.size * b.size / flops1, None, "measured mul/add rate")
    record(case, "numpy exact loop", median_seconds(lambda: exact_product(a, b), 3, args.budget), None)
    record(case, "scipy convolve direct",
           median_seconds(lambda: scipy.signal.convolve(a, b, method="direct"), 3, args.budget), None, "other order")
    c = rng.standard_normal((8, 8))
    tc = kestrum.ExpressionTree(c)
    power = tc * tc * tc * tc
    case = "expand (8,8)^4 as a product chain"
    record(case, "kestrum", median_seconds(lambda: power.expand(), args.repeat, args.budget), None)
    record(case, "numpy exact loop",
           median_seconds(lambda: exact_product(exact_product(exact_product(c, c), c), c), 3, args.budget), None)


def bench_derivative(args):
    rng = np.random.default_rng(4)
    npts = 10**5 if args.quick else 10**6
    coeffs = rng.standard_normal(16)
    x = rng.uniform(-1, 1, npts)
    tree = kestrum.ExpressionTree(coeffs).deriv([1])
    pts = x.reshape(-1, 1)
    case = f"deriv then eval (16,) x {npts:.0e}"
    record(case, "kestrum", median_seconds(lambda: tree(pts), args.repeat, args.budget), npts)
    P = np.polynomial.polynomial
    record(case, "numpy polyder + polyval",
           median_seconds(lambda: P.polyval(x, P.polyder(coeffs)), args.repeat, args.budget), npts, "other rounding")


def bench_calculus(args):
    """Lazy derivatives of products: the Leibniz sum over values, computed once per node and order."""
    rng = np.random.default_rng(5)
    depth, npts = (300 if args.quick else 3000), 10**4
    chain = kestrum.ExpressionTree(rng.uniform(0.9, 1.1, 3))
    for _ in range(depth - 1):
        chain = chain * kestrum.ExpressionTree(rng.uniform(0.9, 1.1, 3))
    derived = chain.deriv([2])
    pts = rng.uniform(-1, 1, (npts, 1))
    record(f"deriv([2]) of a {depth}-deep product chain x {npts:.0e}", "kestrum",
           median_seconds(lambda: derived(pts), 3, args.budget), npts)

    npts = 10**4 if args.quick else 10**5
    a = kestrum.ExpressionTree(rng.standard_normal((16, 16)))
    b = kestrum.ExpressionTree(rng.standard_normal((16, 16)))
    pts = rng.uniform(-1, 1, (npts, 2))
    case = f"deriv([0, 2]) of (16,16) * (16,16) x {npts:.0e}"
    lazy = (a * b).deriv([0, 2])
    expanded = (a * b).expand()
    record(case, "kestrum lazy", median_seconds(lambda: lazy(pts), args.repeat, args.budget), npts)
    record(case, "kestrum expanded product, no derivative", median_seconds(lambda: expanded(pts), args.repeat,
           args.budget), npts, "same tree expanded once")


MEMORY_CODE = """
import json, sys
import numpy as np, kestrum

def status(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

npts = int(sys.argv[1])
rng = np.random.default_rng(5)
tree = kestrum.ExpressionTree(rng.standard_normal((8, 8, 8)))
tree(rng.uniform(-1, 1, (20000, 3)))  # the pool and its threads exist before the baseline
points = rng.uniform(-1, 1, (npts, 3))
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as fh:
    fh.write("5")  # restart the peak (VmHWM) from the current resident size
values = tree(points)
peak = status("VmHWM")
print(json.dumps([before, peak, points.nbytes, values.nbytes]))
"""


def bench_memory(args):
    """Peak resident size while evaluating many points (Linux: the peak is restarted just
    before the call): it may grow by the result and a bounded amount per worker, never by a
    copy of the points."""
    npts = 10**6 if args.quick else 10**7
    out = subprocess.run([sys.executable, "-c", MEMORY_CODE, str(npts)], capture_output=True, text=True,
                         check=True)
    before, after, points, values = json.loads(out.stdout)
    mib = 1024.0 * 1024.0
    record(f"memory eval (8, 8, 8) x {npts:.0e}", "kestrum peak RSS", None, npts,
           f"peak grew {(after - before) / mib:.1f} MiB during the call: result {values / mib:.1f} MiB, "
           f"extra {(after - before - values) / mib:.1f} MiB (points {points / mib:.1f} MiB, not copied)")


def print_targets(rows):
    """The ratios the evaluation kernel is held to, on the (8, 8, 8) x 1e6 case."""
    case = next((r["case"] for r in rows if r["case"].startswith("eval f64 (8, 8, 8) x 1e+06")), None)
    if case is None:
        return
    t = {r["tool"]: r["seconds"] for r in rows if r["case"] == case and r["seconds"]}
    cores = max(int(k.split()[1]) for k in t if k.startswith("kestrum ") and "worker" in k)
    best = min(t["kestrum"], t[f"kestrum {cores} worker(s)"])
    print(f"\ntargets on {case}, {cores} cores:")
    checks = [
        ("numba exact prange / kestrum all cores", t.get("numba exact prange", float("nan")) / best, ">= 2"),
        ("polyval3d / kestrum all cores", t.get("numpy.polynomial Horner", float("nan")) / best, ">= 20"),
        ("kestrum all cores / limit all cores", best / t[f"limit {cores} cores"], "<= 1.5"),
        ("numba exact 1 thread / kestrum 1 worker", t.get("numba exact 1 thread", float("nan"))
         / t["kestrum 1 worker(s)"], ">= 1"),
        ("kestrum 1 worker / kestrum all cores", t["kestrum 1 worker(s)"] / t[f"kestrum {cores} worker(s)"],
         ">= 1.8"),
    ]
    e = {r["tool"]: r["seconds"] for r in rows if r["case"] == "expand (32,32) x (64,64)" and r["seconds"]}
    if "kestrum" in e and "limit 1 core" in e:
        checks.append(("expand (32,32)x(64,64) / limit 1 core", e["kestrum"] / e["limit 1 core"], "<= 2"))
    for name, value, goal in checks:
        print(f"  {name:<42} {value:8.2f}   goal {goal}")


# --------------------------------------------------------------------------------------


def print_table(rows):
    base = {r["case"]: r["seconds"] for r in rows if r["tool"] == "kestrum"}
    print(f"{'case':<36} {'tool':<26} {'median s':>10} {'points/s':>10} {'vs kestrum':>10}  note")
    for r in rows:
        s = r["seconds"]
        pps = f"{r['points'] / s:10.3g}" if s and r["points"] else " " * 10
        ratio = f"{s / base[r['case']]:10.2f}" if s and base.get(r["case"]) else " " * 10
        sec = f"{s:10.4g}" if s is not None else "       n/a"
        print(f"{r['case']:<36} {r['tool']:<26} {sec} {pps} {ratio}  {r['note']}")


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes")
    parser.add_argument("--repeat", type=int, default=7, help="timed runs per measurement")
    parser.add_argument("--budget", type=float, default=20.0, help="seconds per measurement at most")
    parser.add_argument("--json", help="also write the rows to this file")
    args = parser.parse_args()

    cores = os.cpu_count() or 1
    try:
        numba_pair = numba_kernels()
        flops1, flopsn = measured_flops(1), measured_flops(cores)
    except ImportError:
        numba_pair, flops1, flopsn = None, float("nan"), float("nan")
    machine = cpu_model()
    print(f"machine: {machine}, {cores} cores; "
          f"measured mul/add rate {flops1 / 1e9:.2f} Gflop/s on 1 core, {flopsn / 1e9:.2f} on {cores}")
    bench_dense_eval(args, flops1, flopsn, cores, numba_pair)
    bench_types_and_trees(args, numba_pair)
    bench_expand(args, flops1)
    bench_derivative(args)
    bench_calculus(args)
    bench_memory(args)
    print_table(ROWS)
    print_targets(ROWS)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"machine": machine, "cores": cores, "flops_1": flops1, "flops_all": flopsn, "rows": ROWS}, fh,
                  indent=1)


if __name__ == "__main__":
    main()
