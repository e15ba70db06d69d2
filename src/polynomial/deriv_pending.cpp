// Placeholder symbolic derivative until the real one is merged: refuses every call.
#include "expr.hpp"

namespace kestrum {

template <Element T>
EvalResult<Expr<T>> derive_tree(const Expr<T>&, const std::vector<i64>&) {
  return fail(EvalError::message("not built yet"));
}

#define KS_INSTANTIATE(T) template EvalResult<Expr<T>> derive_tree(const Expr<T>&, const std::vector<i64>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
