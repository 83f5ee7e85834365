// date_formatter.h: points in time as text in the local time zone.
//
// `DateFormatter` writes a date through a pattern of field letters, as the
// platform's formatter does: "yyyy" year, "MM" month, "dd" day, "HH" hour
// (00-23), "mm" minute, "ss" second; text in single quotes and any other
// character is copied. The time zone is the process's local zone (TZ, else
// /etc/localtime), read when a date is formatted.
//
//   DateFormatter formatter;
//   formatter.setDateFormat("yyyy-MM-dd HH:mm");
//   formatter.stringFromDate(date);   // "2024-03-01 14:05"
//
// Threading: set the pattern before sharing; `stringFromDate` is then safe
// from any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace vexel::platform {

// DateFormatter: one date pattern; formats in the local time zone.
class DateFormatter {
 public:
  DateFormatter() = default;

  // setDateFormat: the pattern used from now on.
  void setDateFormat(std::string_view pattern) { mPattern = pattern; }
  [[nodiscard]] const std::string& dateFormat() const noexcept { return mPattern; }

  // stringFromDate: the date written through the pattern in local time; ""
  // when the date lies outside what the system calendar can represent.
  [[nodiscard]] std::string stringFromDate(std::chrono::sys_seconds date) const;

 private:
  std::string mPattern;
};

}  // namespace vexel::platform
