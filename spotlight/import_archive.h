// import_archive.h: the text extraction behind the importer plug-in.
//
// `VexelImportArchive` is the C entry that the plug-in's import slot calls;
// it forwards to `importArchive`, the only code that touches the archive
// core. The plug-in glue (factory, interface table) is importer_plugin.cpp.
//
//   if (VexelImportArchive(attributes, CFSTR("public.zip-archive"), path)) {
//     CFStringRef text = (CFStringRef)CFDictionaryGetValue(attributes, kMDItemTextContent);
//   }
//
// Runs on the calling thread and keeps no state: any number of imports may
// run at once on different threads with different dictionaries.
#pragma once

#include "corefoundation/core_foundation.h"
#include "spotlight/archive_text.h"

extern "C" {

// VexelImportArchive: `importArchive` with the same arguments. Never throws.
[[nodiscard]] Boolean VexelImportArchive(CFMutableDictionaryRef attributes,
                                         CFStringRef contentTypeUTI,
                                         CFStringRef pathToFile) noexcept;

}  // extern "C"

namespace vexel {

// importArchive: lists the archive at the file-system path `pathToFile`
// (listForIndexing: 10 seconds at most) and stores the paths of its entries, depth-first and
// one per line, in `attributes` under kMDItemTextContent: every path, or as
// many whole lines, in that order, as fit in kMaxTextContentBytes. True
// when the text was stored; false, with `attributes` untouched, when the
// file cannot be listed or no line fits (no entries). The content type is
// not used. Never throws.
[[nodiscard]] Boolean importArchive(CFMutableDictionaryRef attributes, CFStringRef contentTypeUTI,
                                    CFStringRef pathToFile) noexcept;

}  // namespace vexel
