// The stream's times: every day a datetime holds, counted one by one, against the day
// arithmetic; epoch milliseconds to civil times and back through the text the stream writes.
#include <doctest/doctest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "market/times.hpp"
#include "messages/message_store.hpp"

using vantrel::CivilTime;

namespace {

bool leap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int month_days(int year, int month) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

std::string iso_text(const CivilTime& c, const char* zone) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06d%s", c.year, c.month, c.day,
                c.hour, c.minute, c.second, c.microsecond, zone);
  return text;
}

constexpr std::int64_t kYear1 = -62135596800000;      // 0001-01-01T00:00:00Z
constexpr std::int64_t kYear10000 = 253402300800000;  // 10000-01-01T00:00:00Z

}  // namespace

TEST_CASE("every day from year 1 to 9999 is the next day of the one before") {
  int year = 1;
  int month = 1;
  int day = 1;
  const std::int64_t first = vantrel::days_from_civil(1, 1, 1);
  CHECK(first * 86400000 == kYear1);
  for (std::int64_t d = first; d * 86400000 < kYear10000; ++d) {
    int y = 0;
    int m = 0;
    int dd = 0;
    vantrel::civil_from_days(d, y, m, dd);
    if (y != year || m != month || dd != day || vantrel::days_from_civil(y, m, dd) != d) {
      FAIL_CHECK("day " << d << " reads as " << y << "-" << m << "-" << dd << ", counted " << year
                        << "-" << month << "-" << day);
      return;
    }
    if (++day > month_days(year, month)) {
      day = 1;
      if (++month > 12) {
        month = 1;
        ++year;
      }
    }
  }
  CHECK(year == 10000);
}

TEST_CASE("epoch milliseconds read as the civil time whose text reads back as them") {
  for (const std::int64_t ms :
       {kYear1, kYear1 + 1, std::int64_t{-86400001}, std::int64_t{-1}, std::int64_t{0},
        std::int64_t{1}, std::int64_t{86399999}, std::int64_t{951782400000},
        std::int64_t{1709251199999}, std::int64_t{4107542400000}, kYear10000 - 1}) {
    CAPTURE(ms);
    CivilTime c{};
    REQUIRE(vantrel::civil_from_ms(ms, c));
    CHECK(c.microsecond % 1000 == 0);
    CHECK(vantrel::iso_time_ms(iso_text(c, "Z")) == ms);
    // The same instant written an hour and a half east of UTC, where that still has a year.
    CivilTime east{};
    if (vantrel::civil_from_ms(ms + 5400000, east)) {
      CHECK(vantrel::iso_time_ms(iso_text(east, "+01:30")) == ms);
    }
  }
  CivilTime c{};
  CHECK(vantrel::civil_from_ms(-1, c));
  CHECK((c.year == 1969 && c.month == 12 && c.day == 31 && c.hour == 23 && c.minute == 59 &&
         c.second == 59 && c.microsecond == 999000));
  CHECK_FALSE(vantrel::civil_from_ms(kYear1 - 1, c));
  CHECK_FALSE(vantrel::civil_from_ms(kYear10000, c));
}

TEST_CASE("an offset carries the microseconds and may not leave the years a datetime holds") {
  CivilTime c{};
  REQUIRE(vantrel::read_iso_time("2023-12-31T23:30:00.123456-01:00", c));
  CHECK(iso_text(c, "Z") == "2024-01-01T00:30:00.123456Z");
  REQUIRE(vantrel::read_iso_time("2024-03-01T00:30:00+01:00", c));
  CHECK(iso_text(c, "Z") == "2024-02-29T23:30:00.000000Z");
  CHECK(vantrel::read_iso_time("0001-01-01T01:00:00+01:00", c));
  CHECK_FALSE(vantrel::read_iso_time("0001-01-01T00:59:59.999999+01:00", c));
  CHECK(vantrel::read_iso_time("9999-12-31T22:59:59.999999-01:00", c));
  CHECK_FALSE(vantrel::read_iso_time("9999-12-31T23:00:00-01:00", c));
}

TEST_CASE("the last publish time a load takes is the last millisecond a datetime holds") {
  CivilTime c{};
  REQUIRE(vantrel::civil_from_ms(vantrel::kLastPublishTime, c));
  CHECK(iso_text(c, "Z") == "9999-12-31T23:59:59.999000Z");
  CHECK_FALSE(vantrel::civil_from_ms(vantrel::kLastPublishTime + 1, c));
}
