// reader_input.h: what libarchive reads of an archive file.
//
// Usually the file itself (input_file.h). Two kinds of file are read
// otherwise:
//   - A Debian package: its data member, the tar of the files the package
//     installs (debian_package.h), stands for the package. Read it with the
//     tar format only, as dpkg-deb does.
//   - An .xz file of several blocks, alone or as that data member: libarchive
//     gets its uncompressed data, decompressed only where it reads and in
//     parallel where it reads on (xz_block_stream.h). libarchive then sees
//     no xz filter of its own: `filterCode` puts it back. Files of one block
//     keep libarchive's xz filter.
//
// Any libarchive reader loop can read a file this way (extraction too):
//
//   auto input = InputFile::open(path);
//   std::atomic<bool> stop{false};  // raised to end reading from another thread
//   auto source = ReaderInput::open(*input, path, stop, {});
//   ArchiveReader reader(archive_read_new());
//   enableBuiltInFilters(reader.get());
//   if (source->isDebianPackage()) archive_read_support_format_tar(reader.get());
//   else ...every format...
//   source->attach(reader.get());
//   archive_read_open1(reader.get());
//   ... archive_read_next_header, archive_read_data ...
//   reader.reset();  // the reader goes before `source`, which goes before `input`
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>

#include "debian_package.h"
#include "xz_block_stream.h"

struct archive;

namespace vexel::readers_internal {

class FileRange;
class InputFile;

// ReaderInput: the input of one libarchive reader. Non-owning of the file
// and the stop flag, which outlive it; it must outlive the reader.
class ReaderInput {
 public:
  // Options: whether and how multi-block .xz data is decompressed by blocks.
  struct Options {
    bool readsXzBlocks = true;  ///< false: libarchive's xz filter reads every .xz file
    XzStreamOptions xz;
  };

  // open: looks at `input` (the ar headers of a Debian package, an .xz
  // index) and chooses what the reader gets; `file` names the file in read
  // errors. Reads nothing more once `stop` is raised. Call on the thread
  // that will read.
  // @throws std::bad_alloc
  [[nodiscard]] static std::unique_ptr<ReaderInput> open(InputFile& input,
                                                         const std::filesystem::path& file,
                                                         const std::atomic<bool>& stop,
                                                         Options options);
  ~ReaderInput();
  ReaderInput(const ReaderInput&) = delete;
  ReaderInput& operator=(const ReaderInput&) = delete;

  // isDebianPackage: the reader gets the package's data member.
  [[nodiscard]] bool isDebianPackage() const noexcept { return mDebianData.has_value(); }
  [[nodiscard]] const std::optional<DebianMember>& debianData() const noexcept {
    return mDebianData;
  }
  // readsXzBlocks: the reader gets .xz data decompressed by blocks.
  [[nodiscard]] bool readsXzBlocks() const noexcept { return mXzStream != nullptr; }

  // filterCode: `archive_filter_code(reader, 0)` as if libarchive had
  // decompressed the .xz data itself.
  [[nodiscard]] int filterCode(archive* reader) const;

  // attach: makes this input the reader's, read from its start.
  void attach(archive* reader);

 private:
  ReaderInput(InputFile& input, const std::atomic<bool>& stop);

  InputFile& mInput;
  const std::atomic<bool>& mStop;
  std::optional<DebianMember> mDebianData;
  std::unique_ptr<FileRange> mRange;         // the data member, or the .xz file
  std::unique_ptr<XzBlockStream> mXzStream;  // reads from `mRange`, so declared after it
};

}  // namespace vexel::readers_internal
