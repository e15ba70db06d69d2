// Error values on their way to Python, the internal-failure exception type, and the
// per-thread entry frame (entry count). No operation logic here.
#include "entry.hpp"

#include <cstddef>

namespace kestrum::py {

namespace {

/// Entries active on this thread.
thread_local std::size_t t_entry_count = 0;

}  // namespace

PyError PyError::make(PyObject* type, std::string message) {
  PyError e;
  e.type_ = OwnedRef::borrow(type);
  e.message_ = std::move(message);
  return e;
}

PyError PyError::fetch() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyError e;
  e.type_ = OwnedRef::steal(type);
  e.value_ = OwnedRef::steal(value);
  e.traceback_ = OwnedRef::steal(traceback);
  e.fetched_ = true;
  return e;
}

void PyError::restore() && {
  if (fetched_) {
    // PyErr_Restore steals all three references.
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
  } else {
    PyErr_SetString(type_.get(), message_.c_str());
  }
}

PyObject* PyError::type() const noexcept { return type_.get(); }

std::string PyError::text() const {
  if (!fetched_) return message_;
  // Normalise private copies of the references: the stored error stays as fetched.
  PyObject* type = type_.get();
  PyObject* value = value_.get();
  PyObject* traceback = traceback_.get();
  Py_XINCREF(type);
  Py_XINCREF(value);
  Py_XINCREF(traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string out;
  if (value != nullptr) {
    if (PyObject* s = PyObject_Str(value)) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size)) out.assign(utf8, static_cast<std::size_t>(size));
      Py_DECREF(s);
    }
  }
  // A text that cannot be made is the empty text; no error may stay pending.
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return out;
}

PyError eval_error_to_exception(const EvalError& e) { return PyError::make(PyExc_ValueError, e.message()); }

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal(const char* msg) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation's own error is left set
  PyErr_SetString(type, msg != nullptr ? msg : "internal failure without a message");
}

EntryFrame::EntryFrame() noexcept { ++t_entry_count; }

EntryFrame::~EntryFrame() { --t_entry_count; }

}  // namespace kestrum::py
