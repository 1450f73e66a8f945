// The system layer: whichever way a build takes (the Linux calls, or the plain ones that
// VANTREL_PORTABLE forces), mappings keep their bytes and released pages read as zero.
#include <doctest/doctest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "base/platform.hpp"

namespace base = vantrel::base;

namespace {

void fill(void* p, std::size_t bytes, unsigned char seed) {
  auto* b = static_cast<unsigned char*>(p);
  for (std::size_t i = 0; i < bytes; ++i) b[i] = static_cast<unsigned char>(seed + i * 7);
}

// The first byte in [from, to) that is not as `fill` left it, or `to`.
std::size_t first_changed(const void* p, std::size_t from, std::size_t to, unsigned char seed) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = from; i < to; ++i) {
    if (b[i] != static_cast<unsigned char>(seed + i * 7)) return i;
  }
  return to;
}

bool all_zero(const void* p, std::size_t from, std::size_t to) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = from; i < to; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

}  // namespace

TEST_CASE("the page size is the system's, and sizes round up to it") {
  const std::size_t page = base::page_size();
  CHECK(page >= 4096);
  CHECK((page & (page - 1)) == 0);
  CHECK(base::round_to_pages(0) == 0);
  CHECK(base::round_to_pages(1) == page);
  CHECK(base::round_to_pages(page) == page);
  CHECK(base::round_to_pages(page + 1) == 2 * page);
}

TEST_CASE("a mapping keeps its bytes through growing and shrinking") {
  const std::size_t page = base::page_size();
  void* p = base::map_pages(4 * page);
  REQUIRE(p != nullptr);
  CHECK(all_zero(p, 0, 4 * page));
  fill(p, 4 * page, 3);

  SUBCASE("grown, with zeros after") {
    p = base::remap_pages(p, 4 * page, 64 * page);
    REQUIRE(p != nullptr);
    CHECK(first_changed(p, 0, 4 * page, 3) == 4 * page);
    CHECK(all_zero(p, 4 * page, 64 * page));
    base::unmap_pages(p, 64 * page);
  }
  SUBCASE("shrunk by moving") {
    p = base::remap_pages(p, 4 * page, page);
    REQUIRE(p != nullptr);
    CHECK(first_changed(p, 0, page, 3) == page);
    base::unmap_pages(p, page);
  }
  SUBCASE("shrunk in place, then grown again") {
    REQUIRE(base::shrink_pages(p, 4 * page, 2 * page));
    CHECK(first_changed(p, 0, 2 * page, 3) == 2 * page);
    p = base::remap_pages(p, 2 * page, 8 * page);
    REQUIRE(p != nullptr);
    CHECK(first_changed(p, 0, 2 * page, 3) == 2 * page);
    CHECK(all_zero(p, 2 * page, 8 * page));
    base::unmap_pages(p, 8 * page);
  }
}

TEST_CASE("released pages read as zero, and the pages around them keep their bytes") {
  // A message store's chunk is written again after its tail is released, and the stream
  // reader's input only behind the inflater; both rely on the range staying mapped.
  const std::size_t page = base::page_size();
  auto* p = static_cast<unsigned char*>(base::map_pages(6 * page));
  REQUIRE(p != nullptr);
  base::prefault_pages(p, 6 * page);
  fill(p, 6 * page, 11);
  base::release_pages(p + 2 * page, 3 * page);
  CHECK(first_changed(p, 0, 2 * page, 11) == 2 * page);
  CHECK(all_zero(p, 2 * page, 5 * page));
  CHECK(first_changed(p, 5 * page, 6 * page, 11) == 6 * page);
  std::memset(p + 2 * page, 0x5a, 3 * page);
  CHECK(p[3 * page] == 0x5a);
  base::unmap_pages(p, 6 * page);
  base::trim_heap();
}

TEST_CASE("checked arithmetic at the limits of 64 bits agrees with 128-bit arithmetic") {
  using I = std::int64_t;
  constexpr I kMax = std::numeric_limits<I>::max();
  constexpr I kMin = std::numeric_limits<I>::min();
  const std::vector<I> values = {0,           1,        -1,         2,           -2,
                                 1000,        -1000,    3037000499, -3037000499, 3037000500,
                                 -3037000500, kMax / 2, kMin / 2,   kMax - 1,    kMin + 1,
                                 kMax,        kMin};
  const auto fits = [](__int128 v) { return v >= kMin && v <= kMax; };
  for (const I a : values) {
    for (const I b : values) {
      CAPTURE(a);
      CAPTURE(b);
      I out = 0;
      const __int128 sum = static_cast<__int128>(a) + b;
      CHECK(base::add_overflows(a, b, out) == !fits(sum));
      CHECK(out == static_cast<I>(static_cast<std::uint64_t>(sum)));
      const __int128 difference = static_cast<__int128>(a) - b;
      CHECK(base::sub_overflows(a, b, out) == !fits(difference));
      CHECK(out == static_cast<I>(static_cast<std::uint64_t>(difference)));
      const __int128 product = static_cast<__int128>(a) * b;
      CHECK(base::mul_overflows(a, b, out) == !fits(product));
      CHECK(out == static_cast<I>(static_cast<std::uint64_t>(product)));
    }
  }
}
