#include "handoff/handoff_request.h"

#include "foundation/url_components.h"
#include "internal/handoff_texts.h"

namespace vexel {
namespace {

namespace texts = handoff_internal;
using platform::URL;

// What a desktop may have decoded before starting the handler, encoded
// again. KDE's opener (kde-open5, through QUrl) turns "%20" into a space and
// escaped UTF-8 into the characters, and leaves every other escape as it
// was ("%26", "%3D", "%23", "%25", "%2B", "%0A", bytes that are not UTF-8);
// GNOME's and the generic xdg-open hand the URL over unchanged. A space and
// a byte above 0x7F have no meaning in URL syntax, so encoding them again
// cannot move an item boundary: they stay part of the value they are in.
std::string asSent(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == ' ' || byte >= 0x80) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

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
  const std::optional<URL> url = URL::fromString(asSent(text));
  if (!url || url->scheme() != "vexel") return refuse(std::string(texts::kNotVexelLink));
  // A "#" the sender never writes raw: a fragment would cut a path short.
  if (url->fragment() || !url->path().empty()) return refuse(std::string(texts::kMalformedLink));

  HandoffRequest request;
  const std::string host = url->host();
  if (host == "sync") {
    if (url->query()) return refuse(std::string(texts::kMalformedLink));
    return {std::move(request), {}};
  }
  if (host == "extract") {
    request.action = Action::extract;
  } else if (host == "open") {
    request.action = Action::open;
  } else if (host == "compress") {
    request.action = Action::compress;
  } else {
    return refuse(texts::unknownAction(host));
  }

  if (!url->query() || url->query()->empty()) return refuse(std::string(texts::kNoFilesInLink));
  std::string_view query = *url->query();
  bool first = true;
  while (true) {
    const size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) return refuse(std::string(texts::kMalformedLink));
    const std::optional<std::string> name = percentDecoded(item.substr(0, equals));
    const std::optional<std::string> value = percentDecoded(item.substr(equals + 1));
    if (!name || !value) return refuse(std::string(texts::kMalformedLink));
    if (*name == "format" && first && request.action == Action::compress) {
      if (*value != "zip" && *value != "7z") return refuse(texts::unsupportedFormat(*value));
      request.format = *value;
    } else if (*name == "path") {
      if (value->empty() || value->front() != '/' || value->find('\0') != std::string::npos) {
        return refuse(texts::notAbsolutePath(*value));
      }
      request.paths.emplace_back(*value);
    } else {
      return refuse(std::string(texts::kMalformedLink));
    }
    first = false;
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  if (request.paths.empty()) return refuse(std::string(texts::kNoFilesInLink));
  return {std::move(request), {}};
}

}  // namespace vexel
