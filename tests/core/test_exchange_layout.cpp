// Each market of the exchange's layout replayed once: the names that tell market files from
// event files, and the run-order rule between them.
#include <doctest/doctest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "messages/message_store.hpp"
#include "replay/early_judge.hpp"
#include "replay/exchange_layout.hpp"

using vantrel::MessageStore;
using vantrel::replay::EventFiles;
using vantrel::replay::ExchangeLayout;

namespace {

// A store of one message per market id, each a change of that market.
std::unique_ptr<MessageStore> holding(const std::vector<std::string>& markets) {
  auto store = std::make_unique<MessageStore>();
  long pt = 1'714'568'400'000;
  for (const std::string& id : markets) {
    const std::string line =
        R"({"op":"mcm","pt":)" + std::to_string(pt++) + R"(,"mc":[{"id":")" + id + R"("}]})";
    REQUIRE_FALSE(store->add_line(line));
  }
  store->finish();
  return store;
}

std::vector<std::string> sorted(const std::unordered_set<std::string>* ids) {
  std::vector<std::string> out;
  if (ids != nullptr) out.assign(ids->begin(), ids->end());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST_CASE("names: an event's own file is its id, a market's file its id with a dot") {
  using vantrel::replay::event_named_by;
  using vantrel::replay::market_named_by;
  CHECK(event_named_by("PRO/2024/May/1/33012345/33012345.bz2") == "33012345");
  CHECK(event_named_by("33012345") == "33012345");
  CHECK(event_named_by("a/1.234567890.bz2").empty());
  CHECK(event_named_by("a/33012345.json").empty());
  CHECK(event_named_by("a/.bz2").empty());
  CHECK(market_named_by("a\\1.234567890.gz") == "1.234567890");
  CHECK(vantrel::replay::folder_of("a/b/c.bz2") == "a/b");
  CHECK(vantrel::replay::folder_of("c.bz2").empty());
}

TEST_CASE("the first file of a folder to give a market gives it; copies of one kind stay") {
  const auto event = holding({"1.1", "1.2", "1.3", "1.1"});
  const auto none = holding({});
  SUBCASE("market files first: the event file fills in") {
    ExchangeLayout layout(EventFiles::kOnce);
    CHECK(layout.admit("e", "e/1.1.bz2", *none));
    CHECK(layout.admit("e", "e/1.2.bz2", *none));
    CHECK(layout.admit("e", "e/1.2.bz2", *none));  // the same file twice: as given
    CHECK(layout.admit("e", "e/33.bz2", *event));
    CHECK(sorted(layout.read_elsewhere()) == std::vector<std::string>{"1.1", "1.2"});
    CHECK(layout.admit("other", "other/33.bz2", *event));  // another folder: nothing given
    CHECK(layout.read_elsewhere() == nullptr);
  }
  SUBCASE("the event file first: its markets' own files after it are passed over") {
    ExchangeLayout layout(EventFiles::kOnce);
    CHECK(layout.admit("e", "e/33.bz2", *event));
    CHECK(layout.read_elsewhere() == nullptr);
    CHECK_FALSE(layout.admit("e", "e/1.3.bz2", *none));
    CHECK(layout.admit("e", "e/1.4.bz2", *none));
    CHECK(layout.admit("e", "e/own-recording.json", *event));
  }
  SUBCASE("every file whole") {
    ExchangeLayout layout(EventFiles::kAll);
    CHECK(layout.admit("e", "e/1.1.bz2", *none));
    CHECK(layout.admit("e", "e/33.bz2", *event));
    CHECK(layout.read_elsewhere() == nullptr);
  }
}
