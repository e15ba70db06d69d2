// Tree evaluation at points (eval_tree), lazy derivatives of trees evaluated without
// building a new tree (eval_derivative), and the merging of nested orders (sum_orders).
// The walks recurse and guard their depth with check_stack_depth().
#include <algorithm>
#include <utility>
#include <vector>

#include "expr.hpp"

namespace kestrum {

namespace {

/// left := left op right, element by element, left always the left operand. The two arrays
/// have the batch shape. i64 division throws InternalFailure at the first zero divisor or
/// −2^63 / −1, before anything is returned.
template <Element T>
void combine_in_place(Kind kind, Array<T>& left, const Array<T>& right) {
  if (left.size() != right.size()) internal_failure("value arrays of different sizes");
  T* l = left.data();
  const T* r = right.data();
  const u64 count = left.size();
  switch (kind) {
    case Kind::Add: for (u64 i = 0; i < count; ++i) l[i] = add(l[i], r[i]); return;
    case Kind::Sub: for (u64 i = 0; i < count; ++i) l[i] = sub(l[i], r[i]); return;
    case Kind::Mul: for (u64 i = 0; i < count; ++i) l[i] = mul(l[i], r[i]); return;
    case Kind::Div: for (u64 i = 0; i < count; ++i) l[i] = div(l[i], r[i]); return;
    default: internal_failure("combine_in_place called with a kind that has not two children");
  }
}

/// values := values · factor, the value as the left operand.
template <Element T>
void scale_in_place(Array<T>& values, T factor) {
  T* v = values.data();
  for (u64 i = 0; i < values.size(); ++i) v[i] = mul(v[i], factor);
}

/// The values of a binary node whose children are evaluated by `eval`: left first, and a
/// failure of the left child is returned before the right child is touched.
template <Element T, class Eval>
EvalResult<Array<T>> eval_pair(Kind kind, const Expr<T>& left, const Expr<T>& right, Eval&& eval) {
  auto lhs = eval(left);
  if (!lhs) return fail(std::move(lhs).error());
  auto rhs = eval(right);
  if (!rhs) return fail(std::move(rhs).error());
  combine_in_place(kind, *lhs, *rhs);
  return lhs;
}

/// The derivative of a product, D(a·b) = D(a)·b + a·D(b), for a single first derivative
/// (the only order lists for which it holds). Steps and failures in this order: D(a), b, D(a)·b, a,
/// D(b), a·D(b), then the sum.
template <Element T>
EvalResult<Array<T>> eval_derivative_product(const Expr<T>& a, const Expr<T>& b, const std::vector<i64>& orders,
                                             const View<T>& points) {
  auto first = eval_derivative(a, orders, points);
  if (!first) return first;
  auto b_values = eval_tree(b, points);
  if (!b_values) return fail(std::move(b_values).error());
  combine_in_place(Kind::Mul, *first, *b_values);
  auto second = eval_tree(a, points);
  if (!second) return second;
  auto b_derivative = eval_derivative(b, orders, points);
  if (!b_derivative) return fail(std::move(b_derivative).error());
  combine_in_place(Kind::Mul, *second, *b_derivative);
  combine_in_place(Kind::Add, *first, *second);
  return first;
}

}  // namespace

template <Element T>
EvalResult<Array<T>> eval_tree(const Expr<T>& e, const View<T>& points) {
  check_stack_depth();
  auto eval = [&points](const Expr<T>& child) { return eval_tree(child, points); };
  return std::visit(
      [&](const auto& n) -> EvalResult<Array<T>> {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<N, LeafNode<T>>) {
          return eval_points(n.coeffs, points);
        } else if constexpr (std::is_same_v<N, ScaleNode<T>>) {
          auto values = eval_tree(*n.child, points);
          if (values) scale_in_place(*values, n.factor);
          return values;
        } else if constexpr (std::is_same_v<N, DerivNode<T>>) {
          return eval_derivative(*n.child, n.orders, points);
        } else if constexpr (std::is_same_v<N, PowNode<T>>) {
          auto values = eval_tree(*n.child, points);
          if (values) {
            T* v = values->data();
            for (u64 i = 0; i < values->size(); ++i) v[i] = element_power(v[i], n.exponent);
          }
          return values;
        } else {
          return eval_pair(e.kind(), *n.left, *n.right, eval);
        }
      },
      e.node);
}

template <Element T>
EvalResult<Array<T>> eval_derivative(const Expr<T>& e, const std::vector<i64>& orders, const View<T>& points) {
  check_stack_depth();
  auto derive = [&](const Expr<T>& child) { return eval_derivative(child, orders, points); };
  switch (e.kind()) {
    case Kind::Leaf: {
      // Only the leaf's coefficients are differentiated; the new array lives for this call.
      auto derived = differentiate(std::get<LeafNode<T>>(e.node).coeffs, orders);
      if (!derived) return fail(std::move(derived).error());
      return eval_points(*derived, points);
    }
    case Kind::Add: {
      const auto& n = std::get<BinaryNode<T, Kind::Add>>(e.node);
      return eval_pair(Kind::Add, *n.left, *n.right, derive);
    }
    case Kind::Sub: {
      const auto& n = std::get<BinaryNode<T, Kind::Sub>>(e.node);
      return eval_pair(Kind::Sub, *n.left, *n.right, derive);
    }
    case Kind::Mul: {
      // The two-term product rule is right only for a single first derivative; every other
      // order list goes through the expansion or the general Leibniz rule.
      if (!is_single_first_derivative(orders)) return eval_product_derivative(e, orders, points);
      const auto& n = std::get<BinaryNode<T, Kind::Mul>>(e.node);
      return eval_derivative_product(*n.left, *n.right, orders, points);
    }
    case Kind::Div:
      return fail(EvalError::message("Derivatives and integrals of rationals are not supported."));
    case Kind::Scale: {
      const auto& n = std::get<ScaleNode<T>>(e.node);
      auto values = eval_derivative(*n.child, orders, points);
      if (values) scale_in_place(*values, n.factor);
      return values;
    }
    case Kind::Deriv: {
      // Nested derivatives collapse into one with summed orders, applied at the leaves.
      const auto& n = std::get<DerivNode<T>>(e.node);
      return eval_derivative(*n.child, sum_orders(orders, n.orders), points);
    }
    case Kind::Pow:
      return fail(EvalError::message("Derivatives and integrals of powers are not supported."));
  }
  internal_failure("unknown node kind");
}

std::vector<i64> sum_orders(const std::vector<i64>& outer, const std::vector<i64>& inner) {
  std::vector<i64> sum(std::min(outer.size(), inner.size()));
  for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = add(outer[i], inner[i]);
  return sum;
}

#define KS_INSTANTIATE(T)                                                                          \
  template EvalResult<Array<T>> eval_tree(const Expr<T>&, const View<T>&);                         \
  template EvalResult<Array<T>> eval_derivative(const Expr<T>&, const std::vector<i64>&, const View<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
