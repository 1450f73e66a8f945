#include "tables/book_sink.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace vantrel::tables {

namespace {

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

// Where a grid may go: the publish times are trusted only so far. A time damaged into the far
// future (a flipped bit) must not make a grid fill decades, so a message lets points be written
// up to the next message's time at most (times go forward: one beyond the next is out of
// place), and never further past the times before it than their span, or the sink's reach
// when that is longer: the rows a gap makes stay in proportion to the rest of the recording.
class GridHorizon {
 public:
  GridHorizon(std::int64_t start, std::int64_t reach)
      : start_(start), trusted_(start), reach_(reach) {}

  std::int64_t before(std::int64_t time, std::optional<std::int64_t> next) {
    const std::int64_t until = next ? std::min(time, *next) : time;
    const std::int64_t cap = limit();
    if (until > cap) return cap;  // not trusted: the limit does not move on with it
    trusted_ = std::max(trusted_, until);
    return until;
  }
  std::int64_t limit() const {
    return saturating_add(trusted_, std::max(trusted_ - start_, reach_));
  }

 private:
  std::int64_t start_;
  std::int64_t trusted_;
  std::int64_t reach_;
};

}  // namespace

replay::FilterKeys feed_recording(const MessageStore& store, const replay::MarketFilter& filter,
                                  std::string_view source, BookSink& sink) {
  // Tables hold no Python objects, so the caches' reuse slots stay empty: nothing to release.
  replay::MultiMarketReplay replay(nullptr, filter);
  std::vector<MarketCache*> changed;
  const MessageList& messages = store.messages();
  GridHorizon horizon(messages.size() != 0 ? messages[0].publish_time() : 0, sink.grid_reach());
  sink.begin_recording(source);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const ParsedMessage& message = messages[i];
    std::optional<std::int64_t> next;
    if (i + 1 < messages.size()) next = messages[i + 1].publish_time();
    sink.before_message(horizon.before(message.publish_time(), next), replay);
    replay.apply(message, changed);
    for (MarketCache* market : changed) sink.on_book(*market);
  }
  sink.end_recording(replay, horizon.limit());
  return replay.matched();
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
