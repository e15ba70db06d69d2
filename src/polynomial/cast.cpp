// Element-type casts of coefficient arrays (cast_coefficients), for the six widening pairs
// only; the element conversion itself is cast_element in polynomial.hpp.
#include "polynomial.hpp"

namespace kestrum {

template <Element From, Element To>
Polynomial<To> cast_coefficients(const Polynomial<From>& coeffs) {
  Polynomial<To> out = Polynomial<To>::uninitialized(coeffs.shape());
  // Both arrays are row-major with the same shape, so flat positions match.
  for (u64 i = 0; i < coeffs.size(); ++i) out[i] = cast_element<From, To>(coeffs[i]);
  return out;
}

#define KS_INSTANTIATE(FROM, TO) template Polynomial<TO> cast_coefficients<FROM, TO>(const Polynomial<FROM>&);
KS_INSTANTIATE(i64, i64)
KS_INSTANTIATE(i64, f64)
KS_INSTANTIATE(i64, c64)
KS_INSTANTIATE(f64, f64)
KS_INSTANTIATE(f64, c64)
KS_INSTANTIATE(c64, c64)
#undef KS_INSTANTIATE

}  // namespace kestrum
