// OwnedRef: the one owner type for new Python references. Interpreter lock required.
#pragma once

#include <Python.h>

#include <utility>

namespace kestrum::py {

/// Move-only owner of one strong reference (or none). A raw PyObject* anywhere else in the
/// binding is borrowed.
class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  /// Takes over a new reference (may be null).
  [[nodiscard]] static OwnedRef steal(PyObject* p) noexcept { return OwnedRef(p); }
  /// Takes a new reference to a borrowed object (may be null).
  [[nodiscard]] static OwnedRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return OwnedRef(p);
  }
  OwnedRef(OwnedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  /// Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace kestrum::py
