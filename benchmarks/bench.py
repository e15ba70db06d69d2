"""Measures kestrum against the machine limit of each case and, optionally, against peers.

Run from a checkout with kestrum installed:

    python benchmarks/bench.py                 # full run (a couple of minutes), prints a table
    python benchmarks/bench.py --quick         # smaller sizes, a smoke test of well under a minute
    python benchmarks/bench.py --peers         # also time numpy / numba / sympy / scipy peers
    python benchmarks/bench.py --json out.json # also write the rows and the machine figures
    python benchmarks/bench.py --module-dir build/other   # import kestrum from there first

The limit of a case is the longest of its floors: its exact count of floating-point operations
(see operation_count) at the multiply/add rate this machine reaches with separate multiplies
and adds in its widest vectors, measured in this run by a small native kernel; its multiplies
alone at the rate the same kernel reaches with multiplies only, and its adds alone at the
add-only rate (on cores whose multiplies and adds have vector pipes of their own, a case with
two multiplies per add is bound by the multiply pipes); and the time to read the points and
write the values at the copy bandwidth measured in this run.  The rates are the best the run
saw (at the start and in every probe), since the limit is what the machine can reach.  The
ratio is kestrum's median time over that limit ("best": its fastest run over it; "1:1": its
median over the first and the last floor only, as if any mix ran at the mixed rate).  Each
kestrum row runs in a fresh interpreter whose worker pool has a fixed size
(RAYON_NUM_THREADS, read once per process).  A row is marked "throttled" when a short
rate probe on as many cores as it uses, run in that interpreter just before the timing,
reaches less than 85% of that many times the one-core rate: on a shared machine, or with a
slowed core, such a row says more about the machine than about kestrum.

Peers marked "exact" follow kestrum's operation order (term by term, row-major, powers by
squaring, product over ascending axes, then times the coefficient) and are checked bit for
bit; Horner-based peers (numpy.polynomial) round differently and are only timed.
"""

from __future__ import annotations

import argparse
import ctypes
import itertools
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

BENCH = os.path.abspath(__file__)
kestrum = None  # imported by load_kestrum, after --module-dir has been applied

THROTTLE_SHARE = 0.85  # an all-core probe below this share of cores × one-core rate is throttled
PIPE_TOLERANCE = 0.02  # a multiply-only or add-only floor this close to the mixed one is not its own


# --------------------------------------------------------------------------------------
# operation counts


def eval_operation_counts(shape, nonzero=None) -> dict:
    """Floating-point operations per point of one evaluation of a coefficient array of
    `shape` (whose non-zero coefficients are `nonzero`, all by default), as kestrum's vector
    kernel performs them.  Every operation below is one element operation per point:

    * Powers: a power table row per distinct exponent k >= 2 of each axis, one multiply each.
      x^(2^j) = x^(2^(j-1)) * x^(2^(j-1)), and any other k is x^(k - 2^h) * x^(2^h) with 2^h
      its highest bit, which is the squaring sequence of the element power with the
      intermediate powers shared between exponents.  The exponents that need rows are those
      of the leading factors of the groups below and the last-axis exponents of their
      terms, closed under that recursion; a dense axis of length L costs max(L - 2, 0).
      x^1 is the coordinate and x^0 is no factor at all.
    * Groups: the terms sharing the exponents of every axis but the last, in row-major
      order, each group with at least one non-zero coefficient.  Its lead is the product of
      its m non-zero leading factors in ascending axis order: m = 0 no lead, m = 1 the factor
      itself, m >= 2 one multiply per group (the last factor joins in registers) after the
      shared prefix rows: one multiply per distinct product of the first j factors,
      2 <= j < m, shared by every group that starts with those factors.
    * Terms: with a lead, (lead * x_last^k) * c for k >= 1 (two multiplies) and lead * c for
      k = 0 (one); without, x_last^k * c (one) and c itself (none).  Every term is then added
      to the sum, the first one included: the sum starts at -0.0, which the first term
      replaces exactly.

    Worked examples: (16,) is 14 power multiplies + 15 coefficient multiplies + 16 adds = 45
    (against 3 per term, 48); (8, 8, 8) is 18 power multiplies (6 per axis), 49 lead
    multiplies (the groups with both leading exponents non-zero), 952 term multiplies (7 in
    the lead-free group, 15 in each of the other 63) and 512 adds, 1531 in all; (6, 6, 6, 6)
    adds 25 shared prefix rows (x1^i * x2^j, i, j >= 1) and comes to 3907.  --json lists the
    parts for every shape of the run.  Not counted: loads, broadcasts of
    the coefficients, the gathering of the coordinates into columns, and the padding lanes
    of the last partial vector block of each 5000-row chunk (64 points per block for f64
    with AVX-512, so at most 63 lanes per chunk, about 1%).
    """
    shape = tuple(int(s) for s in shape)
    n = len(shape)
    counts = {"power_mul": 0, "prefix_mul": 0, "lead_mul": 0, "term_mul": 0, "add": 0}
    nonzero = np.ones(shape, bool) if nonzero is None else np.asarray(nonzero, bool)
    if n == 0 or not nonzero.any():
        return counts  # a constant or zero: values are filled, nothing is computed
    rows = [set() for _ in range(n)]  # exponents >= 2 with a product row, per axis

    def need(axis: int, k: int) -> None:
        if k <= 1 or k in rows[axis]:
            return
        high = 1 << (k.bit_length() - 1)
        if high == k:
            need(axis, k // 2)
        else:
            need(axis, k - high)
            need(axis, high)
        rows[axis].add(k)

    prefixes = set()
    for lead in itertools.product(*(range(s) for s in shape[:-1])):
        line = nonzero[lead]
        terms = [k for k in range(1, shape[-1]) if line[k]]
        if not line[0] and not terms:
            continue
        factors = [(e, k) for e, k in enumerate(lead) if k]
        for e, k in factors:
            need(e, k)
        for k in terms:
            need(n - 1, k)
        for j in range(2, len(factors)):
            prefixes.add(tuple(factors[:j]))
        has_lead = len(factors) >= 1
        counts["lead_mul"] += len(factors) >= 2
        if line[0]:
            counts["term_mul"] += has_lead
            counts["add"] += 1
        counts["term_mul"] += len(terms) * (2 if has_lead else 1)
        counts["add"] += len(terms)
    counts["power_mul"] = sum(len(r) for r in rows)
    counts["prefix_mul"] = len(prefixes)
    return counts


def operation_count(shape, nonzero=None) -> int:
    """f64 flops per point: every multiply and add of eval_operation_counts is one flop."""
    return sum(eval_operation_counts(shape, nonzero).values())


def multiplies_and_adds(shape, nonzero=None) -> tuple[int, int]:
    """The multiplies and the adds of eval_operation_counts."""
    c = eval_operation_counts(shape, nonzero)
    return c["power_mul"] + c["prefix_mul"] + c["lead_mul"] + c["term_mul"], c["add"]


def multiply_share(shape, nonzero=None, dtype: str = "f64") -> float:
    """The share of a point's flops (operation_count or operation_count_c64) that are
    multiplies."""
    muls, adds = multiplies_and_adds(shape, nonzero)
    if dtype == "c64":
        return 4 * muls / (6 * muls + 2 * adds)
    return muls / (muls + adds)


def operation_count_c64(shape, nonzero=None) -> int:
    """c64 flops per point.  A c64 evaluation works on c64 points (real points are widened
    before the kernel sees them) and c64 coefficients, so every multiply of
    eval_operation_counts is a full complex product (4 multiplies and 2 adds:
    re*re - im*im, re*im + im*re) and every add is 2 adds."""
    muls, adds = multiplies_and_adds(shape, nonzero)
    return 6 * muls + 2 * adds


def product_operation_count(a_shape, b_shape) -> int:
    """f64 flops of a dense product: every coefficient pair is one multiply and one add
    (out := a_i * b_j + out).  The wide-vector kernel also computes lanes that fall outside
    a b line and selects them away; those are not counted (see overhang_share)."""
    return 2 * int(np.prod(a_shape)) * int(np.prod(b_shape))


def overhang_share(a_run: int, b_run: int, lanes: int = 8) -> float:
    """Lane operations the wide-vector product performs per useful multiply-add for one pair
    of lines of lengths a_run (a) and b_run (b): each out vector at u0 takes every a
    coefficient i with u0 - b_run < i < u0 + lanes, on all lanes."""
    out_run = a_run + b_run - 1
    done = 0
    for u0 in range(0, out_run, lanes):
        lo = max(0, u0 + 1 - b_run)
        hi = min(u0 + lanes, a_run)
        done += max(0, hi - lo) * lanes
    return done / (a_run * b_run)


# --------------------------------------------------------------------------------------
# machine rate: a native kernel compiled for this CPU


NATIVE_SOURCE = r"""
#include <pthread.h>
#include <stddef.h>
#include <string.h>
#include <time.h>

/* The widest vectors the compiler was told the CPU has (-march=native). */
#if defined(__AVX512F__)
#define VEC_BYTES 64
#elif defined(__AVX__)
#define VEC_BYTES 32
#else
#define VEC_BYTES 16
#endif
/* 16 independent chains of dependent multiply-then-add: enough in flight to cover the
   latency of both on two vector ports, few enough to stay in registers. */
#define CHAINS 16
#define MAX_THREADS 256
typedef double vec __attribute__((vector_size(VEC_BYTES)));

int vector_bytes(void) { return VEC_BYTES; }

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

struct job { long reps; int mode; double a, b, sink; const char* src; char* dst; size_t bytes; };

/* Mode 0: y := y * a + b; mode 1: y := y * a; mode 2: y := y + b, with a and b known only at
   run time (a = b = 0.5 in mode 0, a = 1 in mode 1 and b = 0 in mode 2 keep y = 1 exactly, so
   no value drifts toward subnormals); -ffp-contract=off keeps the multiply and the add
   apart.  Modes 1 and 2 show whether multiplies and adds have vector pipes of their own. */
static void* churn(void* arg) {
  struct job* j = arg;
  const vec va = (vec){} + j->a, vb = (vec){} + j->b;
  vec acc[CHAINS];
  for (int i = 0; i < CHAINS; ++i) acc[i] = (vec){} + 1.0;
  if (j->mode == 1) {
    for (long r = 0; r < j->reps; ++r) {
#pragma GCC unroll 16
      for (int i = 0; i < CHAINS; ++i) acc[i] = acc[i] * va;
    }
  } else if (j->mode == 2) {
    for (long r = 0; r < j->reps; ++r) {
#pragma GCC unroll 16
      for (int i = 0; i < CHAINS; ++i) acc[i] = acc[i] + vb;
    }
  } else {
    for (long r = 0; r < j->reps; ++r) {
#pragma GCC unroll 16
      for (int i = 0; i < CHAINS; ++i) acc[i] = acc[i] * va + vb;
    }
  }
  double s = 0.0;
  for (int i = 0; i < CHAINS; ++i)
    for (int w = 0; w < VEC_BYTES / 8; ++w) s += acc[i][w];
  j->sink = s;
  return NULL;
}

static void* copy_part(void* arg) {
  struct job* j = arg;
  memcpy(j->dst, j->src, j->bytes);
  return NULL;
}

/* Runs fn on `threads` jobs (job 0 on the calling thread); wall seconds, or -1. */
static double run(int threads, struct job* jobs, void* (*fn)(void*)) {
  pthread_t ids[MAX_THREADS];
  int started = 1;
  const double t0 = now();
  for (int t = 1; t < threads; ++t, ++started) {
    if (pthread_create(&ids[t], NULL, fn, &jobs[t]) != 0) break;
  }
  fn(&jobs[0]);
  for (int t = 1; t < started; ++t) pthread_join(ids[t], NULL);
  const double dt = now() - t0;
  return started == threads ? dt : -1.0;
}

/* Flops done by `threads` threads of `reps` steps each in `mode` (see churn); the wall time
   goes to *seconds. */
double mul_add(int threads, long reps, int mode, double a, double b, double* seconds) {
  struct job jobs[MAX_THREADS];
  if (threads > MAX_THREADS) threads = MAX_THREADS;
  for (int t = 0; t < threads; ++t) {
    memset(&jobs[t], 0, sizeof jobs[t]);
    jobs[t].reps = reps;
    jobs[t].mode = mode;
    jobs[t].a = a;
    jobs[t].b = b;
  }
  *seconds = run(threads, jobs, churn);
  return (mode == 0 ? 2.0 : 1.0) * CHAINS * (VEC_BYTES / 8) * (double)reps * threads;
}

/* Copies `bytes` from src to dst, split between `threads` threads; wall seconds. */
double copy(int threads, char* dst, const char* src, size_t bytes) {
  struct job jobs[MAX_THREADS];
  if (threads > MAX_THREADS) threads = MAX_THREADS;
  const size_t part = (bytes / (size_t)threads) & ~(size_t)63;
  for (int t = 0; t < threads; ++t) {
    memset(&jobs[t], 0, sizeof jobs[t]);
    jobs[t].src = src + (size_t)t * part;
    jobs[t].dst = dst + (size_t)t * part;
    jobs[t].bytes = t == threads - 1 ? bytes - (size_t)t * part : part;
  }
  return run(threads, jobs, copy_part);
}
"""

FLOPS_PER_STEP_AND_LANE = 2 * 16  # CHAINS multiplies and adds per step, per 64-bit lane (mode 0)
MIXED, MUL_ONLY, ADD_ONLY = 0, 1, 2  # the modes of the native kernel
MODE_ARGS = {MIXED: (0.5, 0.5), MUL_ONLY: (1.0, 0.0), ADD_ONLY: (0.0, 0.0)}


def build_native(directory: str) -> str:
    src = os.path.join(directory, "machine_rate.c")
    lib = os.path.join(directory, "machine_rate.so")
    with open(src, "w") as fh:
        fh.write(NATIVE_SOURCE)
    subprocess.run(["cc", "-O2", "-march=native", "-ffp-contract=off", "-shared", "-fPIC", "-pthread", src, "-o", lib],
                   check=True)
    return lib


class Native:
    """The compiled kernel; ctypes releases the interpreter lock around each call."""

    def __init__(self, path: str):
        self.lib = ctypes.CDLL(path)
        self.lib.mul_add.restype = ctypes.c_double
        self.lib.mul_add.argtypes = [ctypes.c_int, ctypes.c_long, ctypes.c_int, ctypes.c_double,
                                     ctypes.c_double, ctypes.POINTER(ctypes.c_double)]
        self.lib.copy.restype = ctypes.c_double
        self.lib.copy.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
        self.lib.vector_bytes.restype = ctypes.c_int
        self.lanes = self.lib.vector_bytes() // 8

    def rate(self, threads: int, seconds: float, runs: int, hint: float = 50e9, mode: int = MIXED) -> float:
        """Best flops/s of `runs` runs of about `seconds` each, after a warm-up of about 20 ms
        (an idle core takes a few milliseconds to reach its clock).  Short runs and the best
        of them: on a shared machine a run that kept its cores to itself shows the rate the
        cores have; longer runs average in the time other processes took."""
        step = FLOPS_PER_STEP_AND_LANE * self.lanes
        a, b = MODE_ARGS[mode]
        out = ctypes.c_double()
        self.lib.mul_add(threads, max(1000, int(0.02 * hint / step)), mode, a, b, ctypes.byref(out))
        reps = max(1000, int(seconds * hint / step))
        best = 0.0
        for _ in range(runs):
            flops = self.lib.mul_add(threads, reps, mode, a, b, ctypes.byref(out))
            if out.value <= 0:
                raise RuntimeError("could not start the rate threads")
            best = max(best, flops / out.value)
        return best

    def copy_bandwidth(self, threads: int, src: np.ndarray, dst: np.ndarray, runs: int = 3) -> float:
        """Bytes read plus bytes written per second by the best of `runs` copies."""
        best = min(self.lib.copy(threads, dst.ctypes.data, src.ctypes.data, src.nbytes) for _ in range(runs))
        return 2.0 * src.nbytes / best


# --------------------------------------------------------------------------------------
# data of the cases (the same in this process and in the timing interpreters)


def case_data(shape, npts: int, dtype: str, seed: int):
    rng = np.random.default_rng(seed)
    shape = tuple(shape)
    if dtype == "c64":
        coeffs = rng.standard_normal(shape) + 1j * rng.standard_normal(shape)
        points = rng.uniform(-1, 1, (npts, len(shape))) + 1j * rng.uniform(-1, 1, (npts, len(shape)))
    else:
        coeffs = rng.standard_normal(shape)
        points = rng.uniform(-1, 1, (npts, len(shape)))
    return coeffs, points


def median_seconds(fn, repeat: int, budget: float) -> float:
    """Median wall time of fn() over `repeat` runs (fewer if the budget runs out)."""
    return statistics.median(timed_runs(fn, repeat, budget))


def timed_runs(fn, repeat: int, budget: float) -> list:
    times = []
    start = time.perf_counter()
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if time.perf_counter() - start > budget:
            break
    return times


def child_main(spec: dict) -> None:
    """Times one evaluation in this interpreter (whose pool size the parent fixed)."""
    coeffs, points = case_data(spec["shape"], spec["points"], spec["dtype"], spec["seed"])
    tree = kestrum.ExpressionTree(coeffs)
    if spec.get("orders"):
        tree = tree.deriv(spec["orders"])
    # NumPy's BLAS threads poll for a few tens of milliseconds after the import: let them go
    # to sleep, or they share the CPUs with the first timed calls.
    time.sleep(0.25)
    tree(points)  # creates the pool and faults in the pages of a result
    probe = Native(spec["probe_lib"]).rate(spec["probe_threads"], 0.005, 3, spec["probe_hint"])
    times = timed_runs(lambda: tree(points), spec["repeat"], spec["budget"])
    print(json.dumps({"median": statistics.median(times), "best": min(times), "runs": len(times), "probe": probe,
                      "module": kestrum.__file__}))


def kestrum_in_child(args, workers: int, probe: dict, **spec) -> dict:
    spec.update(repeat=args.repeat, budget=args.budget, **probe)
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    cmd = [sys.executable, BENCH, "--child", json.dumps(spec)]
    if args.module_dir:
        cmd += ["--module-dir", args.module_dir]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"timing interpreter failed:\n{out.stderr}")
    got = json.loads(out.stdout)
    if os.path.realpath(got["module"]) != os.path.realpath(kestrum.__file__):
        raise RuntimeError(f"the timing interpreter imported {got['module']}, not {kestrum.__file__}")
    return got


# --------------------------------------------------------------------------------------
# rows


ROWS: list[dict] = []


def record(case: str, tool: str, seconds, threads=None, note: str = "", flops=None, nbytes=0.0, floor=None,
           probe=None, mul_share=0.5, **extra) -> None:
    """One row.  Rows with `flops` get a limit when the run ends (Machine.finish): the rates
    are the best the run saw, probes included.  `mul_share` is the share of the flops that
    are multiplies (the rest are adds)."""
    ROWS.append({"case": case, "tool": tool, "seconds": seconds, "threads": threads, "note": note, "flops": flops,
                 "nbytes": nbytes, "floor": floor, "probe": probe, "mul_share": mul_share, "limit": None,
                 "bound": None, "ratio": None, "best_ratio": None, "mixed_ratio": None, "throttled": False,
                 **extra})


class Machine:
    """The rates of this machine: separate multiply/add flops per second and copy bandwidth,
    on one core and on all of them; and the share of that rate that multiplies alone and adds
    alone reach.  Where multiplies and adds share their vector pipes (as on recent Intel
    cores) each alone runs at the full rate; where each has pipes of its own (as on AMD's
    Zen cores) each alone runs at about half of it, and a mix of two multiplies to one add
    at three quarters."""

    def __init__(self, native: Native, lib_path: str, cores: int, quick: bool):
        self.native, self.lib_path, self.cores = native, lib_path, cores
        best = {mode: 0.0 for mode in MODE_ARGS}
        for _ in range(10):  # interleaved, so that every mode sees the same quiet moments
            for mode in best:
                best[mode] = max(best[mode], native.rate(1, 0.003, 3, mode=mode))
        self.rate = {1: best[MIXED]}
        self.mul_only_share = min(1.0, best[MUL_ONLY] / best[MIXED])
        self.add_only_share = min(1.0, best[ADD_ONLY] / best[MIXED])
        self.seen(cores, native.rate(cores, 0.003, 30, self.rate[1] * cores))
        self.start_rate = dict(self.rate)
        src = np.ones((32 if quick else 256) << 17)  # 32 or 256 MiB
        dst = np.zeros_like(src)
        self.bandwidth = {1: native.copy_bandwidth(1, src, dst)}
        # All cores can do at least what one of them does, however busy the others are.
        self.bandwidth[cores] = max(self.bandwidth[1], native.copy_bandwidth(cores, src, dst))

    def probe(self, threads: int) -> dict:
        return {"probe_lib": self.lib_path, "probe_threads": threads, "probe_hint": self.rate[1] * threads}

    def seen(self, threads: int, rate) -> None:
        """Keeps the best rate of `threads` cores, and never less than one core's."""
        if rate is not None:
            self.rate[threads] = max(self.rate.get(threads, 0.0), rate)
        for t in self.rate:
            self.rate[t] = max(self.rate[t], self.rate[1])

    def throttled(self, threads: int, rate) -> bool:
        """Whether `threads` cores ran at less than THROTTLE_SHARE of threads × the one-core rate."""
        return rate is not None and rate < THROTTLE_SHARE * threads * self.rate[1]

    def finish(self, rows) -> None:
        """Limits, ratios and throttle marks of the rows, from the best rates of the run.
        Limit = max(flops / rate, multiplies / multiply-only rate, adds / add-only rate,
        memory floor); the memory floor is the row's own `floor` when it has one, else its
        bytes of points read and values written at the copy bandwidth of as many cores.
        "mixed_ratio" is the ratio to the first and the memory floor only."""
        for r in rows:
            if r["flops"] is None:
                continue
            t = r["threads"]
            mixed = r["flops"] / self.rate[t]
            floors = {"compute": mixed,
                      "multiply": r["mul_share"] * mixed / self.mul_only_share,
                      "add": (1.0 - r["mul_share"]) * mixed / self.add_only_share,
                      "memory": r["nbytes"] / self.bandwidth[t] if r["floor"] is None else r["floor"]}
            # A pipe floor within PIPE_TOLERANCE of the mixed one (a product has as many adds as
            # multiplies) is the same floor measured twice: the case is compute-bound.
            for k in ("multiply", "add"):
                if floors[k] <= (1.0 + PIPE_TOLERANCE) * mixed:
                    del floors[k]
            r["bound"] = max(floors, key=floors.get)
            r["limit"] = floors[r["bound"]]
            if r["seconds"]:
                r["ratio"] = r["seconds"] / r["limit"]
                r["best_ratio"] = r.get("best", r["seconds"]) / r["limit"]
                r["mixed_ratio"] = r["seconds"] / max(mixed, floors["memory"])
            r["throttled"] = self.throttled(t, r["probe"])
            r["note"] = f"{r['bound']}-bound" + (f", {r['note']}" if r["note"] else "")


def bench_kestrum_eval(args, machine: Machine, case: str, shape, npts: int, dtype: str = "f64", orders=None,
                       seed: int = 1, floor=None, target: float | None = None, group: str = "", note: str = ""):
    """Rows for one evaluation case at 1 worker and at all workers, each timed in a fresh
    interpreter right after a rate probe on as many cores."""
    evaluated = list(shape)
    if orders:
        evaluated = [max(0, s - o) for s, o in zip(shape, orders)]
    flops_per_point = (operation_count_c64 if dtype == "c64" else operation_count)(evaluated)
    item = 16 if dtype == "c64" else 8
    nbytes = npts * item * (len(shape) + 1)  # points read, values written
    for w in sorted({1, machine.cores}):
        got = kestrum_in_child(args, w, machine.probe(w), shape=list(shape), points=npts, dtype=dtype, orders=orders,
                               seed=seed)
        machine.seen(w, got["probe"])
        text = f"{flops_per_point} flop/pt, probe {got['probe'] / 1e9:.0f} Gflop/s" + (f"; {note}" if note else "")
        record(case, f"kestrum {w} worker{'s' if w > 1 else ''}", got["median"], w, text, flops_per_point * npts,
               nbytes, floor, got["probe"], multiply_share(evaluated, dtype=dtype), best=got["best"], target=target,
               group=group, flops_per_point=flops_per_point)


def bench_grid(args, machine: Machine, numba_pair):
    shapes = [(16,), (4,), (16, 16), (8, 8, 8), (6, 6, 6, 6)]
    sizes = [10**4, 10**5] if args.quick else [10**4, 10**5, 10**6]
    for shape, npts in itertools.product(shapes, sizes):
        case = f"eval f64 {shape} x {npts:.0e}"
        target = 2.0 if npts <= 10**4 else 1.3
        bench_kestrum_eval(args, machine, case, shape, npts, target=target, group=f"{npts:.0e} points")
        if args.peers:
            bench_eval_peers(args, case, shape, npts, numba_pair)
    npts = 10**6 if args.quick else 10**7
    _, points = case_data((16,), npts, "f64", 1)
    floor = min(timed_runs(lambda: points[:, 0] + points[:, -1], 7, args.budget))
    del points
    bench_kestrum_eval(args, machine, f"eval f64 (16,) x {npts:.0e}", (16,), npts, floor=floor, target=1.3,
                       group=f"{npts:.0e} points", note="memory floor: numpy points[:, 0] + points[:, -1]")


def bench_eval_peers(args, case, shape, npts, numba_pair):
    coeffs, points = case_data(shape, npts, "f64", 1)
    expected = kestrum.ExpressionTree(coeffs)(points)
    flops = operation_count(shape) * npts
    nbytes = npts * 8 * (len(shape) + 1)

    def peer(tool, fn, threads, note, repeat=args.repeat):
        record(case, tool, median_seconds(fn, repeat, args.budget), threads, note, flops, nbytes,
               mul_share=multiply_share(shape))

    if npts <= 10**5:
        got = numpy_exact(coeffs, points)
        peer("numpy term-by-term", lambda: numpy_exact(coeffs, points), 1, exact_note(got, expected), 3)
    horner = {1: lambda: np.polynomial.polynomial.polyval(points[:, 0], coeffs),
              2: lambda: np.polynomial.polynomial.polyval2d(points[:, 0], points[:, 1], coeffs),
              3: lambda: np.polynomial.polynomial.polyval3d(points[:, 0], points[:, 1], points[:, 2], coeffs)}
    if len(shape) in horner:
        peer("numpy.polynomial Horner", horner[len(shape)], 1, "other rounding")
    if numba_pair:
        flat = coeffs.reshape(-1).copy()
        exps = exponent_table(shape)
        out = np.empty(npts)
        for name, kernel, threads in zip(("numba exact 1 thread", "numba exact prange"), numba_pair,
                                         (1, pool_size())):
            kernel(flat, exps, points, out)
            peer(name, lambda: kernel(flat, exps, points, out), threads, exact_note(out, expected))
    if npts <= 10**5:
        bench_sympy(case, coeffs, points, args)


def exact_note(got, expected) -> str:
    return "exact" if np.array_equal(got.view(np.int64), expected.view(np.int64)) else "NOT BIT-EQUAL"


def bench_derivative_and_c64(args, machine: Machine):
    npts = 10**4 if args.quick else 10**5
    bench_kestrum_eval(args, machine, f"deriv([1,0,0]) of (8,8,8) then eval x {npts:.0e}", (8, 8, 8), npts,
                       orders=[1, 0, 0], seed=4, target=1.3, group="derivative",
                       note="evaluates the (7, 8, 8) derivative")
    bench_kestrum_eval(args, machine, f"eval c64 (8, 8, 8) x {npts:.0e}", (8, 8, 8), npts, dtype="c64", seed=2,
                       target=1.5, group="c64", note="c64 points")


def bench_expand(args):
    rng = np.random.default_rng(3)
    a = rng.standard_normal((32, 32))
    b = rng.standard_normal((64, 64))
    prod = kestrum.ExpressionTree(a) * kestrum.ExpressionTree(b)
    prod.expand()
    case = "expand (32,32) x (64,64)"
    flops = product_operation_count(a.shape, b.shape)
    times = timed_runs(lambda: prod.expand(), max(args.repeat, 21), args.budget)
    record(case, "kestrum", statistics.median(times), 1, f"{flops} flop, calling thread", flops, best=min(times),
           target=1.3, group="product")
    if args.peers:
        record(case, "numpy exact loop", median_seconds(lambda: exact_product(a, b), 3, args.budget), 1, "", flops)
        try:
            import scipy.signal
        except ImportError:
            scipy = None
        if scipy is not None:
            record(case, "scipy convolve direct",
                   median_seconds(lambda: scipy.signal.convolve(a, b, method="direct"), 3, args.budget), 1,
                   "other order", flops)
    c = rng.standard_normal((8, 8))
    tc = kestrum.ExpressionTree(c)
    power = tc * tc * tc * tc
    case = "expand (8,8)^4 as a product chain"
    # ((c·c)·c)·c: (8,8)×(8,8), then (15,15)×(8,8), then (22,22)×(8,8).
    flops = sum(product_operation_count((7 * k + 1,) * 2, (8, 8)) for k in (1, 2, 3))
    times = timed_runs(lambda: power.expand(), args.repeat, args.budget)
    record(case, "kestrum", statistics.median(times), 1, f"{flops} flop over three products", flops,
           best=min(times))
    if args.peers:
        record(case, "numpy exact loop",
               median_seconds(lambda: exact_product(exact_product(exact_product(c, c), c), c), 3, args.budget), 1)


def bench_other_trees(args):
    """Cases without a limit of their own: integer evaluation, a small tree, lazy calculus."""
    rng = np.random.default_rng(2)
    npts = 10**5 if args.quick else 10**6
    shape = (8, 8, 8)
    coeffs, points = rng.integers(-5, 5, shape), rng.integers(-3, 3, (npts, 3))
    tree = kestrum.ExpressionTree(coeffs)
    record(f"eval i64 {shape} x {npts:.0e}", "kestrum all workers", median_seconds(lambda: tree(points), args.repeat,
                                                                                    args.budget))
    leaves = [kestrum.ExpressionTree(rng.standard_normal(shape)) for _ in range(4)]
    tree = (leaves[0] + leaves[1]) * leaves[2] - leaves[3]
    points = rng.uniform(-1, 1, (npts, 3))
    record(f"eval f64 tree (a+b)*c-d of {shape} x {npts:.0e}", "kestrum all workers",
           median_seconds(lambda: tree(points), args.repeat, args.budget))

    npts = 10**5 if args.quick else 10**6
    coeffs = rng.standard_normal(16)
    x = rng.uniform(-1, 1, npts)
    tree = kestrum.ExpressionTree(coeffs).deriv([1])
    pts = x.reshape(-1, 1)
    case = f"deriv then eval (16,) x {npts:.0e}"
    record(case, "kestrum all workers", median_seconds(lambda: tree(pts), args.repeat, args.budget))
    if args.peers:
        P = np.polynomial.polynomial
        record(case, "numpy polyder + polyval",
               median_seconds(lambda: P.polyval(x, P.polyder(coeffs)), args.repeat, args.budget), 1,
               "other rounding")

    # Lazy derivatives of products: the Leibniz sum over values, once per node and order.
    depth, npts = (300 if args.quick else 3000), 10**4
    chain = kestrum.ExpressionTree(rng.uniform(0.9, 1.1, 3))
    for _ in range(depth - 1):
        chain = chain * kestrum.ExpressionTree(rng.uniform(0.9, 1.1, 3))
    derived = chain.deriv([2])
    pts = rng.uniform(-1, 1, (npts, 1))
    record(f"deriv([2]) of a {depth}-deep product chain x {npts:.0e}", "kestrum all workers",
           median_seconds(lambda: derived(pts), 3, args.budget))

    npts = 10**4 if args.quick else 10**5
    a = kestrum.ExpressionTree(rng.standard_normal((16, 16)))
    b = kestrum.ExpressionTree(rng.standard_normal((16, 16)))
    pts = rng.uniform(-1, 1, (npts, 2))
    case = f"deriv([0, 2]) of (16,16) * (16,16) x {npts:.0e}"
    lazy = (a * b).deriv([0, 2])
    expanded = (a * b).expand()
    record(case, "kestrum lazy", median_seconds(lambda: lazy(pts), args.repeat, args.budget))
    record(case, "kestrum expanded product, no derivative", median_seconds(lambda: expanded(pts), args.repeat,
           args.budget), note="same tree expanded once")


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
    """The exact-order kernel compiled by numba (one thread and prange), or None without numba."""
    try:
        import numba
    except ImportError:
        return None

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
            record(case, "sympy lambdify", None, 1, "over time budget")
            return
    fn = sympy.lambdify(xs, expr, "numpy")
    cols = [points[:, e] for e in range(coeffs.ndim)]
    sample = max(1, len(points) // 100)
    t0 = time.perf_counter()
    fn(*(c[:sample] for c in cols))
    if (time.perf_counter() - t0) * len(points) / sample > args.budget:
        record(case, "sympy lambdify", None, 1, "over time budget")
        return
    record(case, "sympy lambdify", median_seconds(lambda: fn(*cols), 3, args.budget), 1, "other rounding")


def exact_product(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Dense product in kestrum's accumulation order: out[i + j] += a[i] * b[j]."""
    out = np.zeros(tuple(x + y - 1 for x, y in zip(a.shape, b.shape)), np.result_type(a, b))
    for i in itertools.product(*(range(n) for n in a.shape)):
        block = tuple(slice(k, k + n) for k, n in zip(i, b.shape))
        out[block] = a[i] * b + out[block]
    return out


# --------------------------------------------------------------------------------------
# memory


MEMORY_CODE = """
import json, sys
sys.path[:0] = json.loads(sys.argv[2])
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
    paths = [args.module_dir] if args.module_dir else []
    out = subprocess.run([sys.executable, "-c", MEMORY_CODE, str(npts), json.dumps(paths)], capture_output=True,
                         text=True, check=True)
    before, after, points, values = json.loads(out.stdout)
    mib = 1024.0 * 1024.0
    record(f"memory eval (8, 8, 8) x {npts:.0e}", "kestrum peak RSS", None,
           note=f"peak grew {(after - before) / mib:.1f} MiB during the call: result {values / mib:.1f} MiB, "
                f"extra {(after - before - values) / mib:.1f} MiB (points {points / mib:.1f} MiB, not copied)")


# --------------------------------------------------------------------------------------
# output


def print_table(rows):
    """ratio = median time / limit; best = fastest run / limit; 1:1 = median time / the
    limit with no pipe floors."""
    print(f"\n{'case':<44} {'tool':<22} {'median s':>10} {'limit s':>10} {'ratio':>6} {'best':>6} {'1:1':>6}"
          f"  {'':<9} note")
    for r in rows:
        s, lim = r["seconds"], r["limit"]
        sec = f"{s:10.4g}" if s is not None else "       n/a"
        lims = f"{lim:10.4g}" if lim is not None else " " * 10
        rat = f"{r['ratio']:6.2f}" if r["ratio"] is not None else " " * 6
        best = f"{r['best_ratio']:6.2f}" if r["best_ratio"] is not None else " " * 6
        mixed = f"{r['mixed_ratio']:6.2f}" if r["mixed_ratio"] is not None else " " * 6
        mark = "throttled" if r["throttled"] else ""
        print(f"{r['case']:<44} {r['tool']:<22} {sec} {lims} {rat} {best} {mixed}  {mark:<9} {r['note']}")


def print_targets(rows) -> None:
    """Every kestrum row with a target, grouped: the worst ratio of each group and the rows
    that miss their goal."""
    print("\ntargets (kestrum time / limit):")
    groups: dict[str, list] = {}
    for r in rows:
        if r.get("target") is not None and r["ratio"] is not None:
            groups.setdefault(f"{r['group']} (goal <= {r['target']})", []).append(r)
    missed = 0
    for name, members in groups.items():
        worst = max(members, key=lambda r: r["ratio"])
        fails = [r for r in members if r["ratio"] > r["target"]]
        missed += len(fails)
        print(f"  {name:<34} worst {worst['ratio']:6.2f} ({worst['case']}, {worst['tool']})"
              f"  {len(members) - len(fails)}/{len(members)} met")
        for r in fails:
            mark = ", throttled" if r["throttled"] else ""
            print(f"      missed: {r['case']:<40} {r['tool']:<18} {r['ratio']:6.2f}{mark}")
    total = sum(len(m) for m in groups.values())
    print(f"  {total - missed}/{total} rows meet their goal")


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def load_kestrum(module_dir: str | None) -> None:
    global kestrum
    if module_dir:
        sys.path.insert(0, os.path.abspath(module_dir))
    import kestrum as module

    kestrum = module


def pool_size() -> int:
    """The worker count an unconfigured pool would take (environment, affinity, CPUs)."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, a smoke test")
    parser.add_argument("--peers", action="store_true", help="also time the peers (numpy, numba, sympy, scipy)")
    parser.add_argument("--repeat", type=int, default=None, help="timed runs per measurement (7, quick 3)")
    parser.add_argument("--budget", type=float, default=3.0, help="seconds per measurement at most")
    parser.add_argument("--json", help="also write the rows and the machine figures to this file")
    parser.add_argument("--module-dir", help="import kestrum from this directory first")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    load_kestrum(args.module_dir)
    if args.child:
        child_main(json.loads(args.child))
        return
    if args.repeat is None:
        args.repeat = 3 if args.quick else 7

    cores = pool_size()
    with tempfile.TemporaryDirectory() as tmp:
        lib_path = build_native(tmp)
        machine = Machine(Native(lib_path), lib_path, cores, args.quick)
        print(f"machine: {cpu_model()}, {cores} cores, {machine.native.lanes * 64}-bit vectors; "
              f"kestrum from {kestrum.__file__}")
        numba_pair = numba_kernels() if args.peers else None
        if args.peers and numba_pair is None:
            print("numba is not installed: its peers are skipped")
        bench_grid(args, machine, numba_pair)
        bench_derivative_and_c64(args, machine)
    bench_expand(args)
    bench_other_trees(args)
    bench_memory(args)
    machine.finish(ROWS)
    info = {"cpu": cpu_model(), "cores": cores, "vector_bits": machine.native.lanes * 64,
            "rate_1": machine.rate[1], "rate_all": machine.rate[cores], "start_rate_1": machine.start_rate[1],
            "start_rate_all": machine.start_rate[cores], "mul_only_share": machine.mul_only_share,
            "add_only_share": machine.add_only_share, "copy_bandwidth_1": machine.bandwidth[1],
            "copy_bandwidth_all": machine.bandwidth[cores], "kestrum": kestrum.__file__}
    print(f"separate mul/add rate, best of the run: {machine.rate[1] / 1e9:.1f} Gflop/s on 1 core, "
          f"{machine.rate[cores] / 1e9:.1f} on {cores} (at the start: {machine.start_rate[1] / 1e9:.1f}, "
          f"{machine.start_rate[cores] / 1e9:.1f})"
          + ("; all cores below 85% of cores x one core" if machine.throttled(cores, machine.rate[cores]) else ""))
    print(f"multiplies alone reach {machine.mul_only_share:.0%} of that rate, adds alone "
          f"{machine.add_only_share:.0%} (below 100%: each has vector pipes of its own)")
    print(f"copy bandwidth (read + write): {machine.bandwidth[1] / 1e9:.1f} GB/s on 1 core, "
          f"{machine.bandwidth[cores] / 1e9:.1f} on {cores}")
    print_table(ROWS)
    print_targets(ROWS)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"machine": info, "rows": ROWS,
                       "product_lane_ops_per_multiply_add": overhang_share(32, 64, machine.native.lanes),
                       "operation_counts": {str(s): eval_operation_counts(s)
                                            for s in [(16,), (4,), (16, 16), (8, 8, 8), (7, 8, 8), (6, 6, 6, 6)]}},
                      fh, indent=1)


if __name__ == "__main__":
    main()
