// Tree casts to the same or a wider element type (cast_tree) and complex scaling
// (scale_node). The walk is iterative, so trees of any depth are cast.
#include <type_traits>
#include <utility>
#include <vector>

#include "expr.hpp"

namespace kestrum {

namespace {

/// The binary node of the same kind over element type To.
template <Element To, class Node> struct SameKind;
template <Element To, Element From, Kind K> struct SameKind<To, BinaryNode<From, K>> {
  using type = BinaryNode<To, K>;
};

}  // namespace

template <Element From, Element To>
Expr<To> cast_tree(const Expr<From>& e) {
  // Each task converts one source node into a destination slot: the node's own fields
  // (array, factor, orders, exponent) are converted first, then its children are queued,
  // the left (numerator) child before the right one.
  struct Task {
    const Expr<From>* source;
    ExprPtr<To>* slot;
  };
  std::vector<Task> tasks;
  auto convert = [&tasks](const Expr<From>& src) -> ExprPtr<To> {
    return std::visit(
        [&tasks](const auto& n) -> ExprPtr<To> {
          using N = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<N, LeafNode<From>>) {
            return boxed(make_leaf(cast_coefficients<From, To>(n.coeffs)));
          } else if constexpr (std::is_same_v<N, ScaleNode<From>>) {
            auto out = boxed(Expr<To>(ScaleNode<To>{cast_element<From, To>(n.factor), nullptr}));
            tasks.push_back({n.child.get(), &std::get<ScaleNode<To>>(out->node).child});
            return out;
          } else if constexpr (std::is_same_v<N, DerivNode<From>>) {
            auto out = boxed(Expr<To>(DerivNode<To>{nullptr, n.orders}));
            tasks.push_back({n.child.get(), &std::get<DerivNode<To>>(out->node).child});
            return out;
          } else if constexpr (std::is_same_v<N, PowNode<From>>) {
            auto out = boxed(Expr<To>(PowNode<To>{nullptr, n.exponent}));
            tasks.push_back({n.child.get(), &std::get<PowNode<To>>(out->node).child});
            return out;
          } else {
            // BinaryNode<From, K> becomes BinaryNode<To, K> of the same kind K.
            using Target = typename SameKind<To, N>::type;
            auto out = boxed(Expr<To>(Target{nullptr, nullptr}));
            auto& dst = std::get<Target>(out->node);
            tasks.push_back({n.right.get(), &dst.right});
            tasks.push_back({n.left.get(), &dst.left});  // popped first
            return out;
          }
        },
        src.node);
  };

  ExprPtr<To> root = convert(e);
  while (!tasks.empty()) {
    const Task t = tasks.back();
    tasks.pop_back();
    *t.slot = convert(*t.source);
  }
  return std::move(*root);
}

template <Element T>
Expr<c64> scale_node(const Expr<T>& e, c64 factor) {
  // The factor is kept whole (NaN and infinite parts included); the result is a c64 tree
  // even when its imaginary part is 0.
  return make_scale(factor, cast_tree<T, c64>(e));
}

#define KS_INSTANTIATE_CAST(FROM, TO) template Expr<TO> cast_tree<FROM, TO>(const Expr<FROM>&);
KS_INSTANTIATE_CAST(i64, i64)
KS_INSTANTIATE_CAST(i64, f64)
KS_INSTANTIATE_CAST(i64, c64)
KS_INSTANTIATE_CAST(f64, f64)
KS_INSTANTIATE_CAST(f64, c64)
KS_INSTANTIATE_CAST(c64, c64)
#undef KS_INSTANTIATE_CAST

#define KS_INSTANTIATE(T) template Expr<c64> scale_node(const Expr<T>&, c64);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
