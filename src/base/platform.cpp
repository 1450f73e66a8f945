#include "base/platform.hpp"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#define NOMINMAX
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__GLIBC__) && !defined(VANTREL_PORTABLE)
#include <malloc.h>
#define VANTREL_HAVE_MALLOC_TRIM 1
#endif

// The Linux calls, each where the headers offer it (MADV_POPULATE_WRITE needs Linux 5.14 to
// work, but an older kernel only refuses it).
#if !defined(_WIN32) && !defined(VANTREL_PORTABLE)
#ifdef MREMAP_MAYMOVE
#define VANTREL_HAVE_MREMAP 1
#endif
#ifdef MADV_POPULATE_WRITE
#define VANTREL_HAVE_POPULATE 1
#endif
#if defined(__linux__) && defined(MADV_DONTNEED)
#define VANTREL_HAVE_DONTNEED 1
#endif
#endif

namespace vantrel::base {

std::size_t page_size() {
  static const std::size_t page = [] {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<std::size_t>(info.dwPageSize);
#else
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
  }();
  return page;
}

std::size_t round_to_pages(std::size_t bytes) {
  const std::size_t page = page_size();
  return (bytes + page - 1) / page * page;
}

#ifdef _WIN32

void* map_pages(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_pages(void* p, std::size_t) {
  VirtualFree(p, 0, MEM_RELEASE);
}

// A reservation is freed whole, so a shorter one keeps its tail, uncommitted.
bool shrink_pages(void* p, std::size_t old_bytes, std::size_t new_bytes) {
  return VirtualFree(static_cast<char*>(p) + new_bytes, old_bytes - new_bytes, MEM_DECOMMIT) != 0;
}

void prefault_pages(void*, std::size_t) {}

// Decommitted and committed again, the pages come back as zeros.
void release_pages(void* p, std::size_t bytes) {
  if (VirtualFree(p, bytes, MEM_DECOMMIT) == 0) return;
  if (VirtualAlloc(p, bytes, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
    std::memset(p, 0, bytes);  // unreachable: the range stayed reserved
  }
}

#else

void* map_pages(std::size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void unmap_pages(void* p, std::size_t bytes) {
  munmap(p, bytes);
}

// A mapping's tail can be unmapped on its own on any POSIX system; mremap only spares the
// kernel a split.
bool shrink_pages(void* p, std::size_t old_bytes, std::size_t new_bytes) {
#ifdef VANTREL_HAVE_MREMAP
  return mremap(p, old_bytes, new_bytes, 0) != MAP_FAILED;
#else
  return munmap(static_cast<char*>(p) + new_bytes, old_bytes - new_bytes) == 0;
#endif
}

void prefault_pages(void* p, std::size_t bytes) {
#ifdef VANTREL_HAVE_POPULATE
  madvise(p, bytes, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

// Linux drops private anonymous pages on MADV_DONTNEED and maps zeros in their place. Elsewhere
// the advice may keep the contents, so fresh pages are mapped over the range instead.
void release_pages(void* p, std::size_t bytes) {
#ifdef VANTREL_HAVE_DONTNEED
  madvise(p, bytes, MADV_DONTNEED);
#else
  if (mmap(p, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
      MAP_FAILED) {
    std::memset(p, 0, bytes);
  }
#endif
}

#endif

// The kernel moves pages where it can; elsewhere the bytes are copied once into a new mapping.
void* remap_pages(void* p, std::size_t old_bytes, std::size_t new_bytes) {
#ifdef VANTREL_HAVE_MREMAP
  void* moved = mremap(p, old_bytes, new_bytes, MREMAP_MAYMOVE);
  return moved == MAP_FAILED ? nullptr : moved;
#else
  if (new_bytes < old_bytes && shrink_pages(p, old_bytes, new_bytes)) return p;
  void* moved = map_pages(new_bytes);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, p, std::min(old_bytes, new_bytes));
  unmap_pages(p, old_bytes);
  return moved;
#endif
}

void trim_heap() {
#ifdef VANTREL_HAVE_MALLOC_TRIM
  malloc_trim(0);
#endif
}

}  // namespace vantrel::base
