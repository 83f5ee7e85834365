// The Tracker extract module loaded as tracker-extract loads it, with this
// program standing in for the extractor: it defines the functions the
// module takes from the extractor (exported from the executable) and hands
// it files through a TrackerExtractInfo of its own. Built twice: as
// Tracker 3.4 (the content identifier from the file) and, with
// VEXEL_STAND_IN_LOCALSEARCH, as LocalSearch 3.8 (from the extraction).
#include <gio/gio.h>
#include <gmodule.h>
#include <gtest/gtest.h>
#include <libtracker-sparql/tracker-sparql.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "model/archive_format.h"
#include "spotlight/archive_text.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/lock_holders.h"
#include "support/process_census.h"
#include "support/temp_dir.h"

// The stand-in extractor's side of the module interface.
struct _TrackerExtractInfo {
  GFile* file = nullptr;
  TrackerResource* resource = nullptr;
  int maxText = 1 << 20;
};

extern "C" {

__attribute__((visibility("default"))) GFile* tracker_extract_info_get_file(
    _TrackerExtractInfo* info);
__attribute__((visibility("default"))) void tracker_extract_info_set_resource(
    _TrackerExtractInfo* info, TrackerResource* resource);
__attribute__((visibility("default"))) int tracker_extract_info_get_max_text(
    _TrackerExtractInfo* info);
#ifdef VEXEL_STAND_IN_LOCALSEARCH
__attribute__((visibility("default"))) gchar* tracker_extract_info_get_content_id(
    _TrackerExtractInfo* info, const gchar* suffix);
#else
__attribute__((visibility("default"))) gchar* tracker_file_get_content_identifier(
    GFile* file, GFileInfo* info, const gchar* suffix);
#endif

GFile* tracker_extract_info_get_file(_TrackerExtractInfo* info) { return info->file; }

void tracker_extract_info_set_resource(_TrackerExtractInfo* info, TrackerResource* resource) {
  g_set_object(&info->resource, resource);
}

int tracker_extract_info_get_max_text(_TrackerExtractInfo* info) { return info->maxText; }

#ifdef VEXEL_STAND_IN_LOCALSEARCH
gchar* tracker_extract_info_get_content_id(_TrackerExtractInfo* info, const gchar* suffix) {
  g_autofree gchar* name = g_file_get_basename(info->file);
  return g_strconcat("urn:fileid:info:", name, suffix != nullptr ? "/" : "", suffix, nullptr);
}
#define VEXEL_ID_PREFIX "urn:fileid:info:"
#else
gchar* tracker_file_get_content_identifier(GFile* file, GFileInfo* /*info*/,
                                           const gchar* /*suffix*/) {
  g_autofree gchar* name = g_file_get_basename(file);
  return g_strconcat("urn:fileid:test:", name, nullptr);
}
#define VEXEL_ID_PREFIX "urn:fileid:test:"
#endif

}  // extern "C"

namespace {

using vexel::test::TempDir;
using vexel::test::writeFile;
using vexel::test::zipBytes;

using InitFunction = gboolean (*)(GError**);
using ExtractFunction = gboolean (*)(_TrackerExtractInfo*, GError**);

// Module: the built module, opened as tracker-extract opens it.
struct Module {
  Module() {
    module = g_module_open(VEXEL_TRACKER_MODULE, G_MODULE_BIND_LOCAL);
    if (module == nullptr) {
      ADD_FAILURE() << g_module_error();
      return;
    }
    EXPECT_TRUE(
        g_module_symbol(module, "tracker_extract_module_init", reinterpret_cast<gpointer*>(&init)));
    EXPECT_TRUE(g_module_symbol(module, "tracker_extract_get_metadata",
                                reinterpret_cast<gpointer*>(&extract)));
  }
  GModule* module = nullptr;
  InitFunction init = nullptr;
  ExtractFunction extract = nullptr;
};

Module& module() {
  static Module loaded;
  return loaded;
}

// Extraction: what the module gave for one file.
struct Extraction {
  bool ok = false;
  std::string error;
  std::string identifier;
  std::set<std::string> types;
  std::optional<std::string> text;
  std::optional<gint64> uncompressedSize;
};

bool hasValue(TrackerResource* resource, const char* property) {
  GList* values = tracker_resource_get_values(resource, property);
  g_list_free(values);
  return values != nullptr;
}

Extraction extractFile(const std::filesystem::path& file, int maxText = 1 << 20) {
  Extraction out;
  _TrackerExtractInfo info;
  info.file = g_file_new_for_path(file.c_str());
  info.maxText = maxText;
  GError* error = nullptr;
  EXPECT_TRUE(module().init(&error));
  out.ok = module().extract(&info, &error);
  if (error != nullptr) {
    out.error = error->message;
    g_error_free(error);
  }
  if (info.resource != nullptr) {
    out.identifier = tracker_resource_get_identifier(info.resource);
    for (GList* value = tracker_resource_get_values(info.resource, "rdf:type"); value != nullptr;
         value = g_list_delete_link(value, value)) {
      out.types.insert(g_value_get_string(static_cast<GValue*>(value->data)));
    }
    if (hasValue(info.resource, "nie:plainTextContent"))
      out.text = tracker_resource_get_first_string(info.resource, "nie:plainTextContent");
    if (hasValue(info.resource, "nfo:uncompressedSize"))
      out.uncompressedSize =
          tracker_resource_get_first_int64(info.resource, "nfo:uncompressedSize");
    g_object_unref(info.resource);
  }
  g_object_unref(info.file);
  return out;
}

TEST(TrackerExtractModule, GivesThePathsAsTextWithinTheExtractorsLimit) {
  TempDir dir;
  const auto file = dir.path() / "a.zip";
  // "docs\ndocs/readme.txt\n项目计划书.txt" is 4 + 1 + 15 + 1 + 19 = 40 bytes.
  writeFile(file, zipBytes({{.name = "docs/readme.txt", .data = "12345"},
                            {.name = "项目计划书.txt", .data = "123", .utf8Flag = true}}));
  struct Row {
    const char* name;
    int maxText;
    std::optional<std::string> text;
  };
  const Row rows[] = {
      {"every path, one per line, depth-first", 1 << 20, "docs\ndocs/readme.txt\n项目计划书.txt"},
      {"a limit of exactly the text", 40, "docs\ndocs/readme.txt\n项目计划书.txt"},
      {"one byte less: the last line goes whole", 39, "docs\ndocs/readme.txt"},
      {"room for the first line only", 19, "docs"},
      {"no room for any line: no text at all", 3, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Extraction got = extractFile(file, row.maxText);
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.text, row.text);
    EXPECT_EQ(got.types, std::set<std::string>{"nfo:Archive"});
    EXPECT_EQ(got.uncompressedSize, 8);
    EXPECT_EQ(got.identifier, VEXEL_ID_PREFIX "a.zip");
  }
}

TEST(TrackerExtractModule, RefusesWhatItCannotListWithTheReason) {
  TempDir dir;
  const auto text = dir.path() / "notes.zip";
  writeFile(text, "not an archive\n");
  const auto empty = dir.path() / "empty.zip";
  writeFile(empty, zipBytes({}));
  for (const auto& file : {text, dir.path() / "missing.zip", std::filesystem::path(dir.path())}) {
    SCOPED_TRACE(file.string());
    const Extraction got = extractFile(file);
    EXPECT_FALSE(got.ok);
    EXPECT_FALSE(got.error.empty());
    EXPECT_TRUE(got.types.empty());
  }
  // An empty archive is still an archive: its type, and no text.
  const Extraction got = extractFile(empty);
  EXPECT_TRUE(got.ok) << got.error;
  EXPECT_EQ(got.types, std::set<std::string>{"nfo:Archive"});
  EXPECT_EQ(got.text, std::nullopt);
}

// The extractor is a long-lived process: a listing stopped at its deadline
// must leave no thread, fork or work of ours running in it. The archive's
// first file is 64 GiB of zeros in bzip2 (80 KB): skipping it would take
// many minutes.
TEST(TrackerExtractModule, LeavesNothingRunningAfterAHostileArchive) {
  vexel::test::ProcessCensus::mark();
  TempDir dir;
  const auto bomb = dir.path() / "zeros.tar.bz2";
  ASSERT_EQ(vexel::test::run("python3 " VEXEL_SOURCE_DIR "/bench/make_hostile.py bzip2-bomb " +
                             vexel::test::shellQuoted(bomb.string())),
            0);
  const auto small = dir.path() / "small.zip";
  writeFile(small, zipBytes({{.name = "a.txt", .data = "x"}}));
  ASSERT_TRUE(extractFile(small).ok);  // whatever the first listing starts
  const auto before = vexel::test::ProcessCensus::take();
  const auto start = std::chrono::steady_clock::now();
  const Extraction got = extractFile(bomb);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(got.ok) << got.error;
  EXPECT_EQ(got.text, "zeros.bin");
  EXPECT_LT(seconds, vexel::kIndexTimeLimit + 1.5);
  EXPECT_TRUE(vexel::test::ProcessCensus::settlesTo(before))
      << "threads " << before.threads << " -> " << vexel::test::ProcessCensus::take().threads
      << ", forks " << before.forks << " -> " << vexel::test::ProcessCensus::take().forks;
}

// The extractor runs modules on threads of its own while its other threads
// may hold the time zone's, the converters' or malloc's lock: the module
// lists on the calling thread and every listing completes whatever they do.
TEST(TrackerExtractModule, ListsWhileTheExtractorsThreadsHoldLibraryLocks) {
  TempDir dir;
  std::vector<vexel::test::ZipEntry> entries;
  std::string expected;
  for (int i = 0; i < 30; ++i) {
    entries.push_back({.name = "f" + std::to_string(i) + ".txt", .data = "x"});
    expected += (i == 0 ? "" : "\n") + entries.back().name;
  }
  const auto zip = dir.path() / "probe.zip";
  writeFile(zip, zipBytes(entries));
  vexel::test::forEachLockMode([&] {
    int complete = 0;
    for (int run = 0; run < 15; ++run) {
      const Extraction got = extractFile(zip);
      if (got.ok && got.text == expected) ++complete;
    }
    EXPECT_EQ(complete, 15);
  });
}

TEST(TrackerExtractModule, SetsTheTimeZoneFileOnlyWhereTzIsUnset) {
  GError* error = nullptr;
  unsetenv("TZ");
  ASSERT_TRUE(module().init(&error));
  EXPECT_STREQ(getenv("TZ"), ":/etc/localtime");
  setenv("TZ", "Asia/Shanghai", 1);
  ASSERT_TRUE(module().init(&error));
  EXPECT_STREQ(getenv("TZ"), "Asia/Shanghai");
  unsetenv("TZ");
}

// The rule as the build tree holds it: Tracker matches a file's type
// exactly, so every archive name of the catalogue must type (by name, as
// GIO does for files it cannot read yet) to one of its MimeTypes.
TEST(TrackerExtractModule, RuleNamesTheModuleAndEveryArchiveType) {
  g_autoptr(GKeyFile) rule = g_key_file_new();
  GError* error = nullptr;
  ASSERT_TRUE(g_key_file_load_from_file(rule, VEXEL_TRACKER_RULE, G_KEY_FILE_NONE, &error))
      << error->message;
  g_autofree gchar* modulePath =
      g_key_file_get_string(rule, "ExtractorRule", "ModulePath", nullptr);
  EXPECT_STREQ(modulePath, VEXEL_TRACKER_MODULE);
  g_autofree gchar* graph = g_key_file_get_string(rule, "ExtractorRule", "Graph", nullptr);
  EXPECT_STREQ(graph, "tracker:Documents");
  g_autofree gchar* fallback =
      g_key_file_get_string(rule, "ExtractorRule", "FallbackRdfTypes", nullptr);
  EXPECT_STREQ(fallback, "nfo:Archive;");
  g_autofree gchar* hash = g_key_file_get_string(rule, "ExtractorRule", "Hash", nullptr);
  EXPECT_EQ(std::string(hash ? hash : "").size(), 64U);

  gsize count = 0;
  g_auto(GStrv) types =
      g_key_file_get_string_list(rule, "ExtractorRule", "MimeTypes", &count, nullptr);
  const std::set<std::string> ruleTypes(types, types + count);
  std::vector<std::string> names;
  for (const std::string& extension : vexel::archiveExtensions()) names.push_back("a." + extension);
  for (const char* name : {"a.tar.gz", "a.tar.bz2", "a.tar.xz", "a.tar.zst", "a.tar.lzma",
                           "a.tar.Z", "a.7z.001", "a.jar"})
    names.emplace_back(name);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    gboolean uncertain = FALSE;
    g_autofree gchar* type = g_content_type_guess(name.c_str(), nullptr, 0, &uncertain);
    g_autofree gchar* mime = g_content_type_get_mime_type(type);
    // Volumes of other splits (a.001) have no type of their own.
    if (name == "a.001") {
      EXPECT_STREQ(mime, "application/octet-stream");
      continue;
    }
    EXPECT_TRUE(ruleTypes.count(mime)) << mime;
  }
}

}  // namespace
