// Dropping parameters: kept_lengths and drop_axes, which rebuild a tree with the listed
// axes removed from every leaf. Deciding which axes to drop is left to the caller.
#include <algorithm>
#include <expected>
#include <limits>
#include <utility>
#include <vector>

#include "expr.hpp"

namespace kestrum {

namespace {

bool listed(u64 axis, const std::vector<u64>& positions) {
  return std::find(positions.begin(), positions.end(), axis) != positions.end();
}

/// Element count of a shape, saturating at u64 max. The count is only compared with the
/// size of an existing array, which never comes near that, so a product that overflows
/// (kept axes of huge lengths beside a removed empty one) simply compares unequal.
u64 saturating_count(const Shape& shape) {
  u64 count = 1;
  for (u64 len : shape) {
    if (len == 0) return 0;
  }
  for (u64 len : shape) {
    if (count > std::numeric_limits<u64>::max() / len) return std::numeric_limits<u64>::max();
    count *= len;
  }
  return count;
}

/// The range and length tests of one leaf, one position after the other in list order.
template <Element T>
std::expected<void, EvalError> check_leaf(const Polynomial<T>& coeffs, const std::vector<u64>& positions) {
  for (u64 p : positions) {
    if (p >= coeffs.ndim()) return fail(EvalError::message("Could not get axis to drop"));
    if (coeffs.shape()[p] > 1) return fail(EvalError::message("Attempted to drop a non-empty axis"));
  }
  return {};
}

/// The range and length tests of every leaf of a tree, leftmost leaf first.
template <Element T>
std::expected<void, EvalError> check_leaves(const Expr<T>& e, const std::vector<u64>& positions) {
  check_stack_depth();
  return std::visit(
      [&](const auto& n) -> std::expected<void, EvalError> {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<N, LeafNode<T>>) {
          return check_leaf(n.coeffs, positions);
        } else if constexpr (requires { n.left; }) {
          auto left = check_leaves(*n.left, positions);
          if (!left) return left;
          return check_leaves(*n.right, positions);
        } else {
          return check_leaves(*n.child, positions);
        }
      },
      e.node);
}

/// Whether some Deriv node of the tree has a nonzero order at a listed position, or an
/// order list too short to hold one.
template <Element T>
bool has_active_dropped_order(const Expr<T>& e, const std::vector<u64>& positions) {
  check_stack_depth();
  return std::visit(
      [&](const auto& n) -> bool {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<N, LeafNode<T>>) {
          return false;
        } else if constexpr (requires { n.left; }) {
          return has_active_dropped_order(*n.left, positions) || has_active_dropped_order(*n.right, positions);
        } else {
          if constexpr (std::is_same_v<N, DerivNode<T>>) {
            for (u64 p : positions) {
              if (p >= n.orders.size() || n.orders[p] != 0) return true;
            }
          }
          return has_active_dropped_order(*n.child, positions);
        }
      },
      e.node);
}

std::vector<i64> kept_orders(const std::vector<i64>& orders, const std::vector<u64>& positions) {
  std::vector<i64> kept;
  for (u64 a = 0; a < orders.size(); ++a) {
    if (!listed(a, positions)) kept.push_back(orders[a]);
  }
  return kept;
}

template <Element T>
EvalResult<Expr<T>> drop_leaf(const Polynomial<T>& coeffs, const std::vector<u64>& positions) {
  if (auto ok = check_leaf(coeffs, positions); !ok) return fail(std::move(ok).error());
  Shape shape = kept_lengths(coeffs.shape(), positions);
  // A removed axis of length 0 with every kept axis non-empty would conjure coefficients
  // out of an empty array; the counts are compared before anything is copied.
  if (saturating_count(shape) != coeffs.size()) return fail(EvalError::message("Invalid shape in drop operation"));
  Polynomial<T> copy = coeffs;
  copy.reshape(std::move(shape));
  return make_leaf(std::move(copy));
}

template <Element T>
EvalResult<Expr<T>> drop_walk(const Expr<T>& e, const std::vector<u64>& positions, bool lazy_ok);

/// A Deriv node under dropped parameters. Its orders reach the leaves summed with those of
/// every enclosing Deriv node (and alone where a product evaluates an undifferentiated
/// factor), so the rule is chosen at the outermost Deriv node, for its whole subtree:
///  - Every Deriv node of the subtree has order 0 at every dropped position: those axes
///    have length at most 1 in every leaf and are neither differentiated nor integrated.
///    Removing the same positions from every order list and from every leaf keeps each
///    derivative, and so each value, and keeps each list's length matched (or mismatched)
///    with the leaves' number of axes. The node stays lazy.
///  - Otherwise (a nonzero order at a dropped position, or a list too short to have one)
///    the derivative is made concrete with derive_tree, as expand and partial do, and the
///    axes are dropped from that tree. An integral along a dropped axis gives the leaves a
///    dependence on that parameter and is refused as a non-empty axis; a derivative along
///    it leaves an axis of length 0, which is treated like any other. The leaves are tested
///    first, so a position that is no droppable axis of the tree is reported as such rather
///    than as a derivative error.
/// Either way the result has the original's values wherever the original can be evaluated.
template <Element T>
EvalResult<Expr<T>> drop_deriv(const Expr<T>& e, const DerivNode<T>& n, const std::vector<u64>& positions,
                               bool lazy_ok) {
  if (lazy_ok || !has_active_dropped_order(e, positions)) {
    auto child = drop_walk(*n.child, positions, true);
    if (!child) return child;
    return make_deriv(std::move(*child), kept_orders(n.orders, positions));
  }
  if (auto ok = check_leaves(*n.child, positions); !ok) return fail(std::move(ok).error());
  auto concrete = derive_tree(*n.child, n.orders);
  if (!concrete) return concrete;
  return drop_walk(*concrete, positions, false);
}

/// The walk. `lazy_ok` is set below a Deriv node whose whole subtree was found to have
/// order 0 at every dropped position, so the test is not repeated for each inner node.
template <Element T>
EvalResult<Expr<T>> drop_walk(const Expr<T>& e, const std::vector<u64>& positions, bool lazy_ok) {
  check_stack_depth();
  return std::visit(
      [&](const auto& n) -> EvalResult<Expr<T>> {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<N, LeafNode<T>>) {
          return drop_leaf(n.coeffs, positions);
        } else if constexpr (requires { n.left; }) {
          auto left = drop_walk(*n.left, positions, lazy_ok);
          if (!left) return left;  // the right child is not looked at
          auto right = drop_walk(*n.right, positions, lazy_ok);
          if (!right) return right;
          return make_binary(e.kind(), std::move(*left), std::move(*right));
        } else if constexpr (std::is_same_v<N, ScaleNode<T>>) {
          auto child = drop_walk(*n.child, positions, lazy_ok);
          if (!child) return child;
          return make_scale(n.factor, std::move(*child));
        } else if constexpr (std::is_same_v<N, PowNode<T>>) {
          auto child = drop_walk(*n.child, positions, lazy_ok);
          if (!child) return child;
          return make_pow(std::move(*child), n.exponent);
        } else {
          static_assert(std::is_same_v<N, DerivNode<T>>);
          return drop_deriv(e, n, positions, lazy_ok);
        }
      },
      e.node);
}

}  // namespace

Shape kept_lengths(const Shape& shape, const std::vector<u64>& positions) {
  Shape kept;
  for (u64 a = 0; a < shape.size(); ++a) {
    if (!listed(a, positions)) kept.push_back(shape[a]);
  }
  return kept;
}

template <Element T>
EvalResult<Expr<T>> drop_axes(const Expr<T>& e, const std::vector<u64>& positions) {
  return drop_walk(e, positions, false);
}

#define KS_INSTANTIATE(T) template EvalResult<Expr<T>> drop_axes(const Expr<T>&, const std::vector<u64>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
