// Times as the stream writes them: publish times in epoch milliseconds, definition times as text
// ("2024-05-01T13:00:00.000Z"). Read here without any library's help, once for all who need
// them: the Python layer's datetimes, the tables' timestamps and the check at load.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "messages/parsed_message.hpp"

namespace vantrel {

struct CivilTime {
  int year, month, day, hour, minute, second, microsecond;
};

// Days since 1970-01-01 to a proleptic Gregorian date, and back.
void civil_from_days(std::int64_t days, int& year, int& month, int& day);
std::int64_t days_from_civil(int year, int month, int day);

// The UTC time of an instant in epoch milliseconds (before 1970 too); false outside the years
// 1 to 9999, which a datetime holds.
bool civil_from_ms(std::int64_t milliseconds, CivilTime& out);

// "YYYY-MM-DDTHH:MM:SS[.f{1,6}]" with every field in range (one digit will do for all but the
// year, as for the interpreter's strptime), then "Z" or an explicit offset
// "+HH:MM" / "-HH:MM" (the instant is unambiguous either way; `out` is it in UTC, within years
// 1 to 9999); false for anything else.
bool read_iso_time(std::string_view text, CivilTime& out);

// Epoch milliseconds (the fraction cut to whole milliseconds), or nothing for a text that
// read_iso_time does not take.
std::optional<std::int64_t> iso_time_ms(std::string_view text);

// A definition time that read_iso_time does not take. The package's books, tables and summaries
// all turn these times into instants, so such a text is damage to be named with its line before
// a recording is replayed, not a value to fail on halfway through or to leave out of a table.
struct UnreadableTime {
  std::string_view key;   // "marketTime", "openDate", ..., or "removalDate" of a runner
  std::string_view text;  // as the stream wrote it
};

// The first unreadable definition time of `message` (in its market changes, in order); a time
// of another JSON type counts as absent, as the market cache takes it.
std::optional<UnreadableTime> unreadable_definition_time(const ParsedMessage& message);

}  // namespace vantrel
