// ArgumentSpec and the parser that fills parameter slots from positional and keyword
// arguments, with the module's exact TypeError texts.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "entry.hpp"

namespace kestrum::py {

/// The parameters of one entry: all positional-or-keyword, all required.
struct ArgumentSpec {
  std::string_view operation;            // "__new__", "partial", ...
  std::vector<std::string_view> names;   // positional parameter names, in order
  /// "ExpressionTree.<operation>()"
  [[nodiscard]] std::string full_name() const;
};

/// Vectorcall / METH_FASTCALL|METH_KEYWORDS convention. On success out[i] holds the
/// borrowed argument of parameter i (out.size() == spec.names.size()).
[[nodiscard]] std::expected<void, PyError> parse_fastcall(const ArgumentSpec& spec, PyObject* const* args,
                                                          Py_ssize_t nargs, PyObject* kwnames,
                                                          std::vector<PyObject*>& out);

/// Tuple-and-dict convention (tp_new, tp_call).
[[nodiscard]] std::expected<void, PyError> parse_tuple_dict(const ArgumentSpec& spec, PyObject* args,
                                                            PyObject* kwargs, std::vector<PyObject*>& out);

/// Wraps a conversion failure of parameter `name`: an exact TypeError becomes TypeError
/// "argument '{name}': {text}"; any other exception passes unchanged.
[[nodiscard]] PyError wrap_argument_error(std::string_view name, PyError error);

}  // namespace kestrum::py
