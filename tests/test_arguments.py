"""Argument parsing and conversion: every TypeError text, keyword use of every parameter, the
index-list conversion of deriv/integ, and EvalError texts reaching Python unchanged."""

import numpy as np
import pytest

from conftest import assert_bits_equal, twin
from kestrum import ExpressionTree

T = ExpressionTree(np.array([[1.0, 2.0], [3.0, 4.0]]))
P = np.array([[0.5, 2.0], [1.0, -1.0]])


@pytest.mark.parametrize("call, text", [
    (lambda: ExpressionTree(),
     "ExpressionTree.__new__() missing 1 required positional argument: 'vals'"),
    (lambda: ExpressionTree([1], [2]),
     "ExpressionTree.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: ExpressionTree([1], vals=[2]),
     "ExpressionTree.__new__() got multiple values for argument 'vals'"),
    (lambda: ExpressionTree(value=[1]),
     "ExpressionTree.__new__() got an unexpected keyword argument 'value'"),
    (lambda: T(), "ExpressionTree.__call__() missing 1 required positional argument: 'vals'"),
    (lambda: T(P, P), "ExpressionTree.__call__() takes 1 positional arguments but 2 were given"),
    (lambda: T(P, vals=P), "ExpressionTree.__call__() got multiple values for argument 'vals'"),
    (lambda: T(points=P), "ExpressionTree.__call__() got an unexpected keyword argument 'points'"),
    (lambda: T.partial(),
     "ExpressionTree.partial() missing 2 required positional arguments: 'indices' and 'values'"),
    (lambda: T.partial([0]),
     "ExpressionTree.partial() missing 1 required positional argument: 'values'"),
    (lambda: T.partial(values=[1.0]),
     "ExpressionTree.partial() missing 1 required positional argument: 'indices'"),
    (lambda: T.partial([0], [1.0], [2.0]),
     "ExpressionTree.partial() takes 2 positional arguments but 3 were given"),
    (lambda: T.partial([0], [1.0], values=[2.0]),
     "ExpressionTree.partial() got multiple values for argument 'values'"),
    (lambda: T.partial([0], indices=[1]),
     "ExpressionTree.partial() got multiple values for argument 'indices'"),
    (lambda: T.partial(x=1, indices=[0]),
     "ExpressionTree.partial() got an unexpected keyword argument 'x'"),
    (lambda: T.partial(indices=[0], x=1),
     "ExpressionTree.partial() got an unexpected keyword argument 'x'"),
    (lambda: T.deriv(), "ExpressionTree.deriv() missing 1 required positional argument: 'indices'"),
    (lambda: T.deriv([1, 0], [0, 1]),
     "ExpressionTree.deriv() takes 1 positional arguments but 2 were given"),
    (lambda: T.deriv([1, 0], indices=[1, 0]),
     "ExpressionTree.deriv() got multiple values for argument 'indices'"),
    (lambda: T.deriv(order=[1, 0]),
     "ExpressionTree.deriv() got an unexpected keyword argument 'order'"),
    (lambda: T.integ(), "ExpressionTree.integ() missing 1 required positional argument: 'indices'"),
    (lambda: T.integ([1], [2], [3]),
     "ExpressionTree.integ() takes 1 positional arguments but 3 were given"),
    (lambda: T.integ(orders=[1]),
     "ExpressionTree.integ() got an unexpected keyword argument 'orders'"),
    (lambda: T.drop_params(),
     "ExpressionTree.drop_params() missing 1 required positional argument: 'indices'"),
    (lambda: T.drop_params(np.array([0]), np.array([0])),
     "ExpressionTree.drop_params() takes 1 positional arguments but 2 were given"),
    (lambda: T.drop_params(np.array([0]), indices=np.array([0])),
     "ExpressionTree.drop_params() got multiple values for argument 'indices'"),
    (lambda: T.to_constant(1),
     "ExpressionTree.to_constant() takes 0 positional arguments but 1 was given"),
    (lambda: T.to_constant(1, 2),
     "ExpressionTree.to_constant() takes 0 positional arguments but 2 were given"),
    (lambda: T.to_constant(x=1),
     "ExpressionTree.to_constant() got an unexpected keyword argument 'x'"),
    (lambda: ExpressionTree.zero(),
     "ExpressionTree.zero() missing 1 required positional argument: 'dimension'"),
    (lambda: ExpressionTree.one(1, 2),
     "ExpressionTree.one() takes 1 positional arguments but 2 were given"),
    (lambda: ExpressionTree.one(2, dimension=2),
     "ExpressionTree.one() got multiple values for argument 'dimension'"),
    (lambda: ExpressionTree.zero(dim=2),
     "ExpressionTree.zero() got an unexpected keyword argument 'dim'"),
    (lambda: T.__rmul__(), "ExpressionTree.__rmul__() missing 1 required positional argument: 'other'"),
    (lambda: T.__rmul__(1, 2),
     "ExpressionTree.__rmul__() takes 1 positional arguments but 2 were given"),
    (lambda: T.__rmul__(2, other=3),
     "ExpressionTree.__rmul__() got multiple values for argument 'other'"),
    (lambda: T.__rmul__(x=3), "ExpressionTree.__rmul__() got an unexpected keyword argument 'x'"),
    # A keyword that has no UTF-8 form is still just an unexpected keyword.
    (lambda: ExpressionTree(**{"\udcff": 1}),
     "ExpressionTree.__new__() got an unexpected keyword argument '\\udcff'"),
    (lambda: T.deriv([1, 0], **{"x\ud800": 1}),
     "ExpressionTree.deriv() got an unexpected keyword argument 'x\\ud800'"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as exc:
        call()
    assert type(exc.value) is TypeError
    assert str(exc.value) == text


def test_every_parameter_by_keyword():
    values = np.array([[1, 2], [3, 4]])
    t = ExpressionTree(vals=values)
    assert_bits_equal(t(vals=np.array([2, 3])), t(np.array([2, 3])))
    a = t.partial(indices=[0], values=[2.0])
    b = t.partial(values=[2.0], indices=[0])
    c = t.partial([0], [2.0])
    pt = np.array([2.0, 3.0])
    assert_bits_equal(a(pt), c(pt))
    assert_bits_equal(b(pt), c(pt))
    assert_bits_equal(t.deriv(indices=[1, 0])(pt), t.deriv([1, 0])(pt))
    assert_bits_equal(t.integ(indices=[1, 0])(pt), t.integ([1, 0])(pt))
    flat = ExpressionTree(np.ones((1, 3)))
    assert flat.drop_params(indices=np.array([0])).dimension == 1
    assert ExpressionTree.zero(dimension=3).dimension == 3
    assert ExpressionTree.one(dimension=2).dimension == 2
    assert_bits_equal(t.__rmul__(other=2)(pt), (t * 2)(pt))


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


@pytest.mark.parametrize("dimension", [0, 3, np.int64(2), Index(4), True])
def test_dimension_accepts_integers(dimension):
    for make in (ExpressionTree.zero, ExpressionTree.one):
        assert make(dimension).dimension == int(dimension)


@pytest.mark.parametrize("dimension, exc_type, text", [
    (2.5, TypeError, "argument 'dimension': 'float' object cannot be interpreted as an integer"),
    ("2", TypeError, "argument 'dimension': 'str' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'dimension': 'NoneType' object cannot be interpreted as an integer"),
    (2**70, OverflowError, "Python int too large to convert to C long"),
    (-(2**64), OverflowError, "Python int too large to convert to C long"),
    (-1, ValueError, "Negative dimension is invalid"),
])
def test_dimension_conversion_errors(dimension, exc_type, text):
    for make in (ExpressionTree.zero, ExpressionTree.one):
        with pytest.raises(exc_type) as exc:
            make(dimension)
        assert type(exc.value) is exc_type
        assert str(exc.value) == text


def shape_mismatch(dim, name):
    return (f"argument 'indices': Shape Mismatch:\n from=(dim={dim}, dtype={name}), "
            f"to=(dim=1, dtype=Int64)")


@pytest.mark.parametrize("indices, text", [
    ([0], "argument 'indices': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ((0,), "argument 'indices': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
    (0, "argument 'indices': 'int' object cannot be converted to 'PyArray<T, D>'"),
    (np.array([0.0]), shape_mismatch(1, "Float64")),
    (np.array([[0]]), shape_mismatch(2, "Int64")),
    (np.array(0), shape_mismatch(0, "Int64")),
    (np.array([True]), shape_mismatch(1, "Bool")),
    (np.array([0], np.int8), shape_mismatch(1, "Int8")),
    (np.array([0], np.uint8), shape_mismatch(1, "Uint8")),
    (np.array([0], np.int16), shape_mismatch(1, "Int16")),
    (np.array([0], np.uint16), shape_mismatch(1, "Uint16")),
    (np.array([0], np.int32), shape_mismatch(1, "Int32")),
    (np.array([0], np.uint32), shape_mismatch(1, "Uint32")),
    (np.array([0], np.uint64), shape_mismatch(1, "Uint64")),
    (np.array([0], np.ulonglong), shape_mismatch(1, "Uint64")),
    (np.array([0], np.float32), shape_mismatch(1, "Float32")),
    (np.array([0], np.complex64), shape_mismatch(1, "Complex32")),
    (np.array([0], np.complex128), shape_mismatch(1, "Complex64")),
    (np.array([0], object), shape_mismatch(1, "Object")),
    (np.array([0], np.float16), shape_mismatch(1, "Unknown")),
    (np.array([0], np.longdouble), shape_mismatch(1, "Unknown")),
    (np.array(["0"]), shape_mismatch(1, "Unknown")),
    (np.zeros((1, 1, 1), np.int32), shape_mismatch(3, "Int32")),
], ids=repr)
def test_drop_params_index_conversion_errors(indices, text):
    t = ExpressionTree(np.ones((1, 3)))
    with pytest.raises(TypeError) as exc:
        t.drop_params(indices)
    assert str(exc.value) == text
    with pytest.raises(TypeError) as exc:
        t.drop_params(indices=indices)
    assert str(exc.value) == text


@pytest.mark.parametrize("indices", [np.array([1], np.int64), np.array([1], np.longlong),
                                     np.array([1], ">i8"), np.array([1, 5, 1, 7])[::2]],
                         ids=["int64", "longlong", "big-endian", "strided-repeat"])
def test_drop_params_accepts_int64_arrays_and_restores_writeable(indices):
    t = ExpressionTree(np.ones((1, 1, 3)))
    assert t.drop_params(indices).dimension == 2
    assert indices.flags.writeable
    with pytest.raises(ValueError):
        ExpressionTree(np.ones((2, 3))).drop_params(indices)
    assert indices.flags.writeable


@pytest.mark.parametrize("indices", [
    [1.0, 0.0], 1, [[1, 0]], np.array([1, 0], np.uint64), np.array([1.5, 0.0]), ["a", "b"],
    np.array([1, 0], object), [1j, 0], np.zeros((2, 1), np.int64),
], ids=repr)
@pytest.mark.parametrize("method", ["deriv", "integ"])
def test_calculus_index_conversion_errors(method, indices):
    with pytest.raises(ValueError) as exc:
        getattr(T, method)(indices)
    assert str(exc.value) == "Could not convert type"


@pytest.mark.parametrize("indices", [
    [1, 0], (1, 0), np.array([1, 0]), np.array([1, 0], np.int32), np.array([1, 0], np.uint8),
    np.array([1, 0], np.uint32), np.array([1, 0], ">i8"), [True, False],
    np.array([1, 9, 0, 9])[::2], np.array([0, 1])[::-1],
], ids=repr)
def test_calculus_index_lists_accepted(indices):
    pts = np.array([[0.5, 2.0], [3.0, -1.0]])
    assert_bits_equal(T.deriv(indices)(pts), T.deriv([1, 0])(pts))
    assert_bits_equal(T.integ(indices)(pts), T.deriv([-1, 0])(pts))


@pytest.mark.parametrize("writeable", [True, False])
def test_index_arrays_writeable_restored(writeable):
    good = np.array([1, 0])
    bad = np.array([[1, 0]])
    for arr in (good, bad):
        arr.flags.writeable = writeable
    T.deriv(good)
    T.integ(good)
    for method in (T.deriv, T.integ):
        with pytest.raises(ValueError):
            method(bad)
    assert good.flags.writeable == writeable and bad.flags.writeable == writeable


def test_integ_negates_orders():
    t, m = twin(np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]))
    pts = np.array([[0.5, 2.0], [3.0, -1.0]])
    assert_bits_equal(t.integ([1, 0])(pts), m.deriv([-1, 0])(pts))
    assert_bits_equal(t.integ([-1, 2])(pts), m.deriv([1, -2])(pts))
    assert_bits_equal(t.integ([-5, 0])(pts), t.deriv([5, 0])(pts))


@pytest.mark.parametrize("make, text", [
    (lambda: T + ExpressionTree(np.ones(3)), "Incompatible dimensions for composition"),
    (lambda: T.partial([5], [1.0]), "Incompatibile dimensions for evaluation"),
    (lambda: T(np.array([[1, 2]], object)), "Unsupported data type for evaluation"),
    (lambda: T.partial([0], np.array([1], object)), "Unsupported data type for evaluation"),
    (lambda: T(np.ones(3)), "Incompatible shape for evaluation"),
    (lambda: T(np.ones((0, 2))), "Failed to concatenate values after eval"),
    (lambda: T.deriv([1, 0, 0])(P), "Incompatible dimensions for composition"),
    (lambda: (T / T).deriv([1, 0])(P), "Derivatives and integrals of rationals are not supported."),
    (lambda: T.partial([-1], [1.0]), "Could not convert data type"),
    (lambda: T.partial([0.0], [1.0]), "Could not convert type"),
    (lambda: T.partial([0, 1], np.array([1.0, 0.0, 2.0])[::2]), "Could not convert values to slice"),
], ids=lambda x: x if isinstance(x, str) else "")
def test_error_texts_reach_python_exactly(make, text):
    with pytest.raises(ValueError) as exc:
        make()
    assert type(exc.value) is ValueError
    assert str(exc.value) == text
