// The preview page as a browser draws it: rows, column widths, the package
// row, opening and closing folders, escaping, header, footer and message.
// A probe script added to a copy of the page measures the DOM after the
// page's own script ran and writes "key=value" lines into it; Chromium
// prints the DOM. Screenshots go to the build folder for people to look at.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "chromium.h"
#include "support/archive_maker.h"
#include "support/command.h"
#include "support/skip.h"
#include "support/temp_dir.h"

namespace vexel {
namespace {

using test::Chromium;
using test::run;
using test::shellQuoted;
using test::TempDir;

const std::filesystem::path kScreenshots = VEXEL_BROWSER_OUTPUT_DIR;

// Measures the page; every value on one line.
constexpr std::string_view kProbe = R"JS(
<script>
(function () {
  var out = [];
  function put(key, value) { out.push(key + '=' + String(value).replace(/\n/g, '\\n')); }
  var rows = Array.prototype.slice.call(document.querySelectorAll('#rows .row'));
  function nameOf(row) { return row.querySelector('[data-column="name"] .text').textContent; }
  function rowNamed(name) { return rows.filter(function (r) { return nameOf(r) === name; })[0]; }
  function shown() { return rows.filter(function (r) { return getComputedStyle(r).display !== 'none'; }); }
  function names(list) { return list.map(nameOf).join('|'); }
  function stripes() {
    var list = shown();
    if (list.length < 2) return 'few';
    var a = getComputedStyle(list[0]).backgroundColor, b = getComputedStyle(list[1]).backgroundColor;
    if (a === b) return 'same';
    for (var i = 0; i < list.length; i++) {
      if (getComputedStyle(list[i]).backgroundColor !== (i % 2 ? b : a)) return 'broken at ' + i;
    }
    return 'alternating';
  }
  function box(element) { return element.getBoundingClientRect(); }
  function round(value) { return Math.round(value); }

  put('rows', rows.length);
  put('shown', names(shown()));
  put('stripes', stripes());
  var heads = {};
  document.querySelectorAll('#columns [data-column]').forEach(function (h) { heads[h.dataset.column] = h; });
  ['name', 'size', 'date'].forEach(function (c) {
    put('width.' + c, round(box(heads[c]).width));
    put('nominal.' + c, heads[c].dataset.width + '/' + heads[c].dataset.minWidth);
  });
  put('outline.inner', round(box(document.getElementById('rows')).width));
  // Every cell on show sits under its column title.
  var aligned = shown().every(function (r) {
    return ['name', 'size', 'date'].every(function (c) {
      var cell = box(r.querySelector('[data-column="' + c + '"]'));
      return round(cell.left) === round(box(heads[c]).left) && round(cell.width) === round(box(heads[c]).width);
    });
  });
  put('aligned', aligned);
  var someSize = document.querySelector('#rows [data-column="size"] .text');
  if (someSize) put('align.size', getComputedStyle(someSize).textAlign);
  put('align.size.title', getComputedStyle(heads.size).textAlign);

  var pkg = rowNamed('Foo.app');
  if (pkg) {
    put('package', [pkg.dataset.expandable, !!pkg.querySelector('.disclosure'),
      rows.filter(function (r) { return r.dataset.parent === pkg.dataset.id; }).length,
      pkg.querySelector('[data-column="size"] .text').textContent,
      pkg.querySelector('.row-icon').dataset.type].join(','));
  }
  put('scripts', document.scripts.length);
  put('images', document.images.length);
  put('xss', String(window.vexelXss));
  put('hasScriptRow', !!rowNamed('<script>.txt'));

  put('title', document.getElementById('title').textContent);
  put('subtitle', document.getElementById('subtitle').textContent);
  put('footer', document.getElementById('footer-label').textContent);
  var message = document.getElementById('message');
  put('message', getComputedStyle(message).display === 'none' ? '(hidden)' : message.textContent);
  var area = box(document.getElementById('outline-area')), m = box(message);
  put('message.offset', round(Math.abs((m.left + m.right) / 2 - (area.left + area.right) / 2)) + ',' +
      round(Math.abs((m.top + m.bottom) / 2 - (area.top + area.bottom) / 2)));
  var icon = box(document.getElementById('header-icon'));
  put('icon', [round(icon.left), round(icon.top), round(icon.width), round(icon.height)].join(','));
  put('icon.kind', document.querySelector('#header-icon use').getAttribute('href'));
  put('footer.bottom', round(box(document.getElementById('preview')).bottom - box(document.getElementById('footer-label')).bottom));
  put('background', getComputedStyle(document.getElementById('preview')).backgroundColor);
  var preview = box(document.getElementById('preview'));
  put('preview.box', round(preview.width) + 'x' + round(preview.height));
  put('viewport', window.innerWidth + 'x' + window.innerHeight);
  put('scrollbars', document.documentElement.scrollWidth > window.innerWidth ||
      document.documentElement.scrollHeight > window.innerHeight);

  // Folders open and close in the page; stripes follow.
  function toggle(name) {
    var row = rowNamed(name);
    if (!row) return 'no row ' + name;
    row.querySelector('.disclosure').click();
    return row.getAttribute('aria-expanded') + ' ' + names(shown()) + ' ' + stripes();
  }
  var folder = document.body.dataset.toggle;
  if (folder) {
    put('toggle1', toggle(folder));
    put('toggle2', toggle(folder));
  }
  var pre = document.createElement('pre');
  pre.id = 'results';
  pre.textContent = out.join('\n');
  document.body.appendChild(pre);
})();
</script>
)JS";

std::string decodeEntities(std::string text) {
  for (const auto& [entity, plain] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&nbsp;", " "}, {"&amp;", "&"}}) {
    for (std::size_t at = text.find(entity); at != std::string::npos;
         at = text.find(entity, at + plain.size())) {
      text.replace(at, entity.size(), plain);
    }
  }
  return text;
}

class BrowserPreview : public ::testing::Test {
 protected:
  void SetUp() override {
    auto found = Chromium::find();
    if (!found)
      VEXEL_SKIP_UNLESS_CI() << "chromium is not installed (scripts/install-deps.sh browser)";
    if (const std::string problem = found->startProblem(); !problem.empty()) {
      VEXEL_SKIP_UNLESS_CI() << "chromium does not start here: " << problem;
    }
    mChromium = std::move(found);
    std::filesystem::create_directories(kScreenshots);
  }

  // The page of `archive` as the host writes it (with `options` for it).
  std::filesystem::path pageOf(const std::filesystem::path& archive,
                               const std::string& options = "") {
    const auto page = mDir.path() / (archive.filename().string() + ".html");
    EXPECT_EQ(run(shellQuoted(std::string_view(VEXEL_QUICKLOOK_HOST)) + " --html " + options + " " +
                  shellQuoted(archive) + " >" + shellQuoted(page)),
              0);
    return page;
  }

  // The probe's measurements of the page; `toggle` names a folder to close
  // and open again.
  std::map<std::string, std::string> measure(const std::filesystem::path& page,
                                             const std::string& toggle = "", bool dark = false) {
    std::string html = test::readFile(page);
    const auto end = html.rfind("</body>");
    EXPECT_NE(end, std::string::npos);
    html.insert(end, std::string(kProbe));
    if (!toggle.empty()) {
      // The name goes in as the page escapes it.
      std::string attribute;
      for (const char c : toggle) attribute += c == '"' ? std::string("&quot;") : std::string(1, c);
      html.replace(html.find("<body>"), 6, "<body data-toggle=\"" + attribute + "\">");
    }
    const auto probed = mDir.path() / ("probe-" + page.filename().string());
    test::writeFile(probed, html);
    const std::string dom = mChromium->dumpDom(probed, dark);
    std::map<std::string, std::string> values;
    const auto begin = dom.find("<pre id=\"results\">");
    EXPECT_NE(begin, std::string::npos) << "the probe wrote nothing:\n" << dom.substr(0, 2000);
    if (begin == std::string::npos) return values;
    const std::string text =
        decodeEntities(dom.substr(begin + 18, dom.find("</pre>", begin) - begin - 18));
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t feed = std::min(text.find('\n', start), text.size());
      const std::string line = text.substr(start, feed - start);
      if (const auto eq = line.find('='); eq != std::string::npos) {
        values[line.substr(0, eq)] = line.substr(eq + 1);
      }
      start = feed + 1;
    }
    return values;
  }

  void screenshot(const std::filesystem::path& page, const std::string& name, bool dark = false) {
    const auto png = kScreenshots / name;
    EXPECT_TRUE(mChromium->screenshot(page, png, 760, 520, dark)) << png;
    std::cout << "screenshot: " << png.string() << "\n";
  }

  TempDir mDir;
  std::optional<Chromium> mChromium;
};

TEST_F(BrowserPreview, NestedArchiveRowsColumnsPackageAndEscaping) {
  const auto zip = mDir.path() / "nested.zip";
  test::writeFile(zip, test::zipBytes({
                           {"<script>.txt", "<script>window.vexelXss = 1</script>", true},
                           {"<img src=x onerror=\"window.vexelXss=2\">.txt", "1", true},
                           {"a/b/c/deep.txt", "deep", true},
                           {"a/b/other.txt", "other", true},
                           {"a/readme.md", "# read me", true},
                           {"Foo.app/Contents/Info.plist", "1234567", true},
                           {"Foo.app/Contents/MacOS/Foo", "123", true},
                           {"z.txt", "zz", true},
                       }));
  const auto page = pageOf(zip);
  screenshot(page, "nested-light.png");
  screenshot(page, "nested-dark.png", /*dark=*/true);

  auto values = measure(page, "b");
  EXPECT_EQ(values["rows"], "10");
  EXPECT_EQ(values["shown"],
            "a|b|c|deep.txt|other.txt|readme.md|Foo.app|<img src=x onerror=\"window.vexelXss=2\">"
            ".txt|<script>.txt|z.txt");
  EXPECT_EQ(values["stripes"], "alternating");
  // Size and date keep their widths; the name column takes the rest.
  EXPECT_EQ(values["width.size"], "90");
  EXPECT_EQ(values["width.date"], "140");
  EXPECT_GE(std::stoi(values["width.name"]), 440);
  EXPECT_EQ(std::stoi(values["width.name"]) + 90 + 140 + 2 * 3, std::stoi(values["outline.inner"]));
  EXPECT_EQ(values["nominal.name"], "440/160");
  EXPECT_EQ(values["nominal.size"], "90/60");
  EXPECT_EQ(values["nominal.date"], "140/100");
  EXPECT_EQ(values["aligned"], "true");
  EXPECT_EQ(values["align.size"], "right");
  EXPECT_EQ(values["align.size.title"], "right");
  // The package: closed, no triangle, no rows inside, its summed size.
  EXPECT_EQ(values["package"], "false,false,0,10 字节,com.apple.application-bundle");
  // Names are text: no element, no script ran.
  EXPECT_EQ(values["scripts"], "2");  // the page's and the probe's
  EXPECT_EQ(values["images"], "0");
  EXPECT_EQ(values["xss"], "undefined");
  EXPECT_EQ(values["hasScriptRow"], "true");
  // Header, footer and message where the constraints put them.
  EXPECT_EQ(values["title"], "nested.zip");
  EXPECT_EQ(values["subtitle"], "ZIP 压缩包 · 8 个文件 · 6 个文件夹");
  EXPECT_NE(values["footer"].find("压缩包 "), std::string::npos);
  EXPECT_EQ(values["message"], "(hidden)");
  EXPECT_EQ(values["icon"], "16,14,40,40");
  EXPECT_EQ(values["icon.kind"], "#i-archive");
  EXPECT_EQ(values["footer.bottom"], "8");
  EXPECT_EQ(values["background"], "rgb(255, 255, 255)");
  // Closing b hides c, deep.txt and other.txt; opening brings them back.
  EXPECT_EQ(values["toggle1"],
            "false a|b|readme.md|Foo.app|<img src=x onerror=\"window.vexelXss=2\">.txt|"
            "<script>.txt|z.txt alternating");
  EXPECT_EQ(values["toggle2"],
            "true a|b|c|deep.txt|other.txt|readme.md|Foo.app|<img src=x "
            "onerror=\"window.vexelXss=2\">.txt|<script>.txt|z.txt alternating");

  // The reader's dark setting darkens the page.
  const auto dark = measure(page, "", /*dark=*/true);
  EXPECT_EQ(dark.at("background"), "rgb(30, 30, 30)");
}

TEST_F(BrowserPreview, ClosedFoldersOfALargeArchiveOpenInThePage) {
  if (!test::hasTool("bsdtar")) VEXEL_SKIP_UNLESS_CI() << "bsdtar is not installed";
  // More than 300 nodes under two top-level folders: the preview opens none.
  const auto source = mDir.path() / "src";
  for (int i = 0; i < 160; ++i) {
    const std::string n = std::to_string(i);
    mDir.write("src/photos/img" + n + ".jpg", n);
    mDir.write("src/notes/note" + n + ".txt", n);
  }
  const auto tgz = mDir.path() / "large.tar.gz";
  ASSERT_EQ(
      run("cd " + shellQuoted(source) + " && bsdtar -czf " + shellQuoted(tgz) + " photos notes"),
      0);
  const auto page = pageOf(tgz);
  screenshot(page, "large-light.png");
  auto values = measure(page, "notes");
  EXPECT_EQ(values["rows"], "322");
  EXPECT_EQ(values["shown"], "notes|photos");
  const std::string opened = values["toggle1"];
  EXPECT_TRUE(opened.starts_with("true notes|note0.txt|note1.txt|note2.txt|")) << opened;
  EXPECT_TRUE(opened.ends_with("|note159.txt|photos alternating")) << opened;
  EXPECT_EQ(values["toggle2"], "false notes|photos alternating");
}

TEST_F(BrowserPreview, PageForAPreviewerFillsItsWindowInTheColoursItIsGiven) {
  const auto zip = mDir.path() / "window.zip";
  test::writeFile(zip, test::zipBytes({{"项目/说明.txt", "1", true}, {"b.txt", "2", true}}));
  // The box of a page for a browser: 760 × 520 whatever the window.
  auto boxed = measure(pageOf(zip));
  EXPECT_EQ(boxed["preview.box"], "760x520");
  // A previewer's page: the whole window (Chromium's is 800 × 600 here),
  // the name column taking the width, no scroll bars; dark although the
  // system is light, and light although it is dark.
  const struct {
    std::string options;
    bool systemDark;
    std::string_view background;
  } kCases[] = {
      {"--fill-window --color-scheme=dark", false, "rgb(30, 30, 30)"},
      {"--fill-window --color-scheme=light", true, "rgb(255, 255, 255)"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.options);
    auto values = measure(pageOf(zip, row.options), "", row.systemDark);
    EXPECT_EQ(values["preview.box"], values["viewport"]);
    EXPECT_EQ(values["scrollbars"], "false");
    EXPECT_EQ(values["background"], row.background);
    const int viewport = std::stoi(values["viewport"]);
    EXPECT_EQ(std::stoi(values["outline.inner"]), viewport - 2 * 10);  // the inset rows
    EXPECT_EQ(std::stoi(values["width.name"]) + 90 + 140 + 2 * 3, viewport - 2 * 10);
    EXPECT_EQ(values["footer.bottom"], "8");
    EXPECT_EQ(values["aligned"], "true");
  }
  screenshot(pageOf(zip, "--fill-window --color-scheme=dark"), "window-dark.png");
}

TEST_F(BrowserPreview, EmptyArchiveShowsTheMessageCentredOverTheOutline) {
  const auto zip = mDir.path() / "empty.zip";
  test::writeFile(zip, test::zipBytes({}));
  const auto page = pageOf(zip);
  screenshot(page, "empty-light.png");
  auto values = measure(page);
  EXPECT_EQ(values["rows"], "0");
  EXPECT_EQ(values["message"], "压缩包是空的。");
  EXPECT_EQ(values["message.offset"], "0,0");
  EXPECT_EQ(values["subtitle"], "ZIP 压缩包 · 0 个文件");
}

}  // namespace
}  // namespace vexel
