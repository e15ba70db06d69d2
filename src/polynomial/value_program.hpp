// A straight-line program of element-wise steps over value arrays (polynomial values,
// sums, products, quotients, scalings, powers) and its execution over the rows of one set
// of points, chunk by chunk on the worker pool. The tree evaluation builds one per call; how
// the program came about (trees, derivatives) is not known here. No Python here.
#pragma once

#include <vector>

#include "polynomial.hpp"

namespace kestrum {

/// The steps of one evaluation. Each step writes values (a row per point) and reads values
/// that earlier steps wrote; a value is named by a number the program hands out. Execution
/// keeps only the values still to be read, a chunk of rows at a time, so memory stays a few
/// chunk-sized buffers per worker whatever the number of points. Built and run on the
/// calling thread; the steps themselves run on pool workers.
template <Element T>
class ValueProgram {
 public:
  using Value = u64;

  /// A program over the rows of `points`, which must outlive it.
  explicit ValueProgram(const View<T>& points) : points_(&points) {}

  /// The values of each array in `coeffs` (which must outlive the program), computed in one
  /// step that shares their powers and monomials. Throws InternalFailure when the points
  /// have fewer coordinates than an array has axes.
  [[nodiscard]] std::vector<Value> polynomials(std::vector<const Polynomial<T>*> coeffs);
  /// A derivative whose array is made again for every chunk of rows, from a source array
  /// (which must outlive the program) and orders it is known to accept.
  struct Derived {
    const Polynomial<T>* source;
    std::vector<i64> orders;
  };
  /// The values of each derivative, like polynomials() but without holding the arrays: each
  /// chunk differentiates up to kMaxOutputs of them at a time, evaluates and drops them.
  [[nodiscard]] std::vector<Value> derived_polynomials(std::vector<Derived> derived);
  /// a + b, a − b, a · b or a / b, element by element, a always the left operand.
  [[nodiscard]] Value add(Value a, Value b) { return push({Op::Add, a, b, 0, T{}}); }
  [[nodiscard]] Value sub(Value a, Value b) { return push({Op::Sub, a, b, 0, T{}}); }
  [[nodiscard]] Value mul(Value a, Value b) { return push({Op::Mul, a, b, 0, T{}}); }
  [[nodiscard]] Value div(Value a, Value b) { return push({Op::Div, a, b, 0, T{}}); }
  /// a · factor, the value as the left operand.
  [[nodiscard]] Value scale(Value a, T factor) { return push({Op::Scale, a, 0, 0, factor}); }
  /// element_power(a, exponent).
  [[nodiscard]] Value power(Value a, u64 exponent) { return push({Op::Power, a, 0, exponent, T{}}); }

  /// Runs every step for every row and returns `result`, shaped like the points without
  /// their last axis. A single point (points with one axis) runs on the calling thread; a
  /// batch runs in chunks of kChunkRows rows on the worker pool (the values do not depend on
  /// the number of workers). Throws InternalFailure for an i64 division by zero or of −2^63
  /// by −1: the first such division of the whole batch in step order, then row order.
  [[nodiscard]] Array<T> run(Value result) const;

 private:
  enum class Op { Polynomials, DerivedPolynomials, Add, Sub, Mul, Div, Scale, Power };
  struct Step {
    Op op;
    Value a;    // first operand; (Derived)Polynomials: the first of its values
    Value b;    // second operand of Add, Sub, Mul, Div; (Derived)Polynomials: one past its last value
    u64 index;  // Polynomials: position in prepared_; DerivedPolynomials: in derived_; Power: the exponent
    T factor;   // Scale
  };

  /// Adds a step that writes `count` new values and returns them.
  std::vector<Value> push_multi(Op op, u64 count, u64 index);
  /// Whether the step writes a range of values rather than one.
  static bool writes_many(Op op) { return op == Op::Polynomials || op == Op::DerivedPolynomials; }
  /// Runs one DerivedPolynomials step for rows [first, last).
  void run_derived(const std::vector<Derived>& derived, u64 first, u64 last, T* const* out) const;
  /// Adds a step that writes one new value.
  Value push(Step step) {
    steps_.push_back(step);
    writer_.push_back(steps_.size() - 1);
    return writer_.size() - 1;
  }

  /// Where each value lives during a run (see run()).
  struct Layout;
  [[nodiscard]] Layout layout(Value result) const;
  /// A failed i64 division: the step and its message.
  struct Failure {
    u64 step;
    const char* message;
  };
  /// Runs the steps for rows [first, last) with the given buffers; false after a failed
  /// i64 division, which is described in `failure`.
  [[nodiscard]] bool run_rows(const Layout& layout, u64 first, u64 last, T* buffers, u64 stride, T* result,
                              Failure& failure) const;

  const View<T>* points_;
  std::vector<Step> steps_;
  std::vector<u64> writer_;  // the step that writes each value
  std::vector<PreparedPolynomials<T>> prepared_;
  std::vector<std::vector<Derived>> derived_;
};

}  // namespace kestrum
