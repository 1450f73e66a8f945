#include "tables/summaries.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <string>

#include "base/platform.hpp"
#include "market/times.hpp"
#include "tables/market_fields.hpp"

namespace vantrel::tables {

namespace {

// What a market's books showed over the recording; the rest is read from its last state.
struct MarketHistory {
  std::int64_t first_book = 0;
  std::int64_t last_book = 0;
  std::optional<std::int64_t> in_play_time;
  std::int64_t books = 0;
};

class MarketSummaries final : public BookSink {
 public:
  MarketSummaries() {
    market_id_ = &columns_.add<DictionaryColumn>("market_id", new_dictionary());
    definition_.emplace(columns_, DefinitionColumns::Kinds::kLeftOut);
    status_ = &columns_.add<DictionaryColumn>("status", new_dictionary());
    runners_ = &columns_.add<Int64Column>("number_of_runners");
    winner_count_ = &columns_.add<Int64Column>("number_of_winners");
    winners_ = &columns_.add<Int64ListColumn>("winners");
    matched_ = &columns_.add<Float64Column>("total_matched");
    first_ = &columns_.add<TimestampColumn>("first_publish_time");
    last_ = &columns_.add<TimestampColumn>("last_publish_time");
    in_play_time_ = &columns_.add<TimestampColumn>("inplay_time");
    books_ = &columns_.add<Int64Column>("books");
    source_ = &columns_.add<DictionaryColumn>("source", new_dictionary());
  }

  void begin_recording(std::string_view source) override {
    source_index_ = source_->dictionary().intern(source);
    histories_.clear();
  }

  void on_book(MarketCache& market) override {
    MarketHistory& h = histories_.of(market);
    if (h.books == 0) h.first_book = market.publish_time;
    h.last_book = market.publish_time;
    if (in_play_said(market).value_or(false) && !h.in_play_time) {
      h.in_play_time = market.publish_time;
    }
    ++h.books;
  }

  void end_recording(const replay::MultiMarketReplay& replay, std::int64_t) override {
    for (std::size_t i = 0; i < histories_.size(); ++i) {
      // A market the filter dropped along the way has no last state to sum up.
      if (MarketCache* market = replay.find(histories_.id(i))) push(*market, histories_[i]);
    }
  }

  std::vector<FinishedColumn> finish() override { return columns_.finish(); }

 private:
  void push(MarketCache& m, const MarketHistory& h) {
    market_id_->push(m.market_id);
    definition_->push(m);
    // A market no definition described has neither a status nor a number of winners.
    if (m.defined()) {
      status_->push(m.status);
    } else {
      status_->push_null();
    }
    runners_->push(m.number_of_runners);
    winner_count_->push(m.defined() ? std::optional<std::int64_t>(m.number_of_winners)
                                    : std::nullopt);
    winners_->push(winners(m));
    matched_->push(m.peak_total_matched);
    first_->push(h.first_book);
    last_->push(h.last_book);
    in_play_time_->push(h.in_play_time);
    books_->push(h.books);
    source_->push_index(source_index_);
  }

  static std::vector<std::int64_t> winners(MarketCache& m) {
    std::vector<std::int64_t> ids;
    for (const RunnerCache* r : m.runners_in_order_of_appearance()) {
      if (r->defined && r->status == "WINNER") ids.push_back(r->selection_id);
    }
    return ids;
  }

  ColumnSet columns_;
  DictionaryColumn *market_id_, *status_, *source_;
  std::optional<DefinitionColumns> definition_;
  Int64Column *runners_, *winner_count_, *books_;
  TimestampColumn *first_, *last_, *in_play_time_;
  Int64ListColumn* winners_;
  Float64Column* matched_;
  std::int32_t source_index_ = 0;
  PerMarket<MarketHistory> histories_;
};

// A runner's figures at a moment before the off.
struct Taken {
  std::optional<double> back, lay;
};

struct RunnerHistory {
  // The largest traded volume any book showed (the close zeroes the last one).
  double peak_matched = 0.0;
  std::optional<double> ltp_at_off;
  std::optional<double> matched_at_off;
  std::vector<Taken> before_off;  // one per offset
};

struct RunnerMarket {
  bool gone_in_play = false;
  std::map<RunnerKey, RunnerHistory> runners;
};

std::optional<double> best(std::span<const PriceSize> levels) {
  if (levels.empty()) return std::nullopt;
  return levels.front().price;
}

class RunnerSummaries final : public BookSink {
 public:
  explicit RunnerSummaries(std::vector<std::int64_t> offsets_s) : offsets_s_(std::move(offsets_s)) {
    market_id_ = &columns_.add<DictionaryColumn>("market_id", new_dictionary());
    selection_id_ = &columns_.add<Int64Column>("selection_id");
    handicap_ = &columns_.add<Float64Column>("handicap");
    name_ = &columns_.add<DictionaryColumn>("name", new_dictionary());
    status_ = &columns_.add<DictionaryColumn>("status", new_dictionary());
    bsp_ = &columns_.add<Float64Column>("bsp");
    removal_date_ = &columns_.add<TimestampColumn>("removal_date");
    adjustment_factor_ = &columns_.add<Float64Column>("adjustment_factor");
    ltp_at_off_ = &columns_.add<Float64Column>("ltp_at_off");
    ltp_last_ = &columns_.add<Float64Column>("ltp_last");
    matched_at_off_ = &columns_.add<Float64Column>("matched_at_off");
    matched_last_ = &columns_.add<Float64Column>("matched_last");
    for (const std::int64_t s : offsets_s_) {
      back_.push_back(&columns_.add<Float64Column>("back_price_" + std::to_string(s) + "s"));
      lay_.push_back(&columns_.add<Float64Column>("lay_price_" + std::to_string(s) + "s"));
    }
  }

  void begin_recording(std::string_view) override { states_.clear(); }

  // The moment `offset_s` seconds before `market_time`; an offset reaching past the earliest
  // time a book can have takes nothing.
  static std::int64_t taken_at(std::int64_t market_time, std::int64_t offset_s) {
    std::int64_t offset_ms = 0;
    std::int64_t at = 0;
    if (base::mul_overflows(offset_s, std::int64_t{1000}, offset_ms) ||
        base::sub_overflows(market_time, offset_ms, at)) {
      return std::numeric_limits<std::int64_t>::min();
    }
    return at;
  }

  // Only books before the off are looked at closely; after it, the last state says it all.
  void on_book(MarketCache& market) override {
    RunnerMarket& state = states_.of(market);
    for (const RunnerCache* r : market.runners_in_order_of_appearance()) {
      double& peak = state.runners[r->key].peak_matched;
      peak = std::max(peak, r->total_matched);
    }
    if (state.gone_in_play) return;
    if (in_play_said(market).value_or(false)) {
      state.gone_in_play = true;
      return;
    }
    const std::optional<std::int64_t> market_time = time_of(market.market_time);
    for (const RunnerCache* r : market.runners_in_order_of_appearance()) {
      RunnerHistory& h = state.runners[r->key];
      h.ltp_at_off = r->last_price_traded;
      h.matched_at_off = r->total_matched;
      h.before_off.resize(offsets_s_.size());
      if (!market_time) continue;
      for (std::size_t k = 0; k < offsets_s_.size(); ++k) {
        if (market.publish_time > taken_at(*market_time, offsets_s_[k])) continue;
        h.before_off[k] = {best(back_levels(*r, LadderChoice::kHandOut)),
                           best(lay_levels(*r, LadderChoice::kHandOut))};
      }
    }
  }

  void end_recording(const replay::MultiMarketReplay& replay, std::int64_t) override {
    for (std::size_t i = 0; i < states_.size(); ++i) {
      MarketCache* market = replay.find(states_.id(i));
      if (market == nullptr) continue;
      for (const RunnerCache* r : market->runners_in_order_of_appearance()) {
        const auto it = states_[i].runners.find(r->key);
        push(*market, *r, it == states_[i].runners.end() ? nullptr : &it->second);
      }
    }
  }

  std::vector<FinishedColumn> finish() override { return columns_.finish(); }

 private:
  static const MarketDefinitionRunner* record_of(const MarketCache& m, const RunnerCache& r) {
    for (const MarketDefinitionRunner& d : m.definition_runners) {
      if (d.selection_id == r.selection_id && handicap_key(d.handicap) == r.key.handicap_key) {
        return &d;
      }
    }
    return nullptr;
  }

  void push(const MarketCache& m, const RunnerCache& r, const RunnerHistory* h) {
    const MarketDefinitionRunner* record = record_of(m, r);
    market_id_->push(m.market_id);
    selection_id_->push(r.selection_id);
    handicap_->push(r.handicap);
    name_->push(record != nullptr ? record->name : std::nullopt);
    // What a definition gives a runner is null until one lists it.
    if (r.defined) {
      status_->push(r.status);
    } else {
      status_->push_null();
    }
    bsp_->push(r.actual_sp.kind == SpValue::Kind::kNumber ? std::optional(r.actual_sp.number)
                                                          : std::nullopt);
    removal_date_->push(r.defined ? time_of(r.removal_date) : std::nullopt);
    adjustment_factor_->push(r.defined ? r.adjustment_factor : std::nullopt);
    ltp_at_off_->push(h != nullptr ? h->ltp_at_off : std::nullopt);
    ltp_last_->push(r.last_price_traded);
    matched_at_off_->push(h != nullptr ? h->matched_at_off : std::nullopt);
    matched_last_->push(h != nullptr ? h->peak_matched : r.total_matched);
    for (std::size_t k = 0; k < offsets_s_.size(); ++k) {
      // A runner first met in play has a history without figures from before the off.
      const Taken taken = h != nullptr && k < h->before_off.size() ? h->before_off[k] : Taken{};
      back_[k]->push(taken.back);
      lay_[k]->push(taken.lay);
    }
  }

  std::vector<std::int64_t> offsets_s_;
  ColumnSet columns_;
  DictionaryColumn *market_id_, *name_, *status_;
  Int64Column* selection_id_;
  Float64Column *handicap_, *bsp_, *adjustment_factor_, *ltp_at_off_, *ltp_last_, *matched_at_off_,
      *matched_last_;
  TimestampColumn* removal_date_;
  std::vector<Float64Column*> back_, lay_;
  PerMarket<RunnerMarket> states_;
};

}  // namespace

std::unique_ptr<BookSink> make_market_summaries_sink() {
  return std::make_unique<MarketSummaries>();
}

std::unique_ptr<BookSink> make_runner_summaries_sink(std::vector<std::int64_t> offsets_s) {
  return std::make_unique<RunnerSummaries>(std::move(offsets_s));
}

}  // namespace vantrel::tables
