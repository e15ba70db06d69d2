// Array<T> (owned, row-major; Polynomial<T> is one), View<T> (strided, read-only, over
// foreign memory), checked sizes and the row-major multi-index walk. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "aligned_block.hpp"
#include "element.hpp"

namespace kestrum {

/// Axis lengths, one per axis. An empty Shape has no axes and describes one element.
using Shape = std::vector<u64>;

/// Product of the lengths (1 for no axes, 0 as soon as one length is 0). Throws
/// InternalFailure when the product, or the product times element_size, does not fit in a
/// signed 64-bit byte count, so nothing is ever allocated from a wrapped size.
[[nodiscard]] u64 checked_element_count(const Shape& shape, std::size_t element_size);

/// a + b with an InternalFailure on overflow (for lengths such as la + lb − 1 or len − k).
[[nodiscard]] u64 checked_add(u64 a, u64 b);

/// Row-major strides of a shape, in elements, last axis 1. Lengths of 0 count as 1, which is
/// harmless: such an array has no element whose offset would be taken.
[[nodiscard]] std::vector<u64> row_major_strides(const Shape& shape);

/// Asks the kernel to back the whole pages of [data, data + bytes) with huge pages when the
/// range is large (4 MiB or more), as NumPy does for its own large arrays: a fresh result
/// is then faulted in a few large pages instead of thousands of small ones. A hint only;
/// does nothing where the system has no such advice.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

/// Faults in the whole pages of [data, data + bytes) for writing without changing a byte,
/// when the range is large (4 MiB or more): the kernel clears a fresh page when it is first
/// written, and a thread that does this ahead of the writers takes that work off them. Safe
/// while other threads write the range. A hint only; does nothing where the system cannot.
void prefault_for_writing(void* data, std::size_t bytes) noexcept;

/// Frees a buffer made by make_buffer.
template <Element T>
struct BufferDelete {
  void operator()(T* p) const noexcept { free_aligned(p); }
};

/// An owned run of elements aligned to kBufferAlignment.
template <Element T>
using Buffer = std::unique_ptr<T[], BufferDelete<T>>;

/// `count` elements, not initialised (every one must be written before it is read); the
/// caller has checked that count · sizeof(T) does not overflow. std::bad_alloc when the
/// memory is not there.
template <Element T>
[[nodiscard]] Buffer<T> make_buffer(u64 count) {
  return Buffer<T>(static_cast<T*>(allocate_aligned(count * sizeof(T))));
}

/// An owned dense array in row-major order. Copies are deep. Polynomial<T> is this type.
template <Element T>
class Array {
 public:
  /// A zero-axis array holding one zero.
  Array() : Array(Shape{}, zero_of<T>()) {}

  // The three factories check the element and byte counts of `shape` before allocating:
  // InternalFailure when they overflow, std::bad_alloc when the memory is not there.
  /// Allocates the elements without initialising them (every one must be written).
  [[nodiscard]] static Array uninitialized(Shape shape) { return Array(std::move(shape)); }
  /// Every element set to `value`.
  [[nodiscard]] static Array filled(Shape shape, T value) { return Array(std::move(shape), value); }
  /// Every element the zero of T (+0.0 for the floating types).
  [[nodiscard]] static Array zeros(Shape shape) { return Array(std::move(shape), zero_of<T>()); }

  Array(const Array& other) : Array(other.shape_) {
    if (size_ != 0) std::memcpy(data_.get(), other.data_.get(), size_ * sizeof(T));
  }
  Array& operator=(const Array& other) {
    if (this != &other) *this = Array(other);
    return *this;
  }
  Array(Array&&) noexcept = default;
  Array& operator=(Array&&) noexcept = default;

  [[nodiscard]] const Shape& shape() const noexcept { return shape_; }
  [[nodiscard]] std::size_t ndim() const noexcept { return shape_.size(); }
  /// Number of elements.
  [[nodiscard]] u64 size() const noexcept { return size_; }
  [[nodiscard]] T* data() noexcept { return data_.get(); }
  [[nodiscard]] const T* data() const noexcept { return data_.get(); }
  [[nodiscard]] T& operator[](u64 flat) noexcept { return data_[flat]; }
  [[nodiscard]] const T& operator[](u64 flat) const noexcept { return data_[flat]; }

  /// Gives the array a new shape with the same element count (row-major order kept).
  /// Throws InternalFailure if the counts differ.
  void reshape(Shape shape);

  /// Hands the buffer to a new owner (the NumPy holder, which frees it with BufferDelete);
  /// the array is left with no elements and must only be destroyed or assigned afterwards.
  [[nodiscard]] Buffer<T> release_buffer() noexcept {
    size_ = 0;
    return std::move(data_);
  }

 private:
  explicit Array(Shape shape)
      : shape_(std::move(shape)), size_(checked_element_count(shape_, sizeof(T))),
        data_(make_buffer<T>(size_)) {
    advise_huge_pages(data_.get(), size_ * sizeof(T));
  }
  Array(Shape shape, T value) : Array(std::move(shape)) {
    for (u64 i = 0; i < size_; ++i) data_[i] = value;
  }

  Shape shape_;
  u64 size_ = 0;
  Buffer<T> data_;
};

template <Element T>
using Polynomial = Array<T>;

/// A read-only strided view of foreign memory (typically a borrowed NumPy array).
/// Strides are in bytes and may be negative or not multiples of sizeof(T); elements are
/// read with memcpy, so unaligned memory is fine. The memory must be in native byte order.
template <Element T>
struct View {
  const std::byte* data = nullptr;
  Shape shape;
  std::vector<std::ptrdiff_t> strides;  // bytes, one per axis

  [[nodiscard]] std::size_t ndim() const noexcept { return shape.size(); }
  [[nodiscard]] static T load(const std::byte* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
  }
};

/// Row-major walk over every multi-index of a shape, last axis fastest.
///   for (IndexWalk w(shape); w.valid(); w.next()) use(w.index(), w.flat());
/// A shape with a zero length has no index; a shape with no axes has exactly one (empty).
class IndexWalk {
 public:
  explicit IndexWalk(const Shape& shape);
  [[nodiscard]] bool valid() const noexcept { return valid_; }
  [[nodiscard]] const std::vector<u64>& index() const noexcept { return index_; }
  /// Row-major position of the current index (0, 1, 2, ...).
  [[nodiscard]] u64 flat() const noexcept { return flat_; }
  void next() noexcept;

 private:
  const Shape& shape_;
  std::vector<u64> index_;
  u64 flat_ = 0;
  bool valid_;
};

}  // namespace kestrum
