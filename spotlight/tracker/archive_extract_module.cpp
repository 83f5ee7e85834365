// archive_extract_module.cpp: the Tracker 3 extract module through which
// GNOME Files' search, the GNOME overview and `tracker3 search` find an
// archive by the paths inside it.
//
// tracker-extract loads the module named by its rule file
// (vexel-archives.rule.in) for the archive types listed there, and calls
// `tracker_extract_get_metadata` once per file, on a thread of its own.
// The extractor runs under seccomp: starting a program, kill(), raise()
// and setrlimit() end the whole process, so the listing runs here, in
// process, through listForIndexing.
//
// Tracker ships no header for modules. The functions below are declared as
// tracker-miners (3.4 to 3.7) and LocalSearch (3.8) declare them and resolve
// against the running extractor, which exports them to its modules; the one
// whose name changed between the two is looked up when the module loads.
#include <dlfcn.h>
#include <gio/gio.h>
#include <gmodule.h>
#include <libtracker-sparql/tracker-sparql.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "readers/archive_error.h"
#include "spotlight/archive_text.h"

extern "C" {

typedef struct _TrackerExtractInfo TrackerExtractInfo;
GFile* tracker_extract_info_get_file(TrackerExtractInfo* info);
void tracker_extract_info_set_resource(TrackerExtractInfo* info, TrackerResource* resource);
G_MODULE_EXPORT gboolean tracker_extract_module_init(GError** error);
G_MODULE_EXPORT gboolean tracker_extract_get_metadata(TrackerExtractInfo* info, GError** error);

}  // extern "C"

namespace {

// Tracker's own default for `max-bytes`, where the extractor cannot say.
constexpr std::size_t kDefaultMaxTextBytes = std::size_t{1} << 20;

// The setting that bounds a file's text (`max-bytes` of
// org.freedesktop.Tracker3.Extract): tracker_extract_info_get_max_text
// from 3.6.1 on; before that, the extractor's configuration object.
using GetMaxText = gint (*)(TrackerExtractInfo*);
using GetConfig = gpointer (*)();
using GetMaxBytes = gint (*)(gpointer);
GetMaxText getMaxText = nullptr;
GetConfig getConfig = nullptr;
GetMaxBytes getMaxBytes = nullptr;

// The identifier of the file's content, "urn:fileid:FILESYSTEM:INODE", which
// the extractor links to the file: from the file on Tracker 3.4 to 3.7
// (libtracker-miner), from the extraction on LocalSearch 3.8. Both give a
// new string.
using FileContentId = gchar* (*)(GFile*, GFileInfo*, const gchar*);
using InfoContentId = gchar* (*)(TrackerExtractInfo*, const gchar*);
FileContentId fileContentId = nullptr;
InfoContentId infoContentId = nullptr;

gchar* contentId(TrackerExtractInfo* info, GFile* file) {
  if (infoContentId != nullptr) return infoContentId(info, nullptr);
  return fileContentId(file, nullptr, nullptr);
}

std::size_t maxTextBytes(TrackerExtractInfo* info) {
  gint bytes = -1;
  if (getMaxText != nullptr) {
    bytes = getMaxText(info);
  } else if (getConfig != nullptr && getMaxBytes != nullptr) {
    if (gpointer config = getConfig()) bytes = getMaxBytes(config);
  }
  return bytes >= 0 ? static_cast<std::size_t>(bytes) : kDefaultMaxTextBytes;
}

struct GFree {
  void operator()(gchar* text) const noexcept { g_free(text); }
};
struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};

}  // namespace

gboolean tracker_extract_module_init(GError** error) {
  // tracker-extract leaves TZ unset, and glibc then reads the zone file
  // again on every local-time conversion, which libarchive makes for each
  // ZIP entry: listing a 100,000-entry ZIP took 2.18 s instead of 0.69 s.
  // The same zone, read once. The extractor loads modules before it
  // extracts with them.
  setenv("TZ", ":/etc/localtime", /*overwrite=*/0);
  getMaxText =
      reinterpret_cast<GetMaxText>(dlsym(RTLD_DEFAULT, "tracker_extract_info_get_max_text"));
  getConfig = reinterpret_cast<GetConfig>(dlsym(RTLD_DEFAULT, "tracker_main_get_config"));
  getMaxBytes = reinterpret_cast<GetMaxBytes>(dlsym(RTLD_DEFAULT, "tracker_config_get_max_bytes"));
  infoContentId =
      reinterpret_cast<InfoContentId>(dlsym(RTLD_DEFAULT, "tracker_extract_info_get_content_id"));
  fileContentId =
      reinterpret_cast<FileContentId>(dlsym(RTLD_DEFAULT, "tracker_file_get_content_identifier"));
  if (infoContentId == nullptr && fileContentId == nullptr) {
    // Refused here, the extractor logs why and leaves these types to others.
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED,
                "this extractor exports no content identifier function");
    return FALSE;
  }
  return TRUE;
}

gboolean tracker_extract_get_metadata(TrackerExtractInfo* info, GError** error) {
  try {
    GFile* file = tracker_extract_info_get_file(info);
    const std::unique_ptr<gchar, GFree> path(g_file_get_path(file));
    if (!path) {
      g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED, "not a local file");
      return FALSE;
    }
    const vexel::ExtensionArchive::Listing listing = vexel::listForIndexing(path.get());
    const std::string text = vexel::archiveText(listing.tree->root(), maxTextBytes(info));

    const std::unique_ptr<gchar, GFree> id(contentId(info, file));
    const std::unique_ptr<TrackerResource, GObjectUnref> resource(tracker_resource_new(id.get()));
    tracker_resource_add_uri(resource.get(), "rdf:type", "nfo:Archive");
    tracker_resource_set_int64(resource.get(), "nfo:uncompressedSize", listing.tree->totalSize());
    if (!text.empty())
      tracker_resource_set_string(resource.get(), "nie:plainTextContent", text.c_str());
    tracker_extract_info_set_resource(info, resource.get());
    return TRUE;
  } catch (const vexel::ArchiveError& failure) {
    // Not an archive, damaged, encrypted names: Tracker records the reason
    // (`tracker3 status`) and does not try the file again until it changes.
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "%s", failure.what());
    return FALSE;
  } catch (...) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_FAILED, "the archive could not be listed");
    return FALSE;
  }
}
