#include "quicklook/host/html_renderer.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <unordered_set>
#include <vector>

#include "internal/code_points.h"
#include "quicklook/host/preview_renderer.h"
#include "ui/layout_constraint.h"
#include "ui/outline_view.h"
#include "ui/view.h"

namespace vexel::quicklook_host {
namespace {

using platform::LayoutAttribute;
using platform::OutlineItem;
using platform::OutlineView;
using platform::TextField;
using platform::View;

// The outline's geometry that the platform draws without being told:
// row height of the default row size, indentation per level and the width
// of the disclosure triangle's place.
constexpr int kRowHeight = 24;
constexpr int kIndentPerLevel = 16;
constexpr int kDisclosureWidth = 16;
constexpr int kHeaderRowHeight = 28;
constexpr int kInsetMargin = 10;  // the inset style's margin on both sides
constexpr int kIntercellSpacing = 3;

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
  const std::vector<internal::CodePoint> points = internal::codePoints(utf8);
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

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
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
  std::string style = "font-size:" + number(field.font().pointSize) +
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
// Layout: the constants of the controller's constraints

// The constant of the active constraint first.a = second.b + constant found
// anywhere in the hierarchy under `root`, or `fallback`.
double constantOf(const View& root, const View* first, LayoutAttribute a, const View* second,
                  LayoutAttribute b, double fallback) {
  std::vector<const View*> pending{&root};
  while (!pending.empty()) {
    const View* view = pending.back();
    pending.pop_back();
    for (const platform::LayoutConstraint& c : view->constraints()) {
      if (c.isActive && c.firstItem == first && c.firstAttribute == a && c.secondItem == second &&
          c.secondAttribute == b) {
        return c.constant;
      }
    }
    for (const auto& sub : view->subviews()) pending.push_back(sub.get());
  }
  return fallback;
}

struct Layout {
  double width = 760;
  double height = 520;
  double iconWidth = 40;
  double iconHeight = 40;
  double headerTop = 14;
  double headerLeading = 16;
  double headerTrailing = 16;
  double headerSpacing = 10;
  double textSpacing = 2;
  double scrollTop = 10;
  double scrollLeading = 0;
  double scrollTrailing = 0;
  double footerTop = 6;
  double footerLeading = 16;
  double footerTrailing = 16;
  double footerBottom = 8;
  double messageInset = 40;
};

Layout layoutOf(PreviewViewController& controller) {
  Layout layout;
  const std::shared_ptr<View>& root = controller.view();
  if (!root) return layout;
  layout.width = root->frame().size.width;
  layout.height = root->frame().size.height;
  const View* icon = &controller.iconView();
  const View* header = icon->superview();
  const View* text = controller.titleLabel().superview();
  const View* scroll = &controller.scroll();
  const View* footer = &controller.footerLabel();
  const View* message = &controller.messageLabel();
  using A = LayoutAttribute;
  layout.iconWidth = constantOf(*root, icon, A::width, nullptr, A::notAnAttribute, 40);
  layout.iconHeight = constantOf(*root, icon, A::height, nullptr, A::notAnAttribute, 40);
  layout.headerTop = constantOf(*root, header, A::top, root.get(), A::top, 14);
  layout.headerLeading = constantOf(*root, header, A::leading, root.get(), A::leading, 16);
  layout.headerTrailing = -constantOf(*root, header, A::trailing, root.get(), A::trailing, -16);
  layout.scrollTop = constantOf(*root, scroll, A::top, header, A::bottom, 10);
  layout.scrollLeading = constantOf(*root, scroll, A::leading, root.get(), A::leading, 0);
  layout.scrollTrailing = -constantOf(*root, scroll, A::trailing, root.get(), A::trailing, 0);
  layout.footerTop = constantOf(*root, footer, A::top, scroll, A::bottom, 6);
  layout.footerLeading = constantOf(*root, footer, A::leading, root.get(), A::leading, 16);
  layout.footerTrailing = -constantOf(*root, footer, A::trailing, root.get(), A::trailing, -16);
  layout.footerBottom = -constantOf(*root, footer, A::bottom, root.get(), A::bottom, -8);
  layout.messageInset = -constantOf(*root, message, A::width, scroll, A::width, -40);
  if (const auto* stack = dynamic_cast<const platform::StackView*>(header)) {
    layout.headerSpacing = stack->spacing();
  }
  if (const auto* stack = dynamic_cast<const platform::StackView*>(text)) {
    layout.textSpacing = stack->spacing();
  }
  return layout;
}

// ---------------------------------------------------------------------------
// Rows, as the outline's data source and delegate give them

struct Cell {
  std::string text;
  std::string icon;  // type identifier of the cell's image; "" without one
  platform::TextAlignment alignment = platform::TextAlignment::left;
  platform::Color color = platform::Color::labelColor;
  bool truncatesMiddle = false;
};

struct PageRow {
  std::size_t id = 0;      // 1-based, in display order
  std::size_t parent = 0;  // 0 at the top level
  std::int64_t depth = 0;
  bool isExpandable = false;
  bool isExpanded = false;
  bool isShown = false;  // every folder above it is open
  std::vector<Cell> cells;
};

Cell cellOf(const std::shared_ptr<View>& view) {
  Cell cell;
  const auto cellView = std::dynamic_pointer_cast<platform::TableCellView>(view);
  if (!cellView) return cell;
  if (const auto& field = cellView->textField()) {
    cell.text = field->stringValue();
    cell.alignment = field->alignment();
    cell.color = field->textColor();
    cell.truncatesMiddle = field->lineBreakMode() == platform::LineBreakMode::byTruncatingMiddle;
  }
  if (const auto& image = cellView->imageView(); image && image->image()) {
    cell.icon = image->image()->typeIdentifier();
  }
  return cell;
}

// Every row reachable from the top level, depth first in display order;
// past `limit` rows only counts them in `omitted`.
std::vector<PageRow> collectRows(OutlineView& outline, std::size_t limit, std::size_t& omitted) {
  std::vector<PageRow> rows;
  omitted = 0;
  platform::OutlineViewDataSource* source = outline.dataSource();
  platform::OutlineViewDelegate* delegate = outline.delegate();
  if (source == nullptr) return rows;

  // What the outline has open now: the controller's initial expansion.
  std::unordered_set<const void*> expanded;
  for (const platform::OutlineRow& row : outline.rows()) {
    if (row.isExpanded) expanded.insert(row.item.object());
  }

  struct Level {
    OutlineItem parent;
    std::int64_t count;
    std::int64_t next;
    std::size_t parentId;
    std::int64_t depth;
    bool isShown;
  };
  std::vector<Level> levels;
  levels.push_back(
      {OutlineItem(), source->numberOfChildrenOfItem(outline, OutlineItem()), 0, 0, 0, true});
  std::size_t nextId = 1;
  while (!levels.empty()) {
    if (levels.back().next >= levels.back().count) {
      levels.pop_back();
      continue;
    }
    const Level level = levels.back();
    ++levels.back().next;
    const OutlineItem item = source->childOfItem(outline, level.next, level.parent);
    if (item.isNone()) continue;

    PageRow row;
    row.id = nextId++;
    row.parent = level.parentId;
    row.depth = level.depth;
    row.isExpandable = source->isItemExpandable(outline, item);
    row.isExpanded = row.isExpandable && level.isShown && expanded.contains(item.object());
    row.isShown = level.isShown;
    const std::size_t id = row.id;
    const bool opensBelow = row.isExpandable;
    const bool childrenShown = row.isShown && row.isExpanded;
    if (rows.size() < limit) {
      for (const auto& column : outline.tableColumns()) {
        std::shared_ptr<View> view = delegate != nullptr
                                         ? delegate->viewForTableColumn(outline, column.get(), item)
                                         : nullptr;
        row.cells.push_back(cellOf(view));
        // Read and done with: the next row reuses it, as scrolling would.
        outline.recycleView(std::move(view));
      }
      rows.push_back(std::move(row));
    } else {
      ++omitted;
    }
    if (opensBelow) {
      levels.push_back({item, source->numberOfChildrenOfItem(outline, item), 0, id, level.depth + 1,
                        childrenShown});
    }
  }
  return rows;
}

// ---------------------------------------------------------------------------
// Icons: one inline SVG symbol per kind of type

struct IconDrawing {
  std::string_view symbol;
  std::string_view svg;  // the symbol's content, in a 32 × 32 box
};

// A sheet of paper with a folded corner, and a mark drawn on it.
#define VEXEL_PAPER                                                                     \
  "<path d='M7 2.5h12.5L26 9v20.5H7z' fill='var(--paper)' stroke='var(--paper-edge)'/>" \
  "<path d='M19.5 2.5V9H26' fill='var(--paper-fold)' stroke='var(--paper-edge)'/>"

constexpr IconDrawing kIcons[] = {
    {"folder",
     "<path d='M3 7.5A1.5 1.5 0 0 1 4.5 6h7l2.5 2.5h13.5A1.5 1.5 0 0 1 29 10v15.5a1.5 1.5 0 0 1"
     "-1.5 1.5h-23A1.5 1.5 0 0 1 3 25.5z' fill='#1a9df0'/>"
     "<path d='M3 11h26v14.5a1.5 1.5 0 0 1-1.5 1.5h-23A1.5 1.5 0 0 1 3 25.5z' fill='#5cc1ff'/>"},
    {"app",
     "<rect x='4' y='4' width='24' height='24' rx='6' fill='#3b82f6'/>"
     "<path d='M16 8.5l6.5 14h-3l-1.3-3h-4.4l-1.3 3h-3zm0 5.2l-1.4 3.3h2.8z' fill='#fff'/>"},
    {"package",
     "<path d='M16 3l12 5.5v15L16 29 4 23.5v-15z' fill='#c9a26b'/>"
     "<path d='M4 8.5L16 14l12-5.5M16 14v15' fill='none' stroke='#8a6a3c' stroke-width='1.2'/>"},
    {"archive", VEXEL_PAPER
     "<path d='M14 3v2h2v2h-2v2h2v2h-2v2h2v2h-2' fill='none' stroke='#6b7280' stroke-width='1.5'/>"
     "<rect x='12.5' y='16' width='5' height='6' rx='1' fill='#6b7280'/>"},
    {"image", VEXEL_PAPER "<rect x='9.5' y='13' width='14' height='11' rx='1' fill='#93c5fd'/>"
                          "<path d='M9.5 24l4.5-6 3 4 2-2.5 4.5 4.5z' fill='#16a34a'/>"
                          "<circle cx='19.5' cy='16' r='1.6' fill='#facc15'/>"},
    {"audio", VEXEL_PAPER
     "<path d='M14 23.5V14l7-1.5v9' fill='none' stroke='#db2777' stroke-width='1.6'/>"
     "<circle cx='12.5' cy='23.5' r='2' fill='#db2777'/><circle cx='19.5' cy='21.5' r='2' "
     "fill='#db2777'/>"},
    {"movie", VEXEL_PAPER "<rect x='9.5' y='13' width='14' height='11' rx='1' fill='#4b5563'/>"
                          "<path d='M15 15.5v6l5-3z' fill='#fff'/>"},
    {"pdf", VEXEL_PAPER "<rect x='7' y='19' width='19' height='6' fill='#dc2626'/>"
                        "<path d='M10 12h12M10 15h9' stroke='#9ca3af' stroke-width='1.2'/>"},
    {"code", VEXEL_PAPER
     "<path d='M13.5 13.5L10 17l3.5 3.5M19.5 13.5L23 17l-3.5 3.5' fill='none' stroke='#7c3aed' "
     "stroke-width='1.6'/>"},
    {"text", VEXEL_PAPER
     "<path d='M10 12h13M10 15h13M10 18h13M10 21h9' stroke='#9ca3af' stroke-width='1.2'/>"},
    {"executable",
     "<rect x='4' y='6' width='24' height='20' rx='3' fill='#1f2937'/>"
     "<path d='M8.5 12l3.5 3-3.5 3M14 19h6' fill='none' stroke='#4ade80' stroke-width='1.6'/>"},
    {"document", VEXEL_PAPER},
};
#undef VEXEL_PAPER

std::string iconHtml(std::string_view typeIdentifier, std::string_view cssClass) {
  return "<svg class=\"" + std::string(cssClass) + "\" viewBox=\"0 0 32 32\" data-type=\"" +
         htmlEscaped(typeIdentifier) + "\" aria-hidden=\"true\"><use href=\"#i-" +
         std::string(iconKind(typeIdentifier)) + "\"/></svg>";
}

// ---------------------------------------------------------------------------
// The page

constexpr std::string_view kStyle = R"CSS(
:root{color-scheme:light dark;--bg:#fff;--label:rgba(0,0,0,.85);--secondary:rgba(0,0,0,.5);
--row:transparent;--row-alt:#f4f5f5;--separator:rgba(0,0,0,.1);--paper:#fff;
--paper-edge:#b8bcc2;--paper-fold:#e5e7eb;--disclosure:rgba(0,0,0,.5);--note:rgba(0,0,0,.4)}
@media (prefers-color-scheme:dark){:root{--bg:#1e1e1e;--label:rgba(255,255,255,.85);
--secondary:rgba(255,255,255,.55);--row-alt:#2a2a2a;--separator:rgba(255,255,255,.12);
--paper:#d8dadd;--paper-edge:#8b9096;--paper-fold:#b3b7bd;--disclosure:rgba(255,255,255,.55);
--note:rgba(255,255,255,.45)}}
html,body{margin:0;padding:0;background:var(--bg)}
body{font:13px/1.25 -apple-system,system-ui,"Noto Sans CJK SC","Source Han Sans SC","WenQuanYi Micro Hei","Noto Sans",sans-serif;color:var(--label)}
#preview{position:relative;overflow:hidden;display:flex;flex-direction:column;box-sizing:border-box;background:var(--bg)}
#header{display:flex;align-items:center;flex:none;min-width:0}
#header-icon{flex:none}
#header-text{display:flex;flex-direction:column;align-items:flex-start;min-width:0}
.label{min-width:0;max-width:100%;min-height:1.25em}
.one-line{white-space:pre;overflow:hidden}
.truncate-tail{text-overflow:ellipsis}
.wrapping{white-space:pre-wrap;overflow-wrap:anywhere}
.mid{display:flex;max-width:100%;white-space:pre}
.mid .head{flex:0 1 auto;min-width:0;overflow:hidden;text-overflow:ellipsis}
.mid .tail{flex:none}
#outline-area{position:relative;flex:1 1 auto;min-height:0}
#scroll{position:absolute;inset:0;overflow-y:auto;overflow-x:hidden}
#outline{box-sizing:border-box;min-height:100%;padding:0 var(--inset);display:flex;flex-direction:column}
.grid{display:grid;grid-template-columns:var(--columns);column-gap:var(--gap);align-items:center}
#columns{flex:none;position:sticky;top:0;z-index:1;height:var(--header-row);background:var(--bg);
border-bottom:1px solid var(--separator);font-size:11px;color:var(--secondary)}
#columns .title{padding:0 6px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
#rows{flex:1 0 auto;background:repeating-linear-gradient(
var(--row) 0 var(--row-height),var(--row-alt) var(--row-height) calc(2 * var(--row-height)))}
.row{height:var(--row-height);background:var(--row);border-radius:5px}
.row.alt{background:var(--row-alt)}
.row[hidden]{display:none}
.cell{display:flex;align-items:center;min-width:0;height:100%;padding:0 2px;box-sizing:border-box}
.cell .text{flex:1 1 auto;min-width:0;white-space:pre;overflow:hidden;text-overflow:ellipsis}
.cell.right .text{text-align:right}
.cell.right .mid{justify-content:flex-end}
.cell.secondary{color:var(--secondary)}
.outline-cell{padding-left:calc(var(--depth) * var(--indent))}
.disclosure,.no-disclosure{flex:none;width:var(--disclosure);height:var(--disclosure);margin:0;padding:0;border:0;background:none;color:var(--disclosure-color,var(--disclosure));cursor:default}
.disclosure svg{display:block;width:100%;height:100%;transition:transform .12s}
.row[aria-expanded="true"] .disclosure svg{transform:rotate(90deg)}
.disclosure:focus-visible{outline:2px solid #3b82f6;border-radius:3px}
.row-icon{flex:none;width:16px;height:16px;margin:0 5px 0 2px}
#note{padding:6px 12px;color:var(--note);font-size:11px}
#message{position:absolute;left:50%;top:50%;transform:translate(-50%,-50%);box-sizing:border-box}
#message[hidden]{display:none}
#footer-label{flex:none}
)CSS";

// Opens and closes folders: a row shows when every folder above it is open;
// stripes follow the rows on show. Option/Alt-click opens or closes every
// folder inside as well.
constexpr std::string_view kScript = R"JS(
(function () {
  var outline = document.getElementById('outline');
  var rows = Array.prototype.slice.call(outline.querySelectorAll('.row'));
  function refresh() {
    var open = { '0': true };
    var shown = 0;
    rows.forEach(function (row) {
      var visible = open[row.dataset.parent] === true;
      row.hidden = !visible;
      open[row.dataset.id] = visible && row.getAttribute('aria-expanded') === 'true';
      if (visible) {
        row.classList.toggle('alt', shown % 2 === 1);
        shown += 1;
      }
    });
  }
  outline.addEventListener('click', function (event) {
    var button = event.target.closest('.disclosure');
    if (!button) return;
    var row = button.closest('.row');
    var opening = row.getAttribute('aria-expanded') !== 'true';
    row.setAttribute('aria-expanded', String(opening));
    button.setAttribute('aria-label', opening ? '折叠' : '展开');
    if (event.altKey) {
      var depth = Number(row.dataset.depth);
      for (var i = rows.indexOf(row) + 1; i < rows.length && Number(rows[i].dataset.depth) > depth; i++) {
        if (rows[i].dataset.expandable === 'true') rows[i].setAttribute('aria-expanded', String(opening));
      }
    }
    refresh();
  });
  refresh();
})();
)JS";

std::string symbolsHtml() {
  std::string out =
      "<svg width=\"0\" height=\"0\" style=\"position:absolute\" aria-hidden=\"true\">";
  for (const IconDrawing& icon : kIcons) {
    out += "<symbol id=\"i-" + std::string(icon.symbol) + "\" viewBox=\"0 0 32 32\">" +
           std::string(icon.svg) + "</symbol>";
  }
  out +=
      "<symbol id=\"i-disclosure\" viewBox=\"0 0 16 16\"><path d=\"M6 4l4 4-4 4\" fill=\"none\" "
      "stroke=\"currentColor\" stroke-width=\"1.6\" stroke-linecap=\"round\" "
      "stroke-linejoin=\"round\"/></symbol>";
  return out + "</svg>";
}

// Column track sizes: a column that absorbs width changes (the first, with
// first-column-only autoresizing) takes what the others leave, down to its
// minimum; the others keep their widths.
std::string columnTracks(const OutlineView& outline) {
  std::string tracks;
  const bool firstAbsorbs = outline.columnAutoresizingStyle() ==
                            platform::TableViewColumnAutoresizingStyle::firstColumnOnlyAutoresizing;
  for (std::size_t i = 0; i < outline.tableColumns().size(); ++i) {
    const auto& column = *outline.tableColumns()[i];
    if (!tracks.empty()) tracks += ' ';
    const double width = std::max(column.width(), column.minWidth());
    if (i == 0 && firstAbsorbs) {
      tracks += "minmax(" + number(column.minWidth()) + "px,1fr)";
    } else {
      tracks += number(width) + "px";
    }
  }
  return tracks;
}

std::string columnsHtml(const OutlineView& outline) {
  std::string out = "<div id=\"columns\" class=\"grid\" role=\"row\">";
  for (const auto& column : outline.tableColumns()) {
    out += "<div class=\"title\" role=\"columnheader\" data-column=\"" +
           htmlEscaped(column->identifier()) + "\" data-width=\"" + number(column->width()) +
           "\" data-min-width=\"" + number(column->minWidth()) +
           "\" style=\"min-width:" + number(column->minWidth()) +
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
    const Cell& cell = row.cells[i];
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

}  // namespace

std::string htmlEscaped(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (const internal::CodePoint& cp : internal::codePoints(utf8)) {
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
    if (internal::isUnsafeToShow(cp)) {
      appendReplacement(out);
    } else {
      out.append(utf8.substr(cp.begin, cp.end - cp.begin));
    }
  }
  return out;
}

std::string renderHtml(PreviewViewController& controller, const HtmlOptions& options) {
  const Layout layout = layoutOf(controller);
  OutlineView& outline = controller.outline();
  std::size_t omitted = 0;
  const std::vector<PageRow> rows = collectRows(outline, options.maxRows, omitted);

  std::string out;
  out.reserve(4096 + rows.size() * 700);
  out +=
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src data:\">\n"
      "<meta name=\"color-scheme\" content=\"light dark\">\n"
      "<meta name=\"viewport\" content=\"width=" +
      number(layout.width) + "\">\n<title>" + htmlEscaped(controller.titleLabel().stringValue()) +
      "</title>\n<style>" + std::string(kStyle) + "</style>\n</head>\n<body>\n";
  out += symbolsHtml() + "\n";

  out += "<div id=\"preview\" style=\"width:" + number(layout.width) +
         "px;height:" + number(layout.height) + "px;--row-height:" + std::to_string(kRowHeight) +
         "px;--header-row:" + std::to_string(kHeaderRowHeight) +
         "px;--indent:" + std::to_string(kIndentPerLevel) +
         "px;--disclosure:" + std::to_string(kDisclosureWidth) +
         "px;--inset:" + std::to_string(kInsetMargin) +
         "px;--gap:" + std::to_string(kIntercellSpacing) + "px;--columns:" + columnTracks(outline) +
         "\">\n";

  // Header: icon beside the title over the subtitle.
  const auto& headerIcon = controller.iconView().image();
  out += "<div id=\"header\" style=\"margin:" + number(layout.headerTop) + "px " +
         number(layout.headerTrailing) + "px 0 " + number(layout.headerLeading) +
         "px;gap:" + number(layout.headerSpacing) + "px\">";
  out += "<div id=\"header-icon\" style=\"width:" + number(layout.iconWidth) +
         "px;height:" + number(layout.iconHeight) + "px\">" +
         (headerIcon ? iconHtml(headerIcon->typeIdentifier(), "header-icon-image") : "") + "</div>";
  out += "<div id=\"header-text\" style=\"gap:" + number(layout.textSpacing) + "px\">" +
         labelHtml(controller.titleLabel(), "title", "") +
         labelHtml(controller.subtitleLabel(), "subtitle", "") + "</div></div>\n";

  // The outline in its scroll view, with the message centred over it.
  out += "<div id=\"outline-area\" style=\"margin:" + number(layout.scrollTop) + "px " +
         number(layout.scrollTrailing) + "px 0 " + number(layout.scrollLeading) + "px\">";
  out += "<div id=\"scroll\"><div id=\"outline\" role=\"treegrid\" aria-label=\"" +
         htmlEscaped(controller.titleLabel().stringValue()) + "\">";
  out += columnsHtml(outline);
  out += "<div id=\"rows\" role=\"rowgroup\">\n";
  std::size_t shown = 0;
  for (const PageRow& row : rows) {
    out += rowHtml(outline, row, row.isShown && shown % 2 == 1) + "\n";
    if (row.isShown) ++shown;
  }
  out += "</div>";
  if (omitted > 0) {
    out += "<div id=\"note\">…另有 " + std::to_string(omitted) + " 项未列入此页</div>";
  }
  out += "</div></div>";
  out += labelHtml(controller.messageLabel(), "message",
                   "max-width:calc(100% - " + number(layout.messageInset) + "px)");
  out += "</div>\n";

  out += labelHtml(controller.footerLabel(), "footer-label",
                   "margin:" + number(layout.footerTop) + "px " + number(layout.footerTrailing) +
                       "px " + number(layout.footerBottom) + "px " + number(layout.footerLeading) +
                       "px");
  out += "\n</div>\n<script>" + std::string(kScript) + "</script>\n</body>\n</html>\n";
  return out;
}

}  // namespace vexel::quicklook_host
