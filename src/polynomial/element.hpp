// Element types i64/f64/c64 and their arithmetic; number text lives in format.cpp.
#pragma once

#include <concepts>
#include <cstdint>
#include <type_traits>

namespace kestrum {

using i64 = std::int64_t;
using u64 = std::uint64_t;
using f64 = double;

/// Complex number of two doubles, layout-compatible with NumPy complex128.
/// Arithmetic is the textbook formula (no scaling, no Annex G recovery), so every
/// product and quotient is a fixed sequence of roundings.
struct c64 {
  f64 re;
  f64 im;
};
static_assert(sizeof(c64) == 16 && std::is_trivially_copyable_v<c64>);

template <class T>
concept Element = std::same_as<T, i64> || std::same_as<T, f64> || std::same_as<T, c64>;

/// Applies MACRO to each element type, for explicit instantiation.
#define KS_FOR_EACH_ELEMENT(MACRO) MACRO(i64) MACRO(f64) MACRO(c64)

/// Position of T in that order (i64 0, f64 1, c64 2): its index in per-type tables.
template <Element T> [[nodiscard]] constexpr int type_index() noexcept {
  if constexpr (std::same_as<T, i64>) return 0;
  else if constexpr (std::same_as<T, f64>) return 1;
  else return 2;
}

// --- i64: wrap-around through u64 (signed overflow is undefined in C++) -------------------
[[nodiscard]] inline i64 add(i64 a, i64 b) noexcept {
  return static_cast<i64>(static_cast<u64>(a) + static_cast<u64>(b));
}
[[nodiscard]] inline i64 sub(i64 a, i64 b) noexcept {
  return static_cast<i64>(static_cast<u64>(a) - static_cast<u64>(b));
}
[[nodiscard]] inline i64 mul(i64 a, i64 b) noexcept {
  return static_cast<i64>(static_cast<u64>(a) * static_cast<u64>(b));
}

// --- f64 --------------------------------------------------------------------------------
[[nodiscard]] inline f64 add(f64 a, f64 b) noexcept { return a + b; }
[[nodiscard]] inline f64 sub(f64 a, f64 b) noexcept { return a - b; }
[[nodiscard]] inline f64 mul(f64 a, f64 b) noexcept { return a * b; }
[[nodiscard]] inline f64 div(f64 a, f64 b) noexcept { return a / b; }

// --- c64 --------------------------------------------------------------------------------
[[nodiscard]] inline c64 add(c64 a, c64 b) noexcept { return {a.re + b.re, a.im + b.im}; }
[[nodiscard]] inline c64 sub(c64 a, c64 b) noexcept { return {a.re - b.re, a.im - b.im}; }
/// (a.re·b.re − a.im·b.im, a.re·b.im + a.im·b.re); each product rounded before the sum
/// (the build sets -ffp-contract=off, so no fused multiply-add appears).
[[nodiscard]] inline c64 mul(c64 a, c64 b) noexcept {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
/// ((ac + bd) / n, (bc − ad) / n) with n = c² + d², without scaling: a zero divisor
/// gives infinite or NaN parts.
[[nodiscard]] inline c64 div(c64 a, c64 b) noexcept {
  const f64 n = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / n, (a.im * b.re - a.re * b.im) / n};
}

/// i64 quotient truncated toward zero. A zero divisor and −2^63 / −1 are internal
/// failures ("attempt to divide by zero", "attempt to divide with overflow").
[[nodiscard]] i64 div(i64 a, i64 b);

// --- per-type constants and tests -------------------------------------------------------
template <Element T> [[nodiscard]] constexpr T zero_of() noexcept {
  if constexpr (std::same_as<T, c64>) return c64{0.0, 0.0}; else return T(0);
}
template <Element T> [[nodiscard]] constexpr T one_of() noexcept {
  if constexpr (std::same_as<T, c64>) return c64{1.0, 0.0}; else return T(1);
}

/// Whether a coefficient counts as zero: i64 0; f64 == 0.0 (±0, not NaN); c64 both
/// parts == 0.0 (a NaN part is not zero).
[[nodiscard]] inline bool is_zero(i64 x) noexcept { return x == 0; }
[[nodiscard]] inline bool is_zero(f64 x) noexcept { return x == 0.0; }
[[nodiscard]] inline bool is_zero(c64 x) noexcept { return x.re == 0.0 && x.im == 0.0; }

/// Integer power by squaring from the lowest bit, with the per-type exponent rule:
/// i64 uses all 64 bits of k and wraps; f64 and c64 use the low 32 bits of k as a signed
/// 32-bit integer s, raise to |s|, and for s < 0 invert (c64 before, f64 after).
template <Element T> [[nodiscard]] inline T element_power(T x, u64 k) noexcept {
  u64 e;
  bool negative = false;
  if constexpr (std::same_as<T, i64>) {
    e = k;
  } else {
    const auto s = static_cast<std::int32_t>(static_cast<std::uint32_t>(k));
    negative = s < 0;
    // |s| as unsigned 32-bit: −2^31 gives 2^31.
    e = negative ? static_cast<u64>(0u - static_cast<std::uint32_t>(s)) : static_cast<u64>(s);
    if constexpr (std::same_as<T, c64>) {
      if (negative) {
        const f64 q = x.re * x.re + x.im * x.im;
        x = c64{x.re / q, -x.im / q};
      }
    }
  }
  T result;
  if (e == 0) {
    result = one_of<T>();
  } else {
    T p = x;
    while ((e & 1u) == 0) {
      p = mul(p, p);
      e >>= 1;
    }
    result = p;
    e >>= 1;
    while (e != 0) {
      p = mul(p, p);
      if (e & 1u) result = mul(result, p);
      e >>= 1;
    }
  }
  if constexpr (std::same_as<T, f64>) {
    if (negative) result = 1.0 / result;
  }
  return result;
}

}  // namespace kestrum
