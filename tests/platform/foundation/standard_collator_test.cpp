#include "foundation/standard_collator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vexel::platform {
namespace {

std::vector<std::string> sortedByKeys(const StandardCollator& collator,
                                      std::vector<std::string> names) {
  std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    std::string ka, kb;
    collator.appendSortKey(a, ka);
    collator.appendSortKey(b, kb);
    return ka < kb;
  });
  return names;
}

TEST(StandardCollator, DigitsByValueCaseOnlyAsTieBreak) {
  for (const char* locale : {"", "C", "en_US_POSIX", "en_US", "zh_CN", "de"}) {
    SCOPED_TRACE(locale);
    const StandardCollator collator(locale);
    EXPECT_EQ(sortedByKeys(collator, {"b.txt", "A10.txt", "a2.txt"}),
              (std::vector<std::string>{"a2.txt", "A10.txt", "b.txt"}));
    EXPECT_EQ(sortedByKeys(collator, {"file10", "File9", "file1", "file009b"}),
              (std::vector<std::string>{"file1", "File9", "file009b", "file10"}));
    EXPECT_EQ(collator.compare("a2", "a10"), ComparisonResult::ascending);
    EXPECT_EQ(collator.compare("B", "a"), ComparisonResult::descending);
    EXPECT_EQ(collator.compare("Readme", "readme"), ComparisonResult::descending);
    EXPECT_NE(collator.compare("a", "A"), ComparisonResult::same);
    EXPECT_EQ(collator.compare("same", "same"), ComparisonResult::same);
  }
}

TEST(StandardCollator, SortKeysAgreeWithCompare) {
  const StandardCollator collator("");
  const std::vector<std::string> names = {"a",   "A",   "a2",       "a10",  "a02",  "Z",
                                          "é",   "e",   "f",        "项目", "文件", "",
                                          "x y", "x-y", "\xff\xfe", "9",    "10"};
  for (const std::string& a : names) {
    for (const std::string& b : names) {
      SCOPED_TRACE(a + " | " + b);
      std::string ka, kb;
      collator.appendSortKey(a, ka);
      collator.appendSortKey(b, kb);
      const int byKeys = ka < kb ? -1 : (ka == kb ? 0 : 1);
      EXPECT_EQ(byKeys, static_cast<int>(collator.compare(a, b)));
      EXPECT_EQ(ka.back(), '\0');
    }
  }
}

TEST(StandardCollator, PosixLocaleGetsTheRootOrder) {
  EXPECT_EQ(StandardCollator("C").locale(), "");
  EXPECT_EQ(StandardCollator("en_US_POSIX").locale(), "");
  EXPECT_EQ(localizedStandardCompare("a2", "A10"), ComparisonResult::ascending);
}

}  // namespace
}  // namespace vexel::platform
