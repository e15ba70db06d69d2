"""A small, slow model of kestrum's arithmetic, for bit-for-bit comparisons in the tests.

It repeats the module's fixed operation order with NumPy element-wise operations, one rounding
per operation and no fused multiply-add:

* a coefficient array is evaluated term by term: coefficients in row-major order, zero
  coefficients skipped, the powers of one term multiplied in ascending axis order and then by
  the coefficient, the first present term taken as the running sum unchanged;
* powers use exponentiation by squaring from the lowest bit (``element_power``);
* ``i64`` wraps modulo 2**64, and integer division truncates toward zero;
* ``c64`` values are pairs of float64 arrays with the textbook product and quotient (Python's
  and NumPy's complex division scale their operands, so neither is used).

Element kinds are the strings ``"i64"``, ``"f64"`` and ``"c64"``.

Public API (stable; other test files import it):

``element_power(x, k, kind)``
    ``x`` raised to the integer ``k`` under the per-kind exponent rules.
``eval_poly(coeffs, points, kind) -> np.ndarray``
    Values of one coefficient array at a batch of points.
``differentiate(coeffs, orders, kind) -> np.ndarray``
    Coefficient array of the mixed derivative/antiderivative by signed per-axis orders.
``sum_orders(outer, inner) -> tuple``
    Orders of two nested derivative nodes merged into one list.
``Leaf, Add, Sub, Mul, Div, Scale, Deriv, Pow`` and ``eval_tree(node, points, kind)``
    A tree of one kind and its evaluation, lazy derivatives included: the two-term product
    rule for a single first derivative, else the general Leibniz sum of derivative values
    while ``leibniz_terms`` applies, else the derivative of the product's expansion; the
    antiderivative of a derivative made concrete first (``integrates_a_derivative``).
``leibniz_terms(orders)``, ``count_as(n, kind)``
    The Leibniz terms (β, o − β, C(o, β)) in row-major order of β, or None past the limits;
    a count as an element of the kind.
``Model``
    A typed tree with the Python surface of ``ExpressionTree`` for construction, ``+ - * /``,
    ``__rmul__``, ``deriv``, ``integ`` and calls, so a test can build the same tree twice.
``EvalFailure``, ``InternalFailure``
    What the model raises where the module raises ``ValueError`` or ``PanicException``.
"""

from __future__ import annotations

import itertools
import math
import operator
from dataclasses import dataclass

import numpy as np

KINDS = ("i64", "f64", "c64")
DTYPES = {"i64": np.dtype(np.int64), "f64": np.dtype(np.float64), "c64": np.dtype(np.complex128)}
_RANK = {"i64": 0, "f64": 1, "c64": 2}
_I64_MIN = -(2**63)
RATIONALS = "Derivatives and integrals of rationals are not supported."
POWERS = "Derivatives and integrals of powers are not supported."
MAX_LEIBNIZ_TERMS = 4096
MAX_LEIBNIZ_COEFFICIENT = 2**53


class EvalFailure(ValueError):
    """A failure the module reports as ValueError with this exact message."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


class InternalFailure(Exception):
    """A failure the module reports as pyo3_runtime.PanicException."""


def kind_of_dtype(dtype) -> str:
    """The kind whose NumPy dtype is ``dtype`` (int64, float64 or complex128)."""
    for kind, dt in DTYPES.items():
        if np.dtype(dtype) == dt:
            return kind
    raise KeyError(dtype)


def wider(a: str, b: str) -> str:
    return a if _RANK[a] >= _RANK[b] else b


# --- vectors: 1-D arrays per kind; c64 is a (re, im) pair of float64 arrays ------------------


def _to_vec(values: np.ndarray, kind: str):
    flat = np.ascontiguousarray(values).reshape(-1)
    if kind == "c64":
        return (flat.real.astype(np.float64), flat.imag.astype(np.float64))
    return flat.astype(DTYPES[kind], copy=True)


def _from_vec(vec, kind: str, shape) -> np.ndarray:
    if kind == "c64":
        out = np.empty(len(vec[0]), np.complex128)
        out.real = vec[0]
        out.imag = vec[1]
    else:
        out = np.asarray(vec, DTYPES[kind])
    return out.reshape(shape)


def _scalar(value, kind: str):
    """A scalar in the model's form: int (wrapped), float, or a (re, im) pair of floats."""
    if kind == "i64":
        return int(np.int64(value)) if not isinstance(value, int) else _wrap(value)
    if kind == "f64":
        return float(value)
    if isinstance(value, tuple):
        return (float(value[0]), float(value[1]))
    z = complex(value)
    return (z.real, z.imag)


def _wrap(v: int) -> int:
    v &= (1 << 64) - 1
    return v - (1 << 64) if v >= (1 << 63) else v


def _full(value, n: int, kind: str):
    if kind == "c64":
        return (np.full(n, value[0], np.float64), np.full(n, value[1], np.float64))
    return np.full(n, value, DTYPES[kind])


def _is_zero(value, kind: str) -> bool:
    if kind == "c64":
        return value[0] == 0.0 and value[1] == 0.0
    return value == 0


def _add(a, b, kind):
    with np.errstate(all="ignore"):
        if kind == "c64":
            return (a[0] + b[0], a[1] + b[1])
        return a + b


def _sub(a, b, kind):
    with np.errstate(all="ignore"):
        if kind == "c64":
            return (a[0] - b[0], a[1] - b[1])
        return a - b


def _mul(a, b, kind):
    with np.errstate(all="ignore"):
        if kind == "c64":
            # Each real product is its own rounded array before the difference or sum.
            rr, ii = a[0] * b[0], a[1] * b[1]
            ri, ir = a[0] * b[1], a[1] * b[0]
            return (rr - ii, ri + ir)
        return a * b


def _div(a, b, kind):
    if kind == "i64":
        for x, y in zip(a.tolist(), b.tolist()):
            if y == 0:
                raise InternalFailure("attempt to divide by zero")
            if x == _I64_MIN and y == -1:
                raise InternalFailure("attempt to divide with overflow")
        q = np.floor_divide(a, b)
        q += ((a - q * b) != 0) & ((a < 0) != (b < 0))
        return q
    with np.errstate(all="ignore"):
        if kind == "c64":
            cc, dd = b[0] * b[0], b[1] * b[1]
            n = cc + dd
            ac, bd = a[0] * b[0], a[1] * b[1]
            bc, ad = a[1] * b[0], a[0] * b[1]
            return ((ac + bd) / n, (bc - ad) / n)
        return a / b


def _one(n: int, kind: str):
    return _full({"i64": 1, "f64": 1.0, "c64": (1.0, 0.0)}[kind], n, kind)


def _copy(vec, kind):
    return (vec[0].copy(), vec[1].copy()) if kind == "c64" else vec.copy()


def _power_vec(vec, k: int, kind: str):
    if kind == "i64":
        e, negative = k & ((1 << 64) - 1), False
    else:
        s = k & 0xFFFFFFFF
        if s >= 1 << 31:
            s -= 1 << 32
        e, negative = abs(s), s < 0
        if kind == "c64" and negative:
            with np.errstate(all="ignore"):
                q = vec[0] * vec[0] + vec[1] * vec[1]
                vec = (vec[0] / q, -vec[1] / q)
    n = len(vec[0]) if kind == "c64" else len(vec)
    if e == 0:
        result = _one(n, kind)
    else:
        p = vec
        while e % 2 == 0:
            p = _mul(p, p, kind)
            e //= 2
        result = p
        e //= 2
        while e:
            p = _mul(p, p, kind)
            if e & 1:
                result = _mul(result, p, kind)
            e //= 2
        result = _copy(result, kind)
    if kind == "f64" and negative:
        with np.errstate(all="ignore"):
            result = 1.0 / result
    return result


def element_power(x, k: int, kind: str):
    """``x ** k`` by squaring from the lowest exponent bit.

    ``x`` is a NumPy array of the kind's dtype (any shape) or a Python number. ``i64`` uses all
    64 bits of ``k`` and wraps; ``f64`` and ``c64`` use the low 32 bits of ``k`` as a signed
    32-bit exponent (negative: ``c64`` inverts first, ``f64`` inverts the result)."""
    arr = np.asarray(x, DTYPES[kind])
    out = _from_vec(_power_vec(_to_vec(arr, kind), k, kind), kind, arr.shape)
    return out if isinstance(x, np.ndarray) else out[()]


# --- coefficient arrays ------------------------------------------------------------------


@dataclass
class _Points:
    """Points of one kind laid out as rows: one column vector per coordinate."""

    kind: str
    batch: tuple
    n: int
    ndim: int
    cols: list


def _prepare_points(points, kind: str) -> _Points:
    pts = np.asarray(points, DTYPES[kind])
    if pts.ndim == 0:
        raise EvalFailure("Failed to get new len")
    batch = pts.shape[:-1]
    n = math.prod(batch)
    rows = pts.reshape(n, pts.shape[-1])
    cols = [_to_vec(rows[:, e], kind) for e in range(pts.shape[-1])]
    return _Points(kind, batch, n, pts.ndim, cols)


def _eval_leaf(coeffs: np.ndarray, pts: _Points):
    kind = pts.kind
    if pts.ndim >= 2 and pts.n == 0:
        raise EvalFailure("Failed to concatenate values after eval")
    if coeffs.ndim != len(pts.cols):
        raise AssertionError("points do not match the coefficient array")
    total = None
    for index in np.ndindex(*coeffs.shape):
        c = _scalar(coeffs[index], kind)
        if _is_zero(c, kind):
            continue
        product = None
        for axis, k in enumerate(index):
            if k == 0:
                continue
            factor = pts.cols[axis] if k == 1 else _power_vec(pts.cols[axis], k, kind)
            product = factor if product is None else _mul(product, factor, kind)
        cvec = _full(c, pts.n, kind)
        term = cvec if product is None else _mul(product, cvec, kind)
        total = term if total is None else _add(total, term, kind)
    if total is None:
        total = _full(_scalar(0, kind), pts.n, kind)
    return total


def eval_poly(coeffs, points, kind: str) -> np.ndarray:
    """Values of the coefficient array ``coeffs`` at ``points`` (last axis: one coordinate per
    axis of ``coeffs``), shaped like the points without their last axis.

    Raises EvalFailure for points without axes and for an empty batch of two or more axes."""
    coeffs = np.asarray(coeffs, DTYPES[kind])
    pts = _prepare_points(points, kind)
    return _from_vec(_eval_leaf(coeffs, pts), kind, pts.batch)


def _consecutive_product(start: int, count: int) -> float:
    """start · (start + 1) ··· (start + count − 1) as a float: exact while it stays below
    2**64 and rounded once, then continued factor by factor in floating point (up to inf)."""
    exact, j = 1, 0
    while j < count and exact * (start + j) < 2**64:
        exact *= start + j
        j += 1
    value = float(exact)
    while j < count and not math.isinf(value):
        value *= float(start + j)
        j += 1
    return value


def _axis_factor(i: int, k: int) -> float:
    if k == 0:
        return 1.0
    if k == 1:
        return float(i)
    if k > 0:
        return _consecutive_product(i - k + 1, k)
    return 1.0 / _consecutive_product(i + 1, -k)


def differentiate(coeffs, orders, kind: str) -> np.ndarray:
    """The coefficient array of the derivative (order > 0) or antiderivative (order < 0) of
    ``coeffs``, one signed order per axis, with the per-coefficient f64 factor formed in
    ascending axis order and applied once per coefficient.

    Raises EvalFailure "Incompatible dimensions for composition" for a wrong number of orders,
    and for i64 a factor outside the 64-bit range "Something went wrong trying to integrate
    after allocation"."""
    coeffs = np.asarray(coeffs, DTYPES[kind])
    orders = [int(k) for k in orders]
    if len(orders) != coeffs.ndim:
        raise EvalFailure("Incompatible dimensions for composition")
    shape = tuple(max(length - k, 0) for length, k in zip(coeffs.shape, orders))
    out = np.zeros(shape, DTYPES[kind])
    for index in np.ndindex(*coeffs.shape):
        target = tuple(i - k for i, k in zip(index, orders))
        if any(j < 0 for j in target):
            continue
        factor = 1.0
        for axis, (i, k) in enumerate(zip(index, orders)):
            f = _axis_factor(i, k)
            factor = f if axis == 0 else factor * f
        c = coeffs[index]
        if kind == "f64":
            out[target] = factor * float(c)
        elif kind == "c64":
            re, im = float(c.real), float(c.imag)
            out[target] = complex(factor * re - 0.0 * im, factor * im + 0.0 * re)
        else:
            if math.isnan(factor) or not (-(2.0**63) <= factor < 2.0**63):
                raise EvalFailure("Something went wrong trying to integrate after allocation")
            out[target] = _wrap(int(factor) * int(c))
    return out


def sum_orders(outer, inner) -> tuple:
    """Orders of a derivative of a derivative: entry-wise sums (wrapping at 64 bits), as long
    as the shorter list."""
    return tuple(_wrap(int(a) + int(b)) for a, b in zip(outer, inner))


# --- trees of one kind -------------------------------------------------------------------


@dataclass
class Leaf:
    coeffs: np.ndarray


@dataclass
class Add:
    left: object
    right: object


@dataclass
class Sub:
    left: object
    right: object


@dataclass
class Mul:
    left: object
    right: object


@dataclass
class Div:
    left: object
    right: object


@dataclass
class Scale:
    factor: object  # int, float or (re, im)
    child: object


@dataclass
class Deriv:
    child: object
    orders: tuple


@dataclass
class Pow:
    child: object
    exponent: int


def dimension(node) -> int:
    """Number of axes of the leftmost leaf."""
    while not isinstance(node, Leaf):
        node = node.left if isinstance(node, (Add, Sub, Mul, Div)) else node.child
    return node.coeffs.ndim


def cast_node(node, target: str):
    """The tree rebuilt with every leaf and factor widened to ``target``."""
    if isinstance(node, Leaf):
        return Leaf(node.coeffs.astype(DTYPES[target]))
    if isinstance(node, (Add, Sub, Mul, Div)):
        return type(node)(cast_node(node.left, target), cast_node(node.right, target))
    if isinstance(node, Scale):
        f = node.factor
        if target == "f64":
            f = float(f)
        elif target == "c64" and not isinstance(f, tuple):
            f = (float(f), 0.0)
        return Scale(f, cast_node(node.child, target))
    if isinstance(node, Deriv):
        return Deriv(cast_node(node.child, target), tuple(node.orders))
    return Pow(cast_node(node.child, target), node.exponent)


def single_first(orders) -> bool:
    """One order 1 and all others 0: the only lists for which the two-term product rule holds."""
    return sorted(orders) == [0] * (len(orders) - 1) + [1]


def integrates_a_derivative(inner, outer) -> bool:
    """Whether differentiating Deriv(c, inner) by `outer` integrates along a parameter that
    `inner` differentiates (compared over the shorter list)."""
    return any(i > 0 and o < 0 for i, o in zip(inner, outer))


def leibniz_terms(orders):
    """[(β, o − β, C(o, β))] for every 0 ≤ β ≤ o in row-major order of β, or None when the
    rule does not apply: a negative order, more than 4096 terms, or a largest coefficient
    Π binom(o_i, ⌊o_i/2⌋) above 2**53."""
    orders = [int(k) for k in orders]
    if any(k < 0 for k in orders):
        return None
    count, largest = 1, 1
    for k in orders:
        count *= k + 1
        if count > MAX_LEIBNIZ_TERMS:
            return None
        largest *= math.comb(k, k // 2)
        if largest > MAX_LEIBNIZ_COEFFICIENT:
            return None
    return [(list(beta), [k - b for k, b in zip(orders, beta)],
             math.prod(math.comb(k, b) for k, b in zip(orders, beta)))
            for beta in itertools.product(*(range(k + 1) for k in orders))]


def count_as(n: int, kind: str):
    """A count as an element: i64 modulo 2**64, f64 the nearest double, c64 (that, 0.0)."""
    if kind == "i64":
        return _wrap(n)
    if kind == "f64":
        return float(n)
    return (float(n), 0.0)


def _eval(node, pts: _Points):
    kind = pts.kind
    if isinstance(node, Leaf):
        return _eval_leaf(node.coeffs, pts)
    if isinstance(node, (Add, Sub, Mul, Div)):
        left = _eval(node.left, pts)
        right = _eval(node.right, pts)
        op = {Add: _add, Sub: _sub, Mul: _mul, Div: _div}[type(node)]
        return op(left, right, kind)
    if isinstance(node, Scale):
        return _mul(_eval(node.child, pts), _full(node.factor, pts.n, kind), kind)
    if isinstance(node, Deriv):
        return _eval_derivative(node.child, node.orders, pts)
    return _power_vec(_eval(node.child, pts), node.exponent, kind)


def _eval_product_derivative(node, orders, pts: _Points):
    kind = pts.kind
    if single_first(orders):
        p = _eval_derivative(node.left, orders, pts)
        r = _eval(node.right, pts)
        t1 = _mul(p, r, kind)
        l_ = _eval(node.left, pts)
        q = _eval_derivative(node.right, orders, pts)
        return _add(t1, _mul(l_, q, kind), kind)
    terms = leibniz_terms(orders)
    if terms is not None:
        total = None
        for beta, rest, c in terms:
            term = _mul(_eval_derivative(node.left, beta, pts), _eval_derivative(node.right, rest, pts), kind)
            if c != 1:
                term = _mul(term, _full(count_as(c, kind), pts.n, kind), kind)
            total = term if total is None else _add(total, term, kind)
        return total
    import reference_expand  # the expansion model builds on this module

    expanded = reference_expand.expand_tree(node, kind)
    if expanded[0] != "single":
        raise EvalFailure(RATIONALS)
    return _eval_leaf(differentiate(expanded[1], orders, kind), pts)


def _eval_derivative(node, orders, pts: _Points):
    kind = pts.kind
    orders = [int(k) for k in orders]
    if isinstance(node, Leaf):
        return _eval_leaf(differentiate(node.coeffs, orders, kind), pts)
    if isinstance(node, (Add, Sub)):
        p = _eval_derivative(node.left, orders, pts)
        q = _eval_derivative(node.right, orders, pts)
        return (_add if isinstance(node, Add) else _sub)(p, q, kind)
    if isinstance(node, Mul):
        return _eval_product_derivative(node, orders, pts)
    if isinstance(node, Div):
        raise EvalFailure(RATIONALS)
    if isinstance(node, Scale):
        c = _eval_derivative(node.child, orders, pts)
        return _mul(c, _full(node.factor, pts.n, kind), kind)
    if isinstance(node, Deriv):
        if integrates_a_derivative(node.orders, orders):
            import reference_expand

            return _eval_derivative(reference_expand.derive_tree(node.child, node.orders, kind), orders, pts)
        return _eval_derivative(node.child, sum_orders(orders, node.orders), pts)
    raise EvalFailure(POWERS)


def eval_tree(node, points, kind: str) -> np.ndarray:
    """Values of a tree of one kind at points of that kind (children left before right; the
    first failure is raised)."""
    pts = _prepare_points(points, kind)
    return _from_vec(_eval(node, pts), kind, pts.batch)


# --- the Python surface ------------------------------------------------------------------


def _accepts(array: np.ndarray, kind: str) -> bool:
    """Whether NumPy, asked for at least ``kind``'s dtype, hands back exactly that dtype."""
    try:
        return np.promote_types(array.dtype, DTYPES[kind]) == DTYPES[kind]
    except TypeError:
        return False


def read_number(x):
    """How the operators read a non-tree operand: ("int", k), ("float", x), ("complex",
    (re, im)) or None, trying integer, float and complex in this order."""
    if hasattr(type(x), "__index__"):
        try:
            k = operator.index(x)
        except TypeError:
            k = None
        if k is not None and _I64_MIN <= k < 2**63:
            return ("int", k)
    if isinstance(x, (str, bytes, bytearray)):
        return None
    # A complex value (NumPy complex scalars and arrays included) is never read as a float,
    # which would drop its imaginary part.
    if isinstance(x, (complex, np.complexfloating)) or (
            isinstance(x, np.ndarray) and x.dtype.kind == "c"):
        try:
            z = complex(x)
        except (OverflowError, TypeError, ValueError):
            return None
        return ("complex", (z.real, z.imag))
    if hasattr(type(x), "__float__") or hasattr(type(x), "__index__"):
        try:
            return ("float", float(x) if hasattr(type(x), "__float__") else float(operator.index(x)))
        except (OverflowError, TypeError, ValueError):
            pass
    for attr in ("__complex__", "__float__", "__index__"):
        if hasattr(type(x), attr):
            try:
                z = complex(x) if attr == "__complex__" else complex(float(x))
                return ("complex", (z.real, z.imag))
            except (OverflowError, TypeError, ValueError):
                return None
    return None


def _fdiv(a: float, b: float) -> float:
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def _inverse(re: float, im: float):
    with np.errstate(all="ignore"):
        n = np.float64(im) * np.float64(im) + np.float64(re) * np.float64(re)
        return (float(np.float64(re) / n), float(0.0 - np.float64(im) / n))


class Model:
    """A typed tree built like ExpressionTree: same promotions, same node shapes."""

    def __init__(self, kind: str, root):
        self.kind = kind
        self.root = root

    @classmethod
    def from_values(cls, vals) -> "Model":
        arr = np.asarray(vals)
        for kind in KINDS:
            if _accepts(arr, kind):
                return cls(kind, Leaf(arr.astype(DTYPES[kind]).copy()))
        raise EvalFailure("Unsupported data type returned")

    @property
    def dimension(self) -> int:
        return dimension(self.root)

    def cast(self, kind: str) -> "Model":
        assert _RANK[kind] >= _RANK[self.kind]
        return Model(kind, cast_node(self.root, kind))

    def _combine(self, other: "Model", node_type) -> "Model":
        kind = wider(self.kind, other.kind)
        a, b = self.cast(kind), other.cast(kind)
        if a.dimension != b.dimension:
            raise EvalFailure("Incompatible dimensions for composition")
        return Model(kind, node_type(a.root, b.root))

    def __add__(self, other):
        return self._combine(other, Add)

    def __sub__(self, other):
        return self._combine(other, Sub)

    def __mul__(self, other):
        if isinstance(other, Model):
            return self._combine(other, Mul)
        number = read_number(other)
        if number is None:
            raise EvalFailure("Invalid type provided for multiplication")
        what, value = number
        if what == "complex":
            return Model("c64", Scale(value, cast_node(self.root, "c64")))
        if self.kind == "i64":
            if what == "int":
                return Model("i64", Scale(value, self.root))
            return Model("f64", Scale(value, cast_node(self.root, "f64")))
        if self.kind == "f64":
            return Model("f64", Scale(float(value), self.root))
        return Model("c64", Scale((float(value), 0.0), self.root))

    __rmul__ = __mul__

    def __truediv__(self, other):
        if isinstance(other, Model):
            return self._combine(other, Div)
        number = read_number(other)
        if number is None:
            raise EvalFailure("Invalid type provided for division")
        what, value = number
        if what == "complex":
            return Model("c64", Scale(_inverse(*value), cast_node(self.root, "c64")))
        factor = _fdiv(1.0, float(value))
        if self.kind == "c64":
            return Model("c64", Scale((factor, 0.0), self.root))
        return Model("f64", Scale(factor, cast_node(self.root, "f64")))

    def deriv(self, orders) -> "Model":
        kind = "f64" if self.kind == "i64" else self.kind
        return Model(kind, Deriv(cast_node(self.root, kind), tuple(_wrap(int(k)) for k in orders)))

    def integ(self, orders) -> "Model":
        return self.deriv([_wrap(-int(k)) for k in orders])

    def __call__(self, points) -> np.ndarray:
        arr = np.asarray(points)
        attempts = {"i64": KINDS, "f64": ("f64", "c64"), "c64": ("c64",)}[self.kind]
        for kind in attempts:
            if not _accepts(arr, kind):
                continue
            if arr.ndim == 0:
                raise InternalFailure("index out of bounds")
            if arr.shape[-1] != self.dimension:
                raise EvalFailure("Incompatible shape for evaluation")
            return eval_tree(cast_node(self.root, kind), arr.astype(DTYPES[kind]), kind)
        raise EvalFailure("Unsupported data type for evaluation")
