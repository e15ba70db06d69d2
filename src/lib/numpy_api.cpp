// The one translation unit that owns the NumPy C API table: lazy loading, conversions,
// read-only borrows, views and result arrays. Tree logic and argument rules live elsewhere.
#define PY_ARRAY_UNIQUE_SYMBOL kestrum_ARRAY_API
#include "numpy_api.hpp"

#include <numpy/arrayobject.h>

#include <cstddef>
#include <string>

namespace kestrum::py {

namespace {

PyArrayObject* as_array(PyObject* obj) noexcept { return reinterpret_cast<PyArrayObject*>(obj); }

/// Most axes convert_array accepts.
constexpr int kMaxConvertAxes = 32;

/// Prints the pending error to standard error and clears it.
void print_pending_error() {
  if (!PyErr_Occurred()) return;
  if (!PyErr_ExceptionMatches(PyExc_SystemExit)) {
    PyErr_Print();
    return;
  }
  // PyErr_Print would end the process on a SystemExit (raised, say, by an __array__ method),
  // skipping the caller's finally blocks: display it like any other error instead.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  PyErr_Display(type, value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Clear();
}

/// Prints NumPy's pending error (which also clears it) and stops with the internal failure
/// every refused NumPy call ends in.
[[noreturn]] void numpy_call_failed() {
  print_pending_error();
  internal_failure("Python API call failed");
}

// --- the holder that owns a buffer handed to NumPy -----------------------------------------

/// Base object of every result array: frees the buffer exactly once, when NumPy drops it.
struct BufferHolder {
  PyObject_HEAD
  void* owner;
  void (*release)(void*);
};

void holder_dealloc(PyObject* self) noexcept {
  auto* h = reinterpret_cast<BufferHolder*>(self);
  if (h->release != nullptr) h->release(h->owner);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

/// The holder class, created once per process and never freed.
PyTypeObject* holder_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&holder_dealloc)}, {0, nullptr}};
    static PyType_Spec spec = {"kestrum.BufferHolder", sizeof(BufferHolder), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) numpy_call_failed();
    type = reinterpret_cast<PyTypeObject*>(made);
  }
  return type;
}

/// A holder that takes over `owner` (released with `release` when the holder dies). If the
/// holder cannot be made, `owner` is released at once and an internal failure is thrown.
OwnedRef make_holder(void* owner, void (*release)(void*)) {
  PyTypeObject* type = holder_type();
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) {
    release(owner);
    numpy_call_failed();
  }
  auto* h = reinterpret_cast<BufferHolder*>(obj);
  h->owner = owner;
  h->release = release;
  return OwnedRef::steal(obj);
}

/// A new array over `data` (which `holder` keeps alive) with the holder as its base.
OwnedRef array_over(int nd, npy_intp* dims, npy_intp* strides, int typenum, void* data, int itemsize,
                    OwnedRef holder) {
  PyObject* arr = PyArray_New(&PyArray_Type, nd, dims, typenum, strides, data, itemsize,
                              NPY_ARRAY_WRITEABLE, nullptr);
  if (arr == nullptr) numpy_call_failed();  // `holder` frees the buffer on the way out
  OwnedRef out = OwnedRef::steal(arr);
  // PyArray_SetBaseObject steals the holder, even on failure.
  if (PyArray_SetBaseObject(as_array(arr), holder.release()) < 0) numpy_call_failed();
  return out;
}

}  // namespace

void ensure_numpy() {
  static bool loaded = false;
  if (loaded) return;
  // NumPy's own loader: finds the capsule of the running NumPy (1.x or 2.x), checks the ABI
  // and records the runtime feature version that the accessor macros dispatch on.
  if (_import_array() < 0) numpy_call_failed();
  loaded = true;
}

bool is_ndarray(PyObject* obj) {
  ensure_numpy();
  return PyArray_Check(obj);
}

bool is_numpy_complex(PyObject* obj) {
  if (PyLong_Check(obj) || PyFloat_Check(obj)) return false;
  // Without NumPy in sys.modules no NumPy object exists; do not import it for a number.
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString("numpy"));
  OwnedRef numpy = name ? OwnedRef::steal(PyImport_GetModule(name.get())) : OwnedRef();
  if (!numpy) {
    PyErr_Clear();
    return false;
  }
  ensure_numpy();
  return PyArray_IsScalar(obj, ComplexFloating) || (PyArray_Check(obj) && PyArray_ISCOMPLEX(as_array(obj)));
}

OwnedRef convert_array(PyObject* obj, int requested_typenum) {
  ensure_numpy();
  // An exact ndarray already of the requested type (for i64 also NumPy's other 64-bit
  // integer number, an equivalent type), in native byte order and within the axis limit:
  // PyArray_FromAny would give back the array itself, since its own type needs neither a
  // cast nor a copy and no flag asks for one. It is taken as it is, and the two descriptor
  // look-ups are skipped.
  if (PyArray_CheckExact(obj)) {
    PyArrayObject* a = as_array(obj);
    const int t = PyArray_TYPE(a);
    const bool same_type = t == requested_typenum || (requested_typenum == kTypeLongLong && t == kTypeLong &&
                                                      PyArray_ITEMSIZE(a) == static_cast<npy_intp>(sizeof(i64)));
    if (same_type && PyArray_ISNOTSWAPPED(a) && PyArray_NDIM(a) <= kMaxConvertAxes) return OwnedRef::borrow(obj);
  }
  // Hold the object across the conversion: __array__ and friends run Python code.
  OwnedRef keep = OwnedRef::borrow(obj);
  PyArray_Descr* minimum = PyArray_DescrFromType(requested_typenum);
  if (minimum == nullptr) numpy_call_failed();
  PyArray_Descr* descr = PyArray_DescrFromObject(obj, minimum);
  Py_DECREF(minimum);
  // DescrFromObject can fail (datetimes with a numeric minimum, a raising __array__): that
  // is a refused conversion, never a call with an error pending.
  if (descr == nullptr) numpy_call_failed();
  // PyArray_FromAny steals descr, even on failure.
  PyObject* arr = PyArray_FromAny(obj, descr, 0, kMaxConvertAxes, 0, nullptr);
  if (arr == nullptr) numpy_call_failed();
  return OwnedRef::steal(arr);
}

template <Element T>
bool accepted_as(PyObject* array) {
  if (array == nullptr || !is_ndarray(array)) return false;
  const int t = PyArray_TYPE(as_array(array));
  if constexpr (std::same_as<T, i64>) return t == kTypeLong || t == kTypeLongLong;
  else return t == requested_typenum<T>();
}

int array_ndim(PyObject* array) { return PyArray_NDIM(as_array(array)); }
int array_typenum(PyObject* array) { return PyArray_TYPE(as_array(array)); }
u64 array_dim(PyObject* array, int axis) { return static_cast<u64>(PyArray_DIM(as_array(array), axis)); }
bool array_is_contiguous(PyObject* array) {
  return PyArray_CHKFLAGS(as_array(array), NPY_ARRAY_C_CONTIGUOUS) ||
         PyArray_CHKFLAGS(as_array(array), NPY_ARRAY_F_CONTIGUOUS);
}

ReadOnlyBorrow::ReadOnlyBorrow(PyObject* array) noexcept
    : array_(array), was_writeable_(PyArray_CHKFLAGS(as_array(array), NPY_ARRAY_WRITEABLE)) {
  PyArray_CLEARFLAGS(as_array(array_), NPY_ARRAY_WRITEABLE);
}

ReadOnlyBorrow::~ReadOnlyBorrow() {
  if (was_writeable_) PyArray_ENABLEFLAGS(as_array(array_), NPY_ARRAY_WRITEABLE);
}

template <Element T>
View<T> view_of(PyObject* array, OwnedRef& keep) {
  PyObject* source = array;
  // A byte-swapped array ('>f8' has the same type number as '<f8') must never be read as
  // native values: let NumPy make a native copy and read that instead.
  if (PyArray_ISBYTESWAPPED(as_array(array))) {
    PyArray_Descr* native = PyArray_DescrFromType(requested_typenum<T>());
    if (native == nullptr) numpy_call_failed();
    PyObject* copy = PyArray_FromAny(array, native, 0, 0, NPY_ARRAY_CARRAY_RO, nullptr);  // steals native
    if (copy == nullptr) numpy_call_failed();
    keep = OwnedRef::steal(copy);
    source = copy;
  }
  if (PyArray_ITEMSIZE(as_array(source)) != static_cast<npy_intp>(sizeof(T))) {
    internal_failure("array element size does not match its type");
  }
  View<T> v;
  PyArrayObject* a = as_array(source);
  const int nd = PyArray_NDIM(a);
  v.data = reinterpret_cast<const std::byte*>(PyArray_BYTES(a));
  v.shape.resize(static_cast<std::size_t>(nd));
  v.strides.resize(static_cast<std::size_t>(nd));
  for (int ax = 0; ax < nd; ++ax) {
    v.shape[static_cast<std::size_t>(ax)] = static_cast<u64>(PyArray_DIM(a, ax));
    v.strides[static_cast<std::size_t>(ax)] = static_cast<std::ptrdiff_t>(PyArray_STRIDE(a, ax));
  }
  return v;
}

template <Element T>
OwnedRef to_numpy(Array<T>&& values) {
  ensure_numpy();
  const Shape& shape = values.shape();
  const int nd = static_cast<int>(shape.size());
  // Lengths and strides on the stack for the usual number of axes (every array of points
  // has at most kMaxConvertAxes), on the heap beyond it.
  npy_intp small[2 * kMaxConvertAxes];
  std::vector<npy_intp> large(shape.size() > kMaxConvertAxes ? 2 * shape.size() : 0);
  npy_intp* const dims = large.empty() ? small : large.data();
  npy_intp* const strides = dims + shape.size();
  npy_intp step = static_cast<npy_intp>(sizeof(T));
  for (std::size_t ax = shape.size(); ax-- > 0;) {
    dims[ax] = static_cast<npy_intp>(shape[ax]);
    strides[ax] = step;
    step *= shape[ax] == 0 ? 1 : static_cast<npy_intp>(shape[ax]);
  }
  int typenum;
  if constexpr (std::same_as<T, i64>) typenum = kTypeLong;
  else typenum = requested_typenum<T>();
  T* data = values.release_buffer().release();
  OwnedRef holder = make_holder(data, [](void* p) { BufferDelete<T>{}(static_cast<T*>(p)); });
  return array_over(nd, dims, strides, typenum, data, static_cast<int>(sizeof(T)), std::move(holder));
}

OwnedRef shape_to_numpy(Shape&& shape) {
  ensure_numpy();
  auto* owned = new Shape(std::move(shape));
  OwnedRef holder = make_holder(owned, [](void* p) { delete static_cast<Shape*>(p); });
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  npy_intp strides[1] = {static_cast<npy_intp>(sizeof(u64))};
  return array_over(1, dims, strides, kTypeULongLong, owned->data(), static_cast<int>(sizeof(u64)),
                    std::move(holder));
}

#define KS_INSTANTIATE(T)                                       \
  template bool accepted_as<T>(PyObject*);                      \
  template View<T> view_of<T>(PyObject*, OwnedRef&);            \
  template OwnedRef to_numpy<T>(Array<T>&&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum::py
