"""Construction from NumPy data and evaluation at points, checked bit for bit against the
reference model."""

import gc

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from conftest import (assert_bits_equal, assert_panic, random_coeffs, random_points, random_twin,
                      random_values, run_python, twin)
from kestrum import ExpressionTree
from reference import DTYPES, KINDS, Model, eval_poly

I64_MIN = np.iinfo(np.int64).min


# --- construction ---------------------------------------------------------------------------

@pytest.mark.parametrize("vals, kind", [
    ([1, 2, 3], "i64"),
    ([1, 2.5], "f64"),
    ([1, 2j], "c64"),
    ([True, False, True], "i64"),
    (np.array([1, 2], np.uint64), "f64"),
    (np.array([1, 2], np.uint32), "i64"),
    (np.array([-1, 2], np.int8), "i64"),
    (np.array([1.5, 2], np.float32), "f64"),
    (np.array([1.5, 2], np.float16), "f64"),
    (np.array([1.5j], np.complex64), "c64"),
    (np.array([3, 4], ">i8"), "i64"),
    (np.array([1.5, -2.25], ">f8"), "f64"),
    ([[1, 2], [3, 4]], "i64"),
    (np.arange(24.0).reshape(2, 3, 4), "f64"),
    (5, "i64"),
    (2.5, "f64"),
    (3j, "c64"),
    (np.zeros((2, 0)), "f64"),
])
def test_construction_takes_narrowest_kind(vals, kind):
    t = ExpressionTree(vals)
    dim = np.ndim(vals)
    assert t.dimension == dim
    pts = np.full((2, dim), 2, np.int64)  # integer points keep the tree's own kind
    out = t(pts)
    assert out.dtype == DTYPES[kind]
    assert_bits_equal(out, Model.from_values(vals)(pts))


@pytest.mark.parametrize("vals", [
    np.array([1, 2], dtype=object),
    ["a", "b"],
    np.array([b"xy"]),
    np.array([1.5], np.longdouble),
    None,
], ids=["object", "str", "bytes", "longdouble", "None"])
def test_construction_refuses_other_data(vals):
    with pytest.raises(ValueError) as exc:
        ExpressionTree(vals)
    assert str(exc.value) == "Unsupported data type returned"


def test_construction_copies_and_restores_writeable():
    data = np.array([[1.0, 2.0], [3.0, 4.0]])
    t = ExpressionTree(data)
    assert data.flags.writeable
    before = t(np.array([2.0, 3.0]))
    data[:] = 100.0
    assert_bits_equal(t(np.array([2.0, 3.0])), before)

    frozen = np.array([1, 2, 3])
    frozen.flags.writeable = False
    ExpressionTree(frozen)
    assert not frozen.flags.writeable


def test_construction_from_datetime_fails_cleanly():
    # Whether NumPy refuses to pair datetimes with a number type, or converts them to a
    # datetime array that no kind accepts, the call fails without harm.
    r = run_python("""
        import numpy as np
        from kestrum import ExpressionTree
        try:
            ExpressionTree(np.array(['2020-01-01'], 'M8[D]'))
        except Exception as e:
            print('Exception', type(e).__name__)
        except BaseException as e:
            print(type(e).__name__, str(e))
        print(ExpressionTree([1.0, 2.0])(np.array([2.0])))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() in (["PanicException Python API call failed", "5.0"],
                                     ["Exception ValueError", "5.0"])


# --- evaluation: element-type promotion -----------------------------------------------------

@pytest.mark.parametrize("tree_kind, points, result", [
    ("i64", np.array([[1, 2], [3, -4]], np.int64), np.int64),
    ("i64", np.array([[1, 2], [3, -4]], np.int32), np.int64),
    ("i64", np.array([[True, False], [True, True]]), np.int64),
    ("i64", [[1, 2], [3, 4]], np.int64),
    ("i64", np.array([[1, 2], [3, 4]], np.uint64), np.float64),
    ("i64", np.array([[0.5, 2], [3, -4]], np.float32), np.float64),
    ("i64", [[0.5, 2], [3, 4]], np.float64),
    ("i64", np.array([[0.5j, 2], [3, -4]]), np.complex128),
    ("f64", np.array([[1, 2], [3, -4]], np.int64), np.float64),
    ("f64", np.array([[0.5, 2], [3, -4]]), np.float64),
    ("f64", np.array([[0.5j, 2], [3, -4]], np.complex64), np.complex128),
    ("c64", np.array([[1, 2], [3, -4]], np.int64), np.complex128),
    ("c64", np.array([[0.5, 2], [3, -4]]), np.complex128),
    ("c64", np.array([[0.5 + 1j, 2], [3, -4]]), np.complex128),
])
def test_evaluation_promotes_to_wider_points(tree_kind, points, result):
    coeffs = {"i64": [[1, -2], [3, 5]], "f64": [[1.5, -2], [3, 0.1]],
              "c64": [[1.5, -2j], [3, 0.1 + 1j]]}[tree_kind]
    t, m = twin(coeffs)
    out = t(points)
    assert out.dtype == np.dtype(result)
    assert_bits_equal(out, m(points))
    # The object keeps its own kind: integer points give its own dtype again.
    assert t(np.array([1, 1])).dtype == DTYPES[tree_kind]


@pytest.mark.parametrize("points", [
    np.array([[1, 2]], dtype=object), [["a", "b"]], np.array([[1.0, 2.0]], np.longdouble),
], ids=["object", "str", "longdouble"])
def test_evaluation_refuses_other_data(dtype, points):
    t = ExpressionTree(np.ones((2, 2), DTYPES[dtype]))
    with pytest.raises(ValueError) as exc:
        t(points)
    assert str(exc.value) == "Unsupported data type for evaluation"


@pytest.mark.parametrize("writeable", [True, False])
@pytest.mark.parametrize("shape", [(5, 2), (4,), (2, 3, 4)])
def test_evaluation_shape_mismatch_restores_writeable(dtype, shape, writeable):
    t = ExpressionTree(np.ones((2, 2, 2), DTYPES[dtype]))
    pts = np.ones(shape, DTYPES[dtype])
    pts.flags.writeable = writeable
    with pytest.raises(ValueError) as exc:
        t(pts)
    assert str(exc.value) == "Incompatible shape for evaluation"
    assert pts.flags.writeable == writeable


@pytest.mark.parametrize("writeable", [True, False])
def test_points_without_axis_are_an_internal_failure(dtype, writeable):
    t = ExpressionTree(np.array([1, 2], DTYPES[dtype]))
    pts = np.array(3, DTYPES[dtype])
    pts.flags.writeable = writeable
    with pytest.raises(BaseException) as exc:
        t(pts)
    assert_panic(exc)
    assert pts.flags.writeable == writeable
    with pytest.raises(BaseException) as exc:
        t(1.5)
    assert_panic(exc)
    # The tree is still usable.
    assert_bits_equal(t(np.array([2], DTYPES[dtype])), eval_poly([1, 2], [2], dtype))


@pytest.mark.parametrize("shape", [(0, 2), (2, 0, 2), (0, 0, 2), (3, 0, 2)])
def test_empty_batch_fails_to_concatenate(dtype, shape):
    a = ExpressionTree(np.ones((2, 3), DTYPES[dtype]))
    pts = np.ones(shape, DTYPES[dtype])
    for tree in (a, a + a, a * 2, a - a):
        with pytest.raises(ValueError) as exc:
            tree(pts)
        assert str(exc.value) == "Failed to concatenate values after eval"
        assert pts.flags.writeable


@pytest.mark.parametrize("writeable", [True, False])
def test_evaluation_restores_writeable(dtype, writeable):
    t = ExpressionTree(np.ones((2, 2), DTYPES[dtype]))
    pts = np.ones((3, 2), DTYPES[dtype])
    pts.flags.writeable = writeable
    t(pts)
    assert pts.flags.writeable == writeable


def test_result_owns_its_buffer_without_copy(dtype):
    t = ExpressionTree(np.arange(1, 7, dtype=DTYPES[dtype]).reshape(2, 3))
    pts = random_points(np.random.default_rng(7), (4, 5), 2, dtype)
    out = t(pts)
    assert out.shape == (4, 5)
    assert out.base is not None and not out.flags.owndata
    assert out.flags.writeable and out.flags.c_contiguous
    expected = out.copy()
    del t
    gc.collect()
    junk = [np.full(20, 7.0) for _ in range(50)]  # reuse freed memory if it was freed
    assert_bits_equal(out, expected)
    out[...] = 0  # the buffer is ours to write
    del junk


# --- evaluation: bit-exact values -----------------------------------------------------------

@pytest.mark.parametrize("seed", range(12))
def test_random_trees_match_reference(dtype, seed):
    rng = np.random.default_rng(seed)
    dim = 1 + seed % 3
    t, m, _ = random_twin(rng, dtype, dim, depth=4)
    for batch in [(9,), (2, 3), ()]:
        pts = random_points(rng, batch, dim, m.kind)
        assert_bits_equal(t(pts), m(pts))


@pytest.mark.parametrize("rows", [1, 4999, 5000, 5001, 12000])
def test_row_counts_keep_row_order(dtype, rows):
    rng = np.random.default_rng(rows)
    t, m = twin(random_coeffs(rng, 2, dtype, max_len=4))
    t2, m2 = t * 3 - t, m * 3 - m
    pts = random_points(rng, (rows,), 2, dtype)
    assert_bits_equal(t(pts), m(pts))
    assert_bits_equal(t2(pts), m2(pts))


@pytest.mark.parametrize("layout", ["fortran", "reversed", "strided", "transposed",
                                    "unaligned", "byteswapped"])
def test_point_layouts_give_row_major_values(dtype, layout):
    rng = np.random.default_rng(11)
    t, m = twin(random_coeffs(rng, 3, dtype, max_len=3))
    base = random_points(rng, (6, 5), 3, dtype)
    if layout == "fortran":
        pts = np.asfortranarray(base)
    elif layout == "reversed":
        pts = base[::-1, ::-1, ::-1]
    elif layout == "strided":
        pts = np.repeat(base, 2, axis=1)[:, ::2, :]
    elif layout == "transposed":  # leading axes that cannot merge into one stride
        pts = np.ascontiguousarray(base.transpose(1, 0, 2)).transpose(1, 0, 2)
    elif layout == "unaligned":
        raw = np.zeros(base.nbytes + 1, np.uint8)
        pts = raw[1:].view(base.dtype).reshape(base.shape)
        pts[...] = base
        assert not pts.flags.aligned
    else:
        pts = base.astype(base.dtype.newbyteorder(">"))
    assert_bits_equal(t(pts), m(np.ascontiguousarray(pts)))
    assert_bits_equal(t(pts), t(np.ascontiguousarray(pts)))


# A leaf with at most 2**14 coefficients keeps its evaluation plan in the object; a larger
# one prepares it per call. Both must give every call the values of a fresh tree.
@pytest.mark.parametrize("shape, zero_fraction, rows", [((4, 5), 0.25, 5001), ((129, 128), 0.995, 7)],
                         ids=["kept-plan", "plan-per-call"])
def test_repeated_calls_on_one_tree_match_reference(dtype, shape, zero_fraction, rows):
    rng = np.random.default_rng(5)
    t, m = twin(random_values(rng, shape, dtype, zero_fraction))
    single = random_points(rng, (), 2, dtype)
    first = t(single)
    calls = [
        random_points(rng, (rows,), 2, dtype),
        random_points(rng, (3,), 2, "c64"),
        random_points(rng, (2, 3), 2, "i64"),
        random_points(rng, (6,), 2, dtype).astype(DTYPES[dtype].newbyteorder(">")),
        random_points(rng, (4, 6), 2, dtype)[::2, ::3],
        single,
    ]
    for pts in calls:
        with pytest.raises(ValueError) as exc:
            t(np.zeros((0, 2), DTYPES[dtype]))
        assert str(exc.value) == "Failed to concatenate values after eval"
        assert_bits_equal(t(pts), m(np.ascontiguousarray(pts)))
    assert_bits_equal(t(single), first)


@pytest.mark.parametrize("batch", [(2, 4), (3, 1, 2), (1, 5001)])
def test_multi_axis_batches(dtype, batch):
    rng = np.random.default_rng(len(batch))
    t, m = twin(random_coeffs(rng, 2, dtype))
    pts = random_points(rng, batch, 2, dtype)
    out = t(pts)
    assert out.shape == batch
    assert_bits_equal(out, m(pts))
    i = tuple(s - 1 for s in batch)
    assert_bits_equal(t(pts[i]), np.array(out[i]))


def test_single_point_gives_zero_axes_for_every_node(dtype):
    a, ma = twin(np.array([[1, 2], [3, 4]], DTYPES[dtype]))
    b, mb = twin(np.array([[2, 0], [1, 1]], DTYPES[dtype]))
    pt = np.array([2, 3], DTYPES[dtype])
    pairs = [(a, ma), (a + b, ma + mb), (a - b, ma - mb), (a * b, ma * mb), (a * 2, ma * 2),
             (a.deriv([1, 0]), ma.deriv([1, 0]))]
    if dtype != "i64":
        pairs.append((a / b, ma / mb))
    for t, m in pairs:
        out = t(pt)
        assert out.shape == ()
        assert_bits_equal(out, m(pt))


# Single coefficient arrays whose values show the fixed operation order.
@pytest.mark.parametrize("coeffs, kind, point, expected", [
    ([1.0, 1e16, -1e16], "f64", [1.0], 0.0),            # summed left to right, not Horner
    ([0.0, -1.0], "f64", [0.0], -0.0),                   # first term is the sum, no zero added
    ([-0.0, 0.0], "f64", [3.0], 0.0),                     # only zeros: +0.0
    ([np.nan, 1.0], "f64", [1.0], np.nan),
    ([1.0, 0.0, 0.0], "f64", [np.inf], 1.0),             # a zero coefficient is skipped
    ([[2.0]], "f64", [np.nan, np.nan], 2.0),             # x^0 forms no factor
    ([[0.0, 0.0], [0.0, 3.0]], "f64", [np.inf, 0.0], np.nan),
    ([0, 0, 1], "i64", [2**32], 0),                       # wraps modulo 2^64
    ([0, 1], "i64", [I64_MIN], I64_MIN),
    ([[0, 0], [0, 3]], "i64", [2**62, 2], 3 * 2**63 % 2**64 - 2**64),
    ([0, 0, 1], "c64", [1j], -1 + 0j),
    ([complex(0.0, -0.0), 1], "c64", [2.0], complex(2.0, 0.0)),  # (0, -0) counts as zero
    ([complex(0.0, np.nan), 0], "c64", [1.0], complex(0.0, np.nan)),
    ([[7.0, 0.0], [0.0, 0.0], [0.0, 5.0]], "f64", [3.0, 2.0], 7.0 + (9.0 * 2.0) * 5.0),
    (np.zeros((2, 0)), "f64", [1.0, 2.0], 0.0),
    (np.zeros((0, 3), np.int64), "i64", [1, 2], 0),
])
def test_term_order_examples(coeffs, kind, point, expected):
    t = ExpressionTree(np.asarray(coeffs, DTYPES[kind]))
    out = t(np.asarray(point, DTYPES[kind]))
    want = np.array(expected, DTYPES[kind])
    assert_bits_equal(out, want)
    assert_bits_equal(out, eval_poly(coeffs, point, kind))


@pytest.mark.parametrize("c", [0.0, -2.5])
def test_constant_without_axes_at_points_without_coordinates(c):
    t = ExpressionTree(np.array(c))
    assert t.dimension == 0
    out = t(np.zeros((4, 0)))
    assert_bits_equal(out, np.full(4, c if c else 0.0))
    assert_bits_equal(t(np.zeros((0,))), np.array(c if c else 0.0))


@pytest.mark.parametrize("shape", [
    (2, 0, 3),
    (0, 2 ** 40),          # no coefficient: the long axis must cost nothing
    (2 ** 40, 2, 0),
], ids=["small", "long-after-empty", "long-before-empty"])
def test_empty_axis_gives_zeros_of_batch(dtype, shape):
    t = ExpressionTree(np.zeros(shape, DTYPES[dtype]))
    d = len(shape)
    assert_bits_equal(t(np.ones((4, d), DTYPES[dtype])), np.zeros(4, DTYPES[dtype]))
    assert_bits_equal(t(np.ones(d, DTYPES[dtype])), np.zeros((), DTYPES[dtype]))


special = st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e300, -1e-300, np.inf, -np.inf,
                           np.nan, 2.0**-1074])
real = st.one_of(special, st.floats(allow_nan=True, allow_infinity=True))


@settings(max_examples=80, deadline=None)
@given(kind=st.sampled_from(["f64", "c64"]),
       coeffs=st.lists(st.tuples(real, real), min_size=1, max_size=9),
       point=st.lists(st.tuples(real, real), min_size=2, max_size=2),
       width=st.sampled_from([1, 3]))
def test_leaf_values_match_reference_for_any_floats(kind, coeffs, point, width):
    def make(pairs):
        if kind == "f64":
            return np.array([p[0] for p in pairs])
        out = np.empty(len(pairs), np.complex128)
        out.real, out.imag = [p[0] for p in pairs], [p[1] for p in pairs]
        return out
    c = make(coeffs)
    c = np.resize(c, (len(c) + width - 1) // width * width).reshape(-1, width)
    pts = np.stack([make(point)] * 3)
    assert_bits_equal(ExpressionTree(c)(pts), eval_poly(c, pts, kind))


# --- division --------------------------------------------------------------------------------

@pytest.mark.parametrize("num, den, quotient", [
    (7, 2, 3), (-7, 2, -3), (7, -2, -3), (-7, -2, 3), (I64_MIN, 1, I64_MIN), (I64_MIN, 2, -2**62),
])
def test_i64_division_truncates(num, den, quotient):
    t = ExpressionTree(np.array([num])) / ExpressionTree(np.array([den]))
    out = t(np.array([[0], [5]]))
    assert_bits_equal(out, np.array([quotient, quotient], np.int64))


@pytest.mark.parametrize("num, den, message", [
    (1, 0, "attempt to divide by zero"),
    (I64_MIN, -1, "attempt to divide with overflow"),
])
def test_i64_division_failure_is_internal_and_tree_survives(num, den, message):
    # Denominator den + x: it reaches den only at the second of three points.
    t, m = twin(np.array([num]))
    d, md = twin(np.array([den, 1]))
    q, mq = t / d, m / md
    with pytest.raises(BaseException) as exc:
        q(np.array([[2], [0], [3]]))
    assert_panic(exc, message)
    pts = np.array([[2], [3]])
    assert_bits_equal(q(pts), mq(pts))


@pytest.mark.parametrize("zero_row, overflow_row, message", [
    (9000, 10, "attempt to divide by zero"),  # the left quotient fails first, in a later chunk
    (9000, 9000, "attempt to divide by zero"),
    (10, 9000, "attempt to divide by zero"),
])
def test_i64_division_failures_are_reported_in_tree_order(zero_row, overflow_row, message):
    # Chunks run in any order on the workers: the failure reported is still the one the
    # whole batch meets first, left quotient before right, then the earliest row.
    x = np.arange(12000, dtype=np.int64).reshape(-1, 1)
    zero_at = ExpressionTree(np.array([-zero_row, 1]))  # x − zero_row
    minus_one_at = ExpressionTree(np.array([-overflow_row - 1, 1]))  # x − overflow_row − 1
    lowest = ExpressionTree(np.array([I64_MIN]))
    tree = ExpressionTree(np.array([1])) / zero_at + lowest / minus_one_at
    with pytest.raises(BaseException) as exc:
        tree(x)
    assert_panic(exc, message)
    swapped = lowest / minus_one_at + ExpressionTree(np.array([1])) / zero_at
    with pytest.raises(BaseException) as exc:
        swapped(x)
    assert_panic(exc, "attempt to divide with overflow")


@pytest.mark.parametrize("kind", ["f64", "c64"])
def test_float_division_by_zero_gives_infinities(kind):
    t, m = twin(np.array([1.0, -1.0, 0.0], DTYPES[kind]))
    d, md = twin(np.array([0.0, 1.0], DTYPES[kind]))
    pts = np.array([[0.0], [-0.0], [1.0], [2.0]], DTYPES[kind])
    out = (t / d)(pts)
    assert_bits_equal(out, (m / md)(pts))
    assert not np.isfinite(out[0])


# --- lazy derivatives ------------------------------------------------------------------------

ORDER_LISTS = [[0, 0], [1, 0], [0, 1], [2, 0], [1, 1], [3, 2], [-1, 0], [0, -2], [-1, 1],
               [2, -3], [5, 5], [-4, -1]]


@pytest.mark.parametrize("orders", ORDER_LISTS)
def test_derivatives_of_sums_scalings_and_leaves(dtype, orders):
    rng = np.random.default_rng(sum(orders) + 10)
    (a, ma), (b, mb) = twin(random_coeffs(rng, 2, dtype, 4)), twin(random_coeffs(rng, 2, dtype, 4))
    pts = random_points(rng, (6,), 2, "f64" if dtype == "i64" else dtype)
    trees = [(a, ma), (a + b, ma + mb), (a - b * 2.5, ma - mb * 2.5), (3 * (a - b), 3 * (ma - mb)),
             ((a + b) / 4, (ma + mb) / 4), (a * 1j + b, ma * 1j + mb)]
    for t, m in trees:
        for dt, dm in ((t.deriv(orders), m.deriv(orders)), (t.integ(orders), m.integ(orders))):
            assert_bits_equal(dt(pts), dm(pts))


@pytest.mark.parametrize("outer, inner, equal", [
    ([1, 0], [0, 1], [1, 1]),
    ([2, -1], [-1, 3], [1, 2]),
    ([0, 1], [-1, 0], [-1, 1]),
    ([0, 1], [1, 0, 9], [1, 1]),      # lists of different lengths are cut to the shorter
    ([1, 0, -4], [0, 0], [1, 0]),
])
def test_nested_derivatives_sum_their_orders(dtype, outer, inner, equal):
    rng = np.random.default_rng(3)
    t, m = twin(random_coeffs(rng, 2, dtype, 4))
    nested, model = (t * 2 + t).deriv(inner).deriv(outer), (m * 2 + m).deriv(inner).deriv(outer)
    pts = random_points(rng, (5,), 2, "f64" if dtype == "i64" else dtype)
    assert_bits_equal(nested(pts), model(pts))
    assert_bits_equal(nested(pts), (t * 2 + t).deriv(equal)(pts))


@pytest.mark.parametrize("orders", [[1, 0], [0, 1]])
def test_product_rule_for_single_first_derivatives(dtype, orders):
    rng = np.random.default_rng(5)
    (a, ma), (b, mb), (c, mc) = (twin(random_coeffs(rng, 2, dtype, 4)) for _ in range(3))
    pts = random_points(rng, (7,), 2, "f64" if dtype == "i64" else dtype)
    for t, m in [(a * b, ma * mb), (a * b * c - c, ma * mb * mc - mc), (2 * (a + c) * b, 2 * (ma + mc) * mb)]:
        assert_bits_equal(t.deriv(orders)(pts), m.deriv(orders)(pts))


def test_derivative_values_are_calculus():
    p = ExpressionTree(np.array([3.0, 2.0, 1.0]))  # 3 + 2x + x^2
    x = np.array([[0.0], [1.0], [2.0], [3.0]])
    assert_bits_equal(p.deriv([1])(x), np.array([2.0, 4.0, 6.0, 8.0]))
    assert_bits_equal(p.deriv([3])(x), np.zeros(4))
    assert_bits_equal(p.integ([1])(x), eval_poly([0.0, 3.0, 1.0, 1.0 / 3.0], x, "f64"))
    assert p.deriv([1])(np.array([1, 2])[:, None]).dtype == np.float64


def test_integer_tree_derivative_is_float():
    t = ExpressionTree(np.array([[1, 2], [3, 4]]))
    out = t.deriv([1, 0])(np.array([[1, 1]]))
    assert out.dtype == np.float64
    assert_bits_equal(out, np.array([7.0]))


@pytest.mark.parametrize("orders", [[1], [1, 0, 0], []])
def test_derivative_order_count_is_checked_at_evaluation(dtype, orders):
    t = ExpressionTree(np.ones((2, 2), DTYPES[dtype]))
    d = t.deriv(orders)  # building the node does not check
    with pytest.raises(ValueError) as exc:
        d(np.ones((3, 2)))
    assert str(exc.value) == "Incompatible dimensions for composition"


def test_derivative_of_quotient_is_refused_after_left_side(dtype):
    a = ExpressionTree(np.ones((2, 2), DTYPES[dtype]))
    q = a + a / a
    pts = np.ones((3, 2))
    with pytest.raises(ValueError) as exc:
        q.deriv([1, 0])(pts)
    assert str(exc.value) == "Derivatives and integrals of rationals are not supported."
    # The left side is differentiated first: its failure wins.
    with pytest.raises(ValueError) as exc:
        q.deriv([1, 0, 0])(pts)
    assert str(exc.value) == "Incompatible dimensions for composition"
    with pytest.raises(ValueError) as exc:
        (a * 2 / a).integ([0, 1])(pts)
    assert str(exc.value) == "Derivatives and integrals of rationals are not supported."


def test_derivative_failure_order_in_empty_batch(dtype):
    t = ExpressionTree(np.ones((2, 2), DTYPES[dtype]))
    with pytest.raises(ValueError) as exc:
        t.deriv([1])(np.ones((0, 2)))
    assert str(exc.value) == "Incompatible dimensions for composition"
    with pytest.raises(ValueError) as exc:
        t.deriv([1, 0])(np.ones((0, 2)))
    assert str(exc.value) == "Failed to concatenate values after eval"
