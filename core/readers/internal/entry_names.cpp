#include "entry_names.h"

#include <archive.h>
#include <archive_entry.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <utility>

#include "input_file.h"
#include "text/utf8.h"

namespace vexel::readers_internal {
namespace {

// nfc: `utf8` in Unicode normal form C, as libarchive hands back the names
// that a format marks as UTF-8; nothing when ICU fails.
std::optional<std::string> nfc(std::string_view utf8) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* normalizer = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return std::nullopt;
  const std::u16string input = text::toUtf16Lenient(utf8);
  std::u16string normal(input.size() * 3 + 1, u'\0');
  const int32_t length =
      unorm2_normalize(normalizer, input.data(), static_cast<int32_t>(input.size()), normal.data(),
                       static_cast<int32_t>(normal.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  std::string out(static_cast<std::size_t>(length) * 3 + 1, '\0');
  int32_t written = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &written, normal.data(), length,
              &status);
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<std::size_t>(written));
  return out;
}

// asListed: the stored name `stored` in the form libarchive lists it as
// `listed`, when the two are one name: as it is, with "\" made "/" (names
// from DOS tools without a "/"), or, for names marked UTF-8, in normal form
// C. The stored bytes are kept: only the separators follow libarchive.
std::optional<std::string> asListed(std::string_view stored, std::string_view listed,
                                    bool isMarkedUtf8) {
  listed = trimmedName(listed);
  std::string slashed(stored);
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  for (const std::string_view form : {stored, std::string_view(slashed)}) {
    if (trimmedName(form) == listed) return std::string(form);
  }
  if (!isMarkedUtf8) return std::nullopt;
  for (const std::string_view form : {stored, std::string_view(slashed)}) {
    const std::optional<std::string> normal = nfc(form);
    if (normal && trimmedName(*normal) == listed) return std::string(form);
  }
  return std::nullopt;
}

bool isUnicodeFormat(int format) {
  switch (format) {
    case ARCHIVE_FORMAT_7ZIP:
    case ARCHIVE_FORMAT_RAR_V5:
    case ARCHIVE_FORMAT_XAR:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string_view trimmedName(std::string_view name) noexcept {
  while (name.starts_with("./")) name.remove_prefix(2);
  while (name.starts_with('/')) name.remove_prefix(1);
  while (name.ends_with('/')) name.remove_suffix(1);
  if (name == ".") return {};
  return name;
}

EntryNames::EntryNames(InputFile& input, std::filesystem::path archive, bool isUtf8Locale)
    : mArchive(std::move(archive)), mIsUtf8Locale(isUtf8Locale), mZip(input) {}

NameRules EntryNames::rulesFor(archive* reader) {
  const int format = archive_format(reader) & ARCHIVE_FORMAT_BASE_MASK;
  const bool isUnix =
      format == ARCHIVE_FORMAT_TAR || format == ARCHIVE_FORMAT_CPIO || format == ARCHIVE_FORMAT_AR;
  return NameRules{
      .fallback = format == ARCHIVE_FORMAT_ZIP ? text::CodePage::cp437 : text::CodePage::cp1252,
      .isUnixArchive = isUnix,
  };
}

const ZipRecord* EntryNames::zipRecord(std::string_view listed, bool hasName, std::size_t ordinal) {
  if (!mIsZipUsable) return nullptr;
  const auto matches = [&](const ZipRecord* record) {
    if (record == nullptr) return false;
    // libarchive hands back no name for a flagged name that is not UTF-8.
    if (!hasName) return record->isUtf8 && !text::isValidUtf8(record->name);
    if (trimmedName(record->name) == trimmedName(listed)) return true;  // nearly always
    const bool isMarked = record->isUtf8 || record->unicodePath.has_value();
    return asListed(record->name, listed, isMarked).has_value() ||
           (record->unicodePath && asListed(*record->unicodePath, listed, true).has_value());
  };
  const ZipRecord* record = mZip.recordAt(ordinal);
  if (matches(record)) return record;
  // A directory out of offset order shows as a record that does not match.
  if (!mZip.isSortedWhole()) {
    mZip.sortAll();
    record = mZip.recordAt(ordinal);
    if (matches(record)) return record;
  }
  // Local and central names differ, or libarchive reads the archive some
  // other way: the names are taken as libarchive hands them back.
  mIsZipUsable = false;
  return nullptr;
}

bool EntryNames::read(archive* reader, archive_entry* entry, std::size_t ordinal, bool isDamaged,
                      StoredName& stored) {
  StoredNameView view;
  if (!readView(reader, entry, ordinal, isDamaged, view)) return false;
  stored.bytes.assign(view.bytes);
  stored.origin = view.origin;
  return true;
}

bool EntryNames::readView(archive* reader, archive_entry* entry, std::size_t ordinal,
                          bool isDamaged, StoredNameView& stored) {
  mExactModified.reset();
  mIsNamedAfterArchive = false;
  const int format = archive_format(reader) & ARCHIVE_FORMAT_BASE_MASK;
  // keep: `text`, trimmed, from a buffer of this object's own.
  const auto keep = [&](std::string_view text) {
    mScratch.assign(trimmedName(text));
    stored.bytes = mScratch;
  };
  const auto unnamed = [&] {
    // 7-Zip's name for an item without one, and a raw stream's one entry:
    // the archive's name without its last extension (notes.txt.gz lists notes.txt).
    if (isDamaged || archive_entry_filetype(entry) == AE_IFDIR) return false;
    // Each such file is a row of its own: the second is "name (2)".
    std::string own = mArchive.filename().stem().string();
    if (++mUnnamed > 1 && !own.empty()) own += " (" + std::to_string(mUnnamed) + ")";
    keep(own);
    stored.origin = NameOrigin::declaredUtf8;
    mIsNamedAfterArchive = !stored.bytes.empty();
    return mIsNamedAfterArchive;
  };
  if (format == ARCHIVE_FORMAT_RAW) return unnamed();

  const char* name = nullptr;
  if (mIsUtf8Locale) {
    name = archive_entry_pathname(entry);
    if (name == nullptr) name = archive_entry_pathname_utf8(entry);
  } else {
    name = archive_entry_pathname_utf8(entry);
    if (name == nullptr) name = archive_entry_pathname(entry);
  }
  const std::string_view listed = name != nullptr ? std::string_view(name) : std::string_view();

  stored.origin = NameOrigin::unmarked;
  if (format == ARCHIVE_FORMAT_ZIP) {
    if (const ZipRecord* record = zipRecord(listed, name != nullptr, ordinal)) {
      mExactModified = record->exactModified;
      if (record->name.empty() && listed.empty()) return unnamed();
      if (record->unicodePath) {
        keep(asListed(*record->unicodePath, listed, true).value_or(*record->unicodePath));
        stored.origin = NameOrigin::declaredUtf8;
      } else if (record->isUtf8) {
        // The stored bytes, not libarchive's NFC form: café.txt written
        // both ways is two entries.
        if (trimmedName(record->name) == trimmedName(listed)) {
          stored.bytes = trimmedName(listed);
        } else {
          keep(asListed(record->name, listed, true).value_or(record->name));
        }
        stored.origin = NameOrigin::declaredUtf8;
      } else {
        stored.bytes = trimmedName(listed);
      }
      return !stored.bytes.empty();
    }
  } else if (isUnicodeFormat(format)) {
    stored.origin = NameOrigin::declaredUtf8;
  } else if (format == ARCHIVE_FORMAT_TAR &&
             archive_format(reader) == ARCHIVE_FORMAT_TAR_PAX_INTERCHANGE &&
             text::isValidUtf8(listed)) {
    // A pax archive writes non-ASCII names as UTF-8 "path" records; one
    // that is not UTF-8 came as bytes ("hdrcharset=BINARY").
    stored.origin = NameOrigin::declaredUtf8;
  }
  // A name libarchive could not make (null) is no name stored empty, except
  // in 7z, where an item stored without a name comes back null (7-Zip's own
  // archives of standard input, Commons Compress' bla-nonames.7z).
  if (name == nullptr) return format == ARCHIVE_FORMAT_7ZIP && unnamed();
  if (listed.empty()) return unnamed();
  stored.bytes = trimmedName(listed);
  return !stored.bytes.empty();
}

}  // namespace vexel::readers_internal
