"""Mathematical truth for derivatives and antiderivatives of expression trees, in exact
rational arithmetic.

This model knows nothing of the library's operation order: it turns a tree into sparse
polynomials with exact rational coefficients (a numerator and, below a quotient, a
denominator), takes every Deriv node as the exact derivative of its child (antiderivatives
with zero constant terms, as the library defines them) and evaluates at the exact values of
the points. Results agree with the library up to its rounding, so compare with a tolerance.

Trees are the node classes of reference.py (a Model's root).
"""

from __future__ import annotations

from fractions import Fraction
from math import prod

import numpy as np

import reference as ref


class Refused(Exception):
    """The derivative is not the quotient of a derivative by the same denominator (the
    denominator varies along a parameter with a non-zero order)."""


class Gaussian:
    """An exact complex rational: a pair of Fractions with the field operations."""

    __slots__ = ("re", "im")

    def __init__(self, re, im=0):
        self.re, self.im = Fraction(re), Fraction(im)

    @staticmethod
    def of(x) -> "Gaussian":
        return x if isinstance(x, Gaussian) else Gaussian(x)

    def __add__(self, o):
        o = Gaussian.of(o)
        return Gaussian(self.re + o.re, self.im + o.im)

    __radd__ = __add__

    def __sub__(self, o):
        o = Gaussian.of(o)
        return Gaussian(self.re - o.re, self.im - o.im)

    def __rsub__(self, o):
        return Gaussian.of(o) - self

    def __mul__(self, o):
        o = Gaussian.of(o)
        return Gaussian(self.re * o.re - self.im * o.im, self.re * o.im + self.im * o.re)

    __rmul__ = __mul__

    def __truediv__(self, o):
        o = Gaussian.of(o)
        n = o.re * o.re + o.im * o.im
        return Gaussian((self.re * o.re + self.im * o.im) / n, (self.im * o.re - self.re * o.im) / n)

    def __rtruediv__(self, o):
        return Gaussian.of(o) / self

    def __pow__(self, k: int):
        out = Gaussian(1)
        for _ in range(k):
            out = out * self
        return out

    def __eq__(self, o):
        o = Gaussian.of(o)
        return self.re == o.re and self.im == o.im

    def __complex__(self):
        return complex(float(self.re), float(self.im))


def exact(x):
    """The exact value of a NumPy or Python number: a Fraction, or a Gaussian if complex."""
    if isinstance(x, (complex, np.complexfloating)):
        return Gaussian(Fraction(float(x.real)), Fraction(float(x.imag)))
    if isinstance(x, tuple):
        return Gaussian(Fraction(x[0]), Fraction(x[1]))
    return Fraction(int(x)) if isinstance(x, (int, np.integer)) else Fraction(float(x))


def to_float(x):
    return complex(x) if isinstance(x, Gaussian) else float(x)


# --- sparse polynomials: {exponent tuple: exact coefficient} ------------------------------

def poly_from_array(arr):
    arr = np.asarray(arr)
    return {tuple(int(i) for i in idx): exact(arr[idx]) for idx in np.ndindex(*arr.shape)
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
        factor = Fraction(1)
        for ei, k in zip(e, orders):
            if k > 0:
                factor *= prod(range(ei - k + 1, ei + 1))
            elif k < 0:
                factor /= prod(range(ei + 1, ei - k + 1))
        ne = tuple(ei - k for ei, k in zip(e, orders))
        out[ne] = out.get(ne, 0) + factor * c
    return out


def peval(p, point):
    return sum((c * prod((x ** k for x, k in zip(point, e)), start=Fraction(1)) for e, c in p.items()),
               Fraction(0))


def depends_on(p, axis):
    return any(e[axis] > 0 for e, c in p.items() if c != 0)


# --- trees (the node classes of reference.py) ------------------------------------------

def rational(node):
    """(numerator, denominator) polynomials of a tree; Deriv nodes are taken exactly."""
    if isinstance(node, ref.Leaf):
        return poly_from_array(node.coeffs), {(0,) * node.coeffs.ndim: Fraction(1)}
    if isinstance(node, ref.Scale):
        n, d = rational(node.child)
        f = exact(node.factor)
        return {e: f * c for e, c in n.items()}, d
    if isinstance(node, ref.Deriv):
        return derivative(node.child, node.orders)
    if isinstance(node, ref.Pow):
        n, d = rational(node.child)
        one = {(0,) * ref.dimension(node): Fraction(1)}
        pn, pd = one, one
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
    """The true derivative by `orders` as (numerator, denominator). Raises Refused when the
    denominator varies along a parameter with a non-zero order."""
    n, d = rational(node)
    if any(k != 0 and depends_on(d, a) for a, k in enumerate(orders)):
        raise Refused
    return pderiv(n, [int(k) for k in orders]), d


def values(node, points):
    """True values of a tree (of any kind) at every row of `points` (one point per row),
    rounded once to float or complex."""
    n, d = rational(node)
    rows = np.asarray(points).reshape(-1, np.shape(points)[-1])
    out = []
    for row in rows:
        pt = [exact(x) for x in row]
        out.append(to_float(peval(n, pt) / peval(d, pt)))
    return np.array(out).reshape(np.shape(points)[:-1])
