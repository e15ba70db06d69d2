// Tree evaluation at points (eval_tree), lazy derivatives of trees evaluated without
// building a new tree (eval_derivative), and the merging of nested orders (sum_orders).
// The walk uses an explicit stack; only the product rule of derivatives recurses, guarded by
// check_stack_depth().
#include <algorithm>
#include <deque>
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

template <Element T>
EvalResult<Array<T>> walk(const Expr<T>& root, const std::vector<i64>* orders, const View<T>& points);

/// The derivative of a product, D(a·b) = D(a)·b + a·D(b), for a single first derivative
/// (the only order lists for which it holds). Steps and failures in this order: D(a), b, D(a)·b, a,
/// D(b), a·D(b), then the sum.
template <Element T>
EvalResult<Array<T>> eval_derivative_product(const Expr<T>& a, const Expr<T>& b, const std::vector<i64>& orders,
                                             const View<T>& points) {
  auto first = walk(a, &orders, points);
  if (!first) return first;
  auto b_values = walk(b, nullptr, points);
  if (!b_values) return fail(std::move(b_values).error());
  combine_in_place(Kind::Mul, *first, *b_values);
  auto second = walk(a, nullptr, points);
  if (!second) return second;
  auto b_derivative = walk(b, &orders, points);
  if (!b_derivative) return fail(std::move(b_derivative).error());
  combine_in_place(Kind::Mul, *second, *b_derivative);
  combine_in_place(Kind::Add, *first, *second);
  return first;
}

/// The values of `root` (orders == nullptr) or of its derivative by *orders. A post-order
/// walk with an explicit stack, so trees of any depth are evaluated; only the product rule
/// recurses, and it comes back here with its depth guarded. A task is visited once before
/// its children and once after; the children's values wait on `values`, left below right.
/// The left child is finished before the right one is started, so the first failure
/// returned is the left one's.
template <Element T>
EvalResult<Array<T>> walk(const Expr<T>& root, const std::vector<i64>* orders, const View<T>& points) {
  check_stack_depth();
  struct Task {
    const Expr<T>* node;
    const std::vector<i64>* orders;  // null: the node's values; else its derivative
    bool expanded;
  };
  std::vector<Task> tasks{{&root, orders, false}};
  std::vector<Array<T>> values;
  std::deque<std::vector<i64>> summed;  // orders of nested Deriv nodes; a deque keeps them in place

  while (!tasks.empty()) {
    const Task task = tasks.back();
    const Expr<T>& node = *task.node;
    if (task.expanded) {
      // Every child's value is on `values`: combine them.
      tasks.pop_back();
      switch (node.kind()) {
        case Kind::Scale: scale_in_place(values.back(), std::get<ScaleNode<T>>(node.node).factor); break;
        case Kind::Pow: {
          const u64 exponent = std::get<PowNode<T>>(node.node).exponent;
          T* data = values.back().data();
          for (u64 i = 0; i < values.back().size(); ++i) data[i] = element_power(data[i], exponent);
          break;
        }
        case Kind::Deriv: break;  // the child's derivative is the node's value
        default: {
          Array<T> right = std::move(values.back());
          values.pop_back();
          combine_in_place(node.kind(), values.back(), right);
        }
      }
      continue;
    }
    tasks.back().expanded = true;
    auto push = [&tasks](const ExprPtr<T>& child, const std::vector<i64>* child_orders) {
      tasks.push_back({child.get(), child_orders, false});
    };
    auto finish = [&](EvalResult<Array<T>>& v) -> bool {
      if (!v) return false;
      values.push_back(std::move(*v));
      tasks.pop_back();
      return true;
    };

    if (task.orders == nullptr) {
      switch (node.kind()) {
        case Kind::Leaf: {
          auto v = eval_points(std::get<LeafNode<T>>(node.node).coeffs, points);
          if (!finish(v)) return v;
          break;
        }
        case Kind::Deriv: {
          const auto& n = std::get<DerivNode<T>>(node.node);
          push(n.child, &n.orders);
          break;
        }
        default:
          // Right child pushed first, so the left one is evaluated first.
          std::visit(
              [&push](const auto& n) {
                if constexpr (requires { n.left; }) {
                  push(n.right, nullptr);
                  push(n.left, nullptr);
                } else if constexpr (requires { n.child; }) {
                  push(n.child, nullptr);
                }
              },
              node.node);
      }
      continue;
    }

    const std::vector<i64>& d = *task.orders;
    switch (node.kind()) {
      case Kind::Leaf: {
        // Only the leaf's coefficients are differentiated; the new array lives for this step.
        auto derived = differentiate(std::get<LeafNode<T>>(node.node).coeffs, d);
        if (!derived) return fail(std::move(derived).error());
        auto v = eval_points(*derived, points);
        if (!finish(v)) return v;
        break;
      }
      case Kind::Add: {
        const auto& n = std::get<BinaryNode<T, Kind::Add>>(node.node);
        push(n.right, &d);
        push(n.left, &d);
        break;
      }
      case Kind::Sub: {
        const auto& n = std::get<BinaryNode<T, Kind::Sub>>(node.node);
        push(n.right, &d);
        push(n.left, &d);
        break;
      }
      case Kind::Mul: {
        // The two-term product rule is right only for a single first derivative; every other
        // order list goes through the expansion or the general Leibniz rule.
        const auto& n = std::get<BinaryNode<T, Kind::Mul>>(node.node);
        auto v = is_single_first_derivative(d) ? eval_derivative_product(*n.left, *n.right, d, points)
                                               : eval_product_derivative(node, d, points);
        if (!finish(v)) return v;
        break;
      }
      case Kind::Div:
        return fail(EvalError::message("Derivatives and integrals of rationals are not supported."));
      case Kind::Scale:
        push(std::get<ScaleNode<T>>(node.node).child, &d);
        break;
      case Kind::Deriv: {
        // Nested derivatives collapse into one with summed orders, applied at the leaves.
        const auto& n = std::get<DerivNode<T>>(node.node);
        summed.push_back(sum_orders(d, n.orders));
        push(n.child, &summed.back());
        break;
      }
      case Kind::Pow:
        return fail(EvalError::message("Derivatives and integrals of powers are not supported."));
    }
  }
  if (values.size() != 1) internal_failure("tree evaluation left an unbalanced value stack");
  return std::move(values.back());
}

}  // namespace

template <Element T>
EvalResult<Array<T>> eval_tree(const Expr<T>& e, const View<T>& points) {
  return walk(e, nullptr, points);
}

template <Element T>
EvalResult<Array<T>> eval_derivative(const Expr<T>& e, const std::vector<i64>& orders, const View<T>& points) {
  return walk(e, &orders, points);
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
