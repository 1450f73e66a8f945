// The times a market definition carries, checked before a recording is replayed: the package's
// books, tables and summaries all turn them into instants, and a text none of them can read is
// damage to be named with its line, not a value to fail on halfway through a replay or to
// leave out of a table.
#pragma once

#include <optional>
#include <string_view>

#include "messages/parsed_message.hpp"

namespace vantrel {

struct UnreadableTime {
  std::string_view key;   // "marketTime", "openDate", ..., or "removalDate" of a runner
  std::string_view text;  // as the stream wrote it
};

// The first definition time of `message` (in its market changes, in order) that
// read_iso_time does not take; a time of another JSON type counts as absent, as the market
// cache takes it.
std::optional<UnreadableTime> unreadable_definition_time(const ParsedMessage& message);

}  // namespace vantrel
