#include "base/kept.hpp"

#include <array>

#include "base/platform.hpp"

namespace vantrel::base {
namespace {

// Registered while the library loads, before any thread of its own can run: plain values do.
constexpr int kMaxCaches = 8;
std::array<KeptCache, kMaxCaches> g_caches{};
int g_cache_count = 0;

}  // namespace

bool register_kept_cache(KeptCache cache) {
  if (g_cache_count == kMaxCaches) return false;
  g_caches[static_cast<std::size_t>(g_cache_count++)] = cache;
  return true;
}

void release_kept_memory() {
  for (int i = 0; i < g_cache_count; ++i) g_caches[static_cast<std::size_t>(i)].release();
  trim_heap();
}

std::span<const KeptCache> kept_caches() {
  return {g_caches.data(), static_cast<std::size_t>(g_cache_count)};
}

}  // namespace vantrel::base
