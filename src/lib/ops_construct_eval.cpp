// The constructor and the call: NumPy data to a one-leaf tree, and a tree evaluated at NumPy
// points with the points' element type promoting the tree. Argument parsing is module.cpp's.
#include <memory>
#include <optional>
#include <variant>

#include "numpy_api.hpp"
#include "ops.hpp"
#include "promote.hpp"

namespace kestrum::py {

/// The prepared evaluation of an object's tree when the tree is one leaf (its alternative
/// is the tree's element type). Evaluating the same tree at the tree's own element type
/// always prepares the same plan, since it depends on the coefficients alone; kept, it
/// spares every later call that work.
struct EvalCache {
  std::variant<PreparedPolynomials<f64>, PreparedPolynomials<c64>, PreparedPolynomials<i64>> prepared;
};

void EvalCacheDelete::operator()(EvalCache* cache) const noexcept { delete cache; }

namespace {

/// Largest leaf whose plan an object keeps: the plan takes a few times the memory of the
/// coefficients, so a larger leaf prepares its plan per call and keeps nothing.
constexpr u64 kKeptPlanMaxCoefficients = u64{1} << 14;

/// An owned row-major copy of a strided view (any number of axes, none included).
template <Element T>
Array<T> copy_view(const View<T>& v) {
  Array<T> out = Array<T>::uninitialized(v.shape);
  for (IndexWalk w(v.shape); w.valid(); w.next()) {
    const std::byte* p = v.data;
    for (std::size_t ax = 0; ax < v.ndim(); ++ax) p += static_cast<std::ptrdiff_t>(w.index()[ax]) * v.strides[ax];
    out[w.flat()] = View<T>::load(p);
  }
  return out;
}

/// A one-leaf tree holding a copy of an accepted array; the array is read-only meanwhile.
template <Element T>
TypedExpr leaf_from(PyObject* array) {
  ReadOnlyBorrow borrow(array);
  OwnedRef native;  // a native-order copy, when the array is byte-swapped
  return TypedExpr(std::in_place_type<Expr<T>>, make_leaf(copy_view(view_of<T>(array, native))));
}

/// Evaluates `tree` at the borrowed points and hands the values to NumPy. `cache`, when
/// given, is the cache of the object that holds `tree`: a small one-leaf tree then uses the
/// plan kept there, preparing it first when there is none yet.
template <Element T>
PyResult<OwnedRef> evaluate_to_array(const Expr<T>& tree, PyObject* points,
                                     std::unique_ptr<EvalCache, EvalCacheDelete>* cache) {
  OwnedRef native;
  const View<T> view = view_of<T>(points, native);
  const auto* leaf = std::get_if<LeafNode<T>>(&tree.node);
  EvalResult<Array<T>> values = [&] {
    if (cache == nullptr || leaf == nullptr || leaf->coeffs.size() > kKeptPlanMaxCoefficients) {
      return eval_tree(tree, view);
    }
    if (*cache == nullptr) {
      cache->reset(new EvalCache{PreparedPolynomials<T>(std::vector<const Polynomial<T>*>{&leaf->coeffs})});
    }
    return eval_points(std::get<PreparedPolynomials<T>>((*cache)->prepared), view);
  }();
  if (!values) return std::unexpected(eval_error_to_exception(values.error()));
  return to_numpy(std::move(*values));
}

/// One attempt of the call: converts `vals` itself to P. nullopt when NumPy gives another
/// type (the next attempt follows); otherwise the final outcome of the call.
template <Element P>
std::optional<PyResult<OwnedRef>> evaluate_as(ExpressionTreeObject& object, PyObject* vals) {
  const TypedExpr& typed = object.tree;
  OwnedRef points = convert_array(vals, requested_typenum<P>());
  if (!accepted_as<P>(points.get())) return std::nullopt;
  // Declared after `points`, so the flag is restored before the array is released, on
  // every path including an internal failure.
  ReadOnlyBorrow borrow(points.get());
  const int nd = array_ndim(points.get());
  if (nd == 0) internal_failure("index out of bounds: the points have no axis, so there is no last axis to read");
  if (array_dim(points.get(), nd - 1) != typed_dimension(typed)) {
    return PyResult<OwnedRef>(std::unexpected(eval_error_to_exception(EvalError::incompatible_shape())));
  }
  if (const auto* same = std::get_if<Expr<P>>(&typed)) {
    return evaluate_to_array(*same, points.get(), &object.eval_cache);
  }
  // Wider points: a temporary cast of the tree; the receiver keeps its element type.
  const Expr<P> cast = cast_typed<P>(typed);
  return evaluate_to_array(cast, points.get(), nullptr);
}

}  // namespace

PyResult<TypedExpr> tree_from_values(PyObject* vals) {
  // Each conversion starts from the previous array, so the type only ever widens.
  OwnedRef a1 = convert_array(vals, requested_typenum<i64>());
  if (accepted_as<i64>(a1.get())) return leaf_from<i64>(a1.get());
  OwnedRef a2 = convert_array(a1.get(), requested_typenum<f64>());
  if (accepted_as<f64>(a2.get())) return leaf_from<f64>(a2.get());
  OwnedRef a3 = convert_array(a2.get(), requested_typenum<c64>());
  if (accepted_as<c64>(a3.get())) return leaf_from<c64>(a3.get());
  return py_fail(PyExc_ValueError, "Unsupported data type returned");
}

PyResult<OwnedRef> evaluate_at_points(ExpressionTreeObject& object, PyObject* vals) {
  // The attempts are the element types at least as wide as the tree's, narrowest first.
  const int rank = width_rank(tag_of(object.tree));
  if (rank <= width_rank<i64>()) {
    if (auto out = evaluate_as<i64>(object, vals)) return std::move(*out);
  }
  if (rank <= width_rank<f64>()) {
    if (auto out = evaluate_as<f64>(object, vals)) return std::move(*out);
  }
  if (auto out = evaluate_as<c64>(object, vals)) return std::move(*out);
  return std::unexpected(eval_error_to_exception(EvalError::unsupported_dtype()));
}

}  // namespace kestrum::py
