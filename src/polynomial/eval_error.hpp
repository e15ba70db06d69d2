// EvalError (domain failures as values), InternalFailure (broken invariants) and the
// stack-depth guard used by recursive tree walks. No Python here.
#pragma once

#include <cstddef>
#include <expected>
#include <source_location>
#include <stdexcept>
#include <string>
#include <utility>

namespace kestrum {

/// The failure value of the kernels and the tree. Variants in their fixed order.
class EvalError {
 public:
  enum class Variant { IncompatibleComposition, IncompatibleEvaluation, UnsupportedDtype,
                       IncompatibleShape, Message };

  [[nodiscard]] static EvalError incompatible_composition() { return EvalError(Variant::IncompatibleComposition, {}); }
  [[nodiscard]] static EvalError incompatible_evaluation() { return EvalError(Variant::IncompatibleEvaluation, {}); }
  [[nodiscard]] static EvalError unsupported_dtype() { return EvalError(Variant::UnsupportedDtype, {}); }
  [[nodiscard]] static EvalError incompatible_shape() { return EvalError(Variant::IncompatibleShape, {}); }
  [[nodiscard]] static EvalError message(std::string text) { return EvalError(Variant::Message, std::move(text)); }

  [[nodiscard]] Variant variant() const noexcept { return variant_; }
  /// The fixed text of variants 0 to 3, or the payload of Message.
  [[nodiscard]] std::string message() const;

  friend bool operator==(const EvalError&, const EvalError&) = default;

 private:
  EvalError(Variant v, std::string text) : variant_(v), text_(std::move(text)) {}
  Variant variant_;
  std::string text_;
};

template <class T>
using EvalResult = std::expected<T, EvalError>;

/// Shorthand for returning a failure: `return fail(EvalError::message("..."));`.
[[nodiscard]] inline std::unexpected<EvalError> fail(EvalError e) { return std::unexpected(std::move(e)); }

/// A broken invariant (or an input the design treats as one: i64 division by zero, a size
/// that overflows). Caught only by the Python entry frame and by pool jobs.
class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Writes a one-line report ("kestrum: internal failure at file:line: msg") to stderr and
/// throws InternalFailure carrying `msg`. Safe on any thread.
[[noreturn]] void internal_failure(const std::string& msg,
                                   std::source_location where = std::source_location::current());

/// Thrown when a recursive walk gets too close to the end of the thread's stack. The
/// binding raises it as RecursionError; the tree involved stays intact.
class TreeTooDeep : public std::runtime_error {
 public:
  TreeTooDeep() : std::runtime_error("expression tree is too deep for this operation") {}
};

/// Put one at the top of every recursive tree walk: throws TreeTooDeep when less than a
/// safety margin of stack remains on the current thread. Costs a compare per call.
void check_stack_depth();

}  // namespace kestrum
