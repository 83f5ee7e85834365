// url_components.h: URLs and URL components, the part of the Foundation
// stand-in that builds and reads URLs.
//
// Holds `URL` (an absolute URL as a value: scheme, host, path, query,
// fragment; file URLs made from file-system paths) and `URLComponents` (a URL
// put together from its parts, with query items). Byte counts, dates, name
// order and the type table live in their own files of this folder.
//
//   vexel::platform::URLComponents components;
//   components.scheme = "vexel";
//   components.host = "open";
//   components.queryItems = {{"path", "/tmp/a b.zip"}};
//   components.string();   // "vexel://open?path=/tmp/a%20b.zip"
//
//   vexel::platform::URL::fileURL("/tmp/").hasDirectoryPath();   // true
//
// Encoding: every byte of a host, path, query name or query value other than
// an RFC 3986 unreserved character (A-Z a-z 0-9 - . _ ~) or "/" (outside the
// host) is written as "%XX". "+", "&", "=", "#", "%", spaces, control characters and non-ASCII are
// therefore always encoded, so any query decoder (including one that reads
// "+" as a space) gets back the exact bytes. Strings are byte strings: paths
// that are not UTF-8 survive unchanged.
//
// Values are immutable once built and may be shared between threads.
#pragma once

#include <compare>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexel::platform {

// URL: an absolute URL. Always holds a valid scheme; user, password and port
// are not modelled.
class URL {
 public:
  // fromString: the URL that `text` spells, or nothing when it is not an
  // absolute URL: a missing or malformed scheme, a character outside the URL
  // character set (spaces, controls, non-ASCII, `"<>\^`{|}`), a "%" not
  // followed by two hex digits, or an authority holding "@" or ":".
  [[nodiscard]] static std::optional<URL> fromString(std::string_view text);

  // fileURL: the file URL of `path`, made absolute against the current
  // directory when relative. It is a directory URL (its path ends in "/") when
  // `path` ends in "/" or names an existing directory; the file system is
  // consulted only for that test.
  [[nodiscard]] static URL fileURL(const std::filesystem::path& path);
  // fileURL: as above, with the directory question answered by the caller;
  // the file system is not consulted.
  [[nodiscard]] static URL fileURL(const std::filesystem::path& path, bool isDirectory);

  // string: the whole URL, percent-encoded ("vexel://sync").
  [[nodiscard]] std::string string() const;
  // scheme: the scheme as written, without ":" ("vexel", "file").
  [[nodiscard]] const std::string& scheme() const noexcept { return mScheme; }
  // host: the decoded host; empty when there is none.
  [[nodiscard]] std::string host() const;
  // path: the decoded path bytes, without the trailing "/" of a directory URL
  // (except for the root "/"). For a file URL this is the file-system path.
  [[nodiscard]] std::string path() const;
  // query: the query as written (still percent-encoded), without "?"; nothing
  // when the URL has no "?".
  [[nodiscard]] const std::optional<std::string>& query() const noexcept { return mQuery; }
  // fragment: the fragment as written, without "#"; nothing when absent.
  [[nodiscard]] const std::optional<std::string>& fragment() const noexcept { return mFragment; }
  // hasDirectoryPath: whether the path ends in "/".
  [[nodiscard]] bool hasDirectoryPath() const noexcept;
  // isFileURL: whether the scheme is "file".
  [[nodiscard]] bool isFileURL() const noexcept { return mScheme == "file"; }

  // Equality and order compare the parts as written.
  friend bool operator==(const URL&, const URL&) = default;
  friend std::strong_ordering operator<=>(const URL&, const URL&) = default;

 private:
  URL() = default;

  std::string mScheme;
  std::optional<std::string> mHost;  ///< as written (encoded); nothing without "//"
  std::string mPath;                 ///< as written (encoded)
  std::optional<std::string> mQuery;
  std::optional<std::string> mFragment;
};

// URLQueryItem: one name and optional value of a query. Both are plain
// (decoded) byte strings; encoding happens when the URL is formed.
struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;

  friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

// URLComponents: a URL put together from its parts. Every part is plain
// (decoded) text and is encoded by `string()`; absent parts are left out.
struct URLComponents {
  std::optional<std::string> scheme;
  std::optional<std::string> host;
  std::string path;  ///< must be empty or start with "/" when a host is set
  std::optional<std::vector<URLQueryItem>> queryItems;  ///< an empty list gives a bare "?"

  // string: the encoded URL text, or nothing when the parts cannot form a
  // URL: a scheme that is empty or not letter-first letters, digits, "+", "-"
  // or "."; a host with a path that does not start with "/"; or no host and a
  // path starting with "//".
  [[nodiscard]] std::optional<std::string> string() const;
  // url: the absolute URL the parts form; nothing when `string()` gives
  // nothing or the scheme is absent (relative references are not modelled).
  [[nodiscard]] std::optional<URL> url() const;
  // percentEncodedQuery: the query text `string()` writes after "?", or
  // nothing when there are no query items.
  [[nodiscard]] std::optional<std::string> percentEncodedQuery() const;
};

}  // namespace vexel::platform
