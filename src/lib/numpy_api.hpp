// NumPy access for the binding, behind a header that does not include NumPy: lazy loading
// of the C API table, conversions with the module's fixed arguments, read-only borrows,
// views, and handing owned buffers to NumPy. Interpreter lock required throughout.
#pragma once

#include <Python.h>

#include "entry.hpp"
#include "ndarray.hpp"

namespace kestrum::py {

/// NumPy type numbers used by the module.
inline constexpr int kTypeLong = 7, kTypeLongLong = 9, kTypeULongLong = 10, kTypeDouble = 12, kTypeCDouble = 15;

/// Loads the NumPy C API table once per process; an internal failure if that fails.
void ensure_numpy();

/// Whether obj is a NumPy array (PyArray_Type or a subtype). Loads the API.
[[nodiscard]] bool is_ndarray(PyObject* obj);

/// Whether obj is a NumPy complex scalar or a NumPy array of a complex type. Loads the API
/// only when NumPy is already imported (otherwise obj cannot be a NumPy object): false then.
[[nodiscard]] bool is_numpy_complex(PyObject* obj);

/// PyArray_FromAny(obj, DescrFromObject(obj, DescrFromType(requested_typenum)), 0, 32, 0,
/// NULL), holding a reference to obj across the call (an exact array that this call would
/// give back unchanged is returned without asking NumPy). If NumPy refuses (no array), its
/// error is printed with PyErr_Print and an internal failure "Python API call failed" is
/// thrown. The result may be of any type: test it with accepted_as.
[[nodiscard]] OwnedRef convert_array(PyObject* obj, int requested_typenum);

/// The array's type number is one of T's accepted numbers (i64: 7 or 9; f64: 12; c64: 15).
template <Element T> [[nodiscard]] bool accepted_as(PyObject* array);

/// The NumPy type number that T requests (i64: 9, f64: 12, c64: 15).
template <Element T> [[nodiscard]] constexpr int requested_typenum() noexcept {
  if constexpr (std::same_as<T, i64>) return kTypeLongLong;
  else if constexpr (std::same_as<T, f64>) return kTypeDouble;
  else return kTypeCDouble;
}

/// Number of axes and type number of an object known to be a NumPy array.
[[nodiscard]] int array_ndim(PyObject* array);
[[nodiscard]] int array_typenum(PyObject* array);
/// Length of axis `axis` (0 ≤ axis < ndim).
[[nodiscard]] u64 array_dim(PyObject* array, int axis);
/// NPY_ARRAY_C_CONTIGUOUS or NPY_ARRAY_F_CONTIGUOUS is set.
[[nodiscard]] bool array_is_contiguous(PyObject* array);

/// Clears NPY_ARRAY_WRITEABLE for its lifetime and sets it again afterwards if it was set.
class ReadOnlyBorrow {
 public:
  explicit ReadOnlyBorrow(PyObject* array) noexcept;
  ~ReadOnlyBorrow();
  ReadOnlyBorrow(const ReadOnlyBorrow&) = delete;
  ReadOnlyBorrow& operator=(const ReadOnlyBorrow&) = delete;

 private:
  PyObject* array_;
  bool was_writeable_;
};

/// A view of a borrowed array of element type T with NumPy's shape and strides. Memory in
/// non-native byte order is first copied into a native array kept alive by `keep`.
template <Element T> [[nodiscard]] View<T> view_of(PyObject* array, OwnedRef& keep);

/// A new NumPy array over the values' buffer (no element copy), whose base is a holder that
/// frees the buffer. Type number: i64 → 7, f64 → 12, c64 → 15. NumPy's failure is printed
/// and becomes an internal failure "Python API call failed".
template <Element T> [[nodiscard]] OwnedRef to_numpy(Array<T>&& values);

/// A new one-axis uint64 NumPy array over the shape's buffer (type number 10).
[[nodiscard]] OwnedRef shape_to_numpy(Shape&& shape);

}  // namespace kestrum::py
