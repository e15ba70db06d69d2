"""expand() and partial(): dense arithmetic in its fixed operand order, quotients kept as
pairs, lazy derivatives made concrete first, the argument conversions of partial(), and
every failure in its order of checks."""

from __future__ import annotations

import operator
import sys

import numpy as np
import pytest

import reference
import reference_expand as rx
from conftest import (ABORTS_ON_HUGE_NEW, assert_bits_equal, assert_panic, NO_ADDRESS_LIMIT, not_under_sanitizers,
                      random_coeffs, random_points, random_values, run_python)
from kestrum import ExpressionTree
from reference import (DTYPES, Add, Deriv, Div, EvalFailure, InternalFailure, Leaf, Model, Mul,
                       Pow, Scale, Sub)

COMPOSITION = "Incompatible dimensions for composition"
EVALUATION = "Incompatibile dimensions for evaluation"
UNSUPPORTED = "Unsupported data type for evaluation"
OUTER = "Outer none on polyval"
ACTIVE = "Can't perform integral/derivative operation if active dofs are in denominator"


def kind_of(tree: ExpressionTree) -> str:
    return str(tree).rsplit(", dtype = ", 1)[1]


def expected_tree(expansion) -> ExpressionTree:
    """The module tree that expand() must give for a reference expansion."""
    if expansion[0] == "single":
        return ExpressionTree(expansion[1])
    return ExpressionTree(expansion[1]) / ExpressionTree(expansion[2])


def assert_same_arrays(actual: ExpressionTree, expected: ExpressionTree):
    """Same element type, shape and coefficients. The text holds every non-zero coefficient
    with its shortest round-trip digits, so equal texts mean bit-equal non-zero coefficients."""
    assert str(actual) == str(expected)
    np.testing.assert_array_equal(actual.shape, expected.shape)


def constant_bits(tree: ExpressionTree, kind: str):
    """The exact bits of a one-coefficient tree (signed zeros included)."""
    value = np.array([tree.to_constant()], DTYPES[kind])
    return value.view(np.int64) if kind != "i64" else value


def module_tree(node) -> ExpressionTree:
    """A module tree with the structure of a reference tree without Pow and Deriv nodes."""
    if isinstance(node, Leaf):
        return ExpressionTree(node.coeffs)
    if isinstance(node, Scale):
        factor = complex(*node.factor) if isinstance(node.factor, tuple) else node.factor
        return module_tree(node.child) * factor
    op = {Add: operator.add, Sub: operator.sub, Mul: operator.mul, Div: operator.truediv}[type(node)]
    return op(module_tree(node.left), module_tree(node.right))


def outcome(call):
    """("ok", value), ("value_error", text) or ("panic", None)."""
    try:
        return ("ok", call())
    except ValueError as exc:
        return ("value_error", str(exc))
    except BaseException as exc:  # noqa: BLE001 - the internal-failure type is a BaseException
        if type(exc).__name__ == "PanicException":
            return ("panic", None)
        raise


def reference_outcome(call):
    try:
        return ("ok", call())
    except EvalFailure as exc:
        return ("value_error", exc.message)
    except InternalFailure:
        return ("panic", None)


# --- dense arithmetic, through expand() ------------------------------------------------------

def _t(values, dtype=np.float64):
    return ExpressionTree(np.array(values, dtype))


@pytest.mark.parametrize("op, a, b, expected", [
    ("+", [[1, 2, 3], [4, 5, 6]], [[10], [20], [30]], [[11, 2, 3], [24, 5, 6], [30, 0, 0]]),
    ("-", [1], [0, 2], [1, -2]),
    ("+", [[1], [2]], [[3, 4]], [[4, 4], [2, 0]]),
    ("*", [1, 1], [1, 1], [1, 2, 1]),
    ("*", [1, 2], [3], [3, 6]),
    ("*", [[1], [1]], [[1, 1]], [[1, 1], [1, 1]]),
    ("*", np.zeros((0,)), [1, 2, 3], [0, 0]),
    ("*", [1, 2, 3], np.zeros((0,)), [0, 0]),
])
def test_dense_operations_on_small_arrays(op, a, b, expected):
    left, right = _t(a), _t(b)
    tree = {"+": left + right, "-": left - right, "*": left * right}[op]
    assert_same_arrays(tree.expand(), _t(expected))


@pytest.mark.parametrize("kind, op, a, b, expected", [
    ("i64", "*", 2**62, 4, 0),
    ("i64", "+", 2**63 - 1, 1, -(2**63)),
    ("i64", "-", -(2**63), 1, 2**63 - 1),
    ("f64", "*", -0.0, 1.0, 0.0),  # every coefficient starts from +0.0
    ("f64", "+", -0.0, -0.0, -0.0),  # the first operand is copied, not added to zero
    ("f64", "-", -0.0, 0.0, -0.0),
    ("c64", "*", 1j, 1j, -1 + 0j),
    ("c64", "*", complex(-0.0, 0.0), 1 + 0j, 0j),
])
def test_dense_operations_keep_signed_zeros_and_wrap(kind, op, a, b, expected):
    left = ExpressionTree(np.array([a], DTYPES[kind]))
    right = ExpressionTree(np.array([b], DTYPES[kind]))
    tree = {"+": left + right, "-": left - right, "*": left * right}[op].expand()
    assert kind_of(tree) == kind
    np.testing.assert_array_equal(constant_bits(tree, kind),
                                  constant_bits(ExpressionTree(np.array([expected], DTYPES[kind])), kind))


def test_partial_keeps_a_lone_negative_zero():
    # The first term starts the sum; it is not added to a zero.
    result = ExpressionTree(np.array([[-0.0]])).partial([1], [2.0])
    assert np.array([result.to_constant()]).view(np.int64)[0] == np.array([-0.0]).view(np.int64)[0]


def test_zero_coefficients_are_not_skipped_in_products():
    product = (_t([0.0, 1.0]) * _t([np.inf])).expand()
    assert str(product) == "NaN + infx₁¹, dtype = f64"


def test_zero_axis_arrays_multiply_to_a_zero_axis_array():
    product = (ExpressionTree(np.array(3.0)) * ExpressionTree(np.array(-2.5))).expand()
    assert product.dimension == 0
    assert product.to_constant() == -7.5


def test_difference_of_equal_polynomials_keeps_its_shape():
    x = _t([[1.5, 2.0, 0.0], [3.0, -1.0, 4.0]])
    zeros = (x - x).expand()
    assert str(zeros) == "0, dtype = f64"
    np.testing.assert_array_equal(zeros.shape, [2, 3])


@pytest.mark.parametrize("kind", ["i64", "f64", "c64"])
def test_product_of_arrays_both_empty_along_one_axis_is_empty_there(kind):
    # Two zero polynomials multiply to the zero polynomial; the other axis still grows.
    a = ExpressionTree(np.zeros((0, 2), DTYPES[kind]))
    b = ExpressionTree(np.zeros((0, 3), DTYPES[kind]))
    product = (a * b).expand()
    assert str(product) == f"0, dtype = {kind}"
    np.testing.assert_array_equal(product.shape, [0, 4])


def test_square_of_an_array_empty_along_one_axis_is_empty_there():
    # The quotient rule squares the denominator, here a zero polynomial of shape (1, 0).
    n = np.array([[1.0, 2.0], [3.0, 4.0]])
    d = np.zeros((1, 0))
    tree = (ExpressionTree(n) / ExpressionTree(d)).deriv([1, 0])
    expected = rx.expand_tree(Deriv(Div(Leaf(n), Leaf(d)), (1, 0)), "f64")
    assert expected[2].shape == (1, 0)
    assert_same_arrays(tree.expand(), expected_tree(expected))


def test_product_whose_element_count_overflows_is_an_internal_failure():
    # Both operands are empty, but along different axes: the product is 39 × 2^59 zeros.
    a = ExpressionTree(np.empty((0, 2**59)))
    b = ExpressionTree(np.empty((40, 0)))
    for tree in (a * b, a + b):
        with pytest.raises(BaseException) as excinfo:
            tree.expand()
        assert_panic(excinfo)


@not_under_sanitizers(NO_ADDRESS_LIMIT)
def test_product_that_cannot_be_allocated_is_a_memory_error():
    result = run_python("""
        import resource
        import numpy as np
        from kestrum import ExpressionTree
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        a = ExpressionTree(np.empty((0, 2**36)))
        b = ExpressionTree(np.empty((3, 0)))
        try:
            (a * b).expand()
        except MemoryError:
            print("MemoryError")
        print((a * ExpressionTree(np.empty((1, 0)))).shape)  # still usable afterwards
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "MemoryError"


# --- expansion: the combination table ------------------------------------------------------

def wide_values(seed, shape, kind="f64"):
    """Values over sixteen orders of magnitude: sums of their products round differently
    in every order, so a product with swapped operands (or a different loop order) shows in
    the bits. i64 values are large enough to wrap."""
    rng = np.random.default_rng(seed)
    if kind == "i64":
        return rng.integers(-(2**62), 2**62, size=shape, dtype=np.int64)
    def reals():
        return rng.standard_normal(shape) * 10.0 ** rng.integers(-8, 9, size=shape)
    return (reals() if kind == "f64" else reals() + 1j * reals()).astype(DTYPES[kind])


@pytest.mark.parametrize("kind", ["i64", "f64", "c64"])
@pytest.mark.parametrize("shape_a, shape_b", [
    ((4,), (6,)), ((5,), (1,)), ((2, 3), (3, 2)), ((1, 4), (3, 1)), ((3, 3), (2, 4)),
    ((2, 4), (3, 5)), ((1, 3, 2), (2, 3, 3)), ((1, 1, 1), (2, 3, 2)), ((0, 3), (2, 3)),
    ((2, 3), (2, 0)),
])
def test_dense_product_matches_the_reference_both_ways(kind, shape_a, shape_b):
    a, b = wide_values(1, shape_a, kind), wide_values(2, shape_b, kind)
    ta, tb = ExpressionTree(a), ExpressionTree(b)
    assert_same_arrays((ta * tb).expand(), ExpressionTree(rx.dense_mul(a, b, kind)))
    assert_same_arrays((tb * ta).expand(), ExpressionTree(rx.dense_mul(b, a, kind)))


# Left-side arrays (a, n, d) and right-side arrays (b, n', d') of the combination table.
LEFT = {"single": wide_values(3, 6), "n": wide_values(4, 6), "d": wide_values(5, 6)}
RIGHT = {"single": wide_values(6, 6), "n": wide_values(7, 6), "d": wide_values(8, 6)}


def test_table_arrays_distinguish_operand_order():
    # Every product of the table pairs a left-side array with a right-side one.
    for x in LEFT.values():
        for y in RIGHT.values():
            assert not np.array_equal(rx.dense_mul(x, y, "f64"), rx.dense_mul(y, x, "f64"))


def _side(shape_kind, arrays):
    """A Single (one leaf) or a Rational (leaf / leaf) built twice."""
    if shape_kind == "single":
        return ExpressionTree(arrays["single"]), Leaf(arrays["single"])
    return (ExpressionTree(arrays["n"]) / ExpressionTree(arrays["d"]),
            Div(Leaf(arrays["n"]), Leaf(arrays["d"])))


@pytest.mark.parametrize("left_shape", ["single", "rational"])
@pytest.mark.parametrize("right_shape", ["single", "rational"])
@pytest.mark.parametrize("node", [Add, Sub, Mul, Div])
def test_combination_table_operand_order(node, left_shape, right_shape):
    lt, lm = _side(left_shape, LEFT)
    rt, rm = _side(right_shape, RIGHT)
    tree = {Add: lt + rt, Sub: lt - rt, Mul: lt * rt, Div: lt / rt}[node]
    expansion = rx.expand_tree(node(lm, rm), "f64")
    assert expansion[0] == ("single" if node is not Div and left_shape == right_shape == "single"
                            else "rational")
    assert_same_arrays(tree.expand(), expected_tree(expansion))


@pytest.mark.parametrize("build, numerator, denominator", [
    (lambda x, y, a, b: x / x, "x", "x"),
    (lambda x, y, a, b: (x / y) * (y / x), "x*y", "y*x"),
    (lambda x, y, a, b: (x / y) / (a / b), "x*b", "y*a"),
    (lambda x, y, a, b: 2 * (x / y), "x*2", "y"),
])
def test_quotients_are_never_cancelled(build, numerator, denominator):
    arrays = {"x": LEFT["n"], "y": RIGHT["n"], "a": LEFT["d"], "b": RIGHT["d"]}
    trees = {k: ExpressionTree(v) for k, v in arrays.items()}

    def poly(text):
        if text == "x*2":
            return rx.scaled(arrays["x"], 2, "f64")
        left, _, right = text.partition("*")
        return rx.dense_mul(arrays[left], arrays[right], "f64") if right else arrays[left]

    result = build(trees["x"], trees["y"], trees["a"], trees["b"]).expand()
    assert_same_arrays(result, ExpressionTree(poly(numerator)) / ExpressionTree(poly(denominator)))


def test_expand_keeps_the_element_type_and_gives_leaves():
    a = ExpressionTree(np.array([[1, 2], [3, 4]]))
    b = ExpressionTree(np.array([[5], [-6]]))
    single = (a + b).expand()
    assert str(single) == str(ExpressionTree(np.array([[6, 2], [-3, 4]])))
    quotient = (a / b).expand()
    assert str(quotient) == str(a / b)
    assert kind_of(single) == kind_of(quotient) == "i64"


def test_quotient_rule_denominator_is_squared():
    # d/dx1 of a / b with b constant along x1: the denominator is b², a one-leaf power.
    a = np.array([[1.0, 2.0], [3.0, 4.0]])
    b = np.array([[2.0, 1.0]])
    result = (ExpressionTree(a) / ExpressionTree(b)).deriv([1, 0]).expand()
    expected = rx.expand_tree(Deriv(Div(Leaf(a), Leaf(b)), (1, 0)), "f64")
    np.testing.assert_array_equal(expected[2], [[4.0, 4.0, 1.0]])
    assert_same_arrays(result, expected_tree(expected))


@pytest.mark.parametrize("left, right, text", [
    ("active", "short", ACTIVE),
    ("short", "active", COMPOSITION),
    ("fine", "short", COMPOSITION),
    ("fine", "active", ACTIVE),
])
def test_expand_reports_the_left_failure_first(left, right, text):
    a = ExpressionTree(np.array([[1.0, 2.0], [3.0, 4.0]]))
    b = ExpressionTree(np.array([[1.0], [1.0]]))
    sides = {"active": (a / b).deriv([1, 0]), "short": a.deriv([1]), "fine": a.deriv([0, 1])}
    with pytest.raises(ValueError) as excinfo:
        (sides[left] + sides[right]).expand()
    assert str(excinfo.value) == text


# --- random trees against the reference ------------------------------------------------------

def random_pair(rng, kind, dim, depth):
    """The same tree built as an ExpressionTree and as a reference Model, with quotients and
    derivatives anywhere (also of i64 trees: expansion never divides)."""
    if depth == 0 or rng.random() < 0.2:
        values = random_coeffs(rng, dim, kind)
        return ExpressionTree(values), Model.from_values(values)
    choice = rng.integers(0, 6)
    lt, lm = random_pair(rng, kind, dim, depth - 1)
    if choice <= 2:
        rt, rm = random_pair(rng, kind, dim, depth - 1)
        op = ["+", "-", "*", "/"][int(rng.integers(0, 4))]
        return {"+": (lt + rt, lm + rm), "-": (lt - rt, lm - rm), "*": (lt * rt, lm * rm),
                "/": (lt / rt, lm / rm)}[op]
    if choice == 3:
        number = [3, -2, 0.75, complex(0.5, -1.5)][int(rng.integers(0, 4))]
        if kind == "i64" and not isinstance(number, int):
            number = 5
        return lt * number, lm * number
    orders = [int(k) for k in rng.integers(-1, 3, size=dim)]
    if rng.random() < 0.5:
        return lt.deriv(orders), lm.deriv(orders)
    return lt.integ(orders), lm.integ(orders)


def _random_trees(kind, count, seed):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        dim = int(rng.integers(1, 3))
        yield rng, dim, random_pair(rng, kind, dim, int(rng.integers(1, 4)))


@pytest.mark.parametrize("kind, seed", [("i64", 11), ("f64", 12), ("c64", 13), ("f64", 14)])
def test_expand_random_trees_bit_for_bit(kind, seed):
    for _, _, (tree, model) in _random_trees(kind, 40, seed):
        got = outcome(lambda: tree.expand())
        want = reference_outcome(lambda: rx.expand_tree(model.root, model.kind))
        assert got[0] == want[0], (got, want, model.root)
        if got[0] == "ok":
            assert_same_arrays(got[1], expected_tree(want[1]))
        else:
            assert got[1] == want[1]


def _compare_trees_at_points(rng, actual, node, kind, dim):
    points = random_points(rng, (4,), dim, kind)
    got = outcome(lambda: actual(points))
    want = reference_outcome(lambda: reference.eval_tree(node, points, kind))
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        assert_bits_equal(got[1], want[1])
    else:
        assert got[1] == want[1]


def _random_partial_arguments(rng, dim, kind):
    axes = [int(a) for a in rng.permutation(dim)[: int(rng.integers(1, dim + 1))]]
    roll = rng.random()
    if roll < 0.05:
        axes = axes + [axes[0]]  # a repeated index
    elif roll < 0.1:
        axes = axes + [dim]  # one past the last axis
    values = np.array(random_points(rng, (), len(axes) + (1 if rng.random() < 0.05 else 0), kind))
    return axes, values


@pytest.mark.parametrize("kind, seed", [("i64", 21), ("f64", 22), ("c64", 23), ("f64", 24)])
def test_partial_random_trees_bit_for_bit(kind, seed):
    for rng, dim, (tree, model) in _random_trees(kind, 40, seed):
        indices, values = _random_partial_arguments(rng, dim, model.kind)
        got = outcome(lambda: tree.partial(indices, values))
        want = reference_outcome(lambda: rx.partial_tree(model.root, indices, values, model.kind))
        assert got[0] == want[0], (got, want, model.root, indices)
        if got[0] != "ok":
            assert got[1] == want[1]
            continue
        result, node = got[1], want[1]
        assert kind_of(result) == model.kind
        assert result.dimension == dim
        if not rx.has_node(node, Pow):
            assert str(result) == str(module_tree(node))
        if model.kind != "i64" or not rx.has_node(node, Div):  # i64 division may meet zero
            _compare_trees_at_points(rng, result, node, model.kind, dim)


# --- partial evaluation of coefficient arrays -----------------------------------------------

C23 = np.array([[1.5, -2.25, 3.0], [0.1, 7.0, -0.3]])


def test_partial_sums_each_row_left_to_right():
    v = 1.7
    result = ExpressionTree(C23).partial([1], [v])
    np.testing.assert_array_equal(result.shape, [2, 1])
    rows = [(c[0] * 1.0 + c[1] * v) + c[2] * (v * v) for c in C23]
    assert str(result) == str(ExpressionTree(np.array(rows)[:, None]))


def test_partial_with_descending_indices_pairs_values_by_parameter():
    c = np.array([[0.3, 1.1], [-2.7, 0.9]])
    a, b = 1.3, -0.7
    result = ExpressionTree(c).partial([1, 0], [a, b])
    np.testing.assert_array_equal(result.shape, [1, 1])
    want = ((c[0, 0] * 1.0 + c[0, 1] * a) + c[1, 0] * b) + c[1, 1] * (b * a)
    assert np.float64(result.to_constant()).view(np.int64) == np.float64(want).view(np.int64)


@pytest.mark.parametrize("kind", ["i64", "f64", "c64"])
def test_partial_of_every_parameter_is_the_value_at_that_point(kind):
    rng = np.random.default_rng(5)
    coeffs = random_values(rng, (2, 3, 2), kind, zero_fraction=0.0)
    point = random_points(rng, (), 3, kind)
    result = ExpressionTree(coeffs).partial([2, 0, 1], point[[2, 0, 1]])
    np.testing.assert_array_equal(result.shape, [1, 1, 1])
    want = rx.partial_eval(coeffs, [2, 0, 1], point[[2, 0, 1]], kind).reshape(1)
    np.testing.assert_array_equal(constant_bits(result, kind), want.view(np.int64) if kind != "i64" else want)


def test_partial_at_zero_keeps_the_first_slice():
    result = ExpressionTree(C23).partial([0], [0.0])
    assert str(result) == str(ExpressionTree(C23[:1]))


def test_partial_does_not_skip_zero_coefficients():
    # 0 · inf is NaN: the zero coefficient's term poisons the sum.
    result = ExpressionTree(np.array([1.0, 0.0])).partial([0], [np.inf])
    assert np.isnan(result.to_constant())


def test_partial_i64_powers_wrap():
    coeffs = np.zeros(65, np.int64)
    coeffs[0], coeffs[64] = 5, 1
    assert ExpressionTree(coeffs).partial([0], [2]).to_constant() == 5  # 2^64 wraps to 0
    assert ExpressionTree(np.array([1, 1], np.int64)).partial([0], [2**63 - 1]).to_constant() == -(2**63)


@pytest.mark.parametrize("shape, indices, values, result", [
    ((2, 3), [], [], OUTER),
    ((), [], [], OUTER),
    ((2, 0), [], [], (2, 0)),
    ((2, 3), [0, 0], [1.0, 2.0], EVALUATION),
    ((2, 3), [2], [1.0], EVALUATION),
    ((2, 3), [5, 0, 0], [1.0], EVALUATION),
    ((2, 3), [0, 0], [1.0], EVALUATION),
    ((2, 3), [0], [1.0, 2.0], EVALUATION),
    ((2, 3), [], [1.0], EVALUATION),
    ((0, 2), [0], [1.0], (1, 2)),  # every position sums no term: zero
    ((0, 2), [0], [np.inf], (1, 2)),
    ((2, 0, 3), [1], [np.nan], (2, 1, 3)),
    ((0, 3), [1, 0], [1.0, 2.0], (1, 1)),
    ((2, 0), [0], [1.0], (1, 0)),
    ((0, 0), [0], [1.0], (1, 0)),
])
def test_partial_checks_and_degenerate_shapes(shape, indices, values, result):
    tree = ExpressionTree(np.ones(shape))
    if isinstance(result, str):
        with pytest.raises(ValueError) as excinfo:
            tree.partial(indices, values)
        assert str(excinfo.value) == result
    else:
        out = tree.partial(indices, values)
        np.testing.assert_array_equal(out.shape, result)
        assert str(out) == "0, dtype = f64"


@pytest.mark.parametrize("value", [2.0, -np.inf, np.nan])
def test_partial_over_an_empty_axis_is_positive_zero(dtype, value):
    coeffs = np.zeros((0,), DTYPES[dtype])
    values = np.array([value if dtype != "i64" else -3]).astype(DTYPES[dtype])
    result = ExpressionTree(coeffs).partial([0], values)
    assert kind_of(result) == dtype
    np.testing.assert_array_equal(constant_bits(result, dtype), constant_bits(ExpressionTree(np.zeros(1, DTYPES[dtype])),
                                                                               dtype))


@not_under_sanitizers(ABORTS_ON_HUGE_NEW)
def test_partial_zero_result_too_large_to_hold_is_a_memory_error():
    # (0, 2^59) evaluated along its empty axis is 2^59 zeros: refused by the allocator.
    with pytest.raises(MemoryError):
        ExpressionTree(np.ones((0, 2**59))).partial([0], [1.0])


# --- partial evaluation of trees ---------------------------------------------------------------

def test_partial_of_a_lazy_derivative_differentiates_first():
    tree = ExpressionTree(np.array([3.0, 2.0, 1.0])).deriv([1])
    assert tree.partial([0], [1.0]).to_constant() == 4.0
    # The derivative of a (2, 1) leaf along its second parameter is (2, 0): zero there.
    zero = ExpressionTree(np.array([[1.0], [2.0]])).deriv([0, 1]).partial([1], [0.5])
    assert str(zero) == "0, dtype = f64"
    np.testing.assert_array_equal(zero.shape, [2, 1])


def test_partial_of_a_derivative_of_a_quotient_leaves_no_derivative_behind():
    a = np.array([[1.0, 2.0, -1.0], [0.5, 3.0, 2.0]])
    b = np.array([[2.0], [1.0]])
    tree = (ExpressionTree(a) / ExpressionTree(b)).deriv([0, 1])
    node = rx.partial_tree(Deriv(Div(Leaf(a), Leaf(b)), (0, 1)), [0], [0.5], "f64")
    assert not rx.has_node(node, Deriv) and rx.has_node(node, Pow)
    result = tree.partial([0], [0.5])
    _compare_trees_at_points(np.random.default_rng(0), result, node, "f64", 2)
    np.testing.assert_array_equal(result.shape, [1, 3])


@pytest.mark.parametrize("build, indices, text", [
    (lambda a, b, c: (c / b).deriv([1, 0]), [1], ACTIVE),
    (lambda a, b, c: (c / b).deriv([1, 0]), [], ACTIVE),
    (lambda a, b, c: a.deriv([1]), [0], COMPOSITION),
    (lambda a, b, c: c + a.deriv([1]), [], OUTER),  # the left leaf is reached first
    (lambda a, b, c: c + a.deriv([1]), [0, 0], EVALUATION),
    (lambda a, b, c: c + a.deriv([1]), [0], COMPOSITION),
    (lambda a, b, c: ExpressionTree(np.zeros((0, 1))) + c, [], OUTER),
])
def test_partial_tree_failures_in_walk_order(build, indices, text):
    a = ExpressionTree(np.array([[1.0], [2.0]]))
    b = ExpressionTree(np.array([[1.0], [2.0], [3.0]]))
    c = ExpressionTree(np.array([[1.0, 2.0], [3.0, 4.0]]))
    with pytest.raises(ValueError) as excinfo:
        build(a, b, c).partial(indices, [0.5] * len(indices))
    assert str(excinfo.value) == text


@pytest.mark.parametrize("build", [
    lambda a, b: a + b, lambda a, b: 3 * a, lambda a, b: a * b - b / a,
])
def test_partial_keeps_kinds_and_factors(build):
    a = np.array([[1.0, 2.0], [0.5, -1.0]])
    b = np.array([[2.0, 1.0, 3.0]])
    tree = build(ExpressionTree(a), ExpressionTree(b))
    node = build(Model.from_values(a), Model.from_values(b)).root
    assert str(tree.partial([0], [2.0])) == str(module_tree(rx.partial_tree(node, [0], [2.0], "f64")))


# --- the partial() method: element types, conversions, flags ----------------------------------

@pytest.mark.parametrize("tree_kind, values, result_kind", [
    ("i64", [2], "i64"),
    ("i64", [2.5], "f64"),
    ("i64", [1j], "c64"),
    ("f64", [2], "f64"),
    ("f64", [2j], "c64"),
    ("c64", [2], "c64"),
    ("c64", np.array([True]), "c64"),
    ("i64", np.array([2], np.int32), "i64"),
    ("i64", np.array([2], np.uint64), "f64"),
])
def test_partial_picks_the_values_element_type(tree_kind, values, result_kind):
    coeffs = np.array([[1, 2], [3, 4]], DTYPES[tree_kind])
    result = ExpressionTree(coeffs).partial([0], values)
    assert kind_of(result) == result_kind
    want = rx.partial_eval(coeffs.astype(DTYPES[result_kind]), [0],
                           np.asarray(values).astype(DTYPES[result_kind]), result_kind)
    assert str(result) == str(ExpressionTree(want))


@pytest.mark.parametrize("indices, values, text", [
    ([-1], [1.0], "Could not convert data type"),
    ([-1], "abc", "Could not convert data type"),
    ([0, -5], [1.0, 2.0], "Could not convert data type"),
    ([0.0], [1.0], "Could not convert type"),
    ([0.0], "abc", "Could not convert type"),
    (0, [1.0], "Could not convert type"),
    ([[0]], [1.0], "Could not convert type"),
    (np.array([0], np.uint64), [1.0], "Could not convert type"),
    ([0], [[1.0]], UNSUPPORTED),
    ([0], 1.0, UNSUPPORTED),
    ([0], np.array([1.0], object), UNSUPPORTED),
    ([0], ["a"], UNSUPPORTED),
    ([0, 1], np.arange(3.0)[::2], "Could not convert values to slice"),
    ([0, 1], np.arange(2.0)[::-1], "Could not convert values to slice"),
    ([0, 7], np.arange(3.0)[::2], "Could not convert values to slice"),
    ([0, 7], [1.0, 2.0], EVALUATION),
])
def test_partial_argument_errors(indices, values, text):
    tree = ExpressionTree(C23)
    with pytest.raises(ValueError) as excinfo:
        tree.partial(indices, values)
    assert str(excinfo.value) == text


@pytest.mark.parametrize("values", [
    np.arange(3.0)[::2].copy(),
    np.array([0.0, 2.0], ">f8"),
    np.frombuffer(b"\0" + np.array([0.0, 2.0]).tobytes(), np.float64, 2, 1),
    np.array([[0.0], [2.0]])[:, 0],
])
def test_partial_reads_contiguous_values_of_any_layout(values):
    want = ExpressionTree(C23).partial([0, 1], np.array([0.0, 2.0]))
    assert str(ExpressionTree(C23).partial([0, 1], values)) == str(want)


def test_partial_accepts_keywords_and_big_endian_indices():
    got = ExpressionTree(C23).partial(values=[0.5, 2.0], indices=np.array([1, 0], ">i8"))
    assert str(got) == str(ExpressionTree(C23).partial([1, 0], [0.5, 2.0]))


class _Refusing:
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array here")


# Each path: receiver coefficients, fresh (indices, values) arguments, outcome kind.
_FLAG_PATHS = {
    "ok": (C23, lambda: (np.array([1, 0]), np.array([0.5, 2.0])), "ok"),
    "cast": (C23.astype(np.int64), lambda: (np.array([1, 0]), np.array([0.5, 2.0])), "ok"),
    "negative": (C23, lambda: (np.array([-1, 0]), np.array([0.5, 2.0])), "value_error"),
    "float_indices": (C23, lambda: (np.array([1.0, 0.0]), np.array([0.5, 2.0])), "value_error"),
    "two_axis_values": (C23, lambda: (np.array([1, 0]), np.array([[0.5, 2.0]])), "value_error"),
    "strided_values": (C23, lambda: (np.array([1, 0]), np.arange(4.0)[::2]), "value_error"),
    "tree_error": (C23, lambda: (np.array([0]), np.array([0.5, 2.0])), "value_error"),
    "refused_values": (C23, lambda: (np.array([1, 0]), _Refusing()), "panic"),
}


@pytest.mark.parametrize("writeable", [True, False])
@pytest.mark.parametrize("path", sorted(_FLAG_PATHS))
def test_partial_restores_writeable_flags_on_every_path(path, writeable):
    coeffs, arguments, expected = _FLAG_PATHS[path]
    indices, values = arguments()
    arrays = [a for a in (indices, values) if isinstance(a, np.ndarray)]
    for a in arrays:
        a.flags.writeable = writeable
    assert outcome(lambda: ExpressionTree(coeffs).partial(indices, values))[0] == expected
    for a in arrays:
        assert a.flags.writeable is writeable


def test_partial_leaves_reference_counts_unchanged():
    paths = [(ExpressionTree(coeffs), *arguments()) for coeffs, arguments, _ in _FLAG_PATHS.values()]
    watched = [x for path in paths for x in path] + [ExpressionTree]

    def calls():
        for tree, indices, values in paths:
            outcome(lambda: tree.partial(indices, values))
            tree.expand()

    calls()
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(20):
        calls()
    assert [sys.getrefcount(x) for x in watched] == before


def test_partial_with_values_numpy_refuses_is_an_internal_failure(capfd):
    with pytest.raises(BaseException) as excinfo:
        ExpressionTree(C23).partial([0], _Refusing())
    assert_panic(excinfo, "Python API call failed")
    assert "no array here" in capfd.readouterr().err


def test_partial_and_expand_leave_the_receiver_unchanged():
    tree = ExpressionTree(C23) / ExpressionTree(C23[:, :1])
    before = str(tree)
    tree.partial([0], [2.0])
    tree.expand()
    assert str(tree) == before


# --- deep trees --------------------------------------------------------------------------------

@not_under_sanitizers("sanitizer stack frames are too large for this depth on the main thread")
def test_deep_trees_expand_or_raise_recursion_error_without_crashing():
    result = run_python("""
        import threading
        import numpy as np
        from kestrum import ExpressionTree
        leaf = ExpressionTree(np.array([1.0, 0.5]))
        tree = leaf
        for _ in range(3000):
            tree = leaf + tree
        out = []
        def work():
            for call in (lambda: tree.expand(), lambda: tree.partial([0], [2.0])):
                try:
                    call()
                    out.append("ok")
                except RecursionError:
                    out.append("RecursionError")
        threading.stack_size(1024 * 1024)
        t = threading.Thread(target=work)
        t.start()
        t.join()
        print(*out)
        print(tree.expand())
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert set(lines[0].split()) <= {"ok", "RecursionError"}
    assert lines[1] == "3001 + 1500.5x₁¹, dtype = f64"
