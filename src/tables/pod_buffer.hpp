// Growable storage for plain values in pages of its own. A large table is mostly its column
// buffers; a vector that doubles copies all it holds each time and briefly needs twice
// the memory, where growing a mapping lets the kernel move pages instead of bytes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "base/platform.hpp"

namespace vantrel::tables {

// Mappings of a buffer's first size, given back by finished tables and taken by the next
// buffers made. A table of a small file is a few dozen such buffers: taking pages already
// faulted in spares a fault per page and two system calls a buffer on every call, while a
// buffer that outgrows its first mapping moves its pages on, leaving nothing resident behind.
// Enough are kept (base::kFirstMappings) for the buffers of a couple of tables of a hundred
// columns.
class FirstMappings {
 public:
  static constexpr std::size_t kBytes = std::size_t{1} << 16;

  static void* take();
  static void give_back(void* p);
};

template <class T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);
  static_assert(FirstMappings::kBytes % sizeof(T) == 0);

 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  PodBuffer(PodBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)),
        ready_(std::exchange(o.ready_, 0)) {}
  PodBuffer& operator=(PodBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    std::swap(ready_, o.ready_);
    return *this;
  }
  ~PodBuffer() { unmap(data_, capacity_); }

  void push_back(T value) {
    if (size_ >= ready_) advance(size_ + 1);
    data_[size_++] = value;
  }
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }
  // After a reserve that made room for it.
  void push_reserved(T value) { data_[size_++] = value; }
  void append(const T* values, std::size_t n) {
    if (n == 0) return;
    if (size_ + n > ready_) advance(size_ + n);
    std::memcpy(data_ + size_, values, n * sizeof(T));
    size_ += n;
  }
  // Shrinks, or grows with zero values.
  void resize(std::size_t n) {
    if (n > ready_) advance(n);
    if (n > size_) std::memset(static_cast<void*>(data_ + size_), 0, (n - size_) * sizeof(T));
    size_ = n;
  }
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  // After writing in place up to `n`, within the capacity that reserve made.
  void set_size(std::size_t n) { size_ = n; }
  T& back() { return data_[size_ - 1]; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  // The mapping, handed on with what unmaps it; the buffer is left empty.
  std::shared_ptr<const T> release() {
    trim();
    const std::size_t capacity = std::exchange(capacity_, 0);
    size_ = 0;
    ready_ = 0;
    T* data = std::exchange(data_, nullptr);
    return std::shared_ptr<const T>(data, [capacity](const T* p) { unmap(p, capacity); });
  }

 private:
  static void unmap(const T* p, std::size_t capacity) {
    if (p == nullptr) return;
    if (capacity * sizeof(T) == FirstMappings::kBytes) {
      FirstMappings::give_back(const_cast<T*>(p));
    } else {
      base::unmap_pages(const_cast<T*>(p), capacity * sizeof(T));
    }
  }

  // The table outlives its build: the capacity it never reached goes back to the system, and
  // so do the pages faulted in ahead of the last row. A first mapping stays whole, to be
  // taken again.
  void trim() {
    if (capacity_ * sizeof(T) <= FirstMappings::kBytes) return;
    const std::size_t kept = std::max(base::round_to_pages(size_ * sizeof(T)), base::page_size());
    if (kept >= capacity_ * sizeof(T)) return;
    if (base::shrink_pages(data_, capacity_ * sizeof(T), kept)) {
      capacity_ = kept / sizeof(T);
      ready_ = std::min(ready_, capacity_);
    }
  }

  // Large columns are written once from end to end, and a fault a page is most of what filling
  // one costs: the pages ahead of the writer are faulted in a stretch at a time, by one call.
  // Huge pages would spare the faults too, but the one being filled is resident whole, and a
  // table of ten columns of them holds up to 20 MB that no row uses.
  [[gnu::noinline]] void advance(std::size_t at_least) {
    constexpr std::size_t kStretch = std::size_t{1} << 16;  // bytes
    if (at_least > capacity_) grow(at_least);
    // Rows written in place after a reserve are faulted in as they come.
    ready_ = std::max(ready_, size_);
    // A first mapping is small, and often one a finished table gave back, already faulted in.
    if (capacity_ * sizeof(T) <= FirstMappings::kBytes) {
      ready_ = capacity_;
      return;
    }
    const std::size_t page = base::page_size();
    const std::size_t from = ready_ * sizeof(T) / page * page;
    const std::size_t to = std::min(std::max(at_least * sizeof(T), ready_ * sizeof(T) + kStretch),
                                    capacity_ * sizeof(T));
    const std::size_t end = base::round_to_pages(to);
    base::prefault_pages(reinterpret_cast<char*>(data_) + from, end - from);
    ready_ = std::min(end / sizeof(T), capacity_);
  }

  [[gnu::noinline]] void grow(std::size_t at_least) {
    std::size_t bytes = capacity_ == 0 ? FirstMappings::kBytes : capacity_ * sizeof(T) * 2;
    while (bytes < at_least * sizeof(T)) bytes *= 2;
    void* p = data_ != nullptr ? base::remap_pages(data_, capacity_ * sizeof(T), bytes)
              : bytes == FirstMappings::kBytes ? FirstMappings::take()
                                               : base::map_pages(bytes);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    capacity_ = bytes / sizeof(T);
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  // Up to here the pages are faulted in (or the mapping is a small first one); a reserve
  // makes room without faulting it in, since what is reserved may never be written.
  std::size_t ready_ = 0;
};

}  // namespace vantrel::tables
