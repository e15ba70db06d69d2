// Module initialisation, the ExpressionTree type (PyType_Spec, slots, method and property tables,
// dealloc) and every C entry: receiver check, borrow, argument parsing and conversion, then
// the operation from ops.hpp. What the operations compute lives in the ops_*.cpp files.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "args.hpp"
#include "entry.hpp"
#include "numpy_api.hpp"
#include "ops.hpp"
#include "tree_object.hpp"

namespace kestrum::py {

namespace {

// --- docstrings (byte-exact: the text before "\n--\n\n" is the signature) --------------------

constexpr const char* kClassDoc =
    "ExpressionTree(vals)\n--\n\nAn abstract expression tree with concrete terms. Lazily evaluates arithmetic\n"
    "operations.";
constexpr const char* kExpandDoc =
    "expand()\n--\n\nRecursively evaluate the syntax tree to yield either a single polynomial\nor a rational with a "
    "polynomial numerator and denominator.\n\nReturns\n=======\nFloatExpression";
constexpr const char* kPartialDoc =
    "partial(indices, values)\n--\n\nEvaluate the expression tree on a subset of provided terms and return a\nnew "
    "expression tree.\n\nParameters\n==========\nindicies : array_like\n    (n,) shaped array of integers. This "
    "argument specifies which terms in the\n    expression are to be evaluated.\nvalues : array_like\n    (n,) "
    "shaped array of floats. This argument specifies the values to use in\n    the expression.\n\nReturns\n=======\n"
    "FloatExpression";
constexpr const char* kDerivDoc =
    "deriv(indices)\n--\n\nTakes the derivative of the expression with respect to multiple\nparameters. Zero is a "
    "no-op. Negative numbers integrate.\n\nParameters\n==========\nindices: array_like of int\n    shape (n,) where "
    "n is the dimension of the expression.\n\nReturns\n=======\nFloatExpression";
constexpr const char* kIntegDoc =
    "integ(indices)\n--\n\nTakes the antiderivative of the expression with respect to multiple\nparameters. Zero is "
    "a no-op. Negative numbers differentiate.\n\nParameters\n==========\nindices: array_like of int\n    shape (n,) "
    "where n is the dimension of the expression.\n\nReturns\n=======\nFloatExpression";
constexpr const char* kDropParamsDoc =
    "drop_params(indices)\n--\n\nTry to drop parameters and reduce the dimensionality.\n\nParameters\n==========\n"
    "indices: array_like of int\n    shape (m,), specifies degrees of freedom to drop.\n\nReturns\n=======\n"
    "FloatExpression\n\nRaises\n======\nValueError\n    If non-empty or invalid degrees of freedom are specified.";
constexpr const char* kSqueezeDoc =
    "squeeze()\n--\n\nAutomatically drop empty degrees of freedom\n\nReturns\n=======\nFloatExpression";
constexpr const char* kToConstantDoc =
    "to_constant()\n--\n\nTry to evaluate the expression and return a constant\n\nRaises\n======\n\nValueError\n    "
    "If some degrees of freedom still exist";
constexpr const char* kZeroDoc =
    "zero(dimension)\n--\n\nConstruct a polynomial of desired dimension equal to the constant 0.\n\nReturns\n=======\n"
    "FloatExpression";
constexpr const char* kOneDoc =
    "one(dimension)\n--\n\nConstruct a polynomial of desired dimension equal to the constant 1.\n\nReturns\n=======\n"
    "FloatExpression";
constexpr const char* kShapeDoc = "The maximum degree of any term in the expression tree";
constexpr const char* kDimensionDoc = "The number of free parameters in the expression tree";

// --- argument specs ---------------------------------------------------------------------------

const ArgumentSpec& spec_new() { static const ArgumentSpec s{"__new__", {"vals"}}; return s; }
const ArgumentSpec& spec_call() { static const ArgumentSpec s{"__call__", {"vals"}}; return s; }
const ArgumentSpec& spec_partial() { static const ArgumentSpec s{"partial", {"indices", "values"}}; return s; }
const ArgumentSpec& spec_deriv() { static const ArgumentSpec s{"deriv", {"indices"}}; return s; }
const ArgumentSpec& spec_integ() { static const ArgumentSpec s{"integ", {"indices"}}; return s; }
const ArgumentSpec& spec_drop_params() { static const ArgumentSpec s{"drop_params", {"indices"}}; return s; }
const ArgumentSpec& spec_to_constant() { static const ArgumentSpec s{"to_constant", {}}; return s; }
const ArgumentSpec& spec_zero() { static const ArgumentSpec s{"zero", {"dimension"}}; return s; }
const ArgumentSpec& spec_one() { static const ArgumentSpec s{"one", {"dimension"}}; return s; }
const ArgumentSpec& spec_rmul() { static const ArgumentSpec s{"__rmul__", {"other"}}; return s; }

// --- shared entry helpers ---------------------------------------------------------------------

/// The receiver check: TypeError unless obj is an ExpressionTree.
std::expected<void, PyError> check_receiver(PyObject* obj) {
  if (!is_tree(obj)) return std::unexpected(conversion_type_error(obj, "ExpressionTree"));
  return {};
}

/// Wraps an operation's tree result in a new object (an allocation failure is internal).
PyResult<OwnedRef> wrap(PyResult<TypedExpr> result) {
  if (!result) return std::unexpected(std::move(result.error()));
  return new_tree_object(std::move(*result));
}

OwnedRef not_implemented() { return OwnedRef::borrow(Py_NotImplemented); }

/// `dimension` of zero and one: an index, then a signed 64-bit integer.
PyResult<std::int64_t> read_dimension(PyObject* obj) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(obj));
  if (!index) return std::unexpected(wrap_argument_error("dimension", PyError::fetch()));
  const long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) return std::unexpected(wrap_argument_error("dimension", PyError::fetch()));
  return static_cast<std::int64_t>(value);
}

/// Name of a NumPy type number in the "Shape Mismatch" text; null when it has none.
const char* typenum_name(int t) {
  switch (t) {
    case 0: return "Bool";
    case 1: return "Int8";
    case 2: return "Uint8";
    case 3: return "Int16";
    case 4: return "Uint16";
    case 5: return "Int32";
    case 6: return "Uint32";
    case 7: case 9: return "Int64";
    case 8: case 10: return "Uint64";
    case 11: return "Float32";
    case 12: return "Float64";
    case 14: return "Complex32";
    case 15: return "Complex64";
    case 17: return "Object";
    default: return nullptr;
  }
}

/// `indices` of drop_params: a one-axis NumPy array of type number 7 or 9, not converted.
std::expected<void, PyError> check_drop_indices(PyObject* obj) {
  if (!is_ndarray(obj)) {
    return std::unexpected(wrap_argument_error("indices", conversion_type_error(obj, "PyArray<T, D>")));
  }
  const int t = array_typenum(obj);
  const int nd = array_ndim(obj);
  if ((t == kTypeLong || t == kTypeLongLong) && nd == 1) return {};
  const char* name = typenum_name(t);
  std::string text = "Shape Mismatch:\n from=(dim=" + std::to_string(nd) +
                     ", dtype=" + (name != nullptr ? name : "Unknown") + "), to=(dim=1, dtype=Int64)";
  return std::unexpected(wrap_argument_error("indices", PyError::make(PyExc_TypeError, std::move(text))));
}

// --- bodies -----------------------------------------------------------------------------------

PyResult<OwnedRef> new_body(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::vector<PyObject*> a;
  if (auto r = parse_tuple_dict(spec_new(), args, kwargs, a); !r) return std::unexpected(std::move(r.error()));
  PyResult<TypedExpr> tree = tree_from_values(a[0]);
  if (!tree) return std::unexpected(std::move(tree.error()));
  // The interpreter's own error (normally MemoryError) is raised unchanged here.
  return alloc_tree_cell(std::move(*tree), type);
}

PyResult<OwnedRef> call_body(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (auto r = check_receiver(self); !r) return std::unexpected(std::move(r.error()));
  BorrowGuard borrow(self);
  auto& object = *reinterpret_cast<ExpressionTreeObject*>(self);
  // One positional argument and no keyword: what parsing would give, without its buffer.
  if (kwargs == nullptr && PyTuple_GET_SIZE(args) == 1) return evaluate_at_points(object, PyTuple_GET_ITEM(args, 0));
  std::vector<PyObject*> a;
  if (auto r = parse_tuple_dict(spec_call(), args, kwargs, a); !r) return std::unexpected(std::move(r.error()));
  return evaluate_at_points(object, a[0]);
}

PyResult<OwnedRef> str_body(PyObject* self) {
  BorrowGuard borrow(self);
  return display_typed(tree_of(self));
}

enum class BinaryOp { Add, Sub };

PyResult<OwnedRef> add_sub_body(PyObject* left, PyObject* right, BinaryOp op) {
  PyResult<TypedExpr> rhs = extract_tree(right);
  if (!rhs) return not_implemented();  // the error is discarded
  PyResult<TypedExpr> lhs = extract_tree(left);
  if (!lhs) return std::unexpected(std::move(lhs.error()));
  return wrap(op == BinaryOp::Add ? tree_add(std::move(*lhs), std::move(*rhs))
                                  : tree_sub(std::move(*lhs), std::move(*rhs)));
}

PyResult<OwnedRef> multiply_body(PyObject* left, PyObject* right) {
  if (PyResult<TypedExpr> lhs = extract_tree(left)) return wrap(tree_mul(std::move(*lhs), right));
  if (!is_tree(right)) return not_implemented();
  // Reflected product: the right operand is the receiver, borrowed while its tree is read.
  BorrowGuard borrow(right);
  return wrap(tree_mul(clone_typed(tree_of(right)), left));
}

PyResult<OwnedRef> true_divide_body(PyObject* left, PyObject* right) {
  PyResult<TypedExpr> lhs = extract_tree(left);
  if (!lhs) return std::unexpected(std::move(lhs.error()));
  return wrap(tree_truediv(std::move(*lhs), right));
}

/// Receiver check and shared borrow around a getter or method body.
template <class F>
PyResult<OwnedRef> with_receiver(PyObject* self, F&& f) {
  if (auto r = check_receiver(self); !r) return std::unexpected(std::move(r.error()));
  BorrowGuard borrow(self);
  return f();
}

PyResult<OwnedRef> shape_body(PyObject* self) {
  return with_receiver(self, [&] { return shape_array(tree_of(self)); });
}

PyResult<OwnedRef> dimension_body(PyObject* self) {
  return with_receiver(self, [&]() -> PyResult<OwnedRef> {
    OwnedRef n = OwnedRef::steal(PyLong_FromUnsignedLongLong(typed_dimension(tree_of(self))));
    if (!n) return py_fail_fetch();
    return n;
  });
}

PyResult<OwnedRef> expand_body(PyObject* self) {
  return with_receiver(self, [&] { return wrap(expand_typed(tree_of(self))); });
}

PyResult<OwnedRef> squeeze_body(PyObject* self) {
  return with_receiver(self, [&] { return wrap(squeeze_typed(tree_of(self))); });
}

/// Methods with the fast-call convention: receiver check, borrow, parse, then `f(args)`.
template <class F>
PyResult<OwnedRef> fastcall_method(PyObject* self, const ArgumentSpec& spec, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames, F&& f) {
  return with_receiver(self, [&]() -> PyResult<OwnedRef> {
    std::vector<PyObject*> a;
    if (auto r = parse_fastcall(spec, args, nargs, kwnames, a); !r) return std::unexpected(std::move(r.error()));
    return f(a);
  });
}

PyResult<OwnedRef> drop_params_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return fastcall_method(self, spec_drop_params(), args, nargs, kwnames,
                         [&](const std::vector<PyObject*>& a) -> PyResult<OwnedRef> {
                           if (auto r = check_drop_indices(a[0]); !r) return std::unexpected(std::move(r.error()));
                           // Read-only for the call; the guard restores the flag on every path.
                           ReadOnlyBorrow readonly(a[0]);
                           return wrap(drop_params_typed(tree_of(self), a[0]));
                         });
}

PyResult<OwnedRef> class_method_body(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, bool one) {
  std::vector<PyObject*> a;
  if (auto r = parse_fastcall(spec, args, nargs, kwnames, a); !r) return std::unexpected(std::move(r.error()));
  PyResult<std::int64_t> n = read_dimension(a[0]);
  if (!n) return std::unexpected(std::move(n.error()));
  return wrap(one ? one_tree(*n) : zero_tree(*n));
}

// --- C entries ----------------------------------------------------------------------------------

PyObject* slot_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return run_entry([&] { return new_body(type, args, kwargs); });
}
PyObject* slot_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return run_entry([&] { return call_body(self, args, kwargs); });
}
PyObject* slot_str(PyObject* self) noexcept {
  return run_entry([&] { return str_body(self); });
}
PyObject* slot_add(PyObject* a, PyObject* b) noexcept {
  return run_entry([&] { return add_sub_body(a, b, BinaryOp::Add); });
}
PyObject* slot_subtract(PyObject* a, PyObject* b) noexcept {
  return run_entry([&] { return add_sub_body(a, b, BinaryOp::Sub); });
}
PyObject* slot_multiply(PyObject* a, PyObject* b) noexcept {
  return run_entry([&] { return multiply_body(a, b); });
}
PyObject* slot_true_divide(PyObject* a, PyObject* b) noexcept {
  return run_entry([&] { return true_divide_body(a, b); });
}

PyObject* get_shape(PyObject* self, void*) noexcept {
  return run_entry([&] { return shape_body(self); });
}
PyObject* get_dimension(PyObject* self, void*) noexcept {
  return run_entry([&] { return dimension_body(self); });
}

PyObject* meth_expand(PyObject* self, PyObject*) noexcept {
  return run_entry([&] { return expand_body(self); });
}
PyObject* meth_squeeze(PyObject* self, PyObject*) noexcept {
  return run_entry([&] { return squeeze_body(self); });
}
PyObject* meth_partial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] {
    return fastcall_method(self, spec_partial(), args, nargs, kwnames, [&](const std::vector<PyObject*>& a) {
      return wrap(partial_typed(tree_of(self), a[0], a[1]));
    });
  });
}
PyObject* meth_deriv(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] {
    return fastcall_method(self, spec_deriv(), args, nargs, kwnames, [&](const std::vector<PyObject*>& a) {
      return wrap(deriv_typed(tree_of(self), a[0]));
    });
  });
}
PyObject* meth_integ(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] {
    return fastcall_method(self, spec_integ(), args, nargs, kwnames, [&](const std::vector<PyObject*>& a) {
      return wrap(integ_typed(tree_of(self), a[0]));
    });
  });
}
PyObject* meth_drop_params(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] { return drop_params_body(self, args, nargs, kwnames); });
}
PyObject* meth_to_constant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] {
    return fastcall_method(self, spec_to_constant(), args, nargs, kwnames,
                           [&](const std::vector<PyObject*>&) { return constant_value(tree_of(self)); });
  });
}
PyObject* meth_zero(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] { return class_method_body(spec_zero(), args, nargs, kwnames, false); });
}
PyObject* meth_one(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] { return class_method_body(spec_one(), args, nargs, kwnames, true); });
}
PyObject* meth_rmul(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return run_entry([&] {
    return fastcall_method(self, spec_rmul(), args, nargs, kwnames, [&](const std::vector<PyObject*>& a) {
      return wrap(tree_mul(clone_typed(tree_of(self)), a[0]));
    });
  });
}

/// Py_tp_dealloc: destroys what evaluations kept and the tree, frees the object, then
/// releases the type (instances of a heap type own a reference to it).
void dealloc_tree(PyObject* self) noexcept {
  EntryFrame frame;
  auto* obj = reinterpret_cast<ExpressionTreeObject*>(self);
  using EvalCachePtr = std::unique_ptr<EvalCache, EvalCacheDelete>;
  obj->eval_cache.~EvalCachePtr();  // it points into the tree
  obj->tree.~TypedExpr();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// --- tables -------------------------------------------------------------------------------------

template <class F> void* fn(F* f) { return reinterpret_cast<void*>(f); }
template <class F> PyCFunction cfn(F* f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(f)); }

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"expand", cfn(&meth_expand), METH_NOARGS, kExpandDoc},
    {"partial", cfn(&meth_partial), kFastKw, kPartialDoc},
    {"deriv", cfn(&meth_deriv), kFastKw, kDerivDoc},
    {"integ", cfn(&meth_integ), kFastKw, kIntegDoc},
    {"drop_params", cfn(&meth_drop_params), kFastKw, kDropParamsDoc},
    {"squeeze", cfn(&meth_squeeze), METH_NOARGS, kSqueezeDoc},
    {"to_constant", cfn(&meth_to_constant), kFastKw, kToConstantDoc},
    {"zero", cfn(&meth_zero), kFastKw | METH_CLASS, kZeroDoc},
    {"one", cfn(&meth_one), kFastKw | METH_CLASS, kOneDoc},
    // Replaces the wrapper the interpreter would derive from nb_multiply.
    {"__rmul__", cfn(&meth_rmul), kFastKw | METH_COEXIST, ""},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"shape", &get_shape, nullptr, kShapeDoc, nullptr},
    {"dimension", &get_dimension, nullptr, kDimensionDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, fn(&slot_new)},
    {Py_tp_dealloc, fn(&dealloc_tree)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_tp_str, fn(&slot_str)},
    {Py_nb_add, fn(&slot_add)},
    {Py_nb_subtract, fn(&slot_subtract)},
    {Py_nb_multiply, fn(&slot_multiply)},
    {Py_nb_true_divide, fn(&slot_true_divide)},
    {Py_tp_call, fn(&slot_call)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.ExpressionTree",
    static_cast<int>(sizeof(ExpressionTreeObject)),
    0,
    Py_TPFLAGS_DEFAULT,  // no GC, not a base type: the class cannot be subclassed
    g_slots,
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "kestrum",
    "Provides the ExpressionTree class",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

/// Fills a new module: __all__ and the ExpressionTree attribute.
PyResult<OwnedRef> module_body(PyObject* module) {
  PyTypeObject* type = tree_type_object();
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return py_fail_fetch();
    PyErr_Clear();
    all = OwnedRef::steal(PyList_New(0));
    if (!all) return py_fail_fetch();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return py_fail_fetch();
  }
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString("ExpressionTree"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    PyError cause = PyError::fetch();
    internal_failure("could not append __name__ to __all__: " + cause.text());
  }
  if (PyObject_SetAttrString(module, "ExpressionTree", reinterpret_cast<PyObject*>(type)) < 0) return py_fail_fetch();
  return OwnedRef::borrow(module);
}

PyResult<OwnedRef> init_body() {
  OwnedRef module = OwnedRef::steal(PyModule_Create2(&g_module, 1013));
  if (!module) return py_fail_fetch();
  PyResult<OwnedRef> filled = module_body(module.get());
  if (!filled) return filled;  // `module` is released here
  return module;
}

}  // namespace

PyResult<OwnedRef> build_tree_type() {
  PyObject* type = PyType_FromSpec(&g_spec);
  if (type == nullptr) return py_fail_fetch();
  return OwnedRef::steal(type);
}

}  // namespace kestrum::py

PyMODINIT_FUNC PyInit_kestrum() {
  return kestrum::py::run_entry([] { return kestrum::py::init_body(); });
}
