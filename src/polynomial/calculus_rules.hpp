// The rules of differentiation that the symbolic derivative (expr_deriv.cpp) and the value
// walk (expr_eval.cpp) share: order lists, the general Leibniz rule and its limits, and the
// refusal texts. Private to those two files; not part of the tree interface in expr.hpp.
#pragma once

#include <optional>
#include <vector>

#include "element.hpp"

namespace kestrum {

inline constexpr const char* kRationalsRefused = "Derivatives and integrals of rationals are not supported.";
inline constexpr const char* kPowersRefused = "Derivatives and integrals of powers are not supported.";
inline constexpr const char* kActiveDenominator =
    "Can't perform integral/derivative operation if active dofs are in denominator";

/// Entry-wise wrapping sum of two order lists, as long as the shorter one: the orders of a
/// derivative of a derivative. Cannot fail.
[[nodiscard]] std::vector<i64> sum_orders(const std::vector<i64>& outer, const std::vector<i64>& inner);

/// Whether `orders` has exactly one entry 1 and every other entry 0: the only order lists
/// for which the two-term product rule is right.
[[nodiscard]] bool is_single_first_derivative(const std::vector<i64>& orders) noexcept;

/// Whether differentiating Deriv(c, inner) by `outer` integrates along a parameter that
/// `inner` differentiates (inner_i > 0 and outer_i < 0 at a position both lists have). The
/// orders must not simply add then: the antiderivative of a derivative loses the terms the
/// derivative removed, so the inner derivative is made concrete first.
[[nodiscard]] bool integrates_a_derivative(const std::vector<i64>& inner, const std::vector<i64>& outer) noexcept;

/// Most terms a product's derivative may split into under the general Leibniz rule.
inline constexpr u64 kMaxLeibnizTerms = 4096;
/// Largest binomial coefficient of a Leibniz term: every coefficient is then exact in f64.
inline constexpr u64 kMaxLeibnizCoefficient = u64{1} << 53;

/// One term C(o, β)·D^β(a)·D^(o−β)(b) of the general Leibniz rule for D^o(a·b).
struct LeibnizTerm {
  std::vector<i64> left_orders;   // β
  std::vector<i64> right_orders;  // o − β
  u64 coefficient;                // C(o, β) = Π binom(o_i, β_i), exact
};

/// Every β with 0 ≤ β ≤ orders, in row-major order of β (last position fastest), when the
/// Leibniz rule applies: no negative order, at most kMaxLeibnizTerms terms and a largest
/// coefficient Π binom(o_i, ⌊o_i/2⌋) of at most kMaxLeibnizCoefficient. Nothing otherwise.
/// An empty list has the one term β = () with coefficient 1. Cannot fail.
[[nodiscard]] std::optional<std::vector<LeibnizTerm>> leibniz_terms(const std::vector<i64>& orders);

/// A count (a binomial product, or a power rule factor) as an element: i64 modulo 2^64,
/// f64 rounded to the nearest double, c64 that double with a zero imaginary part.
template <Element T> [[nodiscard]] constexpr T count_as_element(u64 n) noexcept {
  if constexpr (std::same_as<T, i64>) return static_cast<i64>(n);
  else if constexpr (std::same_as<T, f64>) return static_cast<f64>(n);
  else return c64{static_cast<f64>(n), 0.0};
}

}  // namespace kestrum
