"""The type stub shipped with the module describes the runtime class: the same members, with
the same parameter names, properties as properties, class methods as class methods, and
positional-only parameters where the runtime takes no keywords."""

import ast
import pathlib

import pytest

from kestrum import ExpressionTree

STUB = pathlib.Path(__file__).resolve().parents[1] / "src" / "lib" / "kestrum.pyi"
RUNTIME_MEMBERS = sorted(set(vars(ExpressionTree)) - {"__doc__", "__module__"})


def stub_methods():
    """name -> (decorator names, parameter names without self/cls, positional-only count)."""
    module = ast.parse(STUB.read_text(encoding="utf-8"))
    cls = next(node for node in module.body
               if isinstance(node, ast.ClassDef) and node.name == "ExpressionTree")
    out = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
            params = [a.arg for a in node.args.posonlyargs + node.args.args][1:]
            out[node.name] = (decorators, params, max(len(node.args.posonlyargs) - 1, 0))
    return out


def runtime_parameters(name):
    """(parameter names, whether all are positional-only) from the runtime's text signature,
    or None when the runtime gives none (a generic or empty one)."""
    obj = ExpressionTree if name == "__new__" else vars(ExpressionTree)[name]
    text = getattr(obj, "__text_signature__", None)
    if not text or "*" in text:
        return None
    parts = [p.strip() for p in text.strip("()").split(",") if p.strip()]
    positional_only = "/" in parts
    names = [p for p in parts if p != "/" and not p.startswith("$")]
    return names, positional_only


def test_stub_has_exactly_the_runtime_members():
    assert sorted(stub_methods()) == RUNTIME_MEMBERS


@pytest.mark.parametrize("name", RUNTIME_MEMBERS)
def test_stub_member_matches_runtime_kind_and_parameters(name):
    decorators, params, positional_only = stub_methods()[name]
    kind = type(vars(ExpressionTree)[name]).__name__
    assert ("property" in decorators) == (kind == "getset_descriptor")
    assert ("classmethod" in decorators) == (kind == "classmethod_descriptor")
    runtime = runtime_parameters(name)
    if runtime is not None:
        names, runtime_positional_only = runtime
        if runtime_positional_only:
            assert len(params) == len(names) and positional_only == len(params)
        else:
            assert params == names and positional_only == 0
