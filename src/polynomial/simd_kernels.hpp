// The hot loops that exist once per instruction set (evaluation rows, the dense-product
// line), their plain-data arguments and the selection among them. The loops themselves are
// in simd_kernels.inl, compiled once per target; the plans are built in eval.cpp.
//
// Only plain structs and raw pointers cross this boundary: every target TU is compiled with
// its own instruction-set flags, and an inline function or template instantiated in one of
// them could be merged by the linker into code that runs on any machine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum::simd {

/// Marks an absent table row or coefficient.
inline constexpr std::uint64_t kNone = ~std::uint64_t{0};

/// A power table row x_axis^exponent computed by the element power itself; used only for
/// exponents that the product rows cannot express (f64/c64 exponents whose low 32 bits
/// read as a negative or zero signed number).
struct PowerRow {
  std::uint64_t axis;
  std::uint64_t exponent;
};

/// A product table row: row[a] · row[b] (a on the left), built in list order. Powers are
/// products too: x^(2^j) = x^(2^(j−1)) · x^(2^(j−1)), and for k with more than one bit set
/// x^k = x^(k − 2^h) · x^(2^h) (h its highest bit), which are exactly the squarings and
/// multiplications of the element power; prefix products of leading factors follow.
struct PrefixRow {
  std::uint64_t a;
  std::uint64_t b;
};

/// The terms that share one leading multi-index (all axes but the last), in row-major
/// order. Their shared lead (the product of the leading factors) is row[lead] when
/// lead_factor is kNone, else row[lead] · row[lead_factor], formed in registers when the
/// group starts; lead is kNone when all leading exponents are 0. `const_coeff` is the flat
/// index of the coefficient whose last exponent is 0, or kNone when it counts as zero.
/// Terms [begin, end) follow it.
struct Group {
  std::uint64_t lead;
  std::uint64_t lead_factor;
  std::uint64_t const_coeff;
  std::uint64_t begin;
  std::uint64_t end;
};

/// One term with a last-axis exponent ≥ 1: its factor's table row and its coefficient.
struct Term {
  std::uint64_t row;
  std::uint64_t coeff;
};

/// Everything a target kernel needs to evaluate a polynomial with at least one axis and at
/// least one non-zero coefficient. Table rows: [0, axes) the gathered coordinates, then one
/// row per PowerRow, then one per product row. Shared read-only by all jobs of one call.
struct EvalPlan {
  std::uint64_t axes;
  const PowerRow* powers;
  std::uint64_t power_count;
  const PrefixRow* prefixes;
  std::uint64_t prefix_count;
  const Group* groups;
  std::uint64_t group_count;
  const Term* terms;
  const void* coeffs;  // row-major coefficients of the element type
};

/// Where the points of one call are: point r's first coordinate is at rows[r], or at
/// first + r · row_stride when rows is null; coordinate e sits coord_stride · e bytes
/// further (any alignment).
struct PointRows {
  const std::byte* const* rows;
  const std::byte* first;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t coord_stride;
};

/// Evaluates `count` points into out[0, count). Runs on pool workers; reads the plan and
/// the points, writes only out.
using EvalRowsFn = void (*)(const EvalPlan& plan, const PointRows& points, std::uint64_t count, void* out);

/// The whole dense product out += a ⊛ b (out zero-filled, shape la + lb − 1 per axis): a
/// and b are split into lines along their last axis (a_run, b_run elements); line l of a
/// lands at out + a_shift[l] and line l of b at out + b_shift[l] (element offsets, for the
/// same leading index). Each out element receives p · q + out for every pair in row-major
/// order of a's index, then of b's. Calling thread only.
using DenseMulFn = void (*)(void* out, const void* a, std::uint64_t a_lines, std::uint64_t a_run,
                            const std::uint64_t* a_shift, const void* b, std::uint64_t b_lines,
                            std::uint64_t b_run, const std::uint64_t* b_shift);

/// One instruction-set variant. Index 0, 1, 2 of each array: i64, f64, c64.
struct KernelSet {
  const char* name;
  EvalRowsFn eval_rows[3];
  DenseMulFn dense_mul[3];
};

extern const KernelSet kBaselineKernels;
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;

/// The variant used by this process, fixed at first use: the one named by the environment
/// variable KESTRUM_KERNEL ("baseline", "avx2", "avx512") when the CPU supports it, else the
/// best supported one. Thread-safe.
[[nodiscard]] const KernelSet& active_kernels();

}  // namespace kestrum::simd
