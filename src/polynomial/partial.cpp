// Partial evaluation of one coefficient array: fixed values for some parameters, whose
// axes shrink to length 1. Trees are handled in expr_partial.cpp.
#include <algorithm>
#include <numeric>
#include <unordered_set>
#include <vector>

#include "polynomial.hpp"

namespace kestrum {

template <Element T>
EvalResult<Polynomial<T>> partial_eval(const Polynomial<T>& coeffs, const std::vector<u64>& indices,
                                       std::span<const T> values) {
  const std::size_t n = coeffs.ndim();
  const Shape& shape = coeffs.shape();

  // The three index checks share one error and run in this order, before anything is built.
  for (u64 index : indices) {
    if (index >= n) return fail(EvalError::incompatible_evaluation());
  }
  std::unordered_set<u64> evaluated_set;
  for (u64 index : indices) {
    if (!evaluated_set.insert(index).second) return fail(EvalError::incompatible_evaluation());
  }
  std::vector<bool> evaluated(n, false);
  for (u64 index : indices) evaluated[index] = true;
  Shape result_shape(n);
  for (std::size_t ax = 0; ax < n; ++ax) result_shape[ax] = evaluated[ax] ? 1 : shape[ax];
  if (values.size() != indices.size()) return fail(EvalError::incompatible_evaluation());

  // The degenerate cases do not depend on the position, so they are decided here. With a
  // kept axis of length 0 the result has no position; with an evaluated axis of length 0
  // every position sums no term and holds zero, whatever the values (infinity and NaN
  // included). Both are the zero array of the result shape.
  bool empty_axis = false;
  for (std::size_t ax = 0; ax < n; ++ax) empty_axis = empty_axis || shape[ax] == 0;
  if (empty_axis) return Polynomial<T>::zeros(std::move(result_shape));
  if (indices.empty()) return fail(EvalError::message("Outer none on polyval"));

  // Sorted values: a stable sort of the positions p by indices[p] (keys are distinct).
  std::vector<std::size_t> order(indices.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&indices](std::size_t l, std::size_t r) { return indices[l] < indices[r]; });
  std::vector<T> sorted(order.size());
  for (std::size_t r = 0; r < order.size(); ++r) sorted[r] = values[order[r]];

  // The sub-array of one result position: the evaluated axes in ascending order, at their
  // full lengths. For each of its sub-indices j (row-major) keep the element offset relative
  // to the position's base and the monomial product s_0^j_0 × … × s_(k−1)^j_(k−1), formed
  // left to right with element_power for every axis (j = 0 and 1 included). The product
  // depends on j only, so computing it once per j gives the same bits as once per term.
  Shape sub_shape;
  std::vector<u64> sub_strides;
  const std::vector<u64> strides = row_major_strides(shape);
  for (std::size_t ax = 0; ax < n; ++ax) {
    if (evaluated[ax]) {
      sub_shape.push_back(shape[ax]);
      sub_strides.push_back(strides[ax]);
    }
  }
  std::vector<u64> term_offsets;
  std::vector<T> monomials;
  for (IndexWalk w(sub_shape); w.valid(); w.next()) {
    u64 at = 0;
    T product = element_power(sorted[0], w.index()[0]);
    at += w.index()[0] * sub_strides[0];
    for (std::size_t r = 1; r < sub_shape.size(); ++r) {
      product = mul(product, element_power(sorted[r], w.index()[r]));
      at += w.index()[r] * sub_strides[r];
    }
    term_offsets.push_back(at);
    monomials.push_back(product);
  }

  Polynomial<T> result = Polynomial<T>::uninitialized(result_shape);
  const T* c = coeffs.data();
  const std::vector<u64> result_strides = [&] {
    std::vector<u64> s(n);
    for (std::size_t ax = 0; ax < n; ++ax) s[ax] = evaluated[ax] ? 0 : strides[ax];
    return s;
  }();
  const std::size_t terms = term_offsets.size();
  for (IndexWalk w(result_shape); w.valid(); w.next()) {
    u64 base = 0;
    for (std::size_t ax = 0; ax < n; ++ax) base += w.index()[ax] * result_strides[ax];
    // Left fold in visiting order; zero coefficients contribute like any other.
    T sum = mul(c[base + term_offsets[0]], monomials[0]);
    for (std::size_t t = 1; t < terms; ++t) sum = add(sum, mul(c[base + term_offsets[t]], monomials[t]));
    result[w.flat()] = sum;
  }
  return result;
}

#define KS_INSTANTIATE(T)                                                                              \
  template EvalResult<Polynomial<T>> partial_eval(const Polynomial<T>&, const std::vector<u64>&, \
                                                  std::span<const T>);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
