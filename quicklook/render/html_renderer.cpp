#include "quicklook/render/html_renderer.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "internal/code_points.h"
#include "internal/page_files.h"
#include "internal/page_layout.h"
#include "internal/page_rows.h"
#include "quicklook/render/preview_renderer.h"
#include "ui/outline_view.h"
#include "ui/view.h"

namespace vexel::quicklook_render {
namespace {

using platform::OutlineView;
using platform::TextField;
using quicklook_render_internal::cssNumber;
using quicklook_render_internal::PageCell;
using quicklook_render_internal::pageFile;
using quicklook_render_internal::PageLayout;
using quicklook_render_internal::PageRow;

// ---------------------------------------------------------------------------
// Text

void appendReplacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// Escaped like htmlEscaped, but line feeds kept (for labels that wrap).
std::string escapedKeepingLineFeeds(std::string_view utf8) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t feed = utf8.find('\n', start);
    out += htmlEscaped(utf8.substr(start, feed == std::string_view::npos ? feed : feed - start));
    if (feed == std::string_view::npos) break;
    out += '\n';
    start = feed + 1;
  }
  return out;
}

// The byte offset where the tail of a middle-truncated text starts: the
// last few characters (an extension, a number) stay visible however narrow
// the column, the head gives way with "…". Never before a combining mark.
std::size_t middleSplit(std::string_view utf8) {
  const std::vector<quicklook_render_internal::CodePoint> points =
      quicklook_render_internal::codePoints(utf8);
  if (points.size() < 8) return utf8.size();
  std::size_t split = points.size() - std::min<std::size_t>(10, points.size() / 2);
  while (split > 0) {
    const auto category = static_cast<UCharCategory>(u_charType(points[split].value));
    if (category != U_NON_SPACING_MARK && category != U_ENCLOSING_MARK &&
        category != U_COMBINING_SPACING_MARK && points[split].value != 0x200D) {
      break;
    }
    --split;
  }
  return points[split].begin;
}

// A one-line text that truncates in the middle: head with an ellipsis when
// it overflows, then the tail. textContent is the whole text.
std::string middleTruncated(std::string_view utf8) {
  const std::size_t split = middleSplit(utf8);
  return "<span class=\"mid\"><span class=\"head\">" + htmlEscaped(utf8.substr(0, split)) +
         "</span><span class=\"tail\">" + htmlEscaped(utf8.substr(split)) + "</span></span>";
}

std::string colorVariable(platform::Color color) {
  return color == platform::Color::secondaryLabelColor ? "var(--secondary)" : "var(--label)";
}

std::string alignmentValue(platform::TextAlignment alignment) {
  switch (alignment) {
    case platform::TextAlignment::center:
      return "center";
    case platform::TextAlignment::right:
      return "right";
    case platform::TextAlignment::justified:
      return "justify";
    case platform::TextAlignment::left:
    case platform::TextAlignment::natural:
      break;
  }
  return "left";
}

// A label as its font, colour, alignment and line-break mode draw it.
std::string labelHtml(const TextField& field, std::string_view id, std::string_view extraStyle) {
  std::string style = "font-size:" + cssNumber(field.font().pointSize) +
                      "px;font-weight:" + (field.font().isBold ? "700" : "400") +
                      ";color:" + colorVariable(field.textColor()) +
                      ";text-align:" + alignmentValue(field.alignment()) + ";" +
                      std::string(extraStyle);
  std::string body;
  std::string kind;
  switch (field.lineBreakMode()) {
    case platform::LineBreakMode::byTruncatingMiddle:
      kind = "one-line";
      body = middleTruncated(field.stringValue());
      break;
    case platform::LineBreakMode::byWordWrapping:
    case platform::LineBreakMode::byCharWrapping:
      kind = "wrapping";
      body = escapedKeepingLineFeeds(field.stringValue());
      break;
    default:
      kind = "one-line truncate-tail";
      body = htmlEscaped(field.stringValue());
      break;
  }
  return "<div id=\"" + std::string(id) + "\" class=\"label " + kind + "\" style=\"" + style +
         "\"" + (field.isHidden() ? " hidden" : "") + ">" + body + "</div>";
}

// ---------------------------------------------------------------------------
// Icons: one inline SVG symbol per kind of type, drawn from page/icons/

std::string iconHtml(std::string_view typeIdentifier, std::string_view cssClass) {
  return "<svg class=\"" + std::string(cssClass) + "\" viewBox=\"0 0 32 32\" data-type=\"" +
         htmlEscaped(typeIdentifier) + "\" aria-hidden=\"true\"><use href=\"#i-" +
         std::string(iconKind(typeIdentifier)) + "\"/></svg>";
}

// An icon file as a symbol of the page: its root's viewBox, and the
// elements inside the root with the indentation and line feeds between them
// taken out.
std::string symbolHtml(std::string_view id, std::string_view svg) {
  const std::size_t open = svg.find("<svg");
  const std::size_t openEnd = svg.find('>', open);
  const std::size_t close = svg.rfind("</svg>");
  if (open == std::string_view::npos || openEnd == std::string_view::npos ||
      close == std::string_view::npos || close < openEnd) {
    return {};
  }
  const std::string_view root = svg.substr(open, openEnd - open);
  std::string_view viewBox;
  if (const std::size_t at = root.find("viewBox=\""); at != std::string_view::npos) {
    const std::size_t begin = at + 9;
    viewBox = root.substr(begin, root.find('"', begin) - begin);
  }
  std::string out =
      "<symbol id=\"i-" + std::string(id) + "\" viewBox=\"" + std::string(viewBox) + "\">";
  std::string_view body = svg.substr(openEnd + 1, close - openEnd - 1);
  while (!body.empty()) {
    const std::size_t feed = body.find('\n');
    std::string_view line = body.substr(0, feed);
    body = feed == std::string_view::npos ? std::string_view() : body.substr(feed + 1);
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) continue;
    out += line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
  }
  return out + "</symbol>";
}

// Every icon of page/icons/, one symbol each, named after its file; the
// kinds of iconKind and "disclosure" are among them.
const std::string& symbolsHtml() {
  static const std::string symbols = [] {
    constexpr std::string_view kFolder = "icons/";
    constexpr std::string_view kSuffix = ".svg";
    std::string out =
        "<svg width=\"0\" height=\"0\" style=\"position:absolute\" aria-hidden=\"true\">";
    for (const quicklook_render_internal::EmbeddedFile& file :
         quicklook_render_internal::pageFiles()) {
      if (!file.path.starts_with(kFolder) || !file.path.ends_with(kSuffix)) continue;
      const std::string_view id =
          file.path.substr(kFolder.size(), file.path.size() - kFolder.size() - kSuffix.size());
      out += symbolHtml(id, file.bytes);
    }
    return out + "</svg>";
  }();
  return symbols;
}

// ---------------------------------------------------------------------------
// The page

std::string columnsHtml(const OutlineView& outline) {
  std::string out = "<div id=\"columns\" class=\"grid\" role=\"row\">";
  for (const auto& column : outline.tableColumns()) {
    out += "<div class=\"title\" role=\"columnheader\" data-column=\"" +
           htmlEscaped(column->identifier()) + "\" data-width=\"" + cssNumber(column->width()) +
           "\" data-min-width=\"" + cssNumber(column->minWidth()) +
           "\" style=\"min-width:" + cssNumber(column->minWidth()) +
           "px;box-sizing:border-box;text-align:" + alignmentValue(column->headerAlignment()) +
           "\">" + htmlEscaped(column->title()) + "</div>";
  }
  return out + "</div>";
}

// One row; `isAlt` gives it the second stripe colour (the page's script
// restripes when folders open and close).
std::string rowHtml(const OutlineView& outline, const PageRow& row, bool isAlt) {
  const auto flag = [](bool value) { return value ? "true" : "false"; };
  std::string out = std::string("<div class=\"row grid") + (isAlt ? " alt" : "") +
                    "\" role=\"row\" data-id=\"" + std::to_string(row.id) + "\" data-parent=\"" +
                    std::to_string(row.parent) + "\" data-depth=\"" + std::to_string(row.depth) +
                    "\" aria-level=\"" + std::to_string(row.depth + 1) + "\" data-expandable=\"" +
                    flag(row.isExpandable) + "\"";
  if (row.isExpandable) out += std::string(" aria-expanded=\"") + flag(row.isExpanded) + "\"";
  if (!row.isShown) out += " hidden";
  out += ">";
  for (std::size_t i = 0; i < row.cells.size(); ++i) {
    const PageCell& cell = row.cells[i];
    const auto& column = *outline.tableColumns()[i];
    const bool isOutlineColumn = outline.outlineTableColumn().get() == &column;
    std::string classes = "cell";
    if (isOutlineColumn) classes += " outline-cell";
    if (cell.alignment == platform::TextAlignment::right) classes += " right";
    if (cell.color == platform::Color::secondaryLabelColor) classes += " secondary";
    out += "<div class=\"" + classes + "\" role=\"gridcell\" data-column=\"" +
           htmlEscaped(column.identifier()) + "\"";
    if (isOutlineColumn) out += " style=\"--depth:" + std::to_string(row.depth) + "\"";
    out += ">";
    if (isOutlineColumn) {
      out += row.isExpandable
                 ? std::string("<button class=\"disclosure\" type=\"button\" aria-label=\"") +
                       (row.isExpanded ? "折叠" : "展开") +
                       "\"><svg aria-hidden=\"true\"><use href=\"#i-disclosure\"/></svg></button>"
                 : std::string("<span class=\"no-disclosure\"></span>");
    }
    if (!cell.icon.empty()) out += iconHtml(cell.icon, "row-icon");
    out += "<span class=\"text\" title=\"" + htmlEscaped(cell.text) + "\">" +
           (cell.truncatesMiddle ? middleTruncated(cell.text) : htmlEscaped(cell.text)) +
           "</span></div>";
  }
  return out + "</div>";
}

// reachableRows: the rows a page of the whole tree would hold: every node
// below the root except the contents of packages (closed rows). Counted in
// archive order; the display order is not needed for a count.
std::size_t reachableRows(const PreviewViewController& controller) {
  if (!controller.tree()) return 0;
  std::size_t count = 0;
  std::vector<const ArchiveNode*> folders{&controller.tree()->root()};
  while (!folders.empty()) {
    const ArchiveNode* folder = folders.back();
    folders.pop_back();
    for (const auto& child : folder->children()) {
      ++count;
      if (child->isDir() && !child->children().empty() &&
          !PreviewViewController::packageType(*child)) {
        folders.push_back(child);
      }
    }
  }
  return count;
}

// The style sheet: the page's own, then the dark colours as the scheme
// asks (dark colours come after the light ones and override them), then,
// for a page that fills its window, no scroll bars around the preview.
std::string styleSheet(const HtmlOptions& options) {
  std::string css(pageFile("preview.css"));
  const std::string_view dark = pageFile("preview-dark.css");
  switch (options.colorScheme) {
    case PageColorScheme::followSystem:
      css.append("@media (prefers-color-scheme:dark){").append(dark).append("}\n");
      break;
    case PageColorScheme::light:
      css += ":root{color-scheme:light}\n";
      break;
    case PageColorScheme::dark:
      css.append(":root{color-scheme:dark}\n").append(dark);
      break;
  }
  if (options.fillsWindow) css += "html,body{overflow:hidden}\n";
  return css;
}

std::string_view colorSchemeContent(PageColorScheme scheme) {
  switch (scheme) {
    case PageColorScheme::light:
      return "light";
    case PageColorScheme::dark:
      return "dark";
    case PageColorScheme::followSystem:
      break;
  }
  return "light dark";
}

}  // namespace

std::string htmlEscaped(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (const quicklook_render_internal::CodePoint& cp :
       quicklook_render_internal::codePoints(utf8)) {
    switch (cp.value) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      case '\'':
        out += "&#39;";
        continue;
      default:
        break;
    }
    if (quicklook_render_internal::isUnsafeToShow(cp)) {
      appendReplacement(out);
    } else {
      out.append(utf8.substr(cp.begin, cp.end - cp.begin));
    }
  }
  return out;
}

namespace {

// documentHead: the page's head, its style sheet included, and the
// opening of its body.
std::string documentHead(PreviewViewController& controller, const HtmlOptions& options,
                         const PageLayout& layout) {
  std::string out;
  out +=
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
      "<meta name=\"color-scheme\" content=\"" +
      std::string(colorSchemeContent(options.colorScheme)) +
      "\">\n"
      "<meta name=\"viewport\" content=\"width=" +
      (options.fillsWindow ? std::string("device-width") : cssNumber(layout.size.width)) +
      "\">\n<title>" + htmlEscaped(controller.titleLabel().stringValue()) + "</title>\n<style>\n" +
      styleSheet(options) + "</style>\n</head>\n<body>\n";
  return out;
}

// headerHtml: the icon beside the title over the subtitle.
std::string headerHtml(PreviewViewController& controller, const PageLayout& layout) {
  std::string out;
  const auto& headerIcon = controller.iconView().image();
  out += "<div id=\"header\" style=\"margin:" + cssNumber(layout.headerTop) + "px " +
         cssNumber(layout.headerTrailing) + "px 0 " + cssNumber(layout.headerLeading) +
         "px;gap:" + cssNumber(layout.headerSpacing) + "px\">";
  out += "<div id=\"header-icon\" style=\"width:" + cssNumber(layout.iconSize) +
         "px;height:" + cssNumber(layout.iconSize) + "px\">" +
         (headerIcon ? iconHtml(headerIcon->typeIdentifier(), "header-icon-image") : "") + "</div>";
  out += "<div id=\"header-text\" style=\"gap:" + cssNumber(layout.textSpacing) + "px\">" +
         labelHtml(controller.titleLabel(), "title", "") +
         labelHtml(controller.subtitleLabel(), "subtitle", "") + "</div></div>\n";

  return out;
}

}  // namespace

std::string renderHtml(PreviewViewController& controller, const HtmlOptions& options) {
  const PageLayout layout = quicklook_render_internal::pageLayout(controller);
  OutlineView& outline = controller.outline();
  const std::vector<PageRow> rows =
      quicklook_render_internal::collectRows(outline, options.maxRows);
  const std::size_t reachable = reachableRows(controller);
  const std::size_t omitted = reachable > rows.size() ? reachable - rows.size() : 0;

  std::string out;
  out.reserve(4096 + rows.size() * 700);
  out += documentHead(controller, options, layout);
  out += symbolsHtml() + "\n";

  out += "<div id=\"preview\" style=\"" +
         (options.fillsWindow ? std::string("width:100vw;height:100vh")
                              : "width:" + cssNumber(layout.size.width) +
                                    "px;height:" + cssNumber(layout.size.height) + "px") +
         ";--row-height:" + std::to_string(quicklook_render_internal::kRowHeight) +
         "px;--header-row:" + std::to_string(quicklook_render_internal::kHeaderRowHeight) +
         "px;--indent:" + std::to_string(quicklook_render_internal::kIndentPerLevel) +
         "px;--disclosure:" + std::to_string(quicklook_render_internal::kDisclosureWidth) +
         "px;--inset:" + std::to_string(quicklook_render_internal::kInsetMargin) +
         "px;--gap:" + std::to_string(quicklook_render_internal::kIntercellSpacing) +
         "px;--cell-icon:" + cssNumber(layout.cellIconSize) +
         "px;--cell-inset:" + cssNumber(layout.cellInset) +
         "px;--cell-icon-spacing:" + cssNumber(layout.cellIconSpacing) +
         "px;--columns:" + layout.columnTracks + "\">\n";

  out += headerHtml(controller, layout);

  // The outline in its scroll view, with the message centred over it.
  out += "<div id=\"outline-area\" style=\"margin:" + cssNumber(layout.scrollTop) + "px " +
         cssNumber(layout.scrollTrailing) + "px 0 " + cssNumber(layout.scrollLeading) + "px\">";
  out += "<div id=\"scroll\"><div id=\"outline\" role=\"treegrid\" aria-label=\"" +
         htmlEscaped(controller.titleLabel().stringValue()) + "\">";
  out += columnsHtml(outline);
  out += "<div id=\"rows\" role=\"rowgroup\">\n";
  std::size_t shown = 0;
  for (const PageRow& row : rows) {
    out += rowHtml(outline, row, row.isShown && shown % 2 == 1) + "\n";
    if (row.isShown) ++shown;
  }
  out += "</div></div>";
  // After the outline, not in it: assistive technologies read only rows
  // inside a tree grid.
  if (omitted > 0) {
    out += "<div id=\"note\">…另有 " + std::to_string(omitted) + " 项未列入此页</div>";
  }
  out += "</div>";
  out += labelHtml(controller.messageLabel(), "message",
                   "max-width:calc(100% - " + cssNumber(layout.messageInset) + "px)");
  out += "</div>\n";

  out += labelHtml(controller.footerLabel(), "footer-label",
                   "margin:" + cssNumber(layout.footerTop) + "px " +
                       cssNumber(layout.footerTrailing) + "px " + cssNumber(layout.footerBottom) +
                       "px " + cssNumber(layout.footerLeading) + "px");
  // The script opens and closes folders: a row shows when every folder
  // above it is open, stripes follow the rows on show, and Option/Alt-click
  // opens or closes every folder inside as well.
  out += "\n</div>\n<script>\n" + std::string(pageFile("preview.js")) +
         "</script>\n</body>\n</html>\n";
  return out;
}

}  // namespace vexel::quicklook_render
