#include "local_time.h"

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vexel::archiver_internal {
namespace {

using std::int64_t;

constexpr int64_t kDay = 86400;
// The captured span: 1900-01-01 to 2100-01-01 UTC. Outside it the offsets
// at its ends hold, which is what the zone's rules give there as well to
// within a daylight-saving hour.
constexpr int64_t kFirstDay = -25567;
constexpr int64_t kEndDay = 47482;

int64_t liveOffsetAt(int64_t t) noexcept {
  const time_t when = static_cast<time_t>(t);
  tm parts{};
  if (localtime_r(&when, &parts) == nullptr) return 0;
  return parts.tm_gmtoff;
}

// Zone: the UTC offsets of the local zone over the captured span, as a
// sorted list of changes. Built once by sampling the C library's zone every
// day and locating each change to the second.
class Zone {
 public:
  Zone() {
    tzset();
    int64_t previous = liveOffsetAt(kFirstDay * kDay);
    mInitial = previous;
    for (int64_t day = kFirstDay + 1; day <= kEndDay; ++day) {
      const int64_t t = day * kDay;
      const int64_t offset = liveOffsetAt(t);
      if (offset == previous) continue;
      // The change lies in (t - kDay, t]: find its first second.
      int64_t lo = t - kDay, hi = t;
      while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (liveOffsetAt(mid) == previous ? lo : hi) = mid;
      }
      mChanges.push_back({hi, offset});
      previous = offset;
    }
  }

  // offsetAt: the offset in effect at UTC second `t`.
  [[nodiscard]] int64_t offsetAt(int64_t t) const noexcept {
    const auto after = std::upper_bound(mChanges.begin(), mChanges.end(), t,
                                        [](int64_t when, const Change& c) { return when < c.at; });
    return after == mChanges.begin() ? mInitial : std::prev(after)->offset;
  }

 private:
  struct Change {
    int64_t at;      ///< first UTC second with the new offset
    int64_t offset;  ///< seconds east of UTC from then on
  };
  int64_t mInitial = 0;
  std::vector<Change> mChanges;
};

const Zone& zone() {
  static const Zone instance;  // one-time, thread-safe initialisation
  return instance;
}

// Two digits at `at`, or -1.
int twoDigits(std::string_view s, size_t at) noexcept {
  const auto d = [&](size_t k) { return static_cast<int>(static_cast<unsigned char>(s[k])) - '0'; };
  const int a = d(at), b = d(at + 1);
  if (a < 0 || a > 9 || b < 0 || b > 9) return -1;
  return a * 10 + b;
}

}  // namespace

std::optional<std::chrono::sys_seconds> readLocalDateTime(std::string_view text) noexcept {
  using namespace std::chrono;
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':') {
    return std::nullopt;
  }
  const int century = twoDigits(text, 0), yy = twoDigits(text, 2), month = twoDigits(text, 5),
            dayOfMonth = twoDigits(text, 8), hour = twoDigits(text, 11),
            minute = twoDigits(text, 14), second = twoDigits(text, 17);
  if (century < 0 || yy < 0 || month < 1 || month > 12 || dayOfMonth < 1 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  const year_month_day date{year(century * 100 + yy),
                            std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(dayOfMonth))};
  if (century * 100 + yy == 0 || !date.ok()) return std::nullopt;

  const int64_t local = static_cast<int64_t>(sys_days(date).time_since_epoch().count()) * kDay +
                        hour * 3600 + minute * 60 + second;
  const Zone& z = zone();
  // Offsets never reach a day, and changes are more than two days apart, so
  // the offsets a day either side are the only candidates.
  const int64_t before = z.offsetAt(local - kDay - kDay / 16);
  const int64_t after = z.offsetAt(local + kDay + kDay / 16);
  const bool beforeFits = z.offsetAt(local - before) == before;
  const bool afterFits = z.offsetAt(local - after) == after;
  int64_t utc = local - before;  // also the reading inside a skipped hour
  if (afterFits && (!beforeFits || local - after > utc)) utc = local - after;
  return sys_seconds(seconds(utc));
}

}  // namespace vexel::archiver_internal
