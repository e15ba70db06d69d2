"""A slow, literal model of dense arithmetic, expansion, partial evaluation and the symbolic
derivative, in the module's operation order, for bit-for-bit comparisons.

Arrays are NumPy arrays of the kind's dtype; the arithmetic itself runs on Python scalars
(``int`` wrapped to 64 bits, ``float``, and ``(re, im)`` float pairs for ``c64`` with the
textbook product), one rounding per operation. Trees are the node classes of ``reference``.

Public API:

``dense_add(a, b, kind)``, ``dense_sub``, ``dense_mul``, ``dense_pow(a, n, kind)``
    Dense arithmetic; EvalFailure for a different number of axes. A product is la + lb − 1
    long on each axis, and 0 long where both operands are.
``partial_eval(coeffs, indices, values, kind)``
    Partial evaluation of one coefficient array.
``expand_tree(node, kind) -> ("single", p) | ("rational", n, d)``
``derive_tree(node, orders, kind)``, ``partial_tree(node, indices, values, kind)``
    The tree operations, raising EvalFailure like the module.
"""

from __future__ import annotations

import itertools
import math

import numpy as np

import reference
from reference import (DTYPES, RATIONALS, Add, Deriv, Div, EvalFailure, Leaf, Mul, Pow, Scale,
                       Sub, count_as, integrates_a_derivative, leibniz_terms, single_first)
from reference import _scalar as scalar

COMPOSITION = "Incompatible dimensions for composition"
EVALUATION = "Incompatibile dimensions for evaluation"
ACTIVE_DENOMINATOR = "Can't perform integral/derivative operation if active dofs are in denominator"

# --- scalars -------------------------------------------------------------------------------


def s_add(a, b, kind):
    if kind == "i64":
        return reference._wrap(a + b)
    if kind == "f64":
        return a + b
    return (a[0] + b[0], a[1] + b[1])


def s_sub(a, b, kind):
    if kind == "i64":
        return reference._wrap(a - b)
    if kind == "f64":
        return a - b
    return (a[0] - b[0], a[1] - b[1])


def s_mul(a, b, kind):
    """a·b with a as the left operand; c64: (a.re·b.re − a.im·b.im, a.re·b.im + a.im·b.re)."""
    if kind == "i64":
        return reference._wrap(a * b)
    if kind == "f64":
        return a * b  # Python floats: inf·0 gives nan and overflow gives inf, as in C
    return (a[0] * b[0] - a[1] * b[1], a[0] * b[1] + a[1] * b[0])


def zero(kind):
    return {"i64": 0, "f64": 0.0, "c64": (0.0, 0.0)}[kind]


def one(kind):
    return {"i64": 1, "f64": 1.0, "c64": (1.0, 0.0)}[kind]


def s_power(x, k: int, kind: str):
    arr = np.array([to_scalar_value(x, kind)], DTYPES[kind])
    return from_numpy_scalar(reference.element_power(arr, k, kind)[0], kind)


def from_numpy_scalar(v, kind):
    if kind == "i64":
        return int(v)
    if kind == "f64":
        return float(v)
    return (float(v.real), float(v.imag))


def to_scalar_value(s, kind):
    return complex(s[0], s[1]) if kind == "c64" else s


# --- arrays as (shape, row-major scalars) ------------------------------------------------


def unpack(arr: np.ndarray, kind: str):
    arr = np.asarray(arr, DTYPES[kind])
    return tuple(arr.shape), [from_numpy_scalar(v, kind) for v in arr.reshape(-1)]


def pack(shape, values, kind: str) -> np.ndarray:
    out = np.zeros(len(values), DTYPES[kind])
    for i, v in enumerate(values):
        if kind == "c64":
            out[i] = complex(v[0], v[1])  # both parts stored exactly, signed zeros included
        else:
            out[i] = v
    return out.reshape(shape)


def _flat(index, shape) -> int:
    f = 0
    for i, n in zip(index, shape):
        f = f * n + i
    return f


# --- dense arithmetic ------------------------------------------------------------------


def _add_or_sub(a, b, kind, op):
    if a.ndim != b.ndim:
        raise EvalFailure(COMPOSITION)
    sa, va = unpack(a, kind)
    sb, vb = unpack(b, kind)
    shape = tuple(max(x, y) for x, y in zip(sa, sb))
    out = [zero(kind)] * math.prod(shape)
    for i, index in enumerate(np.ndindex(*sa)):
        out[_flat(index, shape)] = va[i]
    for j, index in enumerate(np.ndindex(*sb)):
        k = _flat(index, shape)
        out[k] = op(out[k], vb[j], kind)
    return pack(shape, out, kind)


def dense_add(a, b, kind):
    return _add_or_sub(a, b, kind, s_add)


def dense_sub(a, b, kind):
    return _add_or_sub(a, b, kind, s_sub)


def dense_mul(a, b, kind):
    """Full convolution: outer loop over a (row-major), inner over b, out[k] := p·q + out[k]."""
    if a.ndim != b.ndim:
        raise EvalFailure(COMPOSITION)
    sa, va = unpack(a, kind)
    sb, vb = unpack(b, kind)
    shape = tuple(0 if x == y == 0 else x + y - 1 for x, y in zip(sa, sb))
    out = [zero(kind)] * math.prod(shape)
    for i, ia in enumerate(np.ndindex(*sa)):
        p = va[i]
        for j, jb in enumerate(np.ndindex(*sb)):
            k = _flat(tuple(x + y for x, y in zip(ia, jb)), shape)
            out[k] = s_add(s_mul(p, vb[j], kind), out[k], kind)
    return pack(shape, out, kind)


def dense_pow(a, n: int, kind):
    result = np.full((1,) * a.ndim, to_scalar_value(one(kind), kind), DTYPES[kind])
    if n == 0:
        return result
    if n == 1:
        return a.copy()
    power = a.copy()
    h = n.bit_length() - 1
    for bit in range(h + 1):
        if (n >> bit) & 1:
            result = dense_mul(result, power, kind)
        if bit < h:
            power = dense_mul(power, power, kind)
    return result


def scaled(a, factor, kind):
    shape, va = unpack(a, kind)
    s = scalar(factor, kind)
    return pack(shape, [s_mul(c, s, kind) for c in va], kind)


# --- partial evaluation of one array -----------------------------------------------------


def partial_eval(coeffs, indices, values, kind):
    shape, vc = unpack(coeffs, kind)
    n = len(shape)
    indices = [int(i) for i in indices]
    values = [scalar(v, kind) for v in values]
    if any(i >= n for i in indices):
        raise EvalFailure(EVALUATION)
    if len(set(indices)) != len(indices):
        raise EvalFailure(EVALUATION)
    evaluated = set(indices)
    result_shape = tuple(1 if a in evaluated else shape[a] for a in range(n))
    if len(values) != len(indices):
        raise EvalFailure(EVALUATION)
    order = sorted(range(len(indices)), key=lambda p: indices[p])  # sorted() is stable
    sorted_values = [values[p] for p in order]
    axes = sorted(evaluated)
    out = [zero(kind)] * math.prod(result_shape)
    for m_flat, m in enumerate(np.ndindex(*result_shape)):
        sub_ranges = [range(shape[a]) if a in evaluated else [m[a]] for a in range(n)]
        total = None
        count = 0
        for index in itertools.product(*sub_ranges):
            count += 1
            if not axes:
                continue  # no evaluated axis: the term is absent
            c = vc[_flat(index, shape)]
            product = None
            for r, a in enumerate(axes):
                power = s_power(sorted_values[r], index[a], kind)
                product = power if product is None else s_mul(product, power, kind)
            term = s_mul(c, product, kind)
            total = term if total is None else s_add(total, term, kind)
        if count == 0:
            continue  # an empty sub-array: the sum of no terms, zero
        if total is None:
            raise EvalFailure("Outer none on polyval")
        out[m_flat] = total
    return pack(result_shape, out, kind)


# --- trees -------------------------------------------------------------------------------


def clone(node):
    """A deep copy (the reference trees are never mutated, but copies keep intent visible)."""
    return reference.cast_node(node, _kind_of_tree(node))


def _kind_of_tree(node):
    while not isinstance(node, Leaf):
        node = node.left if isinstance(node, (Add, Sub, Mul, Div)) else node.child
    return reference.kind_of_dtype(node.coeffs.dtype)


def dependent_parameters(node) -> set:
    """Axes along which some leaf has length ≥ 2, plus every position a Deriv node below
    integrates along."""
    if isinstance(node, Leaf):
        return {a for a, n in enumerate(node.coeffs.shape) if n >= 2}
    if isinstance(node, (Add, Sub, Mul, Div)):
        return dependent_parameters(node.left) | dependent_parameters(node.right)
    own = {i for i, k in enumerate(node.orders) if k < 0} if isinstance(node, Deriv) else set()
    return dependent_parameters(node.child) | own


def derive_tree(node, orders, kind):
    orders = [int(k) for k in orders]
    if isinstance(node, Leaf):
        return Leaf(reference.differentiate(node.coeffs, orders, kind))
    if isinstance(node, (Add, Sub)):
        left = derive_tree(node.left, orders, kind)
        right = derive_tree(node.right, orders, kind)
        return type(node)(left, right)
    if isinstance(node, Mul):
        if single_first(orders):
            first = Mul(derive_tree(node.left, orders, kind), clone(node.right))
            second = Mul(derive_tree(node.right, orders, kind), clone(node.left))
            return Add(first, second)
        expanded = expand_tree(node, kind)
        if expanded[0] == "single":
            return Leaf(reference.differentiate(expanded[1], orders, kind))
        terms = leibniz_terms(orders)
        if terms is None:
            raise EvalFailure(RATIONALS)
        total = None
        for beta, rest, c in terms:
            term = Mul(derive_tree(node.left, beta, kind), derive_tree(node.right, rest, kind))
            if c != 1:
                term = Scale(count_as(c, kind), term)
            total = term if total is None else Add(total, term)
        return total
    if isinstance(node, Div):
        active = {a for a, k in enumerate(orders) if k != 0}
        if active & dependent_parameters(node.right):
            raise EvalFailure(ACTIVE_DENOMINATOR)
        if any(k > 0 for k in orders):
            n, d = node.left, node.right
            return Div(Sub(Mul(Deriv(clone(n), tuple(orders)), clone(d)),
                           Mul(Deriv(clone(d), tuple(orders)), clone(n))),
                       Pow(clone(d), 2))
        return Div(Deriv(clone(node.left), tuple(orders)), clone(node.right))
    if isinstance(node, Scale):
        return Scale(node.factor, derive_tree(node.child, orders, kind))
    if isinstance(node, Deriv):
        if integrates_a_derivative(node.orders, orders):
            return derive_tree(derive_tree(node.child, node.orders, kind), orders, kind)
        return derive_tree(node.child, reference.sum_orders(orders, node.orders), kind)
    # Pow(b, n): Mul(Scale(n − 1, copy(b)), d(b)).
    n = node.exponent
    if kind == "i64" and not 1 <= n <= 2**63:
        raise EvalFailure("Couldn't convert power")
    factor = count_as((n - 1) % 2**64, kind)
    return Mul(Scale(factor, clone(node.child)), derive_tree(node.child, orders, kind))


def _combine(node, left, right, kind):
    add, sub, mul = (lambda x, y: dense_add(x, y, kind)), (lambda x, y: dense_sub(x, y, kind)), \
        (lambda x, y: dense_mul(x, y, kind))
    ls, rs = left[0] == "single", right[0] == "single"
    if isinstance(node, (Add, Sub)):
        op = add if isinstance(node, Add) else sub
        if ls and rs:
            return ("single", op(left[1], right[1]))
        if ls:
            a, (n2, d2) = left[1], right[1:]
            return ("rational", op(mul(a, d2), n2), d2)
        if rs:
            (n, d), b = left[1:], right[1]
            prod = mul(b, d)
            return ("rational", add(prod, n) if op is add else sub(n, prod), d)
        (n, d), (n2, d2) = left[1:], right[1:]
        p1 = mul(n, d2)
        p2 = mul(n2, d)
        s = op(p1, p2)
        return ("rational", s, mul(d, d2))
    if isinstance(node, Mul):
        if ls and rs:
            return ("single", mul(left[1], right[1]))
        if ls:
            return ("rational", mul(left[1], right[1]), right[2])
        if rs:
            return ("rational", mul(right[1], left[1]), left[2])
        n = mul(left[1], right[1])
        return ("rational", n, mul(left[2], right[2]))
    if ls and rs:
        return ("rational", left[1].copy(), right[1].copy())
    if ls:
        return ("rational", mul(left[1], right[2]), right[1])
    if rs:
        return ("rational", left[1], mul(left[2], right[1]))
    n = mul(left[1], right[2])
    return ("rational", n, mul(left[2], right[1]))


def expand_tree(node, kind):
    """("single", p) or ("rational", numerator, denominator)."""
    if isinstance(node, Leaf):
        return ("single", np.asarray(node.coeffs, DTYPES[kind]).copy())
    if isinstance(node, (Add, Sub, Mul, Div)):
        left = expand_tree(node.left, kind)
        right = expand_tree(node.right, kind)
        return _combine(node, left, right, kind)
    if isinstance(node, Scale):
        inner = expand_tree(node.child, kind)
        if inner[0] == "single":
            return ("single", scaled(inner[1], node.factor, kind))
        return ("rational", scaled(inner[1], node.factor, kind), inner[2])
    if isinstance(node, Pow):
        inner = expand_tree(node.child, kind)
        if inner[0] == "single":
            return ("single", dense_pow(inner[1], node.exponent, kind))
        n = dense_pow(inner[1], node.exponent, kind)
        return ("rational", n, dense_pow(inner[2], node.exponent, kind))
    return expand_tree(derive_tree(node.child, node.orders, kind), kind)


def partial_tree(node, indices, values, kind):
    if isinstance(node, Leaf):
        return Leaf(partial_eval(node.coeffs, indices, values, kind))
    if isinstance(node, (Add, Sub, Mul, Div)):
        left = partial_tree(node.left, indices, values, kind)
        right = partial_tree(node.right, indices, values, kind)
        return type(node)(left, right)
    if isinstance(node, Scale):
        return Scale(node.factor, partial_tree(node.child, indices, values, kind))
    if isinstance(node, Pow):
        return Pow(partial_tree(node.child, indices, values, kind), node.exponent)
    return partial_tree(derive_tree(node.child, node.orders, kind), indices, values, kind)


def has_node(node, types) -> bool:
    if isinstance(node, types):
        return True
    if isinstance(node, Leaf):
        return False
    if isinstance(node, (Add, Sub, Mul, Div)):
        return has_node(node.left, types) or has_node(node.right, types)
    return has_node(node.child, types)
