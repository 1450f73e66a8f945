// The replay step of a recording that may hold several markets (an event-level file): every
// market gets its own cache, and a message yields a book for each market it changed.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "market/market_cache.hpp"
#include "messages/parsed_message.hpp"

namespace vantrel::replay {

// The keys of the exchange's own market filter. Every key but the market ids is read from the
// market's definitions; the last two are flags, the others texts.
enum class FilterKey : std::uint8_t {
  kMarketIds,
  kEventIds,
  kEventTypeIds,
  kMarketTypes,
  kCountryCodes,
  kVenues,
  kRaceTypes,
  kBettingTypes,
  kBspMarket,
  kTurnInPlayEnabled,
};
inline constexpr std::size_t kFilterKeyCount = 10;

constexpr bool is_flag(FilterKey key) {
  return key == FilterKey::kBspMarket || key == FilterKey::kTurnInPlayEnabled;
}

// A set of filter keys, one bit each.
class FilterKeys {
 public:
  void add(FilterKey key) { bits_.set(static_cast<std::size_t>(key)); }
  bool has(FilterKey key) const { return bits_.test(static_cast<std::size_t>(key)); }
  FilterKeys& operator|=(FilterKeys other) {
    bits_ |= other.bits_;
    return *this;
  }
  // The keys of this set that `other` lacks.
  FilterKeys without(FilterKeys other) const {
    FilterKeys out;
    out.bits_ = bits_ & ~other.bits_;
    return out;
  }
  bool empty() const { return bits_.none(); }

 private:
  std::bitset<kFilterKeyCount> bits_;
};

// Which recordings of the exchange's layout are read, where an event's folder holds a file per
// market (named by its id) and the event's own file (named by the event id) with the same
// markets' lines: kOnce reads each market once, from its own file where that comes first and
// from the event file for the markets no file of their own gave; kEventFiles passes the market
// files over unread; kMarketFiles the event files; kAll reads everything (markets twice).
enum class EventFiles : std::uint8_t { kOnce, kEventFiles, kMarketFiles, kAll };

// Which markets a replay keeps, as the exchange's market filter picks them: a market is kept
// when it meets the condition of every key given (a text key: its value is one of the texts,
// as the stream writes it; a flag key: its flag is the one asked for). A key not given keeps
// everything.
class MarketFilter {
 public:
  void keep_texts(FilterKey key, std::vector<std::string> texts);
  void keep_flag(FilterKey key, bool flag);

  void read_event_files(EventFiles choice) { event_files_ = choice; }
  EventFiles event_files() const { return event_files_; }
  // Whether a recording named `name` is passed over unread for what its name says it is.
  bool passes_over_name(std::string_view name) const;

  FilterKeys given() const { return given_; }
  // True when a key other than the market ids is given: markets wait for their definition.
  bool reads_definitions() const;
  // Whether `value` meets the condition of `key`; a key not given is met by anything.
  bool meets(FilterKey key, std::string_view value) const;
  bool meets(FilterKey key, bool value) const;

 private:
  struct Condition {
    std::vector<std::string> texts;  // sorted, for lookups among thousands of market ids
    bool flag = false;
  };
  const Condition* condition(FilterKey key) const;

  std::array<Condition, kFilterKeyCount> conditions_;
  FilterKeys given_;
  EventFiles event_files_ = EventFiles::kOnce;
};

class MultiMarketReplay {
 public:
  // `filter` is borrowed: it must outlive the replay. The changes of the markets in
  // `read_elsewhere` (borrowed too; may be null) are passed over: another recording gives them.
  MultiMarketReplay(ReleaseFn release, const MarketFilter& filter,
                    const std::unordered_set<std::string>* read_elsewhere = nullptr);
  MultiMarketReplay(MultiMarketReplay&&) noexcept = default;
  MultiMarketReplay& operator=(MultiMarketReplay&&) noexcept = default;

  // Applies every change of `message`; `changed` is set to the kept markets it changed, in the
  // order of their first change.
  void apply(const ParsedMessage& message, std::vector<MarketCache*>& changed);

  // Calls `visit(object)` for the object in every reuse slot of every market (see MarketCache).
  template <class F>
  int visit_slots(F&& visit) const {
    for (const Market& m : markets_) {
      if (!m.cache) continue;
      if (const int r = m.cache->visit_slots(visit)) return r;
    }
    return 0;
  }
  void release_slots();

  std::size_t market_count() const { return markets_.size(); }
  // The cache of a kept market; null for a market never met, left out or dropped.
  MarketCache* find(std::string_view id) const;
  // Whether the filter keeps the market: none while it has not been met or judged.
  std::optional<bool> kept(std::string_view id) const;
  // The filter keys whose condition some market of the recording met so far.
  FilterKeys matched() const { return matched_; }

 private:
  enum class Keep : std::uint8_t { kUndecided, kKept, kDropped };
  struct Market {
    std::string id;
    std::unique_ptr<MarketCache> cache;  // null once dropped
    Keep keep;
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  Market* route(json::Value change);
  std::size_t find_or_add(std::string_view id);
  bool judge(Market& market);

  ReleaseFn release_;
  const MarketFilter* filter_;
  const std::unordered_set<std::string>* read_elsewhere_;
  bool reads_definitions_;
  FilterKeys matched_;
  std::vector<Market> markets_;  // in order of first appearance, filtered out ones included
  std::unordered_map<std::string, std::size_t> index_;
  // The market a change without a usable id belongs to: the last one a change named.
  std::size_t current_ = kNone;
};

}  // namespace vantrel::replay
