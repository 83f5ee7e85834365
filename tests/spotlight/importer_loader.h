// importer_loader.h: the importer plug-in loaded as the host loads it.
//
//   vexel::test::LoadedImporter plugIn(VEXEL_SPOTLIGHT_PLUGIN);
//   void* instance = plugIn.factory()(kCFAllocatorDefault, kMDImporterTypeID);
//
// One object per test.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "corefoundation/core_foundation.h"
#include "corefoundation/md_importer.h"

namespace vexel::test {

// LoadedImporter: a plug-in opened with dlopen; its handle is closed on
// destruction.
class LoadedImporter {
 public:
  // Kept mapped after dlclose, as the host does: the archive core's
  // process-wide objects must stay reachable.
  explicit LoadedImporter(const char* file)
      : mHandle(dlopen(file, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
    if (mHandle == nullptr) ADD_FAILURE() << "dlopen " << file << ": " << dlerror();
  }
  ~LoadedImporter() {
    if (mHandle != nullptr) dlclose(mHandle);
  }
  LoadedImporter(const LoadedImporter&) = delete;
  LoadedImporter& operator=(const LoadedImporter&) = delete;

  [[nodiscard]] void* symbol(const char* name) const {
    return mHandle != nullptr ? dlsym(mHandle, name) : nullptr;
  }
  [[nodiscard]] MDImporterFactoryFunction factory() const {
    return reinterpret_cast<MDImporterFactoryFunction>(symbol("MetadataImporterPluginFactory"));
  }

 private:
  void* mHandle;
};

// The factory identifier the plug-in registers its instances under.
inline CFUUIDRef factoryUUID() {
  return CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0xFC, 0x64, 0x3D, 0x7A, 0x0A, 0x21,
                                        0x4D, 0x8A, 0xBB, 0x61, 0xBA, 0x51, 0x53, 0xFB, 0x42, 0xA6);
}

// importWith: runs one import through a fresh instance as the host does
// (factory, query, import, release to zero); the import slot's result.
inline bool importWith(const LoadedImporter& plugIn, CFMutableDictionaryRef attributes,
                       const std::string& path) {
  auto* instance =
      static_cast<IUnknownVTbl**>(plugIn.factory()(kCFAllocatorDefault, kMDImporterTypeID));
  EXPECT_NE(instance, nullptr);
  if (instance == nullptr) return false;
  MDImporterInterfaceStruct** importer = nullptr;
  EXPECT_EQ((*instance)->QueryInterface(instance, CFUUIDGetUUIDBytes(kMDImporterInterfaceID),
                                        reinterpret_cast<LPVOID*>(&importer)),
            S_OK);
  CFStringRef file = CFStringCreateWithFileSystemRepresentation(kCFAllocatorDefault, path.c_str());
  const bool imported =
      (*importer)->ImporterImportData(importer, attributes, CFSTR("public.data"), file) != 0;
  CFRelease(file);
  EXPECT_EQ((*instance)->Release(instance), 1U);
  EXPECT_EQ((*importer)->Release(importer), 0U);
  return imported;
}

// textContent: the kMDItemTextContent of `attributes`, or nothing.
inline std::optional<std::string> textContent(CFDictionaryRef attributes) {
  const void* value = CFDictionaryGetValue(attributes, kMDItemTextContent);
  if (value == nullptr) return std::nullopt;
  return std::string(CFStringGetCStringPtr(static_cast<CFStringRef>(value), kCFStringEncodingUTF8));
}

}  // namespace vexel::test
