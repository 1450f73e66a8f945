// The load's working buffers are kept by a thread between loads: a buffer must never be handed
// to two owners, what is kept must stay within its bound, and a thread's buffers must go with
// it (the sanitizer build reports a leak otherwise).
#include <doctest/doctest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "sources/scratch.hpp"

using vantrel::sources::ScratchBuffer;

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

TEST_CASE("what a thread keeps stays within its bound") {
  std::vector<ScratchBuffer> held;
  for (int i = 0; i < 40; ++i) held.emplace_back(std::size_t{96} << 10);
  std::set<std::byte*> distinct;
  for (const ScratchBuffer& b : held) distinct.insert(b.data());
  CHECK(distinct.size() == held.size());
  held.clear();
  CHECK(ScratchBuffer::kept_bytes() <= std::size_t{1} << 20);
  CHECK(ScratchBuffer::kept_bytes() > 0);
}

TEST_CASE("a buffer let go on another thread is kept there and freed with it") {
  ScratchBuffer mine(32 << 10);
  const std::size_t before = ScratchBuffer::kept_bytes();
  std::size_t kept_there = 0;
  std::thread([&] {
    ScratchBuffer moved(std::move(mine));
    { ScratchBuffer local(std::move(moved)); }
    kept_there = ScratchBuffer::kept_bytes();
  }).join();
  CHECK(kept_there == 32 << 10);
  CHECK(ScratchBuffer::kept_bytes() == before);
}
