// Ladders against themselves: a change applied as one update must leave the levels, and say
// whether it changed them, as its entries applied in as many updates do. One entry at a time
// is the path every change took before wide ones were merged, so it is the reference for the
// merge, over random changes full of what the stream's rules have to settle: prices named
// twice or more (the last stands), zero sizes that remove a level or name none, 0 and -0.0
// (two levels by price, one by level), integer and decimal forms of one number, entries that
// are no entries.
#include <doctest/doctest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "market/price_ladder.hpp"
#include "messages/parser.hpp"

using vantrel::LevelLadder;
using vantrel::PriceLadder;
using vantrel::PriceSize;
namespace json = vantrel::json;

namespace {

// The JSON text of `value`, as a recorder may write it: -0.0 as such (a bare "-0" is the
// integer 0), whole numbers now and then without a fraction.
std::string number_text(double value, std::mt19937_64& rng) {
  if (value == 0.0 && std::signbit(value)) return "-0.0";
  if (value == static_cast<double>(static_cast<long long>(value)) && rng() % 2 == 0) {
    return std::to_string(static_cast<long long>(value));
  }
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// `text` parsed into `words`, and the value it holds.
json::Value parsed(const std::string& text, std::vector<std::uint64_t>& words) {
  static json::Parser parser;
  words.clear();
  if (parser.parse(text, words)) FAIL("not JSON: " << text);
  return json::Value(words.data());
}

double pick(const std::vector<double>& pool, std::mt19937_64& rng) {
  return pool[rng() % pool.size()];
}

// Entries of a change from the pools of keys and sizes, with a few that are no entry.
std::vector<std::string> random_entries(std::size_t count, const std::vector<double>& keys,
                                        const std::vector<double>& sizes, bool with_price,
                                        std::mt19937_64& rng) {
  static const std::vector<double> prices = {1.01, 1.5, 2.0, 1000.0};
  std::vector<std::string> entries;
  for (std::size_t i = 0; i < count; ++i) {
    if (rng() % 40 == 0) {
      const char* not_entries[] = {"7", "[1.5]", "\"a\"", "[]", "[\"x\",2]", "[null,1,2]"};
      entries.emplace_back(not_entries[rng() % 6]);
      continue;
    }
    std::string entry = "[" + number_text(pick(keys, rng), rng);
    if (with_price) entry += "," + number_text(pick(prices, rng), rng);
    entries.push_back(entry + "," + number_text(pick(sizes, rng), rng) + "]");
  }
  return entries;
}

std::string array_of(const std::vector<std::string>& entries) {
  std::string text = "[";
  for (const std::string& entry : entries) text += (text.size() > 1 ? "," : "") + entry;
  return text + "]";
}

// A pool of keys: few, so that entries meet each other and the ladder's levels, or many.
std::vector<double> key_pool(std::mt19937_64& rng) {
  std::vector<double> pool = {0.0, -0.0, 1.0};
  const std::size_t count = rng() % 2 == 0 ? 40 : 5000;
  for (std::size_t i = 0; i < count; ++i) pool.push_back(1.01 + 0.01 * static_cast<double>(i));
  return pool;
}

std::size_t change_width(std::mt19937_64& rng) {
  constexpr std::size_t kMerged = PriceLadder::kMergedFrom;
  const std::size_t widths[] = {0, 1, 3, kMerged - 1, kMerged, kMerged + 1, 100, 3000};
  return widths[rng() % std::size(widths)];
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> bits_of(std::span<const PriceSize> levels) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for (const PriceSize& l : levels) {
    out.emplace_back(std::bit_cast<std::uint64_t>(l.price), std::bit_cast<std::uint64_t>(l.size));
  }
  return out;
}

// Applies random changes to `whole` at once and to `by_entry` one entry at a time. Besides
// changes of every kind, some only remove levels, and some say again what the last one said:
// whether they changed anything is theirs alone to tell.
template <class Ladder>
void compare_changes(Ladder& whole, Ladder& by_entry, bool with_price, std::mt19937_64& rng) {
  static const std::vector<double> sizes = {0.0, -0.0, 1.0, 2.5, 2.5, 7.0, 1e-300, 1e300};
  static const std::vector<double> zeros = {0.0, -0.0};
  const std::vector<double> keys = key_pool(rng);
  std::vector<std::string> entries;
  for (int round = 0; round < 12; ++round) {
    if (round % 2 == 0) {
      entries =
          random_entries(change_width(rng), keys, round % 4 == 0 ? sizes : zeros, with_price, rng);
    }
    CAPTURE(entries.size());
    std::vector<std::uint64_t> words;
    bool changed = false;
    for (const std::string& entry : entries) {
      changed |= by_entry.update(parsed("[" + entry + "]", words));
    }
    const std::uint64_t counter = whole.change_counter();
    CHECK(whole.update(parsed(array_of(entries), words)) == changed);
    CHECK(whole.change_counter() == counter + (changed ? 1 : 0));
    REQUIRE(bits_of(whole.levels()) == bits_of(by_entry.levels()));
  }
}

}  // namespace

TEST_CASE("a price ladder's wide change leaves it as its pairs one by one would") {
  std::mt19937_64 rng(20240501);
  for (int trial = 0; trial < 80; ++trial) {
    CAPTURE(trial);
    const bool descending = trial % 2 == 0;
    PriceLadder whole(descending);
    PriceLadder by_pair(descending);
    compare_changes(whole, by_pair, false, rng);
  }
}

TEST_CASE("a level ladder's wide change leaves it as its entries one by one would") {
  std::mt19937_64 rng(20240502);
  for (int trial = 0; trial < 80; ++trial) {
    CAPTURE(trial);
    LevelLadder whole;
    LevelLadder by_entry;
    compare_changes(whole, by_entry, true, rng);
  }
}
