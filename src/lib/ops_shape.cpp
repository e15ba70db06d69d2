// The shape, drop_params, squeeze, to_constant, zero and one bodies. Argument parsing and
// the receiver borrow happen in module.cpp; the text form lives in ops_text.cpp.
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "numpy_api.hpp"
#include "ops.hpp"

namespace kestrum::py {

namespace {

/// Positions of the lengths equal to 1, ascending. Empty axes (length 0) stay.
std::vector<u64> unit_axes(const Shape& shape) {
  std::vector<u64> positions;
  for (u64 a = 0; a < shape.size(); ++a) {
    if (shape[a] == 1) positions.push_back(a);
  }
  return positions;
}

PyResult<TypedExpr> drop_axes_typed(const TypedExpr& tree, const std::vector<u64>& positions) {
  return visit_typed(tree, [&](const auto& e) -> PyResult<TypedExpr> {
    auto dropped = drop_axes(e, positions);
    if (!dropped) return std::unexpected(eval_error_to_exception(dropped.error()));
    return TypedExpr(std::move(*dropped));
  });
}

/// A one-leaf f64 tree of n axes of length 1 holding `value`.
PyResult<TypedExpr> constant_tree(std::int64_t dimension, f64 value) {
  if (dimension < 0) return py_fail(PyExc_ValueError, "Negative dimension is invalid");
  // The list of n lengths is 8n bytes: a count whose byte size cannot be described is an
  // internal failure, one that merely cannot be allocated is MemoryError (bad_alloc).
  constexpr auto kMaxBytes = static_cast<u64>(std::numeric_limits<std::int64_t>::max());
  const auto n = static_cast<u64>(dimension);
  if (n > kMaxBytes / sizeof(u64)) internal_failure("dimension is too large: its list of axis lengths overflows");
  Shape shape(n, 1);
  return TypedExpr(make_leaf(Polynomial<f64>::filled(std::move(shape), value)));
}

}  // namespace

PyResult<OwnedRef> shape_array(const TypedExpr& tree) {
  Shape shape = visit_typed(tree, [](const auto& e) { return tree_shape(e); });
  // A fresh buffer handed to NumPy: changing the array never touches the tree.
  return shape_to_numpy(std::move(shape));
}

PyResult<TypedExpr> drop_params_typed(const TypedExpr& tree, PyObject* indices) {
  OwnedRef keep;
  const View<i64> view = view_of<i64>(indices, keep);
  std::vector<u64> positions;
  positions.reserve(view.shape[0]);
  const std::byte* p = view.data;
  for (u64 i = 0; i < view.shape[0]; ++i, p += view.strides[0]) {
    const i64 position = View<i64>::load(p);
    if (position < 0) return py_fail(PyExc_ValueError, "Negative indices not allowed");
    positions.push_back(static_cast<u64>(position));
  }
  return drop_axes_typed(tree, positions);
}

PyResult<TypedExpr> squeeze_typed(const TypedExpr& tree) {
  const Shape shape = visit_typed(tree, [](const auto& e) { return tree_shape(e); });
  return drop_axes_typed(tree, unit_axes(shape));
}

PyResult<OwnedRef> constant_value(const TypedExpr& tree) {
  return visit_typed(tree, [](const auto& e) -> PyResult<OwnedRef> {
    auto value = tree_constant(e);
    if (!value) return std::unexpected(eval_error_to_exception(value.error()));
    using T = std::decay_t<decltype(*value)>;
    PyObject* out;
    if constexpr (std::same_as<T, f64>) out = PyFloat_FromDouble(*value);
    else if constexpr (std::same_as<T, c64>) out = PyComplex_FromDoubles(value->re, value->im);
    else out = PyLong_FromLongLong(*value);
    if (out == nullptr) return py_fail_fetch();
    return OwnedRef::steal(out);
  });
}

PyResult<TypedExpr> zero_tree(std::int64_t dimension) { return constant_tree(dimension, 0.0); }

PyResult<TypedExpr> one_tree(std::int64_t dimension) { return constant_tree(dimension, 1.0); }

}  // namespace kestrum::py
