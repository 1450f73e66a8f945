#include "tables/book_sink.hpp"

#include <algorithm>
#include <cstdint>

namespace vantrel::tables {

namespace {

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}

// Where a grid may go. Markets open days before the off and fall silent for hours, so a long
// gap is the usual shape of a recording; but a time damaged into the far future (a flipped bit)
// must not make a grid fill decades. Times go forward, so a time is confirmed by the messages
// after it: a message lets points be written up to the next message's time at most, and a jump
// past the horizon (the span of the trusted times before it, or the sink's reach when that is
// longer) only when each of the next kConfirmations messages comes at or after it. A jump they
// contradict is damage: the grid waits at its trusted time, and goes on from the next message
// that is confirmed. Only the tail that no later message confirms is bounded by the horizon, so
// what an unconfirmed time can add stays in proportion to the rest of the recording.
class GridHorizon {
 public:
  GridHorizon(const MessageList& messages, std::int64_t reach)
      : messages_(messages),
        start_(messages.size() != 0 ? messages[0].publish_time() : 0),
        trusted_(start_),
        reach_(reach) {}

  // How far points may be written before message `i`.
  std::int64_t before(std::size_t i) {
    std::int64_t until = messages_[i].publish_time();
    if (i + 1 < messages_.size()) until = std::min(until, messages_[i + 1].publish_time());
    if (until > limit()) {
      if (i + 1 >= messages_.size()) return limit();
      if (!confirmed(i + 1, until)) return trusted_;
    }
    trusted_ = std::max(trusted_, until);
    return until;
  }
  std::int64_t limit() const {
    return saturating_add(trusted_, std::max(trusted_ - start_, reach_));
  }

 private:
  // Enough later messages to tell a quiet spell from damage that spans a few lines.
  static constexpr std::size_t kConfirmations = 8;

  bool confirmed(std::size_t from, std::int64_t time) const {
    if (messages_.size() - from < kConfirmations) return false;
    for (std::size_t j = from; j < from + kConfirmations; ++j) {
      if (messages_[j].publish_time() < time) return false;
    }
    return true;
  }

  const MessageList& messages_;
  std::int64_t start_;
  std::int64_t trusted_;
  std::int64_t reach_;
};

}  // namespace

replay::FilterKeys feed_recording(const MessageStore& store, const replay::MarketFilter& filter,
                                  std::string_view source, BookSink& sink,
                                  const std::unordered_set<std::string>* read_elsewhere) {
  // Tables hold no Python objects, so the caches' reuse slots stay empty: nothing to release.
  replay::MultiMarketReplay replay(nullptr, filter, read_elsewhere);
  std::vector<MarketCache*> changed;
  const MessageList& messages = store.messages();
  GridHorizon horizon(messages, sink.grid_reach());
  sink.begin_recording(source);
  for (std::size_t i = 0; i < messages.size(); ++i) {
    sink.before_message(horizon.before(i), replay);
    replay.apply(messages[i], changed);
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
