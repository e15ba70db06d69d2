// The operations behind the Python surface, one body per entry. module.cpp parses the
// arguments, checks and borrows the receiver, then calls these; each is defined in the
// ops_*.cpp file of its area. Interpreter lock required; none of them raises by itself.
#pragma once

#include <Python.h>

#include <cstdint>

#include "entry.hpp"
#include "tree_object.hpp"
#include "typed_expr.hpp"

namespace kestrum::py {

// --- ops_construct_eval.cpp ----------------------------------------------------------------
/// The constructor: a one-leaf tree from any object NumPy can convert.
[[nodiscard]] PyResult<TypedExpr> tree_from_values(PyObject* vals);
/// Calling a tree: values of object.tree at the points, as a new NumPy array. May fill
/// object.eval_cache (after the points are converted, so no Python code runs meanwhile).
[[nodiscard]] PyResult<OwnedRef> evaluate_at_points(ExpressionTreeObject& object, PyObject* vals);

// --- ops_arith.cpp ---------------------------------------------------------------------------
/// Add / Sub node over both trees (the call's own copies) in the wider element type, left
/// operand first; ValueError "Incompatible dimensions for composition".
[[nodiscard]] PyResult<TypedExpr> tree_add(TypedExpr a, TypedExpr b);
[[nodiscard]] PyResult<TypedExpr> tree_sub(TypedExpr a, TypedExpr b);
/// `a` times (or divided by) `other`: a tree (Mul / Div node, as tree_add) or a Python
/// number read as integer, float or complex (a Scale node). Anything else is ValueError
/// "Invalid type provided for multiplication" / "... for division". Reading the number may
/// run Python code; no Python error is left pending.
[[nodiscard]] PyResult<TypedExpr> tree_mul(TypedExpr a, PyObject* other);
[[nodiscard]] PyResult<TypedExpr> tree_truediv(TypedExpr a, PyObject* other);

// --- ops_calculus.cpp ------------------------------------------------------------------------
/// A lazy Deriv node over a copy of the tree (an i64 tree becomes f64) with the orders of
/// `indices` (negated by integ); ValueError "Could not convert type" for a bad index list.
[[nodiscard]] PyResult<TypedExpr> deriv_typed(const TypedExpr& tree, PyObject* indices);
[[nodiscard]] PyResult<TypedExpr> integ_typed(const TypedExpr& tree, PyObject* indices);

// --- ops_partial_expand.cpp ------------------------------------------------------------------
/// The tree with the parameters at `indices` fixed to `values`, in the receiver's element
/// type or the values' wider one. Both arrays are read-only for the call and get their
/// writeable flag back on every path; conversion and tree failures are ValueError.
[[nodiscard]] PyResult<TypedExpr> partial_typed(const TypedExpr& tree, PyObject* indices, PyObject* values);
/// One leaf, or a Div of two leaves, of the same element type; ValueError on EvalError.
[[nodiscard]] PyResult<TypedExpr> expand_typed(const TypedExpr& tree);

// --- ops_shape.cpp ---------------------------------------------------------------------------
/// A new one-axis uint64 array of the per-axis maximum lengths (its own buffer).
[[nodiscard]] PyResult<OwnedRef> shape_array(const TypedExpr& tree);
/// `indices` is a one-axis int64 NumPy array that the caller keeps read-only for the call.
[[nodiscard]] PyResult<TypedExpr> drop_params_typed(const TypedExpr& tree, PyObject* indices);
/// The tree without the axes of length exactly 1 in its shape; ValueError on EvalError.
[[nodiscard]] PyResult<TypedExpr> squeeze_typed(const TypedExpr& tree);
/// A new float, complex or int by the tag; ValueError when the tree is no constant.
[[nodiscard]] PyResult<OwnedRef> constant_value(const TypedExpr& tree);
/// An f64 leaf of `dimension` axes of length 1 holding 0.0 / 1.0; ValueError "Negative
/// dimension is invalid"; an internal failure when 8 × dimension bytes overflow.
[[nodiscard]] PyResult<TypedExpr> zero_tree(std::int64_t dimension);
[[nodiscard]] PyResult<TypedExpr> one_tree(std::int64_t dimension);

// --- ops_text.cpp ----------------------------------------------------------------------------
/// The text form with its ", dtype = ..." suffix, as a new str.
[[nodiscard]] PyResult<OwnedRef> display_typed(const TypedExpr& tree);

}  // namespace kestrum::py
