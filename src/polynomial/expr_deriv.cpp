// The symbolic derivative of a tree (derive_tree), the parameter sets that guard its
// quotient rule, and the general Leibniz rule shared with lazy evaluation. Trees are only
// read here; every result is built from fresh copies.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "expr.hpp"

namespace kestrum {

namespace {

const char* const kRationalsRefused = "Derivatives and integrals of rationals are not supported.";
const char* const kActiveDenominator =
    "Can't perform integral/derivative operation if active dofs are in denominator";

/// binom(n, k) exactly, or false when it does not fit in 64 unsigned bits. Each step forms
/// binom(n − k + i, i) from binom(n − k + i − 1, i − 1); the division is exact and the
/// intermediate product is held in 128 bits. The sequence only grows, so the first value
/// past 2^64 − 1 proves the final one is too.
bool binomial(u64 n, u64 k, u64& out) {
  if (k > n - k) k = n - k;
  unsigned __int128 r = 1;
  for (u64 i = 1; i <= k; ++i) {
    r = r * (n - k + i) / i;
    if (r > UINT64_MAX) return false;
  }
  out = static_cast<u64>(r);
  return true;
}

IndexSet negative_order_axes(const std::vector<i64>& orders) {
  IndexSet set;
  for (u64 i = 0; i < orders.size(); ++i) {
    if (orders[i] < 0) set.insert(i);
  }
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

/// The derivative by `orders` of a product that expands to one polynomial: that polynomial
/// differentiated. Empty when a quotient lies below. Errors: those of expand_tree and
/// differentiate.
template <Element T>
EvalResult<std::optional<Polynomial<T>>> derivative_of_expanded(const Expr<T>& product,
                                                                const std::vector<i64>& orders) {
  auto expanded = expand_tree(product);
  if (!expanded) return fail(std::move(expanded).error());
  const auto* single = std::get_if<typename Expansion<T>::Single>(&expanded->value);
  if (single == nullptr) return std::optional<Polynomial<T>>();
  auto derived = differentiate(single->p, orders);
  if (!derived) return fail(std::move(derived).error());
  return std::optional<Polynomial<T>>(std::move(*derived));
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
  auto expanded = derivative_of_expanded(node, orders);
  if (!expanded) return fail(std::move(expanded).error());
  if (*expanded) return make_leaf(std::move(**expanded));

  auto terms = leibniz_terms(orders);
  if (!terms) return fail(std::move(terms).error());

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
  // Along a parameter of the denominator neither a derivative nor an antiderivative of the
  // quotient is a quotient of derivatives: refuse both.
  const IndexSet positive = positive_order_axes(orders);
  const IndexSet denominator = dependent_parameters(*div.right);
  if (meets(denominator, positive) || meets(denominator, negative_order_axes(orders))) {
    return fail(EvalError::message(kActiveDenominator));
  }
  if (!positive.empty()) {
    // (n/d)' = (n'·d − d'·n) / d², with n' and d' left as lazy Deriv nodes. Here d' is zero,
    // since d is constant along a parameter that is differentiated.
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

}  // namespace

bool is_single_first_derivative(const std::vector<i64>& orders) noexcept {
  u64 ones = 0;
  for (i64 k : orders) {
    if (k == 1) ++ones;
    else if (k != 0) return false;
  }
  return ones == 1;
}

EvalResult<std::vector<LeibnizTerm>> leibniz_terms(const std::vector<i64>& orders) {
  // Only a product with a quotient below comes here, and antiderivatives of such products
  // have no closed form in this system.
  for (i64 k : orders) {
    if (k < 0) return fail(EvalError::message(kRationalsRefused));
  }
  // The limit keeps a product under a quotient from splitting into an absurd number of terms:
  // each term costs two derivative walks (and, symbolically, two subtree copies), and orders
  // that large are far beyond any degree the polynomials below could have.
  u64 count = 1;
  for (i64 k : orders) {
    const u64 width = static_cast<u64>(k) + 1;  // k ≥ 0 here, so no wrap
    if (__builtin_mul_overflow(count, width, &count) || count > kMaxLeibnizTerms) {
      return fail(EvalError::message("Too many terms in the derivative of a product"));
    }
  }

  // Binomials of each axis, computed once: row i holds binom(o_i, 0..o_i).
  std::vector<std::vector<u64>> rows(orders.size());
  for (u64 i = 0; i < orders.size(); ++i) {
    const u64 o = static_cast<u64>(orders[i]);
    rows[i].resize(o + 1);
    for (u64 b = 0; b <= o; ++b) {
      if (!binomial(o, b, rows[i][b])) {
        return fail(EvalError::message("Binomial coefficient too large in the derivative of a product"));
      }
    }
  }

  std::vector<LeibnizTerm> terms;
  terms.reserve(count);
  std::vector<i64> beta(orders.size(), 0);
  for (u64 t = 0; t < count; ++t) {
    LeibnizTerm term{beta, orders, 1};
    for (u64 i = 0; i < orders.size(); ++i) {
      term.right_orders[i] = orders[i] - beta[i];
      if (__builtin_mul_overflow(term.coefficient, rows[i][static_cast<u64>(beta[i])], &term.coefficient)) {
        return fail(EvalError::message("Binomial coefficient too large in the derivative of a product"));
      }
    }
    terms.push_back(std::move(term));
    // Next β in row-major order: the last position counts fastest.
    for (u64 i = orders.size(); i-- > 0;) {
      if (beta[i] < orders[i]) {
        ++beta[i];
        break;
      }
      beta[i] = 0;
    }
  }
  return terms;
}

IndexSet positive_order_axes(const std::vector<i64>& orders) {
  IndexSet set;
  for (u64 i = 0; i < orders.size(); ++i) {
    if (orders[i] > 0) set.insert(i);
  }
  return set;
}

IndexSet varying_axes(const Shape& shape) {
  IndexSet set;
  for (u64 a = 0; a < shape.size(); ++a) {
    if (shape[a] >= 2) set.insert(a);
  }
  return set;
}

template <Element T>
IndexSet dependent_parameters(const Expr<T>& e) {
  // The union over every leaf: membership is all that matters, so the order does not.
  IndexSet set;
  for (const Polynomial<T>* leaf : leaf_arrays(e)) set.merge(varying_axes(leaf->shape()));
  return set;
}

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
    case Kind::Deriv: {
      // Nested derivatives merge into one order list; the inner node does not survive.
      const auto& d = std::get<DerivNode<T>>(e.node);
      return derive_tree(*d.child, sum_orders(orders, d.orders));
    }
    case Kind::Pow:
      return derive_power(std::get<PowNode<T>>(e.node), orders);
  }
  internal_failure("derive_tree met an unknown node kind");
}

template <Element T>
EvalResult<Array<T>> eval_product_derivative(const Expr<T>& product, const std::vector<i64>& orders,
                                             const View<T>& points) {
  const auto& node = std::get<BinaryNode<T, Kind::Mul>>(product.node);
  auto expanded = derivative_of_expanded(product, orders);
  if (!expanded) return fail(std::move(expanded).error());
  if (*expanded) return eval_points(**expanded, points);

  auto terms = leibniz_terms(orders);
  if (!terms) return fail(std::move(terms).error());

  // The same sum as the symbolic rule writes, in the same order: for each β the left factor's
  // values, then the right one's, their product, times C where C is not 1, then added to the
  // running sum (the first term taken as it is).
  std::optional<Array<T>> sum;
  for (const LeibnizTerm& term : *terms) {
    auto left = eval_derivative(*node.left, term.left_orders, points);
    if (!left) return left;
    auto right = eval_derivative(*node.right, term.right_orders, points);
    if (!right) return right;
    if (left->size() != right->size()) internal_failure("value arrays of different sizes");
    T* l = left->data();
    const T* r = right->data();
    const u64 count = left->size();
    for (u64 i = 0; i < count; ++i) l[i] = mul(l[i], r[i]);
    if (term.coefficient != 1) {
      const T c = count_as_element<T>(term.coefficient);
      for (u64 i = 0; i < count; ++i) l[i] = mul(l[i], c);
    }
    if (!sum) {
      sum = std::move(*left);
    } else {
      T* acc = sum->data();
      for (u64 i = 0; i < count; ++i) acc[i] = add(acc[i], l[i]);
    }
  }
  return std::move(*sum);  // there is always the term β = 0
}

#define KS_INSTANTIATE(T)                                                                    \
  template EvalResult<Expr<T>> derive_tree(const Expr<T>&, const std::vector<i64>&);         \
  template IndexSet dependent_parameters(const Expr<T>&);                                    \
  template EvalResult<Array<T>> eval_product_derivative(const Expr<T>&, const std::vector<i64>&, const View<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
