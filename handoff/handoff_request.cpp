#include "handoff/handoff_request.h"

#include "foundation/url_components.h"

namespace vexel {
namespace {

using platform::URL;

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes `text` spells; nothing when a "%" is not followed by two hex digits.
std::optional<std::string> percentDecoded(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      bytes += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return bytes;
}

HandoffParse refuse(std::string problem) { return {std::nullopt, std::move(problem)}; }

}  // namespace

HandoffParse HandoffRequest::parse(std::string_view text) {
  const std::optional<URL> url = URL::fromString(text);
  if (!url || url->scheme() != "vexel") return refuse("这不是 Vexel 的链接（vexel://…）。");
  if (url->fragment() || !url->path().empty()) return refuse("链接的格式不对。");

  HandoffRequest request;
  const std::string host = url->host();
  if (host == "sync") {
    if (url->query()) return refuse("链接的格式不对。");
    return {std::move(request), {}};
  }
  if (host == "extract") {
    request.action = Action::extract;
  } else if (host == "open") {
    request.action = Action::open;
  } else if (host == "compress") {
    request.action = Action::compress;
  } else {
    return refuse("不认识的操作“" + host + "”。");
  }

  if (!url->query() || url->query()->empty()) return refuse("链接里没有要处理的文件。");
  std::string_view query = *url->query();
  bool first = true;
  while (true) {
    const size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) return refuse("链接的格式不对。");
    const std::optional<std::string> name = percentDecoded(item.substr(0, equals));
    const std::optional<std::string> value = percentDecoded(item.substr(equals + 1));
    if (!name || !value) return refuse("链接的格式不对。");
    if (*name == "format" && first && request.action == Action::compress) {
      if (*value != "zip" && *value != "7z")
        return refuse("不支持的压缩格式“" + *value + "”：只能是 zip 或 7z。");
      request.format = *value;
    } else if (*name == "path") {
      if (value->empty() || value->front() != '/' || value->find('\0') != std::string::npos) {
        return refuse("路径必须是完整的绝对路径：“" + *value + "”。");
      }
      request.paths.emplace_back(*value);
    } else {
      return refuse("链接的格式不对。");
    }
    first = false;
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  if (request.paths.empty()) return refuse("链接里没有要处理的文件。");
  return {std::move(request), {}};
}

}  // namespace vexel
