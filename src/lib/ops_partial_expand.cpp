// The bodies of partial() and expand(): argument conversion, the element-type attempts for
// the values, and the calls into the tree. Argument parsing lives in module.cpp.
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index_list.hpp"
#include "numpy_api.hpp"
#include "ops.hpp"

namespace kestrum::py {

namespace {

/// Runs partial_tree on `tree` (of the values' element type) with the values of the
/// borrowed one-axis array. The values are read through a view, so byte-swapped or
/// unaligned memory is read by value; they are copied into a list the call owns.
template <Element T>
PyResult<TypedExpr> partial_with(const Expr<T>& tree, const std::vector<u64>& positions, PyObject* values_array) {
  if (!array_is_contiguous(values_array)) return py_fail(PyExc_ValueError, "Could not convert values to slice");
  OwnedRef keep;
  const View<T> view = view_of<T>(values_array, keep);
  std::vector<T> values(view.shape[0]);
  for (u64 i = 0; i < values.size(); ++i) {
    values[i] = View<T>::load(view.data + static_cast<std::ptrdiff_t>(i) * view.strides[0]);
  }
  auto result = partial_tree(tree, positions, std::span<const T>(values));
  if (!result) return std::unexpected(eval_error_to_exception(result.error()));
  return TypedExpr(std::move(*result));
}

/// One attempt of the values conversion: the converted array when NumPy gives a one-axis
/// array of exactly T, else nothing (the refused array is released).
template <Element T>
std::optional<OwnedRef> try_values_as(PyObject* values) {
  OwnedRef array = convert_array(values, requested_typenum<T>());
  if (!is_ndarray(array.get()) || !accepted_as<T>(array.get()) || array_ndim(array.get()) != 1) return std::nullopt;
  return array;
}

/// The attempts for a tree of element type From, narrowest first; each wider attempt runs
/// on a temporary cast of the tree (the receiver's tree is never changed).
template <Element From, Element T, Element... Wider>
PyResult<TypedExpr> partial_attempts(const Expr<From>& tree, const std::vector<u64>& positions, PyObject* values) {
  if (std::optional<OwnedRef> array = try_values_as<T>(values)) {
    ReadOnlyBorrow borrow(array->get());
    if constexpr (std::same_as<From, T>) {
      return partial_with<T>(tree, positions, array->get());
    } else {
      const Expr<T> cast = cast_tree<From, T>(tree);
      return partial_with<T>(cast, positions, array->get());
    }
  }
  if constexpr (sizeof...(Wider) > 0) {
    return partial_attempts<From, Wider...>(tree, positions, values);
  } else {
    return py_fail(PyExc_ValueError, "Unsupported data type for evaluation");
  }
}

}  // namespace

PyResult<TypedExpr> partial_typed(const TypedExpr& typed, PyObject* indices, PyObject* values) {
  // The indices borrow outlives every values borrow, so it is given back last.
  IndexList list;
  if (auto r = read_index_list(indices, list); !r) return std::unexpected(std::move(r.error()));
  std::vector<u64> positions;
  positions.reserve(list.values.size());
  for (i64 k : list.values) {
    if (k < 0) return py_fail(PyExc_ValueError, "Could not convert data type");
    positions.push_back(static_cast<u64>(k));
  }
  switch (tag_of(typed)) {
    case Tag::C64: return partial_attempts<c64, c64>(std::get<Expr<c64>>(typed), positions, values);
    case Tag::F64: return partial_attempts<f64, f64, c64>(std::get<Expr<f64>>(typed), positions, values);
    case Tag::I64: return partial_attempts<i64, i64, f64, c64>(std::get<Expr<i64>>(typed), positions, values);
  }
  __builtin_unreachable();
}

PyResult<TypedExpr> expand_typed(const TypedExpr& typed) {
  return visit_typed(typed, [](const auto& tree) -> PyResult<TypedExpr> {
    auto expansion = expand_tree(tree);
    if (!expansion) return std::unexpected(eval_error_to_exception(expansion.error()));
    auto result = tree_from_expansion(*expansion);
    if (!result) return std::unexpected(eval_error_to_exception(result.error()));
    return TypedExpr(std::move(*result));
  });
}

}  // namespace kestrum::py
