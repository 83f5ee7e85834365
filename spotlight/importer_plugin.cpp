// importer_plugin.cpp: the plug-in glue: the exported factory, the instance
// record and the one static interface table, all plain C-callable functions.
//
// The host calls the factory once per instance, queries the importer
// interface, imports any number of files and releases the instance until its
// count reaches zero. Nothing here throws out: any failure becomes a null
// result or an error code. The reference count is a plain counter; the host
// uses an instance from one thread at a time.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "corefoundation/core_foundation.h"
#include "corefoundation/md_importer.h"
#include "internal/cf_ref.h"
#include "internal/record_allocator.h"
#include "spotlight/import_archive.h"

namespace {

// ImporterRecord: one live instance. The interface pointer comes first: the
// host treats a pointer to the record as a pointer to a pointer to the table.
// It lives in malloc'd memory and owns one retain of `factoryID`.
struct ImporterRecord {
  ImporterRecord() = default;
  ImporterRecord(const ImporterRecord&) = delete;
  ImporterRecord& operator=(const ImporterRecord&) = delete;

  const MDImporterInterfaceStruct* interface;
  CFUUIDRef factoryID;
  UInt32 refCount;
};
static_assert(std::is_standard_layout_v<ImporterRecord> &&
              offsetof(ImporterRecord, interface) == 0);

}  // namespace

extern "C" {

static HRESULT QueryInterface(void* thisPointer, REFIID iid, LPVOID* ppv) noexcept;
static ULONG AddRef(void* thisPointer) noexcept;
static ULONG Release(void* thisPointer) noexcept;
static Boolean ImportData(void* thisInterface, CFMutableDictionaryRef attributes,
                          CFStringRef contentTypeUTI, CFStringRef pathToFile) noexcept;

// One read-only table shared by every instance.
static const MDImporterInterfaceStruct kInterfaceTable = {
    ._reserved = nullptr,
    .QueryInterface = QueryInterface,
    .AddRef = AddRef,
    .Release = Release,
    .ImporterImportData = ImportData,
};

// MetadataImporterPluginFactory: a new instance (count 1, registered under
// the factory identifier) when asked for the importer type; null for any
// other type or when the instance cannot be made, with nothing registered.
__attribute__((visibility("default"))) void* MetadataImporterPluginFactory(
    CFAllocatorRef /*allocator*/, CFUUIDRef typeID) noexcept;

void* MetadataImporterPluginFactory(CFAllocatorRef /*allocator*/, CFUUIDRef typeID) noexcept {
  using vexel::spotlight_internal::CFRef;
  try {
    if (typeID == nullptr || !CFEqual(typeID, kMDImporterTypeID)) return nullptr;
    // The factory identifier that the plug-in's registration names.
    const CFRef<CFUUIDRef> factoryID(
        CFUUIDCreateFromString(kCFAllocatorDefault, CFSTR("FC643D7A-0A21-4D8A-BB61-BA5153FB42A6")));
    if (!factoryID) return nullptr;
    void* memory = vexel::spotlight_internal::allocateRecord(sizeof(ImporterRecord));
    if (memory == nullptr) return nullptr;  // nothing registered yet
    auto* record = new (memory) ImporterRecord;
    record->interface = &kInterfaceTable;
    record->factoryID = static_cast<CFUUIDRef>(CFRetain(factoryID.get()));
    record->refCount = 1;
    CFPlugInAddInstanceForFactory(factoryID.get());
    return record;
  } catch (...) {
    return nullptr;
  }
}

static HRESULT QueryInterface(void* thisPointer, REFIID iid, LPVOID* ppv) noexcept {
  using vexel::spotlight_internal::CFRef;
  auto* record = static_cast<ImporterRecord*>(thisPointer);
  if (ppv != nullptr) *ppv = nullptr;
  try {
    const CFRef<CFUUIDRef> interfaceID(CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, iid));
    if (!interfaceID || ppv == nullptr) return E_NOINTERFACE;
    if (CFEqual(interfaceID.get(), kMDImporterInterfaceID) ||
        CFEqual(interfaceID.get(), IUnknownUUID)) {
      // Counted here, not through the AddRef slot.
      record->refCount += 1;
      *ppv = record;
      return S_OK;
    }
    return E_NOINTERFACE;
  } catch (...) {
    return E_NOINTERFACE;
  }
}

static ULONG AddRef(void* thisPointer) noexcept {
  auto* record = static_cast<ImporterRecord*>(thisPointer);
  record->refCount += 1;
  return record->refCount;
}

static ULONG Release(void* thisPointer) noexcept {
  auto* record = static_cast<ImporterRecord*>(thisPointer);
  record->refCount -= 1;
  const UInt32 count = record->refCount;
  if (count == 0) {
    // Unregister before the identifier goes: the registry reads it.
    CFPlugInRemoveInstanceForFactory(record->factoryID);
    CFRelease(record->factoryID);
    record->~ImporterRecord();
    std::free(record);
  }
  return count;
}

static Boolean ImportData(void* /*thisInterface*/, CFMutableDictionaryRef attributes,
                          CFStringRef contentTypeUTI, CFStringRef pathToFile) noexcept {
  return VexelImportArchive(attributes, contentTypeUTI, pathToFile);
}

}  // extern "C"
