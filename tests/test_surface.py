"""Shape, dimension, constants, dropping parameters, zero and one, and one walk over the
whole Python surface of the module."""
import importlib
import math
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kestrum
from kestrum import ExpressionTree

I64, F64, C64 = np.int64, np.float64, np.complex128
SUFFIX = {I64: ", dtype = i64", F64: ", dtype = f64", C64: ", dtype = c64"}
NON_ATOMIC = "Attempted to get constant value on non-atomic expression. Try expanding?"
NON_CONSTANT = "Polynomial has non-constant terms"


def tree(values, dtype=F64):
    return ExpressionTree(np.array(values, dtype=dtype))


def leaf(shape, dtype=F64, seed=0):
    """A leaf of the given shape with distinct nonzero coefficients."""
    flat = np.arange(int(np.prod(shape)), dtype=np.float64) * 0.37 + 1.25 + seed
    if dtype is C64:
        flat = flat + 0.5j * flat[::-1]
    return ExpressionTree(flat.reshape(shape).astype(dtype))


def points(dim, rows=7, dtype=F64, seed=1):
    pts = np.random.default_rng(seed).uniform(-1.5, 1.5, size=(rows, dim))
    return pts.astype(dtype)


def bits(a):
    a = np.atleast_1d(np.asarray(a))
    if a.dtype == np.complex128:
        a = a.view(np.float64)
    return a.view(np.int64)


def suffix_of(t):
    return str(t)[str(t).rindex(", dtype = "):]


def panic_type():
    return sys.modules["pyo3_runtime"].PanicException if "pyo3_runtime" in sys.modules else None


# --- c64 reference arithmetic on float pairs (Python's complex division is scaled) --------

def c_mul(a, b):
    return complex(a.real * b.real - a.imag * b.imag, a.real * b.imag + a.imag * b.real)


def c_div(a, b):
    n = b.real * b.real + b.imag * b.imag
    return complex((a.real * b.real + a.imag * b.imag) / n, (a.imag * b.real - a.real * b.imag) / n)


def i64_wrap(x):
    return (x + 2**63) % 2**64 - 2**63


# --- shape and dimension -------------------------------------------------------------------

@pytest.mark.parametrize("build, expected", [
    (lambda: leaf((3, 2)), [3, 2]),
    (lambda: leaf((3, 1)) + leaf((1, 4)), [3, 4]),
    (lambda: leaf((1, 4)) - leaf((3, 1)), [3, 4]),
    (lambda: leaf((3,)) * leaf((3,)), [3]),            # not the degree of the product
    (lambda: leaf((2, 5)) / leaf((4, 1)), [4, 5]),
    (lambda: leaf((3,)).deriv([2]), [3]),              # orders play no part
    (lambda: leaf((3,)).integ([4]), [3]),
    (lambda: leaf((2, 3), I64) * 7, [2, 3]),
    (lambda: leaf((0, 3)) + leaf((1, 1)), [1, 3]),
    (lambda: leaf(()), []),
    (lambda: ExpressionTree.zero(0), []),
    (lambda: ExpressionTree.one(3), [1, 1, 1]),
], ids=["leaf", "add", "sub", "mul", "div", "deriv", "integ", "scale", "empty-axis", "no-axes",
        "zero0", "one3"])
def test_shape_is_per_axis_maximum_as_fresh_uint64_array(build, expected):
    t = build()
    s = t.shape
    assert s.dtype == np.uint64 and s.ndim == 1
    assert s.tolist() == expected
    assert t.dimension == len(expected) and type(t.dimension) is int
    if len(expected):
        s[0] = 99                                      # a copy: the tree is unchanged
        assert t.shape.tolist() == expected
        assert t.shape is not s


def test_dimension_follows_the_leftmost_leaf():
    t = (leaf((2, 2)) * leaf((1, 3))).deriv([1, 0]) / leaf((4, 1))
    assert t.dimension == 2
    assert ExpressionTree(np.float64(2.5)).dimension == 0


# --- zero and one ----------------------------------------------------------------------------

@pytest.mark.parametrize("make, value", [(ExpressionTree.zero, 0.0), (ExpressionTree.one, 1.0)])
@pytest.mark.parametrize("n", [0, 1, 4])
def test_zero_one_are_f64_constants(make, value, n):
    t = make(n)
    assert suffix_of(t) == SUFFIX[F64]
    assert t.dimension == n and t.shape.tolist() == [1] * n
    c = t.to_constant()
    assert type(c) is float and c == value and math.copysign(1.0, c) == 1.0
    if n:
        assert np.all(t(points(n)) == value)


@pytest.mark.parametrize("make", [ExpressionTree.zero, ExpressionTree.one])
@pytest.mark.parametrize("n", [-1, -(2**63)])
def test_zero_one_negative_dimension(make, n):
    with pytest.raises(ValueError) as exc:
        make(n)
    assert str(exc.value) == "Negative dimension is invalid"


@pytest.mark.parametrize("method", ["zero", "one"])
@pytest.mark.parametrize("n, outcome", [
    (2**63 - 1, "panic"), (2**61, "panic"),         # 8n bytes overflow a signed 64-bit size
    (2**59, "memory"), (2**57, "memory"),           # describable, but far beyond any memory
])
def test_zero_one_huge_dimension_raises_never_aborts(method, n, outcome):
    code = textwrap.dedent(f"""
        import sys
        from kestrum import ExpressionTree
        try:
            ExpressionTree.{method}({n})
        except MemoryError:
            print("memory")
        except BaseException as e:
            print("panic" if type(e).__name__ == "PanicException" else repr(e))
        else:
            print("no error")
        print(ExpressionTree.{method}(2).to_constant())
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split()
    assert lines[0] == outcome
    assert float(lines[1]) == (0.0 if method == "zero" else 1.0)


# --- to_constant -------------------------------------------------------------------------------

@pytest.mark.parametrize("build, expected", [
    (lambda: tree([[5, 0], [0, 0]]), 5.0),
    (lambda: tree([2, -0.0]), 2.0),
    (lambda: tree([-0.0, 0.0]), -0.0),
    (lambda: tree([math.nan, 0]), math.nan),
    (lambda: tree([math.inf, 0, -0.0]), math.inf),
    (lambda: tree(3.5), 3.5),                                  # a leaf without axes
    (lambda: tree([6]) / tree([4]), 1.5),
    (lambda: tree([1]) / tree([0]), math.inf),
    (lambda: tree([1]) / tree([-0.0]), -math.inf),
    (lambda: tree([0.1]) * 3, 0.1 * 3.0),
    (lambda: tree([[5]], I64), 5),
    (lambda: tree([-7], I64) / tree([2], I64), -3),            # truncated toward zero
    (lambda: tree([7], I64) / tree([-2], I64), -3),
    (lambda: tree([2**62], I64) * 4, 0),                       # the product wraps
    (lambda: tree([2**63 - 1], I64) * 2, -2),
    (lambda: tree([-(2**63)], I64) / tree([1], I64), -(2**63)),
    (lambda: (tree([12], I64) / tree([5], I64)) * 3, 6),
    (lambda: tree([1 + 2j, 0j], C64), 1 + 2j),
    (lambda: tree([3 + 4j], C64) * (1 + 2j), c_mul(1 + 2j, 3 + 4j)),
    (lambda: tree([1 + 1j], C64) / tree([1e200 + 1e200j], C64), c_div(1 + 1j, 1e200 + 1e200j)),
    (lambda: tree([2.0]) / tree([1 + 1j], C64), c_div(2 + 0j, 1 + 1j)),
])
def test_to_constant_values(build, expected):
    value = build().to_constant()
    assert type(value) is type(expected)
    if isinstance(expected, int):
        assert value == expected
    else:
        assert bits(value).tolist() == bits(expected).tolist()


def test_to_constant_complex_division_by_zero_is_nan():
    value = (tree([1 + 1j], C64) / tree([0j], C64)).to_constant()
    assert type(value) is complex and math.isnan(value.real) and math.isnan(value.imag)


@pytest.mark.parametrize("build, message", [
    (lambda: tree([5, 0, 0.001]), NON_CONSTANT),
    (lambda: tree([1, math.nan]), NON_CONSTANT),               # NaN counts as nonzero
    (lambda: tree([[1, 0], [0, 2]]), NON_CONSTANT),
    (lambda: tree([1, 1j], C64), NON_CONSTANT),
    (lambda: tree([1, complex(0, math.nan)], C64), NON_CONSTANT),
    (lambda: tree([3, 1], I64), NON_CONSTANT),
    (lambda: tree([1]) + tree([2]), NON_ATOMIC),
    (lambda: tree([1]) - tree([2]), NON_ATOMIC),
    (lambda: tree([1]) * tree([2]), NON_ATOMIC),
    (lambda: tree([1]).deriv([0]), NON_ATOMIC),
    (lambda: (tree([1]) + tree([2])) / tree([0.0, 3.0]), NON_ATOMIC),   # numerator first
    (lambda: tree([1, 2]) / tree([1.0]), NON_CONSTANT),
    (lambda: tree([1]) / (tree([1]) * tree([2])), NON_ATOMIC),
    (lambda: (tree([1, 1]) + tree([1])) * 2.0, NON_ATOMIC),
    (lambda: tree([1, 2], I64) / tree([0], I64), NON_CONSTANT),   # before dividing by zero
])
def test_to_constant_value_errors(build, message):
    with pytest.raises(ValueError) as exc:
        build().to_constant()
    assert str(exc.value) == message


@pytest.mark.parametrize("build, message", [
    (lambda: tree(np.zeros(0)), "Unwrapping a next on a single-valued iterator shouldn't pannic"),
    (lambda: tree(np.zeros((2, 0)), I64), "Unwrapping a next on a single-valued iterator shouldn't pannic"),
    (lambda: tree([1.0]) / tree(np.zeros(0)), "Unwrapping a next on a single-valued iterator shouldn't pannic"),
    (lambda: tree([1], I64) / tree([0], I64), "attempt to divide by zero"),
    (lambda: tree([-(2**63)], I64) / tree([-1], I64), "attempt to divide with overflow"),
])
def test_to_constant_internal_failures(build, message):
    t = build()
    with pytest.raises(BaseException) as exc:
        t.to_constant()
    assert type(exc.value).__name__ == "PanicException"
    assert not isinstance(exc.value, Exception)
    assert str(exc.value) == message
    assert t.shape.size == t.dimension                         # the tree is still usable


def test_to_constant_of_derivative_after_expand():
    # The derivative of a constant expands to a leaf without coefficients.
    t = tree([4.0]).deriv([1]).expand()
    with pytest.raises(BaseException) as exc:
        t.to_constant()
    assert type(exc.value).__name__ == "PanicException"
    assert tree([4.0, 3.0]).deriv([1]).expand().to_constant() == 3.0


# --- drop_params -------------------------------------------------------------------------------

DROP_CASES = [
    ((1, 3), [0], [3]),
    ((1, 3), [0, 0], [3]),
    ((3, 1, 2), [1, 1], [3, 2]),
    ((1, 4, 1), [2, 0], [4]),
    ((1, 4, 1), [0, 2], [4]),
    ((0, 0), [0], [0]),
    ((1, 1), [0, 1], []),
    ((1, 1), [1, 0, 1], []),
    ((2, 3), [], [2, 3]),
    ((0, 1, 2), [1], [0, 2]),
    ((2, 0, 1), [2], [2, 0]),
]


@pytest.mark.parametrize("dtype", [I64, F64, C64])
@pytest.mark.parametrize("shape, indices, kept", DROP_CASES)
def test_drop_params_removes_axes(shape, indices, kept, dtype):
    t = leaf(shape, dtype)
    d = t.drop_params(np.array(indices, dtype=np.int64))
    assert d.shape.tolist() == kept and d.dimension == len(kept)
    assert suffix_of(d) == SUFFIX[dtype]
    assert t.shape.tolist() == list(shape)                    # the receiver is unchanged
    # Every coefficient keeps its place in row-major order, so its exponents on the
    # remaining axes: the result is the leaf built directly with the kept shape.
    assert str(d) == str(leaf(tuple(kept), dtype))


@pytest.mark.parametrize("shape, indices, message", [
    ((1, 3), [1], "Attempted to drop a non-empty axis"),
    ((1, 3), [-1], "Negative indices not allowed"),
    ((1, 3), [5, -1], "Negative indices not allowed"),           # before any tree work
    ((1, 3), [2], "Could not get axis to drop"),
    ((2, 1), [0, 5], "Attempted to drop a non-empty axis"),      # the first bad position decides
    ((2, 1), [5, 0], "Could not get axis to drop"),
    ((0, 3), [0], "Invalid shape in drop operation"),
    ((0, 0), [0, 1], "Invalid shape in drop operation"),
    ((0,), [0], "Invalid shape in drop operation"),
    ((1, 1, 1), [3], "Could not get axis to drop"),
    ((), [0], "Could not get axis to drop"),
    ((1, 2), [2**62], "Could not get axis to drop"),
])
def test_drop_params_errors(shape, indices, message):
    t = leaf(shape)
    with pytest.raises(ValueError) as exc:
        t.drop_params(np.array(indices, dtype=np.int64))
    assert str(exc.value) == message


@pytest.mark.parametrize("build, indices, message", [
    # Every leaf is tested, not only the leftmost one.
    (lambda: leaf((1, 3)) + leaf((2, 3)), [0], "Attempted to drop a non-empty axis"),
    (lambda: leaf((1, 3)) * (leaf((1, 3)) / leaf((3, 3))), [0], "Attempted to drop a non-empty axis"),
    (lambda: leaf((1, 3)) - leaf((0, 3)), [0], "Invalid shape in drop operation"),
    # The left child's failure wins.
    (lambda: leaf((2, 0)) + leaf((1, 3)), [0, 1], "Attempted to drop a non-empty axis"),
    (lambda: leaf((0, 3)) + leaf((2, 3)), [0], "Invalid shape in drop operation"),
])
def test_drop_params_checks_every_leaf(build, indices, message):
    with pytest.raises(ValueError) as exc:
        build().drop_params(np.array(indices, dtype=np.int64))
    assert str(exc.value) == message


def test_drop_params_index_array_forms():
    t = leaf((1, 3, 1))
    base = np.array([2, 7, 0], dtype=np.int64)
    assert t.drop_params(base[::2]).shape.tolist() == [3]       # strided
    assert t.drop_params(base[::-2]).shape.tolist() == [3]      # reversed
    assert t.drop_params(np.array([0, 2], dtype=">i8")).shape.tolist() == [3]   # big-endian
    assert t.drop_params(np.array([0, 2], dtype=np.int_)).shape.tolist() == [3]
    assert t.drop_params(indices=np.array([2], dtype=np.int64)).shape.tolist() == [1, 3]
    sub = np.array([0, 2], dtype=np.int64).view(type("IndexArray", (np.ndarray,), {}))
    assert t.drop_params(sub).shape.tolist() == [3]                # a subclass of ndarray


def mismatch(dim, name):
    return f"argument 'indices': Shape Mismatch:\n from=(dim={dim}, dtype={name}), to=(dim=1, dtype=Int64)"


@pytest.mark.parametrize("indices, message", [
    ([0], "argument 'indices': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ((0,), "argument 'indices': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
    (np.int64(0), "argument 'indices': 'int64' object cannot be converted to 'PyArray<T, D>'"),
    (np.array(0), mismatch(0, "Int64")),
    (np.zeros((1, 1), np.int64), mismatch(2, "Int64")),
    (np.array([True]), mismatch(1, "Bool")),
    (np.array([0], np.int8), mismatch(1, "Int8")),
    (np.array([0], np.uint8), mismatch(1, "Uint8")),
    (np.array([0], np.int16), mismatch(1, "Int16")),
    (np.array([0], np.uint16), mismatch(1, "Uint16")),
    (np.array([0], np.int32), mismatch(1, "Int32")),
    (np.array([0], np.uint32), mismatch(1, "Uint32")),
    (np.array([0], np.uint64), mismatch(1, "Uint64")),
    (np.array([0], np.float32), mismatch(1, "Float32")),
    (np.array([0.0]), mismatch(1, "Float64")),
    (np.array([0], np.complex64), mismatch(1, "Complex32")),
    (np.array([0], np.complex128), mismatch(1, "Complex64")),
    (np.array([0], object), mismatch(1, "Object")),
    (np.array([0], np.float16), mismatch(1, "Unknown")),
    (np.array([0], np.longdouble), mismatch(1, "Unknown")),
    (np.array(["0"]), mismatch(1, "Unknown")),
    (np.zeros((2, 2), np.float32), mismatch(2, "Float32")),
])
def test_drop_params_takes_only_one_axis_int64_arrays(indices, message):
    with pytest.raises(TypeError) as exc:
        leaf((1, 3)).drop_params(indices)
    assert str(exc.value) == message


@pytest.mark.parametrize("value, error, message", [
    (2.5, TypeError, "argument 'dimension': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument 'dimension': 'str' object cannot be interpreted as an integer"),
    (2**70, OverflowError, None),          # the interpreter's own error, not wrapped
    (-(2**63) - 1, OverflowError, None),
])
@pytest.mark.parametrize("method", ["zero", "one"])
def test_zero_one_dimension_conversion(method, value, error, message):
    with pytest.raises(error) as exc:
        getattr(ExpressionTree, method)(value)
    assert type(exc.value) is error
    if message is not None:
        assert str(exc.value) == message


@pytest.mark.parametrize("indices", [[0], [1], [-1]])
def test_drop_params_restores_writeable(indices):
    t = leaf((1, 3))
    writeable = np.array(indices, dtype=np.int64)
    readonly = np.array(indices, dtype=np.int64)
    readonly.flags.writeable = False
    for arr in (writeable, readonly):
        try:
            t.drop_params(arr)
        except ValueError:
            pass
    assert writeable.flags.writeable and not readonly.flags.writeable


@pytest.mark.parametrize("dtype", [I64, F64, C64])
@pytest.mark.parametrize("build, indices", [
    (lambda dt: leaf((1, 3, 2), dt), [0]),
    (lambda dt: leaf((3, 1, 2), dt) * leaf((2, 1, 1), dt, seed=1) + leaf((1, 1, 3), dt, seed=2), [1]),
    (lambda dt: (leaf((1, 3), dt) - leaf((1, 2), dt, seed=1)) * 3, [0]),
    (lambda dt: leaf((2, 1, 1), dt) / leaf((3, 1, 1), dt, seed=1), [2, 1]),
])
def test_drop_params_keeps_values(build, indices, dtype):
    t = build(dtype)
    d = t.drop_params(np.array(indices, dtype=np.int64))
    kept = [a for a in range(t.dimension) if a not in indices]
    pts = points(t.dimension, dtype=F64 if dtype is I64 else dtype)
    if dtype is I64:
        pts = np.rint(pts * 3).astype(I64) + 5           # keep divisors away from zero
    pts[:, indices] = pts[::-1, indices]                   # any values of the dropped coordinates
    assert bits(d(np.ascontiguousarray(pts[:, kept]))).tolist() == bits(t(pts)).tolist()


# --- Deriv nodes under dropped parameters ----------------------------------------------------

def test_drop_keeps_lazy_derivative_with_zero_orders_at_dropped_axes():
    base = leaf((1, 3, 1, 2))
    t = base.deriv([0, 1, 0, -1])
    d = t.drop_params(np.array([2, 0], dtype=np.int64))
    # The node stays lazy, with the dropped positions removed from its orders.
    assert str(d) == str(leaf((3, 2)).deriv([1, -1]))
    pts = points(4)
    assert bits(d(np.ascontiguousarray(pts[:, [1, 3]]))).tolist() == bits(t(pts)).tolist()


@pytest.mark.parametrize("build, indices", [
    (lambda: (leaf((1, 3)) * leaf((1, 2), seed=1)).deriv([0, 1]), [0]),
    (lambda: (leaf((1, 3)) * leaf((1, 4), seed=1)).deriv([0, 2]), [0]),
    (lambda: (leaf((1, 3)) * leaf((1, 2), seed=1)).integ([1, 1]).deriv([1, 0]), [0]),
    (lambda: (leaf((3, 1)) + leaf((2, 1), seed=1) * 2.0).integ([2, 0]), [1]),
    (lambda: leaf((1, 3)).deriv([0, 1]).deriv([0, 1]) + leaf((1, 4)), [0]),
    (lambda: leaf((1, 3)).deriv([1, 0]).integ([1, 0]), [0]),     # nested orders sum to 0
    (lambda: leaf((1, 3)).integ([1, 0]).deriv([1, 0]), [0]),
    (lambda: leaf((1, 1)).deriv([1, 1]), [0]),                  # both axes become empty
])
def test_drop_under_deriv_keeps_values(build, indices):
    t = build()
    d = t.drop_params(np.array(indices, dtype=np.int64))
    kept = [a for a in range(t.dimension) if a not in indices]
    pts = points(t.dimension)
    pts[:, indices] = pts[::-1, indices]
    assert bits(d(np.ascontiguousarray(pts[:, kept]))).tolist() == bits(t(pts)).tolist()


@pytest.mark.parametrize("build, indices, message", [
    # An integral along the dropped axis makes the tree depend on that parameter.
    (lambda: leaf((1, 3)).integ([1, 0]), [0], "Attempted to drop a non-empty axis"),
    (lambda: (leaf((1, 3)) + leaf((1, 2))).deriv([-2, 1]), [0], "Attempted to drop a non-empty axis"),
    # A derivative along it leaves an empty axis beside non-empty ones.
    (lambda: leaf((1, 3)).deriv([1, 0]), [0], "Invalid shape in drop operation"),
    # Positions that are no droppable axis are reported as such.
    (lambda: leaf((1, 3)).deriv([1, 0]), [5], "Could not get axis to drop"),
    (lambda: leaf((2, 3)).deriv([1, 0]), [0], "Attempted to drop a non-empty axis"),
    # An order list too short for the leaves stays unusable.
    (lambda: leaf((1, 3)).deriv([1]), [0], "Incompatible dimensions for composition"),
    (lambda: leaf((3, 1)).deriv([0]), [1], "Incompatible dimensions for composition"),
])
def test_drop_under_deriv_refusals(build, indices, message):
    with pytest.raises(ValueError) as exc:
        build().drop_params(np.array(indices, dtype=np.int64))
    assert str(exc.value) == message


def test_drop_under_deriv_with_mismatched_orders_stays_mismatched():
    t = leaf((1, 3, 2)).deriv([0, 1])          # one order short: never evaluable
    d = t.drop_params(np.array([0], dtype=np.int64))
    for tr, dim in ((t, 3), (d, 2)):
        with pytest.raises(ValueError) as exc:
            tr(points(dim))
        assert str(exc.value) == "Incompatible dimensions for composition"


def test_squeeze_under_deriv():
    t = leaf((1, 3, 1)).deriv([0, 2, 0])
    s = t.squeeze()
    assert str(s) == str(leaf((3,)).deriv([2]))
    with pytest.raises(ValueError) as exc:
        leaf((1, 3)).integ([1, 1]).squeeze()
    assert str(exc.value) == "Attempted to drop a non-empty axis"


# --- squeeze -------------------------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [I64, F64, C64])
@pytest.mark.parametrize("shape, kept", [
    ((1, 3, 1), [3]),
    ((0, 3), [0, 3]),          # length-0 axes stay
    ((2, 3), [2, 3]),
    ((1, 1), []),
    ((1, 0, 1), [0]),
    ((), []),
])
def test_squeeze_drops_unit_axes(shape, kept, dtype):
    t = leaf(shape, dtype)
    s = t.squeeze()
    assert s.shape.tolist() == kept and suffix_of(s) == SUFFIX[dtype]
    if 0 not in shape:
        assert str(s) == str(leaf(tuple(kept), dtype))


def test_squeeze_uses_the_tree_shape():
    # Axis 0 has length 1 in the tree's shape, but one leaf is empty there.
    with pytest.raises(ValueError) as exc:
        (leaf((1, 3)) + leaf((0, 3))).squeeze()
    assert str(exc.value) == "Invalid shape in drop operation"
    # Axis 1 is length 1 in both leaves; axis 0 varies in one leaf only.
    t = leaf((1, 1)) * leaf((3, 1))
    assert t.squeeze().shape.tolist() == [3]


# --- the whole Python surface ---------------------------------------------------------------------

CLASS_DOC = "ExpressionTree(vals)\n--\n\nAn abstract expression tree with concrete terms. Lazily evaluates arithmetic\noperations."
METHODS = [  # (name, flags, docstring) in table order
    ("expand", 0x4, "expand()\n--\n\nRecursively evaluate the syntax tree to yield either a single polynomial\nor a rational with a polynomial numerator and denominator.\n\nReturns\n=======\nFloatExpression"),
    ("partial", 0x82, "partial(indices, values)\n--\n\nEvaluate the expression tree on a subset of provided terms and return a\nnew expression tree.\n\nParameters\n==========\nindicies : array_like\n    (n,) shaped array of integers. This argument specifies which terms in the\n    expression are to be evaluated.\nvalues : array_like\n    (n,) shaped array of floats. This argument specifies the values to use in\n    the expression.\n\nReturns\n=======\nFloatExpression"),
    ("deriv", 0x82, "deriv(indices)\n--\n\nTakes the derivative of the expression with respect to multiple\nparameters. Zero is a no-op. Negative numbers integrate.\n\nParameters\n==========\nindices: array_like of int\n    shape (n,) where n is the dimension of the expression.\n\nReturns\n=======\nFloatExpression"),
    ("integ", 0x82, "integ(indices)\n--\n\nTakes the antiderivative of the expression with respect to multiple\nparameters. Zero is a no-op. Negative numbers differentiate.\n\nParameters\n==========\nindices: array_like of int\n    shape (n,) where n is the dimension of the expression.\n\nReturns\n=======\nFloatExpression"),
    ("drop_params", 0x82, "drop_params(indices)\n--\n\nTry to drop parameters and reduce the dimensionality.\n\nParameters\n==========\nindices: array_like of int\n    shape (m,), specifies degrees of freedom to drop.\n\nReturns\n=======\nFloatExpression\n\nRaises\n======\nValueError\n    If non-empty or invalid degrees of freedom are specified."),
    ("squeeze", 0x4, "squeeze()\n--\n\nAutomatically drop empty degrees of freedom\n\nReturns\n=======\nFloatExpression"),
    ("to_constant", 0x82, "to_constant()\n--\n\nTry to evaluate the expression and return a constant\n\nRaises\n======\n\nValueError\n    If some degrees of freedom still exist"),
    ("zero", 0x92, "zero(dimension)\n--\n\nConstruct a polynomial of desired dimension equal to the constant 0.\n\nReturns\n=======\nFloatExpression"),
    ("one", 0x92, "one(dimension)\n--\n\nConstruct a polynomial of desired dimension equal to the constant 1.\n\nReturns\n=======\nFloatExpression"),
    ("__rmul__", 0xc2, ""),
]
PROPERTIES = {
    "shape": "The maximum degree of any term in the expression tree",
    "dimension": "The number of free parameters in the expression tree",
}


def split_doc(doc):
    """(text signature, docstring) as the interpreter splits an internal docstring."""
    if "\n--\n\n" not in doc:
        return None, doc
    head, _, text = doc.partition("\n--\n\n")
    return head[head.index("("):], text


def test_module_and_class_identity():
    assert kestrum.__doc__ == "Provides the ExpressionTree class"
    assert kestrum.__all__ == ["ExpressionTree"] and type(kestrum.__all__) is list
    assert kestrum.ExpressionTree is ExpressionTree
    assert {k for k in vars(kestrum) if not k.startswith("__")} == {"ExpressionTree"}
    assert ExpressionTree.__module__ == "builtins"
    assert ExpressionTree.__name__ == ExpressionTree.__qualname__ == "ExpressionTree"
    assert ExpressionTree.__bases__ == (object,)
    signature, text = split_doc(CLASS_DOC)
    assert ExpressionTree.__doc__ == text and ExpressionTree.__text_signature__ == signature


def test_class_is_final_and_has_no_instance_attributes():
    with pytest.raises(TypeError):
        type("Sub", (ExpressionTree,), {})
    assert not ExpressionTree.__flags__ & (1 << 10)            # not a base type
    assert not ExpressionTree.__flags__ & (1 << 14)            # no cyclic GC
    t = tree([1.0, 2.0])
    for name in ("x", "shape", "dimension", "__dict__"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)
    assert not hasattr(t, "__dict__") and "__weakref__" not in vars(ExpressionTree)
    with pytest.raises(AttributeError):
        del t.shape


def test_method_and_property_tables():
    namespace = vars(ExpressionTree)
    public = [k for k in namespace if not k.startswith("__")]
    methods = [m for m, _, _ in METHODS if not m.startswith("__")]
    assert public[:len(methods)] == methods                    # table order
    assert sorted(public[len(methods):]) == sorted(PROPERTIES)
    kinds = {0x4: "method_descriptor", 0x82: "method_descriptor", 0x92: "classmethod_descriptor",
             0xc2: "method_descriptor"}
    for name, flags, doc in METHODS:
        descriptor = namespace[name]
        assert type(descriptor).__name__ == kinds[flags], name
        signature, text = split_doc(doc)
        bound = getattr(ExpressionTree, name)
        assert bound.__doc__ == (text or None), name          # the interpreter shows "" as None
        assert bound.__text_signature__ == signature, name
    for name, doc in PROPERTIES.items():
        assert type(namespace[name]).__name__ == "getset_descriptor"
        assert namespace[name].__doc__ == doc
    # __rmul__ is the table's method, not a wrapper derived from the multiply slot.
    assert type(namespace["__rmul__"]).__name__ == "method_descriptor"
    for slot in ("__add__", "__sub__", "__mul__", "__truediv__", "__call__", "__str__", "__new__"):
        assert slot in namespace
    for absent in ("__init__", "__repr__", "__eq__", "__hash__", "__iadd__", "__imul__"):
        assert absent not in namespace


def test_every_entry_reachable_by_keyword():
    t = ExpressionTree(vals=np.array([[1.0, 2.0], [3.0, 0.0]]))
    assert t(vals=np.array([1.0, 1.0])) == 6.0
    assert str(t.partial(indices=[0], values=[2.0])) == str(t.partial(values=[2.0], indices=[0]))
    assert t.deriv(indices=[1, 0]).dimension == 2
    assert t.integ(indices=[0, 1]).dimension == 2
    assert t.drop_params(indices=np.array([], dtype=np.int64)).dimension == 2
    assert ExpressionTree.zero(dimension=2).dimension == 2
    assert ExpressionTree.one(dimension=1).to_constant() == 1.0
    assert str(t.__rmul__(other=2)) == str(2 * t) == str(t * 2)
    assert t.to_constant.__name__ == "to_constant"
    assert str(t.expand()) == str(t) and str(t.squeeze()) == str(t)


def test_class_methods_accept_index_objects_and_receive_the_class():
    class Two:
        def __index__(self):
            return 2

    assert ExpressionTree.zero(Two()).dimension == 2
    assert tree([1.0]).one(np.int64(3)).dimension == 3         # also through an instance
    assert ExpressionTree.one(True).dimension == 1
