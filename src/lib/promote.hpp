// Element-type promotion for the binding: the widening order i64 < f64 < c64 and the tree
// casts that promotion makes. Header-only; the casts themselves live in the tree code.
#pragma once

#include <type_traits>
#include <utility>

#include "typed_expr.hpp"

namespace kestrum::py {

/// Position in the widening order: i64 0, f64 1, c64 2.
template <Element T> [[nodiscard]] constexpr int width_rank() noexcept {
  if constexpr (std::same_as<T, i64>) return 0;
  else if constexpr (std::same_as<T, f64>) return 1;
  else return 2;
}
[[nodiscard]] constexpr int width_rank(Tag t) noexcept {
  return t == Tag::I64 ? 0 : t == Tag::F64 ? 1 : 2;
}

/// Maps Expr<T> to T; element_of below is the way to use it.
template <class E> struct ElementOf;
template <Element T> struct ElementOf<Expr<T>> { using type = T; };
/// The element type of an Expr<T> (cv and references ignored).
template <class E> using element_of = typename ElementOf<std::remove_cvref_t<E>>::type;

/// A new tree of element type To from a tree of the same or a narrower type (a copy when
/// the types agree). Asking for a narrower type is an internal failure. Cannot fail otherwise.
template <Element To> [[nodiscard]] Expr<To> cast_typed(const TypedExpr& t) {
  return visit_typed(t, [](const auto& e) -> Expr<To> {
    using From = element_of<decltype(e)>;
    if constexpr (std::same_as<From, To>) return clone_tree(e);
    else if constexpr (width_rank<From>() < width_rank<To>()) return cast_tree<From, To>(e);
    else internal_failure("element types are only ever widened");
  });
}

/// The tree as element type To: moved out when it already has that type, else widened.
template <Element To> [[nodiscard]] Expr<To> take_as(TypedExpr&& t) {
  if (auto* e = std::get_if<Expr<To>>(&t)) return std::move(*e);
  return cast_typed<To>(t);
}

/// Calls f.template operator()<T>() with the element type T of a tag.
template <class F> decltype(auto) visit_tag(Tag t, F&& f) {
  switch (t) {
    case Tag::F64: return std::forward<F>(f).template operator()<f64>();
    case Tag::C64: return std::forward<F>(f).template operator()<c64>();
    case Tag::I64: return std::forward<F>(f).template operator()<i64>();
  }
  __builtin_unreachable();
}

}  // namespace kestrum::py
