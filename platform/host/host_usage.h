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

// boundListingHost: for a host that lists archives in its own process (the
// preview and the importer, started for one request): the process is the
// listing's boundary, so its address space is limited to what it has mapped
// now plus `kListingAddressSlack`, and one allocation a hostile header asks
// for beyond that fails at once. Not under AddressSanitizer, whose shadow
// memory is a reservation of terabytes; a lower limit is kept. Programs the
// host starts inherit the limit: a host that starts archivers must not call it.
void boundListingHost();
inline constexpr unsigned long long kListingAddressSlack = 896ULL << 20;

// AddressSpaceBound: while it lives, the process may map at most `bytes`
// beyond what it maps now (the soft RLIMIT_AS), so an allocation past that
// fails at once, however large the request; the limit before comes back
// after. For a step of a host that starts no program meanwhile (programs
// inherit the limit). Nothing under AddressSanitizer.
class AddressSpaceBound {
 public:
  explicit AddressSpaceBound(unsigned long long bytes);
  ~AddressSpaceBound();
  AddressSpaceBound(const AddressSpaceBound&) = delete;
  AddressSpaceBound& operator=(const AddressSpaceBound&) = delete;

 private:
  unsigned long long mPrevious = 0;
  bool mIsSet = false;
};

// endListingHost: flushes the standard streams and ends the process with
// `status`, running no destructor and no exit handler: a reader left behind
// at the deadline may still be inside libarchive on its thread, and must
// not meet a library or a heap being torn down under it.
[[noreturn]] void endListingHost(int status);

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
