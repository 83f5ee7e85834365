// host_usage.h: what the hosts (vexel-quicklook, vexel-mdimport,
// vexel-findersync, vexel-handoff), the stand-ins for the OS services that load the
// components, do alike: set up the process, answer --help and report usage
// errors.
//
//   int main(int argc, char** argv) {
//     vexel::platform::prepareHostProcess();
//     const vexel::platform::HostUsage usage{"vexel-mdimport", kUsageText};
//     if (argc < 2) return usage.error("no FILE given");        // exit status 2
//     if (HostUsage::isHelpOption(argv[1])) return usage.help();  // exit status 0
//
// Main thread only, before other threads start (it changes the environment).
#pragma once

#include <string_view>

namespace vexel::platform {

// prepareHostProcess: sets TZ to ":/etc/localtime" when it is unset. With TZ
// unset, glibc reads the zone file again on every local-time conversion,
// which libarchive makes once per ZIP entry: a 1,000,000-entry listing is
// several times slower. An explicit TZ, even empty, is left as it is.
void prepareHostProcess();

// HostUsage: one host's name and usage text (which ends in a line feed).
struct HostUsage {
  // kExitUsage: the exit status of every usage error.
  static constexpr int kExitUsage = 2;

  std::string_view program;  ///< "vexel-quicklook"
  std::string_view text;     ///< "usage: vexel-quicklook ...\n"

  // isHelpOption: "-h" or "--help".
  [[nodiscard]] static bool isHelpOption(std::string_view argument) noexcept;

  // help: prints the usage text on standard output; returns 0, the exit
  // status of a help request.
  [[nodiscard]] int help() const;

  // error: prints "program: problem" and the usage text on standard error;
  // returns kExitUsage.
  [[nodiscard]] int error(std::string_view problem) const;
};

}  // namespace vexel::platform
