#include "python/fast_times.hpp"

#include <Python.h>
#include <datetime.h>

#include <string_view>

#include "market/iso_time.hpp"
#include "python/times.hpp"

namespace vantrel::py {

namespace {

Ref make(const CivilTime& c, bool aware) {
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
  CivilTime c{};
  civil_from_days(days, c.year, c.month, c.day);
  c.hour = static_cast<int>(in_day / 3600);
  c.minute = static_cast<int>(in_day / 60 % 60);
  c.second = static_cast<int>(in_day % 60);
  c.microsecond = static_cast<int>(milliseconds % 1000) * 1000;
  return make(c, aware);
}

Ref definition_time(const std::optional<std::string>& text, bool aware) {
  if (!text) return Ref::borrow(Py_None);
  CivilTime c{};
  if (read_iso_time(*text, c)) return make(c, aware);
  return with_zone(parse_datetime_or_none(text), aware);
}

}  // namespace vantrel::py
