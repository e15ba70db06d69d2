// TypedExpr (an Expr tagged F64, C64 or I64) and visit_typed, the one place where the
// runtime tag becomes a compile-time element type.
#pragma once

#include <utility>
#include <variant>

#include "expr.hpp"

namespace kestrum::py {

/// Tag numbers: 0 F64, 1 C64, 2 I64 (not the widening order).
enum class Tag : unsigned { F64 = 0, C64 = 1, I64 = 2 };

/// The tree an ExpressionTree object holds. Variant index == tag number.
using TypedExpr = std::variant<Expr<f64>, Expr<c64>, Expr<i64>>;

/// The tag of a tree.
[[nodiscard]] inline Tag tag_of(const TypedExpr& t) noexcept { return static_cast<Tag>(t.index()); }

/// Calls f(expr) with the Expr of the tree's element type.
template <class TE, class F>
decltype(auto) visit_typed(TE&& t, F&& f) {
  switch (tag_of(t)) {
    case Tag::F64: return std::forward<F>(f)(std::get<0>(std::forward<TE>(t)));
    case Tag::C64: return std::forward<F>(f)(std::get<1>(std::forward<TE>(t)));
    case Tag::I64: return std::forward<F>(f)(std::get<2>(std::forward<TE>(t)));
  }
  __builtin_unreachable();
}

/// Deep copy keeping the tag.
[[nodiscard]] inline TypedExpr clone_typed(const TypedExpr& t) {
  return visit_typed(t, [](const auto& e) { return TypedExpr(clone_tree(e)); });
}

/// Dimension of the tree (leftmost-leaf rule).
[[nodiscard]] inline u64 typed_dimension(const TypedExpr& t) noexcept {
  return visit_typed(t, [](const auto& e) { return tree_dimension(e); });
}

}  // namespace kestrum::py
