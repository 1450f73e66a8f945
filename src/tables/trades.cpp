#include "tables/trades.hpp"

#include <map>
#include <optional>
#include <span>

namespace vantrel::tables {

namespace {

// Traded volume only grows, so what was matched since the last change is the difference of
// the cumulative figures. A level gone from the ladder (an image without it) reads as zero.
class Trades final : public BookSink {
 public:
  explicit Trades(const Window& window) : window_(window) {
    auto ids = std::make_shared<StringDictionary>();
    market_id_ = &columns_.add<DictionaryColumn>("market_id", ids);
    time_ = &columns_.add<TimestampColumn>("publish_time");
    in_play_ = &columns_.add<BoolColumn>("inplay");
    selection_id_ = &columns_.add<Int64Column>("selection_id");
    handicap_ = &columns_.add<Float64Column>("handicap");
    price_ = &columns_.add<Float64Column>("price");
    traded_ = &columns_.add<Float64Column>("traded");
    delta_ = &columns_.add<Float64Column>("delta");
  }

  void begin_recording(std::string_view) override { states_.clear(); }

  void on_book(MarketCache& market) override {
    MarketState& state = states_.of(market);
    row_.market_id = market_id_->dictionary().intern(market.market_id);
    row_.time = market.publish_time;
    row_.in_play = in_play_said(market);
    row_.kept = true;
    if (!window_.open()) {
      const std::optional<WindowSpan::Span> span = state.window.of(window_, market);
      row_.kept = span && span->holds(market.publish_time);
    }
    for (const RunnerCache* r : market.runners_in_order_of_appearance()) {
      Seen& seen = state.by_serial[r->serial];
      if (seen.runner != nullptr && seen.trd_counter == r->trd.change_counter()) continue;
      if (seen.runner == nullptr) seen.runner = &state.by_key[r->key];
      seen.trd_counter = r->trd.change_counter();
      diff(*r, *seen.runner);
    }
  }

  std::vector<FinishedColumn> finish() override { return columns_.finish(); }

 private:
  // The traded ladder a runner showed at its last row, by price.
  using Traded = std::map<double, double>;
  struct Seen {
    Traded* runner = nullptr;
    std::uint64_t trd_counter = 0;
  };
  struct MarketState {
    // A runner made anew by an image carries on from what its predecessor showed.
    std::map<RunnerKey, Traded> by_key;
    PerRunner<Seen> by_serial;
    WindowSpan window;
  };
  struct RowKeys {
    std::int32_t market_id = 0;
    std::int64_t time = 0;
    std::optional<bool> in_play;  // none before the market's first definition
    bool kept = true;             // within the window
  };

  void diff(const RunnerCache& r, Traded& before) {
    const std::span<const PriceSize> now = r.trd.levels();
    // Both in ascending price order: one merge walk finds the new, moved and vanished levels.
    auto old = before.begin();
    for (const PriceSize& level : now) {
      for (; old != before.end() && old->first < level.price; old = before.erase(old)) {
        push(r, old->first, 0.0, -old->second);
      }
      if (old != before.end() && old->first == level.price) {
        if (old->second != level.size) push(r, level.price, level.size, level.size - old->second);
        old->second = level.size;
        ++old;
      } else {
        push(r, level.price, level.size, level.size);
        before.emplace_hint(old, level.price, level.size);
      }
    }
    for (; old != before.end(); old = before.erase(old)) push(r, old->first, 0.0, -old->second);
  }

  void push(const RunnerCache& r, double price, double traded, double delta) {
    if (!row_.kept) return;
    market_id_->push_index(row_.market_id);
    time_->push(row_.time);
    in_play_->push(row_.in_play);
    selection_id_->push(r.selection_id);
    handicap_->push(r.handicap);
    price_->push(price);
    traded_->push(traded);
    delta_->push(delta);
  }

  ColumnSet columns_;
  DictionaryColumn* market_id_;
  TimestampColumn* time_;
  BoolColumn* in_play_;
  Int64Column* selection_id_;
  Float64Column *handicap_, *price_, *traded_, *delta_;
  Window window_;
  PerMarket<MarketState> states_;
  RowKeys row_;
};

}  // namespace

std::unique_ptr<BookSink> make_trades_sink(const Window& window) {
  return std::make_unique<Trades>(window);
}

}  // namespace vantrel::tables
