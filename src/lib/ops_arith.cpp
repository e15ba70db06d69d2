// The four operators: trees combined in the wider element type, and Python numbers turned
// into Scale factors. Operand order and NotImplemented rules are module.cpp's.
#include <optional>
#include <variant>

#include "numpy_api.hpp"
#include "ops.hpp"
#include "promote.hpp"
#include "tree_object.hpp"

namespace kestrum::py {

namespace {

/// A node of `kind` over both trees in their wider element type, left operand first.
PyResult<TypedExpr> combine(Kind kind, TypedExpr a, TypedExpr b) {
  // Casting keeps the leftmost leaf's number of axes, so the dimension check can come first.
  if (typed_dimension(a) != typed_dimension(b)) {
    return std::unexpected(eval_error_to_exception(EvalError::incompatible_composition()));
  }
  const Tag wider = width_rank(tag_of(a)) >= width_rank(tag_of(b)) ? tag_of(a) : tag_of(b);
  return visit_tag(wider, [&]<Element T>() -> PyResult<TypedExpr> {
    // Both operands are already copies owned by this call, so they become the children
    // directly instead of being copied once more.
    Expr<T> left = take_as<T>(std::move(a));
    Expr<T> right = take_as<T>(std::move(b));
    return TypedExpr(std::in_place_type<Expr<T>>, make_binary(kind, std::move(left), std::move(right)));
  });
}

/// A Python number read as the first of: integer, float, complex.
using Number = std::variant<i64, f64, c64>;

/// Reads `obj` as a number; every failed attempt's error is discarded. nullopt if none fits.
std::optional<Number> read_number(PyObject* obj) {
  if (OwnedRef index = OwnedRef::steal(PyNumber_Index(obj))) {
    const long k = PyLong_AsLong(index.get());
    if (!(k == -1 && PyErr_Occurred())) return Number(static_cast<i64>(k));
  }
  PyErr_Clear();
  // A complex value skips the float attempt: NumPy's complex scalars convert to float by
  // dropping their imaginary part, with no more than a warning.
  if (!PyComplex_Check(obj) && !is_numpy_complex(obj)) {
    const double x = PyFloat_AsDouble(obj);
    if (!(x == -1.0 && PyErr_Occurred())) return Number(x);
    PyErr_Clear();
  }
  const Py_complex z = PyComplex_AsCComplex(obj);
  if (!(z.real == -1.0 && PyErr_Occurred())) return Number(c64{z.real, z.imag});
  PyErr_Clear();
  return std::nullopt;
}

/// Scale(factor, tree) in the tree's own element type T (the tree is the call's own copy).
template <Element T>
TypedExpr scale_own(T factor, Expr<T>&& tree) {
  return TypedExpr(std::in_place_type<Expr<T>>, make_scale(factor, std::move(tree)));
}

/// The product of a tree and a real factor given as i64 (integer, only kept for an i64
/// tree) or f64. An i64 tree with a float factor becomes an f64 tree.
template <class R>
TypedExpr scale_real(TypedExpr&& tree, R factor) {
  switch (tag_of(tree)) {
    case Tag::I64:
      if constexpr (std::same_as<R, i64>) return scale_own<i64>(factor, std::get<Expr<i64>>(std::move(tree)));
      else return scale_own<f64>(factor, take_as<f64>(std::move(tree)));
    case Tag::F64:
      return scale_own<f64>(static_cast<f64>(factor), std::get<Expr<f64>>(std::move(tree)));
    case Tag::C64:
      return scale_own<c64>(c64{static_cast<f64>(factor), 0.0}, std::get<Expr<c64>>(std::move(tree)));
  }
  __builtin_unreachable();
}

/// scale_node: a complex factor always makes a c64 tree, stored whole.
TypedExpr scale_complex(const TypedExpr& tree, c64 factor) {
  return visit_typed(tree, [&](const auto& e) { return TypedExpr(std::in_place_type<Expr<c64>>, scale_node(e, factor)); });
}

}  // namespace

PyResult<TypedExpr> tree_add(TypedExpr a, TypedExpr b) { return combine(Kind::Add, std::move(a), std::move(b)); }

PyResult<TypedExpr> tree_sub(TypedExpr a, TypedExpr b) { return combine(Kind::Sub, std::move(a), std::move(b)); }

PyResult<TypedExpr> tree_mul(TypedExpr a, PyObject* other) {
  if (is_tree(other)) return combine(Kind::Mul, std::move(a), clone_typed(tree_of(other)));
  const std::optional<Number> n = read_number(other);
  if (!n) return py_fail(PyExc_ValueError, "Invalid type provided for multiplication");
  if (const auto* k = std::get_if<i64>(&*n)) return scale_real(std::move(a), *k);
  if (const auto* x = std::get_if<f64>(&*n)) return scale_real(std::move(a), *x);
  return scale_complex(a, std::get<c64>(*n));
}

PyResult<TypedExpr> tree_truediv(TypedExpr a, PyObject* other) {
  if (is_tree(other)) return combine(Kind::Div, std::move(a), clone_typed(tree_of(other)));
  const std::optional<Number> n = read_number(other);
  if (!n) return py_fail(PyExc_ValueError, "Invalid type provided for division");
  if (const auto* k = std::get_if<i64>(&*n)) return scale_real(std::move(a), 1.0 / static_cast<f64>(*k));
  if (const auto* x = std::get_if<f64>(&*n)) return scale_real(std::move(a), 1.0 / *x);
  // The inverse without scaling; 0.0 − q (not −q) so that a zero imaginary part gives +0.0.
  const c64 z = std::get<c64>(*n);
  const f64 norm = z.im * z.im + z.re * z.re;
  return scale_complex(a, c64{z.re / norm, 0.0 - z.im / norm});
}

}  // namespace kestrum::py
