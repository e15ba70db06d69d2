// The per-instruction-set hot loops: batch evaluation of rows of points and the line loop
// of the dense product. This file is compiled once per target (simd_kernels_<target>.cpp
// sets KS_VEC_BYTES and KS_KERNEL_SET, CMake sets the flags); everything here has internal
// linkage so no target's code can leak into another's.
//
// Vectors run across points (evaluation), or along a line of coefficients or across
// consecutive lines (product), never across the terms of one point or the pairs of one out
// element, so each lane performs exactly the scalar sequence of separately rounded
// multiplies and adds: every variant gives the same bits.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__AVX512F__) && KS_VEC_BYTES == 64
#include <immintrin.h>
#endif

#include "aligned_block.hpp"
#include "simd_kernels.hpp"

#ifndef KS_VEC_BYTES
#error "KS_VEC_BYTES must be set by the including file"
#endif

// The 512-bit variant gathers the coordinates of eight points with one instruction.
#if KS_VEC_BYTES == 64 && defined(__AVX512F__)
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
  static_assert(alignof(Lane) <= kBufferAlignment);
  explicit Scratch(u64 count) : data(static_cast<Lane*>(allocate_aligned(count * sizeof(Lane)))) {}
  ~Scratch() { free_aligned(data); }
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

/// Whether the points are pairs of 8-byte coordinates stored one pair after the other (two
/// coordinates, row-major, nothing between the rows): then eight points are two vectors,
/// and each coordinate's column comes out of them by one two-source permute, cheaper than
/// a gather. (With more coordinates a column takes permutes and blends that cost what the
/// gathers do.)
inline bool packed_pairs(const PointRows& points, u64 axes, u64 element_bytes) {
  return KS_GATHER_LANES && element_bytes == 8 && axes == 2 && points.rows == nullptr && points.coord_stride == 8 &&
         points.row_stride == 16;
}

/// Fills the two coordinate columns of a whole block of packed pairs (see packed_pairs).
/// Only where KS_GATHER_LANES is set; elsewhere a no-op never called.
template <class E, u64 kV>
void load_pairs_block([[maybe_unused]] typename E::Lane* table, [[maybe_unused]] const std::byte* first) {
#if KS_GATHER_LANES
  if constexpr (sizeof(typename E::Scalar) == 8) {  // packed_pairs accepts no other size
    const __m512i even = _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i odd = _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1);
    for (u64 v = 0; v < kV; ++v) {
      const __m512d lo = _mm512_loadu_pd(first + v * 128);
      const __m512d hi = _mm512_loadu_pd(first + v * 128 + 64);
      const __m512d x = _mm512_permutex2var_pd(lo, even, hi);
      const __m512d y = _mm512_permutex2var_pd(lo, odd, hi);
      std::memcpy(&table[v], &x, sizeof x);  // i64 lanes are moved as raw bits
      std::memcpy(&table[kV + v], &y, sizeof y);
    }
  }
#endif
}

/// Asks for the cache lines of `count` points from row r0 on (every coordinate of them),
/// so that the next block's coordinates arrive while this block computes: a block's terms
/// take thousands of cycles, and its gathers would otherwise wait on memory at its start.
/// Always inlined: as a call of its own, the compiler takes it for a function without
/// effect and drops it.
[[gnu::always_inline]] inline void prefetch_block(const PointRows& points, u64 axes, u64 r0, u64 count) {
  const std::ptrdiff_t cs = points.coord_stride;
  const std::ptrdiff_t reach = cs * static_cast<std::ptrdiff_t>(axes - 1);  // last coordinate's offset
  // Coordinates of a point side by side (one or two lines): each point's range line by line;
  // else every coordinate on its own.
  const bool together = reach > -64 && reach < 64;
  const u64 starts = together ? 1 : axes;
  for (u64 e = 0; e < starts; ++e) {
    const std::ptrdiff_t shift = together ? (reach < 0 ? reach : 0) : cs * static_cast<std::ptrdiff_t>(e);
    const std::ptrdiff_t width = together ? (reach < 0 ? -reach : reach) + 8 : 8;
    auto point = [&](u64 r) {
      const std::byte* at =
          points.rows != nullptr ? points.rows[r] : points.first + static_cast<std::ptrdiff_t>(r) * points.row_stride;
      return at + shift;
    };
    const std::ptrdiff_t step = points.rows != nullptr ? 0 : points.row_stride;
    if (step > -64 && step < 64 && step != 0) {
      // Rows close together: every line of the block's span once.
      const std::byte* lo = point(step > 0 ? r0 : r0 + count - 1);
      const std::byte* hi = point(step > 0 ? r0 + count - 1 : r0) + width;
      // Addresses as integers: the lines run up to hi, and no pointer past the buffer is formed.
      const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(hi);
      for (std::uintptr_t at = reinterpret_cast<std::uintptr_t>(lo) & ~std::uintptr_t{63}; at < end; at += 64) {
        __builtin_prefetch(reinterpret_cast<const void*>(at));
      }
    } else {
      for (u64 r = r0; r < r0 + count; ++r) {
        __builtin_prefetch(point(r));
        if (width > 8) __builtin_prefetch(point(r) + width - 1);
      }
    }
  }
}

/// Asks for the cache lines of the `bytes` bytes from `at` on, to be read (kWrite 0) or
/// written (1). Always inlined, for the reason prefetch_block is.
template <int kWrite>
[[gnu::always_inline]] inline void prefetch_lines(const std::byte* at, u64 bytes) {
  for (u64 b = 0; b < bytes; b += 64) __builtin_prefetch(at + b, kWrite);
}

/// The rows of one PowerChain for a block of kV vectors, one vector at a time: x^k =
/// x^(k/2) · x^(k/2) for k a power of two, else x^(k − h) · x^h (h the highest bit of k),
/// the squarings and products of the element power, with every power in registers.
template <class E, u64 kV>
void form_chain(typename E::Lane* table, const EvalPlan& plan, const PowerChain& chain) {
  using Lane = typename E::Lane;
  const u64 first_product = plan.axes + plan.power_count;
  Lane* dst[kMaxChainPower + 1] = {};  // where x^k goes, or null when nothing reads it there
  for (u64 k = 2; k <= chain.top; ++k) {
    if (plan.prefixes[chain.rows[k - 2] - first_product].kept != 0) dst[k] = table + chain.rows[k - 2] * kV;
  }
  // Two vectors at a time where they pair up: two independent chains of multiplies.
  constexpr u64 kStep = kV % 2 == 0 ? 2 : 1;
  for (u64 v = 0; v < kV; v += kStep) {
    Lane p[kMaxChainPower + 1][kStep];
    for (u64 s = 0; s < kStep; ++s) p[1][s] = table[chain.axis * kV + v + s];
#pragma GCC unroll 16
    for (u64 k = 2; k <= kMaxChainPower; ++k) {
      if (k > chain.top) break;
      const u64 high = u64{1} << (63 - __builtin_clzll(k));
      const u64 a = high == k ? k / 2 : k - high;
      const u64 b = high == k ? k / 2 : high;
      for (u64 s = 0; s < kStep; ++s) p[k][s] = lmul(p[a][s], p[b][s]);
      if (dst[k] != nullptr) {
        for (u64 s = 0; s < kStep; ++s) dst[k][v + s] = p[k][s];
      }
    }
  }
}

/// Evaluates the points block by block for M outputs at once. A block of kV · kLanes points
/// gets its own table (coordinates, powers, prefix products; a few KiB, stays in L1) and the
/// M sums stay in registers for the whole term list: each monomial is formed once and costs
/// its multiplies, then each output that has the term one multiply by its coefficient and
/// one add. kV shrinks as M grows, so the sums still fill the registers.
///
/// kLast ≠ 0 (one output, 512-bit vectors, EvalPlan::last_length == kLast): the powers of
/// the last coordinate stay in registers for the whole block, and each full line (a group
/// with all kLast − 1 last-axis terms) reads them there. A term then costs its multiplies
/// and its add and one load (the coefficient) instead of a row of loads, which on 512-bit
/// vectors is what sets the pace. Fewer points per block leave the registers for the powers.
template <class E, u64 M, u64 kLast = 0>
void eval_rows_outputs(const EvalPlan& plan, const PointRows& points, u64 count, void* const* out_ptr) {
  using Lane = typename E::Lane;
  using Scalar = typename E::Scalar;
  static_assert(kLast == 0 || M == 1);
  // Registers: kLast − 1 powers, the sum and the lead per vector, plus the coefficient and a
  // product in flight, within 31 of the 32.
  constexpr u64 kV = kLast != 0 ? std::min<u64>(8, 29 / (kLast + 1)) : (E::kVectors + M - 1) / M;
  constexpr u64 kBlock = kV * kLanes;
  const u64 table_rows = plan.axes + plan.power_count + plan.prefix_count;
  Scratch<Lane> scratch(table_rows * kV);
  Lane* const table = scratch.data;
  // Each term's factor row as an address, found once per call: the term loops then spend
  // one load on it and no integer arithmetic (3% faster on two-axis polynomials, but 3%
  // slower beside the registers of the full lines, which keep the row numbers).
  const u64 term_count = kLast != 0 || plan.group_count == 0 ? 0 : plan.groups[plan.group_count - 1].end;
  Scratch<const Lane*> term_rows_scratch(term_count);
  const Lane** const term_rows = term_rows_scratch.data;
  for (u64 i = 0; i < term_count; ++i) term_rows[i] = table + plan.terms[i].row * kV;
  const Scalar* const group_coeffs = static_cast<const Scalar*>(plan.group_coeffs);
  const Scalar* const term_coeffs = static_cast<const Scalar*>(plan.term_coeffs);
  std::byte* out[M];
  for (u64 j = 0; j < M; ++j) out[j] = static_cast<std::byte*>(out_ptr[j]);
  const bool pairs = packed_pairs(points, plan.axes, sizeof(Scalar));

  for (u64 r0 = 0; r0 < count; r0 += kBlock) {
    const u64 m = count - r0 < kBlock ? count - r0 : kBlock;
    if (count - r0 > kBlock) {
      const u64 next = std::min(kBlock, count - r0 - kBlock);
      prefetch_block(points, plan.axes, r0 + kBlock, next);
      // The next block's values too, so that their stores find the lines owned (1–3% on
      // 10^6 points).
      for (u64 j = 0; j < M; ++j) prefetch_lines<1>(out[j] + (r0 + kBlock) * sizeof(Scalar), next * sizeof(Scalar));
    }

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
    } else if (KS_GATHER_LANES && m == kBlock && pairs) {
      load_pairs_block<E, kV>(table, points.first + static_cast<std::ptrdiff_t>(r0) * 16);
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
    for (u64 c = 0; c < plan.chain_count; ++c) form_chain<E, kV>(table, plan, plan.chains[c]);
    for (u64 i = 0; i < (plan.rows_on_demand ? 0 : plan.prefix_count); ++i, row += kV) {
      if (plan.prefixes[i].kept != 1) continue;  // a chain or a lead forms it
      const Lane* a = whole_address(table + plan.prefixes[i].a * kV);
      const Lane* b = whole_address(table + plan.prefixes[i].b * kV);
      for (u64 v = 0; v < kV; ++v) row[v] = lmul(a[v], b[v]);
    }

    // The terms in row-major order: term = ((lead · f) · c), with an absent lead or factor
    // not multiplied; sum := sum + term, for every output that has the term. The term loops
    // below are written out on purpose: folded into shared helpers (lambdas, even forced
    // inline) the sums and the row formed on demand left the registers, and long one-axis
    // lines ran 35% slower.
    Lane acc[M][kV];
    for (u64 j = 0; j < M; ++j) {
      for (u64 v = 0; v < kV; ++v) acc[j][v] = E::identity();
    }
    // last[k] = x_last^k (k ≥ 1) of this block, for the full lines.
    [[maybe_unused]] Lane last[kLast != 0 ? kLast : 1][kV];
    if constexpr (kLast != 0) {
#pragma GCC unroll 8
      for (u64 k = 1; k < kLast; ++k) {
        const Lane* src = whole_address(table + plan.last_rows[k - 1] * kV);
#pragma GCC unroll 8
        for (u64 v = 0; v < kV; ++v) last[k][v] = src[v];
      }
    }
    for (u64 g = 0; g < plan.group_count; ++g) {
      const Group& grp = plan.groups[g];
      const Term* t = plan.terms + grp.begin;
      const Term* const t_end = plan.terms + grp.end;
      const Scalar* gc = group_coeffs + g * M;
      const Scalar* tc = term_coeffs + grp.begin * M;
      if constexpr (kLast != 0) {
        if (grp.end - grp.begin == kLast - 1) {
          // A full line: every power from registers, the terms in ascending exponent. The
          // lead and the constant are formed here as in the general loops below: sharing
          // that code with them (full lines tested after it) was 1–4% slower on these shapes.
          const bool has_const = (grp.const_outputs & 1u) != 0;
          if (grp.lead == kNone) {
            if (has_const) {
              // The output's first term: taken as it is (a signalling NaN stays signalling).
              const Lane c = splat(gc[0]);
              for (u64 v = 0; v < kV; ++v) acc[0][v] = c;
            }
#pragma GCC unroll 8
            for (u64 k = 1; k < kLast; ++k) {
              const Lane c = splat(tc[k - 1]);
#pragma GCC unroll 8
              for (u64 v = 0; v < kV; ++v) acc[0][v] = ladd(acc[0][v], lmul(last[k][v], c));
            }
          } else {
            Lane lead[kV];
            if (grp.lead_factor == kNone) {
              for (u64 v = 0; v < kV; ++v) lead[v] = table[grp.lead * kV + v];
            } else {
              for (u64 v = 0; v < kV; ++v) lead[v] = lmul(table[grp.lead * kV + v], table[grp.lead_factor * kV + v]);
            }
            if (has_const) {
              const Lane c = splat(gc[0]);
              for (u64 v = 0; v < kV; ++v) acc[0][v] = ladd(acc[0][v], lmul(lead[v], c));
            }
#pragma GCC unroll 8
            for (u64 k = 1; k < kLast; ++k) {
              const Lane c = splat(tc[k - 1]);
#pragma GCC unroll 8
              for (u64 v = 0; v < kV; ++v) acc[0][v] = ladd(acc[0][v], lmul(lmul(lead[v], last[k][v]), c));
            }
          }
          continue;
        }
      }
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
          for (u64 i = grp.begin; t != t_end; ++t, ++i, tc += M) {
            const Lane* f = whole_address(kLast == 0 ? term_rows[i] : table + t->row * kV);
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
        for (u64 i = grp.begin; t != t_end; ++t, ++i, tc += M) {
          const Lane* f = whole_address(kLast == 0 ? term_rows[i] : table + t->row * kV);
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
  constexpr u64 kAhead = 4 * kBlock;  // 7–11% faster on 10^6 points than the hardware alone
  const Scalar* const c = static_cast<const Scalar*>(plan.line_coeffs);
  auto* const out = static_cast<std::byte*>(out_ptr);
  const bool side_by_side = points.rows == nullptr && points.row_stride == 8;
  for (u64 r0 = 0; r0 < count; r0 += kBlock) {
    const u64 m = count - r0 < kBlock ? count - r0 : kBlock;
    Lane pw[L][kV];
    if (side_by_side && count - r0 >= kAhead + kBlock) {
      // Points and values stream through: ask for the lines of the block kAhead points on.
      prefetch_lines<0>(points.first + static_cast<std::ptrdiff_t>(r0 + kAhead) * 8, kBlock * 8);
      prefetch_lines<1>(out + (r0 + kAhead) * sizeof(Scalar), kBlock * sizeof(Scalar));
    }
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

template <class E, std::size_t... L>
bool eval_last_by_length(const EvalPlan& plan, const PointRows& points, u64 count, void* const* out,
                         std::index_sequence<L...>) {
  return ((plan.last_length == L + 2 ? (eval_rows_outputs<E, 1, L + 2>(plan, points, count, out), true) : false) ||
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
  if constexpr (KS_VEC_BYTES == 64 && !std::is_same_v<E, C64>) {
    if (plan.last_length != 0 && plan.outputs == 1 &&
        eval_last_by_length<E>(plan, points, count, out, std::make_index_sequence<kMaxRegisterLastAxis - 1>{})) {
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

/// Most b lines one pass of the real product carries: their sums are independent, so the
/// adds of one coefficient overlap instead of waiting on each other, and with 16 of them the
/// add latency is covered (16 sums, the coefficient and a product fill half the registers).
constexpr u64 kMaxLineBlock = 16;

/// The first n < kLanes elements at p as a vector (the other lanes zero), and back: the
/// last, partial vector of an out line must not touch what follows the line.
template <class V, class S>
V load_part(const S* p, u64 n) {
#if defined(__AVX512F__) && KS_VEC_BYTES == 64
  return (V)_mm512_maskz_loadu_epi64(static_cast<__mmask8>((1u << n) - 1), p);
#else
  V v{};
  std::memcpy(&v, p, n * sizeof(S));
  return v;
#endif
}
template <class V, class S>
void store_part(S* p, V v, u64 n) {
#if defined(__AVX512F__) && KS_VEC_BYTES == 64
  _mm512_mask_storeu_epi64(p, static_cast<__mmask8>((1u << n) - 1), (__m512i)v);
#else
  std::memcpy(p, &v, n * sizeof(S));
#endif
}

/// One vector position u0 of the out lines of a block of R consecutive b lines, for every a
/// line in order: a lane u receives p[i] · b[u − i] for ascending i and only where
/// 0 ≤ u − i < b_run. The R sums stay in registers while one a line's coefficients are
/// applied; the window of coefficient i (b shifted to lane position u0 − i, for all R
/// lines side by side) is window kLanes + u0 − i of the table, so consecutive coefficients
/// step back through it by a fixed stride. Coefficients whose window overhangs the b lines
/// select the sum unchanged on the overhanging lanes, so padding is read but never added.
/// line_shift[r]: where b line r of the block lands in out.
template <class S, class V, u64 R>
void window_pass(S* out, const S* a, u64 a_lines, u64 a_run, const u64* a_shift, const u64* line_shift,
                 const S* table, const u64* valid, u64 b_run, u64 u0) {
  constexpr u64 kStep = R * kLanes;  // elements from one window of the table to the next
  const u64 out_run = a_run + b_run - 1;
  const u64 n = out_run - u0 < kLanes ? out_run - u0 : kLanes;  // lanes inside the out line
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
  const S* const first_window = table + (kLanes + u0 - lo) * kStep;
  const u64* const first_valid = valid + kLanes + u0 - lo;
  u64 shift[R];
  for (u64 r = 0; r < R; ++r) shift[r] = line_shift[r] + u0;
  for (u64 la = 0; la < a_lines; ++la) {
    S* const line = out + a_shift[la];
    const S* const p = a + la * a_run;
    V acc[R];
    if (n == kLanes) {
      for (u64 r = 0; r < R; ++r) acc[r] = load_vec<V>(line + shift[r]);
    } else {
      for (u64 r = 0; r < R; ++r) acc[r] = load_part<V>(line + shift[r], n);
    }
    const S* w = whole_address(first_window);
    const u64* m = first_valid;
    u64 i = lo;
    for (; i < full_lo; ++i, w -= kStep, --m) {
      const V pv = splat(p[i]);
      const VU mask = load_vec<VU>(m);
#pragma GCC unroll 16
      for (u64 r = 0; r < R; ++r) acc[r] = mask ? pv * load_vec<V>(w + r * kLanes) + acc[r] : acc[r];
    }
    for (; i < full_hi; ++i, w -= kStep) {
      const V pv = splat(p[i]);
#pragma GCC unroll 16
      for (u64 r = 0; r < R; ++r) acc[r] = pv * load_vec<V>(w + r * kLanes) + acc[r];
    }
    m -= full_hi - full_lo;
    for (; i < hi; ++i, w -= kStep, --m) {
      const V pv = splat(p[i]);
      const VU mask = load_vec<VU>(m);
#pragma GCC unroll 16
      for (u64 r = 0; r < R; ++r) acc[r] = mask ? pv * load_vec<V>(w + r * kLanes) + acc[r] : acc[r];
    }
    if (n == kLanes) {
      for (u64 r = 0; r < R; ++r) store_vec(line + shift[r], acc[r]);
    } else {
      for (u64 r = 0; r < R; ++r) store_part(line + shift[r], acc[r], n);
    }
  }
}

/// The whole product for b lines [lb, lb + R): their window table, then every vector
/// position of their out lines, each for all a lines (see window_pass). `padded` holds R
/// lines of b_run + 2 · kLanes elements whose first and last kLanes are zero.
template <class S, class V, u64 R>
void window_block(S* out, const S* a, u64 a_lines, u64 a_run, const u64* a_shift, const S* b, u64 b_run,
                  const u64* b_shift, u64 lb, S* padded, S* table, const u64* valid) {
  const u64 padded_run = b_run + 2 * kLanes;
  for (u64 r = 0; r < R; ++r) std::memcpy(padded + r * padded_run + kLanes, b + (lb + r) * b_run, b_run * sizeof(S));
  // Window t of line r holds padded positions [t, t + kLanes) of that line.
  for (u64 t = 0; t < b_run + kLanes; ++t) {
    for (u64 r = 0; r < R; ++r) std::memcpy(table + (t * R + r) * kLanes, padded + r * padded_run + t, sizeof(V));
  }
  const u64 out_run = a_run + b_run - 1;
  for (u64 u0 = 0; u0 < out_run; u0 += kLanes) {
    window_pass<S, V, R>(out, a, a_lines, a_run, a_shift, b_shift + lb, table, valid, b_run, u0);
  }
}

/// Returns false, having written nothing, when the window table would be too large.
template <class S>
bool dense_mul_real_by_windows(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                               const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  using V = std::conditional_t<std::is_same_v<S, double>, VF, VU>;
  auto* out = static_cast<S*>(out_ptr);
  const auto* a = static_cast<const S*>(a_ptr);
  const auto* b = static_cast<const S*>(b_ptr);
  // The table of one block holds kLanes elements per window, b_run + kLanes windows per
  // line: about kLanes times the block's lines. Past kMaxCopies elements (or if it cannot
  // be had) the block shrinks, and for a single line too long the product runs by shifted
  // passes instead.
  constexpr u64 kMaxCopies = u64{1} << 24;
  if (b_run > kMaxCopies) return false;
  const u64 windows = b_run + kLanes;
  const u64 padded_run = b_run + 2 * kLanes;
  u64 block = kMaxLineBlock;
  while (block > b_lines || (block > 1 && windows * block * kLanes > kMaxCopies)) block /= 2;
  if (windows * block * kLanes > kMaxCopies) return false;
  std::vector<S> table_storage, padded;
  std::vector<u64> valid;
  try {
    table_storage.assign(windows * block * kLanes + kLanes, S{});
    padded.assign(block * padded_run, S{});
    valid.assign(padded_run, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  S* table = table_storage.data();
  while (reinterpret_cast<std::uintptr_t>(table) % KS_VEC_BYTES != 0) ++table;
  // valid[t + w] is all-ones exactly when lane w of window t holds a coefficient of the line.
  std::fill(valid.begin() + kLanes, valid.begin() + kLanes + b_run, ~u64{0});

  // Blocks of consecutive b lines, the last block first, and within a block the a lines in
  // order. An out element receives its pairs in order of a's index: of two pairs reaching
  // it, the one with the lower a index has the higher b index, so it is either in a later
  // block of b lines (run earlier) or in the same block, where a's lines run in order.
  // Within one a line, the b lines of a block reach different out lines.
  auto run_block = [&](u64 lb, u64 size) {
    auto run = [&](auto r_tag) {
      window_block<S, V, decltype(r_tag)::value>(out, a, a_lines, a_run, a_shift, b, b_run, b_shift, lb,
                                                 padded.data(), table, valid.data());
    };
    switch (size) {
      case 16: run(std::integral_constant<u64, 16>{}); break;
      case 8: run(std::integral_constant<u64, 8>{}); break;
      case 4: run(std::integral_constant<u64, 4>{}); break;
      case 2: run(std::integral_constant<u64, 2>{}); break;
      default: run(std::integral_constant<u64, 1>{}); break;
    }
  };

  // The lines after the whole blocks, in blocks of the remainder's binary digits, the
  // smallest (last) first.
  const u64 whole = b_lines / block * block;
  u64 end = b_lines;
  for (u64 size = 1; size < block; size *= 2) {
    if ((b_lines - whole) & size) {
      end -= size;
      run_block(end, size);
    }
  }
  for (u64 lb = whole; lb != 0;) {
    lb -= block;
    run_block(lb, block);
  }
  return true;
}

// --- dense product with b's lines as vector lanes ------------------------------------------
//
// Lane w of a vector is b line β0 + w (and out line L0 + w): when consecutive b lines land on
// consecutive out lines (they do along b's last leading axis), a coefficient a[i] meets a
// whole vector of them at one b position j = u − i, and no lane ever falls outside a b line
// except the padding lanes after the last line of a run. b is transposed into columns of
// lines (bT[j][line]) and the product accumulates into a transposed out (outT[u][line]),
// copied back at the end; an out element still sees its pairs in order: a's lines one after
// the other, and within one a line its coefficients ascending. Complex values are kept as
// two planes per row (the real parts of the row's columns, then the imaginary parts), so
// the lanes hold the same element arithmetic as everywhere else in this file.

/// A two-source constant shuffle of 64-bit lanes; the two compilers spell it differently.
#if defined(__clang__)
#define KS_SHUFFLE2(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define KS_SHUFFLE2(a, b, ...) __builtin_shuffle(a, b, VU{__VA_ARGS__})
#endif

/// Per element type: the numbers a transposed row holds, and how many planes of them.
template <class E>
struct Planes {
  using Part = typename E::Scalar;
  static constexpr u64 kCount = 1;
};
template <>
struct Planes<C64> {
  using Part = double;
  static constexpr u64 kCount = 2;
};

/// Positions of outT rows carried at once per block of R lane groups (R · K sums, each of
/// kCount vectors, about 16 vectors in all).
template <class E, u64 R>
constexpr u64 kPositions = 16 / Planes<E>::kCount / R;

/// The lane vector at p (the imaginary plane `plane` parts further), in full or its first
/// n lanes, and back.
template <class E>
typename E::Lane load_lanes(const typename Planes<E>::Part* p, u64 plane, u64 n) {
  using Lane = typename E::Lane;
  if constexpr (Planes<E>::kCount == 2) {
    return n == kLanes ? Lane{load_vec<VF>(p), load_vec<VF>(p + plane)}
                       : Lane{load_part<VF>(p, n), load_part<VF>(p + plane, n)};
  } else {
    return n == kLanes ? load_vec<Lane>(p) : load_part<Lane>(p, n);
  }
}
template <class E>
void store_lanes(typename Planes<E>::Part* p, u64 plane, u64 n, const typename E::Lane& v) {
  if constexpr (Planes<E>::kCount == 2) {
    if (n == kLanes) {
      store_vec(p, v.re);
      store_vec(p + plane, v.im);
    } else {
      store_part(p, v.re, n);
      store_part(p + plane, v.im, n);
    }
  } else {
    if (n == kLanes) store_vec(p, v);
    else store_part(p, v, n);
  }
}

/// v held in registers: g++ would otherwise load a window again for each multiply that uses
/// it, one load per multiply, which costs more than the arithmetic here.
inline void hold(VF& v) { __asm__("" : KS_VEC_IN_REG(v)); }
inline void hold(VU& v) { __asm__("" : KS_VEC_IN_REG(v)); }
inline void hold(VC& v) { __asm__("" : KS_VEC_IN_REG(v.re), KS_VEC_IN_REG(v.im)); }

/// Position k's coefficients [i_begin, i_end) of the a line p, each with its own b row.
template <class E, u64 R>
inline void lane_single(typename E::Lane (&sums)[R], const typename Planes<E>::Part* b_t, u64 b_stride, u64 b_plane,
                        const typename E::Scalar* p, std::int64_t u, std::int64_t i_begin, std::int64_t i_end) {
  for (std::int64_t i = i_begin; i < i_end; ++i) {
    const typename E::Lane pv = splat(p[i]);
    const auto* row = b_t + static_cast<u64>(u - i) * b_stride;
#pragma GCC unroll 8
    for (u64 g = 0; g < R; ++g) sums[g] = ladd(lmul(pv, load_lanes<E>(row + g * kLanes, b_plane, kLanes)), sums[g]);
  }
}

/// One a line p (a_run coefficients) against R lane groups of kLanes consecutive b lines:
/// out positions u0 .. u0 + K − 1, their sums in acc. Position u0 + k takes coefficient i
/// with b row j = u0 + k − i; the positions share b row u0 − s at step s, each with its own
/// coefficient s + k, so one window load serves K multiplies. The steps where all K
/// positions have a coefficient run together; the first and last coefficients of each
/// position, where the others have none, run position by position, in the same order.
template <class E, u64 R, u64 K>
[[gnu::always_inline]] inline void lane_apply(typename E::Lane (&acc)[K][R],
                                              const typename Planes<E>::Part* b_t, u64 b_stride, u64 b_plane,
                                              const typename E::Scalar* p, u64 a_run, u64 b_run, u64 u0) {
  using Lane = typename E::Lane;
  using i64s = std::int64_t;
  const i64s a_n = static_cast<i64s>(a_run), b_n = static_cast<i64s>(b_run), u = static_cast<i64s>(u0);
  // Steps s with a b row: u0 − b_run < s ≤ u0; position k then has coefficient s + k.
  const i64s s_lo = std::max<i64s>(-static_cast<i64s>(K - 1), u - b_n + 1);
  const i64s s_hi = std::min<i64s>(a_n - 1, u);
  const i64s m_lo = std::max<i64s>(0, s_lo);
  const i64s m_hi = std::min<i64s>(a_n - static_cast<i64s>(K), s_hi);
  if (m_lo <= m_hi) {
#pragma GCC unroll 16
    for (u64 k = 0; k < K; ++k) {
      const i64s kk = static_cast<i64s>(k);
      lane_single<E, R>(acc[k], b_t, b_stride, b_plane, p, u + kk, std::max<i64s>(0, s_lo + kk), m_lo + kk);
    }
    const auto* row = whole_address(b_t + static_cast<u64>(u - m_lo) * b_stride);
    const typename E::Scalar* coeff = p + m_lo;
    for (i64s s = m_lo; s <= m_hi; ++s, row -= b_stride, ++coeff) {
      Lane pv[K];
#pragma GCC unroll 16
      for (u64 k = 0; k < K; ++k) pv[k] = splat(coeff[k]);
#pragma GCC unroll 8
      for (u64 g = 0; g < R; ++g) {
        Lane win = load_lanes<E>(row + g * kLanes, b_plane, kLanes);
        hold(win);
#pragma GCC unroll 16
        for (u64 k = 0; k < K; ++k) acc[k][g] = ladd(lmul(pv[k], win), acc[k][g]);
      }
    }
#pragma GCC unroll 16
    for (u64 k = 0; k < K; ++k) {
      const i64s kk = static_cast<i64s>(k);
      lane_single<E, R>(acc[k], b_t, b_stride, b_plane, p, u + kk, m_hi + kk + 1,
                        std::min<i64s>(a_n - 1, s_hi + kk) + 1);
    }
  } else {
#pragma GCC unroll 16
    for (u64 k = 0; k < K; ++k) {
      const i64s kk = static_cast<i64s>(k);
      lane_single<E, R>(acc[k], b_t, b_stride, b_plane, p, u + kk, std::max<i64s>(0, s_lo + kk),
                        std::min<i64s>(a_n - 1, s_hi + kk) + 1);
    }
  }
}

/// The sums of positions u0 .. u0 + K − 1 for R lane groups from outT, in full or (lanes <
/// kLanes, one group) their first lanes only, and back.
template <class E, u64 R, u64 K>
[[gnu::always_inline]] inline void lane_load(typename E::Lane (&acc)[K][R],
                                             const typename Planes<E>::Part* out_t, u64 out_stride, u64 out_plane,
                                             u64 u0, u64 lanes) {
#pragma GCC unroll 16
  for (u64 k = 0; k < K; ++k) {
#pragma GCC unroll 8
    for (u64 g = 0; g < R; ++g) acc[k][g] = load_lanes<E>(out_t + (u0 + k) * out_stride + g * kLanes, out_plane, lanes);
  }
}
template <class E, u64 R, u64 K>
[[gnu::always_inline]] inline void lane_store(const typename E::Lane (&acc)[K][R],
                                              typename Planes<E>::Part* out_t, u64 out_stride, u64 out_plane, u64 u0,
                                              u64 lanes) {
#pragma GCC unroll 16
  for (u64 k = 0; k < K; ++k) {
#pragma GCC unroll 8
    for (u64 g = 0; g < R; ++g) store_lanes<E>(out_t + (u0 + k) * out_stride + g * kLanes, out_plane, lanes, acc[k][g]);
  }
}

/// One a line against R lane groups at positions u0 .. u0 + K − 1 (see lane_apply), the
/// sums loaded from outT and stored back. lanes < kLanes (one group): the lanes past it (b
/// lines that do not exist, their bT columns zero) are neither loaded nor stored, so what
/// they compute is dropped.
template <class E, u64 R>
void lane_pass(typename Planes<E>::Part* out_t, u64 out_stride, u64 out_plane, const typename Planes<E>::Part* b_t,
               u64 b_stride, u64 b_plane, const typename E::Scalar* p, u64 a_run, u64 b_run, u64 u0, u64 lanes) {
  typename E::Lane acc[kPositions<E, R>][R];
  lane_load<E, R>(acc, out_t, out_stride, out_plane, u0, lanes);
  lane_apply<E, R>(acc, b_t, b_stride, b_plane, p, a_run, b_run, u0);
  lane_store<E, R>(acc, out_t, out_stride, out_plane, u0, lanes);
}

#if KS_VEC_BYTES == 64
/// lo's lanes 1 .. 7, then hi's lane 0: the lanes of the next out line up.
inline VF next_lanes(VF lo, VF hi) { return KS_SHUFFLE2(lo, hi, 1, 2, 3, 4, 5, 6, 7, 8); }
inline VU next_lanes(VU lo, VU hi) { return KS_SHUFFLE2(lo, hi, 1, 2, 3, 4, 5, 6, 7, 8); }
inline VC next_lanes(VC lo, VC hi) { return {next_lanes(lo.re, hi.re), next_lanes(lo.im, hi.im)}; }

/// Every a line in order against R lane groups of b lines (no partial group) at positions
/// u0 .. u0 + K − 1. When a line's out lines are the previous one's moved up by one, the
/// sums move down a lane in registers instead of going through memory: the lowest lane (an
/// out line no later a line reaches from these b lines) is stored, and the new top lane (an
/// out line no earlier a line reached from them) is loaded. out_t + lane0[la]: the first
/// out line of a line la, ascending in la; the load past the last group may read into the
/// next row, which outT has.
template <class E, u64 R>
void lane_sweep(typename Planes<E>::Part* out_t, u64 out_stride, u64 out_plane, const typename Planes<E>::Part* b_t,
                u64 b_stride, u64 b_plane, const typename E::Scalar* a, u64 a_lines, u64 a_run, u64 b_run, u64 u0,
                const u64* lane0) {
  using Lane = typename E::Lane;
  constexpr u64 K = kPositions<E, R>;
  Lane acc[K][R];
  lane_load<E, R>(acc, out_t + lane0[0], out_stride, out_plane, u0, kLanes);
  lane_apply<E, R>(acc, b_t, b_stride, b_plane, a, a_run, b_run, u0);
  for (u64 la = 1; la < a_lines; ++la) {
    if (lane0[la] == lane0[la - 1] + 1) {
#pragma GCC unroll 16
      for (u64 k = 0; k < K; ++k) {
        auto* row = out_t + (u0 + k) * out_stride + lane0[la - 1];
        const Lane low = acc[k][0];
        if constexpr (Planes<E>::kCount == 2) {
          row[0] = low.re[0];
          row[out_plane] = low.im[0];
        } else {
          row[0] = low[0];
        }
#pragma GCC unroll 8
        for (u64 g = 0; g + 1 < R; ++g) acc[k][g] = next_lanes(acc[k][g], acc[k][g + 1]);
        acc[k][R - 1] = next_lanes(acc[k][R - 1], load_lanes<E>(row + R * kLanes, out_plane, kLanes));
      }
    } else {
      lane_store<E, R>(acc, out_t + lane0[la - 1], out_stride, out_plane, u0, kLanes);
      lane_load<E, R>(acc, out_t + lane0[la], out_stride, out_plane, u0, kLanes);
    }
    lane_apply<E, R>(acc, b_t, b_stride, b_plane, a + la * a_run, a_run, b_run, u0);
  }
  lane_store<E, R>(acc, out_t + lane0[a_lines - 1], out_stride, out_plane, u0, kLanes);
}
#endif

/// dst[w · dst_stride + i] = src[i · src_stride + w] for i, w < rows, cols: the transposes
/// into and out of the lane layout, 8 × 8 blocks in registers where the vectors have 8 lanes.
template <class P>
void transpose(P* dst, u64 dst_stride, const P* src, u64 src_stride, u64 rows, u64 cols) {
  u64 w0 = 0;
#if KS_VEC_BYTES == 64
  static_assert(sizeof(P) == 8);
  const u64 whole_rows = rows / 8 * 8;
  for (; w0 + 8 <= cols; w0 += 8) {
    for (u64 i0 = 0; i0 < whole_rows; i0 += 8) {
      VU r[8];
      for (u64 i = 0; i < 8; ++i) r[i] = load_vec<VU>(src + (i0 + i) * src_stride + w0);
      VU t[8], q[8];
      for (u64 i = 0; i < 8; i += 2) {
        t[i] = KS_SHUFFLE2(r[i], r[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        t[i + 1] = KS_SHUFFLE2(r[i], r[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
      }
      for (u64 i = 0; i < 8; i += 4) {
        for (u64 h = 0; h < 2; ++h) {
          q[i + h] = KS_SHUFFLE2(t[i + h], t[i + h + 2], 0, 1, 8, 9, 4, 5, 12, 13);
          q[i + h + 2] = KS_SHUFFLE2(t[i + h], t[i + h + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
      }
      // q[0..3] hold columns {0, 4}, {1, 5}, {2, 6}, {3, 7} of rows 0–3, q[4..7] of rows 4–7.
      for (u64 c = 0; c < 4; ++c) {
        store_vec(dst + (w0 + c) * dst_stride + i0, KS_SHUFFLE2(q[c], q[c + 4], 0, 1, 2, 3, 8, 9, 10, 11));
        store_vec(dst + (w0 + c + 4) * dst_stride + i0,
                  KS_SHUFFLE2(q[c], q[c + 4], 4, 5, 6, 7, 12, 13, 14, 15));
      }
    }
    for (u64 w = w0; w < w0 + 8; ++w) {
      for (u64 i = whole_rows; i < rows; ++i) dst[w * dst_stride + i] = src[i * src_stride + w];
    }
  }
#endif
  for (u64 w = w0; w < cols; ++w) {
    for (u64 i = 0; i < rows; ++i) dst[w * dst_stride + i] = src[i * src_stride + w];
  }
}
#undef KS_SHUFFLE2

/// Consecutive b lines whose out lines are consecutive too: first line, count, and the
/// column of bT where the run starts (runs are padded to whole lane groups).
struct LaneRun {
  u64 first;
  u64 count;
  u64 column;
};

/// Returns false, having written nothing, when b's lines do not fill the lanes better than
/// the windows along a line would, or when the transposed copies cannot be had.
template <class E>
bool dense_mul_by_lanes(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                        const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  using Part = typename Planes<E>::Part;
  using Scalar = typename E::Scalar;
  constexpr u64 kPlanes = Planes<E>::kCount;
  const u64 out_run = a_run + b_run - 1;
  std::vector<LaneRun> runs;
  u64 columns = 0;
  for (u64 lb = 0; lb < b_lines;) {
    u64 end = lb + 1;
    while (end < b_lines && b_shift[end] == b_shift[end - 1] + out_run) ++end;
    runs.push_back({lb, end - lb, columns});
    columns += (end - lb + kLanes - 1) / kLanes * kLanes;
    lb = end;
  }
  // Lane operations per a coefficient: every column of every b row here, the b lines and
  // about kLanes − 1 overhanging window lanes per line there.
  if (columns * b_run > b_lines * (b_run + kLanes - 1) || columns > 2 * b_lines) return false;
  u64 out_lines = 0;
  for (u64 la = 0; la < a_lines; ++la) out_lines = std::max(out_lines, a_shift[la] / out_run);
  out_lines += b_shift[b_lines - 1] / out_run + 1;
  const u64 out_plane = (out_lines + kLanes - 1) / kLanes * kLanes;
  const u64 out_rows = out_run + kPositions<E, 1>;  // spare rows for the last pass
  constexpr u64 kMaxElements = u64{1} << 26;
  if (columns > kMaxElements / b_run || out_plane > kMaxElements / out_rows) return false;
  std::vector<Part> b_storage, out_storage;
  try {
    b_storage.assign(kPlanes * columns * b_run + kLanes, Part{});
    out_storage.assign(kPlanes * out_plane * out_rows + kLanes, Part{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  Part* b_t = b_storage.data();
  while (reinterpret_cast<std::uintptr_t>(b_t) % KS_VEC_BYTES != 0) ++b_t;
  Part* out_t = out_storage.data();
  while (reinterpret_cast<std::uintptr_t>(out_t) % KS_VEC_BYTES != 0) ++out_t;
  const u64 b_stride = kPlanes * columns, out_stride = kPlanes * out_plane;
  const auto* a = static_cast<const Scalar*>(a_ptr);
  const auto* b = static_cast<const Scalar*>(b_ptr);
  auto* out = static_cast<Scalar*>(out_ptr);
  for (const LaneRun& run : runs) {
    if constexpr (kPlanes == 2) {
      for (u64 m = 0; m < run.count; ++m) {
        const Scalar* src = b + (run.first + m) * b_run;
        Part* dst = b_t + run.column + m;
        for (u64 j = 0; j < b_run; ++j) {
          dst[j * b_stride] = src[j].re;
          dst[j * b_stride + columns] = src[j].im;
        }
      }
    } else {
      transpose(b_t + run.column, b_stride, b + run.first * b_run, b_run, run.count, b_run);
    }
  }
  auto transpose_back = [&] {
    if constexpr (kPlanes == 2) {
      for (u64 line = 0; line < out_lines; ++line) {
        Scalar* dst = out + line * out_run;
        for (u64 u = 0; u < out_run; ++u) {
          dst[u] = Cplx{out_t[u * out_stride + line], out_t[u * out_stride + out_plane + line]};
        }
      }
    } else {
      transpose(out, out_run, out_t, out_stride, out_run, out_lines);
    }
  };
#if KS_VEC_BYTES == 64
  // Runs of whole groups: each block of groups and positions takes every a line in order, its
  // sums moving from one a line's out lines to the next in registers. The blocks run from the
  // last b lines to the first: of two pairs reaching an out element, the one with the lower a
  // index has the higher b index, so it is in a block run earlier or in the same block.
  bool whole_groups = true;
  for (const LaneRun& run : runs) whole_groups = whole_groups && run.count % kLanes == 0;
  if (whole_groups) {
    std::vector<u64> a_line(a_lines);
    for (u64 la = 0; la < a_lines; ++la) a_line[la] = a_shift[la] / out_run;
    for (u64 q = runs.size(); q-- > 0;) {
      const LaneRun& run = runs[q];
      auto sweep = [&](auto r_tag, u64 g) {
        constexpr u64 R = decltype(r_tag)::value;
        for (u64 u0 = 0; u0 < out_run; u0 += kPositions<E, R>) {
          lane_sweep<E, R>(out_t + b_shift[run.first] / out_run + g * kLanes, out_stride, out_plane,
                           b_t + run.column + g * kLanes, b_stride, columns, a, a_lines, a_run, b_run, u0,
                           a_line.data());
        }
      };
      // Blocks of 8 (real) or 4 groups from the first, then the remainder's binary digits,
      // the last block first.
      constexpr u64 kBlock = kPlanes == 1 ? 8 : 4;
      const u64 groups = run.count / kLanes;
      const u64 whole = groups / kBlock * kBlock;
      u64 end = groups;
      for (u64 size = 1; size < kBlock; size *= 2) {
        if ((groups - whole) & size) {
          end -= size;
          if (size == 4) sweep(std::integral_constant<u64, 4>{}, end);
          if (size == 2) sweep(std::integral_constant<u64, 2>{}, end);
          if (size == 1) sweep(std::integral_constant<u64, 1>{}, end);
        }
      }
      for (u64 g = whole; g != 0;) {
        g -= kBlock;
        sweep(std::integral_constant<u64, kBlock>{}, g);
      }
    }
    transpose_back();
    return true;
  }
#endif
  // The a lines in order; for each, every lane group of every run (they reach different out
  // lines), in blocks of as many groups as fit, the last group of a run partial.
  for (u64 la = 0; la < a_lines; ++la) {
    const Scalar* p = a + la * a_run;
    const u64 a_line = a_shift[la] / out_run;
    for (const LaneRun& run : runs) {
      const u64 lane0 = a_line + b_shift[run.first] / out_run;
      // Every out position of R groups from group g on, K positions per pass. outT has
      // spare rows past the out line, so the last pass may run over its end: the positions
      // past it have no coefficient and are stored back unchanged.
      auto block = [&](auto r_tag, u64 g, u64 lanes) {
        constexpr u64 R = decltype(r_tag)::value;
        for (u64 u0 = 0; u0 < out_run; u0 += kPositions<E, R>) {
          lane_pass<E, R>(out_t + lane0 + g * kLanes, out_stride, out_plane, b_t + run.column + g * kLanes, b_stride,
                          columns, p, a_run, b_run, u0, lanes);
        }
      };
      const u64 whole = run.count / kLanes;
      u64 g = 0;
      if constexpr (kPlanes == 1) {
        for (; g + 8 <= whole; g += 8) block(std::integral_constant<u64, 8>{}, g, kLanes);
      }
      for (; g + 4 <= whole; g += 4) block(std::integral_constant<u64, 4>{}, g, kLanes);
      for (; g + 2 <= whole; g += 2) block(std::integral_constant<u64, 2>{}, g, kLanes);
      for (; g < whole; ++g) block(std::integral_constant<u64, 1>{}, g, kLanes);
      if (run.count % kLanes != 0) block(std::integral_constant<u64, 1>{}, g, run.count % kLanes);
    }
  }
  transpose_back();
  return true;
}

template <class S>
void dense_mul_real(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                    const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  // b's lines as lanes where they fill them, else windows along the lines. Both only with
  // 8-lane vectors: with narrower ones the selects on the window edges cost more than the
  // scalar edges of the shifted passes, and the lanes' partial vectors and transposes use
  // masked and two-source shuffle instructions of the wide set.
  if constexpr (kLanes >= 8) {
    using E = std::conditional_t<std::is_same_v<S, double>, F64, I64>;
    if (dense_mul_by_lanes<E>(out_ptr, a_ptr, a_lines, a_run, a_shift, b_ptr, b_lines, b_run, b_shift)) return;
    if (dense_mul_real_by_windows<S>(out_ptr, a_ptr, a_lines, a_run, a_shift, b_ptr, b_lines, b_run, b_shift)) return;
  }
  dense_mul_real_by_quads<S>(out_ptr, a_ptr, a_lines, a_run, a_shift, b_ptr, b_lines, b_run, b_shift);
}

void dense_mul_complex(void* out_ptr, const void* a_ptr, u64 a_lines, u64 a_run, const u64* a_shift,
                       const void* b_ptr, u64 b_lines, u64 b_run, const u64* b_shift) {
  if constexpr (kLanes >= 8) {
    if (dense_mul_by_lanes<C64>(out_ptr, a_ptr, a_lines, a_run, a_shift, b_ptr, b_lines, b_run, b_shift)) return;
  }
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
