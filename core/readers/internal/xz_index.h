// xz_index.h: the blocks of an .xz file, as its index lists them.
//
// An .xz stream ends in an index that gives, for each of its blocks, where
// the block lies in the file and which part of the uncompressed data it
// holds. Files written in several blocks (xz's multi-threaded mode,
// dpkg-deb) can therefore be decompressed from any block on. The index is
// read with liblzma, from the end of the file backwards through every
// stream (concatenated streams and stream padding included).
//
//   FileRange packed(*input, 0, input->streamSize(), "a.tar.xz");
//   if (const auto blocks = readXzBlocks(packed, stop); blocks && blocks->size() > 1) ...
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

namespace vexel::readers_internal {

class FileRange;

// XzBlock: one block of an .xz file.
struct XzBlock {
  std::int64_t packedOffset = 0;  ///< where its header starts in the file
  std::int64_t packedSize = 0;    ///< header, compressed data, padding and check
  std::int64_t unpaddedSize = 0;  ///< `packedSize` without the padding
  std::int64_t offset = 0;        ///< where its data starts in the uncompressed stream
  std::int64_t size = 0;          ///< uncompressed bytes
  int check = 0;                  ///< the integrity check of its stream (`lzma_check`)
};

// kXzMagic: the first six bytes of every .xz file.
inline constexpr unsigned char kXzMagic[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};

// kMaxXzIndexMemory: the most memory liblzma may spend on one file's index
// (16 bytes a block): larger indexes, of more than about a million blocks,
// are not read, and libarchive's own filter reads such a file.
inline constexpr std::uint64_t kMaxXzIndexMemory = std::uint64_t{16} << 20;

// readXzBlocks: the blocks of the .xz file that `packed` holds, in order,
// or nothing when it is no .xz file, its index or stream headers cannot be
// read or are damaged, the index is too large, or `stop` is raised while
// reading. Reads only the headers, footers and indexes of the streams.
[[nodiscard]] std::optional<std::vector<XzBlock>> readXzBlocks(FileRange& packed,
                                                               const std::atomic<bool>& stop);

}  // namespace vexel::readers_internal
