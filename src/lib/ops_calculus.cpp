// deriv and integ (a lazy Deriv node over a copy of the tree) and the shared index-list
// conversion. The derivative itself is computed later, by evaluation or expansion.
#include "index_list.hpp"
#include "ops.hpp"
#include "promote.hpp"

namespace kestrum::py {

namespace {

/// A Deriv node over a copy of the tree; an i64 tree is made an f64 tree first. The orders
/// are taken as they are, of any length.
TypedExpr deriv_node(const TypedExpr& typed, std::vector<i64> orders) {
  switch (tag_of(typed)) {
    case Tag::F64:
      return TypedExpr(std::in_place_type<Expr<f64>>, make_deriv(clone_tree(std::get<Expr<f64>>(typed)), std::move(orders)));
    case Tag::C64:
      return TypedExpr(std::in_place_type<Expr<c64>>, make_deriv(clone_tree(std::get<Expr<c64>>(typed)), std::move(orders)));
    case Tag::I64:
      // The cast is already a fresh tree, so it becomes the child without another copy.
      return TypedExpr(std::in_place_type<Expr<f64>>, make_deriv(cast_typed<f64>(typed), std::move(orders)));
  }
  __builtin_unreachable();
}

PyResult<TypedExpr> deriv_with(const TypedExpr& tree, PyObject* indices, bool negate) {
  IndexList list;
  if (auto r = read_index_list(indices, list); !r) return std::unexpected(std::move(r.error()));
  std::vector<i64> orders = std::move(list.values);
  if (negate) {
    // Wrapping negation: −2^63 stays −2^63.
    for (i64& k : orders) k = static_cast<i64>(u64{0} - static_cast<u64>(k));
  }
  return deriv_node(tree, std::move(orders));
}

}  // namespace

std::expected<void, PyError> read_index_list(PyObject* indices, IndexList& out) {
  out.array = convert_array(indices, requested_typenum<i64>());
  if (!accepted_as<i64>(out.array.get()) || array_ndim(out.array.get()) != 1) {
    return std::unexpected(PyError::make(PyExc_ValueError, "Could not convert type"));
  }
  out.borrow.emplace(out.array.get());
  OwnedRef native;  // a native-order copy, when the array is byte-swapped
  const View<i64> view = view_of<i64>(out.array.get(), native);
  out.values.resize(view.shape[0]);
  for (u64 i = 0; i < view.shape[0]; ++i) {
    out.values[i] = View<i64>::load(view.data + static_cast<std::ptrdiff_t>(i) * view.strides[0]);
  }
  return {};
}

PyResult<TypedExpr> deriv_typed(const TypedExpr& tree, PyObject* indices) { return deriv_with(tree, indices, false); }

PyResult<TypedExpr> integ_typed(const TypedExpr& tree, PyObject* indices) { return deriv_with(tree, indices, true); }

}  // namespace kestrum::py
