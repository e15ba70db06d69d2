"""Operators + - * / between trees and with numbers: element-type promotion, number rules,
and the errors of foreign operands. Results are checked by evaluation against the reference."""

from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from conftest import assert_bits_equal, random_points, twin
from kestrum import ExpressionTree
from reference import DTYPES, KINDS, wider

COEFFS = {"i64": [[2, -3], [5, 1]], "f64": [[0.5, -3.25], [1e-3, 7.0]],
          "c64": [[0.5 + 1j, -3.25], [2j, 7.0 - 0.1j]]}
# Denominators that stay away from zero at the points below.
DENOMS = {"i64": [[9, 1], [1, 0]], "f64": [[9.5, 0.25], [1.0, 0.0]],
          "c64": [[9.5 + 0.5j, 0.25], [1.0, 0.0]]}
INT_POINTS = np.array([[1, 2], [3, 0], [-1, 4]], np.int64)


def evaluate_both(t, m, points=INT_POINTS):
    out = t(points)
    assert_bits_equal(out, m(points))
    return out


@pytest.mark.parametrize("op", ["+", "-", "*", "/"])
@pytest.mark.parametrize("left", KINDS)
@pytest.mark.parametrize("right", KINDS)
def test_tree_operators_promote_to_wider_kind(op, left, right):
    a, ma = twin(np.array(COEFFS[left], DTYPES[left]))
    b, mb = twin(np.array((DENOMS if op == "/" else COEFFS)[right], DTYPES[right]))
    apply = {"+": lambda x, y: x + y, "-": lambda x, y: x - y,
             "*": lambda x, y: x * y, "/": lambda x, y: x / y}[op]
    t, m = apply(a, b), apply(ma, mb)
    out = evaluate_both(t, m, np.array([[1, 2], [3, 1], [2, 4]]))
    assert out.dtype == DTYPES[wider(left, right)]
    assert t.dimension == 2


def test_operands_are_left_then_right():
    a, ma = twin(np.array([1.5, 2.0]))
    b, mb = twin(np.array([[4, 1]]).reshape(2))
    pts = np.array([[3.0], [0.5]])
    assert_bits_equal((a - b)(pts), (ma - mb)(pts))
    assert_bits_equal((b - a)(pts), -(a - b)(pts))
    assert_bits_equal((a / b)(pts), a(pts) / b(pts).astype(np.float64))


@pytest.mark.parametrize("op", ["+", "-", "*", "/"])
@pytest.mark.parametrize("left, right", [
    ("i64", "i64"), ("i64", "f64"), ("f64", "c64"), ("c64", "i64")])
@pytest.mark.parametrize("dims", [(2, 3), (0, 1), (1, 0)])
def test_dimension_mismatch(op, left, right, dims):
    a = ExpressionTree(np.ones((2,) * dims[0], DTYPES[left]))
    b = ExpressionTree(np.ones((2,) * dims[1], DTYPES[right]))
    with pytest.raises(ValueError) as exc:
        {"+": lambda: a + b, "-": lambda: a - b, "*": lambda: a * b, "/": lambda: a / b}[op]()
    assert str(exc.value) == "Incompatible dimensions for composition"


def test_dimension_is_that_of_leftmost_leaf():
    a = ExpressionTree(np.ones((2, 3)))
    b = ExpressionTree(np.ones((3, 1)))
    t = (a * b * 2).deriv([1, 0]) / (b + a)
    assert t.dimension == 2
    zero_dim = ExpressionTree(np.array(4)) + ExpressionTree(np.array(2.5))
    assert_bits_equal(zero_dim(np.zeros((2, 0))), np.array([6.5, 6.5]))


class Indexable:
    def __index__(self):
        return 6


class Floaty:
    def __float__(self):
        return 0.75


class Complexish:
    def __complex__(self):
        return complex(1.0, -2.0)


@pytest.mark.parametrize("number, kinds", [
    (3, ("i64", "f64", "c64")),
    (-2, ("i64", "f64", "c64")),
    (0, ("i64", "f64", "c64")),
    (True, ("i64", "f64", "c64")),
    (np.int64(4), ("i64", "f64", "c64")),
    (np.int32(-7), ("i64", "f64", "c64")),
    (Indexable(), ("i64", "f64", "c64")),
    (2**63 - 1, ("i64", "f64", "c64")),
    (2**70, ("f64", "f64", "c64")),        # beyond 64 bits: read as a float
    (-(2**63) - 1, ("f64", "f64", "c64")),
    (2.5, ("f64", "f64", "c64")),
    (-0.0, ("f64", "f64", "c64")),
    (float("inf"), ("f64", "f64", "c64")),
    (np.float64(0.1), ("f64", "f64", "c64")),
    (Fraction(1, 3), ("f64", "f64", "c64")),
    (Decimal("1.25"), ("f64", "f64", "c64")),
    (Floaty(), ("f64", "f64", "c64")),
    (2j, ("c64", "c64", "c64")),
    (1 + 0j, ("c64", "c64", "c64")),      # a complex number always makes a complex tree
    (complex(-1.5, 0.25), ("c64", "c64", "c64")),
    (Complexish(), ("c64", "c64", "c64")),
    # NumPy complex values keep their imaginary part (their __float__ would drop it).
    (np.complex128(2j), ("c64", "c64", "c64")),
    (np.complex64(1.5 - 2j), ("c64", "c64", "c64")),
    (np.clongdouble(-0.5 + 0.25j), ("c64", "c64", "c64")),
    (np.array(0.5 + 3j), ("c64", "c64", "c64")),
])
def test_multiplication_by_numbers(dtype, number, kinds):
    t, m = twin(np.array(COEFFS[dtype], DTYPES[dtype]))
    want = DTYPES[kinds[KINDS.index(dtype)]]
    for tt, mm in [(t * number, m * number), (number * t, m * number),
                   (t.__rmul__(number), m * number), (t.__rmul__(other=number), m * number)]:
        assert evaluate_both(tt, mm).dtype == want


@pytest.mark.parametrize("number, kinds", [
    (4, ("f64", "f64", "c64")),            # the reciprocal is a float, even for i64 trees
    (-3, ("f64", "f64", "c64")),
    (True, ("f64", "f64", "c64")),
    (0, ("f64", "f64", "c64")),             # 1/0: an infinite factor, no error
    (2**70, ("f64", "f64", "c64")),
    (0.3, ("f64", "f64", "c64")),
    (-0.0, ("f64", "f64", "c64")),
    (float("nan"), ("f64", "f64", "c64")),
    (Fraction(2, 7), ("f64", "f64", "c64")),
    (2j, ("c64", "c64", "c64")),
    (complex(3.0, -4.0), ("c64", "c64", "c64")),
    (1 + 0j, ("c64", "c64", "c64")),
    (0j, ("c64", "c64", "c64")),            # inverse of 0: (NaN, NaN)
    (np.complex128(3.0 - 4.0j), ("c64", "c64", "c64")),
    (np.complex64(2j), ("c64", "c64", "c64")),
    (np.array(-1j), ("c64", "c64", "c64")),
])
def test_division_by_numbers(dtype, number, kinds):
    t, m = twin(np.array(COEFFS[dtype], DTYPES[dtype]))
    out = evaluate_both(t / number, m / number)
    assert out.dtype == DTYPES[kinds[KINDS.index(dtype)]]


def test_division_reciprocals():
    t = ExpressionTree(np.array([[1, 2], [4, 0]]))
    pts = np.array([[1, 1], [2, 3]])
    assert_bits_equal((t / 4)(pts), t(pts) * 0.25)
    inf = (t / 0)(np.array([[1, 1]]))
    assert inf.dtype == np.float64 and np.isposinf(inf[0])
    assert np.isneginf((t / -0.0)(np.array([[1, 1]]))[0])
    # The inverse of 2i is (0, -0.5) with a +0.0 real part.
    z = (ExpressionTree(np.array([1.0])) / 2j)(np.zeros(1))
    assert_bits_equal(z, np.array(complex(0.0, -0.5)))
    assert np.isnan((ExpressionTree(np.array([1.0])) / 0j)(np.zeros(1))).all()


def test_random_points_through_mixed_operators(dtype):
    rng = np.random.default_rng(21)
    a, ma = twin(np.array(COEFFS[dtype], DTYPES[dtype]))
    b, mb = twin(np.array(COEFFS["f64"]))
    t, m = (2 * a - b * 0.5) * (a + 1j * b) / 3, (2 * ma - mb * 0.5) * (ma + 1j * mb) / 3
    pts = random_points(rng, (40,), 2, "c64")
    assert_bits_equal(t(pts), m(pts))


@pytest.mark.parametrize("left", [1, 2.5, "s", None, [1]], ids=repr)
def test_foreign_left_operand_cannot_be_converted(left):
    t = ExpressionTree(np.array([1.0, 2.0]))
    name = type(left).__qualname__
    for apply in (lambda: left + t, lambda: left - t, lambda: left / t):
        with pytest.raises(TypeError) as exc:
            apply()
        assert str(exc.value) == f"'{name}' object cannot be converted to 'ExpressionTree'"


@pytest.mark.parametrize("right", [1, 2.5, "s", None, [1]], ids=repr)
def test_foreign_right_operand_of_add_sub_is_not_implemented(right):
    t = ExpressionTree(np.array([1.0, 2.0]))
    for symbol, apply in (("+", lambda: t + right), ("-", lambda: t - right)):
        with pytest.raises(TypeError) as exc:
            apply()
        assert str(exc.value) == (f"unsupported operand type(s) for {symbol}: "
                                  f"'builtins.ExpressionTree' and '{type(right).__name__}'")
    assert t.__add__(right) is NotImplemented
    assert t.__sub__(right) is NotImplemented


def test_not_implemented_lets_the_other_operand_answer():
    class Other:
        def __radd__(self, tree):
            return ("radd", type(tree).__name__)

        def __rsub__(self, tree):
            return ("rsub", type(tree).__name__)

    t = ExpressionTree(np.array([1.0]))
    assert t + Other() == ("radd", "ExpressionTree")
    assert t - Other() == ("rsub", "ExpressionTree")


@pytest.mark.parametrize("other", ["s", None, [1], {}, object(), 2**1100, b"x"], ids=repr)
def test_invalid_numbers(other):
    t = ExpressionTree(np.array([1, 2]))
    for apply in (lambda: t * other, lambda: other * t, lambda: t.__rmul__(other)):
        with pytest.raises(ValueError) as exc:
            apply()
        assert str(exc.value) == "Invalid type provided for multiplication"
    with pytest.raises(ValueError) as exc:
        t / other
    assert str(exc.value) == "Invalid type provided for division"


def test_rmul_with_tree_and_reflected_product():
    a, ma = twin(np.array([[1, 2], [3, 4]]))
    b, mb = twin(np.array([[0.5, 0.0], [2.0, 1.0]]))
    evaluate_both(a.__rmul__(b), ma * mb)
    evaluate_both(a.__rmul__(other=b), ma * mb)
    with pytest.raises(ValueError) as exc:
        a.__rmul__(ExpressionTree(np.ones(3)))
    assert str(exc.value) == "Incompatible dimensions for composition"


def test_operands_are_not_changed(dtype):
    a = ExpressionTree(np.array(COEFFS[dtype], DTYPES[dtype]))
    b = ExpressionTree(np.array(DENOMS["f64"]))
    before_a, before_b = a(INT_POINTS), b(INT_POINTS)
    for _ in (a + b, a - b, a * b, a / b, a * 2j, 3 * a, a / 5, a.deriv([1, 0])):
        pass
    assert_bits_equal(a(INT_POINTS), before_a)
    assert_bits_equal(b(INT_POINTS), before_b)
