// The files that plug the hosts into desktops: the context menus offer each
// command where the extension offers it, with its title and the host's
// argument order; the Nautilus extension asks the host for its menu; the
// Recoll filter prints the importer's text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "extension_menu.h"
#include "model/archive_format.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using test::readFile;
using test::run;
using test::shellQuoted;
using test::TempDir;

const std::filesystem::path kSource = VEXEL_SHARE_SOURCE_DIR;
const std::filesystem::path kBuilt = VEXEL_SHARE_BINARY_DIR;
const std::string kFinderHost(VEXEL_FINDERSYNC_HOST);
const std::string kImporterHost(VEXEL_MDIMPORT);

// Groups of an INI-style file: group name to its key=value pairs.
using Groups = std::map<std::string, std::map<std::string, std::string>>;

Groups parseGroups(const std::filesystem::path& file) {
  Groups groups;
  std::istringstream in(readFile(file));
  std::string line;
  std::string group;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      group = line.substr(1, line.size() - 2);
      groups[group];
    } else if (const auto eq = line.find('='); eq != std::string::npos) {
      groups[group][line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return groups;
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  std::string item;
  while (std::getline(in, item, ';')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

// The host's menu for a selection, in its order; and selector to title.
std::vector<test::ExtensionMenuItem> hostMenu(const std::vector<std::string>& paths) {
  return test::extensionMenu(kFinderHost, paths);
}
std::map<std::string, std::string> titlesOf(const std::vector<test::ExtensionMenuItem>& menu) {
  std::map<std::string, std::string> titles;
  for (const auto& [selector, title] : menu) titles.emplace(selector, title);
  return titles;
}

std::string execLine(std::string_view selector) {
  return "vexel-menu-run " + std::string(selector) + " %F";
}

// shared-mime-info 2.4 (Debian 13) renamed three archive types; every list
// of types takes the new name beside the old one, or that release loses the
// command, the preview or the search on such files.
TEST(ArchiveTypeLists, TakeTheRenamedTypesBesideTheOldNames) {
  const std::pair<const char*, const char*> kRenamed[] = {
      {"application/x-java-archive", "application/java-archive"},
      {"application/x-bzip-compressed-tar", "application/x-bzip1-compressed-tar"},
      {"application/x-cd-image", "application/vnd.efi.iso"},
  };
  const std::filesystem::path kFiles[] = {
      kSource / "sushi/viewers/vexel.js",
      kSource / "sushi/plugins-1/vexel.js",
      kBuilt.parent_path() / "tracker/extract-rules/90-vexel-archives.rule",
  };
  for (const std::filesystem::path& file : kFiles) {
    SCOPED_TRACE(file.string());
    if (!std::filesystem::exists(file)) {
      // The Tracker module is built only where tracker-sparql is found.
      EXPECT_EQ(file.extension(), ".rule");
      continue;
    }
    const std::string text = readFile(file);
    for (const auto& [old, renamed] : kRenamed) {
      for (const char* type : {old, renamed}) {
        // The whole name: a list separator or a quote follows it.
        const std::regex whole(std::regex_replace(type, std::regex("[.+]"), "\\$&") + "[;'\"]");
        EXPECT_TRUE(std::regex_search(text, whole)) << type;
      }
    }
  }
}

// Whether Nemo's extension test accepts the name: one entry ends the
// lower-cased name ("any" stands for every file).
bool nemoMatches(const std::vector<std::string>& extensions, std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::any_of(extensions.begin(), extensions.end(), [&](const std::string& extension) {
    return extension == "any" || name.ends_with(extension);
  });
}

TEST(NemoActions, ArchiveCommandsMatchExactlyTheNamesTheCatalogueCallsArchives) {
  const auto menu = hostMenu({"/tmp/a.zip"});
  const std::map<std::string, std::string> titles = titlesOf(menu);
  const struct {
    std::string_view file;
    std::string_view selector;
    bool archivesOnly;
  } kFiles[] = {
      {"vexel-1-extract-here", "extractHere:", true},
      {"vexel-2-open", "openInVexel:", true},
      {"vexel-3-compress-zip", "compressZip:", false},
      {"vexel-4-compress-7z", "compress7z:", false},
      {"vexel-5-compress", "compressWithOptions:", false},
  };
  // Nemo sorts actions by file name: that order must be the menu's.
  ASSERT_EQ(menu.size(), std::size(kFiles));
  for (size_t i = 0; i < menu.size(); ++i) EXPECT_EQ(menu[i].selector, kFiles[i].selector);
  // Names the catalogue calls archives, and names it does not.
  const std::vector<std::string> archives = {
      "a.zip", "A.ZIP", "x.tar.gz", "x.tgz", "x.7z", "x.part3.rar", "x.r00", "x.r42", "x.z01",
      "x.z99", "x.001", "x.002",    "x.999", "x.Z",  "x.jar",       "x.deb", "x.wim", "x.lha"};
  const std::vector<std::string> others = {"a.txt",  "buzz",    "x.2024", "x.r100", "x.z1",
                                           "x.zipx", "notes.1", "x.r0",   "x.ab12"};
  for (const auto& name : archives) EXPECT_TRUE(isArchive(name)) << name;
  for (const auto& name : others) EXPECT_FALSE(isArchive(name)) << name;

  for (const auto& row : kFiles) {
    SCOPED_TRACE(row.file);
    const Groups groups =
        parseGroups(kBuilt / "nemo/actions" / (std::string(row.file) + ".nemo_action"));
    const auto& action = groups.at("Nemo Action");
    EXPECT_EQ(action.at("Name"), titles.at(std::string(row.selector)));
    EXPECT_EQ(action.at("Exec"), execLine(row.selector));
    EXPECT_EQ(action.at("Selection"), "notnone");
    const std::vector<std::string> extensions = splitList(action.at("Extensions"));
    if (!row.archivesOnly) {
      // "any" alone: Nemo reads "any;dir;" as folders only.
      EXPECT_EQ(extensions, (std::vector<std::string>{"any"}));
      continue;
    }
    for (const std::string& extension : archiveExtensions()) {
      EXPECT_NE(std::find(extensions.begin(), extensions.end(), "." + extension), extensions.end())
          << extension;
    }
    for (const std::string& extension : extensions) {
      EXPECT_TRUE(isArchive("name" + extension)) << extension;
    }
    for (const auto& name : archives) EXPECT_TRUE(nemoMatches(extensions, name)) << name;
    for (const auto& name : others) EXPECT_FALSE(nemoMatches(extensions, name)) << name;
  }
}

// Whether a glob with * and ? only (GLib's g_pattern_match_simple, which
// libfm, caja-actions and Thunar use) matches the whole name.
bool globMatches(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool anyGlobMatches(const std::vector<std::string>& patterns, std::string_view name) {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& pattern) { return globMatches(pattern, name); });
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Names the catalogue calls archives, and names it does not.
const std::vector<std::string> kArchiveNames = {
    "a.zip", "A.ZIP", "x.tar.gz", "x.tgz", "x.7z",     "x.part3.rar", "x.r00",
    "x.r42", "x.z01", "x.z99",    "x.001", "x.002",    "x.999",       "x.Z",
    "x.jar", "x.deb", "x.wim",    "x.lha", "项目.ZIP", "x.TAR.GZ",    "x.R01"};
const std::vector<std::string> kOtherNames = {"a.txt",  "buzz",    "x.2024", "x.r100", "x.z1",
                                              "x.zipx", "notes.1", "x.r0",   "x.ab12", "x.epub"};

TEST(FileManagerActions, SubmenuKeepsTheOrderAndArchiveCommandsTakeTheCataloguesNames) {
  const auto menu = hostMenu({"/tmp/a.zip"});
  const std::map<std::string, std::string> titles = titlesOf(menu);
  const struct {
    std::string_view id;
    std::string_view selector;
    bool archivesOnly;
  } kFiles[] = {
      {"vexel-1-extract-here", "extractHere:", true},
      {"vexel-2-open", "openInVexel:", true},
      {"vexel-3-compress-zip", "compressZip:", false},
      {"vexel-4-compress-7z", "compress7z:", false},
      {"vexel-5-compress", "compressWithOptions:", false},
  };
  ASSERT_EQ(menu.size(), std::size(kFiles));
  // The submenu lists the actions in the extension's order.
  const Groups submenu = parseGroups(kBuilt / "file-manager/actions/vexel.desktop");
  EXPECT_EQ(submenu.at("Desktop Entry").at("Type"), "Menu");
  std::vector<std::string> order;
  for (const auto& row : kFiles) order.emplace_back(row.id);
  EXPECT_EQ(splitList(submenu.at("Desktop Entry").at("ItemsList")), order);
  for (std::size_t i = 0; i < menu.size(); ++i) EXPECT_EQ(menu[i].selector, kFiles[i].selector);

  for (const auto& row : kFiles) {
    SCOPED_TRACE(row.id);
    const Groups groups =
        parseGroups(kBuilt / "file-manager/actions" / (std::string(row.id) + ".desktop"));
    const auto& entry = groups.at("Desktop Entry");
    EXPECT_EQ(entry.at("Type"), "Action");
    EXPECT_EQ(entry.at("Name"), titles.at(std::string(row.selector)));
    const std::vector<std::string> profiles = splitList(entry.at("Profiles"));
    ASSERT_EQ(profiles.size(), 1U);
    const auto& profile = groups.at("X-Action-Profile " + profiles[0]);
    EXPECT_EQ(profile.at("Exec"), execLine(row.selector));
    EXPECT_EQ(profile.at("SelectionCount"), ">0");
    if (!row.archivesOnly) {
      EXPECT_EQ(splitList(profile.at("MimeTypes")), (std::vector<std::string>{"all/all"}));
      EXPECT_EQ(profile.count("Basenames"), 0U);
      continue;
    }
    // Regular files only; the names matched without case against lower-case
    // globs, every one of which names an archive.
    EXPECT_EQ(splitList(profile.at("MimeTypes")), (std::vector<std::string>{"all/allfiles"}));
    EXPECT_EQ(profile.at("Matchcase"), "false");
    const std::vector<std::string> patterns = splitList(profile.at("Basenames"));
    for (const std::string& pattern : patterns) {
      EXPECT_TRUE(pattern.starts_with("*.") && pattern == lowerCase(pattern)) << pattern;
      EXPECT_TRUE(isArchive("name" + pattern.substr(1))) << pattern;
    }
    for (const auto& name : kArchiveNames) EXPECT_TRUE(anyGlobMatches(patterns, lowerCase(name)));
    for (const auto& name : kOtherNames) EXPECT_FALSE(anyGlobMatches(patterns, lowerCase(name)));
  }
}

// The README's Thunar commands on a uca.xml like Thunar's own: the original
// action stays, Vexel's five follow in the extension's order.
TEST(ThunarActions, ReadmeRecipeAddsTheCommandsInOrderForTheCataloguesNames) {
  if (!test::hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  TempDir dir;
  const auto home = dir.path() / "home";
  std::filesystem::create_directories(home / ".config/Thunar");
  test::writeFile(home / ".config/Thunar/uca.xml",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n"
                  "\t<icon>utilities-terminal</icon>\n\t<name>Open Terminal Here</name>\n"
                  "\t<unique-id>1-1</unique-id>\n\t<command>exo-open %f</command>\n"
                  "\t<patterns>*</patterns>\n\t<directories/>\n</action>\n</actions>\n");
  // The prefix: a copy of the installed file where cmake --install puts it.
  const auto prefix = dir.path() / "pre fix";
  std::filesystem::create_directories(prefix / "share/vexel/thunar");
  std::filesystem::copy_file(kBuilt / "vexel/thunar/uca-actions.xml",
                             prefix / "share/vexel/thunar/uca-actions.xml");
  const std::string readme = readFile(std::filesystem::path(VEXEL_SOURCE_DIR) / "README.md");
  const auto start = readme.find(
      "      prefix=/usr    # the prefix Vexel was installed into\n"
      "      mkdir -p ~/.config/Thunar\n");
  ASSERT_NE(start, std::string::npos);
  std::string commands;
  std::istringstream lines(readme.substr(start));
  for (std::string line; std::getline(lines, line) && !line.empty();) {
    commands += line.substr(6) + "\n";
  }
  commands.replace(0, commands.find('\n'), "prefix=" + shellQuoted(prefix));
  const auto script = dir.write("recipe.sh", commands);
  ASSERT_EQ(run("cd " + shellQuoted(home) + " && HOME=" + shellQuoted(home) + " sh -eu " +
                shellQuoted(script)),
            0);
  // Python reads the XML (it must be well formed) and prints the actions.
  const auto check = dir.write(
      "check.py",
      "import sys, xml.etree.ElementTree as ET\n"
      "for action in ET.parse(sys.argv[1]).getroot().findall('action'):\n"
      "    types = sorted(child.tag for child in action if len(child) == 0 and not "
      "(child.text or '').strip())\n"
      "    print('|'.join([action.findtext('unique-id'), action.findtext('name'),\n"
      "                    action.findtext('command'), action.findtext('submenu') or '',\n"
      "                    ','.join(types), action.findtext('patterns')]))\n");
  const auto out = dir.path() / "out.txt";
  ASSERT_EQ(run("python3 " + shellQuoted(check) + " " +
                shellQuoted(home / ".config/Thunar/uca.xml") + " >" + shellQuoted(out)),
            0);
  std::vector<std::vector<std::string>> actions;
  std::istringstream rows(readFile(out));
  for (std::string row; std::getline(rows, row);) {
    std::vector<std::string> fields;
    std::istringstream parts(row);
    for (std::string field; std::getline(parts, field, '|');) fields.push_back(field);
    actions.push_back(fields);
  }
  const auto menu = hostMenu({"/tmp/a.zip"});
  ASSERT_EQ(actions.size(), 1 + menu.size());
  EXPECT_EQ(actions[0][0], "1-1");
  // Sorted by name; folders for the compress commands only.
  const std::string files = "audio-files,image-files,other-files,text-files,video-files";
  for (std::size_t i = 0; i < menu.size(); ++i) {
    const auto& [selector, title] = menu[i];
    const auto& action = actions[i + 1];
    SCOPED_TRACE(selector);
    ASSERT_EQ(action.size(), 6U);
    EXPECT_EQ(action[1], title);
    EXPECT_EQ(action[2], execLine(selector));
    EXPECT_EQ(action[3], "Vexel");
    const bool archivesOnly = selector == "extractHere:" || selector == "openInVexel:";
    EXPECT_EQ(action[4], archivesOnly ? files
                                      : "audio-files,directories,image-files,other-files,"
                                        "text-files,video-files");
    const std::vector<std::string> patterns = splitList(action[5]);
    if (!archivesOnly) {
      EXPECT_EQ(patterns, (std::vector<std::string>{"*"}));
      continue;
    }
    // Thunar matches with the letter case: lower- and upper-case names both.
    for (const std::string& pattern : patterns) EXPECT_TRUE(isArchive("n" + pattern.substr(1)));
    for (const auto& name : kArchiveNames) {
      EXPECT_TRUE(anyGlobMatches(patterns, name)) << name;
      EXPECT_TRUE(anyGlobMatches(patterns, lowerCase(name))) << name;
    }
    for (const auto& name : kOtherNames) EXPECT_FALSE(anyGlobMatches(patterns, name)) << name;
  }
}

TEST(NautilusExtension, OffersWhatTheHostOffers) {
  if (!test::hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  TempDir dir;
  const auto script = dir.write(
      "check.py",
      "import importlib.util, sys\n"
      "module_spec = importlib.util.spec_from_file_location('vexel_menu', sys.argv[1])\n"
      "menu = importlib.util.module_from_spec(module_spec)\n"
      "module_spec.loader.exec_module(menu)\n"
      "for paths in (['/tmp/a.zip', '/tmp/b.r01'], ['/tmp/a.zip', '/tmp/b.txt'], []):\n"
      "    print(' '.join(s for s, _ in menu.offered_commands(paths, host=sys.argv[2])))\n"
      "print(menu.offered_commands(['/tmp/a.zip'], host='/nonexistent/host'))\n");
  const auto out = dir.path() / "out.txt";
  ASSERT_EQ(run("python3 " + shellQuoted(script) + " " +
                shellQuoted(kSource / "nautilus-python/extensions/vexel_menu.py") + " " +
                shellQuoted(std::string_view(kFinderHost)) + " >" + shellQuoted(out)),
            0);
  EXPECT_EQ(readFile(out),
            "extractHere: openInVexel: compressZip: compress7z: compressWithOptions:\n"
            "compressZip: compress7z: compressWithOptions:\n"
            "\n"
            "[]\n");
}

// The alternation of the archive-name pattern written in a script, from
// `prefix` to `suffix`: "zip|rar|...".
std::string namePattern(const std::filesystem::path& file, std::string_view prefix,
                        std::string_view suffix) {
  const std::string text = readFile(file);
  const auto start = text.find(prefix);
  if (start == std::string::npos) return {};
  std::string pattern;
  // The pattern may be split over string literals on several lines.
  static const std::regex pieces(R"re(["']([^"']*)["'])re");
  const std::string rest = text.substr(start + prefix.size());
  const auto end = rest.find(suffix);
  const std::string body = "'" + rest.substr(0, end) + "'";
  for (auto it = std::sregex_iterator(body.begin(), body.end(), pieces);
       it != std::sregex_iterator(); ++it) {
    pattern += (*it)[1];
  }
  return pattern;
}

// Sushi's viewer and the Properties section decide by the catalogue's rule
// without asking the host (the section must answer at once): the same
// extensions, the same volume suffixes.
TEST(ArchiveNameRules, SushiViewerAndPropertiesSectionFollowTheCatalogue) {
  const struct {
    std::filesystem::path file;
    std::string_view prefix;
    std::string_view suffix;
  } kScripts[] = {
      {kSource / "sushi/viewers/vexel.js", "'\\\\.(", ")$'"},
      {kSource / "nautilus-python/extensions/vexel_menu.py", "r\"\\.(", ")\\Z\""},
  };
  const std::vector<std::string> names = {
      "a.zip",     "A.ZIP",  "x.tar.gz", "x.tgz",  "x.7z",  "x.part3.rar", "x.r00",
      "x.r42",     "x.z01",  "x.z99",    "x.001",  "x.002", "x.999",       "x.Z",
      "x.jar",     "x.deb",  "x.wim",    "x.lha",  "x.cab", "x.iso",       "x.xar",
      "a.txt",     "buzz",   "x.2024",   "x.r100", "x.z1",  "x.zipx",      "notes.1",
      "x.r0",      "x.ab12", "x.epub",   "x.apk",  "zip",   ".zip.txt",    "项目.ZIP",
      "x.tar.zst", "x.lzma", "x.rpm",    "x.cpio", "x.arj", "x.lzh",       "x.tbz2"};
  for (const auto& script : kScripts) {
    SCOPED_TRACE(script.file.filename().string());
    const std::string alternation = namePattern(script.file, script.prefix, script.suffix);
    ASSERT_FALSE(alternation.empty());
    // The extensions are the catalogue's, and the one character class is
    // the volume suffix .rNN, .zNN, .NNN.
    std::set<std::string> extensions;
    std::istringstream items(alternation);
    for (std::string item; std::getline(items, item, '|');) extensions.insert(item);
    EXPECT_EQ(extensions.erase("[rz0-9][0-9][0-9]"), 1U);
    EXPECT_EQ(extensions,
              std::set<std::string>(archiveExtensions().begin(), archiveExtensions().end()));
    // Both languages read the pattern as ECMAScript does.
    const std::regex rule("\\.(" + alternation + ")$", std::regex::icase);
    for (const std::string& name : names) {
      EXPECT_EQ(std::regex_search(name, rule), isArchive(name)) << name;
    }
  }
  // The Python function itself, on the same names.
  if (!test::hasTool("python3")) VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  TempDir dir;
  std::string list;
  for (const std::string& name : names) list += name + "\n";
  const auto input = dir.write("names.txt", list);
  const auto out = dir.path() / "out.txt";
  ASSERT_EQ(run("python3 -c 'import importlib.util, sys\n"
                "module_spec = importlib.util.spec_from_file_location(\"m\", sys.argv[1])\n"
                "m = importlib.util.module_from_spec(module_spec)\n"
                "module_spec.loader.exec_module(m)\n"
                "for name in open(sys.argv[2], encoding=\"utf-8\").read().split():\n"
                "    print(int(m.is_archive_name(\"/tmp/\" + name)))' " +
                shellQuoted(kSource / "nautilus-python/extensions/vexel_menu.py") + " " +
                shellQuoted(input) + " >" + shellQuoted(out)),
            0);
  std::string expected;
  for (const std::string& name : names) expected += isArchive(name) ? "1\n" : "0\n";
  EXPECT_EQ(readFile(out), expected);
}

TEST(RecollFilter, PrintsThePathsInsideAnArchiveAndNothingForOtherFiles) {
  TempDir dir;
  const auto zip = dir.path() / "-dash.zip";
  test::writeFile(zip, test::zipBytes({{"docs/readme.txt", "x", true}}));
  const auto text = dir.write("notes.txt", "not an archive");
  // The importer is found on PATH: the filter is not installed here.
  const std::string path =
      "PATH=" + shellQuoted(std::filesystem::path(kImporterHost).parent_path()) + ":/usr/bin:/bin ";
  const std::string filter = shellQuoted(kSource / "vexel/recoll/rclvexel");
  const auto out = dir.path() / "out.txt";
  ASSERT_EQ(run("cd " + shellQuoted(dir.path()) + " && " + path + filter + " -dash.zip >" +
                shellQuoted(out)),
            0);
  EXPECT_EQ(readFile(out), "docs\ndocs/readme.txt\n");
  ASSERT_EQ(run(path + filter + " " + shellQuoted(text) + " >" + shellQuoted(out) + " 2>/dev/null"),
            0);
  EXPECT_EQ(readFile(out), "");
  EXPECT_EQ(run(path + filter + " >/dev/null 2>&1"), 2);
  EXPECT_EQ(run("PATH=/usr/bin:/bin " + filter + " " + shellQuoted(zip) + " >/dev/null 2>&1"), 127);
}

// The menus' runner: the host's command, and its failure on screen.
TEST(MenuRunner, RunsTheHostAndShowsItsFailureAsANotification) {
  TempDir dir;
  const auto bin = dir.path() / "bin";
  std::filesystem::create_directories(bin);
  const auto tool = [&](const std::string& name, const std::string& body) {
    const auto file = dir.write("bin/" + name, "#!/bin/sh\n" + body);
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
  };
  const auto log = dir.path() / "log";
  tool("xdg-open", "printf 'open %s\\n' \"$1\" >>" + shellQuoted(log) + "\n");
  tool("notify-send",
       "printf 'notify %s|' \"$@\" >>" + shellQuoted(log) + "\necho >>" + shellQuoted(log) + "\n");
  const std::string runner = "PATH=" + shellQuoted(bin) + ":" +
                             shellQuoted(std::filesystem::path(kFinderHost).parent_path()) +
                             ":/usr/bin:/bin " + shellQuoted(kSource / "bin/vexel-menu-run");

  // No handler registered: a notification in the user's language, status 3.
  tool("xdg-mime", "exit 0\n");
  EXPECT_EQ(run(runner + " openInVexel: /tmp/a.zip 2>/dev/null"), 3);
  EXPECT_EQ(readFile(log),
            "notify --app-name=Vexel|notify --icon=dialog-error|notify --|notify Vexel|notify "
            "没有登记接收 vexel:// 链接的程序，命令无法交给 Vexel。请先安装 Vexel 的桌面文件"
            "（vexel-handoff.desktop）。|\n");

  // The handler ran and failed (the generic xdg-open says 4): it showed
  // that itself, so nothing more is said.
  std::filesystem::remove(log);
  tool("xdg-mime", "echo vexel-handoff.desktop\n");
  tool("xdg-open", "printf 'open %s\\n' \"$1\" >>" + shellQuoted(log) + "\nexit 4\n");
  EXPECT_EQ(run(runner + " extractHere: /tmp/a.zip"), 0);
  EXPECT_EQ(readFile(log), "open vexel://sync\nopen vexel://extract?path=/tmp/a.zip\n");

  // xdg-open could not hand it over at all.
  std::filesystem::remove(log);
  tool("xdg-open", "exit 3\n");
  EXPECT_EQ(run(runner + " extractHere: /tmp/a.zip 2>/dev/null"), 1);
  EXPECT_EQ(readFile(log),
            "notify --app-name=Vexel|notify --icon=dialog-error|notify --|notify Vexel|notify "
            "无法把命令交给 Vexel：xdg-open 没能打开 vexel:// 链接。|\n");
  tool("xdg-open", "printf 'open %s\\n' \"$1\" >>" + shellQuoted(log) + "\n");

  // With one, the URLs go to xdg-open; a path like an option stays a path.
  std::filesystem::remove(log);
  EXPECT_EQ(run("cd " + shellQuoted(dir.path()) + " && " + runner + " openInVexel: --open"), 0);
  EXPECT_EQ(readFile(log),
            "open vexel://sync\nopen vexel://open?path=" + (dir.path() / "--open").string() + "\n");
}

// "key = value" lines of a Recoll file, comments and sections left out.
std::map<std::string, std::string> recollLines(const std::filesystem::path& file) {
  std::map<std::string, std::string> lines;
  for (const auto& [group, pairs] : parseGroups(file)) {
    for (const auto& [key, value] : pairs) {
      const auto trim = [](std::string text) {
        text.erase(0, text.find_first_not_of(' '));
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
      };
      lines[trim(key)] = trim(value);
    }
  }
  return lines;
}

TEST(RecollFilter, EveryArchiveSuffixReachesTheFilter) {
  const auto suffixes = recollLines(kSource / "vexel/recoll/mimemap");
  const auto handlers = recollLines(kSource / "vexel/recoll/mimeconf.in");
  for (const auto& [suffix, type] : suffixes) {
    EXPECT_EQ(handlers.count(type), 1U) << suffix << " = " << type;
  }
  for (const auto& [type, handler] : handlers) {
    EXPECT_EQ(handler, "exec @VEXEL_RCLVEXEL@;mimetype=text/plain;charset=utf-8") << type;
  }
  // Recoll uncompresses these itself and then looks at the name that
  // remains; only the tar forms are mapped.
  const std::set<std::string> compressors = {"gz", "bz2", "xz", "zst", "lzma", "z"};
  for (const std::string& extension : archiveExtensions()) {
    if (compressors.count(extension) != 0) {
      EXPECT_EQ(suffixes.count("." + extension), 0U) << extension;
      EXPECT_EQ(suffixes.count(".tar." + extension), 1U) << extension;
    } else {
      EXPECT_EQ(suffixes.count("." + extension), 1U) << extension;
    }
  }
}

}  // namespace
}  // namespace vexel
