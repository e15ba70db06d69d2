// Execution of value programs: buffers assigned by liveness, steps run chunk by chunk on
// the worker pool, i64 division failures reported as the whole-batch order would meet them.
#include "value_program.hpp"

#include <algorithm>
#include <limits>
#include <memory>

#include "simd_kernels.hpp"
#include "worker_pool.hpp"

namespace kestrum {

namespace {

constexpr u64 kUnused = std::numeric_limits<u64>::max();

}  // namespace

template <Element T>
struct ValueProgram<T>::Layout {
  static constexpr u64 kResult = kUnused - 1;  // the rows of the result array
  std::vector<u64> buffer;  // per value: its buffer, kResult, or kUnused if nobody reads it
  std::vector<bool> runs;   // per step: whether anything it writes is read
  u64 buffers = 0;
};

template <Element T>
auto ValueProgram<T>::push_multi(Op op, u64 count, u64 index) -> std::vector<Value> {
  const Value first = writer_.size();
  steps_.push_back({op, first, first + count, index, T{}});
  writer_.insert(writer_.end(), count, steps_.size() - 1);
  std::vector<Value> values(count);
  for (u64 j = 0; j < count; ++j) values[j] = first + j;
  return values;
}

template <Element T>
auto ValueProgram<T>::polynomials(std::vector<const Polynomial<T>*> coeffs) -> std::vector<Value> {
  const u64 count = coeffs.size();
  prepared_.emplace_back(std::move(coeffs), *points_);
  return push_multi(Op::Polynomials, count, prepared_.size() - 1);
}

template <Element T>
auto ValueProgram<T>::derived_polynomials(std::vector<Derived> derived) -> std::vector<Value> {
  const u64 count = derived.size();
  derived_.push_back(std::move(derived));
  return push_multi(Op::DerivedPolynomials, count, derived_.size() - 1);
}

template <Element T>
void ValueProgram<T>::run_derived(const std::vector<Derived>& derived, u64 first, u64 last, T* const* out) const {
  for (u64 begin = 0; begin < derived.size(); begin += simd::kMaxOutputs) {
    const u64 end = std::min<u64>(begin + simd::kMaxOutputs, derived.size());
    std::vector<Polynomial<T>> arrays;
    arrays.reserve(end - begin);
    std::vector<const Polynomial<T>*> pointers;
    for (u64 j = begin; j < end; ++j) {
      auto array = differentiate(*derived[j].source, derived[j].orders);
      if (!array) internal_failure("a derivative accepted before the run failed during it");
      arrays.push_back(std::move(*array));
      pointers.push_back(&arrays.back());
    }
    const PreparedPolynomials<T> prepared(std::move(pointers), *points_);
    prepared.eval_rows(*points_, first, last, out + begin);
  }
}

template <Element T>
auto ValueProgram<T>::layout(Value result) const -> Layout {
  const u64 n = steps_.size();
  if (result >= writer_.size()) internal_failure("value program asked for a value no step writes");
  auto reads = [](const Step& step) -> u64 {
    switch (step.op) {
      case Op::Polynomials:
      case Op::DerivedPolynomials: return 0;
      case Op::Scale:
      case Op::Power: return 1;
      default: return 2;
    }
  };

  // The last step that reads each value; the result is kept to the end. A step runs when
  // one of its values is read, and only then do its operands count as read.
  std::vector<u64> last_read(writer_.size(), kUnused);
  last_read[result] = n;
  Layout layout;
  layout.runs.assign(n, false);
  // Values are numbered in the order their steps were added, so walking the values
  // backwards walks the steps backwards.
  for (Value v = writer_.size(); v-- > 0;) {
    if (last_read[v] == kUnused) continue;
    const u64 s = writer_[v];
    if (layout.runs[s]) continue;
    layout.runs[s] = true;
    const Step& step = steps_[s];
    if (reads(step) >= 1 && last_read[step.a] == kUnused) last_read[step.a] = s;
    if (reads(step) >= 2 && last_read[step.b] == kUnused) last_read[step.b] = s;
  }

  // A buffer is reused once its value has been read for the last time. Steps work element
  // by element, so a step may write over an operand that it reads for the last time.
  layout.buffer.assign(writer_.size(), kUnused);
  std::vector<u64> free_buffers;
  auto release = [&](Value v, u64 s) {
    if (last_read[v] == s && layout.buffer[v] != Layout::kResult) free_buffers.push_back(layout.buffer[v]);
  };
  auto place = [&](Value v) {
    if (v == result) {
      layout.buffer[v] = Layout::kResult;
    } else if (!free_buffers.empty()) {
      layout.buffer[v] = free_buffers.back();
      free_buffers.pop_back();
    } else {
      layout.buffer[v] = layout.buffers++;
    }
  };
  Value next_value = 0;
  for (u64 s = 0; s < n; ++s) {
    const Step& step = steps_[s];
    const Value first = next_value;
    const Value end = writes_many(step.op) ? step.b : first + 1;
    next_value = end;
    if (!layout.runs[s]) continue;
    if (reads(step) >= 1) release(step.a, s);
    if (reads(step) >= 2 && step.b != step.a) release(step.b, s);
    // Every value of a running step is written, read or not: an unread one gets a buffer
    // of its own that is free again at once.
    for (Value v = first; v < end; ++v) place(v);
    for (Value v = first; v < end; ++v) {
      if (last_read[v] == kUnused) free_buffers.push_back(layout.buffer[v]);
    }
  }
  return layout;
}

template <Element T>
bool ValueProgram<T>::run_rows(const Layout& layout, u64 first, u64 last, T* buffers, u64 stride, T* result,
                               Failure& failure) const {
  const u64 rows = last - first;
  auto at = [&](Value v) { return layout.buffer[v] == Layout::kResult ? result : buffers + layout.buffer[v] * stride; };
  std::vector<T*> outs;
  Value next_value = 0;
  for (u64 s = 0; s < steps_.size(); ++s) {
    const Step& step = steps_[s];
    const Value value = next_value;
    next_value = writes_many(step.op) ? step.b : value + 1;
    if (!layout.runs[s]) continue;
    if (writes_many(step.op)) {
      outs.clear();
      for (Value v = step.a; v < step.b; ++v) outs.push_back(at(v));
      if (step.op == Op::Polynomials) prepared_[step.index].eval_rows(*points_, first, last, outs.data());
      else run_derived(derived_[step.index], first, last, outs.data());
      continue;
    }
    T* out = at(value);
    const T* a = at(step.a);
    const T* b = step.op == Op::Scale || step.op == Op::Power ? nullptr : at(step.b);
    switch (step.op) {
      case Op::Add: for (u64 r = 0; r < rows; ++r) out[r] = kestrum::add(a[r], b[r]); break;
      case Op::Sub: for (u64 r = 0; r < rows; ++r) out[r] = kestrum::sub(a[r], b[r]); break;
      case Op::Mul: for (u64 r = 0; r < rows; ++r) out[r] = kestrum::mul(a[r], b[r]); break;
      case Op::Div:
        if constexpr (std::same_as<T, i64>) {
          // Every divisor is checked before anything is divided, so a failure leaves the
          // step unwritten; which failure is reported is decided by the caller.
          for (u64 r = 0; r < rows; ++r) {
            if (b[r] == 0 || (a[r] == std::numeric_limits<i64>::min() && b[r] == -1)) {
              failure = {s, b[r] == 0 ? "attempt to divide by zero" : "attempt to divide with overflow"};
              return false;
            }
          }
        }
        for (u64 r = 0; r < rows; ++r) out[r] = kestrum::div(a[r], b[r]);
        break;
      case Op::Scale: for (u64 r = 0; r < rows; ++r) out[r] = kestrum::mul(a[r], step.factor); break;
      case Op::Power: for (u64 r = 0; r < rows; ++r) out[r] = element_power(a[r], step.index); break;
      case Op::Polynomials:
      case Op::DerivedPolynomials: break;
    }
  }
  return true;
}

template <Element T>
Array<T> ValueProgram<T>::run(Value result) const {
  const Layout plan = layout(result);
  const View<T>& points = *points_;
  if (points.ndim() == 0) internal_failure("value program run on points with no axis");
  const Shape batch(points.shape.begin(), points.shape.end() - 1);
  Array<T> values = Array<T>::uninitialized(batch);
  const u64 rows = values.size();
  const bool single_point = points.ndim() == 1;
  const u64 chunk_rows = single_point ? 1 : kChunkRows;
  const u64 chunks = rows / chunk_rows + (rows % chunk_rows != 0 ? 1 : 0);
  const u64 buffer_elements = checked_element_count(Shape{plan.buffers, std::min(rows, chunk_rows)}, sizeof(T));

  std::vector<Failure> failures(chunks, Failure{kUnused, nullptr});
  auto job = [&](std::size_t i) {
    const u64 first = static_cast<u64>(i) * chunk_rows;
    const u64 last = std::min(rows, first + chunk_rows);
    const auto buffers = make_buffer<T>(buffer_elements);
    (void)run_rows(plan, first, last, buffers.get(), std::min(rows, chunk_rows), values.data() + first, failures[i]);
  };
  if (single_point) {
    job(0);
  } else {
    run_indexed(static_cast<std::size_t>(chunks), job, [&] { prefault_for_writing(values.data(), rows * sizeof(T)); });
  }

  // The whole batch would meet the division failure of the earliest step first, and within
  // that step the one of the earliest row, which lies in the earliest chunk that failed there.
  const Failure* first_failure = nullptr;
  for (const Failure& f : failures) {
    if (f.step != kUnused && (first_failure == nullptr || f.step < first_failure->step)) first_failure = &f;
  }
  if (first_failure != nullptr) internal_failure(first_failure->message);
  return values;
}

#define KS_INSTANTIATE(T) template class ValueProgram<T>;
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

}  // namespace kestrum
