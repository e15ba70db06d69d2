// The ExpressionTree object record, its type object, and the helpers every entry uses to
// check, borrow, copy and create tree objects. Interpreter lock required throughout.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "entry.hpp"
#include "typed_expr.hpp"

namespace kestrum::py {

/// What evaluations of one object keep for the next ones (defined in ops_construct_eval.cpp).
struct EvalCache;
struct EvalCacheDelete {
  void operator()(EvalCache* cache) const noexcept;
};

/// The instance record: object header, shared-borrow counter, the tree, then what its
/// evaluations keep. The tree is written once, when the object is made (alloc_tree_cell),
/// and destroyed with it; no entry changes it in between, so nothing derived from it and
/// kept in `eval_cache` can go stale.
struct ExpressionTreeObject {
  PyObject_HEAD
  std::int64_t borrow;
  TypedExpr tree;
  std::unique_ptr<EvalCache, EvalCacheDelete> eval_cache;
};

/// The ExpressionTree type, built on first use. A failure to build it is an internal
/// failure (after the interpreter's error has been printed).
[[nodiscard]] PyTypeObject* tree_type_object();

/// Builds the type object from its PyType_Spec (module.cpp); tree_type_object calls it once.
/// Returns a new reference to the type, or the interpreter's error.
[[nodiscard]] PyResult<OwnedRef> build_tree_type();

/// Whether obj is an ExpressionTree (or of a subtype).
[[nodiscard]] bool is_tree(PyObject* obj);

/// TypeError "'{}' object cannot be converted to '{}'" with obj's type __qualname__ and target.
[[nodiscard]] PyError conversion_type_error(PyObject* obj, const char* target);

/// The tree of an object already known to be an ExpressionTree (borrowed reference).
[[nodiscard]] inline const TypedExpr& tree_of(PyObject* obj) noexcept {
  return reinterpret_cast<ExpressionTreeObject*>(obj)->tree;
}

/// A copy of obj's tree, or the receiver-check TypeError when obj is no ExpressionTree.
[[nodiscard]] PyResult<TypedExpr> extract_tree(PyObject* obj);

/// Allocates an instance of `type` holding `value`; on failure the interpreter's error.
[[nodiscard]] PyResult<OwnedRef> alloc_tree_cell(TypedExpr value, PyTypeObject* type);

/// A new ExpressionTree for an operation's result; an allocation failure is an internal
/// failure (its Python error is fetched and described in the message).
[[nodiscard]] OwnedRef new_tree_object(TypedExpr value);

/// Raises the receiver's borrow counter for its lifetime.
class BorrowGuard {
 public:
  explicit BorrowGuard(PyObject* obj) noexcept : obj_(reinterpret_cast<ExpressionTreeObject*>(obj)) { ++obj_->borrow; }
  ~BorrowGuard() { --obj_->borrow; }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

 private:
  ExpressionTreeObject* obj_;
};

}  // namespace kestrum::py
