// A store's words live in chunks that outlive it: the chunk of a store that is gone serves the
// next one. Whatever the order stores come and go in, on whichever thread, each must read back
// exactly its own messages.
#include <doctest/doctest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "messages/message_store.hpp"

using vantrel::MessageStore;

namespace {

// A message whose market id and runner ids spell out its store and its place in it, with a
// ladder long enough that a few hundred messages fill more than one chunk when asked.
std::string line(int store, int i, int levels) {
  std::string ladder;
  for (int l = 0; l < levels; ++l) {
    if (l != 0) ladder += ',';
    ladder += "[" + std::to_string(1.01 + l * 0.01).substr(0, 4) + "," + std::to_string(l) + "]";
  }
  return R"({"op":"mcm","pt":)" + std::to_string(1000 + i) + R"(,"mc":[{"id":"1.)" +
         std::to_string(store) + R"(","rc":[{"id":)" + std::to_string(i) + R"(,"atb":[)" + ladder +
         "]}]}]}";
}

void add(MessageStore& store, int id, int i, int levels) {
  REQUIRE_FALSE(store.add_line(line(id, i, levels)));
}

void check(const MessageStore& store, int id, int count) {
  REQUIRE(store.size() == static_cast<std::size_t>(count));
  const vantrel::json::Key kId("id");
  const vantrel::json::Key kRc("rc");
  int i = 0;
  for (const vantrel::ParsedMessage& m : store.messages()) {
    CHECK(m.publish_time() == 1000 + i);
    m.for_each_change([&](vantrel::json::Value change) {
      CHECK(change.find(kId).as_string() == "1." + std::to_string(id));
      for (const vantrel::json::Value runner : change.find(kRc).items()) {
        CHECK(runner.find(kId).as_int() == i);
      }
    });
    ++i;
  }
}

}  // namespace

TEST_CASE("stores filled in turn and side by side each keep their own messages") {
  // Levels per message: 3 keeps a store in one chunk; 2,000 makes it take several.
  for (const int levels : {3, 2000}) {
    CAPTURE(levels);
    auto first = std::make_unique<MessageStore>();
    for (int i = 0; i < 300; ++i) add(*first, 1, i, levels);
    first->finish();
    check(*first, 1, 300);

    auto second = std::make_unique<MessageStore>();
    first.reset();  // its chunk is free for the next store while `second` is still open
    auto third = std::make_unique<MessageStore>();
    for (int i = 0; i < 300; ++i) {
      add(*second, 2, i, levels);
      add(*third, 3, i, levels);
    }
    second->finish();
    third->finish();
    check(*second, 2, 300);
    check(*third, 3, 300);
    second.reset();
    auto fourth = std::make_unique<MessageStore>();
    for (int i = 0; i < 5; ++i) add(*fourth, 4, i, 1);
    fourth->finish();
    check(*third, 3, 300);
    check(*fourth, 4, 5);
  }
}

TEST_CASE("stores made and dropped on several threads at once keep their own messages") {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int round = 0; round < 20; ++round) {
        MessageStore store;
        const int count = 1 + (round * 37 + t * 11) % 200;
        for (int i = 0; i < count; ++i) add(store, t * 100 + round, i, 1 + round % 5);
        store.finish();
        check(store, t * 100 + round, count);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}
