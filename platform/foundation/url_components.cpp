#include "foundation/url_components.h"

#include <system_error>

#include "internal/percent_encoding.h"

namespace vexel::platform {
namespace {

using foundation_internal::isUnreserved;
using foundation_internal::percentDecode;
using foundation_internal::percentEncode;

bool isAsciiAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool isValidScheme(std::string_view scheme) {
  if (scheme.empty() || !isAsciiAlpha(scheme.front())) return false;
  for (const char c : scheme) {
    if (!isAsciiAlpha(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// The characters an absolute URL may hold: unreserved, gen-delims, sub-delims
// and "%" (checked separately for its two hex digits).
bool isUrlCharacter(char ch) {
  const auto c = static_cast<unsigned char>(ch);
  if (isUnreserved(c)) return true;
  static constexpr std::string_view kDelimiters = ":/?#[]@!$&'()*+,;=%";
  return kDelimiters.find(ch) != std::string_view::npos;
}

}  // namespace

std::optional<URL> URL::fromString(std::string_view text) {
  for (const char c : text) {
    if (!isUrlCharacter(c)) return std::nullopt;
  }
  if (!percentDecode(text)) return std::nullopt;

  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  URL url;
  url.mScheme = std::string(text.substr(0, colon));
  if (!isValidScheme(url.mScheme)) return std::nullopt;
  std::string_view rest = text.substr(colon + 1);

  if (const size_t hash = rest.find('#'); hash != std::string_view::npos) {
    url.mFragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (const size_t question = rest.find('?'); question != std::string_view::npos) {
    url.mQuery = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const size_t slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    if (authority.find_first_of("@:[]") != std::string_view::npos) return std::nullopt;
    url.mHost = std::string(authority);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  url.mPath = std::string(rest);
  return url;
}

URL URL::fileURL(const std::filesystem::path& path) {
  std::error_code error;
  const bool isDirectory =
      path.native().ends_with('/') || std::filesystem::is_directory(path, error);
  return fileURL(path, isDirectory);
}

URL URL::fileURL(const std::filesystem::path& path, bool isDirectory) {
  std::error_code error;
  std::filesystem::path absolute =
      path.is_absolute() ? path : std::filesystem::absolute(path, error);
  if (error) absolute = std::filesystem::path("/") / path;
  std::string bytes = absolute.native();
  if (isDirectory && !bytes.ends_with('/')) bytes.push_back('/');
  URL url;
  url.mScheme = "file";
  url.mHost = std::string();
  url.mPath = percentEncode(bytes);
  return url;
}

std::string URL::string() const {
  std::string out = mScheme;
  out.push_back(':');
  if (mHost) {
    out += "//";
    out += *mHost;
  }
  out += mPath;
  if (mQuery) {
    out.push_back('?');
    out += *mQuery;
  }
  if (mFragment) {
    out.push_back('#');
    out += *mFragment;
  }
  return out;
}

std::string URL::host() const {
  // Parts were validated when the URL was made, so decoding cannot fail.
  return mHost ? percentDecode(*mHost).value_or(*mHost) : std::string();
}

std::string URL::path() const {
  std::string decoded = percentDecode(mPath).value_or(mPath);
  while (decoded.size() > 1 && decoded.back() == '/') decoded.pop_back();
  return decoded;
}

bool URL::hasDirectoryPath() const noexcept { return mPath.ends_with('/'); }

std::optional<std::string> URLComponents::percentEncodedQuery() const {
  if (!queryItems) return std::nullopt;
  std::string query;
  bool first = true;
  for (const URLQueryItem& item : *queryItems) {
    if (!first) query.push_back('&');
    first = false;
    query += percentEncode(item.name);
    if (item.value) {
      query.push_back('=');
      query += percentEncode(*item.value);
    }
  }
  return query;
}

std::optional<std::string> URLComponents::string() const {
  std::string out;
  if (scheme) {
    if (!isValidScheme(*scheme)) return std::nullopt;
    out += *scheme;
    out.push_back(':');
  }
  if (host) {
    if (!path.empty() && !path.starts_with('/')) return std::nullopt;
    out += "//";
    out += percentEncode(*host, foundation_internal::SlashRule::encode);
  } else if (path.starts_with("//")) {
    return std::nullopt;
  }
  out += percentEncode(path);
  if (const std::optional<std::string> query = percentEncodedQuery()) {
    out.push_back('?');
    out += *query;
  }
  return out;
}

std::optional<URL> URLComponents::url() const {
  if (!scheme) return std::nullopt;
  const std::optional<std::string> text = string();
  if (!text) return std::nullopt;
  return URL::fromString(*text);
}

}  // namespace vexel::platform
