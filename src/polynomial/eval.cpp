// Batch evaluation of a coefficient array at points (eval_points, eval_chunk). Partial
// evaluation and the tree walk live elsewhere.
//
// Every point gets exactly this sequence of element operations: for each non-zero
// coefficient c in row-major order, the term (((x_a^k_a · x_b^k_b) · …) · c) over the axes
// with non-zero exponents in ascending order, where x^1 is the coordinate itself and x^k
// (k ≥ 2) is element_power(x, k); the first term is taken as it is and each later one is
// added to the running sum (sum on the left). How the work is arranged is free as long as
// that sequence stays: points are gathered into columns, each needed power is computed once
// per point into a table, the product of the leading axes' factors is shared by all terms
// with the same leading exponents, and the inner loops run over contiguous rows.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "polynomial.hpp"
#include "worker_pool.hpp"

namespace kestrum {

namespace {

/// Budget, in elements, for one sub-block's power table and intermediate rows; the sub-block
/// height adapts to it so memory stays bounded whatever the polynomial's degree.
constexpr u64 kScratchElements = u64{1} << 16;
constexpr u64 kMaxSubRows = 512;

/// Which powers the non-zero coefficients need, computed once per call and shared read-only
/// by every job. slot[e][k] is the table row of x_e^k, or kNoSlot when no term uses it.
struct PowerPlan {
  static constexpr u64 kNoSlot = std::numeric_limits<u64>::max();
  std::vector<std::vector<u64>> slot;
  std::vector<std::pair<u64, u64>> powers;  // (axis, exponent) of each table row
  bool any_term = false;
};

template <Element T>
PowerPlan plan_powers(const Polynomial<T>& coeffs) {
  PowerPlan plan;
  // No coefficient, no term: the other axes may be far too long to give a slot per index.
  if (coeffs.size() == 0) return plan;
  const Shape& shape = coeffs.shape();
  const std::size_t n = shape.size();
  plan.slot.resize(n);
  for (std::size_t e = 0; e < n; ++e) plan.slot[e].assign(shape[e], PowerPlan::kNoSlot);
  for (IndexWalk w(shape); w.valid(); w.next()) {
    if (is_zero(coeffs[w.flat()])) continue;
    plan.any_term = true;
    for (std::size_t e = 0; e < n; ++e) {
      const u64 k = w.index()[e];
      if (k != 0 && plan.slot[e][k] == PowerPlan::kNoSlot) plan.slot[e][k] = 0;  // mark as needed
    }
  }
  for (std::size_t e = 0; e < n; ++e) {
    for (u64 k = 1; k < shape[e]; ++k) {
      if (plan.slot[e][k] == PowerPlan::kNoSlot) continue;
      plan.slot[e][k] = plan.powers.size();
      plan.powers.emplace_back(e, k);
    }
  }
  return plan;
}

/// Walks the rows of a block of points in row-major order of their leading multi-index,
/// yielding the address of each row's first coordinate.
class RowCursor {
 public:
  template <Element T>
  RowCursor(const View<T>& points, u64 first_row) : base_(points.data) {
    const std::size_t lead = points.ndim() - 1;
    shape_.assign(points.shape.begin(), points.shape.begin() + static_cast<std::ptrdiff_t>(lead));
    strides_.assign(points.strides.begin(), points.strides.begin() + static_cast<std::ptrdiff_t>(lead));
    index_.assign(lead, 0);
    // Decompose the first row number into a multi-index, last axis fastest.
    for (std::size_t ax = lead; ax-- > 0;) {
      index_[ax] = first_row % shape_[ax];
      first_row /= shape_[ax];
    }
    for (std::size_t ax = 0; ax < lead; ++ax) offset_ += static_cast<std::ptrdiff_t>(index_[ax]) * strides_[ax];
  }

  [[nodiscard]] const std::byte* row() const noexcept { return base_ + offset_; }

  void next() noexcept {
    for (std::size_t ax = index_.size(); ax-- > 0;) {
      offset_ += strides_[ax];
      if (++index_[ax] < shape_[ax]) return;
      offset_ -= static_cast<std::ptrdiff_t>(index_[ax]) * strides_[ax];
      index_[ax] = 0;
    }
  }

 private:
  const std::byte* base_;
  std::ptrdiff_t offset_ = 0;
  Shape shape_;
  std::vector<std::ptrdiff_t> strides_;
  std::vector<u64> index_;
};

/// Evaluates rows [first, last) of `points` into out[0 .. last − first). Runs on pool
/// workers: reads coeffs, plan and its own rows only, writes only its own output rows.
template <Element T>
void eval_rows(const Polynomial<T>& coeffs, const PowerPlan& plan, const View<T>& points, u64 first, u64 last,
               T* out) {
  const u64 rows = last - first;
  if (rows == 0) return;
  if (!plan.any_term) {
    std::fill(out, out + rows, zero_of<T>());
    return;
  }
  const Shape& shape = coeffs.shape();
  const std::size_t n = shape.size();
  if (n == 0) {
    std::fill(out, out + rows, coeffs[0]);  // one non-zero constant, no factor formed
    return;
  }

  // Sub-block height: the power table (one row per needed power) and the prefix products
  // (one row per leading axis) share the scratch budget.
  const u64 per_row = plan.powers.size() + n;
  const u64 sub_rows = std::clamp<u64>(kScratchElements / per_row, 1, kMaxSubRows);
  const u64 height = std::min(sub_rows, rows);
  std::vector<T> table(checked_element_count(Shape{plan.powers.size(), height}, sizeof(T)));
  std::vector<T> prefix_store(checked_element_count(Shape{n - 1, height}, sizeof(T)));
  std::vector<T> column(height);
  // prefix[j]: the product of the factors of axes 0..j for the current leading exponents, or
  // null when all of them are 0 (no factor formed yet). It points into the table when that
  // product is a single factor, else into prefix_store.
  std::vector<const T*> prefix(n, nullptr);
  std::vector<u64> index(n);
  std::vector<const std::byte*> row_ptr(height);

  RowCursor cursor(points, first);
  const std::ptrdiff_t coord_stride = points.strides.back();
  for (u64 done = 0; done < rows; done += height) {
    const u64 h = std::min(height, rows - done);
    T* sum = out + done;

    // Gather the coordinates and fill the power table for this sub-block.
    for (u64 r = 0; r < h; ++r, cursor.next()) row_ptr[r] = cursor.row();
    std::size_t gathered_axis = n;  // axis currently held in `column`
    for (u64 s = 0; s < plan.powers.size(); ++s) {
      const auto [e, k] = plan.powers[s];
      if (gathered_axis != e) {
        for (u64 r = 0; r < h; ++r) column[r] = View<T>::load(row_ptr[r] + static_cast<std::ptrdiff_t>(e) * coord_stride);
        gathered_axis = e;
      }
      T* dst = table.data() + s * height;
      if (k == 1) {
        std::copy(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(h), dst);
      } else {
        for (u64 r = 0; r < h; ++r) dst[r] = element_power(column[r], k);
      }
    }
    auto power_row = [&](std::size_t e, u64 k) { return table.data() + plan.slot[e][k] * height; };

    // Terms in row-major order. `valid` is the number of leading prefix levels that still
    // match the current index; a carry into axis a invalidates levels a and above.
    std::fill(index.begin(), index.end(), 0);
    std::size_t valid = 0;
    bool first_term = true;
    for (u64 flat = 0; flat < coeffs.size(); ++flat) {
      const T c = coeffs[flat];
      if (!is_zero(c)) {
        // Rebuild the invalid prefix levels 0..n−2 (the last axis is folded into the term).
        for (std::size_t j = valid; j + 1 < n; ++j) {
          const T* below = j == 0 ? nullptr : prefix[j - 1];
          const u64 k = index[j];
          if (k == 0) {
            prefix[j] = below;
          } else if (below == nullptr) {
            prefix[j] = power_row(j, k);
          } else {
            const T* f = power_row(j, k);
            T* dst = prefix_store.data() + j * height;
            for (u64 r = 0; r < h; ++r) dst[r] = mul(below[r], f[r]);
            prefix[j] = dst;
          }
        }
        valid = n - 1;
        const T* lead = n >= 2 ? prefix[n - 2] : nullptr;
        const u64 k_last = index[n - 1];
        const T* f = k_last != 0 ? power_row(n - 1, k_last) : nullptr;
        // term = ((lead · f) · c), with absent parts not multiplied; then sum it in.
        if (first_term) {
          if (lead && f) for (u64 r = 0; r < h; ++r) sum[r] = mul(mul(lead[r], f[r]), c);
          else if (lead) for (u64 r = 0; r < h; ++r) sum[r] = mul(lead[r], c);
          else if (f) for (u64 r = 0; r < h; ++r) sum[r] = mul(f[r], c);
          else for (u64 r = 0; r < h; ++r) sum[r] = c;
          first_term = false;
        } else {
          if (lead && f) for (u64 r = 0; r < h; ++r) sum[r] = add(sum[r], mul(mul(lead[r], f[r]), c));
          else if (lead) for (u64 r = 0; r < h; ++r) sum[r] = add(sum[r], mul(lead[r], c));
          else if (f) for (u64 r = 0; r < h; ++r) sum[r] = add(sum[r], mul(f[r], c));
          else for (u64 r = 0; r < h; ++r) sum[r] = add(sum[r], c);
        }
      }
      // Advance the multi-index, last axis fastest, noting the highest axis that carried.
      for (std::size_t ax = n; ax-- > 0;) {
        if (++index[ax] < shape[ax]) {
          valid = std::min(valid, ax);
          break;
        }
        index[ax] = 0;
      }
    }
  }
}

/// Refuses points with fewer coordinates than the polynomial has parameters, which would
/// read outside the points; the binding never passes such points.
template <Element T>
void check_coordinates(const Polynomial<T>& coeffs, const View<T>& points) {
  if (points.ndim() == 0 || points.shape.back() < coeffs.ndim()) {
    internal_failure("points have fewer coordinates than the polynomial has parameters");
  }
}

}  // namespace

template <Element T>
Array<T> eval_chunk(const Polynomial<T>& coeffs, const View<T>& block) {
  check_coordinates(coeffs, block);
  const Shape leading(block.shape.begin(), block.shape.end() - 1);
  Array<T> values = Array<T>::uninitialized(leading);
  const PowerPlan plan = plan_powers(coeffs);
  eval_rows(coeffs, plan, block, 0, values.size(), values.data());
  return values;
}

template <Element T>
EvalResult<Array<T>> eval_points(const Polynomial<T>& coeffs, const View<T>& points) {
  const std::size_t m = points.ndim();
  if (m == 1) return eval_chunk(coeffs, points);  // a single point: calling thread, no pool
  if (m == 0) return fail(EvalError::message("Failed to get new len"));

  const Shape batch(points.shape.begin(), points.shape.end() - 1);
  const u64 rows = checked_element_count(batch, sizeof(T));
  if (rows == 0) {
    run_indexed(0, [](std::size_t) {});  // the first batch creates the pool, even an empty one
    return fail(EvalError::message("Failed to concatenate values after eval"));
  }
  check_coordinates(coeffs, points);

  // One result buffer; chunk i fills rows [i·kChunkRows, (i+1)·kChunkRows), so the values
  // come out in chunk order whichever worker finishes first.
  Array<T> values = Array<T>::uninitialized(batch);
  const PowerPlan plan = plan_powers(coeffs);
  const u64 chunks = rows / kChunkRows + (rows % kChunkRows != 0 ? 1 : 0);
  T* out = values.data();
  run_indexed(static_cast<std::size_t>(chunks), [&](std::size_t i) {
    const u64 first = static_cast<u64>(i) * kChunkRows;
    const u64 last = std::min(rows, first + kChunkRows);
    eval_rows(coeffs, plan, points, first, last, out + first);
  });
  return values;
}

#define KS_INSTANTIATE(T)                                                                 \
  template EvalResult<Array<T>> eval_points(const Polynomial<T>&, const View<T>&);        \
  template Array<T> eval_chunk(const Polynomial<T>&, const View<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
