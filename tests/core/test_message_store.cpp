// A store's words live in chunks that outlive it: the chunk of a store that is gone serves the
// next one. Whatever the order stores come and go in, on whichever thread, each must read back
// exactly its own messages.
#include <doctest/doctest.h>

#include <cstdint>
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

// Every message of the store reads back as `line(id, i, levels)` made it: its publish time,
// market and runner ids, and each level of its ladder.
void check(const MessageStore& store, int id, int count, int levels = -1) {
  REQUIRE(store.size() == static_cast<std::size_t>(count));
  const vantrel::json::Key kId("id");
  const vantrel::json::Key kRc("rc");
  const vantrel::json::Key kAtb("atb");
  int i = 0;
  for (const vantrel::ParsedMessage& m : store.messages()) {
    CHECK(m.publish_time() == 1000 + i);
    m.for_each_change([&](vantrel::json::Value change) {
      CHECK(change.find(kId).as_string() == "1." + std::to_string(id));
      for (const vantrel::json::Value runner : change.find(kRc).items()) {
        CHECK(runner.find(kId).as_int() == i);
        if (levels < 0) continue;
        int level = 0;
        for (const vantrel::json::Value pair : runner.find(kAtb).items()) {
          vantrel::json::Value price;
          vantrel::json::Value size;
          REQUIRE(pair.items().first_two(price, size));
          CHECK(size.as_int() == level);
          ++level;
        }
        CHECK(level == levels);
      }
    });
    ++i;
  }
}

// A store of `count` messages of `levels` levels each, finished.
std::unique_ptr<MessageStore> filled(int id, int count, int levels) {
  auto store = std::make_unique<MessageStore>();
  for (int i = 0; i < count; ++i) add(*store, id, i, levels);
  store->finish();
  return store;
}

// 2,000 levels make a message of about 2,000 words: 300 of them take three chunks.
constexpr int kWide = 2000;
constexpr int kThreeChunks = 300;

}  // namespace

TEST_CASE("stores filled in turn and side by side each keep their own messages") {
  // Levels per message: 3 keeps a store in one chunk; 2,000 makes it take several.
  for (const int levels : {3, 2000}) {
    CAPTURE(levels);
    auto first = std::make_unique<MessageStore>();
    for (int i = 0; i < 300; ++i) add(*first, 1, i, levels);
    first->finish();
    check(*first, 1, 300, levels);

    auto second = std::make_unique<MessageStore>();
    first.reset();  // its chunk is free for the next store while `second` is still open
    auto third = std::make_unique<MessageStore>();
    for (int i = 0; i < 300; ++i) {
      add(*second, 2, i, levels);
      add(*third, 3, i, levels);
    }
    second->finish();
    third->finish();
    check(*second, 2, 300, levels);
    check(*third, 3, 300, levels);
    second.reset();
    auto fourth = std::make_unique<MessageStore>();
    for (int i = 0; i < 5; ++i) add(*fourth, 4, i, 1);
    fourth->finish();
    check(*third, 3, 300, levels);
    check(*fourth, 4, 5, 1);
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
        check(store, t * 100 + round, count, 1 + round % 5);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST_CASE("every chunk of a store that is gone serves the next stores, up to the limit") {
  // Holding more chunks than can be kept leaves none kept whatever earlier tests left.
  auto holder = filled(0, 2 * kThreeChunks, kWide);
  REQUIRE(MessageStore::kept_chunks() == 0);

  auto first = filled(1, kThreeChunks, kWide);
  first.reset();
  CHECK(MessageStore::kept_chunks() == 3);
  auto second = filled(2, kThreeChunks, kWide);
  CHECK(MessageStore::kept_chunks() == 0);
  check(*second, 2, kThreeChunks, kWide);

  second.reset();
  holder.reset();
  CHECK(MessageStore::kept_chunks() == MessageStore::kKeptChunkLimit);
}

TEST_CASE("a store in reused chunks reads back only its own words") {
  // Wider messages before narrower ones leave stale words right after every new message, and
  // narrower before wider end the new words past what the old store had in memory.
  const int widths[][2] = {{kWide, 1}, {kWide, 40}, {1, kWide}, {40, 700}};
  for (const auto& [before, after] : widths) {
    CAPTURE(before);
    CAPTURE(after);
    filled(1, kThreeChunks, before).reset();
    auto store = filled(2, kThreeChunks, after);
    check(*store, 2, kThreeChunks, after);
    // Its chunks go back trimmed to what it used; a store after it sees the same.
    store.reset();
    check(*filled(3, 5, after), 3, 5, after);
  }
}

TEST_CASE("messages past one block of records read back in order") {
  // Records come in blocks of 4,096; the blocks of a store that is gone are reused.
  for (const int count : {4096, 4097, 9000}) {
    CAPTURE(count);
    check(*filled(1, count, 2), 1, count, 2);
  }
}

TEST_CASE("a store takes over the parser of one that is gone, whatever that one last read") {
  const std::string long_line = line(1, 0, 3000);  // past what a kept parser may hold on to
  REQUIRE(long_line.size() > (std::size_t{16} << 10));
  const std::vector<std::string> last_lines = {long_line, R"({"pt":1,"mc":[{"id":)", "[1,2]",
                                               line(1, 0, 3)};
  for (const std::string& last : last_lines) {
    // A finished store hands its parser on, and so does one dropped as a failed load drops it.
    for (const bool finished : {true, false}) {
      CAPTURE(last.substr(0, 40));
      CAPTURE(finished);
      {
        MessageStore before;
        add(before, 1, 0, 2);
        (void)before.add_line(last);
        if (finished) before.finish();
      }
      std::vector<std::unique_ptr<MessageStore>> stores;
      for (int id = 0; id < 3; ++id) stores.push_back(filled(id, 50, 5 + id * 900));
      for (int id = 0; id < 3; ++id) {
        check(*stores[static_cast<std::size_t>(id)], id, 50, 5 + id * 900);
      }
    }
  }
}

TEST_CASE("the package's publish times are whole milliseconds in either form of number") {
  using vantrel::PublishTimes;
  using vantrel::TimeFault;
  struct Case {
    const char* pt;  // the member as written, or "" for none
    TimeFault fault;
    std::int64_t read;  // with no fault: the time kept
    bool integer;       // an integer literal above 0, which iter_prices_file's reading keeps
  };
  const Case cases[] = {
      {R"("pt":1617043020018,)", TimeFault::kNone, 1617043020018, true},
      {R"("pt":1617043020018.0,)", TimeFault::kNone, 1617043020018, false},
      {R"("pt":1.617043020018e12,)", TimeFault::kNone, 1617043020018, false},
      {R"("pt":161704302001800E-2,)", TimeFault::kNone, 1617043020018, false},
      {R"("pt":1,)", TimeFault::kNone, 1, true},
      {R"("pt":253402300799999,)", TimeFault::kNone, vantrel::kLastPublishTime, true},
      {R"("pt":2.53402300799999e14,)", TimeFault::kNone, vantrel::kLastPublishTime, false},
      {R"("pt":0,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":-0.0,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":-5,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":-9223372036854775808,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":0.5,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":1617043020018.5,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":"1617043020018",)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":null,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":true,)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":{},)", TimeFault::kNotPositiveWhole, 0, false},
      {R"("pt":253402300800000,)", TimeFault::kPastYear9999, 0, true},
      {R"("pt":253402300800000.0,)", TimeFault::kPastYear9999, 0, false},
      {R"("pt":1e300,)", TimeFault::kPastYear9999, 0, false},
      {R"("pt":9223372036854775808,)", TimeFault::kPastYear9999, 0, false},
      {"", TimeFault::kMissing, 0, false},
  };
  for (const Case& c : cases) {
    for (const char* changes : {R"("mc":[{"id":"1.1"}])", R"("id":"1.1","rc":[{"id":1}])"}) {
      const std::string text = std::string("{") + c.pt + changes + "}";
      CAPTURE(text);
      MessageStore store;
      const vantrel::LineFault fault = store.add_line(text, PublishTimes::kWholeMilliseconds);
      CHECK_FALSE(fault.parse);
      CHECK(fault.time_fault == c.fault);
      CHECK(fault.time.present() ==
            (c.fault != TimeFault::kNone && c.fault != TimeFault::kMissing));
      REQUIRE(store.size() == (c.fault == TimeFault::kNone ? 1U : 0U));
      if (store.size() == 1) CHECK(store.messages()[0].publish_time() == c.read);
      // iter_prices_file's reading keeps only integer literals above 0, and refuses nothing.
      MessageStore integers;
      CHECK_FALSE(integers.add_line(text));
      CHECK(integers.size() == (c.integer ? 1U : 0U));
    }
  }
  // A line that carries no market change is no message, whatever its time.
  MessageStore store;
  for (const char* line : {R"({"op":"mcm","pt":"soon","ct":"HEARTBEAT"})", R"({"op":"status"})",
                           R"({"pt":-1,"mc":{}})"}) {
    CHECK_FALSE(store.add_line(line, PublishTimes::kWholeMilliseconds));
  }
  CHECK(store.size() == 0);
}
