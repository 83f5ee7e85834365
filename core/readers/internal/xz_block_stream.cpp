#include "xz_block_stream.h"

#include <archive.h>
#include <errno.h>
#include <lzma.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "file_range.h"

namespace vexel::readers_internal {

namespace {

// Decoded data travels in chunks of this size (or the rest of a run), in
// buffers that are used again (fresh ones cost page faults): as many are
// kept as the work in flight can fill, so keeping them adds nothing to the
// peak.
constexpr std::int64_t kChunkSize = std::int64_t{256} << 10;
// What the run being read may decode ahead of the reader.
constexpr std::int64_t kFocusCapacity = 4 * kChunkSize;
// Compressed data is read in pieces of this size.
constexpr std::size_t kPieceSize = std::size_t{256} << 10;
// Runs decoded ahead at most, however small they are.
constexpr std::size_t kMaxAheadJobs = 16;
// A block decoded ahead may not need more than this (xz -9 needs 65 MiB);
// one that does waits until it is read.
constexpr std::uint64_t kMaxAheadDecoderMemory = std::uint64_t{100} << 20;
// How often a waiting thread looks at the stop flag.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

enum class JobState {
  queued,    ///< waiting for a thread
  running,   ///< being decoded
  deferred,  ///< decoded ahead, a decoder needed too much memory: waits to be read
  done,      ///< decoded to the end, check verified
  failed,    ///< `Job::error` says why
};

// availableCores: the cores this process may run on.
unsigned availableCores() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  return std::max(1U, std::thread::hardware_concurrency());
}

// LzmaStream: a liblzma coder, ended with the object. A decoding thread
// keeps one for all its blocks, so the dictionary is allocated once.
struct LzmaStream {
  lzma_stream stream = LZMA_STREAM_INIT;
  LzmaStream() = default;
  ~LzmaStream() { lzma_end(&stream); }
  LzmaStream(const LzmaStream&) = delete;
  LzmaStream& operator=(const LzmaStream&) = delete;
};

// FilterOptions: the filter chain a block header gave, freed with the object.
struct FilterOptions {
  std::array<lzma_filter, LZMA_FILTERS_MAX + 1> filters{};
  FilterOptions() {
    for (lzma_filter& filter : filters) filter = lzma_filter{LZMA_VLI_UNKNOWN, nullptr};
  }
  ~FilterOptions() { lzma_filters_free(filters.data(), nullptr); }
  FilterOptions(const FilterOptions&) = delete;
  FilterOptions& operator=(const FilterOptions&) = delete;
};

// messageOf: what libarchive's own xz filter says for the same failure, so
// a damaged file reads the same either way.
const char* messageOf(lzma_ret result) noexcept {
  switch (result) {
    case LZMA_MEM_ERROR:
      return "Lzma library error: Cannot allocate memory";
    case LZMA_MEMLIMIT_ERROR:
      return "Lzma library error: Out of memory";
    case LZMA_FORMAT_ERROR:
      return "Lzma library error: format not recognized";
    case LZMA_OPTIONS_ERROR:
      return "Lzma library error: Invalid options";
    case LZMA_DATA_ERROR:
      return "Lzma library error: Corrupted input data";
    case LZMA_BUF_ERROR:
      return "Lzma library error:  No progress is possible";
    default:
      return "Lzma decompression failed:  Unknown error";
  }
}

}  // namespace

// Job: the decoding of one run. The map and the queue hold it; a thread
// decoding it holds it too. Fields other than `isDropped` are guarded by
// the stream's mutex.
struct XzBlockStream::Job {
  std::size_t run = 0;
  bool isAhead = false;  ///< queued before it was read: the lower memory limit
  JobState state = JobState::queued;
  std::deque<Chunk> chunks;  ///< decoded and not yet taken, in order
  std::int64_t buffered = 0;
  std::int64_t capacity = 0;           ///< the thread pauses while `buffered` reaches it
  const char* error = nullptr;         ///< a message of `messageOf`, with `failed`
  std::atomic<bool> isDropped{false};  ///< nobody will read it: stop decoding
};

struct XzBlockStream::Callbacks {
  static XzBlockStream& self(void* data) { return *static_cast<XzBlockStream*>(data); }

  static int open(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }
  static int close(archive* /*reader*/, void* /*data*/) { return ARCHIVE_OK; }

  // No exception may cross libarchive.
  static la_ssize_t read(archive* reader, void* data, const void** buffer) noexcept {
    XzBlockStream& stream = self(data);
    try {
      const std::int64_t got = stream.readAt(stream.mPosition, buffer, reader);
      if (got > 0) stream.mPosition += got;
      return static_cast<la_ssize_t>(got);
    } catch (const std::exception&) {
      archive_set_error(reader, ENOMEM, "%s", messageOf(LZMA_MEM_ERROR));
      return ARCHIVE_FATAL;
    }
  }

  // Skipped data is never decoded: the next read starts at the run the
  // position lands in. As the file's own skip: never past the end, and 0
  // once stopped, so that libarchive reads and meets the stop.
  static la_int64_t skip(archive* /*reader*/, void* data, la_int64_t request) {
    XzBlockStream& stream = self(data);
    if (request <= 0 || stream.mStop.load(std::memory_order_relaxed)) return 0;
    const std::int64_t step = std::min<std::int64_t>(request, stream.mSize - stream.mPosition);
    if (step <= 0) return 0;
    stream.mPosition += step;
    if (stream.mOptions.stats) {
      stream.mOptions.stats->skips.fetch_add(1, std::memory_order_relaxed);
      stream.mOptions.stats->bytesSkipped.fetch_add(step, std::memory_order_relaxed);
    }
    return step;
  }
};

XzBlockStream::XzBlockStream(FileRange& packed, std::vector<XzBlock> blocks,
                             const std::atomic<bool>& stop, XzStreamOptions options)
    : mPacked(packed), mBlocks(std::move(blocks)), mStop(stop), mOptions(std::move(options)) {
  for (std::size_t index = 0; index < mBlocks.size(); ++index) {
    const XzBlock& block = mBlocks[index];
    if (mRuns.empty() || mRuns.back().size >= mOptions.runSize) {
      mRuns.push_back(Run{.firstBlock = index, .offset = block.offset});
    }
    mRuns.back().endBlock = index + 1;
    mRuns.back().size += block.size;
  }
  if (!mBlocks.empty()) mSize = mBlocks.back().offset + mBlocks.back().size;

  unsigned threads = mOptions.threads != 0 ? mOptions.threads : availableCores();
  threads = std::clamp(threads, 1U, kMaxThreads);
  threads =
      static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(mRuns.size(), 1)));
  mMaxSpareBuffers = static_cast<std::size_t>(
      (std::max<std::int64_t>(mOptions.readAhead, 0) + kFocusCapacity) / kChunkSize + threads);
  mThreads.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) {
    try {
      mThreads.emplace_back([this] { runThread(); });
    } catch (const std::system_error&) {
      if (mThreads.empty()) throw;
      break;  // fewer threads do the same work
    }
  }
}

XzBlockStream::~XzBlockStream() {
  {
    const std::lock_guard lock(mMutex);
    mIsClosing = true;
    for (auto& [run, job] : mJobs) drop(*job);
    mJobs.clear();
  }
  mWork.notify_all();
  mRoom.notify_all();
  for (std::thread& thread : mThreads) thread.join();
}

void XzBlockStream::attach(archive* reader) {
  mPosition = 0;
  archive_read_set_callback_data(reader, this);
  archive_read_set_open_callback(reader, &Callbacks::open);
  archive_read_set_read_callback(reader, &Callbacks::read);
  archive_read_set_skip_callback(reader, &Callbacks::skip);
  archive_read_set_close_callback(reader, &Callbacks::close);
}

// ---------------------------------------------------------------------------
// The reader's side

std::size_t XzBlockStream::runAt(std::int64_t position) const noexcept {
  const auto after =
      std::upper_bound(mRuns.begin(), mRuns.end(), position,
                       [](std::int64_t at, const Run& run) { return at < run.offset; });
  return static_cast<std::size_t>(std::max<std::ptrdiff_t>(after - mRuns.begin() - 1, 0));
}

std::int64_t XzBlockStream::readAt(std::int64_t position, const void** buffer, archive* reader) {
  static constexpr char kNothing = 0;
  *buffer = &kNothing;
  if (mStop.load(std::memory_order_relaxed)) {
    archive_set_error(reader, ETIMEDOUT, "Listing stopped");
    return ARCHIVE_FATAL;
  }
  if (position >= mSize) return 0;
  const std::size_t run = runAt(position);

  std::unique_lock lock(mMutex);
  recycle(std::move(mHandedOver.bytes));  // libarchive is done with what the last read gave
  const std::shared_ptr<Job> job = focus(run);
  for (;;) {
    // Chunks before the position were skipped over.
    while (!job->chunks.empty() && job->chunks.front().end() <= position) {
      job->buffered -= job->chunks.front().size;
      recycle(std::move(job->chunks.front().bytes));
      job->chunks.pop_front();
      mRoom.notify_all();
    }
    if (!job->chunks.empty()) break;
    if (job->state == JobState::failed || job->state == JobState::done) {
      const char* error = job->state == JobState::failed ? job->error : messageOf(LZMA_DATA_ERROR);
      drop(*job);
      mJobs.erase(run);
      archive_set_error(reader, EIO, "%s", error);
      return ARCHIVE_FATAL;
    }
    if (job->state == JobState::deferred) {
      // Now it is read: decode it first, under the reader's memory limit,
      // from the run's start (what it handed over is passed again).
      job->isAhead = false;
      job->state = JobState::queued;
      mQueue.insert(mQueue.begin(), job);
      mWork.notify_one();
    }
    if (mStop.load(std::memory_order_relaxed)) {
      archive_set_error(reader, ETIMEDOUT, "Listing stopped");
      return ARCHIVE_FATAL;
    }
    mProgress.wait_for(lock, kWaitSlice);
  }
  Chunk chunk = std::move(job->chunks.front());
  job->chunks.pop_front();
  job->buffered -= chunk.size;
  mRoom.notify_all();
  if (job->state == JobState::done && job->chunks.empty()) mJobs.erase(run);
  lock.unlock();

  mHandedOver = std::move(chunk);
  *buffer = mHandedOver.bytes.get() + (position - mHandedOver.offset);
  return mHandedOver.end() - position;
}

std::shared_ptr<XzBlockStream::Job> XzBlockStream::focus(std::size_t run) {
  // Reads only go forward: runs before this one are not needed.
  for (auto it = mJobs.begin(); it != mJobs.end() && it->first < run;) {
    drop(*it->second);
    it = mJobs.erase(it);
  }
  const bool isNew = !mFocus || *mFocus != run;
  // Reading on into the next run says the runs after are wanted too; a
  // jump says the data between was skipped, and may be again.
  const bool isNext = mFocus && run == *mFocus + 1;
  mFocus = run;

  std::shared_ptr<Job> job;
  if (const auto found = mJobs.find(run); found != mJobs.end()) {
    job = found->second;
    if (isNew) {
      job->capacity = std::max(kFocusCapacity, job->buffered);
      if (job->state == JobState::queued) {
        job->isAhead = false;
        std::erase(mQueue, job);
        mQueue.insert(mQueue.begin(), job);
      }
    }
  } else {
    job = addJob(run, false);
  }
  if (isNext) scheduleAhead(run);
  return job;
}

void XzBlockStream::scheduleAhead(std::size_t run) {
  std::int64_t bytes = 0;
  std::size_t count = 0;
  for (std::size_t next = run + 1; next < mRuns.size() && count < kMaxAheadJobs; ++next, ++count) {
    bytes += mRuns[next].size;
    if (bytes > mOptions.readAhead) break;
    if (!mJobs.contains(next)) addJob(next, true);
  }
}

std::shared_ptr<XzBlockStream::Job> XzBlockStream::addJob(std::size_t run, bool isAhead) {
  auto job = std::make_shared<Job>();
  job->run = run;
  job->isAhead = isAhead;
  // A run decoded ahead is kept whole until it is read; the one being read
  // streams through a few chunks.
  job->capacity = isAhead ? mRuns[run].size : kFocusCapacity;
  mJobs.emplace(run, job);
  if (isAhead) {
    mQueue.push_back(job);
  } else {
    mQueue.insert(mQueue.begin(), job);
  }
  mWork.notify_one();
  return job;
}

void XzBlockStream::recycle(std::unique_ptr<char[]> bytes) {
  if (bytes && mSpareBuffers.size() < mMaxSpareBuffers) mSpareBuffers.push_back(std::move(bytes));
}

std::unique_ptr<char[]> XzBlockStream::takeBuffer() {
  {
    const std::lock_guard lock(mMutex);
    if (!mSpareBuffers.empty()) {
      std::unique_ptr<char[]> bytes = std::move(mSpareBuffers.back());
      mSpareBuffers.pop_back();
      return bytes;
    }
  }
  return std::unique_ptr<char[]>(new char[static_cast<std::size_t>(kChunkSize)]);
}

void XzBlockStream::drop(Job& job) {
  job.isDropped.store(true, std::memory_order_relaxed);
  if (job.state == JobState::queued) {
    std::erase_if(mQueue, [&](const std::shared_ptr<Job>& queued) { return queued.get() == &job; });
  }
  for (Chunk& chunk : job.chunks) recycle(std::move(chunk.bytes));
  job.chunks.clear();
  job.buffered = 0;
  mRoom.notify_all();
}

// ---------------------------------------------------------------------------
// The decoding threads

void XzBlockStream::runThread() noexcept {
  LzmaStream coder;
  std::vector<std::uint8_t> piece;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mMutex);
      mWork.wait(lock, [&] { return mIsClosing || !mQueue.empty(); });
      if (mIsClosing) return;
      job = mQueue.front();
      mQueue.erase(mQueue.begin());
      job->state = JobState::running;
    }
    try {
      decode(*job, &coder.stream, piece);
    } catch (const std::bad_alloc&) {
      fail(*job, messageOf(LZMA_MEM_ERROR));
    }
  }
}

bool XzBlockStream::isDropped(const Job& job) const noexcept {
  return job.isDropped.load(std::memory_order_relaxed) || mStop.load(std::memory_order_relaxed);
}

// BlockSetup: a block's options, which its decoder reads and writes back to
// until the block ends, and the filter options they point to.
struct XzBlockStream::BlockSetup {
  FilterOptions filters;
  lzma_block options{};
  std::int64_t packedAt = 0;   ///< the next packed byte to read
  std::int64_t packedEnd = 0;  ///< the block's end in the packed stream
  bool isEnded = false;        ///< the decoder has reached the block's end
};

bool XzBlockStream::startBlock(Job& job, void* coderMemory, const XzBlock& block,
                               BlockSetup& setup) {
  auto& coder = *static_cast<lzma_stream*>(coderMemory);
  // The block header: its size is in its first byte.
  std::array<std::uint8_t, LZMA_BLOCK_HEADER_SIZE_MAX> header{};
  if (!mPacked.readInto(block.packedOffset, reinterpret_cast<char*>(header.data()), 1) ||
      header[0] == 0) {
    fail(job, messageOf(LZMA_DATA_ERROR));
    return false;
  }
  FilterOptions& filters = setup.filters;
  lzma_block& options = setup.options;
  options.version = 1;
  options.check = static_cast<lzma_check>(block.check);
  options.filters = filters.filters.data();
  options.header_size = lzma_block_header_size_decode(header[0]);
  if (static_cast<std::int64_t>(options.header_size) >= block.packedSize ||
      !mPacked.readInto(block.packedOffset, reinterpret_cast<char*>(header.data()),
                        options.header_size) ||
      lzma_block_header_decode(&options, nullptr, header.data()) != LZMA_OK ||
      lzma_block_compressed_size(&options, static_cast<lzma_vli>(block.unpaddedSize)) != LZMA_OK ||
      (options.uncompressed_size != LZMA_VLI_UNKNOWN &&
       options.uncompressed_size != static_cast<lzma_vli>(block.size))) {
    fail(job, messageOf(LZMA_DATA_ERROR));
    return false;
  }
  options.uncompressed_size = static_cast<lzma_vli>(block.size);
  const std::uint64_t memory = lzma_raw_decoder_memusage(options.filters);
  if (memory > (job.isAhead ? kMaxAheadDecoderMemory : kMaxDecoderMemory)) {
    if (!job.isAhead) {
      fail(job, messageOf(LZMA_MEMLIMIT_ERROR));
      return false;
    }
    const std::lock_guard lock(mMutex);
    if (!job.isDropped) job.state = JobState::deferred;
    mProgress.notify_all();
    return false;
  }
  if (const lzma_ret started = lzma_block_decoder(&coder, &options);
      started != LZMA_OK && started != LZMA_UNSUPPORTED_CHECK) {
    fail(job, messageOf(started));
    return false;
  }
  return true;
}

bool XzBlockStream::decodeBlockInto(Job& job, void* coderMemory, BlockSetup& setup,
                                    std::vector<std::uint8_t>& piece, std::uint8_t* out,
                                    std::int64_t size) {
  auto& coder = *static_cast<lzma_stream*>(coderMemory);
  coder.next_out = out;
  coder.avail_out = static_cast<std::size_t>(size);
  while (coder.avail_out > 0 && !setup.isEnded) {
    if (isDropped(job)) return false;
    if (coder.avail_in == 0 && setup.packedAt < setup.packedEnd) {
      const auto length = static_cast<std::size_t>(std::min<std::int64_t>(
          setup.packedEnd - setup.packedAt, static_cast<std::int64_t>(piece.size())));
      if (!mPacked.readInto(setup.packedAt, reinterpret_cast<char*>(piece.data()), length)) {
        fail(job, "truncated input");
        return false;
      }
      coder.next_in = piece.data();
      coder.avail_in = length;
      setup.packedAt += static_cast<std::int64_t>(length);
    }
    const lzma_ret result = lzma_code(&coder, LZMA_RUN);
    if (result == LZMA_STREAM_END) {
      setup.isEnded = true;
    } else if (result != LZMA_OK) {
      fail(job, messageOf(result));
      return false;
    }
  }
  return true;
}

void XzBlockStream::decode(Job& job, void* coderMemory, std::vector<std::uint8_t>& piece) {
  auto& coder = *static_cast<lzma_stream*>(coderMemory);
  const Run& run = mRuns[job.run];
  // Chunks are filled across the run's blocks and cut at its end.
  Chunk chunk;
  std::int64_t chunkCapacity = 0;
  std::int64_t produced = 0;
  for (std::size_t index = run.firstBlock; index < run.endBlock; ++index) {
    const XzBlock& block = mBlocks[index];

    BlockSetup setup;
    if (!startBlock(job, &coder, block, setup)) return;  // failed, or deferred
    if (mOptions.stats) mOptions.stats->blocksDecoded.fetch_add(1, std::memory_order_relaxed);

    piece.resize(std::min<std::size_t>(kPieceSize, static_cast<std::size_t>(block.packedSize)));
    setup.packedAt = block.packedOffset + static_cast<std::int64_t>(setup.options.header_size);
    setup.packedEnd = block.packedOffset + block.packedSize;
    coder.avail_in = 0;
    const auto decodeInto = [&](std::uint8_t* out, std::size_t size) {
      return decodeBlockInto(job, &coder, setup, piece, out, static_cast<std::int64_t>(size));
    };

    std::int64_t blockProduced = 0;
    while (blockProduced < block.size) {
      if (!chunk.bytes) {
        chunk.offset = run.offset + produced;
        chunk.size = 0;
        chunkCapacity = std::min(kChunkSize, run.size - produced);
        chunk.bytes = takeBuffer();
      }
      const std::int64_t room = std::min(chunkCapacity - chunk.size, block.size - blockProduced);
      if (!decodeInto(reinterpret_cast<std::uint8_t*>(chunk.bytes.get() + chunk.size),
                      static_cast<std::size_t>(room))) {
        return;
      }
      const std::int64_t got = room - static_cast<std::int64_t>(coder.avail_out);
      chunk.size += got;
      blockProduced += got;
      produced += got;
      if (setup.isEnded && blockProduced < block.size) return fail(job, messageOf(LZMA_DATA_ERROR));
      // The block's padding and check are verified before its last bytes
      // are handed over; a byte of room catches a block longer than its
      // index says.
      if (blockProduced == block.size && !setup.isEnded) {
        std::uint8_t extra = 0;
        if (!decodeInto(&extra, 1)) return;
        if (!setup.isEnded || coder.avail_out == 0) return fail(job, messageOf(LZMA_DATA_ERROR));
      }
      if (chunk.size == chunkCapacity) {
        if (!publish(job, std::move(chunk), produced == run.size)) return;
        chunk = Chunk{};
      }
    }
  }
}

bool XzBlockStream::publish(Job& job, Chunk&& chunk, bool isLast) {
  std::unique_lock lock(mMutex);
  if (job.isDropped) return false;
  if (mOptions.stats) {
    mOptions.stats->bytesDecoded.fetch_add(chunk.size, std::memory_order_relaxed);
  }
  job.buffered += chunk.size;
  job.chunks.push_back(std::move(chunk));
  if (isLast) job.state = JobState::done;
  mProgress.notify_all();
  // The reader takes chunks as it goes; wait for it while enough lie ready.
  while (!isLast && job.buffered >= job.capacity && !isDropped(job) && !mIsClosing) {
    mRoom.wait_for(lock, kWaitSlice);
  }
  return !isDropped(job) && !mIsClosing;
}

void XzBlockStream::fail(Job& job, const char* message) {
  {
    const std::lock_guard lock(mMutex);
    if (job.isDropped) return;
    job.state = JobState::failed;
    job.error = message;
  }
  mProgress.notify_all();
}

}  // namespace vexel::readers_internal
