// The replay step of a single-market recording: which cache each market change goes to.
#pragma once

#include <cstdint>
#include <memory>

#include "market/market_cache.hpp"
#include "messages/parsed_message.hpp"

namespace vantrel::replay {

// The first change that names a market creates its cache; a change naming another market is
// skipped whole: a file recorded at event level holds several markets, and mixing them would
// corrupt the book. Changes without a usable id go to the cache once it exists.
class SingleMarketReplay {
 public:
  explicit SingleMarketReplay(ReleaseFn release) : release_(release) {}

  // The cache `change` is to be applied to, created on first use; null when it is skipped.
  MarketCache* route(json::Value change);

  // Applies every change of `message` to the cache it routes to.
  void apply(const ParsedMessage& message) {
    message.for_each_change([&](json::Value change) {
      if (MarketCache* cache = route(change)) cache->update(change, message.publish_time());
    });
  }

  MarketCache* cache() const { return cache_.get(); }

 private:
  ReleaseFn release_;
  std::unique_ptr<MarketCache> cache_;
};

}  // namespace vantrel::replay
