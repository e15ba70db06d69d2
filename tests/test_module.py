"""The module and the ExpressionTree type: attributes, docstrings, and what the type refuses."""

import importlib
import sys

import numpy as np
import pytest

import kestrum
from kestrum import ExpressionTree


def test_module_attributes():
    assert kestrum.__all__ == ["ExpressionTree"]
    assert type(kestrum.__all__) is list
    assert kestrum.__doc__ == "Provides the ExpressionTree class"
    assert kestrum.ExpressionTree is ExpressionTree
    public = {name for name in vars(kestrum) if not name.startswith("__")}
    assert public == {"ExpressionTree"}


def test_class_identity():
    assert ExpressionTree.__name__ == "ExpressionTree"
    assert ExpressionTree.__qualname__ == "ExpressionTree"
    assert ExpressionTree.__module__ == "builtins"
    assert ExpressionTree.__bases__ == (object,)
    assert ExpressionTree.__doc__ == (
        "An abstract expression tree with concrete terms. Lazily evaluates arithmetic\n"
        "operations.")


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (ExpressionTree,), {})


def test_no_instance_attributes():
    t = ExpressionTree(np.array([1.0, 2.0]))
    assert not hasattr(t, "__dict__")
    assert not hasattr(t, "__weakref__")
    for name in ("x", "shape", "dimension"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)
    with pytest.raises(AttributeError):
        del t.dimension
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(t)


def test_class_members():
    own = {name for name in vars(ExpressionTree)}
    methods = {"expand", "partial", "deriv", "integ", "drop_params", "squeeze", "to_constant",
               "zero", "one", "__rmul__"}
    assert methods | {"shape", "dimension"} <= own
    slot_wrappers = {"__new__", "__call__", "__str__", "__add__", "__radd__", "__sub__",
                     "__rsub__", "__mul__", "__truediv__", "__rtruediv__", "__doc__", "__module__"}
    assert own - methods - {"shape", "dimension"} <= slot_wrappers
    assert "__init__" not in own and "__repr__" not in own and "__hash__" not in own
    assert "__dict__" not in own and "__iadd__" not in own and "__pow__" not in own


METHOD_DOCS = {
    "expand": ("()", "Recursively evaluate the syntax tree to yield either a single polynomial\n"
               "or a rational with a polynomial numerator and denominator.\n\nReturns\n=======\n"
               "FloatExpression"),
    "partial": ("(indices, values)",
                "Evaluate the expression tree on a subset of provided terms and return a\n"
                "new expression tree.\n\nParameters\n==========\nindicies : array_like\n"
                "    (n,) shaped array of integers. This argument specifies which terms in the\n"
                "    expression are to be evaluated.\nvalues : array_like\n"
                "    (n,) shaped array of floats. This argument specifies the values to use in\n"
                "    the expression.\n\nReturns\n=======\nFloatExpression"),
    "deriv": ("(indices)", "Takes the derivative of the expression with respect to multiple\n"
              "parameters. Zero is a no-op. Negative numbers integrate.\n\nParameters\n"
              "==========\nindices: array_like of int\n    shape (n,) where n is the dimension "
              "of the expression.\n\nReturns\n=======\nFloatExpression"),
    "integ": ("(indices)", "Takes the antiderivative of the expression with respect to multiple\n"
              "parameters. Zero is a no-op. Negative numbers differentiate.\n\nParameters\n"
              "==========\nindices: array_like of int\n    shape (n,) where n is the dimension "
              "of the expression.\n\nReturns\n=======\nFloatExpression"),
    "drop_params": ("(indices)", "Try to drop parameters and reduce the dimensionality.\n\n"
                    "Parameters\n==========\nindices: array_like of int\n    shape (m,), specifies "
                    "degrees of freedom to drop.\n\nReturns\n=======\nFloatExpression\n\nRaises\n"
                    "======\nValueError\n    If non-empty or invalid degrees of freedom are "
                    "specified."),
    "squeeze": ("()", "Automatically drop empty degrees of freedom\n\nReturns\n=======\n"
                "FloatExpression"),
    "to_constant": ("()", "Try to evaluate the expression and return a constant\n\nRaises\n"
                    "======\n\nValueError\n    If some degrees of freedom still exist"),
    "zero": ("(dimension)", "Construct a polynomial of desired dimension equal to the constant 0."
             "\n\nReturns\n=======\nFloatExpression"),
    "one": ("(dimension)", "Construct a polynomial of desired dimension equal to the constant 1."
            "\n\nReturns\n=======\nFloatExpression"),
}


@pytest.mark.parametrize("name", list(METHOD_DOCS))
def test_method_docstrings_and_signatures(name):
    signature, doc = METHOD_DOCS[name]
    method = getattr(ExpressionTree, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == signature


def test_class_methods_and_rmul_entry():
    for name in ("zero", "one"):
        assert type(vars(ExpressionTree)[name]).__name__ == "classmethod_descriptor"
        assert getattr(ExpressionTree, name).__self__ is ExpressionTree
    rmul = vars(ExpressionTree)["__rmul__"]
    assert type(rmul).__name__ == "method_descriptor"   # the table's entry, not a slot wrapper
    assert rmul.__doc__ in (None, "")
    for name in ("expand", "partial", "squeeze"):
        assert type(vars(ExpressionTree)[name]).__name__ == "method_descriptor"


@pytest.mark.parametrize("name, doc", [
    ("shape", "The maximum degree of any term in the expression tree"),
    ("dimension", "The number of free parameters in the expression tree"),
])
def test_properties(name, doc):
    prop = vars(ExpressionTree)[name]
    assert type(prop).__name__ == "getset_descriptor"
    assert prop.__doc__ == doc


def test_reimport_gives_same_class():
    saved = sys.modules.pop("kestrum")
    try:
        again = importlib.import_module("kestrum")
        assert again.ExpressionTree is ExpressionTree
        assert again.__all__ == ["ExpressionTree"]
        assert again.__doc__ == "Provides the ExpressionTree class"
    finally:
        sys.modules["kestrum"] = saved


def test_instances_of_the_type_from_every_entry():
    t = ExpressionTree(np.array([1, 2]))
    for made in (t + t, t - t, t * t, t / t, t * 2, 2 * t, t / 2, t.deriv([1]), t.integ([1]),
                 ExpressionTree.zero(1), ExpressionTree.one(0), t.__rmul__(3)):
        assert type(made) is ExpressionTree
