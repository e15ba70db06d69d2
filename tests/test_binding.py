"""The Python boundary itself: reference counts, byte order and alignment of inputs, writeable
flags, callbacks into the module during argument conversion, refused conversions, result
ownership, and the deriv/integ index lists."""

from __future__ import annotations

import gc
import sys

import numpy as np
import pytest

from conftest import assert_bits_equal, assert_panic, run_python
from kestrum import ExpressionTree
from reference import Model


def _leaf(kind="f64"):
    values = {"i64": [[1, 2], [3, 4]], "f64": [[1.5, -2.0], [0.25, 4.0]],
              "c64": [[1 + 1j, 2.0], [-0.5j, 4.0]]}[kind]
    return ExpressionTree(np.array(values))


def _swapped(a: np.ndarray) -> np.ndarray:
    """The same numbers stored in the other byte order."""
    return a.astype(a.dtype.newbyteorder())


def _unaligned(a: np.ndarray) -> np.ndarray:
    """The same numbers at an address one byte off the element alignment."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = raw[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


# --- reference counts ----------------------------------------------------------------------

_POINTS = np.array([[0.5, -1.0], [2.0, 3.0]])
_INDICES = np.array([1, 0])


def _calls(t, other):
    """Entries that succeed or fail with a Python exception, each touching `t` and `other`."""
    return {
        "construct": lambda: ExpressionTree(other),
        "evaluate": lambda: t(other),
        "add": lambda: t + t,
        "mul_number": lambda: t * 2.5,
        "rmul_number": lambda: 2 * t,
        "rmul_method": lambda: t.__rmul__(1j),
        "div_tree": lambda: t / t,
        "deriv": lambda: t.deriv(_INDICES),
        "integ": lambda: t.integ(_INDICES),
        "bad_number": lambda: t * "x",
        "bad_left": lambda: 1 - t,
        "bad_shape": lambda: t(np.zeros((2, 5))),
        "bad_kwarg": lambda: t.deriv(order=_INDICES),
        "bad_indices": lambda: t.deriv([0.5, 1.0]),
        "bad_drop": lambda: t.drop_params([0]),
        "dimension": lambda: t.dimension,
        "partial": lambda: t.partial(_INDICES[:1], other[0, :1]),
        "partial_strided_values": lambda: t.partial(_INDICES, other[:, 0]),
        "drop_params": lambda: t.drop_params(_INDICES),
        "zero": lambda: ExpressionTree.zero(_INDICES[0]),
        "shape": lambda: t.shape,
        "str": lambda: str(t),
        "expand": lambda: (t * t).expand(),
        "to_constant": lambda: t.to_constant(),
        "div_numpy_complex": lambda: t / np.complex64(2j),
        "panic": lambda: t(np.array(1.0)),
    }


@pytest.mark.parametrize("name", sorted(_calls(None, None)))
def test_repeated_calls_leave_reference_counts_unchanged(name):
    t = _leaf("i64")
    other = _POINTS.copy()
    call = _calls(t, other)[name]
    watched = [t, other, _INDICES, ExpressionTree]

    def run():
        try:
            call()
        except BaseException:  # noqa: BLE001 - internal failures are entries' outcomes too
            pass

    run()  # first-use state (NumPy table, type cells) is created here
    gc.collect()
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(50):
        run()
    gc.collect()
    assert [sys.getrefcount(x) for x in watched] == before


def test_results_own_their_buffer_and_outlive_the_tree():
    t = _leaf("f64")
    values = t(_POINTS)
    expected = Model.from_values(np.array([[1.5, -2.0], [0.25, 4.0]]))(_POINTS)
    del t
    gc.collect()
    assert values.base is not None and not values.flags.owndata
    assert values.flags.writeable and values.flags.c_contiguous
    assert_bits_equal(values, expected)
    values[0] = 7.0  # the caller may write to its result
    assert values[0] == 7.0


# --- byte order and alignment --------------------------------------------------------------


@pytest.mark.parametrize("make", [_swapped, _unaligned], ids=["byteswapped", "unaligned"])
def test_construction_reads_foreign_layouts_as_numbers(dtype, make):
    native = np.array({"i64": [[1, -2], [3, 2**40]], "f64": [[1.5, -0.0], [1e300, 2.0]],
                       "c64": [[1 + 2j, -3j], [0.5, 2.0]]}[dtype])
    points = np.array([[0.5, 1.5], [-2.0, 0.25]]).astype(np.result_type(native.dtype, np.float64))
    assert_bits_equal(ExpressionTree(make(native))(points), ExpressionTree(native)(points))


@pytest.mark.parametrize("make", [_swapped, _unaligned], ids=["byteswapped", "unaligned"])
@pytest.mark.parametrize("kind", ["i64", "f64", "c64"])
def test_evaluation_reads_foreign_layouts_as_numbers(kind, make):
    t = _leaf(kind)
    native = {"i64": np.array([[2, -3], [1, 5], [0, 7]]),
              "f64": np.array([[0.5, -1.25], [3.0, 1e-3], [-2.0, 2.0]]),
              "c64": np.array([[0.5 + 1j, -1.25], [3.0j, 1e-3], [-2.0, 2.0 - 1j]])}[kind]
    assert_bits_equal(t(make(native)), t(native))


@pytest.mark.parametrize("orders", [
    _swapped(np.array([0, 1])), _unaligned(np.array([0, 1])), np.array([1, 9, 0])[::-2],
], ids=["byteswapped", "unaligned", "reversed_strided"])
def test_index_lists_read_foreign_layouts_as_numbers(orders):
    t = _leaf("f64")
    assert orders.tolist() == [0, 1]
    assert_bits_equal(t.deriv(orders)(_POINTS), t.deriv([0, 1])(_POINTS))


# --- writeable flags -----------------------------------------------------------------------


def _flag_cases():
    t = _leaf("i64")
    return {
        "construct": lambda a: ExpressionTree(a),
        "evaluate_ok": lambda a: t(a.astype(np.int64)),
        "evaluate_bad_shape": lambda a: t(np.concatenate([a, a], axis=1)),
        "deriv": lambda a: t.deriv(a[0]),
        "integ": lambda a: t.integ(a[0]),
        "deriv_bad_index_list": lambda a: t.deriv(a),
        "drop_params": lambda a: t.drop_params(a[0]),
    }


@pytest.mark.parametrize("writeable", [True, False])
@pytest.mark.parametrize("name", sorted(_flag_cases()))
def test_writeable_flag_is_as_before_on_every_path(name, writeable):
    array = np.array([[1, 0], [0, 1]])
    array.flags.writeable = writeable
    row = array[0]
    try:
        _flag_cases()[name](array)
    except Exception:
        pass
    assert array.flags.writeable is writeable
    assert row.flags.writeable is writeable


def test_writeable_flag_restored_after_internal_failure():
    t = _leaf("f64")
    scalar = np.array(1.5)
    with pytest.raises(BaseException) as excinfo:
        t(scalar)
    assert_panic(excinfo)
    assert scalar.flags.writeable


# --- callbacks and refused conversions -----------------------------------------------------


class _Reentrant:
    """Array-like whose conversion calls back into the module before it answers."""

    def __init__(self, tree, data):
        self.tree, self.data, self.inner = tree, np.asarray(data), None

    def __array__(self, dtype=None, copy=None):
        self.inner = (self.tree * 2)(np.array([1.0, 1.0])) + ExpressionTree([7]).dimension
        return self.data if dtype is None else self.data.astype(dtype)


@pytest.mark.parametrize("use", ["construct", "evaluate", "deriv"])
def test_conversion_may_call_back_into_the_module(use):
    t = _leaf("f64")
    if use == "construct":
        arg = _Reentrant(t, [[1.5, -2.0], [0.25, 4.0]])
        assert_bits_equal(ExpressionTree(arg)(_POINTS), t(_POINTS))
    elif use == "evaluate":
        arg = _Reentrant(t, _POINTS)
        assert_bits_equal(t(arg), t(_POINTS))
    else:
        arg = _Reentrant(t, [1, 0])
        assert_bits_equal(t.deriv(arg)(_POINTS), t.deriv([1, 0])(_POINTS))
    assert arg.inner is not None and arg.inner == 2 * (1.5 - 2.0 + 0.25 + 4.0) + 1


class _Refusing:
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array here")


@pytest.mark.parametrize("call", [
    lambda t: ExpressionTree(_Refusing()),
    lambda t: t(_Refusing()),
    lambda t: t.deriv(_Refusing()),
    lambda t: t.integ(_Refusing()),
], ids=["construct", "evaluate", "deriv", "integ"])
def test_refused_conversion_is_an_internal_failure_with_nothing_pending(call, capfd):
    t = _leaf("f64")
    with pytest.raises(BaseException) as excinfo:
        call(t)
    assert_panic(excinfo, "Python API call failed")
    assert "no array here" in capfd.readouterr().err
    assert_bits_equal(t(_POINTS), _leaf("f64")(_POINTS))  # the tree is usable afterwards


def test_system_exit_during_conversion_does_not_end_the_process():
    # Printing the refused conversion's error must not act on a SystemExit (which would end
    # the interpreter on the spot, skipping every finally block of the caller).
    proc = run_python("""
        import numpy as np
        from kestrum import ExpressionTree

        class Exiting:
            def __array__(self, dtype=None, copy=None):
                raise SystemExit(3)

        t = ExpressionTree(np.array([1.0, 2.0]))
        for call in (lambda: ExpressionTree(Exiting()), lambda: t(Exiting()),
                     lambda: t.deriv(Exiting()), lambda: t.partial([0], Exiting())):
            try:
                call()
            except BaseException as exc:
                print(type(exc).__name__, exc)
            finally:
                print("finally")
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["PanicException Python API call failed", "finally"] * 4
    assert proc.stderr.count("SystemExit") == 4


def test_internal_failure_type_is_created_once():
    t = _leaf("f64")
    caught = []
    for _ in range(2):
        try:
            t(np.array(0.0))
        except BaseException as exc:  # noqa: BLE001 - the type is what is tested
            caught.append(type(exc))
    assert caught[0] is caught[1]
    assert caught[0].__mro__[1] is BaseException


# --- deriv and integ -----------------------------------------------------------------------


@pytest.mark.parametrize("indices", [
    [1, 0], (1, 0), np.array([1, 0], dtype=np.int8), np.array([1, 0], dtype=np.uint32),
    np.array([1, 0], dtype=np.int32), np.array([True, False]),
], ids=["list", "tuple", "int8", "uint32", "int32", "bool"])
def test_index_lists_accept_integer_sequences(indices):
    t = _leaf("f64")
    assert_bits_equal(t.deriv(indices)(_POINTS), t.deriv(np.array([1, 0]))(_POINTS))


@pytest.mark.parametrize("indices", [
    [1.0, 0.0], 1, [[1, 0]], np.array([1, 0], dtype=np.uint64), np.array([1, 0], dtype=object),
    [1 + 0j, 0j], np.array(1),
], ids=["floats", "single_int", "nested", "uint64", "object", "complex", "zero_axes"])
@pytest.mark.parametrize("method", ["deriv", "integ"])
def test_index_lists_refuse_everything_else(method, indices):
    t = _leaf("f64")
    with pytest.raises(ValueError) as excinfo:
        getattr(t, method)(indices)
    assert str(excinfo.value) == "Could not convert type"


@pytest.mark.parametrize("kind", ["i64", "f64", "c64"])
@pytest.mark.parametrize("orders", [[1, 0], [0, 2], [-1, 1], [0, 0], [2, -2]])
def test_integ_is_deriv_with_negated_orders(kind, orders):
    t = _leaf(kind)
    points = _POINTS.astype(np.complex128) if kind == "c64" else _POINTS
    d = t.deriv([-k for k in orders])(points)
    i = t.integ(orders)(points)
    assert_bits_equal(i, d)
    assert d.dtype == (np.complex128 if kind == "c64" else np.float64)


def test_deriv_of_integer_tree_is_a_float_tree():
    t = _leaf("i64")
    assert t(np.array([[1, 2]])).dtype == np.int64
    for derived in (t.deriv([0, 0]), t.integ([0, 0])):
        out = derived(np.array([[1, 2]]))
        assert out.dtype == np.float64
        assert_bits_equal(out, t(np.array([[1.0, 2.0]])))


def test_deriv_orders_length_is_checked_only_when_used():
    t = _leaf("f64")
    lazy = t.deriv([1])  # accepted as it is
    with pytest.raises(ValueError) as excinfo:
        lazy(_POINTS)
    assert str(excinfo.value) == "Incompatible dimensions for composition"


def _outcome(call):
    try:
        return "ok", call().view(np.int64).tolist()
    except BaseException as exc:  # noqa: BLE001 - the outcome itself is compared
        return type(exc).__name__, str(exc)


def test_integ_negation_wraps_at_the_lowest_order():
    t = _leaf("f64")
    lowest = np.array([-2**63, 0])
    # -(-2**63) wraps to itself, so both calls build the same lazy node.
    assert _outcome(lambda: t.integ(lowest)(_POINTS)) == _outcome(lambda: t.deriv(lowest)(_POINTS))


# --- process-level -------------------------------------------------------------------------


def test_import_twice_reuses_the_class_and_leaks_no_type_reference():
    proc = run_python("""
        import gc, sys, importlib
        import numpy as np
        import kestrum
        T = kestrum.ExpressionTree
        del sys.modules["kestrum"]
        again = importlib.import_module("kestrum")
        assert again is not kestrum and again.ExpressionTree is T
        assert again.__all__ == ["ExpressionTree"]
        before = sys.getrefcount(T)
        trees = [T([1, 2, 3]) * 2 for _ in range(100)]
        values = [t(np.array([[1.0]])) for t in trees]
        del trees, values
        gc.collect()
        print(sys.getrefcount(T) - before)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0"
