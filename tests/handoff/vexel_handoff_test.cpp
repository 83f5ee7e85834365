// vexel-handoff as the desktop starts it, with the real 7-Zip and bsdtar
// and stand-ins for the desktop's programs (notify-send, zenity, xdg-open),
// as the test's own user and as one without privileges; archives built
// here, hostile ones included, and attacks made while it runs.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "foundation/url_components.h"
#include "model/archive_tree.h"
#include "readers/extension_archive.h"
#include "support/archive_maker.h"
#include "support/archive_writer.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

namespace fs = std::filesystem;
using test::ProcessOutput;
using test::shellQuoted;

const fs::path kHandoff = VEXEL_HANDOFF_HOST;

// The desktop's programs, played by scripts of shell built-ins (PATH holds
// nothing else): each logs its arguments to $VEXEL_LOG/<name>, one a line.
// notify-send prints the id 7; zenity answers with the status on the first
// line of $VEXEL_LOG/zenity-answer and prints the rest.
constexpr const char* kStandIns[][2] = {
    {"notify-send",
     "for a in \"$@\"; do echo \"$a\"; done >> \"$VEXEL_LOG/notify-send\"; echo 7\n"},
    {"zenity",
     "for a in \"$@\"; do echo \"$a\"; done >> \"$VEXEL_LOG/zenity\"\n"
     "{ read -r status; while IFS= read -r line; do echo \"$line\"; done; } < "
     "\"$VEXEL_LOG/zenity-answer\"\n"
     "exit \"$status\"\n"},
    {"xdg-open", "for a in \"$@\"; do echo \"$a\"; done >> \"$VEXEL_LOG/xdg-open\"\n"},
};

class VexelHandoffHost : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);  // the modes expected below
    for (const char* folder : {"bin", "log", "work", "tmp", "home"})
      fs::create_directories(mDir / folder);
    for (const auto& [name, body] : kStandIns) script(name, body);
  }

  // runAsUnprivilegedUser: from now on vexel-handoff runs as a user without
  // privileges: "vexel-test" (made when missing) when the test runs as
  // root, as CI does; else the test's own user. False when there is none.
  bool runAsUnprivilegedUser() {
    if (geteuid() != 0) return false;
    const passwd* user = getpwnam("vexel-test");
    // Another test may be adding it at the same moment (ctest --parallel):
    // its useradd holds the lock, this one fails, and the user appears.
    for (int attempt = 0; user == nullptr && attempt < 20; ++attempt) {
      test::run(
          "useradd --system --no-create-home --shell /usr/sbin/nologin vexel-test 2>/dev/null");
      user = getpwnam("vexel-test");
      if (user == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (user == nullptr) {
      ADD_FAILURE() << "cannot add the user vexel-test";
      return false;
    }
    mUser = std::make_pair(user->pw_uid, user->pw_gid);
    giveToUser(mDir.path());
    return true;
  }

  // giveToUser: makes `path` and everything in it the user's who runs
  // vexel-handoff (fixtures are made by the test's own user).
  void giveToUser(const fs::path& path) const {
    if (!mUser) return;
    test::run("chown -R " + std::to_string(mUser->first) + ":" + std::to_string(mUser->second) +
              " " + shellQuoted(path));
  }

  // The command line that runs vexel-handoff with `url`, as the user.
  std::vector<std::string> handoffArguments(const std::string& url, bool display) const {
    std::vector<std::string> argv;
    if (mUser) {
      argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(mUser->first),
              "--regid=" + std::to_string(mUser->second), "--clear-groups", "--"};
    }
    argv.insert(argv.end(), {"/usr/bin/env", "-i"});
    for (const std::string& variable : environment(display)) argv.push_back(variable);
    argv.insert(argv.end(), {kHandoff.string(), url});
    return argv;
  }

  // handoffCommand: the same as one shell command.
  std::string handoffCommand(const std::string& url, bool display = false) const {
    std::string command;
    for (const std::string& argument : handoffArguments(url, display)) {
      command += (command.empty() ? "" : " ") + shellQuoted(argument);
    }
    return command;
  }

  static std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(mode & 07777));
    return text;
  }

  void script(const std::string& name, const std::string& body) const {
    test::writeFile(mDir / "bin" / name, "#!/bin/sh\n" + body);
    fs::permissions(mDir / "bin" / name, fs::perms::owner_all);
  }

  // Puts the real `name` (from the test's own PATH) on vexel-handoff's PATH.
  bool useTool(const std::string& name) const {
    const ProcessOutput found = test::runShell("command -v " + shellQuoted(name));
    if (found.exitStatus != 0) return false;
    fs::create_symlink(found.out.substr(0, found.out.find('\n')), mDir / "bin" / name);
    return true;
  }

  std::vector<std::string> environment(bool display) const {
    std::vector<std::string> env = {
        "PATH=" + (mDir / "bin").string(), "VEXEL_LOG=" + (mDir / "log").string(),
        "HOME=" + (mDir / "home").string(), "TMPDIR=" + (mDir / "tmp").string(), "LANG=C.UTF-8"};
    if (display) env.push_back("DISPLAY=:99");
    return env;
  }

  ProcessOutput handoff(const std::string& url, bool display = false) const {
    return test::runProcess(handoffArguments(url, display));
  }

  // Makes fixtures in the work folder with the test's own PATH.
  void make(const std::string& command) const {
    ASSERT_EQ(test::run("cd " + shellQuoted(work()) + " && " + command), 0) << command;
  }

  void answerZenity(int status, const std::string& output = "") const {
    test::writeFile(mDir / "log/zenity-answer", std::to_string(status) + "\n" + output + "\n");
  }

  std::string log(const std::string& name) const {
    return fs::exists(mDir / "log" / name) ? test::readFile(mDir / "log" / name) : "";
  }

  fs::path work() const { return mDir / "work"; }

  // Registers vexel-handoff for vexel:// URLs with the real xdg-utils (no
  // desktop name: the generic xdg-open runs it in the foreground) and
  // returns the environment that sees it.
  std::vector<std::string> registerHandler() const {
    fs::remove(mDir / "bin/xdg-open");  // the real one
    fs::create_symlink(kHandoff, mDir / "bin/vexel-handoff");
    fs::create_directories(mDir / "data/applications");
    fs::create_directories(mDir / "run");
    fs::permissions(mDir / "run", fs::perms::owner_all);
    fs::copy_file(VEXEL_HANDOFF_ENTRY, mDir / "data/applications/vexel-handoff.desktop");
    std::vector<std::string> env = environment(true);
    env[0] += ":/usr/bin:/bin";  // xdg-open's own tools
    env.push_back("XDG_DATA_HOME=" + (mDir / "data").string());
    env.push_back("XDG_DATA_DIRS=" + (mDir / "data").string());
    env.push_back("XDG_CONFIG_HOME=" + (mDir / "config").string());
    env.push_back("XDG_RUNTIME_DIR=" + (mDir / "run").string());
    const ProcessOutput registered = test::runProcess(
        {"xdg-mime", "default", "vexel-handoff.desktop", "x-scheme-handler/vexel"}, env);
    EXPECT_EQ(registered.exitStatus, 0) << registered.err;
    return env;
  }

  // Everything under `root`, as relative paths.
  static std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      paths.insert(entry.path().lexically_relative(root).string());
    }
    return paths;
  }

  // What appeared under the work folder since `before`.
  std::set<std::string> added(const std::set<std::string>& before) const {
    std::set<std::string> now = tree(work());
    for (const std::string& path : before) now.erase(path);
    return now;
  }

  static std::string url(const std::string& action, const std::vector<fs::path>& paths,
                         std::optional<std::string> format = std::nullopt) {
    platform::URLComponents components;
    components.scheme = "vexel";
    components.host = action;
    components.queryItems.emplace();
    if (format) components.queryItems->push_back({"format", format});
    for (const fs::path& path : paths) components.queryItems->push_back({"path", path.string()});
    return *components.string();
  }

  test::TempDir mDir;
  std::optional<std::pair<uid_t, gid_t>>
      mUser;  // who runs vexel-handoff; the test's user when absent
};

std::string archiveOf(const std::string& archive, const std::vector<std::string>& members) {
  return test::archiveCommand(archive, members);
}

// The entries of `archive` that are symbolic links, as bsdtar lists them.
std::set<std::string> linksIn(const fs::path& archive) {
  const ProcessOutput listed = test::runProcess({"bsdtar", "-tvf", archive.string()});
  // "lrwxrwxrwx  0 0  0  0 Dec  8 15:08 name -> target"
  static const std::regex kLink(R"(^l\S+(\s+\S+){7}\s(.*) -> .*$)");
  std::set<std::string> links;
  std::smatch match;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, match, kLink)) links.insert(match[2]);
  }
  return links;
}

// twelveDeep: the folders x0/x1/.../x11; climbTwelve: "../" twelve times.
std::string twelveDeep() {
  std::string path;
  for (int k = 0; k < 12; ++k) path += (k == 0 ? "x" : "/x") + std::to_string(k);
  return path;
}
std::string climbTwelve() {
  std::string up;
  for (int k = 0; k < 12; ++k) up += "../";
  return up;
}

// Every row as the test's own user (root in CI) and as a user without
// privileges, with no archiver on PATH: libarchive does it all.
TEST_F(VexelHandoffHost, ExtractsBesideTheArchiveOrRefuses) {
  const fs::path rar = fs::path(VEXEL_FIXTURES_DIR) / "test_read_format_rar.rar";
  const std::string deep = twelveDeep();
  const std::string longName(250, 'n');  // with ".zip", a name of 254 bytes
  const struct {
    const char* name;
    std::string archive;
    std::string make;
    std::set<std::string> added;  // empty: refused, nothing made anywhere
    std::string message = "";     // on standard error
    std::map<std::string, std::string> modes = {};
    std::map<std::string, std::string> contents = {};  // a file's data, or its size as "#N"
  } rows[] = {
      {"one top folder: extracted as it is",
       "one.zip",
       archiveOf("one.zip", {"f:项目 文件/a.txt", "f:项目 文件/子 目录/b.txt"}),
       {"项目 文件", "项目 文件/a.txt", "项目 文件/子 目录", "项目 文件/子 目录/b.txt"}},
      {"several top entries: a folder named after the archive",
       "我的 归档.tar",
       archiveOf("我的 归档.tar", {"f:a.txt", "f:dir/b 文件.txt", "l:dir/l:../a.txt"}),
       {"我的 归档", "我的 归档/a.txt", "我的 归档/dir", "我的 归档/dir/b 文件.txt",
        "我的 归档/dir/l"}},
      {"top folder taken: named after the archive",
       "taken.zip",
       archiveOf("taken.zip", {"f:taken/x.txt"}) + " && mkdir taken",
       {"taken (2)", "taken (2)/taken", "taken (2)/taken/x.txt"}},
      {"destination taken: numbered",
       "multi.zip",
       archiveOf("multi.zip", {"f:a", "f:b"}) + " && mkdir multi multi\\ \\(2\\)",
       {"multi (3)", "multi (3)/a", "multi (3)/b"}},
      {"a hidden top folder never becomes the result",
       "holiday-photos.zip",
       archiveOf("holiday-photos.zip", {"f:.ssh/authorized_keys:ssh-ed25519 AAAA"}),
       {"holiday-photos", "holiday-photos/.ssh", "holiday-photos/.ssh/authorized_keys"}},
      {"compressed tarballs give their files",
       "a.tar.gz",
       archiveOf("a.tar.gz", {"f:a/one.txt:1"}),
       {"a", "a/one.txt"}},
      {"tgz", "c.tgz", archiveOf("c.tgz", {"f:c1:1", "f:c2:2"}), {"c", "c/c1", "c/c2"}},
      {"tar.xz", "x.tar.xz", archiveOf("x.tar.xz", {"f:x1:1", "f:x2:2"}), {"x", "x/x1", "x/x2"}},
      {"tar.zst", "z.tar.zst", archiveOf("z.tar.zst", {"f:z1:1", "f:z2:2"}), {"z", "z/z1", "z/z2"}},
      {"a 254-byte archive name",
       longName + ".zip",
       archiveOf(longName + ".zip", {"f:a", "f:b"}),
       {longName, longName + "/a", longName + "/b"}},
      {"a link out through the archive's own links is left out (lz4, named .tar)",
       "evil.tar",
       archiveOf("evil.tar.lz4", {"d:" + deep, "d:y0", "l:" + deep + "/r:" + climbTwelve() + "y0",
                                  "l:q:" + deep + "/r/../../../victim/.ssh", "f:y0/z"}) +
           " && mv evil.tar.lz4 evil.tar",
       {},  // filled below: everything but q
       "为了安全，1 个指向解压位置之外的链接没有解压。"},
      {"links judged where the top folder lands: one level higher",
       "up.tar",
       archiveOf("up.tar",
                 {"d:top", "f:top/readme.txt:hi", "l:top/up:..", "l:top/sib:../victimdir"}),
       {"top", "top/readme.txt"},
       "为了安全，2 个指向解压位置之外的链接没有解压。"},
      {"a hard link keeps the data of its time, as tar does",
       "hard.tar",
       archiveOf("hard.tar", {"f:d/a.txt:ORIGINAL", "h:d/h.txt:d/a.txt", "f:d/a.txt:NEWER"}),
       {"d", "d/a.txt", "d/h.txt"},
       "",
       {},
       {{"d/a.txt", "NEWER"}, {"d/h.txt", "ORIGINAL"}}},
      {"a compressed disk image starting with a zero block is its one file",
       "disk.img.gz",
       "python3 -c \"import gzip,sys; sys.stdout.buffer.write(gzip.compress(bytes(4096) + "
       "b'DATA' * 5250))\" > disk.img.gz",
       {"disk.img"},
       "",
       {},
       {{"disk.img", "#25096"}}},
      {"an empty tarball stays an empty folder",
       "empty.tar.gz",
       "python3 -c \"import gzip,sys; sys.stdout.buffer.write(gzip.compress(bytes(10240)))\" > "
       "empty.tar.gz",
       {"empty"}},
      {"devices, pipes, set-id bits and open modes",
       "modes.tar",
       archiveOf("modes.tar", {"b:blk-sda", "c:chr-mem", "p:fifo", "f:suid:s:4755", "f:open:o:666",
                               "d:sticky::1777"}),
       {"modes", "modes/suid", "modes/open", "modes/sticky"},
       "3 个设备文件、管道或套接字没有解压。",
       {{"modes/suid", "755"}, {"modes/open", "644"}, {"modes/sticky", "755"}}},
      {"parent", "h.tar", archiveOf("h.tar", {"f:ok/../../up.txt"}), {}, "指向解压位置之外"},
      {"absolute", "h.tar", archiveOf("h.tar", {"f:/tmp/vexel-abs.txt"}), {}, "是绝对路径"},
      {"zip parent",
       "h.zip",
       archiveOf("h.zip", {"f:a.txt", "f:../zup.txt"}),
       {},
       "指向解压位置之外"},
      {"only a link out",
       "h.tar",
       archiveOf("h.tar", {"l:l:../../x"}),
       {},
       "为了安全，没有解压：压缩包里只有 1 个指向解压位置之外的链接。"},
      {"a chain of links out",
       "h.tar",
       archiveOf("h.tar", {"l:a:b", "l:b:c/..", "l:c:../.."}),
       {},
       "压缩包里只有 3 个指向解压位置之外的链接"},
      {"write through a link",
       "h.tar",
       archiveOf("h.tar", {"l:l:.", "f:l/f"}),
       {},
       "条目“l/f”位于链接“l”之下"},
      {"a ./ link",
       "h.tar",
       archiveOf("h.tar", {"l:./:/tmp", "f:a"}),
       {},
       "没有名字的文件或链接（“./”）"},
      {"an empty name", "h.zip", archiveOf("h.zip", {"f:", "f:a"}), {}, "没有名字的文件或链接"},
      {"zip link, target held as data",
       "h.zip",
       archiveOf("h.zip", {"l:zl:/etc/passwd"}),
       {},
       "压缩包里只有 1 个指向解压位置之外的链接"},
      {"a Debian package gives the files it installs",
       "demo_1.0_all.deb",
       "mkdir -p pkg/DEBIAN pkg/usr/bin && printf 'Package: demo\\nVersion: 1.0\\nArchitecture: "
       "all\\nMaintainer: t <t@example.org>\\nDescription: d\\n' > pkg/DEBIAN/control && echo x > "
       "pkg/usr/bin/demo && dpkg-deb --root-owner-group -b pkg demo_1.0_all.deb >/dev/null && rm "
       "-r pkg",
       {"demo_1.0_all", "demo_1.0_all/usr", "demo_1.0_all/usr/bin", "demo_1.0_all/usr/bin/demo"}},
      {"RAR",
       "r.rar",
       "cp " + shellQuoted(rar) + " r.rar",
       {"r", "r/test.txt", "r/testlink", "r/testdir", "r/testdir/test.txt", "r/testemptydir"}},
      {"junk",
       "junk.zip",
       "echo not an archive > junk.zip",
       {},
       "无法打开：这不是压缩包，或者文件已经损坏。"},
  };
  // Each row's archive made once, copied in for each run.
  const fs::path made = mDir / "made";
  for (size_t k = 0; k < std::size(rows); ++k) {
    if (rows[k].archive == "r.rar" && !fs::exists(rar)) continue;
    fs::create_directories(made / std::to_string(k));
    ASSERT_EQ(test::run("cd " + shellQuoted(made / std::to_string(k)) + " && " + rows[k].make), 0)
        << rows[k].make;
  }
  for (const bool unprivileged : {false, true}) {
    if (unprivileged && !runAsUnprivilegedUser()) continue;
    for (size_t k = 0; k < std::size(rows); ++k) {
      const auto& row = rows[k];
      SCOPED_TRACE(std::string(unprivileged ? "unprivileged: " : "") + row.name);
      if (!fs::exists(made / std::to_string(k))) continue;
      fs::remove_all(work());
      fs::create_directories(work());
      ASSERT_EQ(
          test::run("cp -a " + shellQuoted(made / std::to_string(k)) + "/. " + shellQuoted(work())),
          0);
      giveToUser(work());
      const auto everything = tree(work());
      const auto before = tree(work());
      const ProcessOutput output = handoff(url("extract", {work() / row.archive}));
      std::set<std::string> expected = row.added;
      if (row.archive == "evil.tar") {
        expected = {"evil", "evil/y0", "evil/y0/z"};
        std::string path = "evil";
        for (int level = 0; level < 12; ++level)
          expected.insert(path += "/x" + std::to_string(level));
        expected.insert(path + "/r");
      }
      const bool refused = expected.empty();
      EXPECT_EQ(output.exitStatus, refused ? 1 : 0) << output.err;
      EXPECT_EQ(added(before), expected) << output.err;
      if (refused) {
        EXPECT_EQ(tree(work()), everything);
        EXPECT_NE(output.err.find("无法解压“" + row.archive + "”："), std::string::npos)
            << output.err;
      }
      EXPECT_NE(output.err.find(row.message), std::string::npos) << output.err;
      for (const auto& [path, mode] : row.modes) {
        struct stat info {};
        ASSERT_EQ(lstat((work() / path).c_str(), &info), 0) << path;
        EXPECT_EQ(modeText(info.st_mode), mode) << path;
      }
      for (const auto& [path, data] : row.contents) {
        if (data.starts_with('#')) {
          EXPECT_EQ(std::to_string(fs::file_size(work() / path)), data.substr(1)) << path;
        } else {
          EXPECT_EQ(test::readFile(work() / path), data) << path;
        }
      }
    }
  }
  EXPECT_FALSE(fs::exists("/tmp/vexel-abs.txt"));
}

// The names the preview shows, GBK without the UTF-8 flag included.
TEST_F(VexelHandoffHost, ExtractsTheNamesThePreviewShows) {
  test::writeFile(work() / "gbk.zip",
                  test::zipBytes({{.name = "\xb1\xa8\xb8\xe6/\xcf\xee\xc4\xbf.txt", .data = "x"},
                                  {.name = "\xcd\xbc\xc6\xac.txt", .data = "y"}}));
  ASSERT_EQ(
      test::run("cd " + shellQuoted(work()) +
                " && mkdir u && echo z > u/中文名.txt && echo w > u/b.txt && cd u && python3 -m "
                "zipfile -c ../utf8.zip 中文名.txt b.txt"),
      0);
  for (const char* archive : {"gbk.zip", "utf8.zip"}) {
    SCOPED_TRACE(archive);
    const auto listing = ExtensionArchive::list(work() / archive, 10.0);
    std::set<std::string> shown;
    const std::string stem = fs::path(archive).stem().string();
    for (const ArchiveNode* node : listing.tree->root().descendants()) {
      shown.insert(stem + "/" + std::string(node->path()));
    }
    shown.insert(stem);
    const auto before = tree(work());
    const ProcessOutput output = handoff(url("extract", {work() / archive}));
    EXPECT_EQ(output.exitStatus, 0) << output.err;
    EXPECT_EQ(added(before), shown);
  }
  EXPECT_EQ(test::readFile(work() / "gbk/报告/项目.txt"), "x");
  EXPECT_EQ(test::readFile(work() / "gbk/图片.txt"), "y");
}

// 7-Zip only for what libarchive cannot decrypt; ZIP passwords through
// libarchive. 7-Zip is handed the password on its terminal, never on its
// command line, and reads "*" in a path as a character.
TEST_F(VexelHandoffHost, AsksForThePasswordAgainAfterAWrongOne) {
  if (!test::hasTool("7zz")) VEXEL_SKIP_UNLESS_CI() << "7zz makes the encrypted archives";
  make(
      "echo secret > s.txt && 7zz a -bso0 -tzip -pRIGHT enc.zip s.txt && 7zz a -bso0 -mhe=on "
      "-pRIGHT 'n*.7z' s.txt && echo other > o.txt && 7zz a -bso0 -mhe=on -pRIGHT nX.7z o.txt"
      " && 7zz a -bso0 -pRIGHT data.7z s.txt && rm s.txt o.txt");
  // 7zz logs its arguments, one a line, then runs.
  const std::string real = test::runShell("command -v 7zz").out;
  script("7zz", "for a in \"$@\"; do echo \"$a\"; done >> \"$VEXEL_LOG/7zz\"\nexec " +
                    real.substr(0, real.size() - 1) + " \"$@\"\n");
  const struct {
    std::string archive;
    bool display;
    int zenityStatus;
    std::string answer;
    std::string message;  // "" for success
    bool runsSevenZip;
  } rows[] = {
      {"enc.zip", true, 0, "RIGHT", "", false},
      {"n*.7z", true, 0, "RIGHT", "", true},
      {"data.7z", true, 0, "RIGHT", "", true},
      {"enc.zip", true, 0, "WRONG", "密码不正确，或者需要输入密码。", false},
      {"data.7z", true, 0, "WRONG", "密码不正确，或者需要输入密码。", true},
      {"n*.7z", true, 1, "", "已取消。", true},
      {"enc.zip", false, 0, "RIGHT", "密码不正确，或者需要输入密码。", false},  // nobody to ask
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.archive + " " + row.answer);
    fs::remove(mDir / "log/zenity");
    fs::remove(mDir / "log/7zz");
    answerZenity(row.zenityStatus, row.answer);
    const auto before = tree(work());
    const ProcessOutput output = handoff(url("extract", {work() / row.archive}), row.display);
    EXPECT_EQ(output.exitStatus, row.message.empty() ? 0 : 1) << output.err;
    EXPECT_EQ(log("zenity").starts_with("--password\n"), row.display) << log("zenity");
    // Once, or three times when wrong, saying so after the first.
    const bool isWrong = row.answer == "WRONG";
    const std::string asked = log("zenity");
    std::size_t questions = 0;
    for (std::size_t at = 0; (at = asked.find("--password\n", at)) != std::string::npos; ++at)
      ++questions;
    EXPECT_EQ(questions, row.display ? (isWrong ? 3U : 1U) : 0U) << asked;
    EXPECT_EQ(asked.find("密码不正确，请重新输入") != std::string::npos, isWrong) << asked;
    EXPECT_EQ(!log("7zz").empty(), row.runsSevenZip) << log("7zz");
    if (!row.answer.empty()) {
      EXPECT_EQ(log("7zz").find(row.answer), std::string::npos) << log("7zz");
    }
    if (row.runsSevenZip) {
      EXPECT_NE(log("7zz").find("-spd\n"), std::string::npos) << log("7zz");
    }
    if (row.message.empty()) {
      const std::string stem = fs::path(row.archive).stem().string();
      EXPECT_EQ(added(before), (std::set<std::string>{stem, stem + "/s.txt"}));
      EXPECT_EQ(test::readFile(work() / stem / "s.txt"), "secret\n");
      fs::remove_all(work() / stem);
    } else {
      EXPECT_NE(output.err.find(row.message), std::string::npos) << output.err;
      EXPECT_EQ(added(before), std::set<std::string>{});
    }
  }
}
TEST_F(VexelHandoffHost, Compresses) {
  const struct {
    const char* name;
    std::vector<std::string> items;
    std::optional<std::string> format;
    int zenityStatus;
    std::string answer;
    std::string made;  // "" when nothing is made
    std::set<std::string> entries;
    std::set<std::string> links = {};  // the entries that are symbolic links
  } rows[] = {
      {"one file", {"项目/notes.txt"}, "zip", 0, "", "项目/notes.txt.zip", {"notes.txt"}},
      {"target taken", {"项目/notes.txt"}, "zip", 0, "", "项目/notes.txt (2).zip", {"notes.txt"}},
      {"several items",
       {"项目/notes.txt", "项目/子 目录"},
       "7z",
       0,
       "",
       "项目/项目.7z",
       {"notes.txt", "子 目录", "子 目录/b.txt"}},
      {"format asked",
       {"项目/子 目录"},
       std::nullopt,
       0,
       "7z:9",
       "项目/子 目录.7z",
       {"子 目录", "子 目录/b.txt"}},
      // OK with nothing chosen: asked again, and never a silent pick.
      {"no choice made", {"项目/子 目录"}, std::nullopt, 0, "", "", {}},
      {"dialog cancelled", {"项目/子 目录"}, std::nullopt, 1, "", "", {}},
      // "*" and "?" are a name's characters, never wildcards.
      {"wildcard characters", {"项目/notes*"}, "zip", 0, "", "项目/notes*.zip", {"notes*"}},
      {"wildcard characters, 7z", {"项目/n?tes*"}, "7z", 0, "", "项目/n?tes*.7z", {"n?tes*"}},
      // "@name" is a file, not an archive whose entries are copied in.
      {"a name starting with @",
       {"项目/@inner.tar"},
       "zip",
       0,
       "",
       "项目/@inner.tar.zip",
       {"@inner.tar"}},
      {"a name starting with -", {"项目/-rf"}, "zip", 0, "", "项目/-rf.zip", {"-rf"}},
      // A link is stored as a link: what it points to stays out.
      {"links stay links",
       {"项目/linked", "项目/top-link"},
       "zip",
       0,
       "",
       "项目/项目.zip",
       {"linked", "linked/link", "top-link"},
       {"linked/link", "top-link"}},
      {"links stay links, 7z",
       {"项目/linked"},
       "7z",
       0,
       "",
       "项目/linked.7z",
       {"linked", "linked/link"},
       {"linked/link"}},
  };
  int archiversRun = 0;
  for (const std::string tool : {"7zz", "bsdtar"}) {
    SetUp();
    if (test::missingTool(tool) || !useTool(tool)) continue;
    ++archiversRun;
    fs::remove_all(work());
    fs::create_directories(work() / "项目/子 目录");
    test::writeFile(work() / "项目/notes.txt", "n");
    test::writeFile(work() / "项目/子 目录/b.txt", "b");
    for (const char* name : {"notes*", "notes-private.txt", "notesX", "n?tes*", "-rf"})
      test::writeFile(work() / "项目" / name, "n");
    make(
        "mkdir -p inner && echo leaked > inner/leak.txt && bsdtar -cf 项目/inner.tar inner &&"
        " cp 项目/inner.tar 项目/@inner.tar && mkdir -p outside 项目/linked &&"
        " echo secret > outside/secret.txt && ln -s ../../outside 项目/linked/link &&"
        " ln -s ../outside 项目/top-link");
    for (const auto& row : rows) {
      SCOPED_TRACE(tool + ": " + row.name);
      answerZenity(row.zenityStatus, row.answer);
      std::vector<fs::path> items;
      for (const std::string& item : row.items) items.push_back(work() / item);
      const auto before = tree(work());
      const ProcessOutput output = handoff(url("compress", items, row.format), true);
      EXPECT_EQ(output.exitStatus, row.made.empty() ? 1 : 0) << output.err;
      const std::set<std::string> made = added(before);
      if (row.made.empty()) {
        EXPECT_EQ(made, std::set<std::string>{});
        continue;
      }
      EXPECT_EQ(made, std::set<std::string>{row.made}) << output.err;
      const ProcessOutput listed =
          test::runProcess({"bsdtar", "-tf", (work() / row.made).string()});
      std::set<std::string> entries;
      for (size_t start = 0, end; (end = listed.out.find('\n', start)) != std::string::npos;
           start = end + 1) {
        std::string entry = listed.out.substr(start, end - start);
        if (entry.ends_with('/')) entry.pop_back();
        entries.insert(entry);
      }
      EXPECT_EQ(entries, row.entries);
      EXPECT_EQ(linksIn(work() / row.made), row.links);
    }
    // The first row's archive was there when the second ran; the rest go.
    for (const auto& row : rows) {
      if (!row.made.empty() && row.made != "项目/notes.txt.zip") fs::remove(work() / row.made);
    }
    fs::remove(work() / "项目/notes.txt.zip");
    fs::remove(mDir / "bin" / tool);
  }
  if (archiversRun == 0) VEXEL_SKIP_UNLESS_CI() << "neither 7zz nor bsdtar is installed";
}

TEST_F(VexelHandoffHost, RefusesURLsAndPathsItWasNotMadeFor) {
  fs::create_directories(work() / "folder.zip");
  test::writeFile(work() / "notes.txt", "n");
  test::writeFile(work() / "a.zip", "not even read");
  const struct {
    std::string url;
    int status;
    std::string message;
  } rows[] = {
      {"http://example.com/?path=/etc", 2, "这不是 Vexel 的链接"},
      {"vexel://delete?path=" + work().string() + "/a.zip", 2, "不认识的操作"},
      {url("extract", {work() / "missing.zip"}), 1, "找不到"},
      {url("extract", {work() / "folder.zip"}), 1, "是文件夹，不是压缩包"},
      {url("open", {work() / "notes.txt"}), 1, "不是压缩包"},
      {url("extract", {work() / "a.zip", work() / "missing.zip"}), 1,
       "找不到"},  // nothing at all is done
      {url("compress", {work() / "notes.txt", work() / "gone"}, "zip"), 1, "找不到"},
      {"vexel://sync", 0, ""},
  };
  const auto before = tree(work());
  for (const auto& row : rows) {
    SCOPED_TRACE(row.url);
    const ProcessOutput output = handoff(row.url, true);
    EXPECT_EQ(output.exitStatus, row.status);
    EXPECT_NE(output.err.find(row.message), std::string::npos) << output.err;
    EXPECT_EQ(row.message.empty(), log("notify-send").empty()) << log("notify-send");
    fs::remove(mDir / "log/notify-send");
    EXPECT_EQ(tree(work()), before);
  }
}

TEST_F(VexelHandoffHost, ShowsProgressInPlaceOrOnStandardError) {
  make("mkdir p && head -c 30000000 /dev/urandom > p/random && tar -czf p.tar.gz p && rm -r p");
  const ProcessOutput lines = handoff(url("extract", {work() / "p.tar.gz"}));
  EXPECT_EQ(lines.exitStatus, 0) << lines.err;
  // A line per tenth at most, in order, ending with the outcome.
  std::vector<int> percents;
  for (size_t at = 0; (at = lines.err.find("正在解压“p.tar.gz”：", at)) != std::string::npos;) {
    at += std::string_view("正在解压“p.tar.gz”：").size();
    percents.push_back(std::stoi(lines.err.substr(at)));
  }
  EXPECT_GE(percents.size(), 3u) << lines.err;
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << lines.err;
  EXPECT_NE(lines.err.find("已解压“p.tar.gz”：到“" + (work() / "p").string() + "”"),
            std::string::npos)
      << lines.err;
  EXPECT_EQ(log("notify-send"), "");

  const ProcessOutput shown = handoff(url("extract", {work() / "p.tar.gz"}), true);
  EXPECT_EQ(shown.exitStatus, 0) << shown.err;
  const std::string notes = log("notify-send");
  // The first notification gets an id; the rest replace it.
  EXPECT_TRUE(
      notes.starts_with("--app-name=Vexel\n--icon=folder\n--print-id\n--hint=int:value:0\n"))
      << notes;
  EXPECT_NE(notes.find("--replace-id=7\n--hint=int:value:"), std::string::npos) << notes;
  EXPECT_NE(
      notes.find("--replace-id=7\n--\n已解压“p.tar.gz”\n到“" + (work() / "p (2)").string() + "”\n"),
      std::string::npos)
      << notes;
}

// Starts vexel-handoff on `archive` in the background (as the unprivileged
// user where there is one), waits until its work folder appears, runs
// `meanwhile` in the work folder's folder, waits for it to end, and prints
// its status and standard error.
std::string whileExtracting(const std::string& handoffCommand, const fs::path& folder,
                            const std::string& meanwhile) {
  return "cd " + shellQuoted(folder) + " && { " + handoffCommand +
         " 2> handoff.err & pid=$!; i=0; while [ -z \"$(ls -d .vexel-* 2>/dev/null)\" ]; do "
         "i=$((i+1)); [ $i -gt 2000 ] && { echo no-work-folder; break; }; sleep 0.005; done; " +
         meanwhile + "; wait $pid; echo status=$?; cat handoff.err; rm handoff.err; }";
}

// Another user may write in the destination's folder: while the slow
// archive is extracted, they rename the work folder and put a link to a
// folder of theirs in its place. Nothing reaches their folder.
TEST_F(VexelHandoffHost, SwappedWorkFolderSendsNothingElsewhere) {
  if (!runAsUnprivilegedUser() && geteuid() == 0) GTEST_SKIP() << "no user without privileges";
  make(
      "mkdir -p s/d && head -c 200000000 /dev/zero > s/d/zeros && echo late > s/d/z-late.txt && "
      "tar "
      "-cf slow.tar -C s d && rm -r s && mkdir shared && mv slow.tar shared/ && chmod 1777 . && "
      "chmod 777 shared && mkdir theirs");
  giveToUser(work() / "shared");
  const ProcessOutput output = test::runShell(whileExtracting(
      handoffCommand(url("extract", {work() / "shared/slow.tar"})), work() / "shared",
      "w=$(ls -d .vexel-*); mv \"$w\" moved && ln -s " + shellQuoted(work() / "theirs") +
          " \"$w\""));
  EXPECT_NE(output.out.find("status=0"), std::string::npos) << output.out << output.err;
  EXPECT_TRUE(fs::is_empty(work() / "theirs"));
  EXPECT_EQ(test::readFile(work() / "shared/d/z-late.txt"), "late\n");
  EXPECT_FALSE(fs::is_symlink(work() / "shared/d"));

  // Compressing there: 7-Zip writes where no one else can redirect it, and
  // the archive reaches the folder through descriptors.
  if (!useTool("7zz")) VEXEL_SKIP_UNLESS_CI() << "7zz compresses";
  make("head -c 300000000 /dev/zero > shared/big");
  giveToUser(work() / "shared");
  const ProcessOutput compressed = test::runShell(whileExtracting(
      handoffCommand(url("compress", {work() / "shared/big"}, "zip")), work() / "shared",
      "w=$(ls -d .vexel-*); mv \"$w\" moved2 && ln -s " + shellQuoted(work() / "theirs") +
          " \"$w\""));
  EXPECT_EQ(compressed.out.find("no-work-folder"), std::string::npos) << compressed.out;
  EXPECT_NE(compressed.out.find("status=0"), std::string::npos) << compressed.out << compressed.err;
  EXPECT_TRUE(fs::is_empty(work() / "theirs"));
  EXPECT_TRUE(fs::is_regular_file(work() / "shared/big.zip"));
}

// A run killed outright (SIGKILL, which nothing can catch) while it
// extracts in process, compresses a large folder with 7-Zip, or extracts
// a large archive with it: no 7-Zip goes on, the work folder stays, and the
// next run in that folder (a small one) clears it. A 7-Zip that writes
// nothing meanwhile (one blocked on a named pipe) would not even meet a
// closed pipe: the stand-in ignores every signal that can be ignored.
TEST_F(VexelHandoffHost, ClearsWhatAKilledRunLeft) {
  make(
      "mkdir -p s && head -c 300000000 /dev/zero > s/zeros && tar -cf slow.tar s && rm -r s && "
      "mkdir -p other big && truncate -s 4G big/zeros && echo n > notes.txt && " +
      archiveOf("other/a.zip", {"f:x"}));
  const bool hasSevenZip = useTool("7zz");
  if (hasSevenZip) make("truncate -s 512M z && 7zz a -bso0 -mx1 -pRIGHT big.7z z && rm z");
  answerZenity(0, "RIGHT");
  giveToUser(work());
  // As a pattern that matches its running programs, not the shell whose
  // command line holds the pattern.
  const std::string sevenZip = (mDir / "bin/7z[z]").string();
  // Waits for 7-Zip to run before the kill; after it, for every 7-Zip to end.
  const std::string waitForSevenZip =
      "i=0; until pgrep -f " + shellQuoted(sevenZip) +
      " >/dev/null; do i=$((i+1)); [ $i -gt 2000 ] && { echo no-7zz; break; }; sleep 0.005; "
      "done; ";
  const std::string sevenZipLeft = "; i=0; while pgrep -f " + shellQuoted(sevenZip) +
                                   " >/dev/null; do i=$((i+1)); [ $i -gt 100 ] && { echo "
                                   "7zz-left; for p in $(pgrep -f " +
                                   shellQuoted(sevenZip) +
                                   "); do kill -KILL $p; done; break; }; sleep 0.05; done";
  const struct {
    std::string name;
    std::string killed;  // the URL of the run killed
    std::string next;    // the URL of the run after it
    bool runsSevenZip;
    std::string standIn;  // the killed run's 7zz, when not the real one
  } rows[] = {
      {"extracting in process", url("extract", {work() / "slow.tar"}),
       url("extract", {work() / "a.zip"}), false, ""},
      {"compressing with 7-Zip", url("compress", {work() / "big"}, "zip"),
       url("compress", {work() / "notes.txt"}, "zip"), true, ""},
      {"extracting with 7-Zip", url("extract", {work() / "big.7z"}),
       url("extract", {work() / "a.zip"}), true, ""},
      {"compressing with a silent 7-Zip", url("compress", {work() / "big"}, "zip"),
       url("compress", {work() / "notes.txt"}, "zip"), true,
       "trap '' TERM INT HUP PIPE\nwhile :; do sleep 1; done\n"},
  };
  int rowsRun = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.runsSevenZip && !hasSevenZip) continue;
    ++rowsRun;
    if (!row.standIn.empty()) {
      fs::remove(mDir / "bin/7zz");
      script("7zz", row.standIn);
    }
    const ProcessOutput killed = test::runShell(
        whileExtracting(handoffCommand(row.killed, true), work(),
                        (row.runsSevenZip ? waitForSevenZip : "") + "kill -KILL $pid") +
        sevenZipLeft);
    EXPECT_NE(killed.out.find("status=137"), std::string::npos) << killed.out;
    EXPECT_EQ(killed.out.find("no-"), std::string::npos) << killed.out;
    EXPECT_EQ(killed.out.find("7zz-left"), std::string::npos) << killed.out;
    if (!row.standIn.empty()) {
      fs::remove(mDir / "bin/7zz");
      EXPECT_TRUE(useTool("7zz"));
    }
    const std::string leftOver = "find " + shellQuoted(mDir.path()) + " -name '.vexel-*'";
    EXPECT_FALSE(test::runShell(leftOver).out.empty());
    // A run elsewhere leaves it; one here clears it.
    EXPECT_EQ(handoff(url("extract", {work() / "other/a.zip"})).exitStatus, 0);
    EXPECT_FALSE(test::runShell(leftOver).out.empty());
    fs::remove_all(work() / "other/a");
    make(archiveOf("a.zip", {"f:y"}));
    giveToUser(work());
    EXPECT_EQ(handoff(row.next).exitStatus, 0);
    EXPECT_EQ(test::runShell(leftOver).out, "");
    for (const char* made : {"a", "notes.txt.zip"}) fs::remove_all(work() / made);
  }
  if (rowsRun < 4) VEXEL_SKIP_UNLESS_CI() << "7zz is not installed";
}

// SIGTERM (as from the desktop's session end) while a big member is written.
TEST_F(VexelHandoffHost, CancelLeavesNothingBehind) {
  make("mkdir -p s && head -c 300000000 /dev/zero > s/zeros && tar -cf slow.tar s && rm -r s");
  giveToUser(work());
  const auto before = tree(mDir.path());
  const ProcessOutput output = test::runShell(
      whileExtracting(handoffCommand(url("extract", {work() / "slow.tar", work() / "slow.tar"})),
                      work(), "kill -TERM $pid"));
  EXPECT_NE(output.out.find("status=1"), std::string::npos) << output.out;
  EXPECT_NE(output.out.find("无法解压“slow.tar”：已取消。"), std::string::npos) << output.out;
  EXPECT_EQ(output.out.find("已解压"), std::string::npos) << output.out;  // nor the second one
  EXPECT_EQ(tree(mDir.path()), before);
}

// The listed size against the free space, before anything is written; a
// disk that fills anyway says so, and leaves nothing.
TEST_F(VexelHandoffHost, RefusesWhatTheDiskCannotHold) {
  // A sparse file of 10 TB: a small tar that lists 10 TB.
  make("truncate -s 10000000000000 huge && tar --sparse -cf sparse.tar huge && rm huge");
  giveToUser(work());
  const auto before = tree(mDir.path());
  const ProcessOutput output = handoff(url("extract", {work() / "sparse.tar"}));
  EXPECT_EQ(output.exitStatus, 1);
  EXPECT_NE(output.err.find("磁盘空间不足，没有解压：解压出的文件共 10.00 TB，而“" +
                            work().string() + "”所在的磁盘只剩 "),
            std::string::npos)
      << output.err;
  EXPECT_EQ(tree(mDir.path()), before);

  // A 1 MiB file system, and a compressed file whose size is known only
  // once it is read.
  const fs::path small = mDir / "small";
  fs::create_directories(small);
  if (test::run("mount -t tmpfs -o size=1m tmpfs " + shellQuoted(small) + " 2>/dev/null") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  make("yes | head -c 3000000 | gzip > " + shellQuoted(small / "big.txt.gz"));
  giveToUser(small);
  const auto beforeFull = tree(small);
  const ProcessOutput full = handoff(url("extract", {small / "big.txt.gz"}));
  EXPECT_EQ(full.exitStatus, 1);
  EXPECT_NE(full.err.find("无法解压“big.txt.gz”：磁盘空间不足，没有解压。"), std::string::npos)
      << full.err;
  EXPECT_EQ(tree(small), beforeFull);
  test::run("umount " + shellQuoted(small));
}

// Data no header sizes (a .gz or .xz of 100 MiB of zeros, 100 KB packed)
// on a 16 MiB file system: the .xz's index tells its size, so it is refused
// before a byte is written; the .gz stops while the disk still has room,
// and never shows 100% first.
TEST_F(VexelHandoffHost, StopsBeforeTheDiskFills) {
  if (geteuid() != 0 || test::run("unshare -m true 2>/dev/null") != 0) {
    VEXEL_SKIP_UNLESS_CI() << "needs a mount namespace of its own for a small file system";
  }
  make(
      "head -c 104857600 /dev/zero | gzip > bomb.gz && head -c 104857600 /dev/zero | xz -T1 > "
      "bomb.xz");
  const fs::path small = mDir / "small";
  fs::create_directories(small);
  for (const char* bomb : {"bomb.gz", "bomb.xz"}) {
    SCOPED_TRACE(bomb);
    // The least free space seen while it runs, sampled by the shell.
    const std::string inside =
        "mount -t tmpfs -o size=16m tmpfs " + shellQuoted(small) + " && cp " +
        shellQuoted(work() / bomb) + " " + shellQuoted(small) + " && { " +
        handoffCommand(url("extract", {small / bomb})) + " 2> " +
        shellQuoted(mDir / "log/bomb.err") + " & pid=$!; least=$(df --output=avail -B1 " +
        shellQuoted(small) +
        " | tail -1); while kill -0 $pid 2>/dev/null; do a=$(df --output=avail -B1 " +
        shellQuoted(small) +
        " | tail -1); [ \"$a\" -lt \"$least\" ] && least=$a; done; wait $pid; "
        "echo status=$?; echo least=$least; ls -A " +
        shellQuoted(small) + "; }";
    const ProcessOutput output = test::runProcess({"unshare", "-m", "sh", "-c", inside});
    const std::string err = log("bomb.err");
    EXPECT_NE(output.out.find("status=1"), std::string::npos) << output.out << err;
    EXPECT_NE(output.out.find("\n" + std::string(bomb) + "\n"), std::string::npos) << output.out;
    EXPECT_EQ(output.out.find(".vexel-"), std::string::npos) << output.out;
    EXPECT_EQ(output.out.find("\nbomb\n"), std::string::npos) << output.out;
    const std::size_t least = output.out.find("least=");
    ASSERT_NE(least, std::string::npos) << output.out;
    EXPECT_GT(std::stoll(output.out.substr(least + 6)), 0) << output.out;
    EXPECT_NE(err.find("磁盘空间不足，没有解压"), std::string::npos) << err;
    EXPECT_EQ(err.find("100%"), std::string::npos) << err;
    if (std::string_view(bomb) == "bomb.xz") {
      EXPECT_NE(err.find("解压出的文件共 104.9 MB"), std::string::npos) << err;
    }
  }
}

// A Downloads folder that is a link to another disk: the user's own path,
// followed as the user's; only what is made here is opened without
// following links.
TEST_F(VexelHandoffHost, WorksInAFolderReachedThroughALink) {
  make(archiveOf("a.zip", {"f:a.txt:1", "f:b.txt:2"}) + " && echo n > notes.txt && mkdir disk");
  fs::rename(work() / "a.zip", work() / "disk/a.zip");
  fs::rename(work() / "notes.txt", work() / "disk/notes.txt");
  fs::create_symlink(work() / "disk", work() / "linkdir");
  giveToUser(work());
  const ProcessOutput extracted = handoff(url("extract", {work() / "linkdir/a.zip"}));
  EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
  EXPECT_TRUE(fs::exists(work() / "disk/a/b.txt")) << extracted.err;
  if (!useTool("7zz") && !useTool("bsdtar")) {
    VEXEL_SKIP_UNLESS_CI() << "needs 7zz or bsdtar";
  }
  const ProcessOutput compressed = handoff(url("compress", {work() / "linkdir/notes.txt"}, "zip"));
  EXPECT_EQ(compressed.exitStatus, 0) << compressed.err;
  EXPECT_TRUE(fs::is_regular_file(work() / "disk/notes.txt.zip")) << compressed.err;
  EXPECT_TRUE(fs::is_symlink(work() / "linkdir"));
}

// One URL from any web page: each distinct item is acted on once however
// often (and however spelt) it is named, and one URL shows at most ten
// pages in the browser, saying so; pages of earlier runs go after an hour.
TEST_F(VexelHandoffHost, ActsOncePerItemAndBoundsWhatAURLStarts) {
  make(archiveOf("a.zip", {"f:a.txt", "f:b.txt"}));
  giveToUser(work());
  std::vector<fs::path> same(20, work() / "a.zip");
  same.push_back(work() / "./a.zip");
  same.push_back(fs::path(work().string() + "//a.zip"));
  const ProcessOutput extracted = handoff(url("extract", same));
  EXPECT_EQ(extracted.exitStatus, 0) << extracted.err;
  EXPECT_EQ(tree(work()), (std::set<std::string>{"a.zip", "a", "a/a.txt", "a/b.txt"}));

  fs::create_symlink(VEXEL_QUICKLOOK_HOST, mDir / "bin/vexel-quicklook");
  std::vector<fs::path> archives;
  for (int k = 0; k < 12; ++k) {
    const fs::path copy = work() / ("c" + std::to_string(k) + ".zip");
    fs::copy_file(work() / "a.zip", copy);
    for (int again = 0; again < 4; ++again) archives.push_back(copy);
  }
  const fs::path old = mDir / "tmp/vexel-preview-old123";
  fs::create_directories(old);
  test::writeFile(old / "x.zip.html", "old");
  test::run("touch -d '2 hours ago' " + shellQuoted(old));
  const ProcessOutput shown = handoff(url("open", archives), true);
  EXPECT_EQ(shown.exitStatus, 1);
  std::istringstream lines(log("xdg-open"));
  std::set<std::string> pages;
  for (std::string line; std::getline(lines, line);) pages.insert(line);
  EXPECT_EQ(pages.size(), 10U) << log("xdg-open");
  EXPECT_NE(log("notify-send").find("一次最多显示 10 个压缩包的内容，其余 2 个没有打开。"),
            std::string::npos)
      << log("notify-send");
  EXPECT_FALSE(fs::exists(old));
}

// Named pipes never hang a command: one in a folder being compressed is
// left out (7-Zip would wait on it for a writer), and an archiver that
// ignores SIGTERM is killed two seconds after a cancel, leaving no process
// and no work folder.
TEST_F(VexelHandoffHost, NamedPipesNeverHangACommand) {
  if (!useTool("7zz")) VEXEL_SKIP_UNLESS_CI() << "needs 7zz";
  make("mkdir -p dir/sub && echo a > dir/a.txt && mkfifo dir/sub/pipe && echo b > dir/sub/b.txt");
  giveToUser(work());
  const auto started = std::chrono::steady_clock::now();
  const ProcessOutput compressed = handoff(url("compress", {work() / "dir"}, "zip"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(compressed.exitStatus, 0) << compressed.err;
  const ProcessOutput listed = test::runProcess({"7zz", "l", (work() / "dir.zip").string()});
  EXPECT_NE(listed.out.find("dir/sub/b.txt"), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("pipe"), std::string::npos) << listed.out;

  fs::remove(mDir / "bin/7zz");
  script("7zz", "trap '' TERM\nexec /bin/sleep 4711\n");
  const auto before = tree(work());
  const auto cancelled = std::chrono::steady_clock::now();
  const ProcessOutput output =
      test::runShell(whileExtracting(handoffCommand(url("compress", {work() / "dir"}, "zip")),
                                     work(), "sleep 0.3; kill -TERM $pid"));
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(20));
  EXPECT_NE(output.out.find("status=1"), std::string::npos) << output.out;
  EXPECT_NE(output.out.find("已取消"), std::string::npos) << output.out;
  EXPECT_EQ(tree(work()), before);
  EXPECT_NE(test::run("pgrep -x -f '/bin/sleep 4711' >/dev/null"), 0);
}

// An archiver's failure reads as words: 7-Zip's banner and the counter it
// redraws with backspaces stay out of the notification, and the system's
// error number is the system's text.
TEST_F(VexelHandoffHost, FailuresReadCleanly) {
  script("7zz",
         "printf '\\n7-Zip (z) 26.02 (x64) : Copyright (c) 1999-2026 Igor Pavlov : 2026-06-25\\n"
         " 64-bit locale=C.UTF-8 Threads:2 OPEN_MAX:20000\\n\\nScanning the drive:\\n"
         "  0%%\\b\\b\\b\\b    \\b\\b\\b\\b'\n"
         "printf '\\n\\nSystem ERROR:\\nerrno=28 : No space left on device\\n' >&2\nexit 2\n");
  test::writeFile(work() / "notes.txt", "n");
  const ProcessOutput output = handoff(url("compress", {work() / "notes.txt"}, "zip"), true);
  EXPECT_EQ(output.exitStatus, 1);
  const std::string notes = log("notify-send");
  // The system's words in English (this test's locale) follow an explanation.
  EXPECT_NE(notes.find("--\n无法压缩“notes.txt”\n磁盘空间不足。\n详细信息：" +
                       std::string(std::strerror(28)) + "\n"),
            std::string::npos)
      << notes;
  EXPECT_EQ(notes.find('\b'), std::string::npos);
  EXPECT_EQ(notes.find("Copyright"), std::string::npos);
  EXPECT_EQ(tree(work()), (std::set<std::string>{"notes.txt"}));

  // An encrypted RAR archive and a 7-Zip without RAR, as Debian's is.
  const fs::path rar = fs::path(VEXEL_FIXTURES_DIR) / "test_read_format_rar4_encrypted.rar";
  if (!fs::exists(rar)) VEXEL_SKIP_UNLESS_CI() << "libarchive's test archives are not here";
  script("7zz",
         "printf 'ERROR: %s : Cannot open the file as archive\\n\\nERRORS:\\nIs not "
         "archive\\n' \"$5\" >&2\nexit 2\n");
  fs::copy_file(rar, work() / "e.rar");
  const ProcessOutput extracted = handoff(url("extract", {work() / "e.rar"}));
  EXPECT_EQ(extracted.exitStatus, 1);
  EXPECT_NE(extracted.err.find("这个 RAR 压缩包已加密，只能用 7-Zip 解压，但这里的 7zz 不支持 RAR"),
            std::string::npos)
      << extracted.err;
  EXPECT_EQ(tree(work()), (std::set<std::string>{"notes.txt", "e.rar"}));
}

// Each archive's page goes to the browser; the pages of several archives at
// once. A browser that stays (the generic xdg-open runs it in the
// foreground; GNOME's opener leaves it running with what it inherited) keeps
// neither vexel-handoff nor whoever waits for vexel-handoff's output.
TEST_F(VexelHandoffHost, OpensThePreviewPagesInTheBrowser) {
  fs::create_symlink(VEXEL_QUICKLOOK_HOST, mDir / "bin/vexel-quicklook");
  const std::string longName = std::string(250, 'l') + ".zip";  // 254 bytes
  make(archiveOf("r.zip", {"f:说明/readme.txt"}) + " && " + archiveOf(longName, {"f:long.txt"}));
  const struct {
    const char* browser;
    std::string xdgOpen;
  } rows[] = {
      {"returns at once", "echo \"$1\" >> \"$VEXEL_LOG/xdg-open\"\n"},
      {"stays in the foreground", "echo \"$1\" >> \"$VEXEL_LOG/xdg-open\"; exec /bin/sleep 60\n"},
      {"stays in the background",
       "echo \"$1\" >> \"$VEXEL_LOG/xdg-open\"; /bin/sleep 60 & exit 0\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.browser);
    script("xdg-open", row.xdgOpen);
    fs::remove(mDir / "log/xdg-open");
    const auto started = std::chrono::steady_clock::now();
    const ProcessOutput shown = handoff(url("open", {work() / "r.zip", work() / longName}), true);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50));
    EXPECT_EQ(shown.exitStatus, 0) << shown.err;
    std::istringstream lines(log("xdg-open"));
    std::set<std::string> pages;
    for (std::string line; std::getline(lines, line);) pages.insert(line);
    ASSERT_EQ(pages.size(), 2U) << log("xdg-open");
    for (const fs::path page : pages) {
      EXPECT_TRUE(page.string().starts_with((mDir / "tmp").string()));
      EXPECT_LE(page.filename().string().size(), 255U);
      const std::string shownName =
          page.filename().string().starts_with("r.zip") ? "readme.txt" : "long.txt";
      EXPECT_NE(test::readFile(page).find(shownName), std::string::npos) << page;
    }
    const auto any = [&](std::string_view end) {
      return std::any_of(pages.begin(), pages.end(),
                         [&](const std::string& page) { return page.ends_with(end); });
    };
    EXPECT_TRUE(any("/r.zip.html"));
    EXPECT_TRUE(any("….html"));  // the 254-byte name, cut short
  }

  const ProcessOutput printed = handoff(url("open", {work() / "r.zip"}));
  EXPECT_EQ(printed.exitStatus, 0) << printed.err;
  EXPECT_NE(printed.err.find("预览页在“" + (mDir / "tmp").string()), std::string::npos)
      << printed.err;

  // A preview host that fails leaves no temporary folder behind.
  fs::remove(mDir / "bin/vexel-quicklook");
  script("vexel-quicklook", "exit 3\n");
  const auto before = tree(mDir / "tmp");
  const ProcessOutput failed = handoff(url("open", {work() / longName}), true);
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_EQ(tree(mDir / "tmp"), before);
}

// The file manager's menu command, through xdg-open, to the registered
// handler. A failure there is shown once, by vexel-handoff: the menu's host
// does not add a second, misleading "xdg-open could not open" message.
TEST_F(VexelHandoffHost, MenuCommandExtractsThroughTheRegisteredHandler) {
  if (!test::hasTool("xdg-open") || !test::hasTool("xdg-mime") || !useTool("7zz")) {
    VEXEL_SKIP_UNLESS_CI() << "needs xdg-utils and 7zz";
  }
  const std::vector<std::string> env = registerHandler();
  make(archiveOf("a.zip", {"f:x.txt", "f:y.txt"}) + " && echo junk > junk.zip");

  const ProcessOutput run = test::runProcess(
      {VEXEL_FINDERSYNC_HOST, "run", "extractHere:", "--open", "--", (work() / "a.zip").string()},
      env);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(test::readFile(work() / "a/x.txt"), "x");
  EXPECT_EQ(test::readFile(work() / "a/y.txt"), "x");
  EXPECT_NE(log("notify-send").find("已解压“a.zip”"), std::string::npos) << log("notify-send");

  fs::remove(mDir / "log/notify-send");
  const ProcessOutput junk =
      test::runProcess({VEXEL_FINDERSYNC_HOST, "run", "extractHere:", "--open", "--",
                        (work() / "junk.zip").string()},
                       env);
  EXPECT_EQ(junk.exitStatus, 0) << junk.err;
  EXPECT_EQ(junk.err.find("could not open"), std::string::npos) << junk.err;
  EXPECT_NE(log("notify-send").find("无法解压“junk.zip”"), std::string::npos) << log("notify-send");
}

// 3,000 selected files: one URL of them is far longer than the 128 KiB one
// program argument may hold, so it goes through a private hand-over, and
// the compress still makes one archive of them all. Smaller selections keep
// their URL. A hand-over is taken once, and a token nobody handed over (a web
// page's guess) or one for another command is refused.
TEST_F(VexelHandoffHost, ThousandsOfSelectedItemsArriveAsOneCommand) {
  if (!test::hasTool("xdg-open") || !test::hasTool("xdg-mime") || !useTool("7zz")) {
    VEXEL_SKIP_UNLESS_CI() << "needs xdg-utils and 7zz";
  }
  const std::vector<std::string> env = registerHandler();
  fs::create_directories(work() / "许多文件");
  std::vector<std::string> command = {VEXEL_FINDERSYNC_HOST, "run", "compressZip:", "--open", "--"};
  for (int k = 0; k < 3000; ++k) {
    const fs::path item = work() / "许多文件" / ("项目文件 " + std::to_string(k) + ".txt");
    test::writeFile(item, "x");
    command.push_back(item.string());
  }
  const ProcessOutput run = test::runProcess(command, env);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_GT(run.out.size(), 128U * 1024U);  // the URL printed is the long one
  const ProcessOutput listed =
      test::runProcess({"bsdtar", "-tf", (work() / "许多文件/许多文件.zip").string()});
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 3000) << listed.err;
  EXPECT_TRUE(fs::is_empty(mDir / "run/vexel-handover"));  // taken once

  // The hand-over a stand-in opener is given, kept for the rows below.
  fs::remove(mDir / "bin/xdg-open");
  script("xdg-open", "echo \"$1\" >> \"$VEXEL_LOG/xdg-open\"\n");
  const auto handedOver = [&](const std::string& selector, std::ptrdiff_t items) {
    fs::remove(mDir / "log/xdg-open");
    std::vector<std::string> arguments(command.begin(), command.begin() + 5 + items);
    arguments[2] = selector;
    EXPECT_EQ(test::runProcess(arguments, env).exitStatus, 0);
    return log("xdg-open").substr(log("xdg-open").find('\n') + 1);
  };
  const std::string small = handedOver("compressZip:", 2);
  EXPECT_TRUE(small.starts_with("vexel://compress?format=zip&path=/")) << small;
  const std::string big = handedOver("compressZip:", 3000);
  ASSERT_TRUE(big.starts_with("vexel://compress?handover=")) << big.substr(0, 200);
  const std::string token = big.substr(big.find('=') + 1, 32);
  const std::string extractBig = handedOver("extractHere:", 3000);

  const struct {
    const char* name;
    std::string url;
    int status;
  } rows[] = {
      {"a guessed token", "vexel://compress?handover=0123456789abcdef0123456789abcdef", 2},
      {"a token for another file", "vexel://compress?handover=../../etc/passwd", 2},
      {"another command's hand-over",
       "vexel://compress?handover=" + extractBig.substr(extractBig.find('=') + 1, 32), 2},
      {"the hand-over", "vexel://compress?handover=" + token, 0},
      {"the same again", "vexel://compress?handover=" + token, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(work() / "许多文件/许多文件 (2).zip");
    const ProcessOutput output = test::runProcess({kHandoff.string(), row.url}, env);
    EXPECT_EQ(output.exitStatus, row.status) << output.err;
    EXPECT_EQ(fs::exists(work() / "许多文件/许多文件 (2).zip"), row.status == 0) << output.err;
    if (row.status != 0) {
      EXPECT_NE(output.err.find("文件清单已经不在了"), std::string::npos) << output.err;
    }
  }
}

}  // namespace
}  // namespace vexel
