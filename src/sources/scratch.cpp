#include "sources/scratch.hpp"

#include <new>

namespace vantrel::sources {
namespace {

// One load's set (a 256 KiB line window, the inflater's 87 KB, a 64 KiB decoder input) with
// room to spare; an unusual size (a grown buffer) is not worth keeping.
constexpr std::size_t kMaxKeptBytes = std::size_t{1} << 20;
constexpr int kMaxKept = 6;

struct Kept {
  std::byte* data[kMaxKept];
  std::size_t size[kMaxKept];
  int count = 0;
  std::size_t bytes = 0;

  ~Kept();
};

// Trivially destructible, so still readable while other thread-local objects are destroyed
// after `t_kept`: a buffer let go then is freed rather than kept in a dead cache.
thread_local bool t_kept_gone = false;
thread_local Kept t_kept;

Kept::~Kept() {
  for (int i = 0; i < count; ++i) ::operator delete(data[i]);
  count = 0;
  bytes = 0;
  t_kept_gone = true;
}

}  // namespace

ScratchBuffer::ScratchBuffer(std::size_t bytes) : size_(bytes) {
  if (!t_kept_gone) {
    Kept& kept = t_kept;
    for (int i = kept.count - 1; i >= 0; --i) {
      if (kept.size[i] != bytes) continue;
      data_ = kept.data[i];
      kept.bytes -= bytes;
      --kept.count;
      kept.data[i] = kept.data[kept.count];
      kept.size[i] = kept.size[kept.count];
      return;
    }
  }
  data_ = static_cast<std::byte*>(::operator new(bytes));
}

void ScratchBuffer::release() {
  if (data_ == nullptr) return;
  if (!t_kept_gone) {
    Kept& kept = t_kept;
    if (kept.count < kMaxKept && kept.bytes + size_ <= kMaxKeptBytes) {
      kept.data[kept.count] = data_;
      kept.size[kept.count] = size_;
      ++kept.count;
      kept.bytes += size_;
      data_ = nullptr;
      size_ = 0;
      return;
    }
  }
  ::operator delete(data_);
  data_ = nullptr;
  size_ = 0;
}

std::size_t ScratchBuffer::kept_bytes() {
  return t_kept_gone ? 0 : t_kept.bytes;
}

}  // namespace vantrel::sources
