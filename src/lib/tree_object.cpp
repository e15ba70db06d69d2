// The process-wide type cell, the receiver check and the creation of tree objects. The type's
// tables and entries live in module.cpp.
#include "tree_object.hpp"

#include <new>
#include <string>

namespace kestrum::py {

namespace {

/// Reports a failure to build the type and stops; does not return.
[[noreturn]] void type_init_failed(PyError error) {
  std::move(error).restore();
  PyErr_PrintEx(0);
  internal_failure("An error occurred while initializing class ExpressionTree");
}

/// __qualname__ of obj's type, or its tp_name when that lookup fails.
std::string type_qualname(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  std::string out;
  if (PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__")) {
    if (PyObject* s = PyObject_Str(name)) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size)) out.assign(utf8, static_cast<std::size_t>(size));
      Py_DECREF(s);
    }
    Py_DECREF(name);
  }
  if (PyErr_Occurred() || out.empty()) {
    PyErr_Clear();
    if (out.empty()) out = type->tp_name;
  }
  return out;
}

}  // namespace

PyTypeObject* tree_type_object() {
  // Read and filled under the interpreter lock; never emptied.
  static PyTypeObject* cell = nullptr;
  if (cell != nullptr) return cell;
  PyResult<OwnedRef> built = build_tree_type();
  if (!built) type_init_failed(std::move(built.error()));
  // Building ran Python code: another import may have filled the cell meanwhile, and then
  // the earlier type stays (the new one is released here).
  if (cell == nullptr) cell = reinterpret_cast<PyTypeObject*>(built->release());
  return cell;
}

bool is_tree(PyObject* obj) {
  PyTypeObject* type = tree_type_object();
  return Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type);
}

PyError conversion_type_error(PyObject* obj, const char* target) {
  std::string text = "'";
  text += type_qualname(obj);
  text += "' object cannot be converted to '";
  text += target;
  text += '\'';
  return PyError::make(PyExc_TypeError, std::move(text));
}

PyResult<TypedExpr> extract_tree(PyObject* obj) {
  if (!is_tree(obj)) return std::unexpected(conversion_type_error(obj, "ExpressionTree"));
  return clone_typed(tree_of(obj));
}

PyResult<OwnedRef> alloc_tree_cell(TypedExpr value, PyTypeObject* type) {
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return py_fail_fetch();  // `value` is destroyed on return
  auto* cell = reinterpret_cast<ExpressionTreeObject*>(obj);
  cell->borrow = 0;
  new (&cell->tree) TypedExpr(std::move(value));
  new (&cell->eval_cache) std::unique_ptr<EvalCache, EvalCacheDelete>();
  return OwnedRef::steal(obj);
}

OwnedRef new_tree_object(TypedExpr value) {
  PyResult<OwnedRef> obj = alloc_tree_cell(std::move(value), tree_type_object());
  if (!obj) internal_failure("could not allocate an ExpressionTree object: " + obj.error().text());
  return std::move(*obj);
}

}  // namespace kestrum::py
