// Cache-line-aligned blocks on a plain allocation, for Array storage and evaluation scratch.
// Plain functions, compiled once: the instruction-set variants of the kernels call them too,
// and a template or inline function instantiated under their flags could be shared with
// callers on a CPU without those instructions.
#pragma once

#include <cstddef>

namespace kestrum {

/// Alignment of every aligned block: a cache line, so that no 64-byte vector store of
/// values spans two lines. A store that does costs nearly a second one: polynomials of few
/// terms per point, whose kernels store often, ran 3–8% slower into buffers that malloc had
/// placed 16 bytes past a line.
inline constexpr std::size_t kBufferAlignment = 64;

/// `bytes` bytes at a kBufferAlignment boundary, not initialised; the caller has checked
/// that `bytes` does not overflow. std::bad_alloc when the memory is not there. The block
/// is allocated a line longer and its own address kept right before the aligned bytes: the
/// aligned operator new costs three times a plain one, which a loop of small evaluations
/// would pay on every call (a tenth of the call for ten points of a two-axis polynomial).
[[nodiscard]] void* allocate_aligned(std::size_t bytes);

/// Frees what allocate_aligned returned (nullptr: nothing).
void free_aligned(void* aligned) noexcept;

}  // namespace kestrum
