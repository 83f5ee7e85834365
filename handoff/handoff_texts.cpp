#include "handoff/handoff_texts.h"

namespace vexel::handoff_texts {
namespace {

std::string quoted(const std::filesystem::path& path) { return "“" + path.string() + "”"; }

}  // namespace

std::string notEnoughSpace(std::string_view needed, std::string_view available,
                           const std::filesystem::path& folder) {
  return "磁盘空间不足，没有解压：解压出的文件共 " + std::string(needed) + "，而" + quoted(folder) +
         "所在的磁盘只剩 " + std::string(available) + "。";
}

std::string noPrivateFolder(const std::filesystem::path& folder) {
  return "为了安全，没有解压：" + quoted(folder) +
         "可以被其他用户改动，而且找不到只属于你的临时文件夹给 7-Zip 使用。";
}

std::string onlyLeftOut(std::int64_t linksLeftOut, std::int64_t specialsLeftOut) {
  std::string what;
  if (linksLeftOut > 0) what = " " + std::to_string(linksLeftOut) + " 个指向解压位置之外的链接";
  if (specialsLeftOut > 0) {
    what += (what.empty() ? " " : "和 ") + std::to_string(specialsLeftOut) +
            " 个设备文件、管道或套接字";
  }
  return "为了安全，没有解压：压缩包里只有" + what + "。";
}

std::string extractedTo(const std::filesystem::path& placed, std::int64_t linksLeftOut,
                        std::int64_t specialsLeftOut) {
  std::string body = "到" + quoted(placed);
  if (linksLeftOut > 0) {
    body += "\n为了安全，" + std::to_string(linksLeftOut) + " 个指向解压位置之外的链接没有解压。";
  }
  if (specialsLeftOut > 0) {
    body += "\n" + std::to_string(specialsLeftOut) + " 个设备文件、管道或套接字没有解压。";
  }
  return body;
}

}  // namespace vexel::handoff_texts
