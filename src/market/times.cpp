#include "market/times.hpp"

#include <array>

namespace vantrel {

namespace {

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

// In 400-year eras, so that the arithmetic stays in integers for any year.
void civil_from_days(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<std::uint64_t>(z - era * 146097);
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

std::int64_t days_from_civil(int year, int month, int day) {
  const std::int64_t y = year - (month <= 2);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<std::int64_t>(y - era * 400);
  const std::int64_t mp = month > 2 ? month - 3 : month + 9;
  const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool civil_from_ms(std::int64_t milliseconds, CivilTime& out) {
  constexpr std::int64_t kYear1 = -62135596800000;
  constexpr std::int64_t kYear10000 = 253402300800000;
  if (milliseconds < kYear1 || milliseconds >= kYear10000) return false;
  // Floored, so that an instant before the epoch falls in the day and second it is within.
  const std::int64_t ms_in_day = ((milliseconds % 86400000) + 86400000) % 86400000;
  civil_from_days((milliseconds - ms_in_day) / 86400000, out.year, out.month, out.day);
  out.hour = static_cast<int>(ms_in_day / 3600000);
  out.minute = static_cast<int>(ms_in_day / 60000 % 60);
  out.second = static_cast<int>(ms_in_day / 1000 % 60);
  out.microsecond = static_cast<int>(ms_in_day % 1000) * 1000;
  return true;
}

namespace {

// Between `min` and `max` digits at `at`, which moves past them.
bool field(std::string_view s, std::size_t& at, std::size_t min, std::size_t max, int& out) {
  out = 0;
  std::size_t n = 0;
  for (; at < s.size() && n < max && s[at] >= '0' && s[at] <= '9'; ++at, ++n) {
    out = out * 10 + (s[at] - '0');
  }
  return n >= min;
}

bool expect(std::string_view s, std::size_t& at, char c) {
  if (at >= s.size() || s[at] != c) return false;
  ++at;
  return true;
}

// The zone after the time: "Z", or an explicit offset "+HH:MM" / "-HH:MM" east of UTC, in
// minutes. `body` is what comes before it.
bool read_zone(std::string_view s, std::string_view& body, int& offset_minutes) {
  offset_minutes = 0;
  if (!s.empty() && s.back() == 'Z') {
    body = s.substr(0, s.size() - 1);
    return true;
  }
  if (s.size() < 6) return false;
  std::size_t at = s.size() - 6;
  body = s.substr(0, at);
  const char sign = s[at++];
  int hours = 0;
  int minutes = 0;
  if ((sign != '+' && sign != '-') || !field(s, at, 2, 2, hours) || !expect(s, at, ':') ||
      !field(s, at, 2, 2, minutes) || hours > 23 || minutes > 59) {
    return false;
  }
  offset_minutes = (sign == '-' ? -1 : 1) * (hours * 60 + minutes);
  return true;
}

// Fields other than the year may have one digit, as the interpreter's strptime reads them.
bool read_local_time(std::string_view s, CivilTime& c) {
  std::size_t at = 0;
  if (!field(s, at, 4, 4, c.year) || !expect(s, at, '-') || !field(s, at, 1, 2, c.month) ||
      !expect(s, at, '-') || !field(s, at, 1, 2, c.day) || !expect(s, at, 'T') ||
      !field(s, at, 1, 2, c.hour) || !expect(s, at, ':') || !field(s, at, 1, 2, c.minute) ||
      !expect(s, at, ':') || !field(s, at, 1, 2, c.second)) {
    return false;
  }
  c.microsecond = 0;
  if (at < s.size()) {
    const std::size_t fraction = at + 1;
    if (!expect(s, at, '.') || !field(s, at, 1, 6, c.microsecond)) return false;
    for (std::size_t i = at - fraction; i < 6; ++i) c.microsecond *= 10;
  }
  return at == s.size() && c.year >= 1 && c.month >= 1 && c.month <= 12 && c.day >= 1 &&
         c.day <= days_in_month(c.year, c.month) && c.hour <= 23 && c.minute <= 59 &&
         c.second <= 59;
}

// The instant of `c`'s whole seconds, taken as UTC.
std::int64_t whole_seconds_ms(const CivilTime& c) {
  const std::int64_t seconds =
      days_from_civil(c.year, c.month, c.day) * 86400 + c.hour * 3600 + c.minute * 60 + c.second;
  return seconds * 1000;
}

}  // namespace

bool read_iso_time(std::string_view s, CivilTime& c) {
  std::string_view body;
  int offset_minutes = 0;
  if (!read_zone(s, body, offset_minutes) || !read_local_time(body, c)) return false;
  if (offset_minutes == 0) return true;
  const int microsecond = c.microsecond;
  if (!civil_from_ms(whole_seconds_ms(c) - std::int64_t{offset_minutes} * 60000, c)) return false;
  c.microsecond = microsecond;
  return true;
}

std::optional<std::int64_t> iso_time_ms(std::string_view text) {
  CivilTime c{};
  if (!read_iso_time(text, c)) return std::nullopt;
  return whole_seconds_ms(c) + c.microsecond / 1000;
}

// ---------------------------------------------------------------------------------------------
// Definition times

namespace {

using json::Key;
using json::Value;

const Key kDefinition("marketDefinition");
const Key kRunners("runners");
const Key kRemovalDate("removalDate");
const std::array<Key, 4> kMarketTimes = {Key("marketTime"), Key("openDate"), Key("suspendTime"),
                                         Key("settledTime")};

// The last value of `key` in `object`, as the cache reads a key given twice.
Value last_of(Value object, const Key& key) {
  Value found;
  for (const json::Member m : object.members()) {
    if (m.key.key_equals(key)) found = m.value;
  }
  return found;
}

bool unreadable(Value v) {
  CivilTime civil{};
  return v.present() && v.is_string() && !read_iso_time(v.as_string(), civil);
}

std::optional<UnreadableTime> check_definition(Value definition) {
  for (const Key& key : kMarketTimes) {
    const Value v = last_of(definition, key);
    if (unreadable(v)) return UnreadableTime{key.text, v.as_string()};
  }
  const Value runners = last_of(definition, kRunners);
  if (!runners.present() || !runners.is_array()) return std::nullopt;
  for (const Value runner : runners.items()) {
    if (!runner.is_object()) continue;
    const Value v = last_of(runner, kRemovalDate);
    if (unreadable(v)) return UnreadableTime{kRemovalDate.text, v.as_string()};
  }
  return std::nullopt;
}

}  // namespace

std::optional<UnreadableTime> unreadable_definition_time(const ParsedMessage& message) {
  std::optional<UnreadableTime> found;
  message.for_each_change([&](Value change) {
    if (found || !change.is_object()) return;
    const Value definition = last_of(change, kDefinition);
    if (definition.present() && definition.is_object()) found = check_definition(definition);
  });
  return found;
}

}  // namespace vantrel
