// core_foundation.cpp: the objects, constant tables and plug-in registry
// behind core_foundation.h and md_importer.h.
//
// Every object starts with an `ObjectHeader` (type, retain count, whether it
// is a constant), and every object type is standard-layout, so a CFTypeRef
// and the header share an address.
#include "corefoundation/core_foundation.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "corefoundation/md_importer.h"
#include "text/utf8.h"

namespace {

enum TypeID : CFTypeID { kUUIDType = 1, kStringType, kDictionaryType };

struct ObjectHeader {
  ObjectHeader(CFTypeID type, bool constant) : typeID(type), isConstant(constant) {}
  CFTypeID typeID;
  std::atomic<CFIndex> retainCount{1};
  bool isConstant;
};

using UUIDKey = std::array<UInt8, 16>;

UUIDKey keyOf(const CFUUIDBytes& bytes) {
  UUIDKey key{};
  std::memcpy(key.data(), &bytes, key.size());
  return key;
}

struct UUIDKeyHash {
  size_t operator()(const UUIDKey& key) const noexcept {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
  }
};

}  // namespace

struct __CFAllocator {
  int unused;
};

struct __CFUUID {
  ObjectHeader header;
  CFUUIDBytes bytes;
};

struct __CFString {
  ~__CFString() { std::free(adopted); }

  ObjectHeader header;
  std::string owned;
  // The file-system bytes of a path string whose name is not UTF-8; a path
  // string whose name is UTF-8 is its text.
  std::optional<std::string> fileSystemBytes;
  // Bytes taken over without a copy (CFStringCreateWithCStringNoCopy),
  // NUL-terminated, freed with the string; null for a string that owns a copy.
  char* adopted = nullptr;
  // text: well-formed UTF-8 with a NUL after it, in `owned` or `adopted`.
  std::string_view text;
};

namespace {

// Keys are hashed and compared through the dictionary's own key callbacks;
// without them, by identity.
struct KeyHash {
  const CFDictionaryKeyCallBacks* callBacks;
  size_t operator()(const void* key) const {
    return callBacks->hash != nullptr ? callBacks->hash(key) : std::hash<const void*>{}(key);
  }
};

struct KeyEqual {
  const CFDictionaryKeyCallBacks* callBacks;
  bool operator()(const void* a, const void* b) const {
    if (a == b) return true;
    return callBacks->equal != nullptr && callBacks->equal(a, b) != 0;
  }
};

}  // namespace

struct __CFDictionary {
  __CFDictionary(const CFDictionaryKeyCallBacks& keys, const CFDictionaryValueCallBacks& values)
      : header(kDictionaryType, false),
        keyCallBacks(keys),
        valueCallBacks(values),
        entries(new Entries(0, KeyHash{&keyCallBacks}, KeyEqual{&keyCallBacks})) {}
  ~__CFDictionary() {
    for (const auto& [key, value] : *entries) {
      if (valueCallBacks.release != nullptr) valueCallBacks.release(nullptr, value);
      if (keyCallBacks.release != nullptr) keyCallBacks.release(nullptr, key);
    }
    delete entries;
  }
  __CFDictionary(const __CFDictionary&) = delete;
  __CFDictionary& operator=(const __CFDictionary&) = delete;

  ObjectHeader header;
  CFDictionaryKeyCallBacks keyCallBacks;
  CFDictionaryValueCallBacks valueCallBacks;
  // Behind a plain owning pointer: neither a map with stateful functors nor
  // (with clang) a unique_ptr keeps the record standard-layout, which the
  // casts between an object and its header need.
  using Entries = std::unordered_map<const void*, const void*, KeyHash, KeyEqual>;
  Entries* entries;
};

static_assert(std::is_standard_layout_v<__CFUUID>);
static_assert(std::is_standard_layout_v<__CFString>);
static_assert(std::is_standard_layout_v<__CFDictionary>);

namespace {

// Misuse that the real framework answers with a crash is made a clear one.
[[noreturn]] void fail(const char* function, const char* what) {
  std::fprintf(stderr, "%s: %s\n", function, what);
  std::abort();
}

ObjectHeader* headerOf(CFTypeRef cf, const char* function) {
  if (cf == nullptr) fail(function, "null object");
  // Every object type is standard-layout with the header first.
  return reinterpret_cast<ObjectHeader*>(const_cast<void*>(cf));
}

const __CFString* asString(CFStringRef string, const char* function) {
  if (headerOf(string, function)->typeID != kStringType) fail(function, "not a string");
  return string;
}

const __CFUUID* asUUID(CFUUIDRef uuid, const char* function) {
  if (headerOf(uuid, function)->typeID != kUUIDType) fail(function, "not a UUID");
  return uuid;
}

__CFDictionary* asDictionary(CFDictionaryRef dict, const char* function) {
  if (headerOf(dict, function)->typeID != kDictionaryType) fail(function, "not a dictionary");
  return const_cast<__CFDictionary*>(dict);
}

void destroy(ObjectHeader* header) {
  switch (header->typeID) {
    case kUUIDType:
      delete reinterpret_cast<__CFUUID*>(header);
      return;
    case kStringType:
      delete reinterpret_cast<__CFString*>(header);
      return;
    case kDictionaryType:
      delete reinterpret_cast<__CFDictionary*>(header);
      return;
  }
  fail("CFRelease", "unknown object type");
}

// The constant tables live for the whole process and are never destroyed,
// so constants stay valid (and reachable) until the very end.
struct ConstantUUIDTable {
  std::mutex lock;
  std::unordered_map<UUIDKey, __CFUUID*, UUIDKeyHash> uuids;
};

ConstantUUIDTable& constantUUIDs() {
  static auto* table = new ConstantUUIDTable;
  return *table;
}

struct ConstantStringTable {
  std::mutex lock;
  std::unordered_map<std::string_view, __CFString*> strings;  // views into the objects
};

ConstantStringTable& constantStrings() {
  static auto* table = new ConstantStringTable;
  return *table;
}

struct PlugInRegistry {
  std::mutex lock;
  std::unordered_map<UUIDKey, CFIndex, UUIDKeyHash> instanceCounts;
};

PlugInRegistry& plugInRegistry() {
  static auto* registry = new PlugInRegistry;
  return *registry;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const __CFAllocator systemDefaultAllocator{0};
const __CFAllocator mallocAllocator{0};

const void* retainCallBack(CFAllocatorRef /*allocator*/, const void* value) {
  return CFRetain(value);
}

void releaseCallBack(CFAllocatorRef /*allocator*/, const void* value) { CFRelease(value); }

CFStringRef newString(std::string text, bool constant,
                      std::optional<std::string> fileSystemBytes = std::nullopt) {
  auto* string = new __CFString{ObjectHeader(kStringType, constant), std::move(text),
                                std::move(fileSystemBytes)};
  string->text = string->owned;
  return string;
}

std::string_view fileSystemBytesOf(const __CFString* string) {
  return string->fileSystemBytes ? std::string_view(*string->fileSystemBytes) : string->text;
}

}  // namespace

extern "C" {

const CFAllocatorRef kCFAllocatorSystemDefault = &systemDefaultAllocator;
const CFAllocatorRef kCFAllocatorMalloc = &mallocAllocator;

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, retainCallBack, releaseCallBack, nullptr, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, retainCallBack, releaseCallBack, nullptr, CFEqual};

const CFStringRef kMDItemTextContent = CFSTR("kMDItemTextContent");

CFTypeRef CFRetain(CFTypeRef cf) {
  ObjectHeader* header = headerOf(cf, "CFRetain");
  if (!header->isConstant) header->retainCount.fetch_add(1, std::memory_order_relaxed);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  ObjectHeader* header = headerOf(cf, "CFRelease");
  if (header->isConstant) return;
  const CFIndex before = header->retainCount.fetch_sub(1, std::memory_order_acq_rel);
  if (before <= 0) fail("CFRelease", "object already freed");
  if (before == 1) destroy(header);
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  const ObjectHeader* header = headerOf(cf, "CFGetRetainCount");
  if (header->isConstant) return kCFRetainCountConstant;
  return header->retainCount.load(std::memory_order_relaxed);
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
  const ObjectHeader* a = headerOf(cf1, "CFEqual");
  const ObjectHeader* b = headerOf(cf2, "CFEqual");
  if (a == b) return true;
  if (a->typeID != b->typeID) return false;
  switch (a->typeID) {
    case kUUIDType:
      return std::memcmp(&static_cast<CFUUIDRef>(cf1)->bytes, &static_cast<CFUUIDRef>(cf2)->bytes,
                         sizeof(CFUUIDBytes)) == 0;
    case kStringType:
      // Two paths whose bytes differ are different strings, even where
      // their texts read alike.
      return static_cast<CFStringRef>(cf1)->text == static_cast<CFStringRef>(cf2)->text &&
             fileSystemBytesOf(static_cast<CFStringRef>(cf1)) ==
                 fileSystemBytesOf(static_cast<CFStringRef>(cf2));
    default:
      return false;
  }
}

CFHashCode CFHash(CFTypeRef cf) {
  const ObjectHeader* header = headerOf(cf, "CFHash");
  switch (header->typeID) {
    case kUUIDType:
      return UUIDKeyHash{}(keyOf(static_cast<CFUUIDRef>(cf)->bytes));
    case kStringType:
      return std::hash<std::string_view>{}(static_cast<CFStringRef>(cf)->text);
    default:
      return std::hash<const void*>{}(cf);
  }
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return headerOf(cf, "CFGetTypeID")->typeID; }

CFTypeID CFUUIDGetTypeID(void) { return kUUIDType; }

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef /*alloc*/, CFStringRef uuidStr) {
  if (uuidStr == nullptr) return nullptr;
  const std::string_view text = asString(uuidStr, "CFUUIDCreateFromString")->text;
  // 8-4-4-4-12 hex digits.
  if (text.size() != 36) return nullptr;
  UUIDKey key{};
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return nullptr;
      ++i;
      continue;
    }
    const int high = hexValue(text[i]);
    const int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return nullptr;
    key[byte++] = static_cast<UInt8>(high * 16 + low);
    i += 2;
  }
  CFUUIDBytes bytes;
  std::memcpy(&bytes, key.data(), key.size());
  return CFUUIDCreateFromUUIDBytes(nullptr, bytes);
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef /*alloc*/, CFUUIDBytes bytes) {
  return new __CFUUID{ObjectHeader(kUUIDType, false), bytes};
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef /*alloc*/, UInt8 byte0, UInt8 byte1,
                                         UInt8 byte2, UInt8 byte3, UInt8 byte4, UInt8 byte5,
                                         UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15) {
  const CFUUIDBytes bytes{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                          byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
  ConstantUUIDTable& table = constantUUIDs();
  const std::lock_guard<std::mutex> guard(table.lock);
  auto [it, inserted] = table.uuids.try_emplace(keyOf(bytes), nullptr);
  if (inserted) it->second = new __CFUUID{ObjectHeader(kUUIDType, true), bytes};
  return it->second;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) { return asUUID(uuid, "CFUUIDGetUUIDBytes")->bytes; }

CFTypeID CFStringGetTypeID(void) { return kStringType; }

CFStringRef CFStringCreateWithCString(CFAllocatorRef /*alloc*/, const char* cStr,
                                      CFStringEncoding encoding) {
  if (cStr == nullptr || encoding != kCFStringEncodingUTF8) return nullptr;
  std::string_view bytes(cStr);
  if (!vexel::text::isValidUtf8(bytes)) return nullptr;
  return newString(std::string(bytes), false);
}

CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef /*alloc*/, const char* cStr,
                                            CFStringEncoding encoding,
                                            CFAllocatorRef contentsDeallocator) {
  if (cStr == nullptr || encoding != kCFStringEncodingUTF8) return nullptr;
  if (contentsDeallocator != kCFAllocatorMalloc) return nullptr;  // the one deallocator known
  const std::string_view bytes(cStr);
  if (!vexel::text::isValidUtf8(bytes)) return nullptr;
  auto* string = new __CFString{ObjectHeader(kStringType, false), std::string(), std::nullopt};
  string->adopted = const_cast<char*>(cStr);
  string->text = bytes;
  return string;
}

CFStringRef CFStringCreateWithFileSystemRepresentation(CFAllocatorRef /*alloc*/,
                                                       const char* buffer) {
  if (buffer == nullptr) return nullptr;
  const std::string_view bytes(buffer);
  if (vexel::text::isValidUtf8(bytes)) return newString(std::string(bytes), false);
  return newString(vexel::text::decodeUtf8Lenient(bytes), false, std::string(bytes));
}

CFIndex CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string) {
  return static_cast<CFIndex>(
      fileSystemBytesOf(asString(string, "CFStringGetMaximumSizeOfFileSystemRepresentation"))
          .size() +
      1);
}

Boolean CFStringGetFileSystemRepresentation(CFStringRef string, char* buffer, CFIndex maxBufLen) {
  const std::string_view bytes =
      fileSystemBytesOf(asString(string, "CFStringGetFileSystemRepresentation"));
  if (buffer == nullptr || maxBufLen < 0 || bytes.size() >= static_cast<size_t>(maxBufLen)) {
    return false;
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  buffer[bytes.size()] = '\0';
  return true;
}

CFIndex CFStringGetLength(CFStringRef theString) {
  return static_cast<CFIndex>(
      vexel::text::utf16Length(asString(theString, "CFStringGetLength")->text));
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (encoding != kCFStringEncodingUTF8 || length < 0) return -1;
  // A UTF-16 unit takes at most three UTF-8 bytes (a surrogate pair, four).
  return length * 3;
}

const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
  const __CFString* string = asString(theString, "CFStringGetCStringPtr");
  return encoding == kCFStringEncodingUTF8 ? string->text.data() : nullptr;
}

Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  const std::string_view text = asString(theString, "CFStringGetCString")->text;
  if (encoding != kCFStringEncodingUTF8 || buffer == nullptr || bufferSize < 0 ||
      text.size() >= static_cast<size_t>(bufferSize)) {
    return false;
  }
  std::memcpy(buffer, text.data(), text.size() + 1);
  return true;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  if (cStr == nullptr || !vexel::text::isValidUtf8(cStr)) {
    fail("CFSTR", "text is not UTF-8");
  }
  ConstantStringTable& table = constantStrings();
  const std::lock_guard<std::mutex> guard(table.lock);
  if (auto it = table.strings.find(cStr); it != table.strings.end()) return it->second;
  CFStringRef string = newString(cStr, true);
  table.strings.emplace(string->text, const_cast<__CFString*>(string));
  return string;
}

CFTypeID CFDictionaryGetTypeID(void) { return kDictionaryType; }

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef /*allocator*/, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
  static const CFDictionaryKeyCallBacks noKeyCallBacks{};
  static const CFDictionaryValueCallBacks noValueCallBacks{};
  auto* dict = new __CFDictionary(keyCallBacks != nullptr ? *keyCallBacks : noKeyCallBacks,
                                  valueCallBacks != nullptr ? *valueCallBacks : noValueCallBacks);
  if (capacity > 0) dict->entries->reserve(static_cast<size_t>(capacity));
  return dict;
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
  __CFDictionary* dict = asDictionary(theDict, "CFDictionarySetValue");
  // Retain the new value before releasing the old one: they may be the same.
  if (dict->valueCallBacks.retain != nullptr) value = dict->valueCallBacks.retain(nullptr, value);
  if (auto it = dict->entries->find(key); it != dict->entries->end()) {
    const void* old = it->second;
    it->second = value;
    if (dict->valueCallBacks.release != nullptr) dict->valueCallBacks.release(nullptr, old);
    return;
  }
  if (dict->keyCallBacks.retain != nullptr) key = dict->keyCallBacks.retain(nullptr, key);
  dict->entries->emplace(key, value);
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
  const __CFDictionary* dict = asDictionary(theDict, "CFDictionaryGetValue");
  const auto it = dict->entries->find(key);
  return it != dict->entries->end() ? it->second : nullptr;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
  return static_cast<CFIndex>(asDictionary(theDict, "CFDictionaryGetCount")->entries->size());
}

void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID) {
  const UUIDKey key = keyOf(asUUID(factoryID, "CFPlugInAddInstanceForFactory")->bytes);
  PlugInRegistry& registry = plugInRegistry();
  const std::lock_guard<std::mutex> guard(registry.lock);
  ++registry.instanceCounts[key];
}

void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID) {
  const UUIDKey key = keyOf(asUUID(factoryID, "CFPlugInRemoveInstanceForFactory")->bytes);
  PlugInRegistry& registry = plugInRegistry();
  const std::lock_guard<std::mutex> guard(registry.lock);
  const auto it = registry.instanceCounts.find(key);
  if (it == registry.instanceCounts.end()) return;
  if (--it->second == 0) registry.instanceCounts.erase(it);
}

CFIndex CFPlugInGetInstanceCountForFactory(CFUUIDRef factoryID) {
  const UUIDKey key = keyOf(asUUID(factoryID, "CFPlugInGetInstanceCountForFactory")->bytes);
  PlugInRegistry& registry = plugInRegistry();
  const std::lock_guard<std::mutex> guard(registry.lock);
  const auto it = registry.instanceCounts.find(key);
  return it != registry.instanceCounts.end() ? it->second : 0;
}

}  // extern "C"
