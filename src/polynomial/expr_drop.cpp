// Dropping parameters: kept_lengths and drop_axes, which rebuild a tree with the listed
// axes removed from every leaf, walking with explicit stacks. Deciding which axes to drop
// is left to the caller.
#include <algorithm>
#include <expected>
#include <limits>
#include <memory>
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

/// Pushes the children of an inner node so that the left (or only) child is popped first.
template <Element T>
void push_children(const Expr<T>& e, std::vector<const Expr<T>*>& stack) {
  std::visit(
      [&stack](const auto& n) {
        if constexpr (requires { n.left; }) {
          stack.push_back(n.right.get());
          stack.push_back(n.left.get());
        } else if constexpr (requires { n.child; }) {
          stack.push_back(n.child.get());
        }
      },
      e.node);
}

/// The range and length tests of every leaf of a tree, leftmost leaf first.
template <Element T>
std::expected<void, EvalError> check_leaves(const Expr<T>& e, const std::vector<u64>& positions) {
  for (const Polynomial<T>* leaf : leaf_arrays(e)) {
    if (auto ok = check_leaf(*leaf, positions); !ok) return ok;
  }
  return {};
}

/// Whether some Deriv node of the tree has a nonzero order at a listed position, or an
/// order list too short to hold one.
template <Element T>
bool has_active_dropped_order(const Expr<T>& e, const std::vector<u64>& positions) {
  std::vector<const Expr<T>*> stack{&e};
  while (!stack.empty()) {
    const Expr<T>* node = stack.back();
    stack.pop_back();
    if (const auto* d = std::get_if<DerivNode<T>>(&node->node)) {
      for (u64 p : positions) {
        if (p >= d->orders.size() || d->orders[p] != 0) return true;
      }
    }
    push_children(*node, stack);
  }
  return false;
}

/// The entries whose position is not listed, in ascending order of position.
template <class V>
std::vector<V> unlisted_entries(const std::vector<V>& entries, const std::vector<u64>& positions) {
  std::vector<V> kept;
  for (u64 a = 0; a < entries.size(); ++a) {
    if (!listed(a, positions)) kept.push_back(entries[a]);
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

}  // namespace

Shape kept_lengths(const Shape& shape, const std::vector<u64>& positions) {
  return unlisted_entries(shape, positions);
}

template <Element T>
EvalResult<Expr<T>> drop_axes(const Expr<T>& e, const std::vector<u64>& positions) {
  // Post-order rebuild with explicit stacks, so a tree of any depth is safe. Every node is
  // visited in the order of a left-to-right recursive walk: its own tests first, then its
  // children left before right, then it is rebuilt from their results. The first failure
  // ends the walk and everything built so far is discarded.
  //
  // A Deriv node's orders reach the leaves summed with those of every enclosing Deriv node
  // (and alone where a product evaluates an undifferentiated factor), so the rule for Deriv
  // nodes is chosen at the outermost one, for its whole subtree:
  //  - Every Deriv node of the subtree has order 0 at every dropped position: those axes
  //    have length at most 1 in every leaf and are neither differentiated nor integrated.
  //    Removing the same positions from every order list and from every leaf keeps each
  //    derivative, and so each value, and keeps each list's length matched (or mismatched)
  //    with the leaves' number of axes. The nodes stay lazy (`lazy_ok` below them).
  //  - Otherwise (a nonzero order at a dropped position, or a list too short to have one)
  //    the derivative is made concrete with derive_tree, as expand and partial do, and the
  //    axes are dropped from that tree in its place. An integral along a dropped axis gives
  //    the leaves a dependence on that parameter and is refused as a non-empty axis; a
  //    derivative along it leaves an axis of length 0, which is treated like any other. The
  //    leaves are tested first, so a position that is no droppable axis of the tree is
  //    reported as such rather than as a derivative error.
  // Either way the result has the original's values wherever the original can be evaluated.
  struct Frame {
    const Expr<T>* node;
    bool lazy_ok;
    bool children_done;
  };
  std::vector<Frame> frames{{&e, false, false}};
  std::vector<Expr<T>> results;
  std::vector<ExprPtr<T>> keep;  // derivatives made concrete; frames point into them

  while (!frames.empty()) {
    const Frame frame = frames.back();
    frames.pop_back();
    const Expr<T>& node = *frame.node;
    if (frame.children_done) {
      // Rebuild from the children's results (the last one on top).
      std::visit(
          [&](const auto& n) {
            using N = std::decay_t<decltype(n)>;
            if constexpr (requires { n.left; }) {
              Expr<T> right = std::move(results.back());
              results.pop_back();
              results.back() = make_binary(node.kind(), std::move(results.back()), std::move(right));
            } else if constexpr (std::is_same_v<N, ScaleNode<T>>) {
              results.back() = make_scale(n.factor, std::move(results.back()));
            } else if constexpr (std::is_same_v<N, PowNode<T>>) {
              results.back() = make_pow(std::move(results.back()), n.exponent);
            } else if constexpr (std::is_same_v<N, DerivNode<T>>) {
              results.back() = make_deriv(std::move(results.back()), unlisted_entries(n.orders, positions));
            }
          },
          node.node);
      continue;
    }
    if (const auto* leaf = std::get_if<LeafNode<T>>(&node.node)) {
      auto dropped = drop_leaf(leaf->coeffs, positions);
      if (!dropped) return dropped;
      results.push_back(std::move(*dropped));
      continue;
    }
    bool lazy_ok = frame.lazy_ok;
    if (const auto* d = std::get_if<DerivNode<T>>(&node.node); d != nullptr && !lazy_ok) {
      if (has_active_dropped_order(node, positions)) {
        if (auto ok = check_leaves(*d->child, positions); !ok) return fail(std::move(ok).error());
        auto derived = derive_tree(*d->child, d->orders);
        if (!derived) return derived;
        keep.push_back(boxed(std::move(*derived)));
        frames.push_back({keep.back().get(), false, false});  // its result stands for this node
        continue;
      }
      lazy_ok = true;
    }
    frames.push_back({&node, lazy_ok, true});
    std::visit(
        [&](const auto& n) {
          if constexpr (requires { n.left; }) {
            frames.push_back({n.right.get(), lazy_ok, false});
            frames.push_back({n.left.get(), lazy_ok, false});  // processed first
          } else if constexpr (requires { n.child; }) {
            frames.push_back({n.child.get(), lazy_ok, false});
          }
        },
        node.node);
  }
  return std::move(results.back());
}

#define KS_INSTANTIATE(T) template EvalResult<Expr<T>> drop_axes(const Expr<T>&, const std::vector<u64>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
