// standard_collator.h: the natural order of file names.
//
// `StandardCollator` compares names the way file listings order them: by
// the collation of the current locale, with runs of digits compared by
// numeric value ("a2" before "A10") and letter case deciding only when all
// else is equal. For sorting many names, take each name's sort key once and
// compare keys bytewise: the same order as `compare`, without calling the
// collator per comparison.
//
//   const auto& collator = StandardCollator::current();
//   collator.compare("a2.txt", "A10.txt");       // ComparisonResult::ascending
//   std::string key; collator.appendSortKey("a2.txt", key);
//
// The collator never changes once made; all operations are safe from any
// thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vexel::platform {

// ComparisonResult: the order of two values.
enum class ComparisonResult { ascending = -1, same = 0, descending = 1 };

// StandardCollator: a numeric-ordering collator for one locale.
class StandardCollator {
 public:
  // StandardCollator: a collator for the named ICU locale ("" is the root
  // order). The POSIX locale ("C") orders by code point with case first,
  // which is not a name order, so it gets the root order too.
  explicit StandardCollator(const std::string& locale);
  ~StandardCollator();
  StandardCollator(const StandardCollator&) = delete;
  StandardCollator& operator=(const StandardCollator&) = delete;

  // current: the process-wide collator of the current locale, made on first use.
  [[nodiscard]] static const StandardCollator& current();

  // compare: the order of two UTF-8 names (ill-formed bytes count as U+FFFD).
  [[nodiscard]] ComparisonResult compare(std::string_view a, std::string_view b) const;

  // appendSortKey: appends the name's sort key, ending in one 0 byte; keys of
  // two names compare bytewise as `compare` orders the names.
  void appendSortKey(std::string_view name, std::string& out) const;

  // locale: the ICU locale the collator was made for.
  [[nodiscard]] const std::string& locale() const noexcept { return mLocale; }

 private:
  struct Handle;
  std::unique_ptr<Handle> mHandle;
  std::string mLocale;
};

// localizedStandardCompare: `StandardCollator::current().compare(a, b)`.
[[nodiscard]] ComparisonResult localizedStandardCompare(std::string_view a, std::string_view b);

}  // namespace vexel::platform
