#include "xz_index.h"

#include <lzma.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "file_range.h"

namespace vexel::readers_internal {

namespace {

constexpr std::size_t kIndexPieceSize = 65536;

struct LzmaIndexEnd {
  void operator()(lzma_index* index) const noexcept { lzma_index_end(index, nullptr); }
};
using IndexOwner = std::unique_ptr<lzma_index, LzmaIndexEnd>;

// IndexDecoder: a liblzma coder, ended with the object.
struct IndexDecoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  IndexDecoder() = default;
  ~IndexDecoder() { lzma_end(&stream); }
  IndexDecoder(const IndexDecoder&) = delete;
  IndexDecoder& operator=(const IndexDecoder&) = delete;
};

bool startsWithMagic(FileRange& packed) {
  std::array<char, sizeof kXzMagic> head{};
  return packed.readInto(0, head.data(), head.size()) &&
         std::memcmp(head.data(), kXzMagic, sizeof kXzMagic) == 0;
}

// decodeIndex: the combined index of every stream of `packed`. liblzma asks
// for the parts of the file it needs (footer, index, header, from the end
// backwards) by the position it wants next.
IndexOwner decodeIndex(FileRange& packed, const std::atomic<bool>& stop) {
  IndexDecoder coder;
  lzma_index* decoded = nullptr;
  if (lzma_file_info_decoder(&coder.stream, &decoded, kMaxXzIndexMemory,
                             static_cast<std::uint64_t>(packed.size())) != LZMA_OK) {
    return nullptr;
  }
  std::array<char, kIndexPieceSize> piece{};
  std::int64_t position = 0;
  for (;;) {
    if (stop.load(std::memory_order_relaxed)) return nullptr;
    lzma_action action = LZMA_RUN;
    if (coder.stream.avail_in == 0) {
      const auto length = static_cast<std::size_t>(
          std::clamp<std::int64_t>(packed.size() - position, 0, std::int64_t{kIndexPieceSize}));
      if (length == 0) {
        action = LZMA_FINISH;
      } else if (!packed.readInto(position, piece.data(), length)) {
        return nullptr;
      }
      coder.stream.next_in = reinterpret_cast<const std::uint8_t*>(piece.data());
      coder.stream.avail_in = length;
      position += static_cast<std::int64_t>(length);
    }
    const lzma_ret result = lzma_code(&coder.stream, action);
    if (result == LZMA_STREAM_END) return IndexOwner(decoded);
    if (result == LZMA_SEEK_NEEDED) {
      if (coder.stream.seek_pos > static_cast<std::uint64_t>(packed.size())) return nullptr;
      position = static_cast<std::int64_t>(coder.stream.seek_pos);
      coder.stream.avail_in = 0;
      continue;
    }
    // At the end of the file liblzma has all it could get.
    if (result != LZMA_OK || action == LZMA_FINISH) return nullptr;
  }
}

}  // namespace

std::optional<std::vector<XzBlock>> readXzBlocks(FileRange& packed, const std::atomic<bool>& stop) {
  if (!startsWithMagic(packed)) return std::nullopt;
  const IndexOwner index = decodeIndex(packed, stop);
  if (!index) return std::nullopt;

  std::vector<XzBlock> blocks;
  lzma_index_iter iter;
  lzma_index_iter_init(&iter, index.get());
  // Empty blocks hold no data: nothing to read in them.
  while (lzma_index_iter_next(&iter, LZMA_INDEX_ITER_NONEMPTY_BLOCK) == 0) {
    if (iter.stream.flags == nullptr) return std::nullopt;
    blocks.push_back(XzBlock{
        .packedOffset = static_cast<std::int64_t>(iter.block.compressed_file_offset),
        .packedSize = static_cast<std::int64_t>(iter.block.total_size),
        .unpaddedSize = static_cast<std::int64_t>(iter.block.unpadded_size),
        .offset = static_cast<std::int64_t>(iter.block.uncompressed_file_offset),
        .size = static_cast<std::int64_t>(iter.block.uncompressed_size),
        .check = static_cast<int>(iter.stream.flags->check),
    });
  }
  return blocks;
}

}  // namespace vexel::readers_internal
