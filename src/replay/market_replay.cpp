#include "replay/market_replay.hpp"

namespace vantrel::replay {

namespace {
const json::Key kId("id");
}  // namespace

MarketCache* SingleMarketReplay::route(json::Value change) {
  if (change.is_object()) {
    const json::Value id = change.find(kId);
    if (id.present() && id.is_string() && !id.as_string().empty()) {
      if (!cache_) {
        cache_ = std::make_unique<MarketCache>(id.as_string(), release_);
      } else if (id.as_string() != cache_->market_id) {
        return nullptr;
      }
    }
  }
  return cache_.get();
}

}  // namespace vantrel::replay
