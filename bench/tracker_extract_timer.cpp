// tracker_extract_timer REPEAT FILE...: the Tracker extract module, loaded
// as tracker-extract loads it (this program exports the extractor's side of
// the interface), extracting each file, against `unzip -l`
// (indexer_timing.h).
#include <gio/gio.h>
#include <gmodule.h>
#include <libtracker-sparql/tracker-sparql.h>

#include <cstdio>

#include "indexer_timing.h"

struct _TrackerExtractInfo {
  GFile* file = nullptr;
  TrackerResource* resource = nullptr;
};

extern "C" {

__attribute__((visibility("default"))) GFile* tracker_extract_info_get_file(
    _TrackerExtractInfo* info);
__attribute__((visibility("default"))) void tracker_extract_info_set_resource(
    _TrackerExtractInfo* info, TrackerResource* resource);
__attribute__((visibility("default"))) gchar* tracker_file_get_content_identifier(
    GFile* file, GFileInfo* info, const gchar* suffix);

GFile* tracker_extract_info_get_file(_TrackerExtractInfo* info) { return info->file; }

void tracker_extract_info_set_resource(_TrackerExtractInfo* info, TrackerResource* resource) {
  g_set_object(&info->resource, resource);
}

gchar* tracker_file_get_content_identifier(GFile* /*file*/, GFileInfo* /*info*/,
                                           const gchar* /*suffix*/) {
  return g_strdup("urn:fileid:bench");
}

}  // extern "C"

int main(int argc, char** argv) {
  GModule* module = g_module_open(VEXEL_TRACKER_MODULE, G_MODULE_BIND_LOCAL);
  using Init = gboolean (*)(GError**);
  using Extract = gboolean (*)(_TrackerExtractInfo*, GError**);
  Init init = nullptr;
  Extract extract = nullptr;
  if (module == nullptr ||
      !g_module_symbol(module, "tracker_extract_module_init", reinterpret_cast<gpointer*>(&init)) ||
      !g_module_symbol(module, "tracker_extract_get_metadata",
                       reinterpret_cast<gpointer*>(&extract))) {
    std::fprintf(stderr, "cannot load %s: %s\n", VEXEL_TRACKER_MODULE, g_module_error());
    return 2;
  }
  return vexel::bench::compareWithUnzip(argc, argv, [&](const char* file) {
    // tracker-extract initialises a module once, when it first needs it.
    static const bool initialised = init(nullptr);
    (void)initialised;
    _TrackerExtractInfo info;
    info.file = g_file_new_for_path(file);
    GError* error = nullptr;
    if (!extract(&info, &error)) {
      std::fprintf(stderr, "%s: %s\n", file, error != nullptr ? error->message : "failed");
      g_clear_error(&error);
    }
    g_clear_object(&info.resource);
    g_object_unref(info.file);
  });
}
