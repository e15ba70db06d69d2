"""Shape, dimension, constants, dropping parameters (derivatives included), zero and one,
and the parts of the type that test_module.py leaves out."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from kestrum import ExpressionTree

import reference  # tests/ is on the path through conftest.py
from conftest import ABORTS_ON_HUGE_NEW, not_under_sanitizers

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


def c64_ref(op, a, b):
    """a op b on float pairs by the reference model (Python's complex division is scaled)."""
    pair = lambda z: (np.array([z.real]), np.array([z.imag]))   # noqa: E731
    re, im = op(pair(a), pair(b), "c64")
    return complex(re[0], im[0])


def c_mul(a, b):
    return c64_ref(reference._mul, a, b)


def c_div(a, b):
    return c64_ref(reference._div, a, b)


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
@pytest.mark.parametrize("n", [-(2**63)])
def test_zero_one_negative_dimension(make, n):
    with pytest.raises(ValueError) as exc:
        make(n)
    assert str(exc.value) == "Negative dimension is invalid"


@pytest.mark.parametrize("method", ["zero", "one"])
@pytest.mark.parametrize("n, outcome", [
    (2**63 - 1, "panic"), (2**61, "panic"),         # 8n bytes overflow a signed 64-bit size
    # describable, but far beyond any memory
    *(pytest.param(n, "memory", marks=not_under_sanitizers(ABORTS_ON_HUGE_NEW)) for n in (2**59, 2**57)),
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
    (lambda: tree([1 + 1j], C64) / tree([0j], C64), c_div(1 + 1j, 0j)),
])
def test_to_constant_values(build, expected):
    value = build().to_constant()
    assert type(value) is type(expected)
    if isinstance(expected, int):
        assert value == expected
    else:
        assert bits(value).tolist() == bits(expected).tolist()


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


# --- the parts of the Python surface that test_module.py leaves out --------------------------

METHOD_ORDER = ["expand", "partial", "deriv", "integ", "drop_params", "squeeze", "to_constant", "zero", "one"]


def test_type_flags_method_order_and_class_signature():
    flags = ExpressionTree.__flags__
    assert not flags & (1 << 10)               # Py_TPFLAGS_BASETYPE
    assert not flags & (1 << 14)               # Py_TPFLAGS_HAVE_GC
    assert "__weakref__" not in vars(ExpressionTree)
    public = [k for k in vars(ExpressionTree) if not k.startswith("__")]
    assert public[:len(METHOD_ORDER)] == METHOD_ORDER             # the method table's order
    assert sorted(public[len(METHOD_ORDER):]) == ["dimension", "shape"]
    assert ExpressionTree.__text_signature__ == "(vals)"
    t = tree([1.0])
    assert t.one(np.int64(3)).dimension == 3                       # class methods via an instance
    with pytest.raises(AttributeError):
        del t.shape


def test_deep_trees_on_a_small_thread_stack():
    # A walk that recursed once per level would overflow a 256 KiB stack at these depths.
    code = textwrap.dedent("""
        import threading
        import numpy as np
        from kestrum import ExpressionTree
        one = ExpressionTree(np.array([[1.0]]))
        quotient, derivative = ExpressionTree(np.array([[3.0]])), ExpressionTree(np.array([[3.0, 1.0]]))
        for _ in range(3000):
            quotient = (quotient * -1.0) / one
        for _ in range(1500):
            derivative = (derivative * 1.0).deriv([0, 0])
        out = []
        def run():
            out.append(quotient.to_constant())
            out.append(quotient.shape.tolist())
            out.append(quotient.squeeze().dimension)
            out.append(derivative.drop_params(np.array([0])).shape.tolist())
            out.append(derivative.squeeze().dimension)
        threading.stack_size(256 * 1024)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
        print(out)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([3.0, [1, 1], 0, [2], 1])


def test_recursive_walk_on_a_small_thread_stack_fails_cleanly():
    # The symbolic derivative recurses; on a 256 KiB stack it must stop with RecursionError.
    code = textwrap.dedent("""
        import threading
        import numpy as np
        from kestrum import ExpressionTree
        t = ExpressionTree(np.array([1.0, 2.0]))
        for _ in range(3000):
            t = t * 1.0
        derivative = t.deriv([1])
        out = []
        def run():
            try:
                out.append(str(derivative.expand()))
            except RecursionError:
                out.append("RecursionError")
        threading.stack_size(256 * 1024)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
        print(out[0])
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() in ("RecursionError", "2, dtype = f64")
