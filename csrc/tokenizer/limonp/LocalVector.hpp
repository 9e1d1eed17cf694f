// A vector of trivially copyable elements that keeps its first 16 elements
// inside the object.
//
// Decoded text and dictionary keys are mostly short, so they live in the
// inline buffer and cost no heap allocation. Beyond that the storage moves to
// a malloc'ed block whose capacity doubles on growth (16, 32, 64, ... unless a
// caller reserved otherwise). Elements are copied as raw memory and never
// constructed or destroyed one by one.
//
// Storage rules that callers may rely on:
// - reserve(n) with n <= capacity() does nothing; otherwise the storage moves
//   to a heap block of exactly n elements;
// - clear() frees a heap block and returns to the inline buffer (capacity 16);
// - a copy takes the source's size and capacity: inline stays inline, a heap
//   source gives a heap block of the same capacity;
// - a move steals a heap block and leaves the source empty and inline.
//
// Not thread-safe for writes; concurrent reads are fine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace kelp::typing::text::limonp {

inline constexpr size_t LOCAL_VECTOR_INLINE_SIZE = 16;

template <typename T>
class LocalVector {
  static_assert(std::is_trivially_copyable_v<T>,
                "LocalVector copies its elements as raw memory");

 public:
  using value_type = T;
  using size_type = size_t;
  using iterator = T*;
  using const_iterator = const T*;

  // The inline buffer is left uninitialised: nothing reads a slot before it
  // is written.
  LocalVector() noexcept : data_(inline_buffer_), size_(0), capacity_(LOCAL_VECTOR_INLINE_SIZE) {}

  LocalVector(const LocalVector& other) : LocalVector() { CopyFrom(other); }

  LocalVector(LocalVector&& other) noexcept : LocalVector() { MoveFrom(other); }

  LocalVector& operator=(const LocalVector& other) {
    if (this != &other) {
      clear();
      CopyFrom(other);
    }
    return *this;
  }

  LocalVector& operator=(LocalVector&& other) noexcept {
    if (this != &other) {
      clear();
      MoveFrom(other);
    }
    return *this;
  }

  ~LocalVector() { FreeHeap(); }

  void push_back(const T& value) {
    if (size_ == capacity_) {
      // `value` may live in this vector: keep a copy across the move.
      const T copy = value;
      reserve(capacity_ * 2);
      data_[size_++] = copy;
      return;
    }
    data_[size_++] = value;
  }

  // Moves the storage to a heap block of exactly `n` elements when `n` is
  // more than the current capacity. Throws std::bad_alloc if the allocator
  // fails; the vector is then unchanged.
  void reserve(size_t n) {
    if (n <= capacity_) {
      return;
    }
    if (n > SIZE_MAX / sizeof(T)) {
      throw std::bad_alloc();
    }
    T* block = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (block == nullptr) {
      throw std::bad_alloc();
    }
    // Only the first size_ slots have ever been written.
    if (size_ != 0) {
      std::memcpy(static_cast<void*>(block), data_, size_ * sizeof(T));
    }
    FreeHeap();
    data_ = block;
    capacity_ = n;
  }

  // Empties the vector and releases its heap block, if any.
  void clear() noexcept {
    FreeHeap();
    data_ = inline_buffer_;
    size_ = 0;
    capacity_ = LOCAL_VECTOR_INLINE_SIZE;
  }

  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  // True while the elements live in the inline buffer.
  bool is_inline() const noexcept { return data_ == inline_buffer_; }

  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

 private:
  void FreeHeap() noexcept {
    if (data_ != inline_buffer_) {
      std::free(data_);
    }
  }

  // Precondition: this vector is empty and inline.
  void CopyFrom(const LocalVector& other) {
    if (other.is_inline()) {
      if (other.size_ != 0) {
        std::memcpy(static_cast<void*>(inline_buffer_), other.data_, other.size_ * sizeof(T));
      }
    } else {
      T* block = static_cast<T*>(std::malloc(other.capacity_ * sizeof(T)));
      if (block == nullptr) {
        throw std::bad_alloc();
      }
      if (other.size_ != 0) {
        std::memcpy(static_cast<void*>(block), other.data_, other.size_ * sizeof(T));
      }
      data_ = block;
    }
    size_ = other.size_;
    capacity_ = other.capacity_;
  }

  // Precondition: this vector is empty and inline.
  void MoveFrom(LocalVector& other) noexcept {
    if (other.is_inline()) {
      if (other.size_ != 0) {
        std::memcpy(static_cast<void*>(inline_buffer_), other.data_, other.size_ * sizeof(T));
      }
      size_ = other.size_;
      other.size_ = 0;
      return;
    }
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.data_ = other.inline_buffer_;
    other.size_ = 0;
    other.capacity_ = LOCAL_VECTOR_INLINE_SIZE;
  }

  T inline_buffer_[LOCAL_VECTOR_INLINE_SIZE];
  T* data_;
  size_t size_;
  size_t capacity_;
};

}  // namespace kelp::typing::text::limonp
