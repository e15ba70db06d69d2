// The symbolic derivative of a tree (derive_tree) and the parameter sets that guard its
// quotient rule. Trees are only read here; every result is built from fresh copies. Values
// of lazy derivatives are computed by the value walk (expr_eval.cpp) instead.
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "calculus_rules.hpp"
#include "expr.hpp"

namespace kestrum {

namespace {

/// Parameter positions; only membership and the emptiness of an intersection are used, so
/// no result depends on the set's iteration order.
using IndexSet = std::unordered_set<u64>;

/// Positions whose order is non-zero: the parameters a derivative or antiderivative acts on.
IndexSet active_axes(const std::vector<i64>& orders) {
  IndexSet set;
  for (u64 i = 0; i < orders.size(); ++i) {
    if (orders[i] != 0) set.insert(i);
  }
  return set;
}

bool has_positive_order(const std::vector<i64>& orders) {
  for (i64 k : orders) {
    if (k > 0) return true;
  }
  return false;
}

/// The parameters a tree may depend on: every axis along which some leaf has length ≥ 2,
/// and every position that a Deriv node integrates along (an antiderivative depends on its
/// parameter even when its child is constant there). Nested nodes are judged as they stand:
/// a derivative below or above an antiderivative along the same parameter keeps it. Walks
/// with an explicit stack, so any depth is fine.
template <Element T>
IndexSet dependent_parameters(const Expr<T>& e) {
  IndexSet set;
  visit_preorder(e, [&](const Expr<T>& node) {
    if (const auto* leaf = std::get_if<LeafNode<T>>(&node.node)) {
      const Shape& shape = leaf->coeffs.shape();
      for (u64 a = 0; a < shape.size(); ++a) {
        if (shape[a] >= 2) set.insert(a);
      }
    } else if (const auto* deriv = std::get_if<DerivNode<T>>(&node.node)) {
      for (u64 i = 0; i < deriv->orders.size(); ++i) {
        if (deriv->orders[i] < 0) set.insert(i);
      }
    }
  });
  return set;
}

bool meets(const IndexSet& a, const IndexSet& b) {
  for (u64 x : a) {
    if (b.contains(x)) return true;
  }
  return false;
}

template <Element T>
Expr<T> copy_of(const ExprPtr<T>& e) {
  return clone_tree(*e);
}

/// Leaf(differentiate(coeffs, orders)).
template <Element T>
EvalResult<Expr<T>> derive_leaf(const Polynomial<T>& coeffs, const std::vector<i64>& orders) {
  auto d = differentiate(coeffs, orders);
  if (!d) return fail(std::move(d).error());
  return make_leaf(std::move(*d));
}

/// Add(d(left), d(right)) or Sub(d(left), d(right)), by `kind`; the left failure wins.
template <Element T>
EvalResult<Expr<T>> derive_sum(Kind kind, const Expr<T>& left, const Expr<T>& right, const std::vector<i64>& orders) {
  auto dl = derive_tree(left, orders);
  if (!dl) return dl;
  auto dr = derive_tree(right, orders);
  if (!dr) return dr;
  return make_binary(kind, std::move(*dl), std::move(*dr));
}

template <Element T>
EvalResult<Expr<T>> derive_product(const Expr<T>& node, const BinaryNode<T, Kind::Mul>& mul,
                                   const std::vector<i64>& orders) {
  if (is_single_first_derivative(orders)) {
    // (ab)' = a'·b + b'·a, with the derivative as the left operand of each product.
    auto da = derive_tree(*mul.left, orders);
    if (!da) return da;
    Expr<T> first = make_binary(Kind::Mul, std::move(*da), copy_of(mul.right));
    auto db = derive_tree(*mul.right, orders);
    if (!db) return db;
    Expr<T> second = make_binary(Kind::Mul, std::move(*db), copy_of(mul.left));
    return make_binary(Kind::Add, std::move(first), std::move(second));
  }

  // Higher, mixed, zero and negative orders: the two-term rule would be wrong here. Without
  // a quotient below, the product expands to one polynomial, which is differentiated as is.
  auto expanded = expand_tree(node);
  if (!expanded) return fail(std::move(expanded).error());
  if (const auto* single = std::get_if<typename Expansion<T>::Single>(&expanded->value)) {
    return derive_leaf(single->p, orders);
  }

  // A quotient lies below. Its antiderivatives have no closed form here; derivatives follow
  // the general Leibniz rule while its terms are few and its coefficients exact.
  auto terms = leibniz_terms(orders);
  if (!terms) return fail(EvalError::message(kRationalsRefused));
  // Left-folded sum over β of C(o, β)·D^β(a)·D^(o−β)(b), the factor omitted where it is 1.
  std::optional<Expr<T>> sum;
  for (const LeibnizTerm& term : *terms) {
    auto da = derive_tree(*mul.left, term.left_orders);
    if (!da) return da;
    auto db = derive_tree(*mul.right, term.right_orders);
    if (!db) return db;
    Expr<T> product = make_binary(Kind::Mul, std::move(*da), std::move(*db));
    if (term.coefficient != 1) product = make_scale(count_as_element<T>(term.coefficient), std::move(product));
    if (sum) {
      sum = make_binary(Kind::Add, std::move(*sum), std::move(product));
    } else {
      sum.emplace(std::move(product));
    }
  }
  return std::move(*sum);  // there is always the term β = 0
}

template <Element T>
EvalResult<Expr<T>> derive_quotient(const BinaryNode<T, Kind::Div>& div, const std::vector<i64>& orders) {
  // Along a parameter the denominator depends on, neither a derivative nor an antiderivative
  // of the quotient is a quotient of derivatives: refuse both.
  if (meets(dependent_parameters(*div.right), active_axes(orders))) {
    return fail(EvalError::message(kActiveDenominator));
  }
  if (has_positive_order(orders)) {
    // (n/d)' = (n'·d − d'·n) / d², with n' and d' left as lazy Deriv nodes. Here d' is zero,
    // since d is constant along every parameter that is differentiated.
    Expr<T> dn_d = make_binary(Kind::Mul, make_deriv(copy_of(div.left), orders), copy_of(div.right));
    Expr<T> dd_n = make_binary(Kind::Mul, make_deriv(copy_of(div.right), orders), copy_of(div.left));
    Expr<T> numerator = make_binary(Kind::Sub, std::move(dn_d), std::move(dd_n));
    return make_binary(Kind::Div, std::move(numerator), make_pow(copy_of(div.right), 2));
  }
  // Only antiderivatives and untouched parameters, none of them in d: d is a constant factor.
  return make_binary(Kind::Div, make_deriv(copy_of(div.left), orders), copy_of(div.right));
}

template <Element T>
EvalResult<Expr<T>> derive_power(const PowNode<T>& pow, const std::vector<i64>& orders) {
  const u64 n = pow.exponent;
  if constexpr (std::same_as<T, i64>) {
    if (n == 0 || n > (u64{1} << 63)) return fail(EvalError::message("Couldn't convert power"));
  }
  // The factor is n − 1 (not n) and the base is not raised: this node only ever comes from
  // the quotient rule with n = 2, and is only differentiated where d(b) vanishes.
  Expr<T> scaled = make_scale(count_as_element<T>(n - 1), copy_of(pow.child));
  auto db = derive_tree(*pow.child, orders);
  if (!db) return db;
  return make_binary(Kind::Mul, std::move(scaled), std::move(*db));
}

template <Element T>
EvalResult<Expr<T>> derive_nested(const DerivNode<T>& inner, const std::vector<i64>& orders) {
  if (integrates_a_derivative(inner.orders, orders)) {
    // An antiderivative of a derivative: the inner derivative is taken first, its failure
    // being the result.
    auto concrete = derive_tree(*inner.child, inner.orders);
    if (!concrete) return concrete;
    return derive_tree(*concrete, orders);
  }
  // Otherwise the orders add and the inner node does not survive.
  return derive_tree(*inner.child, sum_orders(orders, inner.orders));
}

}  // namespace

template <Element T>
EvalResult<Expr<T>> derive_tree(const Expr<T>& e, const std::vector<i64>& orders) {
  check_stack_depth();
  switch (e.kind()) {
    case Kind::Leaf:
      return derive_leaf(std::get<LeafNode<T>>(e.node).coeffs, orders);
    case Kind::Add: {
      const auto& n = std::get<BinaryNode<T, Kind::Add>>(e.node);
      return derive_sum(Kind::Add, *n.left, *n.right, orders);
    }
    case Kind::Sub: {
      const auto& n = std::get<BinaryNode<T, Kind::Sub>>(e.node);
      return derive_sum(Kind::Sub, *n.left, *n.right, orders);
    }
    case Kind::Mul:
      return derive_product(e, std::get<BinaryNode<T, Kind::Mul>>(e.node), orders);
    case Kind::Div:
      return derive_quotient(std::get<BinaryNode<T, Kind::Div>>(e.node), orders);
    case Kind::Scale: {
      const auto& s = std::get<ScaleNode<T>>(e.node);
      auto dc = derive_tree(*s.child, orders);
      if (!dc) return dc;
      return make_scale(s.factor, std::move(*dc));
    }
    case Kind::Deriv:
      return derive_nested(std::get<DerivNode<T>>(e.node), orders);
    case Kind::Pow:
      return derive_power(std::get<PowNode<T>>(e.node), orders);
  }
  internal_failure("derive_tree met an unknown node kind");
}

#define KS_INSTANTIATE(T) template EvalResult<Expr<T>> derive_tree(const Expr<T>&, const std::vector<i64>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
