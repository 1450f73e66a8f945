#include "tables/market_fields.hpp"

#include <charconv>

#include "market/times.hpp"

namespace vantrel::tables {

std::optional<std::int64_t> time_of(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return iso_time_ms(*text);
}

std::optional<std::int64_t> id_of(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::int64_t value = 0;
  const char* end = text->data() + text->size();
  const auto [ptr, ec] = std::from_chars(text->data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

DefinitionColumns::DefinitionColumns(ColumnSet& columns, Kinds kinds) {
  const bool shown = kinds == Kinds::kShown;
  event_id_ = &columns.add<Int64Column>("event_id");
  event_type_id_ = &columns.add<Int64Column>("event_type_id");
  event_name_ = &columns.add<DictionaryColumn>("event_name", new_dictionary());
  market_name_ = &columns.add<DictionaryColumn>("market_name", new_dictionary());
  market_type_ = &columns.add<DictionaryColumn>("market_type", new_dictionary());
  if (shown) betting_type_ = &columns.add<DictionaryColumn>("betting_type", new_dictionary());
  country_code_ = &columns.add<DictionaryColumn>("country_code", new_dictionary());
  venue_ = &columns.add<DictionaryColumn>("venue", new_dictionary());
  if (shown) race_type_ = &columns.add<DictionaryColumn>("race_type", new_dictionary());
  market_time_ = &columns.add<TimestampColumn>("market_time");
  open_date_ = &columns.add<TimestampColumn>("open_date");
}

void DefinitionColumns::push(const MarketCache& m) {
  event_id_->push(id_of(m.event_id));
  event_type_id_->push(id_of(m.event_type_id));
  event_name_->push(m.event_name);
  market_name_->push(m.name);
  market_type_->push(m.market_type);
  if (betting_type_ != nullptr) betting_type_->push(m.betting_type);
  country_code_->push(m.country_code);
  venue_->push(m.venue);
  if (race_type_ != nullptr) race_type_->push(m.race_type);
  market_time_->push(time_of(m.market_time));
  open_date_->push(time_of(m.open_date));
}

}  // namespace vantrel::tables
