#include "python/fast_times.hpp"

#include <Python.h>
#include <datetime.h>

#include <string_view>

#include "python/times.hpp"

namespace vantrel::py {

namespace {

struct Civil {
  int year, month, day, hour, minute, second, microsecond;
};

// Days since 1970-01-01 to a proleptic Gregorian date, in 400-year eras.
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

Ref make(const Civil& c, bool aware) {
  return Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
      c.year, c.month, c.day, c.hour, c.minute, c.second, c.microsecond,
      aware ? PyDateTime_TimeZone_UTC : Py_None, PyDateTimeAPI->DateTimeType));
}

// A value made by the interpreter, given UTC as its zone when asked for.
Ref with_zone(Ref value, bool aware) {
  if (!value || !aware || value.get() == Py_None) return value;
  PyObject* v = value.get();
  return make({PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
               PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
               PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v)},
              aware);
}

bool digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    const char c = s[i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "YYYY-MM-DDTHH:MM:SS[.f{1,6}]Z" with every field in range; anything else is left to strptime.
bool read_iso(std::string_view s, Civil& c) {
  if (s.size() < 20 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' || s[16] != ':' ||
      s.back() != 'Z') {
    return false;
  }
  if (!digits(s, 0, 4, c.year) || !digits(s, 5, 2, c.month) || !digits(s, 8, 2, c.day) ||
      !digits(s, 11, 2, c.hour) || !digits(s, 14, 2, c.minute) || !digits(s, 17, 2, c.second)) {
    return false;
  }
  c.microsecond = 0;
  if (s.size() > 20) {
    const std::size_t n = s.size() - 21;  // fraction digits between '.' and 'Z'
    if (s[19] != '.' || n < 1 || n > 6 || !digits(s, 20, n, c.microsecond)) return false;
    for (std::size_t i = n; i < 6; ++i) c.microsecond *= 10;
  }
  return c.year >= 1 && c.month >= 1 && c.month <= 12 && c.day >= 1 &&
         c.day <= days_in_month(c.year, c.month) && c.hour <= 23 && c.minute <= 59 &&
         c.second <= 59;
}

}  // namespace

bool init_fast_times() {
  PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

Ref datetime_from_ms(std::int64_t milliseconds, bool aware) {
  // Beyond the years datetime holds, the interpreter's own conversion reports the error.
  constexpr std::int64_t kYear10000 = 253402300800000;
  if (milliseconds < 0 || milliseconds >= kYear10000) {
    return with_zone(publish_time_to_datetime(milliseconds), aware);
  }
  const std::int64_t seconds = milliseconds / 1000;
  const std::int64_t days = seconds / 86400;
  const std::int64_t in_day = seconds % 86400;
  Civil c{};
  civil_from_days(days, c.year, c.month, c.day);
  c.hour = static_cast<int>(in_day / 3600);
  c.minute = static_cast<int>(in_day / 60 % 60);
  c.second = static_cast<int>(in_day % 60);
  c.microsecond = static_cast<int>(milliseconds % 1000) * 1000;
  return make(c, aware);
}

Ref definition_time(const std::optional<std::string>& text, bool aware) {
  if (!text) return Ref::borrow(Py_None);
  Civil c{};
  if (read_iso(*text, c)) return make(c, aware);
  return with_zone(parse_datetime_or_none(text), aware);
}

}  // namespace vantrel::py
