"""Mathematical truth for derivatives and antiderivatives of expression trees.

This model knows nothing of the library's operation order: it expands a tree into sparse
polynomials over Python numbers (a numerator and, below a quotient, a denominator) and
differentiates the numerator term by term. Results agree with the library up to rounding,
so compare with a tolerance; bit-exact checks use the operation-order references instead.

Trees are nested tuples:
    ("leaf", ndarray)  ("add"|"sub"|"mul"|"div", left, right)
    ("scale", factor, child)  ("deriv", child, orders)
"""

from math import prod

import numpy as np


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


# --- trees -------------------------------------------------------------------------------

def rational(tree, dim):
    """(numerator, denominator) polynomials of a tree; Deriv nodes are taken exactly."""
    kind = tree[0]
    if kind == "leaf":
        return poly_from_array(tree[1]), {(0,) * dim: 1}
    if kind == "scale":
        n, d = rational(tree[2], dim)
        return {e: tree[1] * c for e, c in n.items()}, d
    if kind == "deriv":
        return derivative(tree[1], tree[2], dim)
    (n1, d1), (n2, d2) = rational(tree[1], dim), rational(tree[2], dim)
    if kind == "add":
        return padd(pmul(n1, d2), pmul(n2, d1)), pmul(d1, d2)
    if kind == "sub":
        return padd(pmul(n1, d2), pmul(n2, d1), -1), pmul(d1, d2)
    if kind == "mul":
        return pmul(n1, n2), pmul(d1, d2)
    if kind == "div":
        return pmul(n1, d2), pmul(d1, n2)
    raise ValueError(kind)


def derivative(tree, orders, dim):
    """The true derivative by `orders` as (numerator, denominator). Nested Deriv nodes merge
    their order lists, as the library does. Raises Refused when the denominator varies along
    a parameter with a nonzero order."""
    if tree[0] == "deriv":
        return derivative(tree[1], [a + b for a, b in zip(orders, tree[2])], dim)
    n, d = rational(tree, dim)
    if any(k != 0 and depends_on(d, a) for a, k in enumerate(orders)):
        raise Refused
    return pderiv(n, orders), d


def values(nd, points):
    """Values of (numerator, denominator) at every row of `points` (one point per row)."""
    n, d = nd
    return np.array([peval(n, pt) / peval(d, pt) for pt in points.tolist()])
