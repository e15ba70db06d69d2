"""Crash freedom: random sequences of every method and operator with hostile arguments, in a
fresh interpreter per seed. Any Python exception is fine; a signal, an abort, a sanitizer
report or a hang fails the test and names the seed.

KESTRUM_FUZZ_SEED picks one seed to replay, KESTRUM_FUZZ_SECONDS runs each seed longer."""

from __future__ import annotations

import os
import subprocess

import pytest

from conftest import run_python

SECONDS = float(os.environ.get("KESTRUM_FUZZ_SECONDS", "2"))
SEEDS = [int(os.environ["KESTRUM_FUZZ_SEED"])] if "KESTRUM_FUZZ_SEED" in os.environ else [1, 2, 3]

FUZZ = r"""
import os, resource, sys, time
import numpy as np
from kestrum import ExpressionTree

# Huge sizes must fail as MemoryError, not by filling the machine. The sanitizer runtime can
# neither run under an address-space limit nor fail a huge allocation, so there sizes stay small.
SANITIZED = os.environ.get("KESTRUM_SANITIZED") == "1"
if not SANITIZED:
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
H = 64 if SANITIZED else 2**40        # an order or length that needs a huge allocation
rng = np.random.default_rng({seed})
deadline = time.monotonic() + {seconds}

def maybe(make):
    try:
        return make()
    except Exception:
        return None

def leaves():
    out = [ExpressionTree(np.array([[1, -2], [3, 4]])), ExpressionTree(np.array([[0.5, np.nan], [np.inf, -0.0]])),
           ExpressionTree(np.array([[1 + 2j, 0.0]])), ExpressionTree(np.array([1.0, 2.0, 3.0])),
           ExpressionTree(np.array(7.0)), ExpressionTree(np.empty((0, 2))), ExpressionTree(np.empty((2, 0))),
           ExpressionTree.zero(2), ExpressionTree.one(0), ExpressionTree(np.array([[2**62, -2**63]])),
           ExpressionTree(np.arange(24.0).reshape(2, 3, 4)[:, ::2, ::-1])]
    return out

big = np.iinfo(np.int64)
hostile = [
    None, "text", b"bytes", object(), [], [[1, 2], [3]], [1, [2, 3]], (1.0, 2.0), {{}}, 2**64, -2**63 - 1, 2**200,
    -1, 0, 1, 2, 3, 33, H, 2**31 if not SANITIZED else 2**12, big.max, big.min, float("nan"), float("inf"), -float("inf"), 1e308,
    complex("nan+infj"), 1j, True, np.float32(1.5), np.int64(2), np.uint64(2**64 - 1),
    np.array(1.0), np.array(2), np.empty(0), np.empty((0, 2)), np.empty((3, 0)), np.empty((0, 0)),
    np.ones((2, 2)), np.ones((3, 2)) * np.nan, np.full((2, 3), np.inf), np.ones(2), np.ones(3), np.ones((5, 1)),
    np.ones((12001, 2)), np.ones((2, 2, 2)),
    np.array([1, None], dtype=object), np.array([[1.0, "a"]], dtype=object), np.array(["a", "b"]),
    np.array([b"x"]), np.array([True, False]), np.ones(2, dtype=np.float16), np.ones((2, 2), dtype=np.uint64) * (2**64 - 1),
    np.array([H, -H]), np.array([big.min, big.max]), np.array([big.min]), np.array([-H, H]),
    np.array([0, 1]), np.array([1, 0]), np.array([-1, 2]), np.array([0]), np.array([5]), np.array([0, 0, 0]),
    np.array([0.5, 1.0]), np.array([0, 1], dtype=">i8"), np.array([[0, 1]]), np.arange(10)[::5],
    np.arange(12.0).reshape(3, 4)[:, ::2], np.arange(12.0).reshape(4, 3).T[:2], np.ones((4, 2))[::-1],
    np.broadcast_to(np.ones(2), (6, 2)), np.broadcast_to(np.ones(2), (H, 2)),
    np.zeros((2, 2), dtype="datetime64[s]"), np.ones(2, dtype=np.complex64),
    maybe(lambda: np.zeros((1,) * 33)), maybe(lambda: np.zeros((1,) * 32)), np.ma.masked_array([1.0, 2.0], [0, 1]),
]

def pick():
    if rng.random() < 0.3 and trees:
        return trees[rng.integers(len(trees))]
    return hostile[rng.integers(len(hostile))]

def number():
    return [2, -1, 0, 0.0, -0.0, 1.5, float("nan"), float("inf"), 1j, complex(0, -0.0), 2**63, True,
            np.float64(2.0), None, "2"][rng.integers(15)]

def orders(t):
    n = maybe(lambda: t.dimension) or 2
    choice = rng.integers(4)
    if choice == 0:
        return pick()
    values = rng.integers(-3, 4, n) if choice == 1 else rng.choice([0, 1, -1, H, -H, big.min, big.max, 2**62], n)
    return values.tolist() if choice == 3 else np.array(values)

def points(t):
    n = maybe(lambda: t.dimension) or 2
    kind = rng.integers(5)
    if kind == 0:
        return pick()
    shape = [(n,), (int(rng.integers(0, 9)), n), (2, 3, n), (12001, n)][rng.integers(4)]
    values = rng.choice([0.5, -1.0, 2.0, np.nan, np.inf, 0.0, 1e300], shape)
    if kind == 1:
        return values.astype(np.int64) if np.isfinite(values).all() else values
    if kind == 2:
        return values + 1j
    if kind == 3:
        return np.repeat(values, 2, axis=-1)[..., ::2]  # not contiguous
    return values.tolist()

ops = [
    lambda t: ExpressionTree(pick()),
    lambda t: t(points(t)),
    lambda t: t(pick()),
    lambda t: str(t),
    lambda t: t + pick(), lambda t: pick() + t, lambda t: t - pick(), lambda t: pick() - t,
    lambda t: t * pick(), lambda t: pick() * t, lambda t: t * number(), lambda t: number() * t,
    lambda t: t / pick(), lambda t: pick() / t, lambda t: t / number(), lambda t: number() / t,
    lambda t: t.__rmul__(pick()),
    lambda t: t.shape, lambda t: t.dimension,
    lambda t: t.expand(),
    lambda t: t.partial(orders(t), points(t)),
    lambda t: t.partial(pick(), pick()),
    lambda t: t.deriv(orders(t)), lambda t: t.integ(orders(t)),
    lambda t: t.deriv(orders(t))(points(t)), lambda t: t.integ(orders(t)).expand(),
    lambda t: t.drop_params(orders(t)), lambda t: t.drop_params(np.array([0])), lambda t: t.squeeze(),
    lambda t: t.to_constant(),
    lambda t: ExpressionTree.zero(pick()), lambda t: ExpressionTree.one(number()),
    lambda t: t.deriv(indices=orders(t)), lambda t: t.partial(values=pick(), indices=pick()),
    lambda t: t.deriv(), lambda t: t.deriv(1, 2), lambda t: t.expand(1), lambda t: t(vals=pick(), other=1),
    lambda t: ExpressionTree(), lambda t: ExpressionTree(pick(), pick()),
]

trees = leaves()
steps = 0
while time.monotonic() < deadline:
    steps += 1
    t = trees[rng.integers(len(trees))]
    op = int(rng.integers(len(ops)))
    try:
        result = ops[op](t)
    except BaseException as e:  # the internal-failure type derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        continue
    # Keep small trees to build on: their text and shape bound the work of any later call.
    if isinstance(result, ExpressionTree) and len(str(result)) < 1500 and int(np.prod(result.shape)) < 4096:
        if len(trees) < 24:
            trees.append(result)
        else:
            trees[rng.integers(len(trees))] = result
print("steps", steps)
"""


@pytest.mark.parametrize("seed", SEEDS)
def test_random_calls_with_hostile_arguments_never_crash(seed):
    try:
        r = run_python(FUZZ.format(seed=seed, seconds=SECONDS), timeout=SECONDS + 120)
    except subprocess.TimeoutExpired:
        pytest.fail(f"fuzz seed {seed} hung (replay with KESTRUM_FUZZ_SEED={seed})")
    assert r.returncode == 0 and r.stdout.startswith("steps"), (
        f"fuzz seed {seed} ended with code {r.returncode} (replay with KESTRUM_FUZZ_SEED={seed}):\n"
        + r.stderr[-4000:])
