#include "host/host_usage.h"

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>

namespace vexel::platform {
namespace {

void write(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

void prepareHostProcess() { setenv("TZ", ":/etc/localtime", /*overwrite=*/0); }

namespace {

bool isUnderAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

// mappedBytes: the process's mapped memory; 0 when it cannot be read.
unsigned long long mappedBytes() {
  unsigned long long pages = 0;
  if (!(std::ifstream("/proc/self/statm") >> pages)) return 0;
  return pages * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
}

// lowerAddressLimit: the soft limit set to what is mapped now plus `slack`,
// unless it is that low already; the soft limit before, or nothing.
std::optional<rlim_t> lowerAddressLimit(unsigned long long slack) {
  if (isUnderAddressSanitizer()) return std::nullopt;
  const unsigned long long mapped = mappedBytes();
  rlimit limit{};
  if (mapped == 0 || ::getrlimit(RLIMIT_AS, &limit) != 0) return std::nullopt;
  const auto wanted = static_cast<rlim_t>(mapped + slack);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur <= wanted) return std::nullopt;
  const rlim_t previous = limit.rlim_cur;
  limit.rlim_cur = wanted;
  if (::setrlimit(RLIMIT_AS, &limit) != 0) return std::nullopt;
  return previous;
}

}  // namespace

void boundListingHost() { (void)lowerAddressLimit(kListingAddressSlack); }

AddressSpaceBound::AddressSpaceBound(unsigned long long bytes) {
  if (const auto previous = lowerAddressLimit(bytes)) {
    mPrevious = *previous;
    mIsSet = true;
  }
}

AddressSpaceBound::~AddressSpaceBound() {
  rlimit limit{};
  if (!mIsSet || ::getrlimit(RLIMIT_AS, &limit) != 0) return;
  limit.rlim_cur = static_cast<rlim_t>(mPrevious);
  (void)::setrlimit(RLIMIT_AS, &limit);
}

void endListingHost(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(status);
}

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
