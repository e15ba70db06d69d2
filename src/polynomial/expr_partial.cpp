// Partial evaluation of a tree: every leaf through partial_eval, the nodes rebuilt around
// the new leaves. Lazy derivatives are made concrete first, so none survives.
#include <utility>

#include "expr.hpp"

namespace kestrum {

template <Element T>
EvalResult<Expr<T>> partial_tree(const Expr<T>& e, const std::vector<u64>& indices, std::span<const T> values) {
  check_stack_depth();
  return std::visit(
      [&](const auto& n) -> EvalResult<Expr<T>> {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<N, LeafNode<T>>) {
          auto p = partial_eval(n.coeffs, indices, values);
          if (!p) return fail(std::move(p).error());
          return make_leaf(std::move(*p));
        } else if constexpr (requires { n.left; }) {
          auto l = partial_tree(*n.left, indices, values);
          if (!l) return fail(std::move(l).error());  // the right child is not touched
          auto r = partial_tree(*n.right, indices, values);
          if (!r) return fail(std::move(r).error());
          return make_binary(e.kind(), std::move(*l), std::move(*r));
        } else if constexpr (std::is_same_v<N, ScaleNode<T>>) {
          auto c = partial_tree(*n.child, indices, values);
          if (!c) return fail(std::move(c).error());
          return make_scale(n.factor, std::move(*c));
        } else if constexpr (std::is_same_v<N, PowNode<T>>) {
          auto c = partial_tree(*n.child, indices, values);
          if (!c) return fail(std::move(c).error());
          return make_pow(std::move(*c), n.exponent);
        } else {
          static_assert(std::is_same_v<N, DerivNode<T>>);
          // The derivative is taken with the node's full orders before anything is
          // substituted; lazy nodes inside the derived tree are met again below.
          auto derived = derive_tree(*n.child, n.orders);
          if (!derived) return fail(std::move(derived).error());
          return partial_tree(*derived, indices, values);
        }
      },
      e.node);
}

#define KS_INSTANTIATE(T) \
  template EvalResult<Expr<T>> partial_tree(const Expr<T>&, const std::vector<u64>&, std::span<const T>);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
