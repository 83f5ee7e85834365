// archive_error.h: the archive core's one error type and its user texts.
//
// Every failure that leaves the core is an `ArchiveError`: one of six cases,
// an optional payload and the Simplified Chinese text the user sees. All
// user-visible texts of the core are defined in archive_error.cpp. What an
// external archiver's output stands for is judged beside the archiver
// (`classifyRun` in archiver/run_result.h).
//
//   try { auto listing = vexel::ExtensionArchive::list(file, 3.0); }
//   catch (const vexel::ArchiveError& error) { show(error.message()); }
//
// Values are immutable and may be shared between threads.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace vexel {

// ArchiveError: the case, its payload and its text. `what()` returns the
// same text as `message()`.
class ArchiveError final : public std::exception {
 public:
  // Kind: the six cases, in their documented order.
  enum class Kind {
    toolMissing,       ///< the external archiver cannot be found; payload: its name
    readOnly,          ///< a read-only failure; payload: the whole message
    failed,            ///< any other failure; payload: the whole message
    passwordRequired,  ///< a password is needed, or the one given is wrong
    cancelled,         ///< cancelled through a task handle
    notArchive,        ///< not an archive, or damaged
  };

  [[nodiscard]] static ArchiveError toolMissing(std::string name);
  [[nodiscard]] static ArchiveError readOnly(std::string message);
  [[nodiscard]] static ArchiveError failed(std::string message);
  [[nodiscard]] static ArchiveError passwordRequired();
  [[nodiscard]] static ArchiveError cancelled();
  [[nodiscard]] static ArchiveError notArchive();

  // cannotRead: `failed` for a reader failure: "无法读取压缩包：" and the
  // reader's message, or "无法读取压缩包。" when there is no message.
  [[nodiscard]] static ArchiveError cannotRead(std::string_view readerMessage);
  // FileType: what a path names when it is no regular file.
  enum class FileType { directory, fifo, device, socket, other };
  // notRegularFile: `failed` for a path that names no regular file, which a
  // listing never reads: "无法读取压缩包：这不是普通文件，而是" + the type +
  // "。" (folder, named pipe, device, socket or special file).
  [[nodiscard]] static ArchiveError notRegularFile(FileType type);
  // outOfMemory: `failed` for a listing that ran out of memory:
  // "无法读取压缩包：内存不足。".
  [[nodiscard]] static ArchiveError outOfMemory();
  // firstVolumeNeeded: `failed` for a volume of a split archive whose first
  // volume is not beside it: "无法读取压缩包：这是分卷压缩包的一部分，需要同一
  // 文件夹中的第一个分卷 " + its file name + "。".
  [[nodiscard]] static ArchiveError firstVolumeNeeded(std::string_view firstVolumeName);
  // volumeMissing: `failed` for a split archive that cannot be read without
  // a volume that is missing: "无法读取压缩包：缺少分卷 " + its file name + "。".
  [[nodiscard]] static ArchiveError volumeMissing(std::string_view volumeName);
  // cannotStart: `failed` for a program that could not be started:
  // "无法启动 " + program file name + "：" + the system's description.
  [[nodiscard]] static ArchiveError cannotStart(std::string_view programName,
                                                std::string_view systemDescription);

  // UnsafeEntry: why an archive is not extracted at all.
  enum class UnsafeEntry {
    absolutePath,       ///< an entry's path starts at the root
    leavesDestination,  ///< an entry's path climbs out with ".."
    noName,             ///< a file or link without a name, in the destination's own place
    beneathLink,        ///< an entry lies beneath a link of the archive (`other`)
    clashes,            ///< an entry is a file where a folder is (`other`), or the reverse
  };
  // unsafeEntry: `failed` for an archive refused before extraction:
  // "为了安全，没有解压：" + what is wrong with `path` + "。".
  [[nodiscard]] static ArchiveError unsafeEntry(UnsafeEntry why, std::string_view path,
                                                std::string_view other = {});
  // CheckBound: the bound that stopped the check before extraction.
  enum class CheckBound { time, entries, names, memory };
  // tooLargeToCheck: `failed` for an archive whose check did not finish
  // within its bounds: "没有解压：" + the bound + "。".
  [[nodiscard]] static ArchiveError tooLargeToCheck(CheckBound bound);
  // FolderStep: what the system refused with a work folder.
  enum class FolderStep { open, makeIn, read, placeAt };
  // folderFailure: `failed` with the system's description of `errorNumber`:
  // "无法打开文件夹“path”：", "无法在“path”里创建文件夹：", "无法读取“path”：",
  // "无法把解压出的内容移到“path”：".
  [[nodiscard]] static ArchiveError folderFailure(FolderStep step, std::string_view path,
                                                  int errorNumber);
  // cannotWrite: `failed` for an extraction the system refused:
  // "无法写入“" + path + "”：" + the system's description; a full disk
  // says so: "磁盘空间不足，没有解压。".
  [[nodiscard]] static ArchiveError cannotWrite(std::string_view path, int errorNumber);

  // toolFailed: `failed` for an external archiver that failed without a
  // word: "<tool> 运行失败（退出码 N）。".
  [[nodiscard]] static ArchiveError toolFailed(std::string_view tool, int status);

  [[nodiscard]] Kind kind() const noexcept { return mKind; }
  // payload: the name or message of the three cases that carry one; "" otherwise.
  [[nodiscard]] const std::string& payload() const noexcept { return mPayload; }
  // message: the user-visible text.
  [[nodiscard]] const std::string& message() const noexcept { return mMessage; }
  [[nodiscard]] const char* what() const noexcept override { return mMessage.c_str(); }

  // Equal when the case and the payload are equal.
  [[nodiscard]] bool operator==(const ArchiveError& other) const noexcept {
    return mKind == other.mKind && mPayload == other.mPayload;
  }

 private:
  ArchiveError(Kind kind, std::string payload);

  Kind mKind;
  std::string mPayload;
  std::string mMessage;
};

}  // namespace vexel
