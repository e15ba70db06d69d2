// Checked sizes, Array<T>::reshape and the row-major index walk.
#include "ndarray.hpp"

#include <cstdint>
#include <limits>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "eval_error.hpp"

namespace kestrum {

namespace {

#if defined(__linux__)
/// Gives `advice` for the whole pages of [data, data + bytes) when the range is large
/// (4 MiB or more). A failure is harmless: the advice is a hint.
void advise_large_range(void* data, std::size_t bytes, int advice) noexcept {
  constexpr std::size_t kLarge = std::size_t{4} << 20;
  if (bytes < kLarge) return;
  const std::uintptr_t page = 4096;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}
#endif

}  // namespace

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  advise_large_range(data, bytes, MADV_HUGEPAGE);
#endif
}

void prefault_for_writing([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__)
  // Kernels before 5.14 refuse this advice (EINVAL); older headers lack its name.
#if defined(MADV_POPULATE_WRITE)
  advise_large_range(data, bytes, MADV_POPULATE_WRITE);
#else
  advise_large_range(data, bytes, 23);
#endif
#endif
}

u64 checked_element_count(const Shape& shape, std::size_t element_size) {
  // A zero length makes the array empty whatever the other lengths are, so it is not an
  // overflow even when the remaining product would be.
  for (u64 len : shape) {
    if (len == 0) return 0;
  }
  constexpr u64 kMaxBytes = static_cast<u64>(std::numeric_limits<std::int64_t>::max());
  u64 count = 1;
  for (u64 len : shape) {
    if (len > kMaxBytes / count) internal_failure("array shape is too large: its element count overflows");
    count *= len;
  }
  if (count > kMaxBytes / element_size) internal_failure("array shape is too large: its byte size overflows");
  return count;
}

u64 checked_add(u64 a, u64 b) {
  if (a > std::numeric_limits<u64>::max() - b) internal_failure("array length overflows");
  return a + b;
}

std::vector<u64> row_major_strides(const Shape& shape) {
  std::vector<u64> strides(shape.size());
  u64 step = 1;
  for (std::size_t ax = shape.size(); ax-- > 0;) {
    strides[ax] = step;
    step *= shape[ax] == 0 ? 1 : shape[ax];
  }
  return strides;
}

template <Element T>
void Array<T>::reshape(Shape shape) {
  if (checked_element_count(shape, sizeof(T)) != size_) internal_failure("reshape changes the element count");
  shape_ = std::move(shape);
}

#define KS_INSTANTIATE(T) template void Array<T>::reshape(Shape);
KS_FOR_EACH_ELEMENT(KS_INSTANTIATE)
#undef KS_INSTANTIATE

IndexWalk::IndexWalk(const Shape& shape) : shape_(shape), index_(shape.size(), 0), valid_(true) {
  for (u64 len : shape) {
    if (len == 0) valid_ = false;
  }
}

void IndexWalk::next() noexcept {
  ++flat_;
  for (std::size_t ax = index_.size(); ax-- > 0;) {
    if (++index_[ax] < shape_[ax]) return;
    index_[ax] = 0;
  }
  valid_ = false;  // wrapped past the last index (or no axes: only one index exists)
}

}  // namespace kestrum
