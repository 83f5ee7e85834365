#include "readers/archive_error.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace vexel {
namespace {

std::string textOf(ArchiveError::Kind kind, const std::string& payload) {
  switch (kind) {
    case ArchiveError::Kind::toolMissing:
      return "找不到 " + payload + "，无法继续。";
    case ArchiveError::Kind::readOnly:
    case ArchiveError::Kind::failed:
      return payload;
    case ArchiveError::Kind::passwordRequired:
      return "密码不正确，或者需要输入密码。";
    case ArchiveError::Kind::cancelled:
      return "已取消。";
    case ArchiveError::Kind::notArchive:
      return "无法打开：这不是压缩包，或者文件已经损坏。";
  }
  return payload;
}

}  // namespace

ArchiveError::ArchiveError(Kind kind, std::string payload)
    : mKind(kind), mPayload(std::move(payload)), mMessage(textOf(mKind, mPayload)) {}

ArchiveError ArchiveError::toolMissing(std::string name) {
  return {Kind::toolMissing, std::move(name)};
}
ArchiveError ArchiveError::readOnly(std::string message) {
  return {Kind::readOnly, std::move(message)};
}
ArchiveError ArchiveError::failed(std::string message) {
  return {Kind::failed, std::move(message)};
}
ArchiveError ArchiveError::passwordRequired() { return {Kind::passwordRequired, {}}; }
ArchiveError ArchiveError::cancelled() { return {Kind::cancelled, {}}; }
ArchiveError ArchiveError::notArchive() { return {Kind::notArchive, {}}; }

ArchiveError ArchiveError::cannotRead(std::string_view readerMessage) {
  if (readerMessage.empty()) return failed("无法读取压缩包。");
  return failed("无法读取压缩包：" + std::string(readerMessage));
}

ArchiveError ArchiveError::notRegularFile(FileType type) {
  std::string_view what = "特殊文件";
  switch (type) {
    case FileType::directory:
      what = "文件夹";
      break;
    case FileType::fifo:
      what = "命名管道";
      break;
    case FileType::device:
      what = "设备";
      break;
    case FileType::socket:
      what = "套接字";
      break;
    case FileType::other:
      break;
  }
  return failed("无法读取压缩包：这不是普通文件，而是" + std::string(what) + "。");
}

ArchiveError ArchiveError::outOfMemory() { return failed("无法读取压缩包：内存不足。"); }

ArchiveError ArchiveError::firstVolumeNeeded(std::string_view firstVolumeName) {
  return failed("无法读取压缩包：这是分卷压缩包的一部分，需要同一文件夹中的第一个分卷 " +
                std::string(firstVolumeName) + "。");
}

ArchiveError ArchiveError::volumeMissing(std::string_view volumeName) {
  return failed("无法读取压缩包：缺少分卷 " + std::string(volumeName) + "。");
}

ArchiveError ArchiveError::cannotStart(std::string_view programName,
                                       std::string_view systemDescription) {
  return failed("无法启动 " + std::string(programName) + "：" + std::string(systemDescription));
}

ArchiveError ArchiveError::unsafeEntry(UnsafeEntry why, std::string_view path,
                                       std::string_view other) {
  const std::string name = "条目“" + std::string(path) + "”";
  std::string what;
  switch (why) {
    case UnsafeEntry::absolutePath:
      what = name + "是绝对路径";
      break;
    case UnsafeEntry::leavesDestination:
      what = name + "指向解压位置之外";
      break;
    case UnsafeEntry::noName:
      // A name that cleans to nothing ("./") is shown as stored; an empty one is not shown.
      what = "压缩包里有没有名字的文件或链接";
      if (!path.empty()) what += "（“" + std::string(path) + "”）";
      break;
    case UnsafeEntry::beneathLink:
      what = name + "位于链接“" + std::string(other) + "”之下";
      break;
    case UnsafeEntry::clashes:
      what = other.empty() ? name + "既是文件又是文件夹"
                           : name + "位于文件“" + std::string(other) + "”之下";
      break;
  }
  return failed("为了安全，没有解压：" + what + "。");
}

ArchiveError ArchiveError::tooLargeToCheck(CheckBound bound) {
  switch (bound) {
    case CheckBound::time:
      return failed("没有解压：无法在 10 秒内检查完这个压缩包里的条目。");
    case CheckBound::entries:
      return failed("没有解压：压缩包里的条目超过 1,500,000 个。");
    case CheckBound::names:
      return failed("没有解压：压缩包里的名字太多太长（超过 128 MiB）。");
    case CheckBound::memory:
      return failed("没有解压：检查这个压缩包里的条目需要超过 256 MiB 内存。");
  }
  return failed("没有解压。");
}

ArchiveError ArchiveError::folderFailure(FolderStep step, std::string_view path, int errorNumber) {
  const std::string quoted = "“" + std::string(path) + "”";
  std::string what;
  switch (step) {
    case FolderStep::open:
      what = "无法打开文件夹" + quoted;
      break;
    case FolderStep::makeIn:
      what = "无法在" + quoted + "里创建文件夹";
      break;
    case FolderStep::read:
      what = "无法读取" + quoted;
      break;
    case FolderStep::placeAt:
      what = "无法把解压出的内容移到" + quoted;
      break;
  }
  return failed(what + "：" + std::strerror(errorNumber));
}

ArchiveError ArchiveError::cannotWrite(std::string_view path, int errorNumber) {
  if (errorNumber == ENOSPC || errorNumber == EDQUOT) return failed("磁盘空间不足，没有解压。");
  return failed("无法写入“" + std::string(path) + "”：" + std::strerror(errorNumber));
}

ArchiveError ArchiveError::toolFailed(std::string_view tool, int status) {
  return failed(std::string(tool) + " 运行失败（退出码 " + std::to_string(status) + "）。");
}

}  // namespace vexel
