#include "corefoundation/core_foundation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "corefoundation/md_importer.h"

extern "C" int vexelCoreFoundationCProbe(void);

namespace {

TEST(CoreFoundationHeader, ServesCCode) { EXPECT_EQ(vexelCoreFoundationCProbe(), 1); }

CFUUIDBytes bytesOf(std::initializer_list<int> values) {
  CFUUIDBytes bytes{};
  auto* out = reinterpret_cast<UInt8*>(&bytes);
  for (const int value : values) *out++ = static_cast<UInt8>(value);
  return bytes;
}

bool sameBytes(const CFUUIDBytes& a, const CFUUIDBytes& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(CoreFoundationUUID, CreatesFromStringInEitherCaseAndRejectsMalformedText) {
  const CFUUIDBytes factory = bytesOf({0xFC, 0x64, 0x3D, 0x7A, 0x0A, 0x21, 0x4D, 0x8A, 0xBB, 0x61,
                                       0xBA, 0x51, 0x53, 0xFB, 0x42, 0xA6});
  for (const char* text :
       {"FC643D7A-0A21-4D8A-BB61-BA5153FB42A6", "fc643d7a-0a21-4d8a-bb61-ba5153fb42a6"}) {
    SCOPED_TRACE(text);
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
    CFUUIDRef uuid = CFUUIDCreateFromString(kCFAllocatorDefault, string);
    ASSERT_NE(uuid, nullptr);
    EXPECT_TRUE(sameBytes(CFUUIDGetUUIDBytes(uuid), factory));
    EXPECT_EQ(CFGetRetainCount(uuid), 1);
    CFRelease(uuid);
    CFRelease(string);
  }
  for (const char* text :
       {"", "FC643D7A-0A21-4D8A-BB61-BA5153FB42A", "FC643D7A0A21-4D8A-BB61-BA5153FB42A6-",
        "FC643D7A-0A21-4D8A-BB61-BA5153FB42AG", "{FC643D7A-0A21-4D8A-BB61-BA5153FB42}"}) {
    SCOPED_TRACE(text);
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
    EXPECT_EQ(CFUUIDCreateFromString(kCFAllocatorDefault, string), nullptr);
    CFRelease(string);
  }
}

TEST(CoreFoundationUUID, ConstantsAreOneObjectPerValueAndNeverCounted) {
  CFUUIDRef importerType = kMDImporterTypeID;
  EXPECT_EQ(importerType, kMDImporterTypeID);
  EXPECT_NE(importerType, kMDImporterInterfaceID);
  // The allocator does not make a second object for the same bytes.
  EXPECT_EQ(IUnknownUUID, CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0, 0, 0, 0, 0, 0, 0,
                                                         0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46));
  CFRetain(importerType);
  CFRelease(importerType);
  CFRelease(importerType);
  EXPECT_EQ(CFGetRetainCount(importerType), kCFRetainCountConstant);
  EXPECT_TRUE(sameBytes(CFUUIDGetUUIDBytes(importerType),
                        bytesOf({0x8B, 0x08, 0xC4, 0xBF, 0x41, 0x5B, 0x11, 0xD8, 0xB3, 0xF9, 0x00,
                                 0x03, 0x93, 0x67, 0x26, 0xFC})));

  // A created UUID with the same bytes is another object, equal to it.
  CFUUIDRef created =
      CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, CFUUIDGetUUIDBytes(importerType));
  EXPECT_NE(created, importerType);
  EXPECT_TRUE(CFEqual(created, importerType));
  EXPECT_EQ(CFHash(created), CFHash(importerType));
  EXPECT_FALSE(CFEqual(created, kMDImporterInterfaceID));
  CFRelease(created);
}

TEST(CoreFoundationUUID, ConstantTableGivesOneObjectAcrossThreads) {
  constexpr int kThreads = 4;
  std::vector<CFUUIDRef> seen(kThreads * 100);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < 100; ++i) {
        seen[static_cast<size_t>(t * 100 + i)] = CFUUIDGetConstantUUIDWithBytes(
            kCFAllocatorDefault, 0x11, 0x22, 0x33, static_cast<UInt8>(i), 0, 0, 0, 0, 0, 0, 0, 0, 0,
            0, 0, 0x77);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 1; t < kThreads; ++t) {
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(seen[static_cast<size_t>(t * 100 + i)], seen[static_cast<size_t>(i)]);
    }
  }
}

TEST(CoreFoundationObject, RetainAndReleaseCountAndCompareByContent) {
  CFStringRef a =
      CFStringCreateWithCString(kCFAllocatorDefault, "归档/a.txt", kCFStringEncodingUTF8);
  CFStringRef b =
      CFStringCreateWithCString(kCFAllocatorDefault, "归档/a.txt", kCFStringEncodingUTF8);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(CFRetain(a), a);
  EXPECT_EQ(CFGetRetainCount(a), 2);
  CFRelease(a);
  EXPECT_EQ(CFGetRetainCount(a), 1);
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_EQ(CFHash(a), CFHash(b));
  EXPECT_FALSE(CFEqual(a, kMDImporterTypeID));
  EXPECT_EQ(CFGetTypeID(a), CFStringGetTypeID());
  EXPECT_EQ(CFGetTypeID(kMDImporterTypeID), CFUUIDGetTypeID());
  CFRelease(a);
  CFRelease(b);
}

TEST(CoreFoundationString, KeepsWellFormedUtf8AndRefusesTheRest) {
  struct Row {
    const char* bytes;
    bool wellFormed;
    CFIndex utf16Length;
  };
  const Row rows[] = {
      {"", true, 0},
      {"docs/readme.txt", true, 15},
      {"文件.txt", true, 6},
      {"\xF0\x9F\x93\xA6", true, 2},  // outside the BMP: a surrogate pair
      {"\xFF", false, 0},
      {"\xC0\xAF", false, 0},          // overlong "/"
      {"\xED\xA0\x80", false, 0},      // a surrogate
      {"\xF4\x90\x80\x80", false, 0},  // above U+10FFFF
      {"abc\xE6\x96", false, 0},       // cut short
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, row.bytes, kCFStringEncodingUTF8);
    ASSERT_EQ(string != nullptr, row.wellFormed);
    if (string == nullptr) continue;
    EXPECT_STREQ(CFStringGetCStringPtr(string, kCFStringEncodingUTF8), row.bytes);
    EXPECT_EQ(CFStringGetLength(string), row.utf16Length);
    const auto size = static_cast<CFIndex>(std::strlen(row.bytes));
    std::string buffer(static_cast<size_t>(size) + 1, 'x');
    EXPECT_FALSE(CFStringGetCString(string, buffer.data(), size, kCFStringEncodingUTF8));
    EXPECT_TRUE(CFStringGetCString(string, buffer.data(), size + 1, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer.c_str(), row.bytes);

    // Taken over without a copy: the same bytes, freed with the string.
    char* adopted = strdup(row.bytes);
    CFStringRef taken = CFStringCreateWithCStringNoCopy(kCFAllocatorDefault, adopted,
                                                        kCFStringEncodingUTF8, kCFAllocatorMalloc);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(CFStringGetCStringPtr(taken, kCFStringEncodingUTF8), adopted);
    EXPECT_EQ(CFStringGetLength(taken), row.utf16Length);
    EXPECT_TRUE(CFEqual(taken, string));
    EXPECT_EQ(CFHash(taken), CFHash(string));
    CFRelease(taken);
    CFRelease(string);
  }
  // Refused bytes stay the caller's (the sanitizers see a leak or a double free).
  for (const char* refused : {"abc\xE6\x96", "\xFF"}) {
    char* bytes = strdup(refused);
    EXPECT_EQ(CFStringCreateWithCStringNoCopy(kCFAllocatorDefault, bytes, kCFStringEncodingUTF8,
                                              kCFAllocatorMalloc),
              nullptr);
    std::free(bytes);
  }
}

// A path string keeps the bytes of a name that is not UTF-8: its text shows
// U+FFFD, and the file system gets the name back exactly.
TEST(CoreFoundationString, PathsKeepTheirFileSystemBytes) {
  const struct {
    const char* bytes;
    const char* text;
  } rows[] = {
      {"/tmp/a.zip", "/tmp/a.zip"},
      {"/tmp/文件.zip", "/tmp/文件.zip"},
      {"/tmp/M\xfcller.zip", "/tmp/M\xEF\xBF\xBDller.zip"},
      {"/tmp/M\xfdller.zip", "/tmp/M\xEF\xBF\xBDller.zip"},
  };
  std::vector<CFStringRef> strings;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    CFStringRef path = CFStringCreateWithFileSystemRepresentation(kCFAllocatorDefault, row.bytes);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(CFStringGetCStringPtr(path, kCFStringEncodingUTF8), row.text);
    const CFIndex size = CFStringGetMaximumSizeOfFileSystemRepresentation(path);
    EXPECT_EQ(size, static_cast<CFIndex>(std::strlen(row.bytes) + 1));
    std::string buffer(static_cast<size_t>(size), 'x');
    EXPECT_FALSE(CFStringGetFileSystemRepresentation(path, buffer.data(), size - 1));
    EXPECT_TRUE(CFStringGetFileSystemRepresentation(path, buffer.data(), size));
    EXPECT_STREQ(buffer.c_str(), row.bytes);
    strings.push_back(path);
  }
  // Same text, different bytes: different strings. A UTF-8 path string is
  // the same as that text made any other way.
  EXPECT_FALSE(CFEqual(strings[2], strings[3]));
  CFStringRef utf8 =
      CFStringCreateWithCString(kCFAllocatorDefault, "/tmp/文件.zip", kCFStringEncodingUTF8);
  EXPECT_TRUE(CFEqual(strings[1], utf8));
  EXPECT_EQ(CFHash(strings[1]), CFHash(utf8));
  CFRelease(utf8);
  for (CFStringRef string : strings) CFRelease(string);
}

TEST(CoreFoundationString, ConstantStringsAreOneObjectPerText) {
  EXPECT_EQ(CFSTR("kMDItemTextContent"), kMDItemTextContent);
  EXPECT_EQ(CFSTR("public.data"), CFSTR("public.data"));
  EXPECT_STREQ(CFStringGetCStringPtr(kMDItemTextContent, kCFStringEncodingUTF8),
               "kMDItemTextContent");
  CFRelease(kMDItemTextContent);
  EXPECT_EQ(CFGetRetainCount(kMDItemTextContent), kCFRetainCountConstant);
}

TEST(CoreFoundationDictionary, RetainsKeysAndValuesAndComparesKeysByContent) {
  CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFStringRef key =
      CFStringCreateWithCString(kCFAllocatorDefault, "kMDItemTextContent", kCFStringEncodingUTF8);
  CFStringRef first = CFStringCreateWithCString(kCFAllocatorDefault, "a", kCFStringEncodingUTF8);
  CFStringRef second = CFStringCreateWithCString(kCFAllocatorDefault, "b", kCFStringEncodingUTF8);

  CFDictionarySetValue(dict, key, first);
  EXPECT_EQ(CFGetRetainCount(key), 2);
  EXPECT_EQ(CFGetRetainCount(first), 2);
  // An equal key (the constant) finds and replaces the same entry.
  EXPECT_EQ(CFDictionaryGetValue(dict, kMDItemTextContent), first);
  CFDictionarySetValue(dict, kMDItemTextContent, second);
  EXPECT_EQ(CFDictionaryGetCount(dict), 1);
  EXPECT_EQ(CFGetRetainCount(first), 1);
  EXPECT_EQ(CFGetRetainCount(second), 2);
  EXPECT_EQ(CFDictionaryGetValue(dict, key), second);
  // Setting the value already there keeps it alive.
  CFDictionarySetValue(dict, key, second);
  EXPECT_EQ(CFGetRetainCount(second), 2);
  EXPECT_EQ(CFDictionaryGetValue(dict, first), nullptr);

  CFRelease(dict);
  EXPECT_EQ(CFGetRetainCount(key), 1);
  EXPECT_EQ(CFGetRetainCount(second), 1);
  CFRelease(key);
  CFRelease(first);
  CFRelease(second);
}

TEST(CoreFoundationDictionary, WithoutCallBacksKeysAreIdentitiesAndNothingIsRetained) {
  CFMutableDictionaryRef dict = CFDictionaryCreateMutable(kCFAllocatorDefault, 4, nullptr, nullptr);
  CFStringRef key = CFStringCreateWithCString(kCFAllocatorDefault, "k", kCFStringEncodingUTF8);
  CFStringRef equalKey = CFStringCreateWithCString(kCFAllocatorDefault, "k", kCFStringEncodingUTF8);
  CFDictionarySetValue(dict, key, kMDItemTextContent);
  EXPECT_EQ(CFGetRetainCount(key), 1);
  EXPECT_EQ(CFDictionaryGetValue(dict, key), kMDItemTextContent);
  EXPECT_EQ(CFDictionaryGetValue(dict, equalKey), nullptr);
  CFRelease(dict);
  CFRelease(key);
  CFRelease(equalKey);
}

TEST(CoreFoundationPlugIn, CountsInstancesPerFactoryByUUIDValue) {
  CFUUIDRef factory = CFUUIDCreateFromUUIDBytes(
      kCFAllocatorDefault, bytesOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
  CFUUIDRef sameFactory =
      CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, CFUUIDGetUUIDBytes(factory));
  CFUUIDRef other = CFUUIDCreateFromUUIDBytes(
      kCFAllocatorDefault, bytesOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 17}));

  CFPlugInAddInstanceForFactory(factory);
  CFPlugInAddInstanceForFactory(sameFactory);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 2);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(other), 0);
  CFPlugInRemoveInstanceForFactory(factory);
  CFPlugInRemoveInstanceForFactory(sameFactory);
  // Removing more than was added leaves the count at zero.
  CFPlugInRemoveInstanceForFactory(factory);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(sameFactory), 0);
  CFPlugInAddInstanceForFactory(factory);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factory), 1);
  CFPlugInRemoveInstanceForFactory(factory);

  CFRelease(factory);
  CFRelease(sameFactory);
  CFRelease(other);
}

}  // namespace
