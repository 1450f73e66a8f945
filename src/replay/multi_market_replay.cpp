#include "replay/multi_market_replay.hpp"

#include <algorithm>

namespace vantrel::replay {

namespace {

const json::Key kId("id");

bool contains(const std::vector<std::string>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

MultiMarketReplay::MultiMarketReplay(ReleaseFn release, MarketFilter filter)
    : release_(release), filter_(std::move(filter)) {}

std::size_t MultiMarketReplay::find_or_add(std::string_view id) {
  // Consecutive changes mostly name the same market.
  if (current_ != kNone && markets_[current_].id == id) return current_;
  const auto it = index_.find(std::string(id));
  if (it != index_.end()) return it->second;
  // A market left out by id is remembered too, so that its changes without an id stay out.
  Keep keep = filter_.market_types ? Keep::kUndecided : Keep::kKept;
  std::unique_ptr<MarketCache> cache;
  if (filter_.market_ids && !contains(*filter_.market_ids, id)) {
    keep = Keep::kDropped;
  } else {
    cache = std::make_unique<MarketCache>(id, release_, MarketCache::Reading::kEcosystem);
  }
  index_.emplace(std::string(id), markets_.size());
  markets_.push_back({std::string(id), std::move(cache), keep});
  return markets_.size() - 1;
}

MultiMarketReplay::Market* MultiMarketReplay::route(json::Value change) {
  if (change.is_object()) {
    const json::Value id = change.find(kId);
    if (id.present() && id.is_string() && !id.as_string().empty()) {
      current_ = find_or_add(id.as_string());
    }
  }
  if (current_ == kNone || markets_[current_].keep == Keep::kDropped) return nullptr;
  return &markets_[current_];
}

// True when the market is dropped by this judgement.
bool MultiMarketReplay::judge_type(Market& market) const {
  if (!filter_.market_types || !market.cache->market_type) return false;
  const bool keep = contains(*filter_.market_types, *market.cache->market_type);
  market.keep = keep ? Keep::kKept : Keep::kDropped;
  return !keep;
}

void MultiMarketReplay::apply(const ParsedMessage& message, std::vector<MarketCache*>& changed) {
  changed.clear();
  bool dropped = false;
  message.for_each_change([&](json::Value change) {
    Market* market = route(change);
    if (market == nullptr) return;
    market->cache->update(change, message.publish_time());
    dropped |= judge_type(*market);
    if (market->keep != Keep::kKept) return;
    MarketCache* cache = market->cache.get();
    if (std::find(changed.begin(), changed.end(), cache) == changed.end()) {
      changed.push_back(cache);
    }
  });
  if (!dropped) return;
  // A dropped market takes its cache (and the objects it holds) with it; it may have been
  // listed before a later change of the same message dropped it.
  for (Market& m : markets_) {
    if (m.keep != Keep::kDropped || !m.cache) continue;
    std::erase(changed, m.cache.get());
    m.cache.reset();
  }
}

MarketCache* MultiMarketReplay::find(std::string_view id) const {
  const auto it = index_.find(std::string(id));
  if (it == index_.end()) return nullptr;
  const Market& m = markets_[it->second];
  return m.keep == Keep::kKept ? m.cache.get() : nullptr;
}

void MultiMarketReplay::release_slots() {
  for (Market& m : markets_) {
    if (m.cache) m.cache->release_slots();
  }
}

}  // namespace vantrel::replay
