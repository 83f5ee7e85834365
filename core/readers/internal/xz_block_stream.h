// xz_block_stream.h: an .xz file of several blocks as libarchive's input,
// decompressed only where libarchive reads.
//
// A tar inside xz has to be decompressed to find its headers, but most
// large .xz files are written in independent blocks (xz_index.h). Given
// the blocks, `XzBlockStream` hands libarchive the uncompressed data:
//   - a read decompresses the run of blocks it lands in, from the run's
//     start (a run is one block, or consecutive small blocks taken together
//     up to `XzStreamOptions::runSize`, so that tiny blocks cost no more
//     than one large one);
//   - a skip (libarchive passing over a tar member's data) only moves the
//     position, so a run that lies wholly inside skipped data is never
//     decompressed, and one a skip lands in is decompressed from its start;
//   - while reads go on from one run into the next, the runs after it are
//     decompressed ahead, in parallel on the cores available, within a byte
//     budget; a skip past them drops that work.
// libarchive gets no seek callback, so formats that would seek (ZIP, 7z)
// read the stream as through libarchive's own xz filter: nothing is listed
// differently, only faster. Damage is found where blocks are decompressed,
// with libarchive's messages; a block that is jumped over is never read.
//
// Bounds: the decoding threads belong to the stream, stop within one
// piece of work once the listing's stop flag is raised or the stream is
// destroyed, and are joined by the destructor. The decoder of the block
// being read may use what libarchive's xz filter allows
// (`kMaxDecoderMemory`); decoding ahead uses much less.
//
//   FileRange packed(*input, 0, input->streamSize(), "a.tar.xz");
//   auto blocks = readXzBlocks(packed, stop);
//   XzBlockStream stream(packed, std::move(*blocks), stop, {});
//   stream.attach(reader);  // the stream outlives the reader
//   archive_read_open1(reader);
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "xz_index.h"

struct archive;

namespace vexel::readers_internal {

class FileRange;

// XzStreamStats: what a stream did, for tests and benchmarks. Counters
// only grow; any thread may read them.
struct XzStreamStats {
  std::atomic<std::int64_t> blocksDecoded{0};  ///< block decompressions started
  std::atomic<std::int64_t> bytesDecoded{0};   ///< uncompressed bytes they produced
  std::atomic<std::int64_t> skips{0};          ///< skips answered without decompressing
  std::atomic<std::int64_t> bytesSkipped{0};
};

// XzStreamOptions: how much work a stream may do at once.
struct XzStreamOptions {
  // threads: decoding threads; 0 takes the cores this process may use, at
  // most `XzBlockStream::kMaxThreads`.
  unsigned threads = 0;
  // readAhead: the most uncompressed bytes decompressed ahead of sequential
  // reads; 0 decompresses only runs that are read.
  std::int64_t readAhead = std::int64_t{64} << 20;
  // runSize: consecutive blocks smaller than this are decompressed together
  // until their run reaches it; 0 takes every block alone.
  std::int64_t runSize = std::int64_t{1} << 20;
  // stats: counts what the stream does, when given.
  std::shared_ptr<XzStreamStats> stats;
};

// XzBlockStream: the uncompressed data of `blocks` (in order, as
// `readXzBlocks` gives them), read from `packed`, which outlives the stream.
class XzBlockStream {
 public:
  static constexpr unsigned kMaxThreads = 4;
  // kMaxDecoderMemory: what one block decoder may use, as libarchive's xz
  // filter allows.
  static constexpr std::uint64_t kMaxDecoderMemory = std::uint64_t{1} << 30;

  // XzBlockStream: starts the decoding threads.
  // @throws std::system_error when not even one thread can be started.
  XzBlockStream(FileRange& packed, std::vector<XzBlock> blocks, const std::atomic<bool>& stop,
                XzStreamOptions options);
  // ~XzBlockStream: drops all work and joins the threads.
  ~XzBlockStream();
  XzBlockStream(const XzBlockStream&) = delete;
  XzBlockStream& operator=(const XzBlockStream&) = delete;

  // size: the uncompressed bytes of all blocks.
  [[nodiscard]] std::int64_t size() const noexcept { return mSize; }

  // attach: makes the uncompressed data the reader's input, read from its
  // start. One reader, on one thread.
  void attach(archive* reader);

 private:
  struct Callbacks;
  struct Job;
  // Run: consecutive blocks decompressed as one piece of work.
  struct Run {
    std::size_t firstBlock = 0;
    std::size_t endBlock = 0;  ///< one past the last
    std::int64_t offset = 0;   ///< in the uncompressed stream
    std::int64_t size = 0;
  };
  // Chunk: decoded bytes of one run, on their way to the reader.
  struct Chunk {
    std::int64_t offset = 0;  ///< in the uncompressed stream
    std::int64_t size = 0;    ///< bytes filled
    std::unique_ptr<char[]> bytes;
    [[nodiscard]] std::int64_t end() const noexcept { return offset + size; }
  };

  // The reader's side (its thread only).
  std::int64_t readAt(std::int64_t position, const void** buffer, archive* reader);
  [[nodiscard]] std::size_t runAt(std::int64_t position) const noexcept;

  // The decoding threads' side.
  void runThread() noexcept;
  void decode(Job& job, void* coder, std::vector<std::uint8_t>& piece);
  // startBlock: reads the header of `block` into `setup` and starts `coder`
  // on it; false once the job has failed or (a decoder too large for
  // reading ahead) been deferred. `setup` must outlive the block's decoding.
  struct BlockSetup;
  bool startBlock(Job& job, void* coder, const XzBlock& block, BlockSetup& setup);
  // decodeBlockInto: up to `size` bytes of the started block into `out`,
  // fewer at its end; false, with the job failed or dropped, when decoding
  // cannot go on. `piece` holds packed bytes read for the decoder.
  bool decodeBlockInto(Job& job, void* coder, BlockSetup& setup, std::vector<std::uint8_t>& piece,
                       std::uint8_t* out, std::int64_t size);
  // publish: hands a decoded chunk to the reader (the run's last marks the
  // job done); false when the job is dropped meanwhile.
  [[nodiscard]] bool publish(Job& job, Chunk&& chunk, bool isLast);
  void fail(Job& job, const char* message);
  [[nodiscard]] bool isDropped(const Job& job) const noexcept;
  // takeBuffer: a buffer of a chunk's size, used before or new.
  [[nodiscard]] std::unique_ptr<char[]> takeBuffer();

  // Under `mMutex`.
  std::shared_ptr<Job> focus(std::size_t run);
  void scheduleAhead(std::size_t run);
  std::shared_ptr<Job> addJob(std::size_t run, bool isAhead);
  void drop(Job& job);
  void recycle(std::unique_ptr<char[]> bytes);

  FileRange& mPacked;
  const std::vector<XzBlock> mBlocks;
  std::vector<Run> mRuns;
  const std::atomic<bool>& mStop;
  const XzStreamOptions mOptions;
  std::int64_t mSize = 0;

  std::mutex mMutex;
  std::condition_variable mWork;                      // a job was queued, or the stream is closing
  std::condition_variable mProgress;                  // a job produced data, failed or ended
  std::condition_variable mRoom;                      // the reader took data, or a job was dropped
  std::map<std::size_t, std::shared_ptr<Job>> mJobs;  // by run: queued, running or holding data
  std::vector<std::shared_ptr<Job>> mQueue;           // not started yet, first to start first
  std::vector<std::unique_ptr<char[]>> mSpareBuffers;
  std::size_t mMaxSpareBuffers = 0;
  bool mIsClosing = false;
  std::vector<std::thread> mThreads;

  // The reader's side.
  std::int64_t mPosition = 0;
  std::optional<std::size_t> mFocus;  // the run of the last read
  Chunk mHandedOver;                  // what libarchive's last read points into
};

}  // namespace vexel::readers_internal
