// Cache-line-aligned blocks kept on a plain operator new.
#include "aligned_block.hpp"

#include <cstdint>
#include <cstring>
#include <new>

namespace kestrum {

void* allocate_aligned(std::size_t bytes) {
  void* const block = ::operator new(bytes + kBufferAlignment);
  auto* const first = reinterpret_cast<std::byte*>(
      (reinterpret_cast<std::uintptr_t>(block) + sizeof block + kBufferAlignment - 1) & ~(kBufferAlignment - 1));
  std::memcpy(first - sizeof block, &block, sizeof block);
  return first;
}

void free_aligned(void* aligned) noexcept {
  if (aligned == nullptr) return;
  void* block;
  std::memcpy(&block, static_cast<std::byte*>(aligned) - sizeof block, sizeof block);
  ::operator delete(block);
}

}  // namespace kestrum
