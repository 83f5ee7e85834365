#include "text/unicode_case.h"

#include <gtest/gtest.h>

#include <string>

namespace vexel::text {
namespace {

TEST(UnicodeCase, MapsWithoutLocaleTailoringAndDecodesLeniently) {
  struct Row {
    std::string text, lower, upper, folded;
  };
  const Row rows[] = {
      {"Tar.GZ", "tar.gz", "TAR.GZ", "tar.gz"},
      {"Straße", "straße", "STRASSE", "strasse"},  // full mapping: one letter becomes two
      {"İI", "i\u0307i", "İI", "i\u0307i"},        // no Turkish dotless i
      {"ΣΑΣ", "σας", "ΣΑΣ", "σασ"},                // final sigma in lower case only
      {"报告.ZIP", "报告.zip", "报告.ZIP", "报告.zip"},
      // Ill-formed bytes come out as U+FFFD, one per maximal subpart.
      {"A\xE2\x80Z\xFF", "a\uFFFDz\uFFFD", "A\uFFFDZ\uFFFD", "a\uFFFDz\uFFFD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(toLower(row.text), row.lower);
    EXPECT_EQ(toUpper(row.text), row.upper);
    EXPECT_EQ(foldCase(row.text), row.folded);
  }
  EXPECT_TRUE(containsCaseless("Wrong PASSWORD for Straße", "password for strasse"));
  EXPECT_FALSE(containsCaseless("encrypted", "decrypt"));
}

}  // namespace
}  // namespace vexel::text
