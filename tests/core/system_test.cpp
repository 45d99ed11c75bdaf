// The calendar fields the camera's clock command and the file names are built from.
#include "core/system.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "case_name.h"

namespace mardo {
namespace {

// Null: TZ unset, the system's own zone.
void set_zone(const char* zone) {
#ifdef _WIN32
  _putenv_s("TZ", zone != nullptr ? zone : "");
  _tzset();
#else
  if (zone != nullptr) {
    ::setenv("TZ", zone, 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
#endif
}

struct clock_case {
  std::string name;
  std::time_t when;
  bool local;  // in a zone 8 hours east of UTC
  int year, month, day, hour, minute, second, weekday;
};

class ClockFields : public testing::TestWithParam<clock_case> {};

TEST_P(ClockFields, MatchTheCalendar) {
  const clock_case& c = GetParam();
  std::optional<std::string> old_zone;
  if (const char* zone = std::getenv("TZ")) old_zone = zone;
  set_zone("CST-8");
  std::tm t{};
  const bool done = c.local ? local_time(c.when, t) : utc_time(c.when, t);
  set_zone(old_zone ? old_zone->c_str() : nullptr);

  ASSERT_TRUE(done);
  EXPECT_EQ(t.tm_year + 1900, c.year);
  EXPECT_EQ(t.tm_mon + 1, c.month);
  EXPECT_EQ(t.tm_mday, c.day);
  EXPECT_EQ(t.tm_hour, c.hour);
  EXPECT_EQ(t.tm_min, c.minute);
  EXPECT_EQ(t.tm_sec, c.second);
  EXPECT_EQ(t.tm_wday, c.weekday);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ClockFields,
    testing::Values(clock_case{"Epoch", 0, false, 1970, 1, 1, 0, 0, 0, 4},
                    clock_case{"LastSecondOf1999", 946684799, false, 1999, 12, 31, 23, 59, 59, 5},
                    clock_case{"LeapDayOf2000", 951782400, false, 2000, 2, 29, 0, 0, 0, 2},
                    clock_case{"PastThe32BitEnd", 2147483648, false, 2038, 1, 19, 3, 14, 8, 2},
                    clock_case{"LocalIsAlreadyTheNextYear", 946684799, true, 2000, 1, 1, 7, 59, 59,
                               6}),
    case_name());

}  // namespace
}  // namespace mardo
