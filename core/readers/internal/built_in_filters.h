// built_in_filters.h: the decompression filters a listing may use.
//
// libarchive decodes some filters itself and falls back to an external
// program for the rest (`lzop -d`, `grzip`, `lrzip` when it was built
// without their libraries). A preview or an indexer of an untrusted file
// must never start a program, so instead of "every filter" a reader gets
// each filter that this libarchive decodes in process, and no other.
//
//   readers_internal::enableBuiltInFilters(reader);
#pragma once

#include <string_view>
#include <vector>

struct archive;

namespace vexel::readers_internal {

// enableBuiltInFilters: enables on `reader` every filter libarchive decodes
// itself. Which those are is learnt once per process, from a scratch
// reader: a filter that would run a program is enabled with a warning.
void enableBuiltInFilters(archive* reader);

// builtInFilterNames: the names of the filters `enableBuiltInFilters`
// enables ("gzip", "bzip2", ...), for tests and diagnostics.
[[nodiscard]] std::vector<std::string_view> builtInFilterNames();

}  // namespace vexel::readers_internal
