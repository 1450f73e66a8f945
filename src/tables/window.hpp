// A span of time around each market's scheduled start that the prices and trades tables keep
// their rows to.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "base/platform.hpp"
#include "market/market_cache.hpp"
#include "market/times.hpp"

namespace vantrel::tables {

// Milliseconds from the market time: rows from `start` on and before `end`, either end open.
// The market time is the one in force at the row, since a market can be put back; a market
// with none has no place in a window and gives no rows while it has none.
struct Window {
  std::optional<std::int64_t> start_ms;
  std::optional<std::int64_t> end_ms;

  bool open() const { return !start_ms && !end_ms; }
};

// The instants of one market's window, `first` to `last` inclusive, kept from one definition
// to the next: every book asks, and only a definition can move the market time.
class WindowSpan {
 public:
  struct Span {
    std::int64_t first;
    std::int64_t last;
    bool holds(std::int64_t time) const { return first <= time && time <= last; }
  };

  std::optional<Span> of(const Window& window, const MarketCache& market) {
    if (seen_ && generation_ == market.definition_generation) return span_;
    seen_ = true;
    generation_ = market.definition_generation;
    span_.reset();
    if (!market.market_time) return span_;
    const std::optional<std::int64_t> off = iso_time_ms(*market.market_time);
    if (!off) return span_;
    span_ = Span{window.start_ms ? shifted(*off, *window.start_ms) : kEarliest,
                 window.end_ms ? shifted(*off, *window.end_ms) - 1 : kLatest};
    return span_;
  }

 private:
  static constexpr std::int64_t kEarliest = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kLatest = std::numeric_limits<std::int64_t>::max();

  // Ends beyond the times an int64 holds stay at its bounds.
  static std::int64_t shifted(std::int64_t time, std::int64_t by) {
    std::int64_t out = 0;
    if (!base::add_overflows(time, by, out)) return out;
    return by < 0 ? kEarliest + 1 : kLatest;
  }

  std::uint64_t generation_ = 0;
  bool seen_ = false;
  std::optional<Span> span_;
};

}  // namespace vantrel::tables
