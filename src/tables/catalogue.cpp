#include "tables/catalogue.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tables/market_fields.hpp"

namespace vantrel::tables {

namespace {

struct FirstBooks {
  std::int64_t first_book = 0;
  bool booked = false;
  bool written = false;
};

std::optional<std::int64_t> as_int64(std::optional<std::uint64_t> value) {
  if (!value) return std::nullopt;
  return static_cast<std::int64_t>(*value);
}

class Catalogue final : public BookSink {
 public:
  Catalogue() {
    source_ = &columns_.add<DictionaryColumn>("source", new_dictionary());
    member_ = &columns_.add<DictionaryColumn>("member", new_dictionary());
    offset_column_ = &columns_.add<Int64Column>("offset");
    size_column_ = &columns_.add<Int64Column>("size");
    market_id_ = &columns_.add<DictionaryColumn>("market_id", new_dictionary());
    definition_.emplace(columns_, DefinitionColumns::Kinds::kShown);
    runner_count_ = &columns_.add<Int64Column>("number_of_runners");
    bsp_market_ = &columns_.add<BoolColumn>("bsp_market");
    turn_in_play_ = &columns_.add<BoolColumn>("turn_in_play_enabled");
    first_ = &columns_.add<TimestampColumn>("first_publish_time");
    selection_ids_ = &columns_.add<Int64ListColumn>("runners");
    handicap_ = &runner_columns_.add<Float64Column>("runners.handicap");
    name_ = &runner_columns_.add<DictionaryColumn>("runners.name", new_dictionary());
    sort_priority_ = &runner_columns_.add<Int64Column>("runners.sort_priority");
  }

  void place_recording(const RecordingPlace& place) override {
    file_index_ = source_->dictionary().intern(place.file);
    member_index_.reset();
    if (!place.member.empty()) member_index_ = member_->dictionary().intern(place.member);
    offset_.reset();
    size_.reset();
    if (place.stored) {
      offset_ = place.stored->offset;
      size_ = place.stored->size;
    }
  }

  void begin_recording(std::string_view) override { markets_.clear(); }

  // A market's row waits for its first definition; its first book may come before that.
  void on_book(MarketCache& market) override {
    FirstBooks& seen = markets_.of(market);
    if (seen.written) return;
    if (!seen.booked) {
      seen.first_book = market.publish_time;
      seen.booked = true;
    }
    if (market.definition_generation == 0) return;
    seen.written = true;
    push(market, seen.first_book);
  }

  std::vector<FinishedColumn> finish() override {
    std::vector<FinishedColumn> out = columns_.finish();
    for (FinishedColumn& c : runner_columns_.finish()) out.push_back(std::move(c));
    return out;
  }

 private:
  void push(const MarketCache& m, std::int64_t first_book) {
    source_->push_index(file_index_);
    if (member_index_) {
      member_->push_index(*member_index_);
    } else {
      member_->push_null();
    }
    offset_column_->push(as_int64(offset_));
    size_column_->push(as_int64(size_));
    market_id_->push(m.market_id);
    definition_->push(m);
    runner_count_->push(std::int64_t{m.number_of_runners});
    bsp_market_->push(m.bsp_market);
    turn_in_play_->push(m.turn_in_play_enabled);
    first_->push(first_book);
    std::vector<std::int64_t> ids;
    ids.reserve(m.definition_runners.size());
    for (const MarketDefinitionRunner& r : m.definition_runners) {
      ids.push_back(r.selection_id);
      handicap_->push(r.handicap);
      name_->push(r.name);
      sort_priority_->push(std::int64_t{r.sort_priority});
    }
    selection_ids_->push(ids);
  }

  ColumnSet columns_;
  ColumnSet runner_columns_;
  DictionaryColumn *source_, *member_, *market_id_, *name_;
  Int64Column *offset_column_, *size_column_, *runner_count_, *sort_priority_;
  std::optional<DefinitionColumns> definition_;
  BoolColumn *bsp_market_, *turn_in_play_;
  TimestampColumn* first_;
  Int64ListColumn* selection_ids_;
  Float64Column* handicap_;
  std::int32_t file_index_ = 0;
  std::optional<std::int32_t> member_index_;
  std::optional<std::uint64_t> offset_, size_;
  PerMarket<FirstBooks> markets_;
};

}  // namespace

std::unique_ptr<BookSink> make_catalogue_sink() {
  return std::make_unique<Catalogue>();
}

}  // namespace vantrel::tables
