// Temporary stand-in for expand_tree until the expansion lands; removed on merge.
#include "expr.hpp"

namespace kestrum {

template <Element T>
EvalResult<Expansion<T>> expand_tree(const Expr<T>&) {
  return fail(EvalError::message("expansion is not built yet"));
}

#define KS_INSTANTIATE(T) template EvalResult<Expansion<T>> expand_tree(const Expr<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
