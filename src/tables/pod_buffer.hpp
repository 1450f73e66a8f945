// Growable storage for plain values, the large ones in pages of their own. A large table is mostly
// its column buffers; a vector that doubles copies all it holds each time and briefly needs twice
// the memory, where growing a mapping lets the kernel move pages instead of bytes.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace vantrel::tables {

template <class T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  PodBuffer(PodBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)),
        mapped_(std::exchange(o.mapped_, false)) {}
  PodBuffer& operator=(PodBuffer&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    std::swap(mapped_, o.mapped_);
    return *this;
  }
  ~PodBuffer() { free_storage(data_, capacity_, mapped_); }

  void push_back(T value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }
  // After a reserve that made room for it.
  void push_reserved(T value) { data_[size_++] = value; }
  void append(const T* values, std::size_t n) {
    if (n == 0) return;
    if (size_ + n > capacity_) grow(size_ + n);
    std::memcpy(data_ + size_, values, n * sizeof(T));
    size_ += n;
  }
  // Shrinks, or grows with zero values (fresh pages are zero).
  void resize(std::size_t n) {
    if (n > capacity_) grow(n);
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

  // The storage, handed on with what frees it; the buffer is left empty.
  std::shared_ptr<const T> release() {
    trim();
    const std::size_t capacity = std::exchange(capacity_, 0);
    const bool mapped = std::exchange(mapped_, false);
    size_ = 0;
    T* data = std::exchange(data_, nullptr);
    return std::shared_ptr<const T>(
        data, [capacity, mapped](const T* p) { free_storage(p, capacity, mapped); });
  }

 private:
  // Up to this size a buffer lives on the heap: a table of a small file is a few dozen such
  // buffers, and the heap hands the pages of the last call's table to the next one already
  // faulted in, where fresh mappings would cost a fault per page and a system call each.
  static constexpr std::size_t kHeapBytes = 1 << 16;

  static void free_storage(const T* p, std::size_t capacity, bool mapped) {
    if (p == nullptr) return;
    if (mapped) {
      munmap(const_cast<T*>(p), capacity * sizeof(T));
    } else {
      std::free(const_cast<T*>(p));
    }
  }

  // The table outlives its build: the capacity it never reached goes back to the system, and
  // so does the unused part of a huge page at the end.
  void trim() {
    constexpr std::size_t kPage = 4096;
    const std::size_t kept = (size_ * sizeof(T) + kPage - 1) / kPage * kPage;
    if (!mapped_ || kept >= capacity_ * sizeof(T)) return;
    if (kept == 0) {
      free_storage(data_, capacity_, mapped_);
      data_ = nullptr;
      capacity_ = 0;
      mapped_ = false;
      return;
    }
    if (mremap(data_, capacity_ * sizeof(T), kept, 0) != MAP_FAILED) capacity_ = kept / sizeof(T);
  }

  [[gnu::noinline]] void grow(std::size_t at_least) {
    constexpr std::size_t kFirst = 1 << 16;  // bytes
    // A huge page is faulted in whole: the one being filled holds up to 2 MB that no row uses
    // yet. From this size on, that is at most a few percent of the column.
    constexpr std::size_t kHugePage = std::size_t{1} << 27;
    std::size_t bytes = capacity_ == 0 ? kFirst : capacity_ * sizeof(T) * 2;
    while (bytes < at_least * sizeof(T)) bytes *= 2;
    if (bytes <= kHeapBytes) {
      void* p = std::realloc(data_, bytes);
      if (p == nullptr) throw std::bad_alloc();
      data_ = static_cast<T*>(p);
      capacity_ = bytes / sizeof(T);
      return;
    }
    void* p =
        mapped_ ? mremap(data_, capacity_ * sizeof(T), bytes, MREMAP_MAYMOVE)
                : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (!mapped_ && data_ != nullptr) {
      std::memcpy(p, data_, size_ * sizeof(T));
      std::free(data_);
    }
    // Large columns are written once from end to end: huge pages spare most of the faults.
    if (bytes >= kHugePage) madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<T*>(p);
    capacity_ = bytes / sizeof(T);
    mapped_ = true;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};

}  // namespace vantrel::tables
