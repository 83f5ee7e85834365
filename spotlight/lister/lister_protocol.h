// lister_protocol.h: what the indexers' lister (vexel-lister) and its client
// say to each other over their socket.
//
// A request is the archive as an open descriptor (SCM_RIGHTS, sent with the
// request's first byte), its path (the name finds the other volumes of a
// split archive), the time limit and the text cap. A reply is one frame: its
// length, then the status, the error of a failed listing, whether the
// lister ends after this reply, the description and the text lines. The
// lines travel as they are kept on both sides (ReplyLines), so a million
// paths are never copied line by line. The client is in lister_client.h,
// the serving side in vexel_lister.cpp.
//
//   send(encodeListerReplyHead(reply)); send(reply.lines.bytes());    // lister
//   const auto decoded = vexel::decodeListerReply(std::move(body));   // client
//
// Pure functions on bytes; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "readers/archive_error.h"
#include "readers/extension_archive.h"

namespace vexel {

// ListerRequest: one archive to list; its descriptor travels beside it.
struct ListerRequest {
  std::string path;                ///< the archive's path, as the indexer named it
  double timeLimit = 0;            ///< seconds
  std::uint64_t maxTextBytes = 0;  ///< the most bytes of lines (joined by line feeds)
};

// ReplyLines: a reply's text lines in one buffer, each its 4-byte length
// then its bytes: the frame's own encoding.
class ReplyLines {
 public:
  // Iterator: the lines in order, as views into the buffer.
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    Iterator() = default;
    explicit Iterator(const char* at) : mAt(at) {}
    [[nodiscard]] std::string_view operator*() const noexcept;
    Iterator& operator++() noexcept;
    Iterator operator++(int) noexcept {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator&) const = default;

   private:
    const char* mAt = nullptr;
  };

  ReplyLines() = default;
  ReplyLines(std::initializer_list<std::string_view> lines);

  // reserve: room for `lines` lines of `textBytes` bytes in all.
  void reserve(std::size_t lines, std::size_t textBytes);
  void append(std::string_view line);

  [[nodiscard]] std::size_t size() const noexcept { return mCount; }
  [[nodiscard]] bool empty() const noexcept { return mCount == 0; }
  [[nodiscard]] Iterator begin() const noexcept { return Iterator(mBytes.data()); }
  [[nodiscard]] Iterator end() const noexcept { return Iterator(mBytes.data() + mBytes.size()); }
  // bytes: the encoded lines, what follows a reply's head in its frame.
  [[nodiscard]] std::string_view bytes() const noexcept { return mBytes; }

  // adopt: the lines encoded in `bytes`, `count` of them and nothing else;
  // nothing when the bytes say otherwise.
  [[nodiscard]] static std::optional<ReplyLines> adopt(std::string bytes, std::uint64_t count);

  bool operator==(const ReplyLines&) const = default;

 private:
  std::string mBytes;
  std::size_t mCount = 0;
};

// ListerReply: what the lister made of one archive.
struct ListerReply {
  enum class Status : std::uint8_t {
    listed,    ///< complete
    cutShort,  ///< some entries, then a bound or damage
    failed,    ///< nothing to keep: `error` says why when the lister could tell
  };
  Status status = Status::failed;
  std::optional<ArchiveError> error;  ///< for `failed`: the reader's error
  bool isEnding = false;              ///< the lister ends after this reply
  std::string description;            ///< archiveDescription of the listing
  ReplyLines lines;                   ///< the paths, forEachTextLine's order and cap
};

// kRequestHeaderBytes: the fixed part of a request before the path.
inline constexpr std::size_t kRequestHeaderBytes = 4 + 8 + 8;
// kMaxRequestPathBytes: the longest path a request may carry.
inline constexpr std::size_t kMaxRequestPathBytes = 64 * 1024;

// encodeListerRequest: the request's fixed part (path length, time limit,
// text cap), kRequestHeaderBytes long, then the path's bytes.
[[nodiscard]] std::string encodeListerRequest(const ListerRequest& request);
// decodeListerRequestHeader: the path length, limit and cap from the
// fixed part; nothing when the path is too long or the limit not finite.
[[nodiscard]] std::optional<ListerRequest> decodeListerRequestHeader(std::string_view header,
                                                                     std::size_t& pathBytes);

// kMaxReplyLines: the most lines a reply may hold: one per node of a
// listing's tree. A lister gone wrong cannot make its client hold more.
inline constexpr std::uint64_t kMaxReplyLines = ExtensionArchive::kMaxNodes;

// encodeListerReplyHead: the reply's frame up to its lines: the 8-byte
// length of the whole body first; `reply.lines.bytes()` follow it.
[[nodiscard]] std::string encodeListerReplyHead(const ListerReply& reply);
// maxReplyBytes: the longest reply body a request with `maxTextBytes`
// can bring: the text, a length prefix for each of kMaxReplyLines lines,
// the description and the error.
[[nodiscard]] std::uint64_t maxReplyBytes(std::uint64_t maxTextBytes) noexcept;
// decodeListerReply: the reply from a frame's body (without its length),
// whose buffer becomes the reply's lines; nothing when the bytes are no
// well-formed reply or hold more than kMaxReplyLines lines.
[[nodiscard]] std::optional<ListerReply> decodeListerReply(std::string body);

}  // namespace vexel
