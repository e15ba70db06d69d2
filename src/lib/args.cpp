// Fills parameter slots from positional and keyword arguments and words every argument
// error. Conversions of the parsed values are left to the entries.
#include "args.hpp"

#include <cstddef>

namespace kestrum::py {

namespace {

/// Slot-filling state shared by both calling conventions.
class SlotFiller {
 public:
  SlotFiller(const ArgumentSpec& spec, std::vector<PyObject*>& out) : spec_(spec), out_(out) {
    out_.assign(spec_.names.size(), nullptr);
  }

  std::expected<void, PyError> positional(PyObject* const* items, Py_ssize_t count) {
    const std::size_t m = static_cast<std::size_t>(count);
    if (m > spec_.names.size()) {
      return std::unexpected(PyError::make(
          PyExc_TypeError, spec_.full_name() + " takes " + std::to_string(spec_.names.size()) +
                               " positional arguments but " + std::to_string(m) + (m == 1 ? " was" : " were") +
                               " given"));
    }
    for (std::size_t i = 0; i < m; ++i) out_[i] = items[i];
    return {};
  }

  std::expected<void, PyError> keyword(PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
      return std::unexpected(PyError::make(PyExc_TypeError, spec_.full_name() + " keywords must be strings"));
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
      // A name without a UTF-8 form (lone surrogates) matches no parameter: report it as an
      // unexpected keyword, escaped so that the message itself can be made.
      PyErr_Clear();
      OwnedRef escaped = OwnedRef::steal(PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace"));
      if (!escaped) return std::unexpected(PyError::fetch());
      return unexpected_keyword(std::string_view(PyBytes_AS_STRING(escaped.get()),
                                                 static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get()))));
    }
    const std::string_view key(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < spec_.names.size(); ++i) {
      if (spec_.names[i] != key) continue;
      if (out_[i] != nullptr) {
        return std::unexpected(PyError::make(PyExc_TypeError, spec_.full_name() +
                                                                  " got multiple values for argument '" +
                                                                  std::string(key) + "'"));
      }
      out_[i] = value;
      return {};
    }
    return unexpected_keyword(key);
  }

  std::expected<void, PyError> finish() {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < spec_.names.size(); ++i) {
      if (out_[i] == nullptr) missing.push_back(spec_.names[i]);
    }
    if (missing.empty()) return {};
    std::string text = spec_.full_name() + " missing " + std::to_string(missing.size()) + " required positional " +
                       (missing.size() == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) {
        if (missing.size() > 2) text += ',';
        text += i + 1 == missing.size() ? " and " : " ";
      }
      text += '\'';
      text += missing[i];
      text += '\'';
    }
    return std::unexpected(PyError::make(PyExc_TypeError, std::move(text)));
  }

 private:
  std::unexpected<PyError> unexpected_keyword(std::string_view key) const {
    return std::unexpected(PyError::make(
        PyExc_TypeError, spec_.full_name() + " got an unexpected keyword argument '" + std::string(key) + "'"));
  }

  const ArgumentSpec& spec_;
  std::vector<PyObject*>& out_;
};

}  // namespace

std::string ArgumentSpec::full_name() const { return "ExpressionTree." + std::string(operation) + "()"; }

std::expected<void, PyError> parse_fastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, std::vector<PyObject*>& out) {
  SlotFiller filler(spec, out);
  const Py_ssize_t npos = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
  if (auto r = filler.positional(args, npos); !r) return r;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    // Keyword values follow the positional ones, in the order of the name tuple.
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (auto r = filler.keyword(PyTuple_GET_ITEM(kwnames, i), args[npos + i]); !r) return r;
    }
  }
  return filler.finish();
}

std::expected<void, PyError> parse_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs,
                                              std::vector<PyObject*>& out) {
  SlotFiller filler(spec, out);
  if (auto r = filler.positional(reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args)); !r) return r;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (auto r = filler.keyword(key, value); !r) return r;
    }
  }
  return filler.finish();
}

PyError wrap_argument_error(std::string_view name, PyError error) {
  // Only an exact TypeError is reworded; subclasses and other exceptions pass unchanged.
  if (error.type() != PyExc_TypeError) return error;
  return PyError::make(PyExc_TypeError, "argument '" + std::string(name) + "': " + error.text());
}

}  // namespace kestrum::py
