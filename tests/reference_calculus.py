"""Mathematical truth for derivatives and antiderivatives of expression trees.

This model knows nothing of the library's operation order: it expands a tree into sparse
polynomials over Python numbers (a numerator and, below a quotient, a denominator) and
differentiates the numerator term by term. Results agree with the library up to rounding,
so compare with a tolerance; bit-exact checks use the operation-order references instead.

Trees are the node classes of reference.py (a Model's root).
"""

from math import comb, prod

import numpy as np

import reference as ref


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


# --- the operation order of the library's sound calculus ---------------------------------
#
# The mirrors below repeat, node for node, the trees the library's symbolic derivative writes
# and the values its lazy derivatives compute, so results can be compared bit for bit. They
# need the expansion of a product, which reference_expand provides.

RATIONALS = "Derivatives and integrals of rationals are not supported."
ACTIVE_DENOMINATOR = "Can't perform integral/derivative operation if active dofs are in denominator"
TOO_MANY = "Too many terms in the derivative of a product"
BINOMIAL = "Binomial coefficient too large in the derivative of a product"
MAX_TERMS = 4096


def single_first(orders) -> bool:
    return sorted(orders) == [0] * (len(orders) - 1) + [1]


def count_as(n: int, kind: str):
    """A count as a factor of the kind: i64 modulo 2**64, f64 the nearest double."""
    if kind == "i64":
        return ref._wrap(n)
    return float(n) if kind == "f64" else (float(n), 0.0)


def leibniz_terms(orders):
    """[(β, o − β, C(o, β))] for every 0 ≤ β ≤ o in row-major order of β."""
    if prod(k + 1 for k in orders) > MAX_TERMS:
        raise ref.EvalFailure(TOO_MANY)
    terms = []
    for beta in np.ndindex(*(k + 1 for k in orders)):
        c = prod(comb(k, b) for k, b in zip(orders, beta))
        if c >= 2**64:
            raise ref.EvalFailure(BINOMIAL)
        terms.append((tuple(beta), tuple(k - b for k, b in zip(orders, beta)), c))
    return terms


def _expanded_single(node, kind):
    """The one polynomial a product expands to, or None below a quotient."""
    import reference_expand
    x = reference_expand.expand_tree(node, kind)
    return x[1] if x[0] == "single" else None


def dependent_parameters(node) -> set:
    if isinstance(node, ref.Leaf):
        return {a for a, n in enumerate(node.coeffs.shape) if n >= 2}
    if isinstance(node, (ref.Add, ref.Sub, ref.Mul, ref.Div)):
        return dependent_parameters(node.left) | dependent_parameters(node.right)
    return dependent_parameters(node.child)


def derive_tree(node, orders, kind):
    """The tree the library's symbolic derivative writes for `node` by `orders`."""
    orders = tuple(orders)

    def d(x, o=orders):
        return derive_tree(x, o, kind)

    if isinstance(node, ref.Leaf):
        return ref.Leaf(ref.differentiate(node.coeffs, orders, kind))
    if isinstance(node, (ref.Add, ref.Sub)):
        return type(node)(d(node.left), d(node.right))
    if isinstance(node, ref.Mul):
        if single_first(orders):
            return ref.Add(ref.Mul(d(node.left), node.right), ref.Mul(d(node.right), node.left))
        p = _expanded_single(node, kind)
        if p is not None:
            return ref.Leaf(ref.differentiate(p, orders, kind))
        if any(k < 0 for k in orders):
            raise ref.EvalFailure(RATIONALS)
        acc = None
        for beta, rest, c in leibniz_terms(orders):
            term = ref.Mul(d(node.left, beta), d(node.right, rest))
            if c != 1:
                term = ref.Scale(count_as(c, kind), term)
            acc = term if acc is None else ref.Add(acc, term)
        return acc
    if isinstance(node, ref.Div):
        if any(orders[a] != 0 for a in dependent_parameters(node.right) if a < len(orders)):
            raise ref.EvalFailure(ACTIVE_DENOMINATOR)
        if any(k > 0 for k in orders):
            return ref.Div(ref.Sub(ref.Mul(ref.Deriv(node.left, orders), node.right),
                                   ref.Mul(ref.Deriv(node.right, orders), node.left)),
                           ref.Pow(node.right, 2))
        return ref.Div(ref.Deriv(node.left, orders), node.right)
    if isinstance(node, ref.Scale):
        return ref.Scale(node.factor, d(node.child))
    if isinstance(node, ref.Deriv):
        return derive_tree(node.child, ref.sum_orders(orders, node.orders), kind)
    n = node.exponent
    if kind == "i64" and not 1 <= n <= 2**63:
        raise ref.EvalFailure("Couldn't convert power")
    return ref.Mul(ref.Scale(count_as((n - 1) % 2**64, kind), node.child), d(node.child))


def _eval_derivative(node, orders, pts):
    """The library's lazy derivative: the two-term product rule only for a single first
    derivative, else the product's expansion or the general Leibniz sum."""
    if not isinstance(node, ref.Mul) or single_first(orders):
        return _plain_eval_derivative(node, orders, pts)
    kind = pts.kind
    p = _expanded_single(node, kind)
    if p is not None:
        return ref._eval_leaf(ref.differentiate(p, orders, kind), pts)
    if any(k < 0 for k in orders):
        raise ref.EvalFailure(RATIONALS)
    acc = None
    for beta, rest, c in leibniz_terms(orders):
        term = ref._mul(_eval_derivative(node.left, beta, pts),
                        _eval_derivative(node.right, rest, pts), kind)
        if c != 1:
            term = ref._mul(term, ref._full(count_as(c, kind), pts.n, kind), kind)
        acc = term if acc is None else ref._add(acc, term, kind)
    return acc


_plain_eval_derivative = ref._eval_derivative


def eval_tree(node, points, kind):
    """reference.eval_tree with the library's lazy derivatives of products."""
    ref._eval_derivative = _eval_derivative
    try:
        return ref.eval_tree(node, points, kind)
    finally:
        ref._eval_derivative = _plain_eval_derivative
