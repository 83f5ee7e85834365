#include "built_in_filters.h"

#include <archive.h>

#include <array>
#include <memory>

namespace vexel::readers_internal {

namespace {

struct Filter {
  std::string_view name;
  int (*enable)(archive*);
};

// Every filter `archive_read_support_filter_all` enables, in its order.
constexpr std::array<Filter, 13> kFilters = {{
    {"bzip2", archive_read_support_filter_bzip2},
    {"compress", archive_read_support_filter_compress},
    {"gzip", archive_read_support_filter_gzip},
    {"lzip", archive_read_support_filter_lzip},
    {"lzma", archive_read_support_filter_lzma},
    {"xz", archive_read_support_filter_xz},
    {"uu", archive_read_support_filter_uu},
    {"rpm", archive_read_support_filter_rpm},
    {"lrzip", archive_read_support_filter_lrzip},
    {"lzop", archive_read_support_filter_lzop},
    {"grzip", archive_read_support_filter_grzip},
    {"lz4", archive_read_support_filter_lz4},
    {"zstd", archive_read_support_filter_zstd},
}};

struct ReadFree {
  void operator()(archive* reader) const noexcept { archive_read_free(reader); }
};

// Enabling reports ARCHIVE_OK for a filter decoded in process and
// ARCHIVE_WARN ("Using external ... program") for one that runs a program.
// Nothing runs until a reader meets such data, so the scratch reader is safe.
std::array<bool, kFilters.size()> probeBuiltIn() {
  std::array<bool, kFilters.size()> builtIn{};
  for (std::size_t i = 0; i < kFilters.size(); ++i) {
    const std::unique_ptr<archive, ReadFree> scratch(archive_read_new());
    builtIn[i] = scratch && kFilters[i].enable(scratch.get()) == ARCHIVE_OK;
  }
  return builtIn;
}

const std::array<bool, kFilters.size()>& builtIn() {
  static const std::array<bool, kFilters.size()> probed = probeBuiltIn();
  return probed;
}

}  // namespace

void enableBuiltInFilters(archive* reader) {
  for (std::size_t i = 0; i < kFilters.size(); ++i) {
    if (builtIn()[i]) kFilters[i].enable(reader);
  }
}

std::vector<std::string_view> builtInFilterNames() {
  std::vector<std::string_view> names;
  for (std::size_t i = 0; i < kFilters.size(); ++i) {
    if (builtIn()[i]) names.push_back(kFilters[i].name);
  }
  return names;
}

}  // namespace vexel::readers_internal
