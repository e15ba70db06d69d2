"""Limits of the evaluation and calculus kernels: factors beyond 2**63, orders near the
ends of the signed 64-bit range, sizes that cannot be allocated, and very deep trees."""

import math
import threading

import numpy as np
import pytest

from conftest import assert_bits_equal, assert_panic
from kestrum import ExpressionTree

I64_MIN = -2 ** 63
I64_MAX = 2 ** 63 - 1


@pytest.mark.parametrize("length, order, factor", [
    (22, 21, math.factorial(21)),      # 21! is exact in f64 but not below 2**63
    (21, 20, math.factorial(20)),
    (40, 39, float(math.factorial(39))),   # beyond 2**64: rounded, still finite
    (200, 199, math.inf),              # beyond the f64 range
])
def test_large_derivative_factors(length, order, factor):
    coeffs = np.zeros(length)
    coeffs[-1] = 1.0
    value = ExpressionTree(coeffs).deriv([order])(np.array([0.5]))
    if factor < 2 ** 64 or math.isinf(factor):
        assert value == float(factor)      # formed exactly, rounded once
    else:
        assert math.isclose(value, factor, rel_tol=1e-14)


@pytest.mark.parametrize("method, order", [
    ("deriv", I64_MIN),
    ("integ", I64_MIN),                # negation wraps: still -2**63
    ("deriv", -I64_MAX),               # length 2 + (2**63 - 1) leaves the signed range
    ("integ", I64_MAX - 1),
])
def test_orders_outside_the_length_range_are_refused(method, order):
    tree = getattr(ExpressionTree(np.array([1.0, 2.0])), method)([order])
    with pytest.raises(ValueError) as exc:
        tree(np.array([1.0]))
    assert str(exc.value) == "Derivative order out of range"


def test_integral_too_large_to_describe_is_an_internal_failure():
    tree = ExpressionTree(np.array([1.0, 2.0])).integ([2 ** 61])
    with pytest.raises(BaseException) as exc:
        tree(np.array([1.0]))
    assert_panic(exc)
    # The tree is unchanged and still usable.
    assert tree.integ([-(2 ** 61)])(np.array([2.0])) == 5.0


@pytest.mark.parametrize("order", [2, 3, I64_MAX])
def test_orders_beyond_the_degree_give_zeros(order):
    tree = ExpressionTree(np.array([1.0, 2.0])).deriv([order])
    assert_bits_equal(tree(np.ones((3, 1))), np.zeros(3))


@pytest.mark.parametrize("wrap, per_leaf", [
    (lambda t: t, lambda x: 1.0),
    (lambda t: t.deriv([0]), lambda x: 1.0),
    (lambda t: t.integ([1]), lambda x: x),
], ids=["values", "zero-order", "integral"])
def test_deep_sums_evaluate_on_a_small_thread_stack(wrap, per_leaf):
    # A walk that recursed once per level would overflow (or refuse) a 256 KiB stack here.
    depth = 4000
    leaf = ExpressionTree(np.array([1.0]))
    tree = leaf
    for _ in range(depth):
        tree = tree + leaf
    tree = wrap(tree)
    points = np.array([[1.0], [2.0]])
    out = {}
    old = threading.stack_size(256 * 1024)
    try:
        worker = threading.Thread(target=lambda: out.setdefault("values", tree(points)))
        worker.start()
        worker.join()
    finally:
        threading.stack_size(old)
    expected = np.array([(depth + 1) * per_leaf(x) for x in points[:, 0]])
    assert_bits_equal(out["values"], expected)
