"""The module inside a user's process: allocations beyond a limited address space, trees
20000 levels deep, arguments and receivers untouched by every call, memory that stays flat
over many calls, and Python threads sharing trees. Anything that could take the interpreter
down runs in a fresh one."""

from __future__ import annotations

import os
import sys
import threading

import numpy as np
import pytest

from conftest import NO_ADDRESS_LIMIT, not_under_sanitizers, run_python
from kestrum import ExpressionTree



# --- allocations beyond a limited address space --------------------------------------------

OUTCOMES = """
    import resource
    import numpy as np
    from kestrum import ExpressionTree
    leaf = ExpressionTree(np.ones((2, 2)))
    empty_wide = ExpressionTree(np.empty((0, 2**30)))
    column = ExpressionTree(np.ones((3, 1)))
    cases = {cases}
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    for name, call in cases.items():
        try:
            call()
            outcome = "no error"
        except MemoryError:
            outcome = "MemoryError"
        except BaseException as e:
            outcome = type(e).__name__
        print(name, outcome, leaf(np.array([1.0, 2.0])), flush=True)
"""

# What each case allocates in proportion to a size the caller chose; every one is far beyond
# the 1 GiB limit, and shapes whose element count does not fit in 64 bits are refused first.
MEMORY_CASES = {
    "integ-evaluate": ("leaf.integ([2**27, 0])(np.ones((3, 2)))", "MemoryError"),
    "integ-point": ("leaf.integ([0, 2**40])(np.ones(2))", "MemoryError"),
    "integ-expand": ("leaf.integ([2**27, 1]).expand()", "MemoryError"),
    "deriv-negative-expand": ("leaf.deriv([-(2**27), 1]).expand()", "MemoryError"),
    "integ-count-overflows": ("leaf.integ([2**40, 2**40])(np.ones(2))", "PanicException"),
    "zero-dimension": ("ExpressionTree.zero(2**27)", "MemoryError"),
    "one-dimension": ("ExpressionTree.one(2**27)", "MemoryError"),
    "expand-product": ("(empty_wide * column).expand()", "MemoryError"),
    "expand-product-count-overflows":
        ("(ExpressionTree(np.empty((0, 2**40))) * ExpressionTree(np.empty((2**40, 0)))).expand()",
         "PanicException"),
    "expand-quotient-sum": ("(column / column + empty_wide / column).expand()", "MemoryError"),
    "batch": ("column(np.broadcast_to(np.ones(2), (2**31, 2)))", "MemoryError"),
    "batch-of-deriv": ("column.deriv([1, 0])(np.broadcast_to(np.ones(2), (2**31, 2)))", "MemoryError"),
}


@not_under_sanitizers(NO_ADDRESS_LIMIT)
def test_allocations_beyond_the_address_space_raise_and_leave_the_interpreter_usable():
    cases = "{" + ", ".join(f"{name!r}: lambda: {code}" for name, (code, _) in MEMORY_CASES.items()) + "}"
    r = run_python(OUTCOMES.format(cases=cases), timeout=300)
    assert r.returncode == 0, r.stderr
    got = {line.split()[0]: line.split()[1:] for line in r.stdout.splitlines()}
    assert got == {name: [outcome, "6.0"] for name, (_, outcome) in MEMORY_CASES.items()}


# --- deep trees -------------------------------------------------------------------------------

DEEP = """
    import gc, sys, threading
    import numpy as np
    from kestrum import ExpressionTree
    sys.setrecursionlimit(100000)
    leaf = ExpressionTree(np.array([[0.5, 1.0], [0.25, 0.0]]))
    t = leaf
    # Every node kind, 20000 levels: mostly one-child nodes, a binary node every tenth level.
    steps = [lambda t: t * 1.0, lambda t: t.deriv([0, 0]), lambda t: 1.0 * t, lambda t: t / 1.0,
             lambda t: t.integ([0, 0]), lambda t: t * 1.0, lambda t: t.deriv([0, 0]),
             lambda t: 1.0 * t, lambda t: t / 1.0]
    binary = [lambda t: t + leaf, lambda t: t - leaf, lambda t: t * leaf, lambda t: t / leaf]
    for level in range({depth}):
        t = binary[(level // 10) % 4](t) if level % 10 == 9 else steps[level % 10](t)
    calls = {{
        "evaluate": lambda: t(np.array([0.5, 0.25])),
        "batch": lambda: t(np.ones((7, 2))),
        "str": lambda: str(t),
        "shape": lambda: t.shape,
        "dimension": lambda: t.dimension,
        "to_constant": lambda: t.to_constant(),
        "squeeze": lambda: t.squeeze(),
        "drop_params": lambda: t.drop_params(np.array([0])),
        "expand": lambda: t.expand(),
        "partial": lambda: t.partial([0], [0.5]),
        "deriv": lambda: t.deriv([1, 0]),
        "deriv-evaluate": lambda: t.deriv([1, 0])(np.ones(2)),
        "integ": lambda: t.integ([1, 0]),
        "add": lambda: t + t,
        "mul": lambda: t * t,
        "rmul": lambda: 2j * t,
        "div": lambda: leaf / t,
    }}
    def run_all(out):
        for name, call in calls.items():
            try:
                result = call()
                del result
                out.append(name + ":ok")
            except Exception as e:
                out.append(name + ":" + type(e).__name__)
    out = []
    run_all(out)
    small = []
    threading.stack_size({stack})
    worker = threading.Thread(target=run_all, args=(small,))
    worker.start()
    worker.join()
    print(" ".join(out))
    print(" ".join(small))
    # Freed on the small stack too: the last reference goes away on that thread.
    box = [t]
    del t
    worker = threading.Thread(target=box.clear)
    worker.start()
    worker.join()
    print("freed")
"""


def test_tree_20000_deep_survives_every_operation_and_is_freed():
    r = run_python(DEEP.format(depth=20000, stack=256 * 1024), timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    lines = r.stdout.splitlines()
    assert lines[-1] == "freed"
    for line in lines[:2]:
        outcomes = dict(item.split(":") for item in line.split())
        assert set(outcomes) == {"evaluate", "batch", "str", "shape", "dimension", "to_constant", "squeeze",
                                 "drop_params", "expand", "partial", "deriv", "deriv-evaluate", "integ", "add",
                                 "mul", "rmul", "div"}
        # Python exceptions are allowed; which ones depends on the stack each walk gets.
        assert set(outcomes.values()) <= {"ok", "RecursionError", "ValueError"}, line
    main = dict(item.split(":") for item in lines[0].split())
    # Walks that never recurse finish on the main thread whatever the depth.
    for name in ("str", "shape", "dimension", "squeeze", "deriv", "integ", "add", "mul", "rmul", "div"):
        assert main[name] == "ok", name


# --- nothing lost: arguments, receivers, reference counts ------------------------------------

def _receivers():
    ints = ExpressionTree(np.array([[1, 2], [3, 4]]))
    floats = ExpressionTree(np.array([[0.5, -1.0], [2.0, 0.0]]))
    return {"i64": ints, "f64": floats, "c64": floats * 1j, "sum": ints + floats / floats,
            "deriv": floats.deriv([1, 0])}


def _arguments():
    base = np.arange(12.0).reshape(3, 4)
    return {
        "points": np.array([[0.5, 2.0], [-1.0, 3.0]]),
        "strided": base[:, ::2],                  # not contiguous
        "fortran": np.asfortranarray(base[:2, :2]),
        "readonly": np.array([[1.0, 2.0]]),
        "swapped": np.array([[1.0, 2.0]]).astype(">f8"),
        "complex": np.array([1.0 + 2j, 0.5]),
        "bad_shape": np.ones((2, 5)),
        "empty_rows": np.empty((0, 2)),
        "strings": np.array(["a", "b"]),
        "objects": np.array([1.0, None], dtype=object),
        "indices": np.array([1, 0]),
        "index_list": [0, 1],
        "drop_index": np.array([0]),
        "huge_orders": np.array([2**62, -(2**62)]),
    }


def _entries(t, a):
    """Every entry, each fed arguments that make it succeed or fail."""
    return {
        "construct": lambda: ExpressionTree(a["points"]),
        "construct_strided": lambda: ExpressionTree(a["strided"]),
        "construct_strings": lambda: ExpressionTree(a["strings"]),
        "construct_objects": lambda: ExpressionTree(a["objects"]),
        "call": lambda: t(a["points"]),
        "call_strided": lambda: t(a["strided"][:, :2]),
        "call_fortran": lambda: t(a["fortran"]),
        "call_readonly": lambda: t(a["readonly"]),
        "call_swapped": lambda: t(a["swapped"]),
        "call_complex": lambda: t(a["complex"]),
        "call_bad_shape": lambda: t(a["bad_shape"]),
        "call_empty_rows": lambda: t(a["empty_rows"]),
        "call_strings": lambda: t(a["strings"]),
        "str": lambda: str(t),
        "add": lambda: t + t,
        "add_number": lambda: t + 1,
        "sub": lambda: t - t,
        "mul": lambda: t * t,
        "mul_array": lambda: t * a["points"],
        "rmul": lambda: 2.5 * t,
        "rmul_method": lambda: t.__rmul__(a["complex"]),
        "div": lambda: t / t,
        "div_number": lambda: t / 0,
        "rdiv": lambda: 1 / t,
        "shape": lambda: t.shape,
        "dimension": lambda: t.dimension,
        "expand": lambda: t.expand(),
        "partial": lambda: t.partial(a["indices"][:1], a["points"][0, :1]),
        "partial_bad": lambda: t.partial(a["indices"], a["strings"]),
        "deriv": lambda: t.deriv(a["indices"]),
        "deriv_list": lambda: t.deriv(a["index_list"]),
        "deriv_huge": lambda: t.deriv(a["huge_orders"])(a["points"]),
        "integ": lambda: t.integ(a["indices"]),
        "integ_strings": lambda: t.integ(a["strings"]),
        "drop_params": lambda: t.drop_params(a["drop_index"]),
        "drop_params_list": lambda: t.drop_params(a["index_list"]),
        "squeeze": lambda: t.squeeze(),
        "to_constant": lambda: t.to_constant(),
        "zero": lambda: ExpressionTree.zero(2),
        "one_bad": lambda: ExpressionTree.one(a["points"]),
    }


def _snapshot(x):
    if isinstance(x, np.ndarray):
        flags = {k: x.flags[k] for k in ("C_CONTIGUOUS", "F_CONTIGUOUS", "OWNDATA", "WRITEABLE", "ALIGNED")}
        return (x.dtype, x.shape, x.strides, flags, x.tobytes())
    return repr(x)


def _call(f):
    try:
        f()
    except BaseException as e:  # the internal-failure type derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise


@pytest.mark.parametrize("receiver", sorted(_receivers()))
def test_calls_leave_arguments_and_receiver_as_they_were(receiver):
    t = _receivers()[receiver]
    args = _arguments()
    args["readonly"].flags.writeable = False
    points = np.array([[0.5, 2.0], [-1.0, 3.0]])
    text, values = str(t), t(points).tobytes()
    for name, entry in _entries(t, args).items():
        before = {k: (_snapshot(v), sys.getrefcount(v)) for k, v in args.items()}
        _call(entry)
        after = {k: (_snapshot(v), sys.getrefcount(v)) for k, v in args.items()}
        assert after == before, name
        assert str(t) == text, name
        assert t(points).tobytes() == values, name


# The same entries, 20000 times each: the process must not grow. One subprocess for all of
# them, so the numbers are not disturbed by the test runner.
FLAT = """
    import gc, sys
    import numpy as np
    sys.path.insert(0, {tests!r})
    from test_hardening import _arguments, _call, _entries, _receivers

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    t = _receivers()["sum"]
    args = _arguments()
    for name, entry in _entries(t, args).items():
        for _ in range(2000):
            _call(entry)
        gc.collect()
        start = rss()
        for _ in range(20000):
            _call(entry)
        gc.collect()
        print(name, rss() - start, flush=True)
"""


@not_under_sanitizers("the sanitizer runtime holds freed memory in quarantine")
def test_memory_stays_flat_over_repeated_calls():
    r = run_python(FLAT.format(tests=os.path.dirname(__file__)), timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    growth = {line.split()[0]: int(line.split()[1]) for line in r.stdout.splitlines()}
    assert set(growth) == set(_entries(None, _arguments()))
    # A leak of one small object per call would add 20000 × 32 bytes; allocator noise stays
    # well below that.
    assert {name: g for name, g in growth.items() if g > 256 * 1024} == {}


# --- Python threads sharing trees ----------------------------------------------------------

def test_threads_sharing_trees_get_the_sequential_results():
    rng = np.random.default_rng(5)
    a = ExpressionTree(rng.uniform(-1, 1, (3, 2)))
    b = ExpressionTree(rng.integers(-3, 4, (2, 3)))
    small = rng.uniform(-1, 1, (9, 2))
    batch = rng.uniform(-1, 1, (12001, 2))        # three chunks: the worker pool runs
    jobs = [
        lambda: a(batch).tobytes(),
        lambda: (a * b)(small).tobytes(),
        lambda: (a / b - 2.0 * a)(batch).tobytes(),
        lambda: str(a + b * 1j),
        lambda: str(b.deriv([1, 0])),
        lambda: b.integ([0, 1])(small).tobytes(),
        lambda: (a - b).expand()(small).tobytes(),
        lambda: a.partial([1], [0.5])(small).tobytes(),
    ]
    expected = [job() for job in jobs]
    failures = []

    def worker(offset):
        try:
            for i in range(40):
                k = (i + offset) % len(jobs)
                if jobs[k]() != expected[k]:
                    failures.append(k)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(repr(e))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old)
    assert failures == []
