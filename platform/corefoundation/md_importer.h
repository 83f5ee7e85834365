/* md_importer.h: the metadata importer plug-in interface and its attribute
 * keys, under the platform's names.
 *
 * An importer library exports a factory that the host calls with
 * kMDImporterTypeID; the instance answers QueryInterface for
 * kMDImporterInterfaceID with a pointer to a pointer to an
 * MDImporterInterfaceStruct, whose import slot fills an attribute dictionary.
 *
 *   MDImporterInterfaceStruct** importer = NULL;
 *   (*instance)->QueryInterface(instance, CFUUIDGetUUIDBytes(kMDImporterInterfaceID),
 *                               (LPVOID*)&importer);
 *   (*importer)->ImporterImportData(importer, attributes, contentType, path);
 *
 * Threading: as core_foundation.h.
 */
#ifndef VEXEL_PLATFORM_MD_IMPORTER_H
#define VEXEL_PLATFORM_MD_IMPORTER_H

#include "corefoundation/core_foundation.h"

CF_EXTERN_C_BEGIN

/* The plug-in type that importer factories are asked for. */
#define kMDImporterTypeID                                                                       \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x8B, 0x08, 0xC4, 0xBF, 0x41, 0x5B, 0x11, \
                                 0xD8, 0xB3, 0xF9, 0x00, 0x03, 0x93, 0x67, 0x26, 0xFC)
/* The interface whose import slot receives a file path. */
#define kMDImporterInterfaceID                                                                  \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x6E, 0xBC, 0x27, 0xC4, 0x89, 0x9C, 0x11, \
                                 0xD8, 0x84, 0xAE, 0x00, 0x03, 0x93, 0x67, 0x26, 0xFC)

/* MDImporterInterfaceStruct: the importer's interface table. The import
 * slot returns true when it set attributes. */
typedef struct MDImporterInterfaceStruct {
  IUNKNOWN_C_GUTS;
  Boolean (*ImporterImportData)(void* thisInterface, CFMutableDictionaryRef attributes,
                                CFStringRef contentTypeUTI, CFStringRef pathToFile);
} MDImporterInterfaceStruct;

/* MetadataImporterPluginFactory: the signature of an importer's factory. */
typedef void* (*MDImporterFactoryFunction)(CFAllocatorRef allocator, CFUUIDRef typeID);

/* kMDItemTextContent: the attribute holding a file's text content (a string). */
CF_EXPORT extern const CFStringRef kMDItemTextContent;

CF_EXTERN_C_END

#endif /* VEXEL_PLATFORM_MD_IMPORTER_H */
