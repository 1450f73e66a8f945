#include "base/scratch.hpp"

#include <atomic>
#include <new>

#include "base/kept.hpp"

namespace vantrel::base {
namespace {

// Kept buffers, process-wide: the package's loads run each on a thread of its own, so a
// thread's own cache would die with every load. Each slot serves one size for good (a load's
// set: the 256 KiB line window, the inflater's 87 KB, 64 KiB for the decoder input and a block
// of message records), two slots a size at most; larger buffers are not kept. Exchanges, never
// a lock: a process may fork while another thread is between two of them, and a buffer lost
// that way is only not reused.

struct Slot {
  std::atomic<std::size_t> size{0};  // set once, by the first buffer kept here
  std::atomic<std::byte*> data{nullptr};
};

Slot g_slots[kScratchSlots];

bool keep_in(Slot& slot, std::byte* data) {
  std::byte* empty = nullptr;
  return slot.data.compare_exchange_strong(empty, data, std::memory_order_release);
}

bool keep(std::byte* data, std::size_t size) {
  int slots_of_size = 0;
  for (Slot& slot : g_slots) {
    if (slot.size.load(std::memory_order_relaxed) != size) continue;
    if (keep_in(slot, data)) return true;
    ++slots_of_size;
  }
  if (slots_of_size >= 2) return false;
  for (Slot& slot : g_slots) {
    std::size_t unclaimed = 0;
    if (slot.size.compare_exchange_strong(unclaimed, size, std::memory_order_relaxed) ||
        unclaimed == size) {
      if (keep_in(slot, data)) return true;
    }
  }
  return false;
}

int kept_count() {
  int count = 0;
  for (const Slot& slot : g_slots) count += slot.data.load(std::memory_order_relaxed) != nullptr;
  return count;
}

// A slot keeps the size it was claimed for: the next load asks for the same sizes again.
void release_all() {
  for (Slot& slot : g_slots) {
    if (std::byte* kept = slot.data.exchange(nullptr, std::memory_order_acquire)) {
      ::operator delete(kept);
    }
  }
}

[[maybe_unused]] const bool g_registered =
    register_kept_cache({"decoding buffers", kept_count, release_all});

}  // namespace

ScratchBuffer::ScratchBuffer(std::size_t bytes) : size_(bytes) {
  for (Slot& slot : g_slots) {
    if (slot.size.load(std::memory_order_relaxed) != bytes) continue;
    if (std::byte* kept = slot.data.exchange(nullptr, std::memory_order_acquire)) {
      data_ = kept;
      return;
    }
  }
  data_ = static_cast<std::byte*>(::operator new(bytes));
}

void ScratchBuffer::release() {
  if (data_ == nullptr) return;
  if (size_ > kScratchMaxBytes || !keep(data_, size_)) ::operator delete(data_);
  data_ = nullptr;
  size_ = 0;
}

std::size_t ScratchBuffer::kept_bytes() {
  std::size_t bytes = 0;
  for (const Slot& slot : g_slots) {
    if (slot.data.load(std::memory_order_relaxed) != nullptr) {
      bytes += slot.size.load(std::memory_order_relaxed);
    }
  }
  return bytes;
}

}  // namespace vantrel::base
