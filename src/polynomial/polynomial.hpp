// Declarations of the coefficient-array kernels; each concept is defined in its own file
// (eval.cpp, calculus.cpp, partial.cpp, arithmetic.cpp, cast.cpp, format.cpp) and
// instantiated there for i64, f64 and c64. No Python here.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "element.hpp"
#include "eval_error.hpp"
#include "ndarray.hpp"

namespace kestrum {

/// Rows per chunk of a batch evaluation; fixed, whatever the worker count.
inline constexpr u64 kChunkRows = 5000;

// --- eval.cpp ---------------------------------------------------------------------------

/// Values of `coeffs` at every point of `points` (last axis = coordinates, which the caller
/// guarantees has coeffs.ndim() entries). Result shape: the points' shape without its last
/// axis. A single point (one axis) runs on the calling thread; a batch runs in chunks of
/// kChunkRows rows on the worker pool (created on first batch), joined in chunk order.
/// Errors: Message "Failed to get new len" (points with no axis), Message "Failed to
/// concatenate values after eval" (a batch with no row). Calling thread only.
template <Element T>
[[nodiscard]] EvalResult<Array<T>> eval_points(const Polynomial<T>& coeffs, const View<T>& points);

/// Values at one block (a single point, or rows × d): term by term in row-major order of
/// the coefficients, each term the product of the powers over ascending axes, then times the
/// coefficient; zero coefficients skipped; the first term taken unchanged. Cannot fail.
/// Pure: runs on pool workers.
template <Element T>
[[nodiscard]] Array<T> eval_chunk(const Polynomial<T>& coeffs, const View<T>& block);

/// Coefficient arrays prepared for evaluation: which powers and shared products each point
/// needs is worked out once (it depends on the arrays only), then any range of rows of any
/// points can be evaluated, from any thread. Arrays with the same number of axes are
/// evaluated together, up to four in one pass over the points, sharing their powers and
/// monomials; each value is still exactly the one eval_chunk gives. Keeps pointers to the
/// arrays, which must outlive it and not change.
template <Element T>
class PreparedPolynomials;

/// Values of the one array `prepared` holds, exactly as eval_points(coeffs, points) gives
/// them, with the same errors; the work of preparing the array is not repeated. Throws
/// InternalFailure when `prepared` holds another number of arrays or the points have fewer
/// coordinates than the array has axes. Calling thread only.
template <Element T>
[[nodiscard]] EvalResult<Array<T>> eval_points(const PreparedPolynomials<T>& prepared, const View<T>& points);

template <Element T>
class PreparedPolynomials {
 public:
  /// Prepared for the rows of `points`: throws InternalFailure when the points have fewer
  /// coordinates than an array has axes.
  PreparedPolynomials(std::vector<const Polynomial<T>*> coeffs, const View<T>& points);
  /// Prepared for any points; each set must pass check_points before its rows are evaluated.
  explicit PreparedPolynomials(std::vector<const Polynomial<T>*> coeffs);
  PreparedPolynomials(PreparedPolynomials&&) noexcept;
  PreparedPolynomials& operator=(PreparedPolynomials&&) noexcept;
  ~PreparedPolynomials();

  /// Number of arrays.
  [[nodiscard]] std::size_t size() const noexcept { return coeffs_.size(); }
  /// Throws InternalFailure when the points have fewer coordinates than an array has axes.
  void check_points(const View<T>& points) const;

  /// Values of array j at rows [first, last) of the points (rows in row-major order of the
  /// points' leading axes; a single point is row 0) into out[j][0, last − first), for every
  /// j. Reads only the arrays and those rows; safe on pool workers.
  void eval_rows(const View<T>& points, u64 first, u64 last, T* const* out) const;

 private:
  struct Plan;
  std::vector<const Polynomial<T>*> coeffs_;
  std::unique_ptr<Plan> plan_;
};

// --- calculus.cpp -----------------------------------------------------------------------

/// Mixed partial derivative (order > 0) / antiderivative (order < 0) along every axis.
/// Errors: IncompatibleComposition when orders.size() != ndim; Message "Derivative order
/// out of range" (a new length outside the signed 64-bit range); Message "Something went
/// wrong trying to integrate after allocation" (i64, a factor outside [−2^63, 2^63)).
/// Throws InternalFailure when the new shape is too large to describe.
template <Element T>
[[nodiscard]] EvalResult<Polynomial<T>> differentiate(const Polynomial<T>& coeffs, const std::vector<i64>& orders);

// --- partial.cpp ------------------------------------------------------------------------

/// Substitutes values[p] for parameter indices[p]; evaluated axes shrink to length 1. A
/// result position whose sub-array is empty (an evaluated axis of length 0) holds zero.
/// Errors: IncompatibleEvaluation (index out of range, repeated, or count mismatch, tested
/// in that order); Message "Outer none on polyval" (no index, and a coefficient to sum).
template <Element T>
[[nodiscard]] EvalResult<Polynomial<T>> partial_eval(const Polynomial<T>& coeffs, const std::vector<u64>& indices,
                                                     std::span<const T> values);

// --- arithmetic.cpp ---------------------------------------------------------------------

/// Per-position maximum of two shapes, as long as the shorter one.
[[nodiscard]] Shape max_shape(const Shape& a, const Shape& b);

/// a + b, a − b, a · b (full convolution) of arrays with the same number of axes, else
/// IncompatibleComposition. The product is la + lb − 1 long on each axis, and 0 long where
/// both operands are; dense_mul throws InternalFailure when the product shape overflows.
template <Element T> [[nodiscard]] EvalResult<Polynomial<T>> dense_add(const Polynomial<T>& a, const Polynomial<T>& b);
template <Element T> [[nodiscard]] EvalResult<Polynomial<T>> dense_sub(const Polynomial<T>& a, const Polynomial<T>& b);
template <Element T> [[nodiscard]] EvalResult<Polynomial<T>> dense_mul(const Polynomial<T>& a, const Polynomial<T>& b);
/// a^n by square and multiply from the least significant bit.
template <Element T> [[nodiscard]] EvalResult<Polynomial<T>> dense_pow(const Polynomial<T>& a, u64 n);

// --- cast.cpp ---------------------------------------------------------------------------

/// Element conversion for the six widening pairs (i64→f64 rounds to nearest even).
template <Element From, Element To>
[[nodiscard]] constexpr To cast_element(From x) noexcept {
  if constexpr (std::same_as<From, To>) {
    return x;
  } else if constexpr (std::same_as<To, f64>) {
    static_assert(std::same_as<From, i64>, "only widening casts exist");
    return static_cast<f64>(x);
  } else {
    static_assert(std::same_as<To, c64>, "only widening casts exist");
    return c64{static_cast<f64>(x), 0.0};
  }
}

/// A new row-major array of the wider (or same) element type, same shape. Cannot fail.
template <Element From, Element To>
[[nodiscard]] Polynomial<To> cast_coefficients(const Polynomial<From>& coeffs);

// --- format.cpp -------------------------------------------------------------------------

/// Appends the text of one number: i64 decimal; f64 shortest round-trip digits laid out
/// positionally ("NaN", "inf", "-inf", "0", "-0"); c64 re, "+" unless im < 0, im, "i".
void format_number(std::string& out, i64 x);
void format_number(std::string& out, f64 x);
void format_number(std::string& out, c64 x);

/// Appends the text of a coefficient array: its non-zero terms joined with " + ", or "0".
template <Element T>
void format_terms(std::string& out, const Polynomial<T>& coeffs);

}  // namespace kestrum
