#include "lister_protocol.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace vexel {

namespace {

// Both ends are built together and run on one machine: numbers go in the
// machine's own byte order.
template <typename T>
void put(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

void putText(std::string& out, std::string_view text) {
  put(out, static_cast<std::uint32_t>(text.size()));
  out += text;
}

// Cursor: reads a body front to back; every read checks what is left, so
// a short or lying frame fails instead of reading past its end.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : mBytes(bytes) {}

  template <typename T>
  [[nodiscard]] bool get(T& value) {
    if (mBytes.size() < sizeof(T)) return false;
    std::memcpy(&value, mBytes.data(), sizeof(T));
    mBytes.remove_prefix(sizeof(T));
    return true;
  }
  [[nodiscard]] bool getText(std::string& text) {
    std::uint32_t size = 0;
    if (!get(size) || mBytes.size() < size) return false;
    text.assign(mBytes.data(), size);
    mBytes.remove_prefix(size);
    return true;
  }
  [[nodiscard]] bool skip(std::size_t size) {
    if (mBytes.size() < size) return false;
    mBytes.remove_prefix(size);
    return true;
  }
  [[nodiscard]] std::size_t left() const noexcept { return mBytes.size(); }

 private:
  std::string_view mBytes;
};

// errorOf: the error with `kind` and `payload`, made by its own factory.
std::optional<ArchiveError> errorOf(std::uint8_t kind, std::string payload) {
  switch (static_cast<ArchiveError::Kind>(kind)) {
    case ArchiveError::Kind::toolMissing:
      return ArchiveError::toolMissing(std::move(payload));
    case ArchiveError::Kind::readOnly:
      return ArchiveError::readOnly(std::move(payload));
    case ArchiveError::Kind::failed:
      return ArchiveError::failed(std::move(payload));
    case ArchiveError::Kind::passwordRequired:
      return ArchiveError::passwordRequired();
    case ArchiveError::Kind::cancelled:
      return ArchiveError::cancelled();
    case ArchiveError::Kind::notArchive:
      return ArchiveError::notArchive();
  }
  return std::nullopt;
}

constexpr std::uint8_t kNoError = 0xFF;

}  // namespace

std::string encodeListerRequest(const ListerRequest& request) {
  std::string out;
  put(out, static_cast<std::uint32_t>(request.path.size()));
  put(out, request.timeLimit);
  put(out, request.maxTextBytes);
  out += request.path;
  return out;
}

std::optional<ListerRequest> decodeListerRequestHeader(std::string_view header,
                                                       std::size_t& pathBytes) {
  Cursor cursor(header);
  std::uint32_t size = 0;
  ListerRequest request;
  if (!cursor.get(size) || !cursor.get(request.timeLimit) || !cursor.get(request.maxTextBytes)) {
    return std::nullopt;
  }
  if (size == 0 || size > kMaxRequestPathBytes || !std::isfinite(request.timeLimit)) {
    return std::nullopt;
  }
  pathBytes = size;
  return request;
}

std::string_view ReplyLines::Iterator::operator*() const noexcept {
  std::uint32_t size = 0;
  std::memcpy(&size, mAt, sizeof(size));
  return {mAt + sizeof(size), size};
}

ReplyLines::Iterator& ReplyLines::Iterator::operator++() noexcept {
  mAt += sizeof(std::uint32_t) + (**this).size();
  return *this;
}

ReplyLines::ReplyLines(std::initializer_list<std::string_view> lines) {
  for (const std::string_view line : lines) append(line);
}

void ReplyLines::reserve(std::size_t lines, std::size_t textBytes) {
  mBytes.reserve(lines * sizeof(std::uint32_t) + textBytes);
}

void ReplyLines::append(std::string_view line) {
  putText(mBytes, line);
  ++mCount;
}

std::optional<ReplyLines> ReplyLines::adopt(std::string bytes, std::uint64_t count) {
  // Each line takes at least its length prefix: a count beyond that lies.
  if (count > bytes.size() / sizeof(std::uint32_t)) return std::nullopt;
  Cursor cursor(bytes);
  for (std::uint64_t line = 0; line < count; ++line) {
    std::uint32_t size = 0;
    if (!cursor.get(size) || !cursor.skip(size)) return std::nullopt;
  }
  if (cursor.left() != 0) return std::nullopt;
  ReplyLines lines;
  lines.mBytes = std::move(bytes);
  lines.mCount = static_cast<std::size_t>(count);
  return lines;
}

std::string encodeListerReplyHead(const ListerReply& reply) {
  std::string out(8, '\0');
  put(out, static_cast<std::uint8_t>(reply.status));
  put(out, reply.error ? static_cast<std::uint8_t>(reply.error->kind()) : kNoError);
  putText(out, reply.error ? reply.error->payload() : std::string());
  put(out, static_cast<std::uint8_t>(reply.isEnding ? 1 : 0));
  putText(out, reply.description);
  put(out, static_cast<std::uint64_t>(reply.lines.size()));
  const auto body = static_cast<std::uint64_t>(out.size() - 8 + reply.lines.bytes().size());
  std::memcpy(out.data(), &body, sizeof(body));
  return out;
}

std::uint64_t maxReplyBytes(std::uint64_t maxTextBytes) noexcept {
  constexpr std::uint64_t kFixed = (std::uint64_t{1} << 20) + 4 * kMaxReplyLines;
  if (maxTextBytes > UINT64_MAX - kFixed) return UINT64_MAX;
  return maxTextBytes + kFixed;
}

std::optional<ListerReply> decodeListerReply(std::string body) {
  Cursor cursor(body);
  ListerReply reply;
  std::uint8_t status = 0;
  std::uint8_t kind = 0;
  std::uint8_t isEnding = 0;
  std::string payload;
  std::uint64_t count = 0;
  if (!cursor.get(status) || !cursor.get(kind) || !cursor.getText(payload) ||
      !cursor.get(isEnding) || !cursor.getText(reply.description) || !cursor.get(count)) {
    return std::nullopt;
  }
  if (status > static_cast<std::uint8_t>(ListerReply::Status::failed) || isEnding > 1) {
    return std::nullopt;
  }
  reply.status = static_cast<ListerReply::Status>(status);
  reply.isEnding = isEnding == 1;
  if (kind != kNoError) {
    reply.error = errorOf(kind, std::move(payload));
    if (!reply.error) return std::nullopt;
  }
  if (count > kMaxReplyLines) return std::nullopt;
  // The lines keep the body's buffer: the head moves out of it in place.
  body.erase(0, body.size() - cursor.left());
  std::optional<ReplyLines> lines = ReplyLines::adopt(std::move(body), count);
  if (!lines) return std::nullopt;
  reply.lines = std::move(*lines);
  return reply;
}

}  // namespace vexel
