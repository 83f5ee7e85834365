#include "host/host_usage.h"

#include <stdlib.h>

#include <cstdio>

namespace vexel::platform {
namespace {

void write(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

void prepareHostProcess() { setenv("TZ", ":/etc/localtime", /*overwrite=*/0); }

bool HostUsage::isHelpOption(std::string_view argument) noexcept {
  return argument == "-h" || argument == "--help";
}

int HostUsage::help() const {
  write(stdout, text);
  std::fflush(stdout);
  return 0;
}

int HostUsage::error(std::string_view problem) const {
  write(stderr, program);
  write(stderr, ": ");
  write(stderr, problem);
  write(stderr, "\n");
  write(stderr, text);
  return kExitUsage;
}

}  // namespace vexel::platform
