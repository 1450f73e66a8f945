// The load's working buffers are kept between loads, process-wide: a buffer must never be
// handed to two owners, what is kept must stay within its bound, and threads letting buffers
// go and taking them at once must neither lose track of one nor free one twice (the
// sanitizer build reports either).
#include <doctest/doctest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "base/scratch.hpp"

using vantrel::base::ScratchBuffer;

TEST_CASE("a buffer let go is handed out again, to one owner at a time") {
  const std::size_t size = 64 << 10;
  std::byte* first = nullptr;
  {
    ScratchBuffer a(size);
    first = a.data();
    std::memset(a.data(), 0xAB, a.size());
  }
  CHECK(ScratchBuffer::kept_bytes() >= size);
  ScratchBuffer again(size);
  CHECK(again.data() == first);
  ScratchBuffer other(size);
  CHECK(other.data() != first);
  ScratchBuffer different(size + 8);
  CHECK(different.data() != first);
  CHECK(different.size() == size + 8);
}

TEST_CASE("moving a buffer moves its ownership") {
  ScratchBuffer a(4096);
  std::byte* data = a.data();
  ScratchBuffer b(std::move(a));
  CHECK(a.data() == nullptr);
  CHECK(b.data() == data);
  ScratchBuffer c(8192);
  c = std::move(b);
  CHECK(c.data() == data);
  CHECK(c.size() == 4096);
}

TEST_CASE("what is kept stays within its bound, however many sizes come and go") {
  std::vector<ScratchBuffer> held;
  for (int i = 0; i < 40; ++i) held.emplace_back((std::size_t{1} + i % 12) << 14);
  held.emplace_back(std::size_t{4} << 20);  // too large to keep
  std::set<std::byte*> distinct;
  for (const ScratchBuffer& b : held) distinct.insert(b.data());
  CHECK(distinct.size() == held.size());
  held.clear();
  CHECK(ScratchBuffer::kept_bytes() > 0);
  CHECK(ScratchBuffer::kept_bytes() <= std::size_t{8} * (256 << 10));
}

TEST_CASE("threads taking and letting go buffers at once each own theirs alone") {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int round = 0; round < 2000; ++round) {
        ScratchBuffer a(std::size_t{64} << 10);
        ScratchBuffer b(std::size_t{32} << 10);
        const auto mark = static_cast<unsigned char>(t * 16 + round % 16);
        std::memset(a.data(), mark, a.size());
        std::memset(b.data(), mark, b.size());
        std::this_thread::yield();
        CHECK(std::to_integer<unsigned char>(a.data()[a.size() - 1]) == mark);
        CHECK(std::to_integer<unsigned char>(b.data()[0]) == mark);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}
