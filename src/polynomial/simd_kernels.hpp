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
/// `kept` is 0 when the row's only reader is the one term that forms it on demand (see
/// EvalPlan::rows_on_demand) or the one group lead that forms it in registers (the group's
/// lead and lead_factor are then the row's a and b), so it never needs to be written to
/// the table; 2 when a PowerChain forms it; else 1.
struct PrefixRow {
  std::uint64_t a;
  std::uint64_t b;
  std::uint64_t kept;
};

/// Highest power a PowerChain forms.
inline constexpr std::uint64_t kMaxChainPower = 16;

/// The product rows of x_axis^2 .. x_axis^top (2 ≤ top ≤ kMaxChainPower), all of them: the
/// kernel forms them one vector at a time with every power in registers, before the other
/// product rows, so a power costs its multiply and at most one store instead of two loads
/// and a store. rows[k − 2] is the table row of x^k; the PrefixRow of a chain row has kept
/// 2, or 0 when nothing reads that row from the table (it is then formed, never stored).
struct PowerChain {
  std::uint64_t axis;
  std::uint64_t top;
  std::uint64_t rows[kMaxChainPower - 1];
};

/// Most polynomials one evaluation pass computes together (see EvalPlan).
inline constexpr std::uint64_t kMaxOutputs = 4;

/// The terms that share one leading multi-index (all axes but the last), in row-major
/// order. Their shared lead (the product of the leading factors) is row[lead] when
/// lead_factor is kNone, else row[lead] · row[lead_factor], formed in registers when the
/// group starts; lead is kNone when all leading exponents are 0. Bit j of `const_outputs`
/// is set when output j has a non-zero coefficient whose last exponent is 0 here (its value
/// is the group's entry j in EvalPlan::group_coeffs). Terms [begin, end) follow it.
struct Group {
  std::uint64_t lead;
  std::uint64_t lead_factor;
  std::uint64_t begin;
  std::uint64_t end;
  std::uint64_t const_outputs;
};

/// One monomial with a last-axis exponent ≥ 1: its factor's table row, and bit j set when
/// output j has a non-zero coefficient for it (the term's entry j in EvalPlan::term_coeffs).
struct Term {
  std::uint64_t row;
  std::uint64_t outputs;
};

/// Everything a target kernel needs to evaluate up to kMaxOutputs polynomials over the same
/// axes at the same points in one pass, each with at least one axis and one non-zero
/// coefficient: they share the power table and every monomial, and each keeps its own sum
/// in its own row-major order of terms. Table rows: [0, axes) the gathered coordinates, then
/// one row per PowerRow, then one per product row. Coefficient values sit beside the groups
/// and terms that use them, `outputs` per group and per term (unused entries are zero).
/// Shared read-only by all jobs of one call.
struct EvalPlan {
  std::uint64_t axes;
  const PowerRow* powers;
  std::uint64_t power_count;
  const PrefixRow* prefixes;
  std::uint64_t prefix_count;
  const Group* groups;
  std::uint64_t group_count;
  const Term* terms;
  std::uint64_t outputs;     // 1 .. kMaxOutputs
  const void* group_coeffs;  // element type, `outputs` per group
  const void* term_coeffs;   // element type, `outputs` per term
  /// 1 when the only group has no lead (one axis, or all leading exponents 0): each product
  /// row is then read by few terms, so the kernel forms the rows while it walks the terms,
  /// in list order, and the row of the term at hand stays in registers.
  std::uint64_t rows_on_demand;
  /// Coefficient count L (2 ≤ L ≤ kMaxRegisterLine) of a one-axis polynomial evaluated
  /// alone whose coefficients all count as non-zero, else 0: such a line is summed with
  /// every power in registers where the variant has registers enough.
  std::uint64_t line_length;
  const void* line_coeffs;  // element type, line_length of them
  /// Length L (2 ≤ L ≤ kMaxRegisterLastAxis) of the last axis of a single polynomial with
  /// two or more axes, at least one of whose groups is a full line (terms for all L − 1
  /// last-axis exponents), and which forms its rows before the groups; else 0. last_rows[k −
  /// 1] is then the table row of x_last^k: the 512-bit kernel keeps those rows in registers
  /// for the whole block, and full lines read them there instead of from the table.
  std::uint64_t last_length;
  const std::uint64_t* last_rows;
  /// Chains of powers formed before the other product rows (none when rows_on_demand).
  const PowerChain* chains;
  std::uint64_t chain_count;
};

/// Longest one-axis polynomial the register kernels take (see EvalPlan::line_length).
inline constexpr std::uint64_t kMaxRegisterLine = 17;

/// Longest last axis whose powers the register kernels keep in registers (see
/// EvalPlan::last_length).
inline constexpr std::uint64_t kMaxRegisterLastAxis = 8;

/// Where the points of one call are: point r's first coordinate is at rows[r], or at
/// first + r · row_stride when rows is null; coordinate e sits coord_stride · e bytes
/// further (any alignment).
struct PointRows {
  const std::byte* const* rows;
  const std::byte* first;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t coord_stride;
};

/// Evaluates `count` points into out[j][0, count) for every output j. Runs on pool
/// workers; reads the plan and the points, writes only the outputs.
using EvalRowsFn = void (*)(const EvalPlan& plan, const PointRows& points, std::uint64_t count, void* const* out);

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

/// The portable variant: plain vectors of 16 bytes, built for every architecture.
extern const KernelSet kBaselineKernels;
#if defined(__x86_64__)
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;
#endif

/// The variant used by this process, fixed at first use. On x86-64: the one named by the
/// environment variable KESTRUM_KERNEL ("baseline", "avx2", "avx512") when the CPU supports
/// it, else (unknown or unsupported names too) the best supported one. Elsewhere only
/// "baseline" exists and is always used, whatever KESTRUM_KERNEL says. Thread-safe.
[[nodiscard]] const KernelSet& active_kernels();

}  // namespace kestrum::simd
