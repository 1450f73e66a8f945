// What the core asks of the system and the compiler: pages of memory, the heap, checked
// arithmetic. Each has a fast way where the platform offers one (Linux's mremap and
// MADV_POPULATE_WRITE, glibc's malloc_trim, the compilers' overflow builtins) and a plain way
// that any POSIX system or Windows has. Building with VANTREL_PORTABLE takes the plain way
// everywhere, so that it is exercised where the fast way exists too.
#pragma once

#include <cstddef>
#include <limits>
#include <type_traits>

namespace vantrel::base {

// The system's page: what mappings and the calls below work in.
std::size_t page_size();
// `bytes` rounded up to whole pages.
std::size_t round_to_pages(std::size_t bytes);

// Fresh pages that read as zero, `bytes` a multiple of the page; nullptr when out of memory.
void* map_pages(std::size_t bytes);
void unmap_pages(void* p, std::size_t bytes);
// The mapping at `p` made `new_bytes` long, its contents kept up to the shorter length; the
// pages may move. Nullptr when out of memory, and then `p` is as it was.
void* remap_pages(void* p, std::size_t old_bytes, std::size_t new_bytes);
// Gives back the pages past `new_bytes` without moving the rest; false when that cannot be
// done, and then the mapping is as it was.
bool shrink_pages(void* p, std::size_t old_bytes, std::size_t new_bytes);
// Faults in the pages of [p, p + bytes) ahead of their first write, where the system can do it
// in one call; elsewhere they fault one by one when written, as they would anyway. `p` on a page.
void prefault_pages(void* p, std::size_t bytes);
// Hands the pages of [p, p + bytes) back to the system, keeping the range mapped; they read as
// zero after, as fresh pages do. `p` and `bytes` on pages.
void release_pages(void* p, std::size_t bytes);

// Returns the heap's free memory to the system, where the allocator keeps it otherwise.
void trim_heap();

#if (defined(__GNUC__) || defined(__clang__)) && !defined(VANTREL_PORTABLE)
#define VANTREL_OVERFLOW_BUILTINS 1
#endif

// a + b, a - b and a * b in `out`, true when the result does not fit (and `out` then holds it
// wrapped), as the compilers' overflow builtins do.
template <class T>
bool add_overflows(T a, T b, T& out) {
  static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
#ifdef VANTREL_OVERFLOW_BUILTINS
  return __builtin_add_overflow(a, b, &out);
#else
  using U = std::make_unsigned_t<T>;
  out = static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
  return b > 0 ? a > std::numeric_limits<T>::max() - b : a < std::numeric_limits<T>::min() - b;
#endif
}

template <class T>
bool sub_overflows(T a, T b, T& out) {
  static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
#ifdef VANTREL_OVERFLOW_BUILTINS
  return __builtin_sub_overflow(a, b, &out);
#else
  using U = std::make_unsigned_t<T>;
  out = static_cast<T>(static_cast<U>(a) - static_cast<U>(b));
  return b < 0 ? a > std::numeric_limits<T>::max() + b : a < std::numeric_limits<T>::min() + b;
#endif
}

template <class T>
bool mul_overflows(T a, T b, T& out) {
  static_assert(std::is_integral_v<T> && std::is_signed_v<T>);
#ifdef VANTREL_OVERFLOW_BUILTINS
  return __builtin_mul_overflow(a, b, &out);
#else
  using U = std::make_unsigned_t<T>;
  constexpr T kMax = std::numeric_limits<T>::max();
  constexpr T kMin = std::numeric_limits<T>::min();
  out = static_cast<T>(static_cast<U>(a) * static_cast<U>(b));
  if (a == 0 || b == 0) return false;
  if (a > 0) return b > 0 ? a > kMax / b : b < kMin / a;
  return b > 0 ? a < kMin / b : b < kMax / a;
#endif
}

// A hint that `p` will be read soon.
inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

}  // namespace vantrel::base
