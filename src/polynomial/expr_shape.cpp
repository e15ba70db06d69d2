// tree_shape (per-axis maximum of the leaf lengths) and tree_constant (the single number
// a tree stands for). Both only read the tree, with explicit stacks instead of recursion;
// nothing here builds a new one.
#include <utility>
#include <vector>

#include "expr.hpp"

namespace kestrum {

namespace {

/// The constant of one leaf: every coefficient off the all-zero index must be zero, and the
/// coefficient at that index is returned whatever its value.
template <Element T>
EvalResult<T> leaf_constant(const Polynomial<T>& coeffs) {
  // In row-major order the all-zero multi-index is flat position 0 and every later
  // position has some nonzero component, so the test needs no multi-index at all.
  for (u64 flat = 1; flat < coeffs.size(); ++flat) {
    if (!is_zero(coeffs[flat])) return fail(EvalError::message("Polynomial has non-constant terms"));
  }
  if (coeffs.size() == 0) internal_failure("Unwrapping a next on a single-valued iterator shouldn't pannic");
  return coeffs[0];
}

}  // namespace

template <Element T>
Shape tree_shape(const Expr<T>& e) {
  // The per-axis maximum over all leaves, as long as the shortest leaf shape: folding the
  // leaves one by one with max_shape gives the same list as combining the two children of
  // every binary node, since both the maximum and the truncation are associative and
  // commutative.
  const auto leaves = leaf_arrays(e);
  Shape result = leaves.front()->shape();
  for (std::size_t i = 1; i < leaves.size(); ++i) result = max_shape(result, leaves[i]->shape());
  return result;
}

template <Element T>
EvalResult<T> tree_constant(const Expr<T>& e) {
  // Post-order walk with explicit stacks, so a tree of any depth is reduced without deep
  // recursion. A node is visited twice: first to queue its children (a Div numerator
  // before its denominator), then to combine their values. The first failure ends the
  // walk, so a failing numerator keeps the denominator from being looked at.
  struct Frame {
    const Expr<T>* node;
    bool children_done;
  };
  std::vector<Frame> frames{{&e, false}};
  std::vector<T> values;
  while (!frames.empty()) {
    const Frame frame = frames.back();
    frames.pop_back();
    const Expr<T>& node = *frame.node;
    switch (node.kind()) {
      case Kind::Leaf: {
        auto value = leaf_constant(std::get<LeafNode<T>>(node.node).coeffs);
        if (!value) return value;
        values.push_back(*value);
        break;
      }
      case Kind::Add:
      case Kind::Sub:
      case Kind::Mul:
      case Kind::Deriv:
        // Refused without looking at the children: expanding first gives a reducible tree.
        return fail(EvalError::message("Attempted to get constant value on non-atomic expression. Try expanding?"));
      case Kind::Div: {
        const auto& n = std::get<BinaryNode<T, Kind::Div>>(node.node);
        if (!frame.children_done) {
          frames.push_back({&node, true});
          frames.push_back({n.right.get(), false});
          frames.push_back({n.left.get(), false});  // reduced first
          break;
        }
        const T den = values.back();
        values.pop_back();
        // i64: the checked division throws the internal failure for 0 and −2^63 / −1.
        values.back() = div(values.back(), den);
        break;
      }
      case Kind::Scale:
      case Kind::Pow: {
        if (!frame.children_done) {
          frames.push_back({&node, true});
          frames.push_back({first_child(node), false});
          break;
        }
        if (const auto* scale = std::get_if<ScaleNode<T>>(&node.node)) {
          values.back() = mul(scale->factor, values.back());
        } else {
          values.back() = element_power(values.back(), std::get<PowNode<T>>(node.node).exponent);
        }
        break;
      }
    }
  }
  return values.back();
}

#define KS_INSTANTIATE(T)                              \
  template Shape tree_shape(const Expr<T>&);           \
  template EvalResult<T> tree_constant(const Expr<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
