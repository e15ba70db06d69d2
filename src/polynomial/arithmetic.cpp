// Dense sum, difference, product (full convolution) and integer power of coefficient
// arrays, plus the shape builder they share with the tree shape. No division here: a
// quotient stays a numerator/denominator pair in the expansion.
#include <vector>

#include "polynomial.hpp"
#include "simd_kernels.hpp"

namespace kestrum {

namespace {

/// Per-axis la + lb − 1, checked for overflow. Along an axis where both operands have no
/// coefficient the product has none either: the product of two zero polynomials is zero.
Shape product_shape(const Shape& a, const Shape& b) {
  Shape out(a.size());
  for (std::size_t ax = 0; ax < a.size(); ++ax) {
    out[ax] = a[ax] == 0 && b[ax] == 0 ? 0 : checked_add(a[ax], b[ax]) - 1;
  }
  return out;
}

/// Where each row-major line (run along the last axis) of `src` starts inside an array of
/// shape `dst_shape`, for the same leading multi-index. A zero-axis source is one line.
std::vector<u64> line_offsets(const Shape& src_shape, const Shape& dst_shape) {
  std::vector<u64> offsets;
  if (src_shape.empty()) {
    offsets.push_back(0);
    return offsets;
  }
  const Shape leading(src_shape.begin(), src_shape.end() - 1);
  const std::vector<u64> dst_strides = row_major_strides(dst_shape);
  for (IndexWalk w(leading); w.valid(); w.next()) {
    u64 at = 0;
    for (std::size_t ax = 0; ax < leading.size(); ++ax) at += w.index()[ax] * dst_strides[ax];
    offsets.push_back(at);
  }
  return offsets;
}

/// Length of one row-major line of an array with at least one element.
u64 line_length(const Shape& shape) { return shape.empty() ? 1 : shape.back(); }

/// out := out ± b over every element of b, positioned by b's own multi-indices inside out.
template <Element T, bool Subtract>
void accumulate_into(Polynomial<T>& out, const Polynomial<T>& b) {
  if (b.size() == 0) return;
  const u64 run = line_length(b.shape());
  const std::vector<u64> lines = line_offsets(b.shape(), out.shape());
  const T* src = b.data();
  for (u64 at : lines) {
    T* dst = out.data() + at;
    for (u64 t = 0; t < run; ++t) {
      if constexpr (Subtract) dst[t] = sub(dst[t], src[t]);
      else dst[t] = add(dst[t], src[t]);
    }
    src += run;
  }
}

template <Element T, bool Subtract>
EvalResult<Polynomial<T>> dense_add_or_sub(const Polynomial<T>& a, const Polynomial<T>& b) {
  if (a.ndim() != b.ndim()) return fail(EvalError::incompatible_composition());
  Polynomial<T> out = Polynomial<T>::zeros(max_shape(a.shape(), b.shape()));
  // a's coefficients are copied, not added to zero, so −0.0 and NaN payloads of a survive.
  if (a.size() != 0) {
    const u64 run = line_length(a.shape());
    const T* src = a.data();
    for (u64 at : line_offsets(a.shape(), out.shape())) {
      T* dst = out.data() + at;
      for (u64 t = 0; t < run; ++t) dst[t] = src[t];
      src += run;
    }
  }
  accumulate_into<T, Subtract>(out, b);
  return out;
}

}  // namespace

Shape max_shape(const Shape& a, const Shape& b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  Shape out(n);
  for (std::size_t ax = 0; ax < n; ++ax) out[ax] = a[ax] > b[ax] ? a[ax] : b[ax];
  return out;
}

template <Element T>
EvalResult<Polynomial<T>> dense_add(const Polynomial<T>& a, const Polynomial<T>& b) {
  return dense_add_or_sub<T, false>(a, b);
}

template <Element T>
EvalResult<Polynomial<T>> dense_sub(const Polynomial<T>& a, const Polynomial<T>& b) {
  return dense_add_or_sub<T, true>(a, b);
}

template <Element T>
EvalResult<Polynomial<T>> dense_mul(const Polynomial<T>& a, const Polynomial<T>& b) {
  if (a.ndim() != b.ndim()) return fail(EvalError::incompatible_composition());
  // The shape is checked (both-empty axes, length and byte-count overflow) before the
  // result is allocated, so nothing is written for a product that cannot exist.
  Polynomial<T> out = Polynomial<T>::zeros(product_shape(a.shape(), b.shape()));
  if (a.size() == 0 || b.size() == 0) return out;

  // Every out[k] receives its contributions in row-major order of a's index i, then of b's
  // index j. For one i the map j ↦ i + j is injective, so each out[k] gets at most one
  // contribution per i, and the kernel may work line by line over contiguous memory as long
  // as, for every out element, lower i come first.
  const std::vector<u64> a_shift = line_offsets(a.shape(), out.shape());
  const std::vector<u64> b_shift = line_offsets(b.shape(), out.shape());
  simd::active_kernels().dense_mul[type_index<T>()](out.data(), a.data(), a_shift.size(), line_length(a.shape()),
                                                      a_shift.data(), b.data(), b_shift.size(),
                                                      line_length(b.shape()), b_shift.data());
  return out;
}

template <Element T>
EvalResult<Polynomial<T>> dense_pow(const Polynomial<T>& a, u64 n) {
  // The one-array: length 1 on every axis; a's coefficients are not read.
  Polynomial<T> result = Polynomial<T>::filled(Shape(a.ndim(), 1), one_of<T>());
  if (n == 0) return result;
  if (n == 1) return a;
  Polynomial<T> power = a;
  const int highest = 63 - __builtin_clzll(n);
  for (int bit = 0; bit <= highest; ++bit) {
    if ((n >> bit) & 1u) {
      auto next = dense_mul(result, power);  // the result is the first operand
      if (!next) return fail(std::move(next).error());
      result = std::move(*next);
    }
    if (bit < highest) {
      auto squared = dense_mul(power, power);
      if (!squared) return fail(std::move(squared).error());
      power = std::move(*squared);
    }
  }
  return result;
}

#define KS_INSTANTIATE(T)                                                                      \
  template EvalResult<Polynomial<T>> dense_add(const Polynomial<T>&, const Polynomial<T>&);    \
  template EvalResult<Polynomial<T>> dense_sub(const Polynomial<T>&, const Polynomial<T>&);    \
  template EvalResult<Polynomial<T>> dense_mul(const Polynomial<T>&, const Polynomial<T>&);    \
  template EvalResult<Polynomial<T>> dense_pow(const Polynomial<T>&, u64);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
