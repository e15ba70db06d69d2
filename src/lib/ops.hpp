// The operations behind the Python surface, one body per entry. module.cpp parses the
// arguments, checks and borrows the receiver, then calls these; each is defined in the
// ops_*.cpp file of its area. Interpreter lock required; none of them raises by itself.
#pragma once

#include <Python.h>

#include <cstdint>

#include "entry.hpp"
#include "typed_expr.hpp"

namespace kestrum::py {

// --- ops_construct_eval.cpp ----------------------------------------------------------------
/// The constructor: a one-leaf tree from any object NumPy can convert.
[[nodiscard]] PyResult<TypedExpr> tree_from_values(PyObject* vals);
/// Calling a tree: values at the points, as a new NumPy array.
[[nodiscard]] PyResult<OwnedRef> evaluate_at_points(const TypedExpr& tree, PyObject* vals);

// --- ops_arith.cpp ---------------------------------------------------------------------------
[[nodiscard]] PyResult<TypedExpr> tree_add(TypedExpr a, TypedExpr b);
[[nodiscard]] PyResult<TypedExpr> tree_sub(TypedExpr a, TypedExpr b);
[[nodiscard]] PyResult<TypedExpr> tree_mul(TypedExpr a, PyObject* other);
[[nodiscard]] PyResult<TypedExpr> tree_truediv(TypedExpr a, PyObject* other);

// --- ops_calculus.cpp ------------------------------------------------------------------------
[[nodiscard]] PyResult<TypedExpr> deriv_typed(const TypedExpr& tree, PyObject* indices);
[[nodiscard]] PyResult<TypedExpr> integ_typed(const TypedExpr& tree, PyObject* indices);

// --- ops_partial_expand.cpp ------------------------------------------------------------------
[[nodiscard]] PyResult<TypedExpr> partial_typed(const TypedExpr& tree, PyObject* indices, PyObject* values);
[[nodiscard]] PyResult<TypedExpr> expand_typed(const TypedExpr& tree);

// --- ops_shape.cpp ---------------------------------------------------------------------------
[[nodiscard]] PyResult<OwnedRef> shape_array(const TypedExpr& tree);
/// `indices` is a one-axis int64 NumPy array already made read-only; the flag is restored
/// here on every path when `was_writeable`.
[[nodiscard]] PyResult<TypedExpr> drop_params_typed(const TypedExpr& tree, PyObject* indices, bool was_writeable);
[[nodiscard]] PyResult<TypedExpr> squeeze_typed(const TypedExpr& tree);
[[nodiscard]] PyResult<OwnedRef> constant_value(const TypedExpr& tree);
[[nodiscard]] PyResult<TypedExpr> zero_tree(std::int64_t dimension);
[[nodiscard]] PyResult<TypedExpr> one_tree(std::int64_t dimension);

// --- ops_text.cpp ----------------------------------------------------------------------------
/// The text form with its ", dtype = ..." suffix, as a new str.
[[nodiscard]] PyResult<OwnedRef> display_typed(const TypedExpr& tree);

}  // namespace kestrum::py
