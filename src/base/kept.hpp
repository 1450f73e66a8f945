// What the engine keeps from one call for the next, and its bounds, in one place.
//
// Loading many files in turn would spend a large share of each load having the system map,
// zero and take back the same memory again. So finished loads, stores and tables hand some of
// what they used on to the next, in the caches below, one of each per process:
//
//   cache                          kept by                       bound
//   decoding and line buffers      base/scratch.cpp              kScratchSlots of at most
//                                                                kScratchMaxBytes: 2 MiB
//   full tape chunks               messages/message_store.cpp    kTapeChunks x 2 MiB: 8 MiB
//   line parsers                   messages/message_store.cpp    kParsers, each grown for lines
//                                                                of up to kParserLineBytes:
//                                                                about 800 KB
//   first mappings of columns      tables/columns.cpp            kFirstMappings x 64 KiB: 8 MiB
//   PriceSize objects (Python)     python/price_size_pool.hpp    kPriceSizes x 32 B: 512 KiB
//
// The core's caches are fixed slots taken and filled by atomic exchange, never under a lock:
// loads and tables end on any thread, and a process may fork while another thread is between
// two exchanges (a thing lost that way is only not reused). The Python objects are only touched
// with the interpreter lock held. release_kept_memory() empties every core cache.
#pragma once

#include <atomic>
#include <cstddef>
#include <span>

namespace vantrel::base {

inline constexpr int kScratchSlots = 8;
inline constexpr std::size_t kScratchMaxBytes = std::size_t{256} << 10;
inline constexpr int kTapeChunks = 4;
inline constexpr int kParsers = 4;
inline constexpr std::size_t kParserLineBytes = std::size_t{16} << 10;
inline constexpr int kFirstMappings = 128;
inline constexpr std::size_t kPriceSizes = 16384;

// Things handed on in N slots.
template <class T, int N>
class Shelf {
 public:
  T* take() {
    for (auto& slot : slots_) {
      if (slot.load(std::memory_order_relaxed) == nullptr) continue;
      if (T* kept = slot.exchange(nullptr, std::memory_order_acquire)) return kept;
    }
    return nullptr;
  }
  // False when every slot is full; the caller keeps `thing`.
  bool keep(T* thing) {
    for (auto& slot : slots_) {
      if (slot.load(std::memory_order_relaxed) != nullptr) continue;
      T* expected = nullptr;
      if (slot.compare_exchange_strong(expected, thing, std::memory_order_release)) return true;
    }
    return false;
  }
  int count() const {
    int kept = 0;
    for (const auto& slot : slots_) kept += slot.load(std::memory_order_relaxed) != nullptr;
    return kept;
  }
  // Hands every kept thing to `discard`; returns how many there were.
  template <class Discard>
  int drain(Discard discard) {
    int drained = 0;
    while (T* kept = take()) {
      discard(kept);
      ++drained;
    }
    return drained;
  }

 private:
  std::atomic<T*> slots_[N] = {};
};

// One cache, as the registry knows it: its name, how many things it keeps now, and how to
// give them all back.
struct KeptCache {
  const char* name;
  int (*kept)();
  void (*release)();
};

// Called once per cache, while the library loads (from a namespace-scope initializer), so that
// release_kept_memory() reaches caches of every layer from this lowest one.
bool register_kept_cache(KeptCache cache);

// Empties every cache of the core, then gives the heap's free memory back to the system where
// the platform can. Safe on any thread at any time: a load or table running meanwhile only
// finds the caches empty, and may fill them again as it ends.
void release_kept_memory();

// Every registered cache, for reports and tests.
std::span<const KeptCache> kept_caches();

}  // namespace vantrel::base
