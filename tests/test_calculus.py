"""Derivatives and antiderivatives of whole trees: lazily (calling a `deriv` tree), through
`expand()` and through `partial()`, checked against the true derivative for every kind of
order list, and the refusals around quotients."""

import numpy as np
import pytest

import reference
import reference_expand as rx
from conftest import (NO_ADDRESS_LIMIT, assert_bits_equal, assert_panic, not_under_sanitizers, random_coeffs,
                      random_points, random_twin, run_python)
from kestrum import ExpressionTree
from reference import KINDS, EvalFailure, InternalFailure, Model
import reference_calculus as truth

# Order lists over two parameters: none, single first derivatives, higher, mixed, negative
# and mixed-sign ones.
ORDERS = [(0, 0), (1, 0), (0, 1), (2, 0), (1, 1), (0, 2), (3, 1), (-1, 0), (0, -1), (1, -1),
          (-2, 1), (-1, -1)]

ACTIVE_DENOMINATOR = "Can't perform integral/derivative operation if active dofs are in denominator"
RATIONALS = "Derivatives and integrals of rationals are not supported."


def coeffs(seed, shape, kind):
    """Small integer-valued coefficients (halves for f64, Gaussian integers for c64)."""
    rng = np.random.default_rng(seed)
    re = rng.integers(-3, 4, size=shape)
    re[(0,) * len(shape)] = 2  # never the zero polynomial
    if kind == "i64":
        return re.astype(np.int64)
    if kind == "f64":
        return re + 0.5 * rng.integers(-1, 2, size=shape)
    return re + 1j * rng.integers(-3, 4, size=shape)


def leaf(seed, shape, kind):
    return twin_of(coeffs(seed, shape, kind))


def twin_of(values):
    return ExpressionTree(values), Model.from_values(values)


def denominator(kind):
    """3 + x₂², never zero at real points, constant along the first parameter."""
    values = np.array([[3, 0, 1]], dtype=np.int64 if kind == "i64" else float)
    return ExpressionTree(values), Model.from_values(values)


def points(kind, seed=7):
    rng = np.random.default_rng(seed)
    pts = rng.uniform(-1.5, 1.5, size=(9, 2))
    if kind == "c64":
        pts = pts + 1j * rng.uniform(-1.5, 1.5, size=(9, 2))
    return pts


def twin(a, b, op):
    return op(a[0], b[0]), op(a[1], b[1])


mul = lambda x, y: x * y  # noqa: E731
add = lambda x, y: x + y  # noqa: E731
sub = lambda x, y: x - y  # noqa: E731
div = lambda x, y: x / y  # noqa: E731


def lazy(pair, method, orders):
    """The same lazy derivative (method "deriv") or antiderivative ("integ") of both twins."""
    return getattr(pair[0], method)(list(orders)), getattr(pair[1], method)(list(orders))


def product_trees(kind):
    """Trees with products and no quotient, nested derivatives and antiderivatives among them."""
    a, b, c = leaf(1, (3, 3), kind), leaf(2, (2, 3), kind), leaf(3, (3, 2), kind)
    ab = twin(a, b, mul)
    return {
        "a*b": ab,
        "(a*b+c)*(-2c)": twin(twin(ab, c, add), (c[0] * -2, c[1] * -2), mul),
        "a*(b*c)-a": twin(twin(a, twin(b, c, mul), mul), a, sub),
        "deriv(a*b)*c": twin(lazy(ab, "deriv", [1, 0]), c, mul),
        "deriv(deriv(a*b))": lazy(lazy(ab, "deriv", [0, 1]), "deriv", [1, 0]),
        "integ(deriv(a*b))": lazy(lazy(ab, "deriv", [1, 1]), "integ", [1, 0]),
        "deriv(integ(a))*integ(deriv(b))": twin(lazy(lazy(a, "integ", [2, 0]), "deriv", [1, 1]),
                                                lazy(lazy(b, "deriv", [0, 2]), "integ", [1, 1]), mul),
    }


def quotient_trees(kind):
    """Trees with a quotient whose denominator varies along the second parameter only."""
    a, n, d = leaf(4, (3, 2), kind), leaf(5, (3, 3), kind), denominator(kind)
    q = twin(n, d, div)
    return {
        "n/d": q,
        "a*(n/d)": twin(a, q, mul),
        "(n/d)*a+a": twin(twin(q, a, mul), a, add),
        "(n/d)*(a*a)": twin(q, twin(a, a, mul), mul),
    }


def route_values(tree, orders, route, pts):
    """Values of the derivative of `tree` by `orders`, taken lazily, by expansion, or by
    partial evaluation, at each point, of the parameter with the lowest order (so that it
    keeps a coefficient)."""
    d = tree.deriv(list(orders))
    if route == "lazy":
        return d(pts)
    if route == "expand":
        return d.expand()(pts)
    axis = int(np.argmin(orders))
    return np.array([d.partial([axis], pt[axis:axis + 1].copy())(pt) for pt in pts])


def expected(model, orders, pts):
    return truth.values(model.deriv(list(orders)).root, pts)


def assert_close(actual, wanted):
    np.testing.assert_allclose(actual, wanted, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("orders", ORDERS, ids=str)
@pytest.mark.parametrize("route", ["lazy", "expand", "partial"])
@pytest.mark.parametrize("name", list(product_trees("f64")))
def test_derivative_of_products_is_the_true_derivative(dtype, name, route, orders):
    tree, model = product_trees(dtype)[name]
    pts = points(dtype)
    assert_close(route_values(tree, orders, route, pts), expected(model, orders, pts))


QUOTIENT_ORDERS = [(0, 0), (1, 0), (2, 0), (3, 0), (56, 0)]


@pytest.mark.parametrize("orders", QUOTIENT_ORDERS, ids=str)
@pytest.mark.parametrize("route", ["expand", "partial"])
@pytest.mark.parametrize("name", list(quotient_trees("f64")))
def test_derivative_of_quotients_is_the_true_derivative(dtype, name, route, orders):
    # The denominator is constant along the first parameter, so these are all defined;
    # (56, 0) takes the largest binomial coefficients that are exact as floats.
    tree, model = quotient_trees(dtype)[name]
    pts = points(dtype)
    assert_close(route_values(tree, orders, route, pts), expected(model, orders, pts))


@pytest.mark.parametrize("orders", [(-1, 0), (-2, 0), (-1, 2)], ids=str)
@pytest.mark.parametrize("route", ["expand", "partial"])
def test_antiderivative_of_a_quotient_keeps_the_denominator(dtype, route, orders):
    tree, model = quotient_trees(dtype)["n/d"]
    pts = points(dtype)
    if orders[1] > 0:
        # A derivative along the denominator's parameter is refused even after integrating.
        with pytest.raises(ValueError) as exc:
            route_values(tree, orders, route, pts)
        assert str(exc.value) == ACTIVE_DENOMINATOR
    else:
        assert_close(route_values(tree, orders, route, pts), expected(model, orders, pts))


@pytest.mark.parametrize("name, orders, message", [
    ("n/d", (0, 1), ACTIVE_DENOMINATOR),
    ("n/d", (0, -1), ACTIVE_DENOMINATOR),  # integrals along the denominator's parameter too
    ("n/d", (1, -1), ACTIVE_DENOMINATOR),
    ("a*(n/d)", (0, 1), ACTIVE_DENOMINATOR),
    ("a*(n/d)", (1, 1), ACTIVE_DENOMINATOR),
    ("a*(n/d)", (-1, 0), RATIONALS),
    ("(n/d)*(a*a)", (-2, 0), RATIONALS),
    ("(n/d)*a+a", (0, -1), RATIONALS),
    ("a*(n/d)", (57, 0), RATIONALS),  # binom(57, 28) is past 2**53: not exact as a float
    ("a*(n/d)", (40, 40), RATIONALS),  # each binomial is exact, their product is not
    ("a*(n/d)", (4096, 0), RATIONALS),
    ("a*(n/d)", (2**62, 2**62), RATIONALS),
    ("a*(n/d)", (2**63 - 1, 0), RATIONALS),
])
@pytest.mark.parametrize("route", ["expand", "partial"])
def test_refused_derivatives_of_quotients(name, orders, message, route):
    tree, _ = quotient_trees("f64")[name]
    with pytest.raises(ValueError) as exc:
        route_values(tree, orders, route, points("f64"))
    assert str(exc.value) == message


# The 4096 terms form an Add chain that deep: sanitizer stack frames reach the depth guard first.
@pytest.mark.parametrize("ones, refused", [
    pytest.param(12, False, marks=not_under_sanitizers("sanitizer stack frames are too large for this depth")),
    (13, True)])
def test_leibniz_sum_of_a_quotient_has_at_most_4096_terms(ones, refused):
    # Order 1 along each of n parameters: 2**n terms, every coefficient 1. The factors vary
    # along the first parameter only, so the true derivative is 0.
    shape = (2,) + (1,) * (ones - 1)
    a = ExpressionTree(np.full(shape, 0.5))
    q = ExpressionTree(np.full(shape, 2.0)) / ExpressionTree(np.full((1,) * ones, 4.0))
    d = (a * q).deriv([1] * ones)
    if refused:
        with pytest.raises(ValueError) as exc:
            d.expand()
        assert str(exc.value) == RATIONALS
    else:
        assert d.expand()(np.full(ones, 0.5)) == 0.0


@pytest.mark.parametrize("orders", [(1, 0), (2, 0), (0, 0), (57, 0), (4096, 0), (-1, 0)], ids=str)
def test_lazy_derivative_of_a_product_over_a_quotient_is_refused(orders):
    tree, _ = quotient_trees("f64")["a*(n/d)"]
    with pytest.raises(ValueError) as exc:
        tree.deriv(list(orders))(points("f64"))
    assert str(exc.value) == RATIONALS


def _worked(kind):
    """x₁, x₁², 3 + x₂² and their quotient, in the given kind; the second parameter is then
    fixed at 2 by partial(), so the denominator prints as 7."""
    dt = np.complex128 if kind == "c64" else np.float64
    a = ExpressionTree(np.array([[0, 1]], dt).T)
    n = ExpressionTree(np.array([[0, 0, 1]], dt).T)
    d = ExpressionTree(np.array([[3, 0, 1]], dt))
    return a, n / d, np.array([2], dt)


@pytest.mark.parametrize("kind, build, text", [
    # All-zero orders keep a product (not doubled) and a quotient (not 0).
    ("f64", lambda a, q, v: (a * q).deriv([0, 0]).partial([1], v),
     "(1x₁¹) * ((1x₁²) / (7)), dtype = f64"),
    ("f64", lambda a, q, v: (a * a).deriv([0, 0]).partial([1], v), "1x₁², dtype = f64"),
    # A single first derivative keeps the two-term product rule and the quotient rule.
    ("f64", lambda a, q, v: (a * a).deriv([1, 0]).partial([1], v),
     "((1) * (1x₁¹)) + ((1) * (1x₁¹)), dtype = f64"),
    ("f64", lambda a, q, v: (a * q).deriv([1, 0]).partial([1], v),
     "((1) * ((1x₁²) / (7))) + (((((2x₁¹) * (7)) - ((0) * (1x₁²))) / (pow(7, 2))) * (1x₁¹)), "
     "dtype = f64"),
    # Higher orders: the expanded product is differentiated; over a quotient, the Leibniz sum
    # in row-major order of β, left-folded, with a factor only where the binomial is not 1.
    ("f64", lambda a, q, v: (a * a).deriv([2, 0]).partial([1], v), "2, dtype = f64"),
    ("f64", lambda a, q, v: (a * q).deriv([2, 0]).partial([1], v),
     "(((1x₁¹) * ((((2) * (7)) - ((0) * (1x₁²))) / (pow(7, 2)))) + "
     "(2 * ((1) * ((((2x₁¹) * (7)) - ((0) * (1x₁²))) / (pow(7, 2)))))) + "
     "((0) * ((1x₁²) / (7))), dtype = f64"),
    ("c64", lambda a, q, v: (a * q).deriv([2, 0]).partial([1], v),
     "(((1+0ix₁¹) * ((((2+0i) * (7+0i)) - ((0) * (1+0ix₁²))) / (pow(7+0i, 2)))) + "
     "(2+0i * ((1+0i) * ((((2+0ix₁¹) * (7+0i)) - ((0) * (1+0ix₁²))) / (pow(7+0i, 2)))))) + "
     "((0) * ((1+0ix₁²) / (7+0i))), dtype = c64"),
    # An antiderivative along a parameter the denominator does not vary in.
    ("f64", lambda a, q, v: q.deriv([-1, 0]).partial([1], v),
     "(0.3333333333333333x₁³) / (7), dtype = f64"),
    # Differentiating the quotient rule's square: the power rule's factor n − 1 = 1 times the
    # (vanishing) derivative of the base.
    ("f64", lambda a, q, v: q.deriv([1, 0]).partial([1], v).deriv([1, 0]).partial([1], v),
     "((((((2) * (7)) + ((0) * (2x₁¹))) - (((0) * (1x₁²)) + ((2x₁¹) * (0)))) * (pow(7, 2))) - "
     "(((1 * (7)) * (0)) * (((2x₁¹) * (7)) - ((0) * (1x₁²))))) / (pow(pow(7, 2), 2)), dtype = f64"),
    ("c64", lambda a, q, v: q.deriv([1, 0]).partial([1], v).deriv([1, 0]).partial([1], v),
     "((((((2+0i) * (7+0i)) + ((0) * (2+0ix₁¹))) - (((0) * (1+0ix₁²)) + ((2+0ix₁¹) * (0)))) * "
     "(pow(7+0i, 2))) - (((1+0i * (7+0i)) * (0)) * (((2+0ix₁¹) * (7+0i)) - ((0) * (1+0ix₁²))))) / "
     "(pow(pow(7+0i, 2), 2)), dtype = c64"),
])
def test_worked_derivative_trees(kind, build, text):
    assert str(build(*_worked(kind))) == text


@pytest.mark.parametrize("orders, text, shape", [
    ([1], "2 + 2x₁¹, dtype = f64", [2]),
    ([-1], "3x₁¹ + 1x₁² + 0.3333333333333333x₁³, dtype = f64", [4]),
    ([3], "0, dtype = f64", [0]),
])
def test_derivative_of_a_leaf_expands_to_one_leaf(orders, text, shape):
    t = ExpressionTree(np.array([3, 2, 1])).deriv(orders).expand()
    assert str(t) == text
    assert t.shape.tolist() == shape


@pytest.mark.parametrize("orders", ORDERS, ids=str)
def test_denominator_parameters_decide_refusal(orders):
    a, _ = leaf(4, (3, 2), "f64")
    constant = ExpressionTree(np.array([[4.0]]))
    varying = ExpressionTree(np.full((3, 1), 2.0)) + ExpressionTree(np.full((1, 4), 1.0))
    pts = points("f64")
    # A constant denominator accepts every order list.
    model = Model.from_values(coeffs(4, (3, 2), "f64")) / Model.from_values(np.array([[4.0]]))
    assert_close((a / constant).deriv(list(orders)).expand()(pts), expected(model, orders, pts))
    # A denominator varying in both parameters accepts only the all-zero list.
    if orders == (0, 0):
        assert_close((a / varying).deriv([0, 0]).expand()(pts), (a / varying)(pts))
    else:
        with pytest.raises(ValueError) as exc:
            (a / varying).deriv(list(orders)).expand()
        assert str(exc.value) == ACTIVE_DENOMINATOR


def calculus_pair(rng, kind, dim, depth):
    """The same random tree twice (module, model): sums, differences, products (often) and
    quotients, scalings, and nested deriv/integ with orders of every sign, now and then past
    the Leibniz limits; leaves sometimes have no coefficient along an axis."""
    if depth == 0 or rng.random() < 0.2:
        values = random_coeffs(rng, dim, kind)
        return ExpressionTree(values), Model.from_values(values)
    left = calculus_pair(rng, kind, dim, depth - 1)
    roll = rng.random()
    if roll < 0.5:
        right = calculus_pair(rng, kind, dim, depth - 1)
        ops = [add, sub, mul, mul]
        if reference.wider(left[1].kind, right[1].kind) != "i64":
            ops.append(div)
        return twin(left, right, ops[int(rng.integers(0, len(ops)))])
    if roll < 0.6:
        return left[0] * -1.5, left[1] * -1.5
    orders = [int(k) for k in rng.integers(-2, 3, size=dim)]
    if rng.random() < 0.1:
        orders[int(rng.integers(0, dim))] = [57, 4096][int(rng.integers(0, 2))]
    return lazy(left, "deriv" if rng.random() < 0.5 else "integ", orders)


def outcome(call, failures=(ValueError,)):
    """("ok", value), ("fail", message) or ("panic", None)."""
    try:
        return ("ok", call())
    except failures as exc:
        return ("fail", exc.message if isinstance(exc, EvalFailure) else str(exc))
    except InternalFailure:
        return ("panic", None)
    except BaseException as exc:  # noqa: BLE001 - the internal-failure type is a BaseException
        if type(exc).__name__ == "PanicException":
            return ("panic", None)
        raise


@pytest.mark.parametrize("seed", range(40))
def test_random_calculus_trees_match_the_reference_bits(dtype, seed):
    """Lazy values, expand() and partial() of random trees with products, quotients and
    nested derivatives: bit for bit the reference's, or the same failure."""
    rng = np.random.default_rng([seed, KINDS.index(dtype)])
    dim = int(rng.integers(1, 3))
    tree, model = calculus_pair(rng, dtype, dim, depth=3)
    if rng.random() < 0.5:
        tree, model = lazy((tree, model), "deriv", [int(k) for k in rng.integers(-1, 3, size=dim)])
    pts = random_points(rng, (5,), dim, model.kind)

    got = outcome(lambda: tree(pts))
    want = outcome(lambda: reference.eval_tree(model.root, pts, model.kind), (EvalFailure,))
    assert got[0] == want[0], (got, want, model.root)
    if got[0] == "ok":
        assert_bits_equal(got[1], want[1])
    else:
        assert got[1] == want[1]

    got = outcome(lambda: str(tree.expand()))
    want = outcome(lambda: rx.expand_tree(model.root, model.kind), (EvalFailure,))
    assert got[0] == want[0], (got, want, model.root)
    if got[0] == "ok":
        n = ExpressionTree(want[1][1])
        assert got[1] == str(n if want[1][0] == "single" else n / ExpressionTree(want[1][2]))
    else:
        assert got[1] == want[1]

    value = random_points(rng, (), 1, model.kind)
    got = outcome(lambda: tree.partial([0], value)(pts))
    want = outcome(lambda: reference.eval_tree(rx.partial_tree(model.root, [0], value, model.kind), pts,
                                               model.kind), (EvalFailure,))
    assert got[0] == want[0], (got, want, model.root)
    if got[0] == "ok":
        assert_bits_equal(got[1], want[1])
    else:
        assert got[1] == want[1]


@pytest.mark.parametrize("inner", [-2, -1, 0, 1, 2])
@pytest.mark.parametrize("outer", [-2, -1, 0, 1, 3])
@pytest.mark.parametrize("route", ["lazy", "expand", "partial"])
def test_derivatives_of_derivatives_are_true(dtype, inner, outer, route):
    # An antiderivative of a derivative loses what the derivative removed: the orders must
    # not simply add. Products below are differentiated as products, not term by term.
    a, b = leaf(8, (3,), dtype), leaf(9, (4,), dtype)
    for pair in (a, twin(a, b, mul)):
        tree, model = lazy(lazy(pair, "deriv", [inner]), "deriv", [outer])
        pts = points(dtype)[:, :1]
        assert_close(route_values(tree, (0,), route, pts) if route != "lazy" else tree(pts),
                     truth.values(model.root, pts))


def test_lazy_derivatives_of_a_long_product_keep_their_accuracy():
    # (x − 1)³⁰ at 1.01 is 1e-60; its expansion would lose every digit there.
    t, m = twin_of([-1.0, 1.0])
    for _ in range(29):
        t, m = t * ExpressionTree([-1.0, 1.0]), m * Model.from_values([-1.0, 1.0])
    x = np.array([[1.01]])
    assert_bits_equal(t.deriv([0])(x), t(x))
    for k in (1, 2, 5):
        want = truth.values(m.deriv([k]).root, x)
        np.testing.assert_allclose(t.deriv([k])(x), want, rtol=1e-12, atol=0)


def test_deep_trees_are_refused_not_crashed():
    # The symbolic derivative recurses once per level: on a small thread stack a deep tree
    # must end in RecursionError, and the tree must stay usable. Lazy values need no
    # recursion, so the lazy derivative of the product is computed.
    r = run_python("""
        import threading
        import numpy as np
        from kestrum import ExpressionTree
        leaf = ExpressionTree(np.array([0.0, 1.0]))
        tree = leaf
        for _ in range(4000):
            tree = tree + leaf
        calls = [
            lambda: tree.deriv([1]).expand(),
            lambda: tree.deriv([2]).partial([0], np.array([1.0])),
            lambda: (tree * leaf).deriv([2])(np.array([1.0])),
        ]
        out = []
        def work():
            for call in calls:
                try:
                    call()
                    out.append("finished")
                except RecursionError:
                    out.append("RecursionError")
        threading.stack_size(640 * 1024)
        worker = threading.Thread(target=work)
        worker.start()
        worker.join()
        print(*out, tree.deriv([1])(np.array([2.0])))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["RecursionError"] * 2 + ["finished", "4001.0"]


# --- the cases that once gave wrong values or failed on valid trees ------------------------

P2 = np.array([[0.5], [2.0]])


def _one_over_2x():
    return ExpressionTree([1.0]) / ExpressionTree([2.0]).integ([1])


def _zero_polynomial():
    return ExpressionTree([1.0, 2.0]).deriv([2])


@pytest.mark.parametrize("call, want", [
    # The denominator 2x depends on x: its integral made it so.
    (lambda: _one_over_2x().deriv([2]).expand()(P2), ACTIVE_DENOMINATOR),
    (lambda: _one_over_2x().integ([1]).expand()(P2), ACTIVE_DENOMINATOR),
    (lambda: _one_over_2x().deriv([1]).partial([0], [1.0]), ACTIVE_DENOMINATOR),
    # Products of the zero polynomial.
    (lambda: (_zero_polynomial() * _zero_polynomial()).deriv([0])(P2), [0.0, 0.0]),
    (lambda: (_zero_polynomial() * _zero_polynomial()).deriv([2])(P2), [0.0, 0.0]),
    (lambda: (_zero_polynomial() * _zero_polynomial()).deriv([0]).expand()(P2), [0.0, 0.0]),
    # The antiderivative of ∂a/∂x1, a constant along x1, is 0·x1 + 0: the value is 2 + 0.5.
    (lambda: ExpressionTree([[1.0, 2.0], [3.0, 4.0]]).deriv([1, 0]).integ([1, 0])(np.array([0.5, 0.5])), 2.5),
    (lambda: ExpressionTree([[1.0, 2.0], [3.0, 4.0]]).deriv([1, 0]).integ([1, 0]).expand()(np.array([0.5, 0.5])),
     2.5),
    # The derivative of a constant along x1 is zero, which partial() evaluates as zero.
    (lambda: str(ExpressionTree([[1.0, 2.0]]).deriv([1, 0]).partial([0], [1.0])), "0, dtype = f64"),
    (lambda: str(ExpressionTree([[1.0, 2.0]]).deriv([1, 0]).partial([0], [np.nan])), "0, dtype = f64"),
])
def test_calculus_gives_the_true_value_or_an_honest_refusal(call, want):
    if isinstance(want, str) and " " in want and "dtype" not in want:
        with pytest.raises(ValueError) as exc:
            call()
        assert str(exc.value) == want
    elif isinstance(want, str):
        assert call() == want
    else:
        np.testing.assert_array_equal(call(), want)


@not_under_sanitizers(NO_ADDRESS_LIMIT)
def test_leibniz_sum_of_large_leaves_needs_bounded_memory():
    # 841 Leibniz terms of two 300 x 300 leaves: holding every derivative array at once would
    # take gigabytes. Under a 1.5 GiB address-space limit the values still come, with the
    # bits of the rule's sum over values built from each leaf's own derivatives.
    result = run_python("""
        import math, resource
        import numpy as np
        from kestrum import ExpressionTree
        resource.setrlimit(resource.RLIMIT_AS, (3 << 29, 3 << 29))
        rng = np.random.default_rng(3)
        a, b = (ExpressionTree(rng.uniform(-1, 1, (300, 300))) for _ in range(2))
        points = rng.uniform(-0.5, 0.5, (3, 2))
        got = (a * b).deriv([28, 28])(points)
        total = None
        for i in range(29):
            for j in range(29):
                term = a.deriv([i, j])(points) * b.deriv([28 - i, 28 - j])(points)
                c = math.comb(28, i) * math.comb(28, j)
                if c != 1:
                    term = term * float(c)
                total = term if total is None else total + term
        assert got.tobytes() == total.tobytes(), (got, total)
        print("ok")
    """, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
