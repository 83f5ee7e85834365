#include "foundation/date_formatter.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace vexel::platform {
namespace {

using namespace std::chrono;

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = getenv("TZ")) mOld = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (mOld) {
      setenv("TZ", mOld->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> mOld;
};

sys_seconds at(int y, unsigned mo, unsigned d, long h, long mi, long s) {
  return sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s);
}

TEST(DateFormatter, PatternInLocalTime) {
  DateFormatter formatter;
  formatter.setDateFormat("yyyy-MM-dd HH:mm");
  {
    ScopedTimeZone zone("UTC0");
    EXPECT_EQ(formatter.stringFromDate(at(2024, 3, 1, 14, 5, 59)), "2024-03-01 14:05");
    EXPECT_EQ(formatter.stringFromDate(sys_seconds(seconds(0))), "1970-01-01 00:00");
    EXPECT_EQ(formatter.stringFromDate(at(1969, 12, 31, 23, 59, 0)), "1969-12-31 23:59");
  }
  {
    ScopedTimeZone zone("CST-8");  // eight hours east of UTC, no daylight saving
    EXPECT_EQ(formatter.stringFromDate(at(2024, 3, 1, 20, 30, 0)), "2024-03-02 04:30");
  }
}

TEST(DateFormatter, QuotesLiteralsAndShortYear) {
  ScopedTimeZone zone("UTC0");
  DateFormatter formatter;
  formatter.setDateFormat("yy/M/d 'at' H:mm:ss ''");
  EXPECT_EQ(formatter.stringFromDate(at(2009, 7, 4, 8, 3, 9)), "09/7/4 at 8:03:09 '");
}

TEST(DateFormatter, DateBeyondTheCalendarIsEmpty) {
  DateFormatter formatter;
  formatter.setDateFormat("yyyy");
  EXPECT_EQ(
      formatter.stringFromDate(sys_seconds(seconds(std::numeric_limits<std::int64_t>::max()))), "");
}

}  // namespace
}  // namespace vexel::platform
