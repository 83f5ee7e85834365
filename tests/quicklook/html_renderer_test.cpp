// The HTML page of a preview: escaping, rows with their folders and state,
// columns, labels, and the terminal text's colours.
#include "quicklook/render/html_renderer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "preview_test_support.h"
#include "quicklook/render/internal/page_files.h"
#include "quicklook/render/internal/page_layout.h"
#include "support/archive_maker.h"

namespace vexel {
namespace {

using quicklook_render::htmlEscaped;
using quicklook_render::renderHtml;
using test::TempDir;
using test::ZipEntry;

std::size_t count(const std::string& text, std::string_view needle) {
  std::size_t found = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++found;
  }
  return found;
}

// PageRow: what a row element of the page carries.
struct PageRow {
  std::map<std::string, std::string> attributes;
  std::string name;  // the text of the outline cell
  std::string body;
  bool isHidden = false;
};

std::vector<PageRow> pageRows(const std::string& html) {
  std::vector<PageRow> rows;
  static const std::regex rowPattern(R"re(<div class="(row grid[^"]*)"([^>]*)>(.*?)</div>\n)re");
  static const std::regex attributePattern(R"re(([a-z-]+)="([^"]*)")re");
  static const std::regex namePattern(
      R"re(data-column="name"[^>]*>.*?<span class="text" title="([^"]*)">)re");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), rowPattern);
       it != std::sregex_iterator(); ++it) {
    PageRow row;
    row.attributes["class"] = (*it)[1];
    const std::string attributes = (*it)[2];
    for (auto a = std::sregex_iterator(attributes.begin(), attributes.end(), attributePattern);
         a != std::sregex_iterator(); ++a) {
      row.attributes[(*a)[1]] = (*a)[2];
    }
    row.isHidden = attributes.ends_with(" hidden");
    row.body = (*it)[3];
    std::smatch name;
    if (std::regex_search(row.body, name, namePattern)) row.name = name[1];
    rows.push_back(std::move(row));
  }
  return rows;
}

TEST(HtmlRenderer, EscapesMarkupQuotesAndControls) {
  const struct {
    std::string_view in;
    std::string_view out;
  } kCases[] = {
      {"<script>.txt", "&lt;script&gt;.txt"},
      {"a&b", "a&amp;b"},
      {"\"q\" 'a'", "&quot;q&quot; &#39;a&#39;"},
      {"line\nfeed\ttab\x7f",
       "line\xEF\xBF\xBD"
       "feed\xEF\xBF\xBDtab\xEF\xBF\xBD"},
      {"bad\xff", "bad\xEF\xBF\xBD"},
      {"rtl\xE2\x80\xAEgpj.exe", "rtl\xEF\xBF\xBDgpj.exe"},
      {"项目 ✓", "项目 ✓"},
      {"", ""},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(htmlEscaped(row.in), row.out);
  }
}

TEST(HtmlRenderer, PageHoldsEveryReachableRowWithItsFolderAndState) {
  TempDir dir;
  const auto zip = dir.path() / "t.zip";
  test::writeFile(zip, test::zipBytes({
                           {"<script>.txt", "12", true},
                           {"<img src=x onerror=alert(1)>.txt", "1", true},
                           {"docs/a/deep.txt", "123", true},
                           {"docs/b.txt", "1", true},
                           {"Foo.app/Contents/Info.plist", "1234", true},
                           {"Foo.zzz/inner.txt", "1", true},
                       }));
  auto controller = test::previewOf(zip);
  const std::string html = renderHtml(*controller);

  EXPECT_TRUE(html.starts_with("<!DOCTYPE html>"));
  // One script element, the page's own; the names are text.
  EXPECT_EQ(count(html, "<script"), 1U);
  EXPECT_EQ(count(html, "<img"), 0U);
  EXPECT_NE(html.find("&lt;script&gt;.txt"), std::string::npos);

  const std::vector<PageRow> rows = pageRows(html);
  std::vector<std::string> shape;
  for (const PageRow& row : rows) {
    shape.push_back(
        row.attributes.at("data-id") + " " + row.attributes.at("data-parent") + " " +
        row.attributes.at("data-depth") + " " + row.name + " " +
        row.attributes.at("data-expandable") + " " +
        (row.attributes.contains("aria-expanded") ? row.attributes.at("aria-expanded") : "-") +
        (row.isHidden ? " hidden" : ""));
  }
  // Folders first, natural order; the package is one closed row whose
  // contents are not in the page; a folder of an undeclared type opens.
  EXPECT_EQ(shape, (std::vector<std::string>{
                       "1 0 0 docs true true",
                       "2 1 1 a true true",
                       "3 2 2 deep.txt false -",
                       "4 1 1 b.txt false -",
                       "5 0 0 Foo.app false -",
                       "6 0 0 Foo.zzz true true",
                       "7 6 1 inner.txt false -",
                       "8 0 0 &lt;img src=x onerror=alert(1)&gt;.txt false -",
                       "9 0 0 &lt;script&gt;.txt false -",
                   }));
  EXPECT_EQ(html.find("Info.plist"), std::string::npos);
  // Cells as the delegate filled them: icons, sizes right-aligned and dimmed.
  EXPECT_NE(rows[4].body.find("data-type=\"com.apple.application-bundle\""), std::string::npos);
  EXPECT_NE(rows[4].body.find("<use href=\"#i-app\"/>"), std::string::npos);
  EXPECT_NE(rows[4].body.find("class=\"cell right secondary\" role=\"gridcell\" "
                              "data-column=\"size\"><span class=\"text\" title=\"4 字节\">"),
            std::string::npos);
  EXPECT_NE(rows[0].body.find("<button class=\"disclosure\""), std::string::npos);
  EXPECT_EQ(rows[4].body.find("<button"), std::string::npos);
  // Stripes on every second row on show.
  EXPECT_NE(rows[1].attributes.at("class").find("alt"), std::string::npos);
  EXPECT_EQ(rows[2].attributes.at("class").find("alt"), std::string::npos);
}

TEST(HtmlRenderer, ClosedFoldersKeepTheirRowsHidden) {
  // More than 300 nodes and two top-level entries: nothing opens at first.
  TempDir dir;
  std::vector<ZipEntry> entries;
  for (int i = 0; i < 301; ++i)
    entries.push_back({"big/f" + std::to_string(i) + ".txt", "x", true});
  entries.push_back({"top.txt", "x", true});
  const auto zip = dir.path() / "big.zip";
  test::writeFile(zip, test::zipBytes(entries));
  auto controller = test::previewOf(zip);
  const std::vector<PageRow> rows = pageRows(renderHtml(*controller));
  ASSERT_EQ(rows.size(), 303U);
  EXPECT_EQ(rows[0].name, "big");
  EXPECT_EQ(rows[0].attributes.at("aria-expanded"), "false");
  EXPECT_FALSE(rows[0].isHidden);
  EXPECT_EQ(rows[1].name, "f0.txt");
  EXPECT_TRUE(rows[1].isHidden);
  EXPECT_EQ(rows[2].name, "f1.txt");  // natural order: f1 before f10
  EXPECT_TRUE(rows[301].isHidden);
  EXPECT_EQ(rows[302].name, "top.txt");
  EXPECT_FALSE(rows[302].isHidden);
  EXPECT_EQ(rows[302].attributes.at("data-parent"), "0");

  // A row limit keeps the first rows and counts the others in a note.
  const std::string limited = renderHtml(*controller, {.maxRows = 10});
  EXPECT_EQ(pageRows(limited).size(), 10U);
  EXPECT_NE(limited.find("另有 293 项未列入此页"), std::string::npos);
}

TEST(HtmlRenderer, LimitedPageKeepsTheRowsOnShowAndWholeFoldersFirst) {
  // A large folder first: under a row limit the rows on show all stay, the
  // contents of folders that fit come whole, and what is left opens the
  // large folder on its first rows.
  TempDir dir;
  std::vector<ZipEntry> entries;
  for (int i = 0; i < 301; ++i) entries.push_back({"a/f" + std::to_string(i) + ".txt", "x", true});
  for (const char* name : {"b/g1.txt", "b/g2.txt", "b/g3.txt", "b/inner/deep.txt", "top.txt"})
    entries.push_back({name, "x", true});
  const auto zip = dir.path() / "first-large.zip";
  test::writeFile(zip, test::zipBytes(entries));
  auto controller = test::previewOf(zip);
  const auto shapeOf = [](const std::vector<PageRow>& rows) {
    std::vector<std::string> shape;
    for (const PageRow& row : rows) {
      shape.push_back(row.attributes.at("data-depth") + " " + row.name + " " +
                      row.attributes.at("data-expandable") + (row.isHidden ? " hidden" : ""));
    }
    return shape;
  };
  const struct {
    std::size_t maxRows;
    std::vector<std::string> shape;
    std::string_view note;
  } kCases[] = {
      // a, b and top.txt on show; b's four rows whole; inner's one; a's first two.
      {10,
       {"0 a true", "1 f0.txt false hidden", "1 f1.txt false hidden", "0 b true",
        "1 inner true hidden", "2 deep.txt false hidden", "1 g1.txt false hidden",
        "1 g2.txt false hidden", "1 g3.txt false hidden", "0 top.txt false"},
       "另有 299 项未列入此页"},
      // Room for b's rows but not for inner's: inner does not open.
      {7,
       {"0 a false", "0 b true", "1 inner false hidden", "1 g1.txt false hidden",
        "1 g2.txt false hidden", "1 g3.txt false hidden", "0 top.txt false"},
       "另有 302 项未列入此页"},
      // Fewer places than rows on show: the first ones.
      {2, {"0 a false", "0 b false"}, "另有 307 项未列入此页"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.maxRows);
    const std::string html = renderHtml(*controller, {.maxRows = row.maxRows});
    EXPECT_EQ(shapeOf(pageRows(html)), row.shape);
    EXPECT_NE(html.find(row.note), std::string::npos);
  }
}

TEST(HtmlRenderer, ColumnsHeaderFooterAndMessageAsTheControllerSetThem) {
  TempDir dir;
  const auto zip = dir.path() / "a \"&\" b.zip";
  test::writeFile(zip, test::zipBytes({{"x.txt", "hello", true}}));
  auto controller = test::previewOf(zip);
  const std::string html = renderHtml(*controller);
  // The first column absorbs the width the others leave, down to its minimum.
  EXPECT_NE(html.find("--columns:minmax(160px,1fr) 90px 140px"), std::string::npos);
  for (
      const auto* column :
      {R"(data-column="name" data-width="440" data-min-width="160" style="min-width:160px;box-sizing:border-box;text-align:left">名称<)",
       R"(data-column="size" data-width="90" data-min-width="60" style="min-width:60px;box-sizing:border-box;text-align:right">大小<)",
       R"(data-column="date" data-width="140" data-min-width="100" style="min-width:100px;box-sizing:border-box;text-align:left">修改日期<)"}) {
    SCOPED_TRACE(column);
    EXPECT_NE(html.find(column), std::string::npos);
  }
  EXPECT_NE(html.find("id=\"preview\" style=\"width:760px;height:520px;"), std::string::npos);
  EXPECT_NE(html.find("<title>a &quot;&amp;&quot; b.zip</title>"), std::string::npos);
  EXPECT_NE(
      html.find("id=\"title\" class=\"label one-line\" style=\"font-size:15px;font-weight:700;"),
      std::string::npos);
  EXPECT_NE(html.find("<use href=\"#i-archive\"/>"), std::string::npos);
  EXPECT_NE(html.find(">ZIP 压缩包 · 1 个文件</div>"), std::string::npos);
  const auto footer = html.find("id=\"footer-label\"");
  ASSERT_NE(footer, std::string::npos);
  EXPECT_NE(html.find("→ 压缩包 ", footer), std::string::npos);
  EXPECT_NE(html.find("id=\"message\" class=\"label wrapping\""), std::string::npos);
  EXPECT_NE(html.find("max-width:calc(100% - 40px)\" hidden>"), std::string::npos);
  // Nothing outside the page is referred to.
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("http:"), std::string::npos);
  EXPECT_EQ(html.find("https:"), std::string::npos);
  EXPECT_EQ(html.find("url("), std::string::npos);
  static const std::regex href(R"re(href="([^"]*)")re");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), href); it != std::sregex_iterator();
       ++it) {
    EXPECT_TRUE((*it)[1].str().starts_with("#i-")) << (*it)[1];
  }
}

TEST(HtmlRenderer, PagePlacesThePartsByTheControllersLayout) {
  // A change of a figure in the controller shows in the page.
  const PreviewLayout& layout = PreviewViewController::kLayout;
  const auto& columns = PreviewViewController::kColumns;
  const auto px = [](double value) { return quicklook_render_internal::cssNumber(value) + "px"; };
  auto controller = PreviewViewController::create();
  const std::string html = renderHtml(*controller);
  const std::string side = px(layout.sideMargin);
  std::vector<std::string> expected = {
      "id=\"preview\" style=\"width:" + px(layout.contentSize.width) +
          ";height:" + px(layout.contentSize.height) + ";",
      ";--cell-icon:" + px(layout.cellIconSize) + ";--cell-inset:" + px(layout.cellInset) +
          ";--cell-icon-spacing:" + px(layout.cellIconSpacing) + ";--columns:minmax(" +
          px(columns[0].minWidth) + ",1fr) " + px(columns[1].width) + " " + px(columns[2].width) +
          "\">",
      "id=\"header\" style=\"margin:" + px(layout.headerTop) + " " + side + " 0 " + side +
          ";gap:" + px(layout.headerSpacing) + "\"",
      "id=\"header-icon\" style=\"width:" + px(layout.iconSize) + ";height:" + px(layout.iconSize),
      "id=\"header-text\" style=\"gap:" + px(layout.textSpacing) + "\"",
      "id=\"outline-area\" style=\"margin:" + px(layout.outlineTop) + " 0px 0 0px\"",
      "max-width:calc(100% - " + px(layout.messageInset) + ")\" hidden>",
      "margin:" + px(layout.footerTop) + " " + side + " " + px(layout.footerBottom) + " " + side +
          "\">",
  };
  for (const PreviewColumn& column : columns) {
    expected.push_back(
        "data-column=\"" + std::string(column.identifier) + "\" data-width=\"" +
        quicklook_render_internal::cssNumber(column.width) + "\" data-min-width=\"" +
        quicklook_render_internal::cssNumber(column.minWidth) +
        "\" style=\"min-width:" + px(column.minWidth) + ";box-sizing:border-box;text-align:" +
        (column.isRightAligned ? "right" : "left") + "\">" + std::string(column.title) + "<");
  }
  for (const std::string& part : expected) {
    SCOPED_TRACE(part);
    EXPECT_NE(html.find(part), std::string::npos);
  }
}

TEST(HtmlRenderer, PageFillsItsWindowAndTakesTheColoursItIsGiven) {
  using quicklook_render::HtmlOptions;
  using quicklook_render::PageColorScheme;
  const std::string dark(quicklook_render_internal::pageFile("preview-dark.css"));
  ASSERT_TRUE(dark.starts_with(":root{--bg:"));
  const struct {
    HtmlOptions options;
    std::string_view metaScheme;
    std::string_view darkRule;  // how the dark colours are applied, "" for not at all
    std::string_view size;
    std::string_view viewport;
  } kCases[] = {
      {{},
       "light dark",
       "@media (prefers-color-scheme:dark){:root{--bg:",
       "width:760px;height:520px;",
       "width=760"},
      {{.fillsWindow = true, .colorScheme = PageColorScheme::dark},
       "dark",
       ":root{color-scheme:dark}\n:root{--bg:",
       "width:100vw;height:100vh;",
       "width=device-width"},
      {{.fillsWindow = true, .colorScheme = PageColorScheme::light},
       "light",
       "",
       "width:100vw;height:100vh;",
       "width=device-width"},
  };
  auto controller = PreviewViewController::create();
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.metaScheme);
    const std::string html = renderHtml(*controller, row.options);
    EXPECT_NE(
        html.find("<meta name=\"color-scheme\" content=\"" + std::string(row.metaScheme) + "\">"),
        std::string::npos);
    EXPECT_NE(html.find("<meta name=\"viewport\" content=\"" + std::string(row.viewport) + "\">"),
              std::string::npos);
    EXPECT_NE(html.find("id=\"preview\" style=\"" + std::string(row.size)), std::string::npos);
    if (row.darkRule.empty()) {
      EXPECT_EQ(html.find(dark), std::string::npos);
      EXPECT_NE(html.find(":root{color-scheme:light}"), std::string::npos);
    } else {
      EXPECT_EQ(count(html, dark), 1U);
      EXPECT_NE(html.find(std::string(row.darkRule)), std::string::npos);
    }
    // Only a page that fills its window hides the scroll bars around it.
    EXPECT_EQ(html.find("html,body{overflow:hidden}") != std::string::npos,
              row.options.fillsWindow);
  }
}

TEST(HtmlRenderer, PageFilesAreCompiledInAsTheyAre) {
  // Every file under page/ is listed in the build, byte for byte.
  const std::filesystem::path folder = VEXEL_PAGE_SOURCE_DIR;
  std::set<std::string> onDisk;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) onDisk.insert(entry.path().lexically_relative(folder).string());
  }
  std::set<std::string> embedded;
  for (const auto& file : quicklook_render_internal::pageFiles()) {
    SCOPED_TRACE(file.path);
    embedded.insert(std::string(file.path));
    EXPECT_EQ(file.bytes, test::readFile(folder / file.path));
  }
  EXPECT_EQ(embedded, onDisk);

  // The page holds the style sheet, the script and one symbol per icon
  // file, its elements joined as they stand.
  auto controller = PreviewViewController::create();
  const std::string html = renderHtml(*controller);
  EXPECT_NE(
      html.find("<style>\n" + std::string(quicklook_render_internal::pageFile("preview.css")) +
                "@media (prefers-color-scheme:dark){" +
                std::string(quicklook_render_internal::pageFile("preview-dark.css")) +
                "}\n</style>"),
      std::string::npos);
  EXPECT_NE(html.find("<script>\n" +
                      std::string(quicklook_render_internal::pageFile("preview.js")) + "</script>"),
            std::string::npos);
  EXPECT_NE(
      html.find("<symbol id=\"i-disclosure\" viewBox=\"0 0 16 16\"><path d=\"M6 4l4 4-4 4\" "),
      std::string::npos);
  EXPECT_NE(html.find("fill='#5cc1ff'/></symbol><symbol id=\"i-app\" viewBox=\"0 0 32 32\"><rect "),
            std::string::npos);
}

TEST(HtmlRenderer, MessagesShowOverAnEmptyOutline) {
  TempDir dir;
  const struct {
    std::string name;
    std::string bytes;
    std::string_view message;
  } kCases[] = {
      {"empty.zip", test::zipBytes({}), ">压缩包是空的。</div>"},
      {"junk.zip", "not an archive at all", "无法"},
  };
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.name);
    auto controller = test::previewOf(dir.write(row.name, row.bytes));
    const std::string html = renderHtml(*controller);
    EXPECT_TRUE(pageRows(html).empty());
    const auto at = html.find("id=\"message\"");
    ASSERT_NE(at, std::string::npos);
    const std::string element = html.substr(at, html.find("</div>", at) - at);
    EXPECT_EQ(element.find(" hidden>"), std::string::npos) << element;
    EXPECT_NE(html.find(row.message, at), std::string::npos);
  }
}

TEST(HtmlRenderer, TerminalTextColoursByKindAndKeepsItsWidth) {
  TempDir dir;
  const auto zip = dir.path() / "c.zip";
  test::writeFile(zip, test::zipBytes({{"dir/a.txt", "1", true},
                                       {"Foo.app/x", "1", true},
                                       {"inner.zip", "1", true},
                                       {"pic.jpg", "1", true}}));
  auto controller = test::previewOf(zip);
  const std::string plain = quicklook_render::renderText(*controller, 60);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos);
  const std::string painted =
      quicklook_render::renderText(*controller, 60, {.color = true, .icons = true});
  for (const auto* expected :
       {"\x1b[1mc.zip\x1b[0m", "📁 \x1b[1;34mdir\x1b[0m", "🚀 \x1b[1;32mFoo.app\x1b[0m",
        "📦 \x1b[31minner.zip\x1b[0m", "🌄 \x1b[35mpic.jpg\x1b[0m", "📝 a.txt"}) {
    SCOPED_TRACE(expected);
    EXPECT_NE(painted.find(expected), std::string::npos) << painted;
  }
  // Without the escape sequences every line fits as the plain text does.
  const std::string stripped = std::regex_replace(painted, std::regex("\x1b\\[[0-9;]*m"), "");
  std::size_t start = 0;
  while (start < stripped.size()) {
    const std::size_t end = stripped.find('\n', start);
    EXPECT_LE(quicklook_render::displayWidth(stripped.substr(start, end - start)), 60U);
    start = end + 1;
  }
}

TEST(HtmlRenderer, IconKindsByTypeConformance) {
  const struct {
    std::string_view type;
    std::string_view kind;
  } kCases[] = {
      {"public.folder", "folder"},
      {"com.apple.application-bundle", "app"},
      {"com.apple.framework", "package"},
      {"public.zip-archive", "archive"},
      {"public.iso-image", "archive"},
      {"public.png", "image"},
      {"public.mp3", "audio"},
      {"public.mpeg-4", "movie"},
      {"com.adobe.pdf", "pdf"},
      {"public.python-script", "code"},
      {"public.plain-text", "text"},
      {"com.microsoft.windows-executable", "executable"},
      {"public.data", "document"},
      {"dyn.ah62d4rv4ge80e5pe", "document"},
  };
  // Every kind has its symbol in the page.
  auto controller = PreviewViewController::create();
  const std::string html = renderHtml(*controller);
  for (const auto& row : kCases) {
    SCOPED_TRACE(row.type);
    EXPECT_EQ(quicklook_render::iconKind(row.type), row.kind);
    EXPECT_NE(html.find("<symbol id=\"i-" + std::string(row.kind) + "\""), std::string::npos);
  }
}

}  // namespace
}  // namespace vexel
