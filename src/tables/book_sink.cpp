#include "tables/book_sink.hpp"

namespace vantrel::tables {

void feed_recording(const MessageStore& store, const replay::MarketFilter& filter,
                    std::string_view source, BookSink& sink) {
  // Tables hold no Python objects, so the caches' reuse slots stay empty: nothing to release.
  replay::MultiMarketReplay replay(nullptr, filter);
  std::vector<MarketCache*> changed;
  sink.begin_recording(source);
  for (const ParsedMessage& message : store.messages()) {
    sink.before_message(message.publish_time(), replay);
    replay.apply(message, changed);
    for (MarketCache* market : changed) sink.on_book(*market);
  }
  sink.end_recording(replay);
}

std::size_t MarketOrder::index_of(const MarketCache& market) {
  // Consecutive books mostly belong to the same market.
  if (last_ < ids_.size() && ids_[last_] == market.market_id) return last_;
  const auto [it, added] = index_.try_emplace(market.market_id, ids_.size());
  if (added) ids_.push_back(market.market_id);
  last_ = it->second;
  return last_;
}

void MarketOrder::clear() {
  index_.clear();
  ids_.clear();
  last_ = 0;
}

}  // namespace vantrel::tables
