// The per-instruction-set hot loops: batch evaluation of rows of points and the line loop
// of the dense product. This file is compiled once per target (simd_kernels_<target>.cpp
// sets KS_VEC_BYTES and KS_KERNEL_SET, CMake sets the flags); everything here has internal
// linkage so no target's code can leak into another's.
//
// Vectors run across points (evaluation) or along a line of coefficients (product), never
// across the terms of one point, so each lane performs exactly the scalar sequence of
// separately rounded multiplies and adds: every variant gives the same bits.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "simd_kernels.hpp"

#ifndef KS_VEC_BYTES
#error "KS_VEC_BYTES must be set by the including file"
#endif

// The 512-bit variant gathers the coordinates of eight points with one instruction.
#if KS_VEC_BYTES == 64 && defined(__AVX512F__)
#include <immintrin.h>
#define KS_GATHER_LANES 1
#else
#define KS_GATHER_LANES 0
#endif

namespace kestrum::simd {
namespace {

using u64 = std::uint64_t;

constexpr u64 kLanes = KS_VEC_BYTES / 8;  // 64-bit lanes per vector
// Vectors of real lanes per register block: the sums and the shared lead stay in registers
// (32 vector registers with AVX-512, 16 below it).
constexpr u64 kRealVectors = KS_VEC_BYTES == 64 ? 8 : 4;
typedef double VF __attribute__((vector_size(KS_VEC_BYTES)));
typedef u64 VU __attribute__((vector_size(KS_VEC_BYTES)));

// Operand constraints for an empty asm statement that claims to change a value in place: the
// optimiser can then no longer merge the operation that made the value with the one that
// uses it. A vector register class where the architecture has one, else memory.
#if defined(__x86_64__)
#define KS_VEC_IN_REG "+v"  // any SSE/AVX register
#define KS_FP_IN_REG "+x"
#elif defined(__aarch64__)
#define KS_VEC_IN_REG "+w"  // any Advanced SIMD / floating-point register
#define KS_FP_IN_REG "+w"
#else
#define KS_VEC_IN_REG "+m"
#define KS_FP_IN_REG "+m"
#endif

struct Cplx {
  double re;
  double im;
};
/// Complex lanes, split into a vector of real parts and one of imaginary parts.
struct VC {
  VF re;
  VF im;
};

// --- element arithmetic on lanes, the same formulas as the scalar element types ---------
inline VF lmul(VF a, VF b) { return a * b; }
inline VF ladd(VF a, VF b) { return a + b; }
inline VU lmul(VU a, VU b) { return a * b; }  // unsigned: wraps modulo 2^64
inline VU ladd(VU a, VU b) { return a + b; }
inline VC lmul(VC a, VC b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline VC ladd(VC a, VC b) { return {a.re + b.re, a.im + b.im}; }

/// Every lane = x (a plain copy: adding x to a zero vector would turn −0.0 into +0.0).
template <class V, class S, std::size_t... I>
V broadcast(S x, std::index_sequence<I...>) {
  return V{((void)I, x)...};
}
inline VF splat(double x) { return broadcast<VF>(x, std::make_index_sequence<kLanes>{}); }
inline VU splat(u64 x) { return broadcast<VU>(x, std::make_index_sequence<kLanes>{}); }
inline VC splat(Cplx x) { return {splat(x.re), splat(x.im)}; }

/// Per element type: the scalar as stored, its lane type, vectors per register block, and
/// the sum's starting value. The sum starts at −0.0 (f64, both parts of c64) or 0 (i64):
/// adding the first term to it gives that term exactly, signed zeros and NaN payloads
/// included, so the first term is effectively taken unchanged without a branch in the term
/// loop. The one exception, a signalling NaN, which an add would quiet, can only come from
/// a coefficient taken without a multiply: the constant term, which the kernel assigns.
struct F64 {
  using Scalar = double;
  using Lane = VF;
  static constexpr u64 kVectors = kRealVectors;
  static Lane identity() { return splat(-0.0); }
  static Lane one() { return splat(1.0); }
};
struct I64 {
  using Scalar = u64;
  using Lane = VU;
  static constexpr u64 kVectors = kRealVectors;
  static Lane identity() { return splat(u64{0}); }
  static Lane one() { return splat(u64{1}); }
};
struct C64 {
  using Scalar = Cplx;
  using Lane = VC;
  static constexpr u64 kVectors = kRealVectors / 2;
  static Lane identity() { return splat(Cplx{-0.0, -0.0}); }
  static Lane one() { return splat(Cplx{1.0, 0.0}); }
};

template <class E>
typename E::Scalar load_scalar(const void* p) {
  typename E::Scalar v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class E>
void set_lane(typename E::Lane& lane, u64 w, typename E::Scalar x) {
  if constexpr (sizeof(typename E::Scalar) == 16) {
    lane.re[w] = x.re;
    lane.im[w] = x.im;
  } else {
    lane[w] = x;
  }
}

template <class E>
typename E::Scalar get_lane(const typename E::Lane& lane, u64 w) {
  if constexpr (sizeof(typename E::Scalar) == 16) {
    return Cplx{lane.re[w], lane.im[w]};
  } else {
    return lane[w];
  }
}

/// x^k for every lane (k ≥ 2), by the scalar element power's sequence: exponentiation by
/// squaring from the lowest bit; f64 and c64 take the low 32 bits of k as a signed
/// exponent s, raise to |s| and invert for s < 0 (c64 before, f64 after).
template <class E>
typename E::Lane lane_power(typename E::Lane x, u64 k) {
  using Lane = typename E::Lane;
  u64 e = k;
  bool negative = false;
  if constexpr (!std::is_same_v<E, I64>) {
    const auto s = static_cast<std::int32_t>(static_cast<std::uint32_t>(k));
    negative = s < 0;
    e = negative ? static_cast<u64>(0u - static_cast<std::uint32_t>(s)) : static_cast<u64>(s);
    if constexpr (std::is_same_v<E, C64>) {
      if (negative) {
        const VF q = x.re * x.re + x.im * x.im;
        x = Lane{x.re / q, -x.im / q};
      }
    }
  }
  Lane result;
  if (e == 0) {
    result = E::one();
  } else {
    Lane p = x;
    while ((e & 1u) == 0) {
      p = lmul(p, p);
      e >>= 1;
    }
    result = p;
    e >>= 1;
    while (e != 0) {
      p = lmul(p, p);
      if (e & 1u) result = lmul(result, p);
      e >>= 1;
    }
  }
  if constexpr (std::is_same_v<E, F64>) {
    if (negative) result = 1.0 / result;
  }
  return result;
}

/// p itself, as an address the optimiser must keep whole in one register: the row loads
/// and stores through it then take base + constant addressing, which x86 keeps fused with
/// the multiply or add that uses them (a base + index address costs an extra micro-op per
/// vector, and the front end, not the arithmetic, would set the pace).
template <class P>
P* whole_address(P* p) {
  __asm__("" : "+r"(p));
  return p;
}

/// Aligned scratch owned by one call (internal linkage: no shared template instance).
template <class Lane>
struct Scratch {
  explicit Scratch(u64 count)
      : data(static_cast<Lane*>(::operator new(count * sizeof(Lane), std::align_val_t{alignof(Lane)}))) {}
  ~Scratch() { ::operator delete(data, std::align_val_t{alignof(Lane)}); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  Lane* data;
};

/// Fills the coordinate columns of a whole block (kV vectors of points from row r0 on) with
/// vector gathers: the addresses of eight points at once, then one gather per coordinate
/// (and part). Only where KS_GATHER_LANES is set; elsewhere a no-op never called.
template <class E, u64 kV>
void gather_block([[maybe_unused]] typename E::Lane* table, [[maybe_unused]] u64 axes,
                  [[maybe_unused]] const PointRows& points, [[maybe_unused]] u64 r0) {
#if KS_GATHER_LANES
  using Lane = typename E::Lane;
  static_assert(kLanes == 8);
  for (u64 v = 0; v < kV; ++v) {
    const u64 r = r0 + v * kLanes;
    VU at;  // byte addresses of the eight points' first coordinates
    if (points.rows != nullptr) {
      std::memcpy(&at, points.rows + r, sizeof at);
    } else {
      const auto first = reinterpret_cast<std::uintptr_t>(points.first);
      const auto stride = static_cast<u64>(points.row_stride);  // wraps like the pointer sum
      for (u64 w = 0; w < kLanes; ++w) at[w] = first + (r + w) * stride;
    }
    for (u64 e = 0; e < axes; ++e) {
      const VU src = at + static_cast<u64>(static_cast<std::ptrdiff_t>(e) * points.coord_stride);
      Lane& dst = table[e * kV + v];
      const auto load = [](VU where) {
        __m512i index;
        std::memcpy(&index, &where, sizeof index);
        const __m512d got = _mm512_i64gather_pd(index, nullptr, 1);
        VF lanes;
        std::memcpy(&lanes, &got, sizeof lanes);
        return lanes;
      };
      if constexpr (std::is_same_v<E, C64>) {
        dst.re = load(src);
        dst.im = load(src + u64{8});
      } else {
        const VF got = load(src);
        std::memcpy(&dst, &got, sizeof dst);  // i64 lanes are moved as raw bits
      }
    }
  }
#endif
}

/// Evaluates the points block by block for M outputs at once. A block of kV · kLanes points
/// gets its own table (coordinates, powers, prefix products; a few KiB, stays in L1) and the
/// M sums stay in registers for the whole term list: each monomial is formed once and costs
/// its multiplies, then each output that has the term one multiply by its coefficient and
/// one add. kV shrinks as M grows, so the sums still fill the registers.
template <class E, u64 M>
void eval_rows_outputs(const EvalPlan& plan, const PointRows& points, u64 count, void* const* out_ptr) {
  using Lane = typename E::Lane;
  using Scalar = typename E::Scalar;
  constexpr u64 kV = (E::kVectors + M - 1) / M;
  constexpr u64 kBlock = kV * kLanes;
  const u64 table_rows = plan.axes + plan.power_count + plan.prefix_count;
  Scratch<Lane> scratch(table_rows * kV);
  Lane* const table = scratch.data;
  const Scalar* const group_coeffs = static_cast<const Scalar*>(plan.group_coeffs);
  const Scalar* const term_coeffs = static_cast<const Scalar*>(plan.term_coeffs);
  std::byte* out[M];
  for (u64 j = 0; j < M; ++j) out[j] = static_cast<std::byte*>(out_ptr[j]);

  for (u64 r0 = 0; r0 < count; r0 += kBlock) {
    const u64 m = count - r0 < kBlock ? count - r0 : kBlock;

    // Gather the coordinates into columns, point by point; lanes past the last point hold
    // zeros and their values are dropped.
    if (m < kBlock) {
      for (u64 i = 0; i < plan.axes * kV; ++i) table[i] = Lane{};
    }
    auto* const cols = reinterpret_cast<std::byte*>(table);
    if (sizeof(Scalar) == 8 && plan.axes == 1 && points.rows == nullptr && points.row_stride == 8) {
      // One coordinate, points side by side: the column is the points themselves.
      const std::byte* src = points.first + static_cast<std::ptrdiff_t>(r0) * 8;
      if (m == kBlock) {
        for (u64 v = 0; v < kV; ++v) std::memcpy(&table[v], src + v * sizeof(Lane), sizeof(Lane));
      } else {
        std::memcpy(cols, src, m * 8);
      }
    } else if (KS_GATHER_LANES && m == kBlock) {
      gather_block<E, kV>(table, plan.axes, points, r0);
    } else {
      for (u64 j = 0; j < m; ++j) {
        const u64 r = r0 + j;
        const std::byte* point =
            points.rows != nullptr ? points.rows[r] : points.first + static_cast<std::ptrdiff_t>(r) * points.row_stride;
        // Byte offset of lane j of column 0; column e is e · sizeof(Lane) · kV further.
        const u64 lane_at = (j / kLanes) * sizeof(Lane) + (j % kLanes) * 8;
        for (u64 e = 0; e < plan.axes; ++e) {
          std::byte* dst = cols + e * sizeof(Lane) * kV + lane_at;
          const std::byte* src = point + static_cast<std::ptrdiff_t>(e) * points.coord_stride;
          std::memcpy(dst, src, 8);  // the real part (or the whole i64/f64 value)
          if constexpr (sizeof(Scalar) == 16) std::memcpy(dst + sizeof(VF), src + 8, 8);  // imaginary part
        }
      }
    }
    // Powers computed by the element power, then the product rows, each from rows built
    // before it.
    Lane* row = table + plan.axes * kV;
    for (u64 i = 0; i < plan.power_count; ++i, row += kV) {
      const Lane* x = table + plan.powers[i].axis * kV;
      const u64 k = plan.powers[i].exponent;
      for (u64 v = 0; v < kV; ++v) row[v] = lane_power<E>(x[v], k);
    }
    for (u64 i = 0; i < (plan.rows_on_demand ? 0 : plan.prefix_count); ++i, row += kV) {
      const Lane* a = whole_address(table + plan.prefixes[i].a * kV);
      const Lane* b = whole_address(table + plan.prefixes[i].b * kV);
      for (u64 v = 0; v < kV; ++v) row[v] = lmul(a[v], b[v]);
    }

    // The terms in row-major order: term = ((lead · f) · c), with an absent lead or factor
    // not multiplied; sum := sum + term, for every output that has the term.
    Lane acc[M][kV];
    for (u64 j = 0; j < M; ++j) {
      for (u64 v = 0; v < kV; ++v) acc[j][v] = E::identity();
    }
    for (u64 g = 0; g < plan.group_count; ++g) {
      const Group& grp = plan.groups[g];
      const Term* t = plan.terms + grp.begin;
      const Term* const t_end = plan.terms + grp.end;
      const Scalar* gc = group_coeffs + g * M;
      const Scalar* tc = term_coeffs + grp.begin * M;
      if (grp.lead == kNone) {
        // The group of the constant terms is the first of every output, so its constant is
        // that output's first term: taken as it is (a signalling NaN stays signalling).
        for (u64 j = 0; j < M; ++j) {
          if (!((grp.const_outputs >> j) & 1u)) continue;
          const Lane c = splat(gc[j]);
          for (u64 v = 0; v < kV; ++v) acc[j][v] = c;
        }
        if (plan.rows_on_demand) {
          // Product rows are formed in list order as the terms reach them: the rows before
          // the term's own go to the table (later rows read them); the term's own row is
          // formed in registers and written only when something else reads it later.
          const u64 first_product = plan.axes + plan.power_count;
          u64 formed = 0;
          for (; t != t_end; ++t, tc += M) {
            for (; first_product + formed < t->row; ++formed) {
              const PrefixRow& pr = plan.prefixes[formed];
              const Lane* a = whole_address(table + pr.a * kV);
              const Lane* b = whole_address(table + pr.b * kV);
              Lane* dst = whole_address(table + (first_product + formed) * kV);
#pragma GCC unroll 8
              for (u64 v = 0; v < kV; ++v) dst[v] = lmul(a[v], b[v]);
            }
            Lane f[kV];
            if (first_product + formed == t->row) {
              const PrefixRow& pr = plan.prefixes[formed];
              const Lane* a = whole_address(table + pr.a * kV);
              const Lane* b = whole_address(table + pr.b * kV);
#pragma GCC unroll 8
              for (u64 v = 0; v < kV; ++v) f[v] = lmul(a[v], b[v]);
              if (pr.kept) {
                Lane* dst = whole_address(table + t->row * kV);
#pragma GCC unroll 8
                for (u64 v = 0; v < kV; ++v) dst[v] = f[v];
              }
              ++formed;
            } else {
              const Lane* src = whole_address(table + t->row * kV);
#pragma GCC unroll 8
              for (u64 v = 0; v < kV; ++v) f[v] = src[v];
            }
#pragma GCC unroll 4
            for (u64 j = 0; j < M; ++j) {
              if (M > 1 && !((t->outputs >> j) & 1u)) continue;
              const Lane c = splat(tc[j]);
#pragma GCC unroll 8
              for (u64 v = 0; v < kV; ++v) acc[j][v] = ladd(acc[j][v], lmul(f[v], c));
            }
          }
        } else {
          for (; t != t_end; ++t, tc += M) {
            const Lane* f = whole_address(table + t->row * kV);
#pragma GCC unroll 4
            for (u64 j = 0; j < M; ++j) {
              if (M > 1 && !((t->outputs >> j) & 1u)) continue;
              const Lane c = splat(tc[j]);
#pragma GCC unroll 8
              for (u64 v = 0; v < kV; ++v) acc[j][v] = ladd(acc[j][v], lmul(f[v], c));
            }
          }
        }
      } else {
        Lane lead[kV];
        if (grp.lead_factor == kNone) {
          for (u64 v = 0; v < kV; ++v) lead[v] = table[grp.lead * kV + v];
        } else {
          for (u64 v = 0; v < kV; ++v) lead[v] = lmul(table[grp.lead * kV + v], table[grp.lead_factor * kV + v]);
        }
        for (u64 j = 0; j < M; ++j) {
          if (!((grp.const_outputs >> j) & 1u)) continue;
          const Lane c = splat(gc[j]);
          for (u64 v = 0; v < kV; ++v) acc[j][v] = ladd(acc[j][v], lmul(lead[v], c));
        }
        for (; t != t_end; ++t, tc += M) {
          const Lane* f = whole_address(table + t->row * kV);
          Lane p[kV];
#pragma GCC unroll 8
          for (u64 v = 0; v < kV; ++v) p[v] = lmul(lead[v], f[v]);
#pragma GCC unroll 4
          for (u64 j = 0; j < M; ++j) {
            if (M > 1 && !((t->outputs >> j) & 1u)) continue;
            const Lane c = splat(tc[j]);
#pragma GCC unroll 8
            for (u64 v = 0; v < kV; ++v) acc[j][v] = ladd(acc[j][v], lmul(p[v], c));
          }
        }
      }
    }

    for (u64 j = 0; j < M; ++j) {
      std::byte* dst = out[j] + r0 * sizeof(Scalar);
      if constexpr (sizeof(Scalar) == 8) {
        if (m == kBlock) {
          std::memcpy(dst, acc[j], sizeof acc[j]);
          continue;
        }
      }
      for (u64 w = 0; w < m; ++w) {
        const Scalar x = get_lane<E>(acc[j][w / kLanes], w % kLanes);
        std::memcpy(dst + w * sizeof(Scalar), &x, sizeof x);
      }
    }
  }
}

/// A one-axis polynomial of L non-zero coefficients (see EvalPlan::line_length), block by
/// block with no table: x^k for every k < L is formed in registers by the element power's
/// squarings and products (x^(2^j) = x^(2^(j−1)) · x^(2^(j−1)), else x^k = x^(k − 2^h) ·
/// x^(2^h)), each right before its term is added, so only x, …, x^(2^h) stay live and
/// nothing but the points and the values touches memory. The loop has no branch, so the
/// compiler keeps every power and sum in a register. Blocks of three vectors: enough
/// independent sums to cover the latency of the adds, few enough that the live powers of
/// each (at most nine: x, …, x^8 and x^16) fit in the 32 vector registers.
template <class E, u64 L>
void eval_line_in_registers(const EvalPlan& plan, const PointRows& points, u64 count, void* out_ptr) {
  using Lane = typename E::Lane;
  using Scalar = typename E::Scalar;
  constexpr u64 kV = 3;
  constexpr u64 kBlock = kV * kLanes;
  const Scalar* const c = static_cast<const Scalar*>(plan.line_coeffs);
  auto* const out = static_cast<std::byte*>(out_ptr);
  const bool side_by_side = points.rows == nullptr && points.row_stride == 8;
  for (u64 r0 = 0; r0 < count; r0 += kBlock) {
    const u64 m = count - r0 < kBlock ? count - r0 : kBlock;
    Lane pw[L][kV];
    if (side_by_side && m == kBlock) {
      const std::byte* src = points.first + static_cast<std::ptrdiff_t>(r0) * 8;
      for (u64 v = 0; v < kV; ++v) std::memcpy(&pw[1][v], src + v * sizeof(Lane), sizeof(Lane));
    } else {
      // Lanes past the last point hold zeros and their values are dropped.
      for (u64 v = 0; v < kV; ++v) pw[1][v] = Lane{};
      for (u64 j = 0; j < m; ++j) {
        const u64 r = r0 + j;
        const std::byte* point =
            points.rows != nullptr ? points.rows[r] : points.first + static_cast<std::ptrdiff_t>(r) * points.row_stride;
        pw[1][j / kLanes][j % kLanes] = load_scalar<E>(point);
      }
    }
    Lane acc[kV];
    // The constant is the first term: taken as it is (a signalling NaN stays signalling).
    const Lane first = splat(c[0]);
    for (u64 v = 0; v < kV; ++v) acc[v] = first;
#pragma GCC unroll 16
    for (u64 k = 1; k < L; ++k) {
      if (k >= 2) {
        const u64 high = u64{1} << (63 - __builtin_clzll(k));
        const u64 a = high == k ? k / 2 : k - high;
        const u64 b = high == k ? k / 2 : high;
#pragma GCC unroll 3
        for (u64 v = 0; v < kV; ++v) pw[k][v] = lmul(pw[a][v], pw[b][v]);
      }
      const Lane ck = splat(c[k]);
#pragma GCC unroll 3
      for (u64 v = 0; v < kV; ++v) acc[v] = ladd(acc[v], lmul(pw[k][v], ck));
    }
    std::byte* dst = out + r0 * sizeof(Scalar);
    if (m == kBlock) {
      for (u64 v = 0; v < kV; ++v) std::memcpy(dst + v * sizeof(Lane), &acc[v], sizeof(Lane));
    } else {
      for (u64 w = 0; w < m; ++w) {
        const Scalar x = acc[w / kLanes][w % kLanes];
        std::memcpy(dst + w * sizeof(Scalar), &x, sizeof x);
      }
    }
  }
}

template <class E, std::size_t... L>
bool eval_line_by_length(const EvalPlan& plan, const PointRows& points, u64 count, void* out,
                         std::index_sequence<L...>) {
  return ((plan.line_length == L + 2 ? (eval_line_in_registers<E, L + 2>(plan, points, count, out), true) : false) ||
          ...);
}

template <class E>
void eval_rows_impl(const EvalPlan& plan, const PointRows& points, u64 count, void* const* out) {
  // The register kernels need 32 vector registers of 64 bytes; complex lanes take two.
  if constexpr (KS_VEC_BYTES == 64 && !std::is_same_v<E, C64>) {
    if (plan.line_length != 0 &&
        eval_line_by_length<E>(plan, points, count, out[0], std::make_index_sequence<kMaxRegisterLine - 1>{})) {
      return;
    }
  }
  switch (plan.outputs) {
    case 1: eval_rows_outputs<E, 1>(plan, points, count, out); return;
    case 2: eval_rows_outputs<E, 2>(plan, points, count, out); return;
    case 3: eval_rows_outputs<E, 3>(plan, points, count, out); return;
    default: eval_rows_outputs<E, 4>(plan, points, count, out); return;
  }
}

// --- dense product: out[i + j] := (a[i] · b[j]) + out[i + j] -------------------------------

template <class V>
V load_vec(const void* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
void store_vec(void* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

/// s with the lanes of each pair swapped: (s1, s0, s3, s2, ...). The two compilers spell the
/// constant shuffle differently.
template <std::size_t... I>
VF swap_pairs(VF s, std::index_sequence<I...>) {
#if defined(__clang__)
  return __builtin_shufflevector(s, s, (I ^ 1u)...);
#else
  return __builtin_shuffle(s, VU{(I ^ 1u)...});
#endif
}

/// The complex line on interleaved (re, im) memory: with s the source vector and s' its
/// parts swapped, p·s = (p.re·s) ± (p.im·s'), minus on real lanes and plus on imaginary
/// ones, which is (p.re·q.re − p.im·q.im, p.re·q.im + p.im·q.re) lane by lane.
void scaled_add_complex(void* dst_ptr, const void* src_ptr, const void* p_ptr, u64 run) {
  auto* dst = static_cast<double*>(dst_ptr);
  const auto* src = static_cast<const double*>(src_ptr);
  const Cplx p = load_scalar<C64>(p_ptr);
  const u64 values = 2 * run;
  u64 t = 0;
  if constexpr (kLanes >= 2) {
    VU imaginary;  // all-ones on the lanes of imaginary parts
    for (u64 w = 0; w < kLanes; ++w) imaginary[w] = (w & 1u) ? ~u64{0} : 0;
    const VF pre = splat(p.re), pim = splat(p.im);
    for (; t + kLanes <= values; t += kLanes) {
      const VF s = load_vec<VF>(src + t);
      VF a = pre * s;
      VF b = pim * swap_pairs(s, std::make_index_sequence<kLanes>{});
      // g++ would otherwise merge the multiplies with the alternating add/subtract below
      // into fused multiply-add/subtract instructions, whatever -ffp-contract says.
      __asm__("" : KS_VEC_IN_REG(a), KS_VEC_IN_REG(b));
      // A real subtraction on the real lanes, not an add of b with its sign flipped: the
      // two differ when b is NaN (x − NaN keeps the NaN's sign, x + (−NaN) flips it).
      // Both are formed behind a barrier: clang would otherwise fold the select of a sum
      // and a difference into an add of a sign-flipped b.
      VF sum = a + b;
      VF difference = a - b;
      __asm__("" : KS_VEC_IN_REG(sum), KS_VEC_IN_REG(difference));
      const VF prod = imaginary ? sum : difference;
      store_vec(dst + t, prod + load_vec<VF>(dst + t));
    }
  }
  for (; t < values; t += 2) {
    double rr = p.re * src[t], ii = p.im * src[t + 1], ri = p.re * src[t + 1], ir = p.im * src[t];
    // Same reason: the tail would be vectorised into fused multiply-add/subtract.
    __asm__("" : KS_FP_IN_REG(rr), KS_FP_IN_REG(ii), KS_FP_IN_REG(ri), KS_FP_IN_REG(ir));
    dst[t] = (rr - ii) + dst[t];
    dst[t + 1] = (ri + ir) + dst[t + 1];
  }
}

/// Adds the contributions of Q consecutive coefficients p[0..Q) of one line of a (Q ≤ 4)
/// against one line of b to one line of out: out[u] receives p[s] · src[u − s] for s = 0, 1,
/// …, in that order, which is the row-major order of a's index. Consecutive coefficients of
/// a line shift the same b line by one place, so one pass over out serves all Q of them.
template <class S, u64 Q>
void quad_line(S* dst, const S* src, const S* p, u64 run) {
  using V = std::conditional_t<std::is_same_v<S, double>, VF, VU>;
  if (run < Q) {  // short b lines: every position checks which shifts reach it
    for (u64 u = 0; u < run + Q - 1; ++u) {
      S acc = dst[u];
      for (u64 s = 0; s < Q; ++s) {
        if (u >= s && u - s < run) acc = p[s] * src[u - s] + acc;
      }
      dst[u] = acc;
    }
    return;
  }
  // Head [0, Q − 1): shifts s ≤ u. Middle [Q − 1, run): all shifts. Tail [run, run + Q − 1):
  // shifts s > u − run.
  for (u64 u = 0; u + 1 < Q; ++u) {
    S acc = dst[u];
    for (u64 s = 0; s <= u; ++s) acc = p[s] * src[u - s] + acc;
    dst[u] = acc;
  }
  V pv[Q];
  for (u64 s = 0; s < Q; ++s) pv[s] = splat(p[s]);
  u64 u = Q - 1;
  for (; u + kLanes <= run; u += kLanes) {
    V acc = load_vec<V>(dst + u);
#pragma GCC unroll 8
    for (u64 s = 0; s < Q; ++s) acc = pv[s] * load_vec<V>(src + u - s) + acc;
    store_vec(dst + u, acc);
  }
  for (; u < run; ++u) {
    S acc = dst[u];
    for (u64 s = 0; s < Q; ++s) acc = p[s] * src[u - s] + acc;
    dst[u] = acc;
  }
  for (u64 t = 0; t + 1 < Q; ++t) {
    S acc = dst[run + t];
    for (u64 s = t + 1; s < Q; ++s) acc = p[s] * src[run + t - s] + acc;
    dst[run + t] = acc;
  }
}

template <class S>
void dense_mul_real_by_quads(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                    const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  auto* out = static_cast<S*>(out_ptr);
  const auto* a = static_cast<const S*>(a_ptr);
  const auto* b = static_cast<const S*>(b_ptr);
  // For one line of a and one line of b, the out line they meet in gets all the products of
  // the two lines, and no other pair of lines of the same a line touches it: so the loop
  // runs over line pairs (a lines in order) and keeps that out line in L1 while the a line's
  // coefficients are applied in order, four per pass.
  for (u64 la = 0; la < a_lines; ++la) {
    const S* p = a + la * a_run;
    for (u64 lb = 0; lb < b_lines; ++lb) {
      S* line = out + a_shift[la] + b_shift[lb];
      const S* src = b + lb * b_run;
      u64 i = 0;
      for (; i + 4 <= a_run; i += 4) quad_line<S, 4>(line + i, src, p + i, b_run);
      switch (a_run - i) {
        case 3: quad_line<S, 3>(line + i, src, p + i, b_run); break;
        case 2: quad_line<S, 2>(line + i, src, p + i, b_run); break;
        case 1: quad_line<S, 1>(line + i, src, p + i, b_run); break;
        default: break;
      }
    }
  }
}

/// Lines of b (and so of out) carried at once by the real product: their sums are
/// independent, so the adds of one coefficient overlap instead of waiting on each other.
constexpr u64 kLineBlock = 8;

/// Where the windows of the padded b lines are. A b line is kept with kLanes zeros on either
/// side, once per shift s < kLanes (copy s starts s elements later), so the window starting
/// at padded position t is the aligned vector at offset[t] from the line's base: the loads
/// of the product never straddle cache lines. valid[t + w] is all-ones exactly when padded
/// position t + w holds a coefficient of the line.
struct Windows {
  const u64* valid;
  const u64* offset;
};

/// R lines of out, one vector each at position u0, receive every coefficient of the a line
/// p[0, a_run) against their own padded b lines src[r]. A lane u receives p[i] · b[u − i]
/// for ascending i and only where 0 ≤ u − i < b_run: the coefficients whose window
/// overhangs the b line select the sum unchanged on the overhanging lanes, so padding is
/// read but never added.
template <class S, class V, u64 R>
void line_block_vector(S* const* dst, const S* const* src, const Windows& win, const S* p, u64 a_run, u64 b_run,
                       u64 u0) {
  V acc[R];
  for (u64 r = 0; r < R; ++r) acc[r] = load_vec<V>(dst[r]);
  // Coefficients reaching some lane: u0 − b_run < i < u0 + kLanes; whole window: u0 + kLanes
  // − b_run ≤ i ≤ u0.
  const u64 lo = u0 + 1 > b_run ? u0 + 1 - b_run : 0;
  const u64 hi = u0 + kLanes < a_run ? u0 + kLanes : a_run;
  u64 full_lo = u0 + kLanes > b_run ? u0 + kLanes - b_run : 0;
  u64 full_hi = u0 + 1 < a_run ? u0 + 1 : a_run;
  if (full_lo < lo) full_lo = lo;
  if (full_lo > hi) full_lo = hi;
  if (full_hi > hi) full_hi = hi;
  if (full_hi < full_lo) full_hi = full_lo;
  u64 i = lo;
  for (; i < full_lo; ++i) {
    const V pv = splat(p[i]);
    const u64 at = kLanes + u0 - i;
    const VU m = load_vec<VU>(win.valid + at);
    const u64 w = win.offset[at];
#pragma GCC unroll 8
    for (u64 r = 0; r < R; ++r) acc[r] = m ? pv * load_vec<V>(src[r] + w) + acc[r] : acc[r];
  }
  for (; i < full_hi; ++i) {
    const V pv = splat(p[i]);
    const u64 w = win.offset[kLanes + u0 - i];
#pragma GCC unroll 8
    for (u64 r = 0; r < R; ++r) acc[r] = pv * load_vec<V>(src[r] + w) + acc[r];
  }
  for (; i < hi; ++i) {
    const V pv = splat(p[i]);
    const u64 at = kLanes + u0 - i;
    const VU m = load_vec<VU>(win.valid + at);
    const u64 w = win.offset[at];
#pragma GCC unroll 8
    for (u64 r = 0; r < R; ++r) acc[r] = m ? pv * load_vec<V>(src[r] + w) + acc[r] : acc[r];
  }
  for (u64 r = 0; r < R; ++r) store_vec(dst[r], acc[r]);
}

/// One a line against R b lines: every vector position of the R out lines in turn. The
/// last, partial position works on a copy so nothing past the out line is touched.
template <class S, class V, u64 R>
void line_block(S* const* line, const S* const* src, const Windows& win, const S* p, u64 a_run, u64 b_run) {
  const u64 out_run = a_run + b_run - 1;
  S* dst[R];
  u64 u0 = 0;
  for (; u0 + kLanes <= out_run; u0 += kLanes) {
    for (u64 r = 0; r < R; ++r) dst[r] = line[r] + u0;
    line_block_vector<S, V, R>(dst, src, win, p, a_run, b_run, u0);
  }
  if (u0 < out_run) {
    S tail[R][kLanes] = {};
    for (u64 r = 0; r < R; ++r) {
      std::memcpy(tail[r], line[r] + u0, (out_run - u0) * sizeof(S));
      dst[r] = tail[r];
    }
    line_block_vector<S, V, R>(dst, src, win, p, a_run, b_run, u0);
    for (u64 r = 0; r < R; ++r) std::memcpy(line[r] + u0, tail[r], (out_run - u0) * sizeof(S));
  }
}

/// Returns false, having written nothing, when the shifted copies of b would be too large.
template <class S>
bool dense_mul_real_by_windows(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                               const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  using V = std::conditional_t<std::is_same_v<S, double>, VF, VU>;
  auto* out = static_cast<S*>(out_ptr);
  const auto* a = static_cast<const S*>(a_ptr);
  const auto* b = static_cast<const S*>(b_ptr);
  // The padded, shifted copies of b (see Windows): every copy is a whole number of vectors
  // and the block is aligned to a vector, so every window load is aligned. They take about
  // kLanes times b's size, so past kMaxCopies elements (or if they cannot be had) the
  // product runs by shifted passes instead.
  constexpr u64 kMaxCopies = u64{1} << 24;
  const u64 padded_run = b_run + 2 * kLanes;
  const u64 copy_run = (padded_run + kLanes - 1) / kLanes * kLanes;
  const u64 line_stride = kLanes * copy_run;
  if (b_run > kMaxCopies || b_lines > kMaxCopies / line_stride) return false;
  std::vector<S> storage;
  try {
    storage.assign(b_lines * line_stride + kLanes, S{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  S* base = storage.data();
  while (reinterpret_cast<std::uintptr_t>(base) % KS_VEC_BYTES != 0) ++base;
  for (u64 lb = 0; lb < b_lines; ++lb) {
    for (u64 sh = 0; sh < kLanes; ++sh) {
      // Copy sh holds padded position y + sh at y: b's coefficient t at kLanes + t − sh.
      std::memcpy(base + lb * line_stride + sh * copy_run + kLanes - sh, b + lb * b_run, b_run * sizeof(S));
    }
  }
  std::vector<u64> valid(padded_run, 0), offset(padded_run, 0);
  std::fill(valid.begin() + kLanes, valid.begin() + kLanes + b_run, ~u64{0});
  for (u64 t = 0; t < padded_run; ++t) offset[t] = (t % kLanes) * copy_run + t - t % kLanes;
  const Windows win{valid.data(), offset.data()};
  // For one line of a and one line of b, the out line they meet in gets all the products of
  // the two lines, and no other b line meets the same a line there: so each out element
  // still sees a's lines in order and, within a line, its coefficients in order.
  S* line[kLineBlock];
  const S* src[kLineBlock];
  for (u64 la = 0; la < a_lines; ++la) {
    const S* p = a + la * a_run;
    u64 lb = 0;
    for (; lb + kLineBlock <= b_lines; lb += kLineBlock) {
      for (u64 r = 0; r < kLineBlock; ++r) {
        line[r] = out + a_shift[la] + b_shift[lb + r];
        src[r] = base + (lb + r) * line_stride;
      }
      line_block<S, V, kLineBlock>(line, src, win, p, a_run, b_run);
    }
    for (; lb < b_lines; ++lb) {
      line[0] = out + a_shift[la] + b_shift[lb];
      src[0] = base + lb * line_stride;
      line_block<S, V, 1>(line, src, win, p, a_run, b_run);
    }
  }
  return true;
}

template <class S>
void dense_mul_real(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                    const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  // With narrower vectors the selects on the window edges cost more than the scalar edges
  // of the shifted passes.
  if constexpr (kLanes >= 8) {
    if (dense_mul_real_by_windows<S>(out_ptr, a_ptr, a_lines, a_run, a_shift, b_ptr, b_lines, b_run, b_shift)) return;
  }
  dense_mul_real_by_quads<S>(out_ptr, a_ptr, a_lines, a_run, a_shift, b_ptr, b_lines, b_run, b_shift);
}

void dense_mul_complex(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                       const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  auto* out = static_cast<Cplx*>(out_ptr);
  const auto* a = static_cast<const Cplx*>(a_ptr);
  const auto* b = static_cast<const Cplx*>(b_ptr);
  for (u64 la = 0; la < a_lines; ++la) {
    for (u64 i = 0; i < a_run; ++i) {
      const Cplx* p = a + la * a_run + i;
      for (u64 lb = 0; lb < b_lines; ++lb) {
        scaled_add_complex(out + a_shift[la] + i + b_shift[lb], b + lb * b_run, p, b_run);
      }
    }
  }
}

}  // namespace

extern const KernelSet KS_KERNEL_SET;
const KernelSet KS_KERNEL_SET = {
    KS_KERNEL_NAME,
    {&eval_rows_impl<I64>, &eval_rows_impl<F64>, &eval_rows_impl<C64>},
    {&dense_mul_real<u64>, &dense_mul_real<double>, &dense_mul_complex},
};

}  // namespace kestrum::simd
