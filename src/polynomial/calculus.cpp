// Derivatives and antiderivatives of coefficient arrays by signed per-axis orders
// (differentiate). The symbolic derivative of trees lives in expr_deriv.cpp.
#include <cmath>
#include <limits>
#include <vector>

#include "polynomial.hpp"

namespace kestrum {

namespace {

/// Product of the `count` consecutive integers from `start` up, as an f64: exact in u64 while
/// the product stays below 2^64 and rounded once, then continued in f64 (reaching +infinity
/// beyond the f64 range). Every factor is at least 1 and the j-th is at least j, so the f64
/// part stops at infinity after a few hundred steps whatever `count` is.
f64 consecutive_product(u64 start, u64 count) {
  u64 exact = 1;
  u64 j = 0;
  for (; j < count; ++j) {
    u64 next;
    if (__builtin_mul_overflow(exact, start + j, &next)) break;
    exact = next;
  }
  if (j == count) return static_cast<f64>(exact);
  f64 value = static_cast<f64>(exact);
  for (; j < count && !std::isinf(value); ++j) value *= static_cast<f64>(start + j);
  return value;
}

/// The factor of one axis for index i and order k (i ≥ k when k > 0): the falling factorial
/// i!/(i−k)! for k > 0, 1 for k = 0, and 1 / ((i+1)···(i+m)) for k = −m < 0.
f64 axis_factor(u64 i, i64 k) {
  if (k == 0) return 1.0;
  if (k == 1) return static_cast<f64>(i);
  if (k > 0) {
    const auto order = static_cast<u64>(k);
    return consecutive_product(i - order + 1, order);
  }
  const u64 m = u64{0} - static_cast<u64>(k);  // k > −2^63 here, refused earlier otherwise
  return 1.0 / consecutive_product(i + 1, m);
}

/// Applies the factor to one coefficient. f64: F·c. c64: the textbook product of (F, 0) and
/// c, so an infinite part turns the other part into NaN. i64: F truncated toward zero, then a
/// wrapping product; false when F is NaN or outside [−2^63, 2^63).
template <Element T>
bool apply_factor(f64 factor, T c, T& out) {
  if constexpr (std::same_as<T, f64>) {
    out = factor * c;
  } else if constexpr (std::same_as<T, c64>) {
    out = mul(c64{factor, 0.0}, c);
  } else {
    constexpr f64 kLimit = 9223372036854775808.0;  // 2^63
    if (!(factor >= -kLimit && factor < kLimit)) return false;
    out = mul(static_cast<i64>(factor), c);
  }
  return true;
}

}  // namespace

template <Element T>
EvalResult<Polynomial<T>> differentiate(const Polynomial<T>& coeffs, const std::vector<i64>& orders) {
  const Shape& shape = coeffs.shape();
  const std::size_t n = shape.size();
  if (orders.size() != n) return fail(EvalError::incompatible_composition());

  // New lengths len − k, negative becoming 0. An order so negative that the length leaves
  // the signed 64-bit range is refused; within range, i − k for any index i < len fits too.
  Shape new_shape(n);
  for (std::size_t a = 0; a < n; ++a) {
    i64 length;
    if (shape[a] > static_cast<u64>(std::numeric_limits<i64>::max()) ||
        __builtin_sub_overflow(static_cast<i64>(shape[a]), orders[a], &length)) {
      return fail(EvalError::message("Derivative order out of range"));
    }
    new_shape[a] = length < 0 ? 0 : static_cast<u64>(length);
  }
  Polynomial<T> result = Polynomial<T>::zeros(new_shape);
  if (coeffs.size() == 0) return result;

  // Per-axis factors, one per index (NaN marks an index whose coefficients are dropped), and
  // the result's row-major strides (only used when some coefficient is kept, and then the
  // result has no empty axis).
  std::vector<std::vector<f64>> factors(n);
  for (std::size_t a = 0; a < n; ++a) {
    factors[a].resize(shape[a]);
    for (u64 i = 0; i < shape[a]; ++i) {
      const bool dropped = orders[a] > 0 && i < static_cast<u64>(orders[a]);
      factors[a][i] = dropped ? std::numeric_limits<f64>::quiet_NaN() : axis_factor(i, orders[a]);
    }
  }
  const std::vector<u64> strides = row_major_strides(new_shape);

  for (IndexWalk w(shape); w.valid(); w.next()) {
    const auto& i = w.index();
    bool kept = true;
    u64 target = 0;
    for (std::size_t a = 0; a < n && kept; ++a) {
      // j = i − k; for k < 0 the index moves up, for k > 0 it must not go below 0.
      const i64 k = orders[a];
      if (k > 0 && i[a] < static_cast<u64>(k)) kept = false;
      else target += static_cast<u64>(static_cast<i64>(i[a]) - k) * strides[a];
    }
    if (!kept) continue;
    // F = f(i_0, k_0) · f(i_1, k_1) · …, in ascending axis order; 1.0 with no axes.
    f64 factor = n == 0 ? 1.0 : factors[0][i[0]];
    for (std::size_t a = 1; a < n; ++a) factor *= factors[a][i[a]];
    if (!apply_factor(factor, coeffs[w.flat()], result[target])) {
      return fail(EvalError::message("Something went wrong trying to integrate after allocation"));
    }
  }
  return result;
}

#define KS_INSTANTIATE(T) \
  template EvalResult<Polynomial<T>> differentiate(const Polynomial<T>&, const std::vector<i64>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
