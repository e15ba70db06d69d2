"""Mathematical truth for derivatives and antiderivatives of expression trees.

This model knows nothing of the library's operation order: it expands a tree into sparse
polynomials over Python numbers (a numerator and, below a quotient, a denominator) and
differentiates the numerator term by term. Results agree with the library up to rounding,
so compare with a tolerance.

``eval_tree`` at the end is the bit-exact counterpart for lazy derivatives: reference.py's
evaluation with the library's rules for products under a derivative.

Trees are the node classes of reference.py (a Model's root).
"""

from math import prod

import numpy as np

import reference as ref
import reference_expand as rx


class Refused(Exception):
    """The derivative is not a quotient of polynomial derivatives (an active denominator)."""


# --- sparse polynomials: {exponent tuple: coefficient} -----------------------------------

def poly_from_array(arr):
    arr = np.asarray(arr)
    return {tuple(int(i) for i in idx): arr[idx].item() for idx in np.ndindex(*arr.shape)
            if arr[idx] != 0}


def padd(p, q, sign=1):
    out = dict(p)
    for e, c in q.items():
        out[e] = out.get(e, 0) + sign * c
    return out


def pmul(p, q):
    out = {}
    for e1, c1 in p.items():
        for e2, c2 in q.items():
            e = tuple(a + b for a, b in zip(e1, e2))
            out[e] = out.get(e, 0) + c1 * c2
    return out


def pderiv(p, orders):
    """Exact mixed derivative/antiderivative, zero constants of integration."""
    out = {}
    for e, c in p.items():
        if len(e) != len(orders):
            raise ValueError("order list does not match the number of parameters")
        if any(ei < k for ei, k in zip(e, orders) if k > 0):
            continue
        factor = 1
        for ei, k in zip(e, orders):
            if k > 0:
                factor *= prod(range(ei - k + 1, ei + 1))
            elif k < 0:
                factor /= prod(range(ei + 1, ei - k + 1))
        ne = tuple(ei - k for ei, k in zip(e, orders))
        out[ne] = out.get(ne, 0) + factor * c
    return out


def peval(p, point):
    return sum((c * prod(x ** k for x, k in zip(point, e)) for e, c in p.items()), 0)


def depends_on(p, axis):
    return any(e[axis] > 0 for e, c in p.items() if c != 0)


# --- trees (the node classes of reference.py) ------------------------------------------

def _factor(value):
    return complex(*value) if isinstance(value, tuple) else value


def rational(node):
    """(numerator, denominator) polynomials of a tree; Deriv nodes are taken exactly."""
    if isinstance(node, ref.Leaf):
        return poly_from_array(node.coeffs), {(0,) * node.coeffs.ndim: 1}
    if isinstance(node, ref.Scale):
        n, d = rational(node.child)
        f = _factor(node.factor)
        return {e: f * c for e, c in n.items()}, d
    if isinstance(node, ref.Deriv):
        return derivative(node.child, node.orders)
    if isinstance(node, ref.Pow):
        n, d = rational(node.child)
        pn, pd = {(0,) * ref.dimension(node): 1}, {(0,) * ref.dimension(node): 1}
        for _ in range(node.exponent):
            pn, pd = pmul(pn, n), pmul(pd, d)
        return pn, pd
    (n1, d1), (n2, d2) = rational(node.left), rational(node.right)
    if isinstance(node, ref.Add):
        return padd(pmul(n1, d2), pmul(n2, d1)), pmul(d1, d2)
    if isinstance(node, ref.Sub):
        return padd(pmul(n1, d2), pmul(n2, d1), -1), pmul(d1, d2)
    if isinstance(node, ref.Mul):
        return pmul(n1, n2), pmul(d1, d2)
    return pmul(n1, d2), pmul(d1, n2)


def derivative(node, orders):
    """The true derivative by `orders` as (numerator, denominator). Nested Deriv nodes merge
    their order lists, as the library does. Raises Refused when the denominator varies along
    a parameter with a nonzero order."""
    if isinstance(node, ref.Deriv):
        return derivative(node.child, ref.sum_orders(orders, node.orders))
    n, d = rational(node)
    if any(k != 0 and depends_on(d, a) for a, k in enumerate(orders)):
        raise Refused
    return pderiv(n, orders), d


def values(node, points):
    """True values of a tree (of any kind) at every row of `points` (one point per row)."""
    n, d = rational(node)
    return np.array([peval(n, pt) / peval(d, pt) for pt in np.asarray(points).tolist()])


# --- the operation order of the library's lazy derivatives --------------------------------

def _eval_derivative(node, orders, pts):
    """The library's lazy derivative: the two-term product rule only for a single first
    derivative, else the derivative of the product's expansion, else (a quotient below) the
    general Leibniz sum of values, left to right, each product times C(o, β) where not 1."""
    if not isinstance(node, ref.Mul) or rx._single_first(list(orders)):
        return _plain_eval_derivative(node, orders, pts)
    kind = pts.kind
    expanded = rx.expand_tree(node, kind)
    if expanded[0] == "single":
        return ref._eval_leaf(ref.differentiate(expanded[1], orders, kind), pts)
    if any(k < 0 for k in orders):
        raise ref.EvalFailure(rx.RATIONALS)
    acc = None
    for beta, rest, c in rx.leibniz_terms(orders):
        term = ref._mul(_eval_derivative(node.left, beta, pts),
                        _eval_derivative(node.right, rest, pts), kind)
        if c != 1:
            term = ref._mul(term, ref._full(rx._count_as(c, kind), pts.n, kind), kind)
        acc = term if acc is None else ref._add(acc, term, kind)
    return acc


_plain_eval_derivative = ref._eval_derivative


def eval_tree(node, points, kind):
    """reference.eval_tree with the library's lazy derivatives of products (the plain model
    answers only single first derivatives of products)."""
    ref._eval_derivative = _eval_derivative
    try:
        return ref.eval_tree(node, points, kind)
    finally:
        ref._eval_derivative = _plain_eval_derivative
