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
#include <map>
#include <optional>
#include <vector>

#include "polynomial.hpp"
#include "simd_kernels.hpp"
#include "worker_pool.hpp"

namespace kestrum {

namespace {

/// The work of one evaluation pass over up to kMaxOutputs polynomials with the same axes,
/// each with a non-zero coefficient, computed once per call and shared read-only by every
/// job: which powers each point needs, which products of leading factors, and the terms
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
  std::vector<T> line_coeffs;   // a short one-axis polynomial's coefficients (see simd::EvalPlan)
  simd::EvalPlan view{};
};

template <Element T>
void build_plan(const std::vector<const Polynomial<T>*>& polys, EvalPlan<T>& plan) {
  const std::size_t n = polys.front()->ndim();
  const std::size_t outputs = polys.size();
  Shape shape(n, 0);  // the union of the shapes
  for (const Polynomial<T>* p : polys) {
    for (std::size_t e = 0; e < n; ++e) shape[e] = std::max(shape[e], p->shape()[e]);
  }
  // The coefficient of polynomial j at the union multi-index (`at`, last), when it lies
  // inside polynomial j and does not count as zero.
  std::vector<std::vector<u64>> strides(outputs);
  for (std::size_t j = 0; j < outputs; ++j) strides[j] = row_major_strides(polys[j]->shape());
  auto coefficient = [&](std::size_t j, const std::vector<u64>& at, u64 last) -> std::optional<T> {
    const Shape& sj = polys[j]->shape();
    u64 flat = 0;
    for (std::size_t e = 0; e + 1 < n; ++e) {
      if (at[e] >= sj[e]) return std::nullopt;
      flat += at[e] * strides[j][e];
    }
    if (last >= sj[n - 1]) return std::nullopt;
    const T c = (*polys[j])[flat + last];
    return is_zero(c) ? std::nullopt : std::optional<T>(c);
  };
  // Appends the coefficients of the outputs at one place to `values` (zero where absent)
  // and returns the mask of the outputs that have one.
  auto gather = [&](const std::vector<u64>& at, u64 last, std::vector<T>& values) -> u64 {
    u64 mask = 0;
    for (std::size_t j = 0; j < outputs; ++j) {
      const auto c = coefficient(j, at, last);
      values.push_back(c.value_or(zero_of<T>()));
      if (c) mask |= u64{1} << j;
    }
    return mask;
  };

  // Table rows 0..n−1 are the coordinates (x^1). Every other power a non-zero coefficient
  // uses becomes a product row, reusing the rows of smaller powers (see PrefixRow); the
  // rare exponents that the element power inverts get a row of their own, before them.
  constexpr bool kInverting = !std::same_as<T, i64>;
  std::vector<std::map<u64, u64>> power_row(n);
  for (std::size_t e = 0; e < n; ++e) {
    if (shape[e] > 1) power_row[e][1] = e;
  }
  // An exponent k ≥ 2 is inverted only when k ≥ 2^31, so only an axis longer than 2^31 can
  // have one; otherwise the extra pass over the coefficients is skipped.
  auto inverted = [](u64 k) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(k)) <= 0; };
  const bool may_invert =
      kInverting && std::any_of(shape.begin(), shape.end(), [](u64 len) { return len > (u64{1} << 31); });
  for (const Polynomial<T>* poly : polys) {
    for (IndexWalk w(poly->shape()); may_invert && w.valid(); w.next()) {
      if (is_zero((*poly)[w.flat()])) continue;
      for (std::size_t e = 0; e < n; ++e) {
        const u64 k = w.index()[e];
        if (k >= 2 && inverted(k) && !power_row[e].contains(k)) {
          power_row[e][k] = n + plan.powers.size();
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
  auto power = [&](auto& self, std::size_t e, u64 k) -> u64 {
    if (auto it = power_row[e].find(k); it != power_row[e].end()) return it->second;
    if (kInverting && k > 0xffffffffu) return self(self, e, k & 0xffffffffu);
    const u64 high = u64{1} << (63 - std::countl_zero(k));
    const u64 row = high == k ? [&] { const u64 half = self(self, e, k / 2); return product(half, half); }()
                              : [&] { const u64 low = self(self, e, k - high); return product(low, self(self, e, high)); }();
    power_row[e][k] = row;
    return row;
  };

  // Products of two or more leading factors, keyed by their (axis, exponent) sequence;
  // a longer product is built from the one without its last factor, so the factors are
  // multiplied in ascending axis order and each distinct product once per point.
  std::map<std::vector<u64>, u64> prefix_row;
  std::vector<u64> key;
  const Shape leading(shape.begin(), shape.end() - 1);
  const u64 last_len = shape[n - 1];
  for (IndexWalk w(leading); w.valid(); w.next()) {
    simd::Group group{simd::kNone, simd::kNone, plan.terms.size(), 0, 0};
    const std::size_t group_values = plan.group_coeffs.size();
    group.const_outputs = gather(w.index(), 0, plan.group_coeffs);
    for (u64 k = 1; k < last_len; ++k) {
      const std::size_t term_values = plan.term_coeffs.size();
      const u64 mask = gather(w.index(), k, plan.term_coeffs);
      if (mask == 0) {
        plan.term_coeffs.resize(term_values);
        continue;
      }
      plan.terms.push_back({power(power, n - 1, k), mask});
    }
    group.end = plan.terms.size();
    if (group.const_outputs == 0 && group.begin == group.end) {
      plan.group_coeffs.resize(group_values);
      continue;
    }
    // The last leading factor is multiplied in when the group starts (that product is
    // this group's alone); the products before it are shared rows.
    key.clear();
    u64 lead = simd::kNone;
    u64 pending = simd::kNone;  // the latest factor, not yet multiplied into `lead`
    for (std::size_t e = 0; e + 1 < n; ++e) {
      const u64 k = w.index()[e];
      if (k == 0) continue;
      const u64 factor = power(power, e, k);
      if (pending != simd::kNone) {
        if (lead == simd::kNone) {
          lead = pending;  // a single factor is used as it is, not multiplied
        } else if (auto it = prefix_row.find(key); it != prefix_row.end()) {
          lead = it->second;
        } else {
          lead = product(lead, pending);
          prefix_row.emplace(key, lead);
        }
      }
      key.push_back(e);
      key.push_back(k);
      pending = factor;
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
  // With one group and no lead, the kernel forms each product row when the walk of the terms
  // reaches it; a row must reach the table only if a later row or a second term reads it.
  const bool on_demand = plan.groups.size() == 1 && plan.groups.front().lead == simd::kNone;
  if (on_demand) {
    std::vector<u64> readers(plan.prefixes.size(), 0);
    auto read = [&](u64 row) {
      if (row >= first_product_row) ++readers[row - first_product_row];
    };
    for (const simd::PrefixRow& p : plan.prefixes) {
      read(p.a);
      read(p.b);
    }
    for (const simd::Term& t : plan.terms) read(t.row);
    // Each row is read by the term that forms it, or by a later row (it exists for one).
    for (std::size_t i = 0; i < plan.prefixes.size(); ++i) plan.prefixes[i].kept = readers[i] > 1 ? 1 : 0;
  }
  // A short, full one-axis polynomial on its own may be summed with its powers in registers.
  if (n == 1 && outputs == 1 && shape[0] >= 2 && shape[0] <= simd::kMaxRegisterLine) {
    const Polynomial<T>& line = *polys.front();
    if (std::none_of(line.data(), line.data() + line.size(), [](const T& c) { return is_zero(c); })) {
      plan.line_coeffs.assign(line.data(), line.data() + line.size());
    }
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
                             plan.line_coeffs.size(),
                             plan.line_coeffs.data()};
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
  RowCursor cursor(points, first);
  if (const auto stride = merged_row_stride(points)) {
    where.first = cursor.row();
    where.row_stride = *stride;
  } else {
    row_ptr.resize(rows);
    for (u64 r = 0; r < rows; ++r, cursor.next()) row_ptr[r] = cursor.row();
    where.rows = row_ptr.data();
  }
  return where;
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

/// The polynomials of one evaluation, sorted by how they are evaluated: those with no
/// non-zero coefficient (their values are zero), those with no axis (their one coefficient),
/// and the rest in passes of up to kMaxOutputs sharing one plan, or one by one without a
/// table when a table would pass the per-worker budget.
template <Element T>
struct PreparedPolynomials<T>::Plan {
  struct Pass {
    std::vector<u64> outputs;  // positions in the list of polynomials
    EvalPlan<T> plan;
    bool direct = false;
  };
  std::vector<u64> zeros;
  std::vector<u64> constants;
  std::vector<Pass> passes;
};

template <Element T>
PreparedPolynomials<T>::PreparedPolynomials(std::vector<const Polynomial<T>*> coeffs, const View<T>& points)
    : coeffs_(std::move(coeffs)), plan_(std::make_unique<Plan>()) {
  std::vector<u64> tabled;
  for (u64 j = 0; j < coeffs_.size(); ++j) {
    const Polynomial<T>& c = *coeffs_[j];
    check_coordinates(c, points);
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
    std::vector<const Polynomial<T>*> members;
    for (u64 j : tabled) {
      if (members.size() < simd::kMaxOutputs && coeffs_[j]->ndim() == n) {
        pass.outputs.push_back(j);
        members.push_back(coeffs_[j]);
      } else {
        rest.push_back(j);
      }
    }
    tabled = std::move(rest);
    build_plan(members, pass.plan);
    const u64 table_rows = n + pass.plan.powers.size() + pass.plan.prefixes.size();
    if (table_rows > kTableBudgetBytes / kTableBytesPerRow) {
      pass.direct = true;  // memory stays bounded: these points go one by one, table-free
    }
    plan_->passes.push_back(std::move(pass));
  }
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
      for (u64 j : pass.outputs) eval_rows_direct(*coeffs_[j], points, first, rows, out[j]);
      continue;
    }
    void* pass_out[simd::kMaxOutputs] = {};
    for (std::size_t i = 0; i < pass.outputs.size(); ++i) pass_out[i] = out[pass.outputs[i]];
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
  const std::size_t m = points.ndim();
  if (m == 1) return eval_chunk(coeffs, points);  // a single point: calling thread, no pool
  if (m == 0) return fail(EvalError::message("Failed to get new len"));

  const Shape batch(points.shape.begin(), points.shape.end() - 1);
  const u64 rows = checked_element_count(batch, sizeof(T));
  if (rows == 0) {
    run_indexed(0, [](std::size_t) {});  // the first batch creates the pool, even an empty one
    return fail(EvalError::message("Failed to concatenate values after eval"));
  }
  const PreparedPolynomials<T> prepared({&coeffs}, points);

  // One result buffer; chunk i fills rows [i·kChunkRows, (i+1)·kChunkRows), so the values
  // come out in chunk order whichever worker finishes first.
  Array<T> values = Array<T>::uninitialized(batch);
  const u64 chunks = rows / kChunkRows + (rows % kChunkRows != 0 ? 1 : 0);
  T* out = values.data();
  run_indexed(static_cast<std::size_t>(chunks), [&](std::size_t i) {
    const u64 first = static_cast<u64>(i) * kChunkRows;
    const u64 last = std::min(rows, first + kChunkRows);
    T* chunk_out = out + first;
    prepared.eval_rows(points, first, last, &chunk_out);
  });
  return values;
}

#define KS_INSTANTIATE(T)                                                                 \
  template class PreparedPolynomials<T>;                                                  \
  template EvalResult<Array<T>> eval_points(const Polynomial<T>&, const View<T>&);        \
  template Array<T> eval_chunk(const Polynomial<T>&, const View<T>&);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
