// local_time.h: reading "yyyy-MM-dd HH:mm:ss" as wall-clock time of the
// system time zone, as that zone was when first used.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace vexel::archiver_internal {

// readLocalDateTime: the instant that `text` (exactly "yyyy-MM-dd HH:mm:ss",
// proleptic Gregorian, year 0001 to 9999) names in the local time zone.
// A wall-clock time that occurs twice (clocks set back) is the later
// instant; one that a forward jump skips is read with the offset before the
// jump. nullopt for anything else, out-of-range fields included. The zone
// is captured on the first call (thread-safe) and never re-read: later
// changes of TZ or of /etc/localtime do not reach it. Thread-safe, lock-free
// after the first call.
[[nodiscard]] std::optional<std::chrono::sys_seconds> readLocalDateTime(
    std::string_view text) noexcept;

}  // namespace vexel::archiver_internal
