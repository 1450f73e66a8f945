// What the one-row-per-market tables read from a market's definition, as they write it: ids
// that are numbers written as text as int64, definition times as timestamps, texts through a
// dictionary each.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "market/market_cache.hpp"
#include "tables/columns.hpp"

namespace vantrel::tables {

// A definition time in milliseconds since the epoch; none when the definition carries none.
std::optional<std::int64_t> time_of(const std::optional<std::string>& text);

// An id written as text; none when it is not a whole number.
std::optional<std::int64_t> id_of(const std::optional<std::string>& text);

inline std::shared_ptr<StringDictionary> new_dictionary() {
  return std::make_shared<StringDictionary>();
}

// The definition's event and market fields, from event_id to open_date, added to a table's
// columns where it shows them. The catalogue also tells markets apart by betting type and race
// type, which the summaries leave out.
class DefinitionColumns {
 public:
  enum class Kinds : std::uint8_t { kLeftOut, kShown };

  DefinitionColumns(ColumnSet& columns, Kinds kinds);
  void push(const MarketCache& m);

 private:
  Int64Column *event_id_, *event_type_id_;
  DictionaryColumn *event_name_, *market_name_, *market_type_, *country_code_, *venue_;
  DictionaryColumn* betting_type_ = nullptr;
  DictionaryColumn* race_type_ = nullptr;
  TimestampColumn *market_time_, *open_date_;
};

}  // namespace vantrel::tables
