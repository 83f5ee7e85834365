#include "internal/handoff_texts.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "text/unicode_case.h"
#include "text/utf8.h"

namespace vexel::handoff_internal {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxFailureLines = 3;

// `line` as a terminal would show it: a backspace takes back the character
// before it, a carriage return starts the line again (what follows writes
// over it; the longer old text is kept past the new one's end, as on a
// screen); other control characters are dropped.
std::string asShown(std::string_view line) {
  std::vector<std::string> cells;  // one code point each
  size_t column = 0;
  for (const text::CodePoint cp : text::codePoints(line)) {
    if (cp.value == U'\b') {
      if (column > 0) --column;
      continue;
    }
    if (cp.value == U'\r') {
      column = 0;
      continue;
    }
    if (text::isUnsafeToShow(cp) && !cp.isIllFormed) continue;
    std::string cell(line.substr(cp.offset, cp.length));
    if (column < cells.size()) {
      cells[column] = std::move(cell);
    } else {
      cells.push_back(std::move(cell));
    }
    ++column;
  }
  std::string out;
  for (const std::string& cell : cells) out += cell;
  return out;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Lines that say nothing about the failure: 7-Zip's banner and its summary
// of what it scanned, and a progress counter left on the line.
bool isNoise(std::string_view line) {
  if (line.starts_with("7-Zip") && line.find("Copyright") != std::string_view::npos) return true;
  if (line.starts_with("p7zip Version")) return true;
  if (line.find("locale=") != std::string_view::npos &&
      line.find("Threads:") != std::string_view::npos) {
    return true;
  }
  if (line.starts_with("Scanning the drive") || line.starts_with("Creating archive") ||
      line.starts_with("Items to compress") || line.starts_with("Extracting archive") ||
      line.starts_with("Updating archive") || line.starts_with("Open archive") || line == "--" ||
      line.starts_with("Path = ") || line.starts_with("Type = ") ||
      line.starts_with("Physical Size = ")) {
    return true;
  }
  if (line.find("Error exit delayed from previous errors") != std::string_view::npos) return true;
  // "12%", "45% 3 + a.txt": a counter 7-Zip redraws in place.
  size_t digits = 0;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
  return digits > 0 && digits < line.size() && line[digits] == '%';
}

// "errno=28 : No space left on device" becomes the system's text for 28, in
// the user's language; a bare "System ERROR:" heading goes.
std::string inUsersWords(std::string line) {
  for (const std::string_view heading : {"System ERROR:", "ERROR:", "WARNING:"}) {
    if (line.starts_with(heading))
      line = std::string(trimmed(std::string_view(line).substr(heading.size())));
  }
  const size_t at = line.find("errno=");
  if (at == std::string::npos) return line;
  size_t end = at + 6;
  int code = 0;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9' && code < 100000) {
    code = code * 10 + (line[end] - '0');
    ++end;
  }
  if (end == at + 6) return line;
  return line.substr(0, at) + std::strerror(code);
}

std::string failureLines(std::string_view output) {
  std::vector<std::string> kept;
  while (!output.empty() && kept.size() < kMaxFailureLines) {
    const size_t end = output.find('\n');
    const std::string shown = asShown(output.substr(0, end));
    output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
    const std::string_view line = trimmed(shown);
    if (line.empty() || isNoise(line)) continue;
    std::string words = inUsersWords(std::string(line));
    if (!words.empty() && (kept.empty() || kept.back() != words)) kept.push_back(std::move(words));
  }
  std::string joined;
  for (const std::string& line : kept) joined += (joined.empty() ? "" : "\n") + line;
  return joined;
}

// Valid UTF-8 with every unsafe code point (isUnsafeToShow) replaced;
// `keepLineFeeds` keeps "\n", else it becomes a space.
std::string safeText(std::string_view text, bool keepLineFeeds) {
  std::string out;
  out.reserve(text.size());
  for (const text::CodePoint cp : text::codePoints(text)) {
    if (cp.value == U'\n' && !cp.isIllFormed) {
      out += keepLineFeeds ? '\n' : ' ';
    } else if (text::isUnsafeToShow(cp)) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(text.substr(cp.offset, cp.length));
    }
  }
  return out;
}

}  // namespace

std::string quoted(std::string_view text) { return "“" + std::string(text) + "”"; }
std::string quoted(const fs::path& path) { return quoted(std::string_view(path.native())); }
std::string quotedName(const fs::path& path) { return quoted(path.filename()); }

std::string unknownAction(std::string_view action) {
  return "不认识的操作" + quoted(action) + "。";
}
std::string unsupportedFormat(std::string_view format) {
  return "不支持的压缩格式" + quoted(format) + "：只能是 zip 或 7z。";
}
std::string notAbsolutePath(std::string_view path) {
  return "路径必须是完整的绝对路径：" + quoted(path) + "。";
}

std::string notFound(const fs::path& path) { return "找不到" + quoted(path) + "。"; }
std::string cannotRead(const fs::path& path, std::string_view reason) {
  return "无法读取" + quoted(path) + "：" + std::string(reason);
}
std::string folderNotArchive(const fs::path& path) {
  return quoted(path) + "是文件夹，不是压缩包。";
}
std::string notRegularFile(const fs::path& path) { return quoted(path) + "不是普通文件。"; }
std::string notArchive(const fs::path& path) { return quoted(path) + "不是压缩包。"; }

std::string extractingTitle(const fs::path& archive) { return "正在解压" + quotedName(archive); }
std::string extractedTitle(const fs::path& archive) { return "已解压" + quotedName(archive); }
std::string extractedBody(const fs::path& placed, std::int64_t linksLeftOut,
                          std::int64_t specialsLeftOut) {
  std::string body = "到" + quoted(placed);
  if (linksLeftOut > 0) {
    body += "\n为了安全，" + std::to_string(linksLeftOut) + " 个指向解压位置之外的链接没有解压。";
  }
  if (specialsLeftOut > 0) {
    body += "\n" + std::to_string(specialsLeftOut) + " 个设备文件、管道或套接字没有解压。";
  }
  return body;
}

std::string onlyLeftOut(std::int64_t linksLeftOut, std::int64_t specialsLeftOut) {
  std::string what;
  if (linksLeftOut > 0) what = " " + std::to_string(linksLeftOut) + " 个指向解压位置之外的链接";
  if (specialsLeftOut > 0) {
    what += (what.empty() ? " " : "和 ") + std::to_string(specialsLeftOut) +
            " 个设备文件、管道或套接字";
  }
  return "为了安全，没有解压：压缩包里只有" + what + "。";
}

std::string notEnoughSpace(std::string_view needed, std::string_view available,
                           const fs::path& folder) {
  return "磁盘空间不足，没有解压：解压出的文件共 " + std::string(needed) + "，而" + quoted(folder) +
         "所在的磁盘只剩 " + std::string(available) + "。";
}

std::string noPrivateFolder(const fs::path& folder) {
  return "为了安全，没有解压：" + quoted(folder) +
         "可以被其他用户改动，而且找不到只属于你的临时文件夹给 7-Zip 使用。";
}
std::string sevenZipReadsNoRar(std::string_view tool) {
  return "这个 RAR 压缩包已加密，只能用 7-Zip 解压，但这里的 " + std::string(tool) +
         " 不支持 RAR（Debian 的 7zip-rar 软件包支持）。";
}
std::string cannotExtractTitle(const fs::path& archive) { return "无法解压" + quotedName(archive); }
std::string passwordQuestion(const fs::path& archive) { return quotedName(archive) + "需要密码"; }
std::string someDamaged(std::int64_t files, const std::vector<std::string>& damaged) {
  constexpr std::size_t kNamed = 5;
  std::string text = "已解压 " + std::to_string(files) + " 个文件，" +
                     std::to_string(damaged.size()) + " 个文件已损坏，没有解压：";
  for (std::size_t k = 0; k < damaged.size() && k < kNamed; ++k)
    text += (k == 0 ? "" : "、") + quoted(std::string_view(damaged[k]));
  if (damaged.size() > kNamed) text += " 等";
  return text + "。";
}
std::string wrongPasswordQuestion(const fs::path& archive) {
  return "密码不正确，请重新输入" + quotedName(archive) + "的密码";
}

std::string whatIsCompressed(const fs::path& firstItem, std::size_t count) {
  return count == 1 ? quotedName(firstItem) : " " + std::to_string(count) + " 个项目";
}
std::string compressDialogTitle(std::string_view what) {
  return "用 Vexel 压缩" + std::string(what);
}
std::string compressingTitle(std::string_view what) { return "正在压缩" + std::string(what); }
std::string compressedTitle(const fs::path& archive) { return "已压缩成" + quotedName(archive); }
std::string compressedBody(const fs::path& folder) { return "在" + quoted(folder); }
std::string cannotCompressTitle(std::string_view what) { return "无法压缩" + std::string(what); }
std::string notCompressedTitle(std::string_view what) { return "没有压缩" + std::string(what); }

std::string cannotCreateFile(const fs::path& path, std::string_view reason) {
  return "无法创建文件" + quoted(path) + "：" + std::string(reason);
}
std::string cannotMoveFileTo(const fs::path& path, std::string_view reason) {
  return "无法把文件移到" + quoted(path) + "：" + std::string(reason);
}

std::string cannotShowTitle(const fs::path& archive) {
  return "无法显示" + quotedName(archive) + "的内容";
}
std::string contentsTitle(const fs::path& archive) { return quotedName(archive) + "的内容"; }
std::string previewPageBody(const fs::path& page) { return "预览页在" + quoted(page); }
std::string cannotMakeTemporaryFolder(std::string_view reason) {
  return "无法创建临时文件夹：" + std::string(reason);
}
std::string cannotWritePreviewPage(std::string_view reason) {
  return "无法写入预览页：" + std::string(reason);
}
std::string tooManyPreviews(std::size_t most, std::size_t notShown) {
  return "一次最多显示 " + std::to_string(most) + " 个压缩包的内容，其余 " +
         std::to_string(notShown) + " 个没有打开。";
}
std::string browserCannotOpen(const fs::path& page) {
  return "浏览器无法打开预览页" + quoted(page) + "。";
}

std::string toolFailureText(const RunResult& result) {
  std::string text = failureLines(result.stderr);
  if (text.empty()) text = failureLines(result.stdout);
  return text;
}

std::string explainedFailure(std::string_view message) {
  constexpr std::string_view kUnreadable = "无法读取压缩包：";
  std::string_view detail = message;
  const bool isUnreadable = detail.starts_with(kUnreadable);
  if (isUnreadable) detail.remove_prefix(kUnreadable.size());
  // A Chinese text starts with no ASCII letter: it explains itself.
  const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (detail.empty() || !isLetter(detail.front())) return std::string(message);
  const auto says = [detail](std::initializer_list<std::string_view> phrases) {
    for (const std::string_view phrase : phrases) {
      if (text::containsCaseless(detail, phrase)) return true;
    }
    return false;
  };
  std::string why;
  if (says({"no space left", "disk quota"})) {
    why = "磁盘空间不足。";
  } else if (says({"truncated", "unexpected end", "premature end"})) {
    why = "压缩包不完整，可能没有下载完，或者被截断了。";
  } else if (says({"dangerous link", "symbolic link"})) {
    why = "压缩包里有指向解压位置之外的链接，为了安全没有解压。";
  } else if (says({"damaged", "corrupt", "crc", "checksum", "invalid", "bad ", "broken"})) {
    why = "压缩包已经损坏。";
  } else if (says({"unsupported"})) {
    why = "压缩包用了不支持的格式或压缩方法。";
  } else {
    why = isUnreadable ? "压缩包可能已经损坏，或者是不支持的格式。" : "压缩工具报告了错误。";
  }
  return std::string(isUnreadable ? kUnreadable : "") + why + "\n详细信息：" + std::string(detail);
}

std::string forNotificationTitle(std::string_view text) { return safeText(text, false); }

std::string forNotificationBody(std::string_view text) {
  const std::string safe = safeText(text, true);
  std::string out;
  out.reserve(safe.size());
  for (const char c : safe) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string forTerminalLine(std::string_view text) { return safeText(text, false); }

}  // namespace vexel::handoff_internal
