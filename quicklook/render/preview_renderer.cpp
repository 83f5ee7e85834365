#include "quicklook/render/preview_renderer.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

#include "foundation/json_serialization.h"
#include "foundation/ut_type.h"
#include "internal/code_points.h"

namespace vexel::quicklook_render {
namespace {

using platform::TableCellView;
using platform::TextField;

constexpr std::size_t kPageRows = 40;  // rows on show at once while scrolling
constexpr std::size_t kSizeWidth = 10;
constexpr std::size_t kDateWidth = 16;  // "yyyy-MM-dd HH:mm"
constexpr std::size_t kGap = 2;
constexpr std::string_view kEllipsis = "…";

// ANSI select-graphic-rendition sequences.
constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kDim = "\x1b[2m";

// Colour and pictograph per icon kind: folders as ls draws them, archives
// red, media magenta, programs green. Pictographs are emoji-presentation
// characters, two columns wide in every terminal.
struct KindLook {
  std::string_view kind;
  std::string_view color;
  std::string_view pictograph;
};
constexpr KindLook kLooks[] = {
    {"folder", "\x1b[1;34m", "📁"},   {"app", "\x1b[1;32m", "🚀"},
    {"package", "\x1b[32m", "🧰"}, {"archive", "\x1b[31m", "📦"},
    {"image", "\x1b[35m", "🌄"},      {"audio", "\x1b[35m", "🎵"},
    {"movie", "\x1b[35m", "🎬"},      {"pdf", "", "📕"},
    {"code", "\x1b[36m", "📜"},       {"text", "", "📝"},
    {"executable", "\x1b[32m", "💻"}, {"document", "", "📄"},
};

const KindLook& lookOf(std::string_view typeIdentifier) {
  const std::string_view kind = iconKind(typeIdentifier);
  for (const KindLook& look : kLooks) {
    if (look.kind == kind) return look;
  }
  return kLooks[std::size(kLooks) - 1];
}

// `text` in the given rendition, or as it is without colour.
std::string painted(std::string_view rendition, const std::string& text, bool color) {
  if (!color || rendition.empty() || text.empty()) return text;
  return std::string(rendition) + text + std::string(kReset);
}

// The rendition a label's font and colour role ask for.
std::string renditionOf(const TextField& field) {
  std::string out;
  if (field.font().isBold) out += kBold;
  if (field.textColor() == platform::Color::secondaryLabelColor) out += kDim;
  return out;
}

using quicklook_render_internal::CodePoint;
using quicklook_render_internal::codePoints;

std::size_t columnsOf(UChar32 c) {
  const auto category = static_cast<UCharCategory>(u_charType(c));
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || c == 0x200B) return 0;
  const auto width = static_cast<UEastAsianWidth>(u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH));
  return width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
}

std::string padRight(std::string text, std::size_t width) {
  const std::size_t used = displayWidth(text);
  if (used < width) text.append(width - used, ' ');
  return text;
}

std::string padLeft(const std::string& text, std::size_t width) {
  const std::size_t used = displayWidth(text);
  return used < width ? std::string(width - used, ' ') + text : text;
}

std::string trimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Splits at line feeds, then breaks each line so no piece is wider than `width`.
std::vector<std::string> wrap(std::string_view text, std::size_t width) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t feed = text.find('\n', start);
    const std::string_view line =
        text.substr(start, feed == std::string_view::npos ? std::string_view::npos : feed - start);
    std::string current;
    std::size_t used = 0;
    for (const CodePoint& cp : codePoints(line)) {
      const std::size_t columns = columnsOf(cp.value);
      if (used + columns > width && !current.empty()) {
        lines.push_back(current);
        current.clear();
        used = 0;
      }
      current.append(line.substr(cp.begin, cp.end - cp.begin));
      used += columns;
    }
    lines.push_back(current);
    if (feed == std::string_view::npos) break;
    start = feed + 1;
  }
  return lines;
}

// One label as its line-break mode draws it in `width` columns.
std::vector<std::string> labelLines(const TextField& field, std::size_t width) {
  const std::string text = field.lineBreakMode() == platform::LineBreakMode::byWordWrapping
                               ? field.stringValue()
                               : printable(field.stringValue());
  std::vector<std::string> lines;
  switch (field.lineBreakMode()) {
    case platform::LineBreakMode::byTruncatingMiddle:
      lines = {truncateMiddle(text, width)};
      break;
    case platform::LineBreakMode::byTruncatingTail:
      lines = {truncateTail(text, width)};
      break;
    case platform::LineBreakMode::byWordWrapping:
    case platform::LineBreakMode::byCharWrapping: {
      for (std::string& line : wrap(text, width)) lines.push_back(printable(line));
      break;
    }
    default:
      lines = {truncateTail(text, width)};
      break;
  }
  if (field.alignment() == platform::TextAlignment::center) {
    for (std::string& line : lines) {
      const std::size_t used = displayWidth(line);
      if (used < width) line.insert(0, (width - used) / 2, ' ');
    }
  }
  return lines;
}

std::string cellText(const std::shared_ptr<platform::View>& view) {
  const auto cell = std::dynamic_pointer_cast<TableCellView>(view);
  return cell && cell->textField() ? cell->textField()->stringValue() : std::string();
}

std::string cellIcon(const std::shared_ptr<platform::View>& view) {
  const auto cell = std::dynamic_pointer_cast<TableCellView>(view);
  if (!cell || !cell->imageView() || !cell->imageView()->image()) return {};
  return cell->imageView()->image()->typeIdentifier();
}

// Index of the column with that identifier, or the column count.
std::size_t columnIndex(const platform::OutlineView& outline, std::string_view identifier) {
  const auto& columns = outline.tableColumns();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i]->identifier() == identifier) return i;
  }
  return columns.size();
}

std::string columnTitle(const platform::OutlineView& outline, std::size_t index) {
  return index < outline.tableColumns().size() ? outline.tableColumns()[index]->title()
                                               : std::string();
}

}  // namespace

std::string_view iconKind(std::string_view typeIdentifier) {
  const auto type = platform::UTType::typeWithIdentifier(typeIdentifier);
  if (!type) return "document";
  // Most specific first: an application bundle is also a package.
  static constexpr std::pair<std::string_view, std::string_view> kKinds[] = {
      {"public.folder", "folder"},         {"com.apple.application", "app"},
      {"com.apple.package", "package"},    {"public.archive", "archive"},
      {"public.image", "image"},           {"public.audio", "audio"},
      {"public.movie", "movie"},           {"com.adobe.pdf", "pdf"},
      {"public.source-code", "code"},      {"public.text", "text"},
      {"public.executable", "executable"},
  };
  for (const auto& [identifier, kind] : kKinds) {
    const auto other = platform::UTType::typeWithIdentifier(identifier);
    if (other && type->conformsTo(*other)) return kind;
  }
  return "document";
}

std::size_t displayWidth(std::string_view utf8) {
  std::size_t width = 0;
  for (const CodePoint& cp : codePoints(utf8)) width += columnsOf(cp.value);
  return width;
}

std::string truncateMiddle(std::string_view utf8, std::size_t width) {
  if (displayWidth(utf8) <= width) return std::string(utf8);
  if (width == 0) return {};
  const std::vector<CodePoint> points = codePoints(utf8);
  const std::size_t room = width - 1;  // the ellipsis takes one column
  const std::size_t headRoom = (room + 1) / 2;
  std::size_t headEnd = 0, headUsed = 0, h = 0;
  for (; h < points.size() && headUsed + columnsOf(points[h].value) <= headRoom; ++h) {
    headUsed += columnsOf(points[h].value);
    headEnd = points[h].end;
  }
  // The tail gets what the head left, including a column a wide character
  // could not use.
  const std::size_t tailRoom = room - headUsed;
  std::size_t tailBegin = utf8.size(), tailUsed = 0;
  for (std::size_t t = points.size(); t > h; --t) {
    const std::size_t columns = columnsOf(points[t - 1].value);
    if (tailUsed + columns > tailRoom) break;
    tailUsed += columns;
    tailBegin = points[t - 1].begin;
  }
  return std::string(utf8.substr(0, headEnd)) + std::string(kEllipsis) +
         std::string(utf8.substr(tailBegin));
}

std::string truncateTail(std::string_view utf8, std::size_t width) {
  if (displayWidth(utf8) <= width) return std::string(utf8);
  if (width == 0) return {};
  std::string out;
  std::size_t used = 0;
  for (const CodePoint& cp : codePoints(utf8)) {
    const std::size_t columns = columnsOf(cp.value);
    if (used + columns > width - 1) break;
    out.append(utf8.substr(cp.begin, cp.end - cp.begin));
    used += columns;
  }
  return out + std::string(kEllipsis);
}

std::string printable(std::string_view utf8) { return text::printable(utf8); }

std::string jsonString(std::string_view utf8) {
  std::string out;
  platform::appendJSONString(out, utf8);
  return out;
}

std::vector<RenderedRow> renderedRows(PreviewViewController& controller, std::size_t maxRows) {
  platform::OutlineView& outline = controller.outline();
  const std::size_t nameColumn = columnIndex(outline, PreviewViewController::kNameColumn);
  const std::size_t sizeColumn = columnIndex(outline, PreviewViewController::kSizeColumn);
  const std::size_t dateColumn = columnIndex(outline, PreviewViewController::kDateColumn);
  std::vector<RenderedRow> out;
  const std::size_t count = std::min(outline.numberOfRows(), maxRows);
  out.reserve(count);
  // Page through the rows as a scrolling window would: cells of rows that
  // leave the page go back to the pool and are reused for the next page.
  for (std::size_t first = 0; first < count; first += kPageRows) {
    outline.setVisibleRowRange(first, std::min(kPageRows, count - first));
    const std::size_t end = std::min(count, first + kPageRows);
    for (std::size_t row = first; row < end; ++row) {
      const platform::OutlineRow& info = outline.rows()[row];
      RenderedRow rendered;
      rendered.depth = info.depth;
      rendered.isExpandable = info.isExpandable;
      rendered.isExpanded = info.isExpanded;
      const auto nameCell = outline.viewAtColumn(nameColumn, row, true);
      rendered.name = cellText(nameCell);
      rendered.icon = cellIcon(nameCell);
      rendered.size = cellText(outline.viewAtColumn(sizeColumn, row, true));
      rendered.date = cellText(outline.viewAtColumn(dateColumn, row, true));
      out.push_back(std::move(rendered));
    }
  }
  outline.setVisibleRowRange(0, 0);
  return out;
}

std::string renderText(PreviewViewController& controller, std::size_t width,
                       const TextDecoration& decoration) {
  width = std::max<std::size_t>(width, 40);
  const bool color = decoration.color;
  std::string out;
  const auto addLines = [&](const TextField& field) {
    const std::string rendition = renditionOf(field);
    for (const std::string& line : labelLines(field, width)) {
      out += painted(rendition, trimRight(line), color) + "\n";
    }
  };
  addLines(controller.titleLabel());
  addLines(controller.subtitleLabel());

  const std::vector<RenderedRow> rows = renderedRows(controller);
  const std::size_t nameWidth = width - kSizeWidth - kDateWidth - 2 * kGap;
  const platform::OutlineView& outline = controller.outline();
  if (!rows.empty()) {
    out += "\n";
    const std::size_t nameColumn = columnIndex(outline, PreviewViewController::kNameColumn);
    const std::size_t sizeColumn = columnIndex(outline, PreviewViewController::kSizeColumn);
    const std::size_t dateColumn = columnIndex(outline, PreviewViewController::kDateColumn);
    const std::string titles =
        padRight(truncateTail(columnTitle(outline, nameColumn), nameWidth), nameWidth) +
        std::string(kGap, ' ') + padLeft(columnTitle(outline, sizeColumn), kSizeWidth) +
        std::string(kGap, ' ') + columnTitle(outline, dateColumn);
    out += painted(kDim, trimRight(titles), color) + "\n";
  }
  // A pictograph and its space take three columns of the name.
  const std::size_t iconColumns = decoration.icons ? 3 : 0;
  for (const RenderedRow& row : rows) {
    // Deep rows keep at least a few columns for their name.
    const std::size_t indent = std::min<std::size_t>(static_cast<std::size_t>(row.depth) * 2,
                                                     nameWidth > 12 ? nameWidth - 12 : 0);
    const std::string mark = !row.isExpandable ? "  " : (row.isExpanded ? "▾ " : "▸ ");
    const std::size_t room = nameWidth - indent - 2 - iconColumns;
    const KindLook& look = lookOf(row.icon);
    const std::string name = truncateMiddle(printable(row.name), room);
    const std::size_t padding = room - std::min(room, displayWidth(name));
    std::string line =
        std::string(indent, ' ') + (row.isExpandable ? painted(kDim, mark, color) : mark);
    if (decoration.icons) line += std::string(look.pictograph) + " ";
    line += painted(look.color, name, color) + std::string(padding, ' ') + std::string(kGap, ' ');
    line +=
        painted(kDim, padLeft(truncateTail(printable(row.size), kSizeWidth), kSizeWidth), color) +
        std::string(kGap, ' ');
    const std::string date = truncateTail(printable(row.date), kDateWidth);
    out += trimRight(line + painted(kDim, date, color)) + "\n";
  }
  if (outline.numberOfRows() > rows.size()) {
    out +=
        painted(kDim, "…另有 " + std::to_string(outline.numberOfRows() - rows.size()) + " 项未列出",
                color) +
        "\n";
  }
  if (!controller.footerLabel().stringValue().empty()) {
    out += "\n";
    addLines(controller.footerLabel());
  }
  if (!controller.messageLabel().isHidden()) {
    out += "\n";
    addLines(controller.messageLabel());
  }
  return out;
}

std::string renderJson(PreviewViewController& controller, std::size_t maxRows) {
  const auto boolean = [](bool value) { return value ? "true" : "false"; };
  std::string out = "{";
  out += "\"title\":" + jsonString(controller.titleLabel().stringValue());
  out += ",\"subtitle\":" + jsonString(controller.subtitleLabel().stringValue());
  out += ",\"footer\":" + jsonString(controller.footerLabel().stringValue());
  out += ",\"message\":" + (controller.messageLabel().isHidden()
                                ? std::string("null")
                                : jsonString(controller.messageLabel().stringValue()));
  const auto& image = controller.iconView().image();
  out += ",\"icon\":" + (image ? jsonString(image->typeIdentifier()) : std::string("null"));
  out += ",\"rows\":[";
  bool first = true;
  const std::vector<RenderedRow> rows = renderedRows(controller, maxRows);
  for (const RenderedRow& row : rows) {
    if (!first) out += ",";
    first = false;
    out += "{\"depth\":" + std::to_string(row.depth);
    out += ",\"name\":" + jsonString(row.name);
    out += ",\"size\":" + jsonString(row.size);
    out += ",\"date\":" + jsonString(row.date);
    out += ",\"icon\":" + jsonString(row.icon);
    out += ",\"expandable\":" + std::string(boolean(row.isExpandable));
    out += ",\"expanded\":" + std::string(boolean(row.isExpanded)) + "}";
  }
  out += "],\"omittedRows\":" + std::to_string(controller.outline().numberOfRows() - rows.size());
  out += "}";
  return out;
}

}  // namespace vexel::quicklook_render
