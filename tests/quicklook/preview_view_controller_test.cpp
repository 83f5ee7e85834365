#include "quicklook/preview_view_controller.h"

#include <gtest/gtest.h>

#include <new>
#include <set>

#include "foundation/byte_count_formatter.h"
#include "preview_test_support.h"
#include "quicklook/internal/preview_texts.h"
#include "readers/archive_error.h"
#include "support/archive_maker.h"
#include "support/seven_zip.h"
#include "support/skip.h"

namespace vexel {
namespace {

using platform::OutlineItem;
using test::previewOf;
using test::rowNames;
using test::TempDir;
using test::zipBytes;
using test::ZipEntry;
namespace fs = std::filesystem;

std::string bytesText(std::int64_t bytes) {
  return platform::ByteCountFormatter::stringFromByteCount(bytes);
}

fs::path writeZip(const TempDir& dir, const std::string& name,
                  const std::vector<ZipEntry>& entries) {
  const fs::path file = dir.path() / name;
  test::writeFile(file, zipBytes(entries));
  return file;
}

ZipEntry file(std::string name, std::size_t size = 1) {
  return {std::move(name), std::string(size, 'x'), true};
}
ZipEntry folder(std::string name) { return {std::move(name) + "/", "", true}; }

// A listing made from entries directly, for exact sizes and absent fields.
using Cutoff = ExtensionArchive::Cutoff;

ExtensionArchive::Listing listingOf(std::vector<RawEntry> entries, std::int64_t fileSize,
                                    Cutoff cutoff = Cutoff::none, std::string typeName = "ZIP") {
  return {std::make_shared<const ArchiveTree>(ArchiveProperties{}, std::move(entries)),
          std::move(typeName), fileSize, cutoff == Cutoff::none, cutoff};
}

RawEntry rawFile(std::string path, std::int64_t size, bool encrypted = false) {
  return RawEntry{.path = std::move(path), .size = size, .encrypted = encrypted};
}

TEST(PreviewViewController, SubtitleCountsFoldersAndEncryption) {
  TempDir dir;
  const auto plain = writeZip(dir, "plain.zip", {file("a.txt"), file("b.txt")});
  const auto nested = writeZip(dir, "nested.zip", {folder("d"), file("d/a.txt"), file("e/b.txt")});
  auto controller = previewOf(plain);
  EXPECT_EQ(controller->titleLabel().stringValue(), "plain.zip");
  EXPECT_EQ(controller->subtitleLabel().stringValue(), "ZIP 压缩包 · 2 个文件");
  EXPECT_EQ(controller->iconView().image()->typeIdentifier(), "public.zip-archive");
  EXPECT_TRUE(controller->messageLabel().isHidden());
  EXPECT_EQ(previewOf(nested)->subtitleLabel().stringValue(), "ZIP 压缩包 · 2 个文件 · 2 个文件夹");

  if (!test::hasTool(test::sevenZipTool())) VEXEL_SKIP_UNLESS_CI() << "7-Zip is not installed";
  test::writeFile(dir.path() / "secret.txt", "secret data");
  ASSERT_EQ(test::run("cd " + test::shellQuoted(dir.path()) + " && " + test::sevenZipTool() +
                      " a -tzip -pX enc.zip secret.txt >/dev/null"),
            0);
  EXPECT_EQ(previewOf(dir.path() / "enc.zip")->subtitleLabel().stringValue(),
            "ZIP 压缩包 · 1 个文件 · 已加密");
}

TEST(PreviewViewController, FooterWithAndWithoutRatio) {
  TempDir dir;
  // Stored entries: the file is larger than its contents, so no ratio.
  const auto stored = writeZip(dir, "stored.zip", {file("a.txt", 1500)});
  EXPECT_EQ(
      previewOf(stored)->footerLabel().stringValue(),
      "原始大小 2 KB → 压缩包 " + bytesText(static_cast<std::int64_t>(fs::file_size(stored))));
  // Nothing but empty files: no uncompressed size at all.
  const auto empty = writeZip(dir, "zero.zip", {file("a.txt", 0)});
  EXPECT_EQ(previewOf(empty)->footerLabel().stringValue(),
            "压缩包 " + bytesText(static_cast<std::int64_t>(fs::file_size(empty))));

  const auto deflated = dir.path() / "deflated.zip";
  if (!test::makeZipWithPython(deflated, {{"big.txt", std::string(200'000, 'a')}})) {
    VEXEL_SKIP_UNLESS_CI() << "python3 is not installed";
  }
  const auto size = static_cast<std::int64_t>(fs::file_size(deflated));
  const auto ratio = quicklook_internal::compressionRatioPercent(size, 200'000);
  EXPECT_EQ(
      previewOf(deflated)->footerLabel().stringValue(),
      "原始大小 200 KB → 压缩包 " + bytesText(size) + " · 压缩率 " + std::to_string(ratio) + "%");
}

TEST(PreviewViewController, DisplayStepTextsFromAListing) {
  struct Row {
    const char* name;
    std::vector<RawEntry> entries;
    std::int64_t fileSize;
    Cutoff cutoff;
    std::string subtitle;
    std::string footer;
  };
  std::vector<Row> rows;
  rows.push_back({"ratio 12.5 rounds up",
                  {rawFile("a", 1000)},
                  125,
                  Cutoff::none,
                  "ZIP 压缩包 · 1 个文件",
                  "原始大小 1 KB → 压缩包 125 字节 · 压缩率 13%"});
  rows.push_back({"ratio 12.4",
                  {rawFile("a", 1000)},
                  124,
                  Cutoff::none,
                  "ZIP 压缩包 · 1 个文件",
                  "原始大小 1 KB → 压缩包 124 字节 · 压缩率 12%"});
  rows.push_back({"just below the total",
                  {rawFile("a", 1000)},
                  999,
                  Cutoff::none,
                  "ZIP 压缩包 · 1 个文件",
                  "原始大小 1 KB → 压缩包 999 字节 · 压缩率 100%"});
  rows.push_back({"equal to the total",
                  {rawFile("a", 1000)},
                  1000,
                  Cutoff::none,
                  "ZIP 压缩包 · 1 个文件",
                  "原始大小 1 KB → 压缩包 1 KB"});
  rows.push_back(
      {"no total", {rawFile("a", 0)}, 22, Cutoff::none, "ZIP 压缩包 · 1 个文件", "压缩包 22 字节"});
  rows.push_back({"cut short, folders, encrypted",
                  {rawFile("d/a", 3000, true), rawFile("d/b", 5000)},
                  8000,
                  Cutoff::limits,
                  "ZIP 压缩包 · 2 个文件 · 1 个文件夹 · 已加密",
                  "压缩包太大，只列出了前 2 个文件 · 原始大小 8 KB → 压缩包 8 KB"});
  rows.push_back(
      {"ended by a read error",
       {rawFile("a", 1000), rawFile("b", 1000)},
       300,
       Cutoff::damage,
       "ZIP 压缩包 · 2 个文件",
       "压缩包已损坏，只列出了前 2 个文件 · 原始大小 2 KB → 压缩包 300 字节 · 压缩率 15%"});
  rows.push_back({"a volume missing",
                  {rawFile("a", 1000)},
                  2000,
                  Cutoff::missingVolume,
                  "ZIP 压缩包 · 1 个文件",
                  "缺少分卷，只列出了前 1 个文件 · 原始大小 1 KB → 压缩包 2 KB"});
  for (Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto controller = PreviewViewController::create();
    (void)controller->view();
    controller->displayLoadResult(listingOf(std::move(row.entries), row.fileSize, row.cutoff));
    EXPECT_EQ(controller->subtitleLabel().stringValue(), row.subtitle);
    EXPECT_EQ(controller->footerLabel().stringValue(), row.footer);
    EXPECT_TRUE(controller->messageLabel().isHidden());
  }
}

// A limit spent before the first entry lists nothing, whatever the file:
// no rows, the notice with 0 files, and no claim that it is empty; the type
// is still the one the reader found.
TEST(PreviewViewController, TimeLimitSpentListsNothingWithNotice) {
  TempDir dir;
  const auto zip = writeZip(dir, "a.zip", {file("a.txt"), file("b.txt"), file("c.txt")});
  auto controller = previewOf(zip, -1.0);
  EXPECT_TRUE(rowNames(*controller).empty());
  EXPECT_EQ(controller->subtitleLabel().stringValue(), "ZIP 压缩包 · 0 个文件");
  EXPECT_TRUE(controller->footerLabel().stringValue().starts_with(
      "压缩包太大，只列出了前 0 个文件 · 压缩包 "));
  EXPECT_TRUE(controller->messageLabel().isHidden());
  EXPECT_EQ(PreviewViewController::kTimeLimit, 3.0);
}

TEST(PreviewViewController, EmptyArchiveShowsItsMessage) {
  TempDir dir;
  const auto zip = writeZip(dir, "empty.zip", {});
  auto controller = previewOf(zip);
  EXPECT_EQ(controller->subtitleLabel().stringValue(), "ZIP 压缩包 · 0 个文件");
  EXPECT_EQ(controller->footerLabel().stringValue(), "压缩包 22 字节");
  EXPECT_TRUE(rowNames(*controller).empty());
  EXPECT_FALSE(controller->messageLabel().isHidden());
  EXPECT_EQ(controller->messageLabel().stringValue(), "压缩包是空的。");
}

TEST(PreviewViewController, FailuresAreShownInsideThePreview) {
  TempDir dir;
  test::writeFile(dir.path() / "notes.txt", "just some text\n");
  struct Row {
    fs::path file;
    std::string message;
  };
  std::vector<Row> rows = {
      {dir.path() / "notes.txt", ArchiveError::notArchive().message()},
  };
  if (test::hasTool(test::sevenZipTool())) {
    test::writeFile(dir.path() / "inner.txt", "hidden");
    ASSERT_EQ(test::run("cd " + test::shellQuoted(dir.path()) + " && " + test::sevenZipTool() +
                        " a -mhe=on -pX names.7z inner.txt >/dev/null"),
              0);
    rows.push_back(
        {dir.path() / "names.7z",
         "这个压缩包的文件名也加密了，需要密码才能查看内容。\n用 Vexel 打开并输入密码即可。"});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file.filename().string());
    auto controller = previewOf(row.file);
    EXPECT_EQ(controller->titleLabel().stringValue(), row.file.filename().string());
    EXPECT_EQ(controller->subtitleLabel().stringValue(), "无法读取内容");
    EXPECT_EQ(controller->footerLabel().stringValue(), "");
    EXPECT_FALSE(controller->messageLabel().isHidden());
    EXPECT_EQ(controller->messageLabel().stringValue(), row.message);
    EXPECT_FALSE(controller->tree());
    EXPECT_EQ(controller->outline().numberOfRows(), 0U);
  }
  // A folder is no archive; its name is the last component even with a trailing "/".
  auto folder = previewOf(dir.path().string() + "/");
  EXPECT_EQ(folder->titleLabel().stringValue(), dir.path().filename().string());
  EXPECT_EQ(folder->iconView().image()->typeIdentifier(), "public.folder");
  EXPECT_EQ(folder->subtitleLabel().stringValue(), "无法读取内容");
  // A missing file is a reader failure with libarchive's words.
  auto missing = previewOf(dir.path() / "missing.zip");
  EXPECT_TRUE(missing->messageLabel().stringValue().starts_with("无法读取压缩包"));
  // Running out of memory anywhere in the listing step reads as such.
  auto controller = PreviewViewController::create();
  (void)controller->view();
  controller->displayLoadResult(std::make_exception_ptr(std::bad_alloc()));
  EXPECT_EQ(controller->messageLabel().stringValue(), "无法读取压缩包：内存不足。");
}

TEST(PreviewViewController, ExpandsFullyUpTo300Nodes) {
  TempDir dir;
  std::vector<ZipEntry> entries;
  for (int d = 0; d < 10; ++d) {
    // A named string, not "d" + a temporary: GCC 12 at -O3 warns falsely
    // (-Wrestrict) about that.
    const std::string folderName = std::string("d").append(std::to_string(d));
    entries.push_back(folder(folderName));
    for (int f = 0; f < 29; ++f) entries.push_back(file(folderName + "/f" + std::to_string(f)));
  }
  auto exactly300 = previewOf(writeZip(dir, "300.zip", entries));
  EXPECT_EQ(exactly300->outline().numberOfRows(), 300U);
  EXPECT_TRUE(exactly300->outline().rows().front().isExpanded);

  entries.push_back(file("extra.txt"));
  auto over = previewOf(writeZip(dir, "301.zip", entries));
  ASSERT_EQ(over->outline().numberOfRows(), 11U);
  for (const auto& row : over->outline().rows()) EXPECT_FALSE(row.isExpanded);

  // One top-level folder opens one level, even above the limit.
  std::vector<ZipEntry> single = {folder("top"), folder("top/sub")};
  for (int f = 0; f < 10; ++f) single.push_back(file("top/sub/f" + std::to_string(f)));
  for (int g = 0; g < 290; ++g) single.push_back(file("top/g" + std::to_string(g)));
  auto lone = previewOf(writeZip(dir, "single.zip", single));
  const auto& rows = lone->outline().rows();
  ASSERT_EQ(rows.size(), 292U);
  EXPECT_TRUE(rows[0].isExpanded);
  EXPECT_EQ(rows[1].item.as<ArchiveNode>()->name(), "sub");
  EXPECT_TRUE(rows[1].isExpandable);
  EXPECT_FALSE(rows[1].isExpanded);
}

TEST(PreviewViewController, FoldersFirstThenNaturalOrder) {
  TempDir dir;
  const auto zip =
      writeZip(dir, "order.zip",
               {file("top/b.txt"), file("top/A10.txt"), file("top/a2.txt"), folder("top/z")});
  auto controller = previewOf(zip);
  EXPECT_EQ(rowNames(*controller),
            (std::vector<std::string>{"top", " z", " a2.txt", " A10.txt", " b.txt"}));
  // Cached: the nodes whose children the outline asked for (the root and the
  // open folder); the empty folder z was only asked whether it can open.
  EXPECT_EQ(controller->sortedCacheSize(), 2U);
}

TEST(PreviewViewController, PackagesAreClosedRowsWithTheirTypeIcon) {
  TempDir dir;
  const auto zip = writeZip(dir, "pkg.zip",
                            {file("Foo.app/Contents/x", 100), file("Foo.app/y", 50),
                             file("Foo.zzz/z.txt", 10), folder("Empty")});
  auto controller = previewOf(zip);
  const auto rows = quicklook_render::renderedRows(*controller);
  ASSERT_EQ(rows.size(), 4U);
  EXPECT_EQ(rows[0].name, "Empty");
  EXPECT_FALSE(rows[0].isExpandable);  // a folder with no children
  EXPECT_EQ(rows[0].size, "--");
  EXPECT_EQ(rows[1].name, "Foo.app");
  EXPECT_FALSE(rows[1].isExpandable);
  EXPECT_EQ(rows[1].size, "150 字节");
  EXPECT_EQ(rows[1].icon, "com.apple.application-bundle");
  EXPECT_EQ(rows[2].name, "Foo.zzz");
  EXPECT_TRUE(rows[2].isExpanded);
  EXPECT_EQ(rows[2].size, "--");
  EXPECT_EQ(rows[2].icon, "public.folder");
  EXPECT_EQ(rows[3].icon, "public.plain-text");
  EXPECT_EQ(rows[3].date, "2024-01-02 03:04");

  const ArchiveNode* app = controller->tree()->node("Foo.app");
  ASSERT_NE(app, nullptr);
  EXPECT_TRUE(controller->sortedChildren(OutlineItem::of(app)).empty());
  EXPECT_EQ(PreviewViewController::packageType(*app)->identifier(), "com.apple.application-bundle");
  EXPECT_FALSE(PreviewViewController::packageType(*controller->tree()->node("Foo.zzz")));
  EXPECT_FALSE(PreviewViewController::packageType(*controller->tree()->node("Foo.zzz/z.txt")));
}

TEST(PreviewViewController, CellTextsForSizesAndMissingDates) {
  auto controller = PreviewViewController::create();
  (void)controller->view();
  controller->displayLoadResult(
      listingOf({rawFile("empty.bin", 0), RawEntry{.path = "dir", .isDir = true},
                 rawFile("dir/f.noext", 1'500'000)},
                100));
  const auto rows = quicklook_render::renderedRows(*controller);
  ASSERT_EQ(rows.size(), 3U);
  EXPECT_EQ(rows[0].name, "dir");
  EXPECT_EQ(rows[0].size, "--");
  EXPECT_EQ(rows[0].date, "");
  EXPECT_EQ(rows[1].size, "1.5 MB");
  EXPECT_EQ(
      rows[1].icon,
      platform::UTType::typeWithFilenameExtension("noext", platform::UTType::data())->identifier());
  EXPECT_EQ(rows[2].size, "0 字节");
  EXPECT_EQ(rows[2].date, "");
}

// Constraints stored anywhere in a view's subtree.
std::size_t constraintCount(const platform::View& view) {
  std::size_t count = view.constraints().size();
  for (const auto& sub : view.subviews()) count += constraintCount(*sub);
  return count;
}

TEST(PreviewViewController, ReusedCellsOnlyGetNewContents) {
  TempDir dir;
  auto controller = previewOf(writeZip(dir, "cells.zip", {file("a.txt", 5), file("b.md", 7)}));
  platform::OutlineView& outline = controller->outline();
  outline.setVisibleRowRange(0, 1);
  const auto first =
      std::dynamic_pointer_cast<platform::TableCellView>(outline.viewAtColumn(0, 0, true));
  const auto size =
      std::dynamic_pointer_cast<platform::TableCellView>(outline.viewAtColumn(1, 0, true));
  ASSERT_TRUE(first && size);
  EXPECT_EQ(first->identifier(), "cell-name");
  EXPECT_EQ(size->identifier(), "cell-size");
  ASSERT_TRUE(first->imageView());
  EXPECT_FALSE(size->imageView());
  EXPECT_EQ(constraintCount(*first), 7U);  // five for the image and text, two for the text
  EXPECT_EQ(constraintCount(*size), 3U);
  EXPECT_EQ(first->textField()->lineBreakMode(), platform::LineBreakMode::byTruncatingMiddle);
  EXPECT_EQ(first->textField()->alignment(), platform::TextAlignment::left);
  EXPECT_EQ(first->textField()->textColor(), platform::Color::labelColor);
  EXPECT_EQ(size->textField()->alignment(), platform::TextAlignment::right);
  EXPECT_EQ(size->textField()->textColor(), platform::Color::secondaryLabelColor);
  EXPECT_EQ(first->textField()->stringValue(), "a.txt");
  const auto subviews = first->subviews().size();

  outline.setVisibleRowRange(1, 1);  // row 0 scrolls away; its cells wait for reuse
  const auto reused =
      std::dynamic_pointer_cast<platform::TableCellView>(outline.viewAtColumn(0, 1, true));
  EXPECT_EQ(reused, first);
  EXPECT_EQ(reused->textField()->stringValue(), "b.md");
  EXPECT_EQ(reused->imageView()->image()->typeIdentifier(), "net.daringfireball.markdown");
  EXPECT_EQ(reused->subviews().size(), subviews);
  EXPECT_EQ(constraintCount(*reused), 7U);

  // A pooled view that is not a cell is dropped for a new cell.
  outline.setVisibleRowRange(0, 0);
  while (outline.makeViewWithIdentifier("cell-name", nullptr)) {
  }
  auto stray = std::make_shared<platform::View>();
  stray->setIdentifier("cell-name");
  outline.recycleView(stray);
  const auto made = controller->viewForTableColumn(outline, outline.tableColumns()[0].get(),
                                                   outline.rows()[0].item);
  ASSERT_TRUE(std::dynamic_pointer_cast<platform::TableCellView>(made));
  EXPECT_NE(made, stray);
}

TEST(PreviewViewController, ItemsThatAreNotNodesGetNothing) {
  TempDir dir;
  auto controller = previewOf(writeZip(dir, "a.zip", {file("d/a.txt")}));
  platform::OutlineView& outline = controller->outline();
  const std::string notANode = "d";
  const auto item = OutlineItem::of(&notANode);
  EXPECT_EQ(controller->viewForTableColumn(outline, outline.tableColumns()[0].get(), item),
            nullptr);
  EXPECT_FALSE(controller->isItemExpandable(outline, item));
  EXPECT_FALSE(controller->isItemExpandable(outline, OutlineItem()));
  const auto node = outline.rows()[0].item;
  EXPECT_EQ(controller->viewForTableColumn(outline, nullptr, node), nullptr);
  EXPECT_TRUE(controller->isItemExpandable(outline, node));
  // A non-node item stands for the top level, as the absent item does.
  EXPECT_EQ(controller->numberOfChildrenOfItem(outline, item), 1);
}

TEST(PreviewViewController, NothingIsCachedBeforeATree) {
  auto controller = PreviewViewController::create();
  EXPECT_TRUE(controller->sortedChildren(OutlineItem()).empty());
  EXPECT_EQ(controller->sortedCacheSize(), 0U);
  EXPECT_TRUE(controller->messageLabel().stringValue().empty());
  EXPECT_TRUE(controller->messageLabel().isHidden());
  EXPECT_FALSE(controller->isViewLoaded());
}

TEST(PreviewViewController, IconsAreSharedPerType) {
  TempDir dir;
  auto controller = previewOf(writeZip(
      dir, "icons.zip",
      {file("a/x.txt"), file("a/y.TXT"), file("b/noext"), file("b/other"), file("c.jpg")}));
  const auto& tree = *controller->tree();
  EXPECT_EQ(controller->icon(*tree.node("a/x.txt")), controller->icon(*tree.node("a/y.TXT")));
  EXPECT_EQ(controller->icon(*tree.node("a")), controller->icon(*tree.node("b")));
  EXPECT_EQ(controller->icon(*tree.node("b/noext")), controller->icon(*tree.node("b/other")));
  EXPECT_EQ(controller->icon(*tree.node("b/noext"))->typeIdentifier(), "public.data");
  EXPECT_NE(controller->icon(*tree.node("c.jpg")), controller->icon(*tree.node("a/x.txt")));
  EXPECT_EQ(controller->iconCacheSize(), 4U);  // folder, plain text, data, jpeg
}

TEST(PreviewViewController, ViewHierarchyColumnsAndConstraints) {
  auto controller = PreviewViewController::create();
  const auto& root = controller->view();
  EXPECT_EQ(root->frame(), (platform::Rect{{0, 0}, {760, 520}}));
  EXPECT_EQ(controller->preferredContentSize(), (platform::Size{760, 520}));
  ASSERT_EQ(root->subviews().size(), 4U);
  EXPECT_EQ(root->subviews()[1].get(), &controller->scroll());
  EXPECT_EQ(root->subviews()[3].get(), &controller->messageLabel());
  for (const auto& view : root->subviews())
    EXPECT_FALSE(view->translatesAutoresizingMaskIntoConstraints());
  EXPECT_EQ(controller->titleLabel().font(), platform::Font::boldSystemFontOfSize(15));
  EXPECT_EQ(controller->subtitleLabel().font(), platform::Font::systemFontOfSize(12));
  EXPECT_EQ(controller->footerLabel().font(), platform::Font::systemFontOfSize(11));
  EXPECT_EQ(controller->footerLabel().lineBreakMode(), platform::LineBreakMode::byTruncatingTail);
  EXPECT_EQ(controller->messageLabel().alignment(), platform::TextAlignment::center);
  EXPECT_TRUE(controller->messageLabel().isWrapping());
  EXPECT_TRUE(controller->messageLabel().isHidden());
  EXPECT_EQ(controller->scroll().documentView().get(), &controller->outline());
  EXPECT_EQ(controller->scroll().borderType(), platform::BorderType::noBorder);
  EXPECT_FALSE(controller->scroll().drawsBackground());

  const auto& outline = controller->outline();
  ASSERT_EQ(outline.tableColumns().size(), 3U);
  EXPECT_EQ(outline.outlineTableColumn(), outline.tableColumns()[0]);
  struct Column {
    const char* identifier;
    const char* title;
    double width, minWidth;
    platform::TextAlignment header;
  };
  const Column columns[] = {{"name", "名称", 440, 160, platform::TextAlignment::natural},
                            {"size", "大小", 90, 60, platform::TextAlignment::right},
                            {"date", "修改日期", 140, 100, platform::TextAlignment::natural}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(columns[i].identifier);
    const auto& column = *outline.tableColumns()[i];
    EXPECT_EQ(column.identifier(), columns[i].identifier);
    EXPECT_EQ(column.title(), columns[i].title);
    EXPECT_EQ(column.width(), columns[i].width);
    EXPECT_EQ(column.minWidth(), columns[i].minWidth);
    EXPECT_EQ(column.headerAlignment(), columns[i].header);
  }
  EXPECT_EQ(outline.style(), platform::TableViewStyle::inset);
  EXPECT_EQ(outline.columnAutoresizingStyle(),
            platform::TableViewColumnAutoresizingStyle::firstColumnOnlyAutoresizing);
  EXPECT_EQ(outline.dataSource(), controller.get());

  // All fifteen constraints, wherever the hierarchy stored them.
  std::vector<platform::LayoutConstraint> all;
  std::vector<const platform::View*> pending{root.get()};
  while (!pending.empty()) {
    const platform::View* view = pending.back();
    pending.pop_back();
    all.insert(all.end(), view->constraints().begin(), view->constraints().end());
    for (const auto& sub : view->subviews()) pending.push_back(sub.get());
  }
  ASSERT_EQ(all.size(), 15U);
  using A = platform::LayoutAttribute;
  using R = platform::LayoutRelation;
  const auto* header = root->subviews()[0].get();
  const auto* scroll = &controller->scroll();
  const auto* footer = &controller->footerLabel();
  const auto* message = &controller->messageLabel();
  const auto* icon = &controller->iconView();
  struct Expected {
    const platform::View* item;
    A attribute;
    R relation;
    const platform::View* other;
    A otherAttribute;
    double constant;
  };
  const Expected expected[] = {
      {icon, A::width, R::equal, nullptr, A::notAnAttribute, 40},
      {icon, A::height, R::equal, nullptr, A::notAnAttribute, 40},
      {header, A::top, R::equal, root.get(), A::top, 14},
      {header, A::leading, R::equal, root.get(), A::leading, 16},
      {header, A::trailing, R::lessThanOrEqual, root.get(), A::trailing, -16},
      {scroll, A::top, R::equal, header, A::bottom, 10},
      {scroll, A::leading, R::equal, root.get(), A::leading, 0},
      {scroll, A::trailing, R::equal, root.get(), A::trailing, 0},
      {footer, A::top, R::equal, scroll, A::bottom, 6},
      {footer, A::leading, R::equal, root.get(), A::leading, 16},
      {footer, A::trailing, R::lessThanOrEqual, root.get(), A::trailing, -16},
      {footer, A::bottom, R::equal, root.get(), A::bottom, -8},
      {message, A::centerX, R::equal, scroll, A::centerX, 0},
      {message, A::centerY, R::equal, scroll, A::centerY, 0},
      {message, A::width, R::lessThanOrEqual, scroll, A::width, -40},
  };
  for (const Expected& e : expected) {
    const auto found =
        std::find_if(all.begin(), all.end(), [&](const platform::LayoutConstraint& c) {
          return c.firstItem == e.item && c.firstAttribute == e.attribute &&
                 c.relation == e.relation && c.secondItem == e.other &&
                 c.secondAttribute == e.otherAttribute && c.constant == e.constant &&
                 c.multiplier == 1 && c.isActive;
        });
    EXPECT_NE(found, all.end()) << platform::attributeName(e.attribute) << " " << e.constant;
  }
}

TEST(PreviewViewController, SecondRequestStartsFromScratch) {
  TempDir dir;
  const auto good = writeZip(dir, "good.zip", {file("d/a.txt")});
  test::writeFile(dir.path() / "bad.txt", "plain text");
  const auto empty = writeZip(dir, "empty.zip", {});
  auto controller = previewOf(good);
  const auto again = [&](const fs::path& file) {
    bool done = false;
    controller->preparePreviewOfFile(file, [&](std::exception_ptr) { done = true; });
    EXPECT_EQ(controller->titleLabel().stringValue(), file.filename().string());
    EXPECT_EQ(controller->subtitleLabel().stringValue(), "");
    EXPECT_TRUE(controller->messageLabel().isHidden());
    EXPECT_EQ(controller->outline().numberOfRows(), 0U);
    EXPECT_TRUE(
        platform::DispatchQueue::main().runUntil([&] { return done; }, std::chrono::minutes(2)));
  };
  again(dir.path() / "bad.txt");
  EXPECT_FALSE(controller->tree());
  EXPECT_EQ(controller->footerLabel().stringValue(), "");
  EXPECT_EQ(controller->sortedCacheSize(), 0U);
  again(empty);
  EXPECT_EQ(controller->messageLabel().stringValue(), "压缩包是空的。");
  again(good);
  EXPECT_TRUE(controller->messageLabel().isHidden());
  EXPECT_EQ(rowNames(*controller), (std::vector<std::string>{"d", " a.txt"}));
}

TEST(PreviewViewController, OverlappingRequestsShowTheLatest) {
  TempDir dir;
  const auto first = writeZip(dir, "first.zip", {file("one.txt")});
  const auto second = writeZip(dir, "second.zip", {file("two.txt"), file("three.txt")});
  auto controller = PreviewViewController::create();
  (void)controller->view();
  int firstCalls = 0, secondCalls = 0;
  controller->preparePreviewOfFile(first, [&](std::exception_ptr) { ++firstCalls; });
  controller->preparePreviewOfFile(second, [&](std::exception_ptr) { ++secondCalls; });
  ASSERT_TRUE(platform::DispatchQueue::main().runUntil(
      [&] { return firstCalls + secondCalls == 2; }, std::chrono::minutes(2)));
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(secondCalls, 1);
  EXPECT_EQ(controller->titleLabel().stringValue(), "second.zip");
  EXPECT_EQ(controller->subtitleLabel().stringValue(), "ZIP 压缩包 · 2 个文件");
  EXPECT_EQ(rowNames(*controller).size(), 2U);
}

TEST(PreviewViewController, PendingRequestKeepsTheControllerAlive) {
  TempDir dir;
  const auto zip = writeZip(dir, "a.zip", {file("a.txt")});
  std::weak_ptr<PreviewViewController> weak;
  std::string subtitle;
  bool done = false;
  {
    auto controller = PreviewViewController::create();
    weak = controller;
    controller->preparePreviewOfFile(zip, [&, raw = controller.get()](std::exception_ptr) {
      subtitle = raw->subtitleLabel().stringValue();
      done = true;
    });
  }
  EXPECT_FALSE(weak.expired());
  ASSERT_TRUE(
      platform::DispatchQueue::main().runUntil([&] { return done; }, std::chrono::minutes(2)));
  platform::DispatchQueue::main().drain();
  EXPECT_EQ(subtitle, "ZIP 压缩包 · 1 个文件");
  EXPECT_TRUE(weak.expired());  // released on the main queue once the handler ran
}

}  // namespace
}  // namespace vexel
