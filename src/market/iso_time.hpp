// Times as the stream writes them in definitions ("2024-05-01T13:00:00.000Z"), read without
// any library's help: the Python layer and the tables both need them, many times a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

struct CivilTime {
  int year, month, day, hour, minute, second, microsecond;
};

// "YYYY-MM-DDTHH:MM:SS[.f{1,6}]" with every field in range (one digit will do for all but the
// year, as for the interpreter's strptime), then "Z" or an explicit offset
// "+HH:MM" / "-HH:MM" (the instant is unambiguous either way; `out` is it in UTC, within years
// 1 to 9999); false for anything else.
bool read_iso_time(std::string_view text, CivilTime& out);

// Days since 1970-01-01 to a proleptic Gregorian date, and back.
void civil_from_days(std::int64_t days, int& year, int& month, int& day);
std::int64_t days_from_civil(int year, int month, int day);

// Epoch milliseconds (the fraction cut to whole milliseconds), or nothing for a text that
// read_iso_time does not take.
std::optional<std::int64_t> iso_time_ms(std::string_view text);

}  // namespace vantrel
