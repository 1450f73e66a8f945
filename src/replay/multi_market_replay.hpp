// The replay step of a recording that may hold several markets (an event-level file): every
// market gets its own cache, and a message yields a book for each market it changed.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "market/market_cache.hpp"
#include "messages/parsed_message.hpp"

namespace vantrel::replay {

// Which markets a replay keeps. An absent list keeps everything.
struct MarketFilter {
  // Changes of other markets are not applied at all.
  std::optional<std::vector<std::string>> market_ids;
  // A market is kept from its first definition that carries one of these types, and dropped
  // for good once a definition carries another.
  std::optional<std::vector<std::string>> market_types;
};

class MultiMarketReplay {
 public:
  MultiMarketReplay(ReleaseFn release, MarketFilter filter);
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
  bool judge_type(Market& market) const;

  ReleaseFn release_;
  MarketFilter filter_;
  std::vector<Market> markets_;  // in order of first appearance, filtered out ones included
  std::unordered_map<std::string, std::size_t> index_;
  // The market a change without a usable id belongs to: the last one a change named.
  std::size_t current_ = kNone;
};

}  // namespace vantrel::replay
