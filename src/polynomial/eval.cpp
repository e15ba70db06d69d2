// Batch evaluation of a coefficient array at points (eval_points, eval_chunk): the plan of
// the work and the chunking. The per-point loops are in simd_kernels.inl, one copy per
// instruction set. Partial evaluation and the tree walk live elsewhere.
//
// Every point gets exactly this sequence of element operations: for each non-zero
// coefficient c in row-major order, the term (((x_a^k_a · x_b^k_b) · …) · c) over the axes
// with non-zero exponents in ascending order, where x^1 is the coordinate itself and x^k
// (k ≥ 2) is element_power(x, k); the first term is taken as it is and each later one is
// added to the running sum (sum on the left). How the work is arranged is free as long as
// that sequence stays: each needed power is computed once per point into a table, the
// product of the leading axes' factors is computed once per point and shared by all terms
// with the same leading exponents, and the kernels run vectors across points.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "polynomial.hpp"
#include "simd_kernels.hpp"
#include "worker_pool.hpp"

namespace kestrum {

namespace {

/// The work of one evaluation pass over up to kMaxOutputs polynomials with the same axes,
/// each with a non-zero coefficient, computed once per preparation and shared read-only by
/// every job: which powers each point needs, which products of leading factors, and the terms
/// grouped by their leading exponents in row-major order over the union of the polynomials'
/// shapes (row-major order over a box visits any box inside it in its own row-major order,
/// so each polynomial's terms keep their order). `view` points into the vectors.
template <Element T>
struct EvalPlan {
  std::vector<simd::PowerRow> powers;
  std::vector<simd::PrefixRow> prefixes;
  std::vector<simd::Group> groups;
  std::vector<simd::Term> terms;
  std::vector<T> group_coeffs;  // outputs per group
  std::vector<T> term_coeffs;   // outputs per term
  std::vector<u64> last_rows;   // rows of x_last^1 .. x_last^(L−1) (see simd::EvalPlan)
  std::vector<simd::PowerChain> chains;
  simd::EvalPlan view{};
};

template <Element T>
void build_plan(std::span<const Polynomial<T>* const> polys, EvalPlan<T>& plan) {
  const std::size_t n = polys.front()->ndim();
  const std::size_t lead_axes = n - 1;
  const std::size_t outputs = polys.size();
  // Per axis: the length of the union of the shapes, where that axis's exponents start in
  // power_row, and (per output) the row-major stride of the axis; one allocation for all.
  std::vector<u64> axis_data(n * (2 + outputs) + 1, 0);
  u64* const shape = axis_data.data();
  u64* const power_base = shape + n;  // n + 1 entries: the last one is the table size
  u64* const strides = power_base + n + 1;  // strides[j * n + e]
  u64 coefficient_count = 0;  // of all the polynomials: a bound on the terms and the groups
  for (std::size_t j = 0; j < outputs; ++j) {
    const Shape& sj = polys[j]->shape();
    u64 step = 1;
    for (std::size_t e = n; e-- > 0;) {
      shape[e] = std::max(shape[e], sj[e]);
      strides[j * n + e] = step;
      step *= sj[e] == 0 ? 1 : sj[e];
    }
    coefficient_count += polys[j]->size();
  }
  for (std::size_t e = 0; e < n; ++e) power_base[e + 1] = power_base[e] + shape[e];

  // Table rows 0..n−1 are the coordinates (x^1). Every other power a non-zero coefficient
  // uses becomes a product row, reusing the rows of smaller powers (see PrefixRow); the
  // rare exponents that the element power inverts get a row of their own, before them.
  // power_row[power_base[e] + k] is the row of x_e^k, or kNone; every exponent asked for is
  // below its axis's length, so one flat table of the lengths' sum covers them all.
  constexpr bool kInverting = !std::same_as<T, i64>;
  std::vector<u64> power_row(power_base[n], simd::kNone);
  for (std::size_t e = 0; e < n; ++e) {
    if (shape[e] > 1) power_row[power_base[e] + 1] = e;
  }
  // An exponent k ≥ 2 is inverted only when k ≥ 2^31, so only an axis longer than 2^31 can
  // have one; otherwise the extra pass over the coefficients is skipped.
  auto inverted = [](u64 k) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(k)) <= 0; };
  const bool may_invert = kInverting && std::any_of(shape, shape + n, [](u64 len) { return len > (u64{1} << 31); });
  for (const Polynomial<T>* poly : may_invert ? polys : polys.first(0)) {
    for (IndexWalk w(poly->shape()); w.valid(); w.next()) {
      if (is_zero((*poly)[w.flat()])) continue;
      for (std::size_t e = 0; e < n; ++e) {
        const u64 k = w.index()[e];
        u64& row = power_row[power_base[e] + k];
        if (k >= 2 && inverted(k) && row == simd::kNone) {
          row = n + plan.powers.size();
          plan.powers.push_back({e, k});
        }
      }
    }
  }
  const u64 first_product_row = n + plan.powers.size();
  auto product = [&](u64 a, u64 b) {
    plan.prefixes.push_back({a, b, 1});
    return first_product_row + plan.prefixes.size() - 1;
  };
  // Row of x_e^k (k ≥ 1), creating the product rows it needs first. f64 and c64 powers
  // depend on the low 32 bits of k only.
  auto make_power = [&](auto& self, std::size_t e, u64 k) -> u64 {
    if (const u64 row = power_row[power_base[e] + k]; row != simd::kNone) return row;
    if (kInverting && k > 0xffffffffu) return self(self, e, k & 0xffffffffu);
    const u64 high = u64{1} << (63 - std::countl_zero(k));
    const u64 row = high == k ? [&] { const u64 half = self(self, e, k / 2); return product(half, half); }()
                              : [&] { const u64 low = self(self, e, k - high); return product(low, self(self, e, high)); }();
    power_row[power_base[e] + k] = row;
    return row;
  };
  // The same, with the look-up of a row that exists (the common case) kept inline.
  auto power = [&](std::size_t e, u64 k) -> u64 {
    const u64 row = power_row[power_base[e] + k];
    return row != simd::kNone ? row : make_power(make_power, e, k);
  };

  // Every group and term has a non-zero coefficient of its own, so the coefficient count
  // bounds both; reserving up to a cap spares the growth steps of small plans without
  // holding much more than a large sparse plan needs.
  constexpr u64 kReserveCap = 4096;
  const u64 expected = std::min(coefficient_count, kReserveCap);
  plan.groups.reserve(expected);
  plan.terms.reserve(expected);
  plan.group_coeffs.reserve(expected * outputs);
  plan.term_coeffs.reserve(expected * outputs);

  // The groups in row-major order of their leading multi-index `at`. Products of two or
  // more leading factors are shared: lead_memo[e] is the row of the product of the factors
  // of at[0..e] (made when a group first needs it, from the product without its last
  // factor, so the factors are multiplied in ascending axis order). Row-major order visits
  // all multi-indices with the same at[0..e] one after another, so the entry is dropped as
  // soon as at[0..e] changes and each distinct product is still made once per point.
  std::vector<u64> walk_data(2 * lead_axes + outputs, 0);
  u64* const at = walk_data.data();
  u64* const lead_memo = at + lead_axes;
  u64* const base = lead_memo + lead_axes;  // per output: the flat offset of (at, 0), or kNone outside it
  std::fill(lead_memo, lead_memo + lead_axes, simd::kNone);
  const u64 last_len = shape[n - 1];
  // The coefficients of the outputs at (at, last) into `values` (zero where absent or
  // counting as zero), and the mask of the outputs that have a non-zero one there.
  T values[simd::kMaxOutputs];
  auto gather = [&](u64 last) -> u64 {
    u64 mask = 0;
    for (std::size_t j = 0; j < outputs; ++j) {
      values[j] = zero_of<T>();
      if (base[j] == simd::kNone || last >= polys[j]->shape()[n - 1]) continue;
      const T c = (*polys[j])[base[j] + last];
      if (is_zero(c)) continue;
      values[j] = c;
      mask |= u64{1} << j;
    }
    return mask;
  };
  bool more = std::all_of(shape, shape + lead_axes, [](u64 len) { return len > 0; });
  while (more) {
    for (std::size_t j = 0; j < outputs; ++j) {
      const Shape& sj = polys[j]->shape();
      u64 flat = 0;
      for (std::size_t e = 0; e < lead_axes && flat != simd::kNone; ++e) {
        flat = at[e] < sj[e] ? flat + at[e] * strides[j * n + e] : simd::kNone;
      }
      base[j] = flat;
    }
    simd::Group group{simd::kNone, simd::kNone, plan.terms.size(), 0, 0};
    group.const_outputs = gather(0);
    T const_values[simd::kMaxOutputs];
    std::copy(values, values + outputs, const_values);
    if (outputs == 1 && base[0] != simd::kNone) {
      // One polynomial: its row along the last axis, read directly.
      const T* row = polys[0]->data() + base[0];
      const u64 len = polys[0]->shape()[n - 1];
      for (u64 k = 1; k < len; ++k) {
        if (is_zero(row[k])) continue;
        plan.term_coeffs.push_back(row[k]);
        plan.terms.push_back({power(n - 1, k), 1});
      }
    } else {
      for (u64 k = 1; k < last_len; ++k) {
        const u64 mask = gather(k);
        if (mask == 0) continue;
        plan.term_coeffs.insert(plan.term_coeffs.end(), values, values + outputs);
        plan.terms.push_back({power(n - 1, k), mask});
      }
    }
    group.end = plan.terms.size();
    if (group.const_outputs != 0 || group.begin != group.end) {
      plan.group_coeffs.insert(plan.group_coeffs.end(), const_values, const_values + outputs);
      // The last leading factor is multiplied in when the group starts (that product is
      // this group's alone); the products before it are shared rows.
      u64 lead = simd::kNone;
      u64 pending = simd::kNone;  // the latest factor, not yet multiplied into `lead`
      std::size_t pending_axis = 0;
      for (std::size_t e = 0; e < lead_axes; ++e) {
        const u64 k = at[e];
        if (k == 0) continue;
        const u64 factor = power(e, k);
        if (pending != simd::kNone) {
          if (lead == simd::kNone) {
            lead = pending;  // a single factor is used as it is, not multiplied
          } else if (lead_memo[pending_axis] != simd::kNone) {
            lead = lead_memo[pending_axis];
          } else {
            lead = product(lead, pending);
            lead_memo[pending_axis] = lead;
          }
        }
        pending = factor;
        pending_axis = e;
      }
      if (pending != simd::kNone) {
        if (lead == simd::kNone) {
          group.lead = pending;
        } else {
          group.lead = lead;
          group.lead_factor = pending;
        }
      }
      plan.groups.push_back(group);
    }
    // The next leading multi-index, last axis fastest; the products of the prefixes that
    // change are forgotten.
    more = false;
    for (std::size_t ax = lead_axes; ax-- > 0;) {
      if (++at[ax] < shape[ax]) {
        std::fill(lead_memo + ax, lead_memo + lead_axes, simd::kNone);
        more = true;
        break;
      }
      at[ax] = 0;
    }
  }
  // Who reads each product row: later rows, the leads, the terms.
  std::vector<u64> readers(plan.prefixes.size(), 0);
  auto read = [&](u64 row) {
    if (row != simd::kNone && row >= first_product_row) ++readers[row - first_product_row];
  };
  for (const simd::PrefixRow& p : plan.prefixes) {
    read(p.a);
    read(p.b);
  }
  for (const simd::Group& g : plan.groups) {
    read(g.lead);
    read(g.lead_factor);
  }
  for (const simd::Term& t : plan.terms) read(t.row);
  // With one group and no lead, the kernel forms each product row when the walk of the terms
  // reaches it; a row must reach the table only if a later row or a second term reads it
  // (each row is read by the term that forms it, or by a later row: it exists for one).
  const bool on_demand = plan.groups.size() == 1 && plan.groups.front().lead == simd::kNone;
  if (on_demand) {
    for (std::size_t i = 0; i < plan.prefixes.size(); ++i) plan.prefixes[i].kept = readers[i] > 1 ? 1 : 0;
  } else {
    // A lead that is a product row read by nothing else is formed in registers when its
    // group starts, by the same multiply from the same two rows; the row itself is never
    // formed. (Those two rows stay: the row was one of their readers, the lead is now.)
    for (simd::Group& g : plan.groups) {
      if (g.lead_factor != simd::kNone || g.lead == simd::kNone || g.lead < first_product_row) continue;
      simd::PrefixRow& p = plan.prefixes[g.lead - first_product_row];
      if (readers[g.lead - first_product_row] != 1) continue;
      g.lead = p.a;
      g.lead_factor = p.b;
      p.kept = 0;
    }
    // Each axis's powers x^2, x^3, … as far as all of them are rows, as one chain.
    for (std::size_t e = 0; e < n; ++e) {
      simd::PowerChain chain{e, 1, {}};
      for (u64 k = 2; k < shape[e] && k <= simd::kMaxChainPower; ++k) {
        const u64 row = power_row[power_base[e] + k];
        if (row == simd::kNone || row < first_product_row) break;
        chain.rows[k - 2] = row;
        chain.top = k;
      }
      // The highest powers that only leads read (formed there) are left out.
      const auto kept = [&](u64 k) -> u64& { return plan.prefixes[chain.rows[k - 2] - first_product_row].kept; };
      while (chain.top >= 2 && kept(chain.top) == 0) --chain.top;
      if (chain.top < 2) continue;
      for (u64 k = 2; k <= chain.top; ++k) kept(k) = kept(k) == 0 ? 0 : 2;
      plan.chains.push_back(chain);
    }
  }
  // A short, full one-axis polynomial on its own may be summed with its powers in registers,
  // reading its coefficients where they are (the polynomial outlives the plan).
  const Polynomial<T>& only = *polys.front();
  const bool full_line = n == 1 && outputs == 1 && shape[0] >= 2 && shape[0] <= simd::kMaxRegisterLine &&
                         std::none_of(only.data(), only.data() + only.size(), [](const T& c) { return is_zero(c); });
  // A single polynomial with a short last axis may keep that axis's powers in registers
  // for its full lines (see simd::EvalPlan::last_length).
  const auto full_line_group = [&](const simd::Group& g) { return g.end - g.begin == last_len - 1; };
  if (n >= 2 && outputs == 1 && !on_demand && last_len >= 2 && last_len <= simd::kMaxRegisterLastAxis &&
      std::any_of(plan.groups.begin(), plan.groups.end(), full_line_group)) {
    for (u64 k = 1; k < last_len; ++k) plan.last_rows.push_back(power(n - 1, k));
  }
  plan.view = simd::EvalPlan{n,
                             plan.powers.data(),
                             plan.powers.size(),
                             plan.prefixes.data(),
                             plan.prefixes.size(),
                             plan.groups.data(),
                             plan.groups.size(),
                             plan.terms.data(),
                             outputs,
                             plan.group_coeffs.data(),
                             plan.term_coeffs.data(),
                             on_demand ? u64{1} : u64{0},
                             full_line ? only.size() : u64{0},
                             full_line ? static_cast<const void*>(only.data()) : nullptr,
                             plan.last_rows.empty() ? u64{0} : last_len,
                             plan.last_rows.data(),
                             plan.chains.data(),
                             plan.chains.size()};
}

/// The byte offset of row `row` of the points (row-major over the leading axes, last axis
/// fastest); its leading multi-index goes to `index` when given.
template <Element T>
std::ptrdiff_t row_offset(const View<T>& points, u64 row, u64* index = nullptr) {
  std::ptrdiff_t offset = 0;
  for (std::size_t ax = points.ndim() - 1; ax-- > 0;) {
    const u64 i = row % points.shape[ax];
    row /= points.shape[ax];
    if (index != nullptr) index[ax] = i;
    offset += static_cast<std::ptrdiff_t>(i) * points.strides[ax];
  }
  return offset;
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
    offset_ = row_offset(points, first_row, index_.data());
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

/// The byte stride between consecutive rows when the leading axes of the points merge into
/// one axis (lengths of 1 impose nothing), else nothing.
template <Element T>
std::optional<std::ptrdiff_t> merged_row_stride(const View<T>& points) {
  const std::size_t lead = points.ndim() - 1;
  std::optional<std::ptrdiff_t> inner;  // stride of one step along the merged axes so far
  std::ptrdiff_t span = 1;              // rows covered by one step of the current axis
  for (std::size_t ax = lead; ax-- > 0;) {
    if (points.shape[ax] == 1) continue;
    if (!inner) {
      inner = points.strides[ax];
    } else if (points.strides[ax] != *inner * span) {
      return std::nullopt;
    }
    span *= static_cast<std::ptrdiff_t>(points.shape[ax]);
  }
  return inner.value_or(0);
}

/// Largest per-worker table the vector kernels may use (rows × block × element size);
/// beyond it (a polynomial with tens of thousands of distinct powers or prefix products)
/// the points are evaluated one by one without a table, so memory stays bounded.
constexpr u64 kTableBudgetBytes = u64{16} << 20;
constexpr u64 kTableBytesPerRow = 64 * sizeof(f64);  // the widest block: 64 lanes of 8 bytes

/// The same sequence of operations, one point at a time: each term's factors are formed by
/// element_power as they are needed. Slow, but needs no memory beyond the point itself.
template <Element T>
void eval_rows_direct(const Polynomial<T>& coeffs, const View<T>& points, u64 first, u64 rows, T* out) {
  const Shape& shape = coeffs.shape();
  const std::size_t n = shape.size();
  std::vector<T> x(n);
  RowCursor cursor(points, first);
  const std::ptrdiff_t coord_stride = points.strides.back();
  for (u64 r = 0; r < rows; ++r, cursor.next()) {
    for (std::size_t e = 0; e < n; ++e) x[e] = View<T>::load(cursor.row() + static_cast<std::ptrdiff_t>(e) * coord_stride);
    bool any = false;
    T sum = zero_of<T>();
    for (IndexWalk w(shape); w.valid(); w.next()) {
      const T c = coeffs[w.flat()];
      if (is_zero(c)) continue;
      bool have = false;
      T product = c;
      for (std::size_t e = 0; e < n; ++e) {
        const u64 k = w.index()[e];
        if (k == 0) continue;
        const T f = k == 1 ? x[e] : element_power(x[e], k);
        product = have ? mul(product, f) : f;
        have = true;
      }
      const T term = have ? mul(product, c) : c;
      sum = any ? add(sum, term) : term;
      any = true;
    }
    out[r] = any ? sum : zero_of<T>();
  }
}

/// Where the rows [first, first + rows) of `points` are, for the kernels: by one stride
/// when the batch axes merge into one (points with two axes, row-major batches), else
/// through `row_ptr`, a list of row addresses filled here; the points are never copied.
template <Element T>
simd::PointRows point_rows(const View<T>& points, u64 first, u64 rows, std::vector<const std::byte*>& row_ptr) {
  simd::PointRows where{nullptr, nullptr, 0, points.strides.back()};
  if (const auto stride = merged_row_stride(points)) {
    // The first row's address alone (no cursor: it would allocate its index for one use).
    where.first = points.data + row_offset(points, first);
    where.row_stride = *stride;
  } else {
    RowCursor cursor(points, first);
    row_ptr.resize(rows);
    for (u64 r = 0; r < rows; ++r, cursor.next()) row_ptr[r] = cursor.row();
    where.rows = row_ptr.data();
  }
  return where;
}

/// Refuses points with fewer coordinates than a polynomial has parameters, which would
/// read outside the points; the binding never passes such points.
template <Element T>
void check_coordinates(const std::vector<const Polynomial<T>*>& coeffs, const View<T>& points) {
  for (const Polynomial<T>* c : coeffs) {
    if (points.ndim() == 0 || points.shape.back() < c->ndim()) {
      internal_failure("points have fewer coordinates than the polynomial has parameters");
    }
  }
}

/// The failure eval_points gives for these points before anything is evaluated, if any. A
/// batch creates the worker pool even when it has no row.
template <Element T>
std::optional<EvalError> points_failure(const View<T>& points) {
  const std::size_t m = points.ndim();
  if (m == 0) return EvalError::message("Failed to get new len");
  if (m == 1) return std::nullopt;
  const Shape batch(points.shape.begin(), points.shape.end() - 1);
  if (checked_element_count(batch, sizeof(T)) == 0) {
    run_indexed(0, [](std::size_t) {});  // the first batch creates the pool, even an empty one
    return EvalError::message("Failed to concatenate values after eval");
  }
  return std::nullopt;
}

/// Values of `prepared`'s first array at points that points_failure accepts: a single point
/// (points with one axis) on the calling thread, without the pool; a batch in chunks of
/// kChunkRows rows on the pool. One result buffer; chunk i fills rows [i·kChunkRows,
/// (i+1)·kChunkRows), so the values come out in chunk order whichever worker finishes first.
template <Element T>
Array<T> run_points(const PreparedPolynomials<T>& prepared, const View<T>& points) {
  Array<T> values = Array<T>::uninitialized(Shape(points.shape.begin(), points.shape.end() - 1));
  struct Job {
    const PreparedPolynomials<T>& prepared;
    const View<T>& points;
    u64 rows;
    T* out;
  } const job{prepared, points, values.size(), values.data()};
  if (points.ndim() == 1) {
    T* out = job.out;
    prepared.eval_rows(points, 0, job.rows, &out);
    return values;
  }
  const u64 chunks = job.rows / kChunkRows + (job.rows % kChunkRows != 0 ? 1 : 0);
  // One captured reference, so the std::function holds the job without allocating.
  run_indexed(
      static_cast<std::size_t>(chunks),
      [&job](std::size_t i) {
        const u64 first = static_cast<u64>(i) * kChunkRows;
        const u64 last = std::min(job.rows, first + kChunkRows);
        T* chunk_out = job.out + first;
        job.prepared.eval_rows(job.points, first, last, &chunk_out);
      },
      [&job] { prefault_for_writing(job.out, job.rows * sizeof(T)); });
  return values;
}

}  // namespace

/// The polynomials of one evaluation, sorted by how they are evaluated: those with no
/// non-zero coefficient (their values are zero), those with no axis (their one coefficient),
/// and the rest in passes of up to kMaxOutputs sharing one plan, or one by one without a
/// table when a table would pass the per-worker budget.
template <Element T>
struct PreparedPolynomials<T>::Plan {
  struct Pass {
    u64 outputs[simd::kMaxOutputs];  // positions in the list of polynomials
    u64 output_count = 0;
    EvalPlan<T> plan;
    bool direct = false;
  };
  std::vector<u64> zeros;
  std::vector<u64> constants;
  std::vector<Pass> passes;
};

template <Element T>
PreparedPolynomials<T>::PreparedPolynomials(std::vector<const Polynomial<T>*> coeffs, const View<T>& points)
    : PreparedPolynomials((check_coordinates(coeffs, points), std::move(coeffs))) {}

template <Element T>
PreparedPolynomials<T>::PreparedPolynomials(std::vector<const Polynomial<T>*> coeffs)
    : coeffs_(std::move(coeffs)), plan_(std::make_unique<Plan>()) {
  std::vector<u64> tabled;
  for (u64 j = 0; j < coeffs_.size(); ++j) {
    const Polynomial<T>& c = *coeffs_[j];
    bool any_term = false;
    for (u64 i = 0; i < c.size() && !any_term; ++i) any_term = !is_zero(c[i]);
    if (!any_term) plan_->zeros.push_back(j);
    else if (c.ndim() == 0) plan_->constants.push_back(j);
    else tabled.push_back(j);
  }
  // Passes of polynomials with the same number of axes, in the order given.
  while (!tabled.empty()) {
    typename Plan::Pass pass;
    const std::size_t n = coeffs_[tabled.front()]->ndim();
    std::vector<u64> rest;
    const Polynomial<T>* members[simd::kMaxOutputs];
    for (u64 j : tabled) {
      if (pass.output_count < simd::kMaxOutputs && coeffs_[j]->ndim() == n) {
        members[pass.output_count] = coeffs_[j];
        pass.outputs[pass.output_count++] = j;
      } else {
        rest.push_back(j);
      }
    }
    tabled = std::move(rest);
    build_plan(std::span<const Polynomial<T>* const>(members, pass.output_count), pass.plan);
    const u64 table_rows = n + pass.plan.powers.size() + pass.plan.prefixes.size();
    if (table_rows > kTableBudgetBytes / kTableBytesPerRow) {
      pass.direct = true;  // memory stays bounded: these points go one by one, table-free
    }
    plan_->passes.push_back(std::move(pass));
  }
}

template <Element T>
void PreparedPolynomials<T>::check_points(const View<T>& points) const {
  check_coordinates(coeffs_, points);
}

template <Element T> PreparedPolynomials<T>::PreparedPolynomials(PreparedPolynomials&&) noexcept = default;
template <Element T>
PreparedPolynomials<T>& PreparedPolynomials<T>::operator=(PreparedPolynomials&&) noexcept = default;
template <Element T> PreparedPolynomials<T>::~PreparedPolynomials() = default;

template <Element T>
void PreparedPolynomials<T>::eval_rows(const View<T>& points, u64 first, u64 last, T* const* out) const {
  const u64 rows = last - first;
  if (rows == 0) return;
  for (u64 j : plan_->zeros) std::fill(out[j], out[j] + rows, zero_of<T>());
  for (u64 j : plan_->constants) std::fill(out[j], out[j] + rows, (*coeffs_[j])[0]);  // no factor formed
  if (plan_->passes.empty()) return;
  // Where the rows are is found once for all passes.
  std::vector<const std::byte*> row_ptr;
  const simd::PointRows where = point_rows(points, first, rows, row_ptr);
  for (const auto& pass : plan_->passes) {
    if (pass.direct) {
      for (u64 i = 0; i < pass.output_count; ++i) {
        const u64 j = pass.outputs[i];
        eval_rows_direct(*coeffs_[j], points, first, rows, out[j]);
      }
      continue;
    }
    void* pass_out[simd::kMaxOutputs] = {};
    for (u64 i = 0; i < pass.output_count; ++i) pass_out[i] = out[pass.outputs[i]];
    simd::active_kernels().eval_rows[type_index<T>()](pass.plan.view, where, rows, pass_out);
  }
}

template <Element T>
Array<T> eval_chunk(const Polynomial<T>& coeffs, const View<T>& block) {
  const PreparedPolynomials<T> prepared({&coeffs}, block);
  const Shape leading(block.shape.begin(), block.shape.end() - 1);
  Array<T> values = Array<T>::uninitialized(leading);
  T* out = values.data();
  prepared.eval_rows(block, 0, values.size(), &out);
  return values;
}

template <Element T>
EvalResult<Array<T>> eval_points(const Polynomial<T>& coeffs, const View<T>& points) {
  if (auto failure = points_failure(points)) return fail(std::move(*failure));
  return run_points(PreparedPolynomials<T>({&coeffs}, points), points);
}

template <Element T>
EvalResult<Array<T>> eval_points(const PreparedPolynomials<T>& prepared, const View<T>& points) {
  if (prepared.size() != 1) internal_failure("eval_points takes a preparation of exactly one array");
  if (auto failure = points_failure(points)) return fail(std::move(*failure));
  prepared.check_points(points);
  return run_points(prepared, points);
}

#define KS_INSTANTIATE(T)                                                                 \
  template class PreparedPolynomials<T>;                                                  \
  template EvalResult<Array<T>> eval_points(const Polynomial<T>&, const View<T>&);        \
  template EvalResult<Array<T>> eval_points(const PreparedPolynomials<T>&, const View<T>&); \
  template Array<T> eval_chunk(const Polynomial<T>&, const View<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
