// Working buffers of a load (decoder input, inflater state, line window) and the blocks of a
// store's message records, kept for the next load. A small file's load would otherwise spend about
// as long having the kernel map, zero and take back these pages as it spends parsing, since the
// allocator returns freed blocks of this size to the system at once.
#pragma once

#include <cstddef>
#include <utility>

namespace vantrel::base {

class ScratchBuffer {
 public:
  ScratchBuffer() = default;
  // A buffer of exactly `bytes`, not zeroed: one kept from an earlier load, or a new one. Aligned
  // for any fundamental type.
  explicit ScratchBuffer(std::size_t bytes);
  ScratchBuffer(ScratchBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  ScratchBuffer& operator=(ScratchBuffer&& o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;
  // Kept for the next load (of any thread), within a bound; freed beyond it.
  ~ScratchBuffer() { release(); }

  std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Bytes kept for later loads (for tests and the memory bound).
  static std::size_t kept_bytes();

 private:
  void release();

  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vantrel::base
