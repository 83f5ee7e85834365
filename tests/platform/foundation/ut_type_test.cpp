#include "foundation/ut_type.h"

#include <gtest/gtest.h>

namespace vexel::platform {
namespace {

TEST(UTType, EveryPackageExtensionIsADeclaredPackage) {
  for (const char* ext :
       {"app", "appex", "bundle", "framework", "plugin", "kext", "prefpane", "qlgenerator",
        "mdimporter", "saver", "xpc", "rtfd", "pkg", "mpkg", "photoslibrary", "scptd", "APP"}) {
    SCOPED_TRACE(ext);
    const auto type = UTType::typeWithFilenameExtension(ext, UTType::package());
    ASSERT_TRUE(type);
    EXPECT_TRUE(type->isDeclared());
    EXPECT_TRUE(type->conformsTo(UTType::package()));
    EXPECT_FALSE(type->conformsTo(UTType::data()));
  }
  EXPECT_EQ(UTType::typeWithFilenameExtension("app", UTType::package())->identifier(),
            "com.apple.application-bundle");
  EXPECT_EQ(*UTType::typeWithFilenameExtension("app", UTType::package()),
            UTType::applicationBundle());
}

TEST(UTType, UnclaimedExtensionsGetDynamicUndeclaredTypes) {
  struct Row {
    const char* ext;
    const UTType& supertype;
  };
  const Row rows[] = {{"zzz", UTType::package()},
                      {"txt", UTType::package()},
                      {"zzz", UTType::data()},
                      {"Zip", UTType::package()}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.ext) + " as " + row.supertype.identifier());
    const auto type = UTType::typeWithFilenameExtension(row.ext, row.supertype);
    ASSERT_TRUE(type);
    EXPECT_FALSE(type->isDeclared());
    EXPECT_TRUE(type->identifier().starts_with("dyn."));
    EXPECT_TRUE(type->conformsTo(row.supertype));
    EXPECT_TRUE(type->conformsTo(UTType::item()));
    EXPECT_FALSE(type->conformsTo(UTType::folder()));
    // The same question gives the same identifier.
    EXPECT_EQ(UTType::typeWithFilenameExtension(row.ext, row.supertype)->identifier(),
              type->identifier());
  }
  EXPECT_NE(UTType::typeWithFilenameExtension("zzz", UTType::data())->identifier(),
            UTType::typeWithFilenameExtension("zzy", UTType::data())->identifier());
  EXPECT_FALSE(UTType::typeWithFilenameExtension("", UTType::data()));
}

TEST(UTType, DataTypesAndConformance) {
  struct Row {
    const char* ext;
    const char* identifier;
  };
  const Row rows[] = {{"txt", "public.plain-text"},
                      {"JPG", "public.jpeg"},
                      {"jpeg", "public.jpeg"},
                      {"zip", "public.zip-archive"},
                      {"md", "net.daringfireball.markdown"},
                      {"cpp", "public.c-plus-plus-source"},
                      {"pdf", "com.adobe.pdf"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.ext);
    const auto type = UTType::typeWithFilenameExtension(row.ext, UTType::data());
    ASSERT_TRUE(type);
    EXPECT_EQ(type->identifier(), row.identifier);
    EXPECT_TRUE(type->isDeclared());
    EXPECT_TRUE(type->conformsTo(UTType::data()));
    EXPECT_FALSE(type->conformsTo(UTType::package()));
  }
  EXPECT_TRUE(UTType::folder().conformsTo(UTType::directory()));
  EXPECT_FALSE(UTType::folder().conformsTo(UTType::package()));
  EXPECT_TRUE(UTType::package().conformsTo(UTType::directory()));
  EXPECT_FALSE(UTType::data().conformsTo(UTType::folder()));
  EXPECT_EQ(UTType::typeWithIdentifier("public.folder"), UTType::folder());
  EXPECT_FALSE(UTType::typeWithIdentifier("no.such.type"));
  EXPECT_EQ(UTType::typeWithFilenameExtension("txt", UTType::data())->preferredFilenameExtension(),
            "txt");
}

}  // namespace
}  // namespace vexel::platform
