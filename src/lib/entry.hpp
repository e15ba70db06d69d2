// The entry frame shared by every function CPython calls: PyError values, run_entry with
// its guard, and the internal-failure exception pyo3_runtime.PanicException.
#pragma once

#include <Python.h>

#include <cstddef>
#include <expected>
#include <new>
#include <string>
#include <utility>

#include "eval_error.hpp"
#include "py_ref.hpp"

namespace kestrum::py {

/// A failure on its way to Python: an exception type plus a message, or an exception
/// already fetched from the interpreter.
class PyError {
 public:
  /// type is a borrowed exception class (PyExc_ValueError, ...), message UTF-8.
  [[nodiscard]] static PyError make(PyObject* type, std::string message);
  /// Takes the pending Python exception; SystemError "attempted to fetch exception but
  /// none was set" if there is none.
  [[nodiscard]] static PyError fetch();
  /// Sets this error as the current Python exception.
  void restore() &&;
  /// The Python exception type (borrowed) of this error.
  [[nodiscard]] PyObject* type() const noexcept;
  /// str() of the exception value ("" if that fails), for wrapping messages.
  [[nodiscard]] std::string text() const;

 private:
  OwnedRef type_, value_, traceback_;
  std::string message_;
  bool fetched_ = false;
};

/// A binding result: the value, or the error Python will see.
template <class T>
using PyResult = std::expected<T, PyError>;

/// Error values for a PyResult: a new exception of `type` with `message`, or the pending one.
[[nodiscard]] inline std::unexpected<PyError> py_fail(PyObject* type, std::string message) {
  return std::unexpected(PyError::make(type, std::move(message)));
}
[[nodiscard]] inline std::unexpected<PyError> py_fail_fetch() { return std::unexpected(PyError::fetch()); }

/// ValueError carrying the error's message.
[[nodiscard]] PyError eval_error_to_exception(const EvalError& e);

/// The class pyo3_runtime.PanicException (derived from BaseException), created on first use.
[[nodiscard]] PyObject* panic_exception_type();

/// Sets PanicException(msg) (a generic text when msg is null) as the current exception.
void raise_internal(const char* msg) noexcept;

/// Per-thread entry frame: counts the entries active on this thread.
class EntryFrame {
 public:
  EntryFrame() noexcept;
  ~EntryFrame();
  EntryFrame(const EntryFrame&) = delete;
  EntryFrame& operator=(const EntryFrame&) = delete;
};

/// Runs an entry body returning PyResult<OwnedRef>; converts every failure into a Python
/// exception so nothing unwinds into the interpreter.
template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  EntryFrame frame;
  try {
    PyResult<OwnedRef> out = body();
    if (out) return out->release();
    std::move(out.error()).restore();
  } catch (const InternalFailure& f) {
    raise_internal(f.what());
  } catch (const TreeTooDeep& f) {
    PyErr_SetString(PyExc_RecursionError, f.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& f) {
    raise_internal(f.what());
  } catch (...) {
    raise_internal(nullptr);
  }
  return nullptr;
}

}  // namespace kestrum::py
