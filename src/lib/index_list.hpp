// The index-list argument (indices of deriv, integ and partial): converted by NumPy to a
// one-axis int64 array, borrowed read-only for the call, and copied into an owned list.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "entry.hpp"
#include "numpy_api.hpp"

namespace kestrum::py {

/// Owns everything an index list holds for the length of a call. The members are destroyed
/// in reverse order, so the writeable flag is restored before the array is released.
struct IndexList {
  OwnedRef array;                        // the converted array
  std::optional<ReadOnlyBorrow> borrow;  // clears NPY_ARRAY_WRITEABLE until destroyed
  std::vector<i64> values;               // the elements in index order, whatever the strides

  IndexList() = default;
  IndexList(const IndexList&) = delete;
  IndexList& operator=(const IndexList&) = delete;
};

/// Fills `out` from `indices`. ValueError "Could not convert type" unless NumPy gives a
/// one-axis array of type number 7 or 9; a refused conversion is an internal failure
/// "Python API call failed" (NumPy's error printed first). Interpreter lock required.
[[nodiscard]] std::expected<void, PyError> read_index_list(PyObject* indices, IndexList& out);

}  // namespace kestrum::py
