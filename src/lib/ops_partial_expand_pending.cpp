// Placeholders for partial and expand until their own file lands; delete this file then.
#include "ops.hpp"

namespace kestrum::py {

PyResult<TypedExpr> partial_typed(const TypedExpr&, PyObject*, PyObject*) {
  return py_fail(PyExc_NotImplementedError, "not built yet");
}
PyResult<TypedExpr> expand_typed(const TypedExpr&) { return py_fail(PyExc_NotImplementedError, "not built yet"); }

}  // namespace kestrum::py
