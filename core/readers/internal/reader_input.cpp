#include "reader_input.h"

#include <archive.h>

#include <system_error>
#include <utility>

#include "file_range.h"
#include "input_file.h"
#include "xz_index.h"

namespace vexel::readers_internal {

ReaderInput::ReaderInput(InputFile& input, const std::atomic<bool>& stop)
    : mInput(input), mStop(stop) {}

ReaderInput::~ReaderInput() = default;

std::unique_ptr<ReaderInput> ReaderInput::open(InputFile& input, const std::filesystem::path& file,
                                               const std::atomic<bool>& stop, Options options) {
  std::unique_ptr<ReaderInput> chosen(new ReaderInput(input, stop));
  chosen->mDebianData = findDebianData(input);
  if (chosen->mDebianData) {
    const DebianMember& data = *chosen->mDebianData;
    chosen->mRange = std::make_unique<FileRange>(input, data.offset, data.size, data.name);
  } else if (options.readsXzBlocks) {
    chosen->mRange = std::make_unique<FileRange>(input, 0, input.streamSize(), file.string());
  }
  if (!options.readsXzBlocks || !chosen->mRange) return chosen;

  // One block has nothing to skip or to share out: libarchive's own filter
  // reads it as fast.
  std::optional<std::vector<XzBlock>> blocks = readXzBlocks(*chosen->mRange, stop);
  if (!blocks || blocks->size() < 2) {
    if (!chosen->mDebianData) chosen->mRange.reset();
    return chosen;
  }
  try {
    chosen->mXzStream =
        std::make_unique<XzBlockStream>(*chosen->mRange, std::move(*blocks), stop, options.xz);
  } catch (const std::system_error&) {
    // No thread to decode on: libarchive decodes on its own.
    if (!chosen->mDebianData) chosen->mRange.reset();
  }
  return chosen;
}

int ReaderInput::filterCode(archive* reader) const {
  const int code = archive_filter_code(reader, 0);
  return mXzStream && code == ARCHIVE_FILTER_NONE ? ARCHIVE_FILTER_XZ : code;
}

void ReaderInput::attach(archive* reader) {
  if (mXzStream) {
    mXzStream->attach(reader);
  } else if (mRange) {
    mRange->attach(reader, mStop);
  } else {
    mInput.attach(reader, mStop);
  }
}

}  // namespace vexel::readers_internal
