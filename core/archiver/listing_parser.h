// listing_parser.h: reads an external archiver's technical listing.
//
// The listing is key " = " value lines in blocks: the archive's block ends
// at a line of ten hyphens, then one block per entry, blocks separated by an
// empty line. `ListingParser::parse` turns it into the records that the
// in-process lister makes (raw_entry.h, archive_properties.h) and gives every
// file a compressed size: shared out within its solid block, or estimated
// from the archive's overall ratio (`fillPackedSizes`). It never fails:
// unreadable lines are skipped and missing values take defaults. A value
// that the archiver prints over several lines between "{" and "}" (an
// archive comment) is one value: none of its lines is read as a key, a
// block start or the separator. `forEachEntryBlock` hands over the entry
// blocks' lines as they stand, for callers that need more than the records.
//
//   const vexel::RunResult listing = vexel::ProcessRunner::run("/usr/bin/7zz", {"l", "-slt",
//   file}); auto [properties, entries] = vexel::ListingParser::parse(listing.stdout);
//   vexel::ArchiveTree tree(std::move(properties), std::move(entries));
//
// Dates ("yyyy-MM-dd HH:mm:ss") are wall-clock times of the system time
// zone as it was when the first date was read. Every member may be called
// from any thread at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/archive_properties.h"
#include "model/raw_entry.h"

namespace vexel {

// ListingParser: the tool listing parser (static operations only).
class ListingParser {
 public:
  ListingParser() = delete;

  // Result: the archive's properties (`raw` holds every line of its block)
  // and the entries in listing order.
  struct Result {
    ArchiveProperties properties;
    std::vector<RawEntry> entries;
  };

  // KeyValue: a key and its value, both views into the line they came from.
  using KeyValue = std::pair<std::string_view, std::string_view>;

  // parse: the properties and entries that `listing` describes. A text
  // without a line of exactly ten hyphens gives the defaults and no entries.
  // The archive block is the last one (after the last "--" line); blocks
  // before it describe containers, such as the volumes of a split archive,
  // and give `volumes` and `isMultiVolume` when the last block does not.
  // Reports nothing and throws nothing but std::bad_alloc.
  [[nodiscard]] static Result parse(std::string_view listing);

  // forEachEntryBlock: calls `visit` once per entry block that holds a
  // key/value line, in listing order, with that block's key/value lines as
  // they stand (repeated keys, unknown keys and unclean paths included), cut
  // into blocks exactly as `parse` cuts them. The views are valid during
  // the call only. Throws only what `visit` throws, and std::bad_alloc.
  static void forEachEntryBlock(std::string_view listing,
                                const std::function<void(std::span<const KeyValue>)>& visit);

  // keyValue: `line` cut at its first " = ", or a key and an empty value
  // when it ends with " =" instead; nullopt for any other line. Neither
  // part is trimmed.
  [[nodiscard]] static std::optional<KeyValue> keyValue(std::string_view line) noexcept;
  // The views would dangle.
  static std::optional<KeyValue> keyValue(std::string&& line) = delete;

  // fillPackedSizes: gives every file (folders are left alone) a packed
  // size. Within a solid block, the largest packed size listed for the
  // block is shared out in proportion to the files' sizes, replacing what
  // they had; files still without one get their size times the archive's
  // ratio (`physicalSize` over all files' sizes, at most 1; 1 when unknown).
  // Results are truncated toward zero and clamped to the 64-bit range.
  static void fillPackedSizes(std::vector<RawEntry>& entries, std::int64_t physicalSize);

  // readDate: `text` of exactly "yyyy-MM-dd HH:mm:ss" as local wall-clock
  // time; nullopt when it is not a valid date in that form.
  [[nodiscard]] static std::optional<std::chrono::sys_seconds> readDate(
      std::string_view text) noexcept;
};

}  // namespace vexel
