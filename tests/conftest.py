"""Shared fixtures: element kinds, array builders, twin trees (module + reference model),
bit comparison and subprocess helpers."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kestrum
from kestrum import ExpressionTree

sys.path.insert(0, os.path.dirname(__file__))
import reference  # noqa: E402
from reference import DTYPES, KINDS, Model  # noqa: E402


@pytest.fixture(params=KINDS)
def dtype(request) -> str:
    """Element kind: "i64", "f64" or "c64"."""
    return request.param


def np_dtype(kind: str) -> np.dtype:
    return DTYPES[kind]


# --- array builders ------------------------------------------------------------------------


def random_values(rng: np.random.Generator, shape, kind: str, zero_fraction: float = 0.25):
    """Random values of a kind: small ints for i64; for f64 and c64 floats over several
    magnitudes, so sums and products round. About ``zero_fraction`` of them are zero."""
    shape = tuple(shape)
    if kind == "i64":
        out = rng.integers(-9, 10, size=shape, dtype=np.int64)
    else:
        def reals():
            return rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, size=shape)
        out = reals() if kind == "f64" else reals() + 1j * reals()
        out = out.astype(DTYPES[kind])
    if zero_fraction:
        out[rng.random(shape) < zero_fraction] = 0
    return out


def random_coeffs(rng: np.random.Generator, dim: int, kind: str, max_len: int = 3):
    """A coefficient array of ``dim`` axes, each of length 0..max_len (mostly non-empty)."""
    shape = tuple(int(rng.integers(1, max_len + 1)) if rng.random() > 0.08 else 0
                  for _ in range(dim))
    return random_values(rng, shape, kind)


def random_points(rng: np.random.Generator, batch, dim: int, kind: str):
    """Points of shape batch + (dim,), values near 1 so powers stay finite."""
    shape = tuple(batch) + (dim,)
    if kind == "i64":
        return rng.integers(-4, 5, size=shape, dtype=np.int64)
    pts = rng.uniform(-2.0, 2.0, size=shape)
    if kind == "c64":
        pts = pts + 1j * rng.uniform(-2.0, 2.0, size=shape)
    return pts.astype(DTYPES[kind])


def twin(values):
    """The same one-leaf tree built by the module and by the reference model."""
    return ExpressionTree(values), Model.from_values(values)


def random_twin(rng: np.random.Generator, kind: str, dim: int, depth: int = 3, deriv: bool = True):
    """A random tree built twice with the same operations: (ExpressionTree, Model, facts).

    Every operation the Python surface offers is drawn: + - * / between trees (also of other
    kinds, so promotion happens), * and / by ints, floats and complex numbers from either side,
    and deriv/integ. Two restrictions keep results well defined: no tree division in an i64
    result (a zero divisor would be an internal failure), and no derivative over a quotient, or
    over a product unless its orders are a single first derivative. ``facts`` holds the
    ``has_mul``/``has_div``/``has_deriv`` flags."""
    if depth == 0 or rng.random() < 0.25:
        leaf_kind = kind if rng.random() < 0.7 else KINDS[int(rng.integers(0, _rank(kind) + 1))]
        t, m = twin(random_coeffs(rng, dim, leaf_kind))
        return t, m, dict(has_mul=False, has_div=False, has_deriv=False)
    choice = rng.integers(0, 5)
    if choice <= 1:  # two trees
        lt, lm, lf = random_twin(rng, kind, dim, depth - 1, deriv)
        rt, rm, rf = random_twin(rng, kind, dim, depth - 1, deriv)
        ops = ["+", "-", "*"]
        if reference.wider(lm.kind, rm.kind) != "i64":
            ops.append("/")
        op = ops[int(rng.integers(0, len(ops)))]
        t, m = _apply(op, lt, lm, rt, rm)
        facts = {k: lf[k] or rf[k] for k in lf}
        facts["has_mul"] |= op == "*"
        facts["has_div"] |= op == "/"
        return t, m, facts
    ct, cm, cf = random_twin(rng, kind, dim, depth - 1, deriv)
    if choice == 2 or not deriv or cf["has_div"] or (cf["has_mul"] and cf["has_deriv"]):
        number = _random_number(rng)
        op = ["*", "r*", "/", "rmul"][int(rng.integers(0, 4))]
        if op == "*":
            return ct * number, cm * number, cf
        if op == "r*":
            return number * ct, number * cm, cf
        if op == "rmul":
            return ct.__rmul__(number), cm * number, cf
        if number == 0:
            number = 3
        return ct / number, cm / number, cf
    if cf["has_mul"]:
        orders = [0] * dim
        orders[int(rng.integers(0, dim))] = 1
    else:
        orders = [int(k) for k in rng.integers(-2, 3, size=dim)]
    if rng.random() < 0.5:
        t, m = ct.deriv(orders), cm.deriv(orders)
    else:
        t, m = ct.integ([-k for k in orders]), cm.integ([-k for k in orders])
    return t, m, dict(cf, has_deriv=True)


def _rank(kind):
    return KINDS.index(kind)


def _apply(op, lt, lm, rt, rm):
    if op == "+":
        return lt + rt, lm + rm
    if op == "-":
        return lt - rt, lm - rm
    if op == "*":
        return lt * rt, lm * rm
    return lt / rt, lm / rm


def _random_number(rng):
    what = rng.integers(0, 3)
    if what == 0:
        return int(rng.integers(-5, 6))
    if what == 1:
        return float(rng.uniform(-3, 3))
    return complex(rng.uniform(-3, 3), rng.uniform(-3, 3))


# --- comparisons ---------------------------------------------------------------------------


def bits(a: np.ndarray) -> np.ndarray:
    """The exact bits of a value array, with every NaN made the same quiet NaN: which NaN
    survives an operation on two NaNs depends on operand order in the machine code."""
    a = np.array(a)
    if a.dtype == np.int64:
        return a
    flat = np.ascontiguousarray(a).reshape(-1).view(np.float64).copy()
    flat[np.isnan(flat)] = np.nan
    return flat.view(np.int64)


def assert_bits_equal(actual, expected):
    """Same dtype, same shape, same bits (-0.0 and infinities included; NaN as NaN)."""
    assert isinstance(actual, np.ndarray)
    assert actual.dtype == expected.dtype, (actual.dtype, expected.dtype)
    assert actual.shape == expected.shape, (actual.shape, expected.shape)
    np.testing.assert_array_equal(bits(actual), bits(expected))


def assert_panic(excinfo, message: str | None = None):
    """The exception is the module's internal-failure type: pyo3_runtime.PanicException, a
    BaseException that ``except Exception`` does not catch."""
    exc = excinfo.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "pyo3_runtime"
    assert not isinstance(exc, Exception)
    if message is not None:
        assert str(exc) == message


# --- subprocesses --------------------------------------------------------------------------

# KESTRUM_SANITIZED=1 is set when the suite runs against the sanitizer build. There the
# address space is mostly shadow memory (RLIMIT_AS cannot be set), a huge `new` aborts instead
# of throwing, freed memory sits in quarantine, and stack frames are several times larger.
SANITIZED = os.environ.get("KESTRUM_SANITIZED") == "1"


def not_under_sanitizers(reason: str):
    return pytest.mark.skipif(SANITIZED, reason=reason)


NO_ADDRESS_LIMIT = "the sanitizer runtime cannot run under an address-space limit"
ABORTS_ON_HUGE_NEW = "the sanitizer runtime aborts on a huge allocation instead of failing it"



def module_dir() -> str:
    return os.path.dirname(os.path.abspath(kestrum.__file__))


def run_python(code: str, env: dict | None = None, timeout: float = 120, wrapper=()):
    """Runs ``code`` in a fresh interpreter that imports this kestrum, behind the command
    prefix ``wrapper`` if one is given; returns the CompletedProcess (stdout, stderr as
    text). A hang fails the test at ``timeout``."""
    child_env = {k: v for k, v in os.environ.items()
                 if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    child_env["PYTHONPATH"] = os.pathsep.join(
        [module_dir(), os.path.dirname(__file__), child_env.get("PYTHONPATH", "")])
    child_env.update(env or {})
    return subprocess.run([*wrapper, sys.executable, "-c", textwrap.dedent(code)], env=child_env,
                          capture_output=True, text=True, timeout=timeout)
