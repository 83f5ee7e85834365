#include "foundation/ut_type.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <unordered_map>
#include <unordered_set>

namespace vexel::platform {
namespace {

struct Declaration {
  std::string_view identifier;
  std::vector<std::string_view> supertypes;
  std::vector<std::string_view> extensions;
};

// The declared types: abstract bases first, then packages, then file types.
const std::vector<Declaration>& declarations() {
  static const std::vector<Declaration> table = {
      {"public.item", {}, {}},
      {"public.content", {"public.item"}, {}},
      {"public.data", {"public.item"}, {}},
      {"public.directory", {"public.item"}, {}},
      {"public.folder", {"public.directory"}, {}},
      {"com.apple.package", {"public.directory"}, {}},
      {"com.apple.bundle", {"com.apple.package"}, {"bundle"}},
      {"public.executable", {"public.item"}, {}},
      {"com.apple.application", {"public.executable"}, {}},
      {"public.text", {"public.data", "public.content"}, {}},
      {"public.image", {"public.data", "public.content"}, {}},
      {"public.audiovisual-content", {"public.data", "public.content"}, {}},
      {"public.audio", {"public.audiovisual-content"}, {}},
      {"public.movie", {"public.audiovisual-content"}, {}},
      {"public.archive", {"public.data"}, {}},
      {"public.composite-content", {"public.content"}, {}},
      {"public.source-code", {"public.plain-text"}, {}},
      {"public.script", {"public.source-code"}, {}},
      {"public.disk-image", {"public.archive"}, {}},

      // Folders with these extensions are shown as single items.
      {"com.apple.application-bundle",
       {"com.apple.application", "com.apple.bundle", "com.apple.package"},
       {"app"}},
      {"com.apple.application-and-system-extension",
       {"com.apple.bundle", "com.apple.package"},
       {"appex"}},
      {"com.apple.framework", {"com.apple.bundle", "com.apple.package"}, {"framework"}},
      {"com.apple.plugin", {"com.apple.bundle", "com.apple.package"}, {"plugin"}},
      {"com.apple.kernel-extension", {"com.apple.bundle", "com.apple.package"}, {"kext"}},
      {"com.apple.systempreference.prefpane",
       {"com.apple.bundle", "com.apple.package"},
       {"prefpane"}},
      {"com.apple.quicklook-generator", {"com.apple.bundle", "com.apple.package"}, {"qlgenerator"}},
      {"com.apple.metadata-importer", {"com.apple.bundle", "com.apple.package"}, {"mdimporter"}},
      {"com.apple.systempreference.screen-saver",
       {"com.apple.bundle", "com.apple.package"},
       {"saver"}},
      {"com.apple.xpc-service", {"com.apple.bundle", "com.apple.package"}, {"xpc"}},
      {"com.apple.rtfd", {"com.apple.package", "public.composite-content"}, {"rtfd"}},
      {"com.apple.installer-package", {"com.apple.package"}, {"pkg"}},
      {"com.apple.installer-meta-package", {"com.apple.package"}, {"mpkg"}},
      {"com.apple.photos.library", {"com.apple.package"}, {"photoslibrary"}},
      {"com.apple.applescript.script-bundle", {"com.apple.bundle", "com.apple.package"}, {"scptd"}},

      // Text and documents.
      {"public.plain-text", {"public.text"}, {"txt", "text"}},
      {"net.daringfireball.markdown", {"public.plain-text"}, {"md", "markdown"}},
      {"public.log", {"public.plain-text"}, {"log"}},
      {"public.comma-separated-values-text", {"public.plain-text"}, {"csv"}},
      {"public.json", {"public.text"}, {"json"}},
      {"public.xml", {"public.text"}, {"xml"}},
      {"public.yaml", {"public.plain-text"}, {"yaml", "yml"}},
      {"public.html", {"public.text"}, {"html", "htm"}},
      {"public.rtf", {"public.text"}, {"rtf"}},
      {"com.adobe.pdf", {"public.data", "public.composite-content"}, {"pdf"}},
      {"com.apple.property-list", {"public.data"}, {"plist"}},
      {"com.microsoft.word.doc", {"public.data", "public.composite-content"}, {"doc"}},
      {"org.openxmlformats.wordprocessingml.document",
       {"public.data", "public.composite-content"},
       {"docx"}},
      {"com.microsoft.excel.xls", {"public.data", "public.composite-content"}, {"xls"}},
      {"org.openxmlformats.spreadsheetml.sheet",
       {"public.data", "public.composite-content"},
       {"xlsx"}},
      {"com.microsoft.powerpoint.ppt", {"public.data", "public.composite-content"}, {"ppt"}},
      {"org.openxmlformats.presentationml.presentation",
       {"public.data", "public.composite-content"},
       {"pptx"}},

      // Source code.
      {"public.c-source", {"public.source-code"}, {"c"}},
      {"public.c-header", {"public.source-code"}, {"h"}},
      {"public.c-plus-plus-source", {"public.source-code"}, {"cpp", "cc", "cxx"}},
      {"public.c-plus-plus-header", {"public.source-code"}, {"hpp", "hh", "hxx"}},
      {"public.swift-source", {"public.source-code"}, {"swift"}},
      {"public.python-script", {"public.script"}, {"py"}},
      {"public.shell-script", {"public.script"}, {"sh", "command"}},
      {"com.netscape.javascript-source", {"public.script"}, {"js"}},

      // Images, audio and video.
      {"public.jpeg", {"public.image"}, {"jpg", "jpeg"}},
      {"public.png", {"public.image"}, {"png"}},
      {"com.compuserve.gif", {"public.image"}, {"gif"}},
      {"public.tiff", {"public.image"}, {"tif", "tiff"}},
      {"com.microsoft.bmp", {"public.image"}, {"bmp"}},
      {"public.heic", {"public.image"}, {"heic"}},
      {"public.svg-image", {"public.image"}, {"svg"}},
      {"com.apple.icns", {"public.image"}, {"icns"}},
      {"public.mp3", {"public.audio"}, {"mp3"}},
      {"public.mpeg-4-audio", {"public.audio"}, {"m4a"}},
      {"com.microsoft.waveform-audio", {"public.audio"}, {"wav"}},
      {"public.mpeg-4", {"public.movie"}, {"mp4"}},
      {"com.apple.quicktime-movie", {"public.movie"}, {"mov"}},

      // Archives and disk images.
      {"public.zip-archive", {"public.archive"}, {"zip"}},
      {"org.7-zip.7-zip-archive", {"public.archive"}, {"7z"}},
      {"com.rarlab.rar-archive", {"public.archive"}, {"rar"}},
      {"public.tar-archive", {"public.archive"}, {"tar"}},
      {"org.gnu.gnu-zip-archive", {"public.archive"}, {"gz", "gzip"}},
      {"public.bzip2-archive", {"public.archive"}, {"bz2"}},
      {"org.tukaani.xz-archive", {"public.archive"}, {"xz"}},
      {"org.facebook.zstandard-archive", {"public.archive"}, {"zst"}},
      {"public.iso-image", {"public.disk-image"}, {"iso"}},
      {"com.apple.disk-image-udif", {"public.disk-image"}, {"dmg"}},

      // Programs.
      {"com.microsoft.windows-executable", {"public.executable", "public.data"}, {"exe"}},
  };
  return table;
}

struct Index {
  std::unordered_map<std::string_view, const Declaration*> byIdentifier;
  std::unordered_map<std::string_view, std::vector<const Declaration*>> byExtension;
};

const Index& index() {
  static const Index built = [] {
    Index out;
    for (const Declaration& declaration : declarations()) {
      out.byIdentifier.emplace(declaration.identifier, &declaration);
      for (std::string_view extension : declaration.extensions) {
        out.byExtension[extension].push_back(&declaration);
      }
    }
    return out;
  }();
  return built;
}

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Walks supertypes breadth-first over the table (no recursion; the table is
// acyclic and small, but the walk does not rely on it).
bool conformsThroughTable(std::vector<std::string_view> pending, std::string_view target) {
  std::unordered_set<std::string_view> seen;
  while (!pending.empty()) {
    const std::string_view current = pending.back();
    pending.pop_back();
    if (current == target) return true;
    if (!seen.insert(current).second) continue;
    const auto found = index().byIdentifier.find(current);
    if (found == index().byIdentifier.end()) continue;
    pending.insert(pending.end(), found->second->supertypes.begin(),
                   found->second->supertypes.end());
  }
  return false;
}

// A stable identifier for an extension no declared type claims, tied to the
// type it was asked to conform to: "dyn.a" + hex of "<supertype>:<ext>".
std::string dynamicIdentifier(std::string_view extension, std::string_view supertype) {
  static constexpr std::array<char, 16> kHex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::string out = "dyn.a";
  const std::string source = std::string(supertype) + ":" + std::string(extension);
  for (const char c : source) {
    const auto byte = static_cast<unsigned char>(c);
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

}  // namespace

UTType::UTType(std::string identifier, bool isDeclared, std::vector<std::string> supertypes)
    : mIdentifier(std::move(identifier)),
      mIsDeclared(isDeclared),
      mSupertypes(std::move(supertypes)) {}

const UTType& UTType::item() {
  static const UTType type = *typeWithIdentifier("public.item");
  return type;
}
const UTType& UTType::data() {
  static const UTType type = *typeWithIdentifier("public.data");
  return type;
}
const UTType& UTType::directory() {
  static const UTType type = *typeWithIdentifier("public.directory");
  return type;
}
const UTType& UTType::folder() {
  static const UTType type = *typeWithIdentifier("public.folder");
  return type;
}
const UTType& UTType::package() {
  static const UTType type = *typeWithIdentifier("com.apple.package");
  return type;
}
const UTType& UTType::applicationBundle() {
  static const UTType type = *typeWithIdentifier("com.apple.application-bundle");
  return type;
}

std::optional<UTType> UTType::typeWithIdentifier(std::string_view identifier) {
  const auto found = index().byIdentifier.find(identifier);
  if (found == index().byIdentifier.end()) return std::nullopt;
  return UTType(std::string(identifier), true, {});
}

std::optional<UTType> UTType::typeWithFilenameExtension(std::string_view extension,
                                                        const UTType& supertype) {
  if (extension.empty()) return std::nullopt;
  const std::string key = lowerAscii(extension);
  const auto found = index().byExtension.find(key);
  if (found != index().byExtension.end()) {
    for (const Declaration* declaration : found->second) {
      UTType candidate(std::string(declaration->identifier), true, {});
      if (candidate.conformsTo(supertype)) return candidate;
    }
  }
  return UTType(dynamicIdentifier(key, supertype.identifier()), false,
                {supertype.identifier(), "public.item"});
}

bool UTType::conformsTo(const UTType& other) const {
  if (mIdentifier == other.mIdentifier) return true;
  std::vector<std::string_view> start;
  if (mIsDeclared) {
    start.push_back(mIdentifier);
  } else {
    start.assign(mSupertypes.begin(), mSupertypes.end());
  }
  return conformsThroughTable(std::move(start), other.mIdentifier);
}

std::optional<std::string> UTType::preferredFilenameExtension() const {
  if (!mIsDeclared) return std::nullopt;
  const auto found = index().byIdentifier.find(mIdentifier);
  if (found == index().byIdentifier.end() || found->second->extensions.empty()) return std::nullopt;
  return std::string(found->second->extensions.front());
}

}  // namespace vexel::platform
