// Expansion of a tree into one polynomial or one numerator/denominator pair by dense
// arithmetic, and the small tree made back from an expansion. Nothing is simplified,
// cancelled or trimmed here.
#include <utility>

#include "expr.hpp"

namespace kestrum {

namespace {

template <Element T> using Single = typename Expansion<T>::Single;
template <Element T> using Rational = typename Expansion<T>::Rational;

template <Element T> Expansion<T> single(Polynomial<T> p) { return Expansion<T>{Single<T>{std::move(p)}}; }
template <Element T> Expansion<T> rational(Polynomial<T> n, Polynomial<T> d) {
  return Expansion<T>{Rational<T>{std::move(n), std::move(d)}};
}

/// A copy of x with every coefficient c replaced by c × s.
template <Element T> Polynomial<T> scaled(const Polynomial<T>& x, T s) {
  Polynomial<T> out = x;
  T* data = out.data();
  for (u64 i = 0; i < out.size(); ++i) data[i] = mul(data[i], s);
  return out;
}

// Unwraps one dense result inside a combination, returning its failure from the caller.
#define KS_TRY(var, expr)                                  \
  auto var##_result = (expr);                              \
  if (!var##_result) return fail(std::move(var##_result).error()); \
  Polynomial<T> var = std::move(*var##_result)

/// The Single or the Rational inside an expansion (exactly one is non-null).
template <Element T>
std::pair<Single<T>*, Rational<T>*> sides(Expansion<T>& x) {
  return {std::get_if<Single<T>>(&x.value), std::get_if<Rational<T>>(&x.value)};
}

template <Element T> using DenseOp = EvalResult<Polynomial<T>> (*)(const Polynomial<T>&, const Polynomial<T>&);

/// Add and Sub share their four rows; `op` is dense_add or dense_sub. The Single operand is
/// always the first factor of the product with the other side's denominator.
template <Element T>
EvalResult<Expansion<T>> combine_additive(DenseOp<T> op, Expansion<T>& l, Expansion<T>& r, bool subtract) {
  auto [ls, lr] = sides(l);
  auto [rs, rr] = sides(r);
  if (ls && rs) {
    KS_TRY(sum, op(ls->p, rs->p));
    return single(std::move(sum));
  }
  if (ls && rr) {
    KS_TRY(prod, dense_mul(ls->p, rr->denominator));
    KS_TRY(sum, op(prod, rr->numerator));
    return rational(std::move(sum), std::move(rr->denominator));
  }
  if (lr && rs) {
    KS_TRY(prod, dense_mul(rs->p, lr->denominator));
    // Sum: add(product, numerator); difference: sub(numerator, product).
    KS_TRY(sum, subtract ? op(lr->numerator, prod) : op(prod, lr->numerator));
    return rational(std::move(sum), std::move(lr->denominator));
  }
  KS_TRY(left_part, dense_mul(lr->numerator, rr->denominator));
  KS_TRY(right_part, dense_mul(rr->numerator, lr->denominator));
  KS_TRY(sum, op(left_part, right_part));
  KS_TRY(denominator, dense_mul(lr->denominator, rr->denominator));
  return rational(std::move(sum), std::move(denominator));
}

template <Element T>
EvalResult<Expansion<T>> combine_mul(Expansion<T>& l, Expansion<T>& r) {
  auto [ls, lr] = sides(l);
  auto [rs, rr] = sides(r);
  if (ls && rs) {
    KS_TRY(prod, dense_mul(ls->p, rs->p));
    return single(std::move(prod));
  }
  if (ls && rr) {
    KS_TRY(prod, dense_mul(ls->p, rr->numerator));
    return rational(std::move(prod), std::move(rr->denominator));
  }
  if (lr && rs) {
    KS_TRY(prod, dense_mul(rs->p, lr->numerator));
    return rational(std::move(prod), std::move(lr->denominator));
  }
  KS_TRY(numerator, dense_mul(lr->numerator, rr->numerator));
  KS_TRY(denominator, dense_mul(lr->denominator, rr->denominator));
  return rational(std::move(numerator), std::move(denominator));
}

template <Element T>
EvalResult<Expansion<T>> combine_div(Expansion<T>& l, Expansion<T>& r) {
  auto [ls, lr] = sides(l);
  auto [rs, rr] = sides(r);
  if (ls && rs) return rational(std::move(ls->p), std::move(rs->p));
  if (ls && rr) {
    KS_TRY(numerator, dense_mul(ls->p, rr->denominator));
    return rational(std::move(numerator), std::move(rr->numerator));
  }
  if (lr && rs) {
    KS_TRY(denominator, dense_mul(lr->denominator, rs->p));
    return rational(std::move(lr->numerator), std::move(denominator));
  }
  KS_TRY(numerator, dense_mul(lr->numerator, rr->denominator));
  KS_TRY(denominator, dense_mul(lr->denominator, rr->numerator));
  return rational(std::move(numerator), std::move(denominator));
}

#undef KS_TRY

template <Element T>
EvalResult<Expansion<T>> expand_binary(Kind kind, const Expr<T>& left, const Expr<T>& right) {
  auto l = expand_tree(left);
  if (!l) return fail(std::move(l).error());  // the right child is not looked at
  auto r = expand_tree(right);
  if (!r) return fail(std::move(r).error());
  switch (kind) {
    case Kind::Add: return combine_additive<T>(&dense_add<T>, *l, *r, false);
    case Kind::Sub: return combine_additive<T>(&dense_sub<T>, *l, *r, true);
    case Kind::Mul: return combine_mul(*l, *r);
    case Kind::Div: return combine_div(*l, *r);
    default: internal_failure("expand_binary called with a kind that has not two children");
  }
}

}  // namespace

template <Element T>
EvalResult<Expansion<T>> expand_tree(const Expr<T>& e) {
  check_stack_depth();
  return std::visit(
      [](const auto& n) -> EvalResult<Expansion<T>> {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<N, LeafNode<T>>) {
          return single(Polynomial<T>(n.coeffs));
        } else if constexpr (std::is_same_v<N, BinaryNode<T, Kind::Add>>) {
          return expand_binary(Kind::Add, *n.left, *n.right);
        } else if constexpr (std::is_same_v<N, BinaryNode<T, Kind::Sub>>) {
          return expand_binary(Kind::Sub, *n.left, *n.right);
        } else if constexpr (std::is_same_v<N, BinaryNode<T, Kind::Mul>>) {
          return expand_binary(Kind::Mul, *n.left, *n.right);
        } else if constexpr (std::is_same_v<N, BinaryNode<T, Kind::Div>>) {
          return expand_binary(Kind::Div, *n.left, *n.right);
        } else if constexpr (std::is_same_v<N, ScaleNode<T>>) {
          auto inner = expand_tree(*n.child);
          if (!inner) return fail(std::move(inner).error());
          if (auto* s = std::get_if<Single<T>>(&inner->value)) return single(scaled(s->p, n.factor));
          // Over a quotient only the numerator is scaled.
          auto& q = std::get<Rational<T>>(inner->value);
          return rational(scaled(q.numerator, n.factor), std::move(q.denominator));
        } else if constexpr (std::is_same_v<N, DerivNode<T>>) {
          // The derivative is made concrete first; the derived tree is then expanded by
          // this same walk (its own lazy Deriv and Pow nodes included) and discarded.
          auto derived = derive_tree(*n.child, n.orders);
          if (!derived) return fail(std::move(derived).error());
          return expand_tree(*derived);
        } else {
          static_assert(std::is_same_v<N, PowNode<T>>);
          auto inner = expand_tree(*n.child);
          if (!inner) return fail(std::move(inner).error());
          if (auto* s = std::get_if<Single<T>>(&inner->value)) {
            auto p = dense_pow(s->p, n.exponent);
            if (!p) return fail(std::move(p).error());
            return single(std::move(*p));
          }
          auto& q = std::get<Rational<T>>(inner->value);
          auto num = dense_pow(q.numerator, n.exponent);  // its failure comes first
          if (!num) return fail(std::move(num).error());
          auto den = dense_pow(q.denominator, n.exponent);
          if (!den) return fail(std::move(den).error());
          return rational(std::move(*num), std::move(*den));
        }
      },
      e.node);
}

template <Element T>
EvalResult<Expr<T>> tree_from_expansion(const Expansion<T>& x) {
  if (const auto* s = std::get_if<Single<T>>(&x.value)) return make_leaf(Polynomial<T>(s->p));
  const auto& q = std::get<Rational<T>>(x.value);
  if (q.numerator.ndim() != q.denominator.ndim()) return fail(EvalError::incompatible_composition());
  return make_binary(Kind::Div, make_leaf(Polynomial<T>(q.numerator)), make_leaf(Polynomial<T>(q.denominator)));
}

#define KS_INSTANTIATE(T)                                                 \
  template EvalResult<Expansion<T>> expand_tree(const Expr<T>&);         \
  template EvalResult<Expr<T>> tree_from_expansion(const Expansion<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
