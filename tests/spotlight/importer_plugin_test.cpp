#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "corefoundation/core_foundation.h"
#include "corefoundation/md_importer.h"
#include "importer_loader.h"
#include "support/command.h"
#include "support/skip.h"

namespace {

using vexel::test::factoryUUID;
using vexel::test::LoadedImporter;

// The instance record's documented layout, to watch its fields.
struct RecordView {
  const MDImporterInterfaceStruct* interface;
  CFUUIDRef factoryID;
  UInt32 refCount;
};

IUnknownVTbl** newInstance(const LoadedImporter& plugIn) {
  return static_cast<IUnknownVTbl**>(plugIn.factory()(kCFAllocatorDefault, kMDImporterTypeID));
}

TEST(ImporterPlugIn, FactoryMakesRegisteredInstancesOnlyForTheImporterType) {
  LoadedImporter plugIn(VEXEL_SPOTLIGHT_PLUGIN);
  ASSERT_NE(plugIn.factory(), nullptr);
  const CFIndex before = CFPlugInGetInstanceCountForFactory(factoryUUID());

  for (CFUUIDRef wrongType : {kMDImporterInterfaceID, IUnknownUUID, factoryUUID()}) {
    EXPECT_EQ(plugIn.factory()(kCFAllocatorDefault, wrongType), nullptr);
  }
  EXPECT_EQ(plugIn.factory()(kCFAllocatorDefault, nullptr), nullptr);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), before);

  IUnknownVTbl** first = newInstance(plugIn);
  IUnknownVTbl** second = newInstance(plugIn);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), before + 2);

  const auto* record = reinterpret_cast<const RecordView*>(first);
  // One static table for every instance, with the reserved slot empty.
  EXPECT_EQ(record->interface, reinterpret_cast<const RecordView*>(second)->interface);
  EXPECT_EQ(record->interface->_reserved, nullptr);
  EXPECT_EQ(record->refCount, 1U);
  EXPECT_TRUE(CFEqual(record->factoryID, factoryUUID()));
  // The record holds the only reference to its identifier.
  EXPECT_EQ(CFGetRetainCount(record->factoryID), 1);

  EXPECT_EQ((*first)->Release(first), 0U);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), before + 1);
  EXPECT_EQ((*second)->Release(second), 0U);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), before);
}

TEST(ImporterPlugIn, QueryInterfaceAnswersTheImporterAndIUnknownOnly) {
  LoadedImporter plugIn(VEXEL_SPOTLIGHT_PLUGIN);
  ASSERT_NE(plugIn.factory(), nullptr);
  struct Row {
    const char* name;
    CFUUIDRef interface;
    HRESULT result;
  };
  const CFUUIDRef unknown =
      CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x6E, 0xBC, 0x27, 0xC4, 0x89, 0x9C, 0x11,
                                     0xD8, 0x84, 0xAE, 0x00, 0x03, 0x93, 0x67, 0x26, 0xFD);
  const Row rows[] = {
      {"importer", kMDImporterInterfaceID, S_OK},
      {"IUnknown", IUnknownUUID, S_OK},
      {"importer type", kMDImporterTypeID, E_NOINTERFACE},
      {"one byte off the importer", unknown, E_NOINTERFACE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    IUnknownVTbl** instance = newInstance(plugIn);
    ASSERT_NE(instance, nullptr);
    const auto* record = reinterpret_cast<const RecordView*>(instance);
    void* out = &out;  // anything but null: the call must clear it
    EXPECT_EQ((*instance)->QueryInterface(instance, CFUUIDGetUUIDBytes(row.interface), &out),
              row.result);
    if (row.result == S_OK) {
      EXPECT_EQ(out, instance);
      EXPECT_EQ(record->refCount, 2U);
      EXPECT_EQ((*instance)->Release(instance), 1U);
    } else {
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(record->refCount, 1U);
    }
    EXPECT_EQ((*instance)->Release(instance), 0U);
  }
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), 0);
}

TEST(ImporterPlugIn, ReleaseToZeroUnregistersAndFreesOnce) {
  LoadedImporter plugIn(VEXEL_SPOTLIGHT_PLUGIN);
  ASSERT_NE(plugIn.factory(), nullptr);
  IUnknownVTbl** instance = newInstance(plugIn);
  ASSERT_NE(instance, nullptr);
  MDImporterInterfaceStruct** importer = nullptr;
  ASSERT_EQ((*instance)->QueryInterface(instance, CFUUIDGetUUIDBytes(kMDImporterInterfaceID),
                                        reinterpret_cast<LPVOID*>(&importer)),
            S_OK);
  EXPECT_EQ((*importer)->AddRef(importer), 3U);
  EXPECT_EQ((*importer)->Release(importer), 2U);
  EXPECT_EQ((*importer)->Release(importer), 1U);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), 1);
  // The last release frees the record; a second free would be caught by
  // the address sanitizer, and a leak of it by the leak checker.
  EXPECT_EQ((*instance)->Release(instance), 0U);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), 0);
}

// What a careless host might pass is refused without touching anything.
TEST(ImporterPlugIn, NullArgumentsAreRefused) {
  LoadedImporter plugIn(VEXEL_SPOTLIGHT_PLUGIN);
  ASSERT_NE(plugIn.factory(), nullptr);
  IUnknownVTbl** instance = newInstance(plugIn);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(
      (*instance)->QueryInterface(instance, CFUUIDGetUUIDBytes(kMDImporterInterfaceID), nullptr),
      E_NOINTERFACE);
  EXPECT_EQ(reinterpret_cast<const RecordView*>(instance)->refCount, 1U);

  auto** importer = reinterpret_cast<MDImporterInterfaceStruct**>(instance);
  CFMutableDictionaryRef attributes = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFStringRef path = CFSTR("/nonexistent/a.zip");
  EXPECT_FALSE(
      (*importer)->ImporterImportData(importer, nullptr, CFSTR("public.zip-archive"), path));
  EXPECT_FALSE((*importer)->ImporterImportData(importer, attributes, nullptr, path));
  EXPECT_FALSE((*importer)->ImporterImportData(importer, attributes, nullptr, nullptr));
  EXPECT_EQ(CFDictionaryGetCount(attributes), 0);
  CFRelease(attributes);
  EXPECT_EQ((*instance)->Release(instance), 0U);
}

void* noMemory(std::size_t /*size*/) { return nullptr; }

TEST(ImporterPlugIn, FactoryWithoutMemoryReturnsNullAndRegistersNothing) {
  LoadedImporter plugIn(VEXEL_SPOTLIGHT_TESTING_PLUGIN);
  ASSERT_NE(plugIn.factory(), nullptr);
  using SetAllocator = void (*)(void* (*)(std::size_t));
  const auto setAllocator =
      reinterpret_cast<SetAllocator>(plugIn.symbol("VexelSpotlightSetRecordAllocator"));
  ASSERT_NE(setAllocator, nullptr);

  setAllocator(noMemory);
  EXPECT_EQ(newInstance(plugIn), nullptr);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), 0);

  setAllocator(nullptr);
  IUnknownVTbl** instance = newInstance(plugIn);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(CFPlugInGetInstanceCountForFactory(factoryUUID()), 1);
  EXPECT_EQ((*instance)->Release(instance), 0U);
}

// The dynamic symbols a shared library defines, without those the toolchain
// itself may add to any shared object.
std::set<std::string> exportedNames(std::string_view library) {
  std::set<std::string> exported;
  const vexel::test::ProcessOutput listed =
      vexel::test::runProcess({"nm", "-D", "--defined-only", std::string(library)});
  EXPECT_EQ(listed.exitStatus, 0) << listed.err;
  std::istringstream lines(listed.out);
  for (std::string text; std::getline(lines, text);) {
    const size_t space = text.rfind(' ');
    exported.insert(space == std::string::npos ? text : text.substr(space + 1));
  }
  for (const char* standard : {"_init", "_fini", "_edata", "_end", "__bss_start"}) {
    exported.erase(standard);
  }
  return exported;
}

// The shipped library exports its factory and nothing else of its own.
TEST(ImporterPlugIn, ExportsOnlyTheFactory) {
  if (!vexel::test::hasTool("nm")) VEXEL_SKIP_UNLESS_CI() << "nm is not installed";
  EXPECT_EQ(exportedNames(VEXEL_SPOTLIGHT_PLUGIN),
            std::set<std::string>{"MetadataImporterPluginFactory"});
}

// The CoreFoundation stand-in exports the framework's names and nothing of
// ours (the text layer is linked into it). Debug builds also export the
// standard library's template instances, and ASan adds its ODR markers.
TEST(ImporterPlugIn, CoreFoundationExportsOnlyFrameworkNames) {
  if (!vexel::test::hasTool("nm")) VEXEL_SKIP_UNLESS_CI() << "nm is not installed";
  const std::set<std::string> exported = exportedNames(VEXEL_COREFOUNDATION_LIBRARY);
  EXPECT_TRUE(exported.contains("CFStringCreateWithCString"));
  for (const std::string& name : exported) {
    const bool framework = name.starts_with("CF") || name.starts_with("__CF") ||
                           name.starts_with("kCF") || name.starts_with("kMD");
    const bool ours = name.find("5vexel") != std::string::npos;  // in namespace vexel
    const bool toolchain = name.starts_with("__odr_asan") || (name.starts_with("_Z") && !ours);
    EXPECT_TRUE(framework || toolchain) << name;
  }
}

}  // namespace
