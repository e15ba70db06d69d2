// Placeholders for the shape, parameter and constant methods until their own file lands;
// delete this file then.
#include "ops.hpp"

namespace kestrum::py {

PyResult<OwnedRef> shape_array(const TypedExpr&) { return py_fail(PyExc_NotImplementedError, "not built yet"); }
PyResult<TypedExpr> drop_params_typed(const TypedExpr&, PyObject*, bool) {
  return py_fail(PyExc_NotImplementedError, "not built yet");
}
PyResult<TypedExpr> squeeze_typed(const TypedExpr&) { return py_fail(PyExc_NotImplementedError, "not built yet"); }
PyResult<OwnedRef> constant_value(const TypedExpr&) { return py_fail(PyExc_NotImplementedError, "not built yet"); }
PyResult<TypedExpr> zero_tree(std::int64_t) { return py_fail(PyExc_NotImplementedError, "not built yet"); }
PyResult<TypedExpr> one_tree(std::int64_t) { return py_fail(PyExc_NotImplementedError, "not built yet"); }

}  // namespace kestrum::py
