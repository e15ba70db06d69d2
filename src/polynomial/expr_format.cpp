// The one-line, fully parenthesised text of a tree. The walk uses an explicit stack, so a
// tree of any depth prints without deep recursion; leaves and numbers come from format.cpp.
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "expr.hpp"

namespace kestrum {

namespace {

/// One pending piece of output: a node to render, a fixed text, or the closing part of a
/// Deriv or Pow node (which needs the node's own fields).
template <Element T>
struct Piece {
  enum class What { Node, Text, DerivTail, PowTail } what;
  const Expr<T>* node;
  std::string_view text;
};

void append_orders(std::string& out, const std::vector<i64>& orders) {
  out.push_back('[');
  for (std::size_t k = 0; k < orders.size(); ++k) {
    if (k != 0) out.append(", ");
    format_number(out, orders[k]);
  }
  out.push_back(']');
}

void append_unsigned(std::string& out, u64 n) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  (void)ec;  // 20 digits at most
  out.append(buf, end);
}

}  // namespace

template <Element T>
void format_tree(std::string& out, const Expr<T>& e) {
  using P = Piece<T>;
  using W = typename P::What;
  // Pieces are pushed in reverse of their output order, so the left child is always
  // rendered (completely) before anything to its right.
  std::vector<P> stack;
  stack.push_back({W::Node, &e, {}});
  while (!stack.empty()) {
    const P top = stack.back();
    stack.pop_back();
    switch (top.what) {
      case W::Text:
        out.append(top.text);
        continue;
      case W::DerivTail:
        out.append(", ");
        append_orders(out, std::get<DerivNode<T>>(top.node->node).orders);
        out.push_back(')');
        continue;
      case W::PowTail:
        out.append(", ");
        append_unsigned(out, std::get<PowNode<T>>(top.node->node).exponent);
        out.push_back(')');
        continue;
      case W::Node:
        break;
    }
    std::visit(
        [&](const auto& n) {
          using N = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<N, LeafNode<T>>) {
            format_terms(out, n.coeffs);
          } else if constexpr (requires { n.left; }) {
            constexpr std::string_view middle = [] {
              if constexpr (std::is_same_v<N, BinaryNode<T, Kind::Add>>) return ") + (";
              else if constexpr (std::is_same_v<N, BinaryNode<T, Kind::Sub>>) return ") - (";
              else if constexpr (std::is_same_v<N, BinaryNode<T, Kind::Mul>>) return ") * (";
              else return ") / (";
            }();
            out.push_back('(');
            stack.push_back({W::Text, nullptr, ")"});
            stack.push_back({W::Node, n.right.get(), {}});
            stack.push_back({W::Text, nullptr, middle});
            stack.push_back({W::Node, n.left.get(), {}});
          } else if constexpr (std::is_same_v<N, ScaleNode<T>>) {
            format_number(out, n.factor);
            out.append(" * (");
            stack.push_back({W::Text, nullptr, ")"});
            stack.push_back({W::Node, n.child.get(), {}});
          } else if constexpr (std::is_same_v<N, DerivNode<T>>) {
            out.append("deriv(");
            stack.push_back({W::DerivTail, top.node, {}});
            stack.push_back({W::Node, n.child.get(), {}});
          } else {
            static_assert(std::is_same_v<N, PowNode<T>>);
            out.append("pow(");
            stack.push_back({W::PowTail, top.node, {}});
            stack.push_back({W::Node, n.child.get(), {}});
          }
        },
        top.node->node);
  }
}

#define KS_INSTANTIATE(T) template void format_tree(std::string&, const Expr<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
