/* core_foundation_c_probe.c: the platform headers used from C, as an
 * importer written in C would use them. */
#include <stddef.h>

#include "corefoundation/md_importer.h"

int vexelCoreFoundationCProbe(void);

/* vexelCoreFoundationCProbe: 1 when a dictionary made from C keeps a text
 * under kMDItemTextContent and the importer identifiers are constants. */
int vexelCoreFoundationCProbe(void) {
  CFMutableDictionaryRef attributes = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFStringRef text = CFStringCreateWithCString(kCFAllocatorDefault, "a.txt", kCFStringEncodingUTF8);
  CFDictionarySetValue(attributes, kMDItemTextContent, text);
  CFRelease(text);
  const int kept =
      CFEqual(CFDictionaryGetValue(attributes, CFSTR("kMDItemTextContent")), CFSTR("a.txt"));
  CFRelease(attributes);
  const MDImporterInterfaceStruct table = {0};
  return kept && table.ImporterImportData == NULL && kMDImporterTypeID == kMDImporterTypeID &&
         CFEqual(IUnknownUUID, kMDImporterInterfaceID) == 0;
}
