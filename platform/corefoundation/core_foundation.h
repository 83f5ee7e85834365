/* core_foundation.h: the small part of the CoreFoundation C API that the
 * importer plug-in and its host call, under the platform's names.
 *
 * Reference-counted objects (UUIDs, strings, mutable dictionaries) with
 * CFRetain/CFRelease, the constant UUID table, the COM-style types of
 * plug-in interfaces and the plug-in instance registry. Everything lives in
 * one shared library, libvexel_corefoundation.so, so that a host and the
 * plug-ins it loads see one registry and one object model, as with the real
 * framework. The importer's own interface is md_importer.h.
 *
 *   CFUUIDRef factory = CFUUIDCreateFromString(kCFAllocatorDefault,
 *       CFSTR("FC643D7A-0A21-4D8A-BB61-BA5153FB42A6"));
 *   CFPlugInAddInstanceForFactory(factory);
 *   ...
 *   CFPlugInRemoveInstanceForFactory(factory);
 *   CFRelease(factory);
 *
 * Threading: retain counts are atomic; the constant-UUID and constant-string
 * tables and the instance registry are guarded by locks, so any function may
 * be called from any thread. A mutable dictionary must not be changed while
 * another thread uses it.
 */
#ifndef VEXEL_PLATFORM_CORE_FOUNDATION_H
#define VEXEL_PLATFORM_CORE_FOUNDATION_H

#include <stdint.h>

#if defined(__cplusplus)
#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#else
#define CF_EXTERN_C_BEGIN
#define CF_EXTERN_C_END
#endif

#define CF_EXPORT __attribute__((visibility("default")))

CF_EXTERN_C_BEGIN

/* Scalar types. */
typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef UInt32 CFStringEncoding;

#define kCFStringEncodingUTF8 ((CFStringEncoding)0x08000100)

/* Opaque objects. */
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFUUID* CFUUIDRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;

/* Objects of any type. */

/* CFRetain: adds one to the retain count of `cf` (which must not be null)
 * and returns it. Constant objects ignore it. */
CF_EXPORT CFTypeRef CFRetain(CFTypeRef cf);
/* CFRelease: takes one from the retain count of `cf` (which must not be
 * null); the object is destroyed when it reaches zero. Constant objects
 * ignore it. */
CF_EXPORT void CFRelease(CFTypeRef cf);
/* CFGetRetainCount: the current retain count; constant objects report
 * kCFRetainCountConstant whatever is done to them. */
CF_EXPORT CFIndex CFGetRetainCount(CFTypeRef cf);
#define kCFRetainCountConstant ((CFIndex)0x0FFFFFFFFFFFFFFFL)
/* CFEqual: whether two objects are of one type with equal contents (UUID
 * bytes, string bytes); dictionaries are equal only to themselves. */
CF_EXPORT Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
/* CFHash: a hash consistent with CFEqual. */
CF_EXPORT CFHashCode CFHash(CFTypeRef cf);
/* CFGetTypeID: the type of `cf`, to compare with CFStringGetTypeID() etc. */
CF_EXPORT CFTypeID CFGetTypeID(CFTypeRef cf);

/* Allocators: accepted everywhere for the platform's signatures; every
 * object comes from the C++ heap whichever is given. */
#define kCFAllocatorDefault ((CFAllocatorRef)0)
CF_EXPORT extern const CFAllocatorRef kCFAllocatorSystemDefault;
/* kCFAllocatorMalloc: memory from malloc, given back with free. */
CF_EXPORT extern const CFAllocatorRef kCFAllocatorMalloc;

/* UUIDs. */
typedef struct {
  UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
  UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;

CF_EXPORT CFTypeID CFUUIDGetTypeID(void);
/* CFUUIDCreateFromString: a new UUID (retain count 1) from text of the form
 * "FC643D7A-0A21-4D8A-BB61-BA5153FB42A6" (hex digits in either case); null
 * when the text is not of that form. */
CF_EXPORT CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr);
/* CFUUIDCreateFromUUIDBytes: a new UUID (retain count 1) with these bytes. */
CF_EXPORT CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
/* CFUUIDGetConstantUUIDWithBytes: the constant UUID with these bytes: the
 * same object every time for the same bytes, never freed, not to be released
 * by the caller. */
CF_EXPORT CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1,
                                                   UInt8 byte2, UInt8 byte3, UInt8 byte4,
                                                   UInt8 byte5, UInt8 byte6, UInt8 byte7,
                                                   UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                                   UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                                   UInt8 byte14, UInt8 byte15);
/* CFUUIDGetUUIDBytes: the 16 bytes of `uuid`, in storage order. */
CF_EXPORT CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);

/* Strings: UTF-8 text. */
CF_EXPORT CFTypeID CFStringGetTypeID(void);
/* CFStringCreateWithCString: a new string (retain count 1) from the
 * NUL-terminated bytes; null when they are not well-formed in `encoding`
 * (only kCFStringEncodingUTF8 is known). */
CF_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                                CFStringEncoding encoding);
/* CFStringCreateWithCStringNoCopy: a new string (retain count 1) that takes
 * over the NUL-terminated bytes instead of copying them and gives them back
 * to `contentsDeallocator` when it is freed (only kCFAllocatorMalloc is
 * known). Null when the bytes are not well-formed in `encoding`; the caller
 * then still owns them. */
CF_EXPORT CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char* cStr,
                                                      CFStringEncoding encoding,
                                                      CFAllocatorRef contentsDeallocator);
/* CFStringGetLength: the length in UTF-16 code units. */
CF_EXPORT CFIndex CFStringGetLength(CFStringRef theString);
/* CFStringGetMaximumSizeForEncoding: the most bytes `length` UTF-16 units
 * can take in `encoding`, without the terminating NUL. */
CF_EXPORT CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
/* CFStringGetCStringPtr: the string's NUL-terminated bytes in `encoding`
 * when they can be had without copying (here: always for UTF-8), else null.
 * Valid while the string lives. */
CF_EXPORT const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
/* CFStringGetCString: copies the string with a NUL into `buffer`; false
 * when it does not fit in `bufferSize` bytes or the encoding is unknown. */
CF_EXPORT Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                     CFStringEncoding encoding);
/* CFStringCreateWithFileSystemRepresentation: a new string (retain count 1)
 * naming the file at the NUL-terminated path `buffer`. The platform's file
 * names are bytes: a name that is not UTF-8 reads as text with U+FFFD for
 * the bad bytes, and the string keeps the bytes themselves for
 * CFStringGetFileSystemRepresentation. Null for a null buffer. */
CF_EXPORT CFStringRef CFStringCreateWithFileSystemRepresentation(CFAllocatorRef alloc,
                                                                 const char* buffer);
/* CFStringGetMaximumSizeOfFileSystemRepresentation: the bytes a buffer for
 * CFStringGetFileSystemRepresentation needs, the NUL included. */
CF_EXPORT CFIndex CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string);
/* CFStringGetFileSystemRepresentation: copies the path the string names,
 * with a NUL, into `buffer`: the bytes it was made from, or its UTF-8 text.
 * False when it does not fit in `maxBufLen` bytes. */
CF_EXPORT Boolean CFStringGetFileSystemRepresentation(CFStringRef string, char* buffer,
                                                      CFIndex maxBufLen);
/* __CFStringMakeConstantString: the constant string with this text, the
 * same object for the same text; what CFSTR expands to. */
CF_EXPORT CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

/* Dictionaries. */
typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
  CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;
typedef struct {
  CFIndex version;
  CFDictionaryRetainCallBack retain;
  CFDictionaryReleaseCallBack release;
  CFDictionaryCopyDescriptionCallBack copyDescription;
  CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;

/* The callbacks for CF objects: keys and values retained, keys compared
 * with CFEqual and hashed with CFHash. */
CF_EXPORT extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
CF_EXPORT extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

CF_EXPORT CFTypeID CFDictionaryGetTypeID(void);
/* CFDictionaryCreateMutable: a new empty dictionary (retain count 1). Keys
 * and values are handled by the callbacks given; null callbacks mean
 * pointers compared by identity and not retained. `capacity` is a hint. */
CF_EXPORT CFMutableDictionaryRef CFDictionaryCreateMutable(
    CFAllocatorRef allocator, CFIndex capacity, const CFDictionaryKeyCallBacks* keyCallBacks,
    const CFDictionaryValueCallBacks* valueCallBacks);
/* CFDictionarySetValue: sets `key` to `value`, replacing (and releasing) a
 * value already there. */
CF_EXPORT void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key,
                                    const void* value);
/* CFDictionaryGetValue: the value for `key` (not retained for the caller),
 * or null. */
CF_EXPORT const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);
/* CFDictionaryGetCount: the number of keys. */
CF_EXPORT CFIndex CFDictionaryGetCount(CFDictionaryRef theDict);

/* COM-style plug-in interfaces. */
typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;

#define S_OK ((HRESULT)0x00000000L)
#define E_NOINTERFACE ((HRESULT)0x80000004L)

/* The interface every plug-in instance answers. */
#define IUnknownUUID                                                                            \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorSystemDefault, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, \
                                 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)

/* The first four slots of every interface table. */
#define IUNKNOWN_C_GUTS                                                  \
  void* _reserved;                                                       \
  HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
  ULONG (*AddRef)(void* thisPointer);                                    \
  ULONG (*Release)(void* thisPointer)

typedef struct IUnknownVTbl {
  IUNKNOWN_C_GUTS;
} IUnknownVTbl;

/* Plug-in instance registry: how many instances of each factory live. */

/* CFPlugInAddInstanceForFactory: counts one more live instance of the
 * factory `factoryID`. */
CF_EXPORT void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID);
/* CFPlugInRemoveInstanceForFactory: counts one fewer; a factory with no
 * registered instance is left alone. */
CF_EXPORT void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID);
/* CFPlugInGetInstanceCountForFactory: the number of live instances
 * registered for `factoryID`. Not in the platform's API: the registry made
 * visible for hosts and tests. */
CF_EXPORT CFIndex CFPlugInGetInstanceCountForFactory(CFUUIDRef factoryID);

CF_EXTERN_C_END

#endif /* VEXEL_PLATFORM_CORE_FOUNDATION_H */
