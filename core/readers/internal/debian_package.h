// debian_package.h: where the files of a Debian package lie.
//
// A Debian package (.deb, .udeb) is an ar archive whose first member is
// "debian-binary", followed by control.tar.* and data.tar.* (and perhaps
// members of other tools, named "_..."). The files the package installs
// are the tar in its data member, compressed with xz, gzip, zstd, bzip2 or
// lzma, or not at all ("data.tar"). Only the ar headers are read here;
// libarchive reads the member itself (reader_input.h).
//
//   if (const auto data = findDebianData(*input)) list(FileRange(*input, data->offset, data->size,
//   data->name));
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vexel::readers_internal {

class InputFile;

// DebianMember: one member of a Debian package.
struct DebianMember {
  std::string name;         ///< as stored, without ar's padding ("data.tar.xz")
  std::int64_t offset = 0;  ///< where its bytes start in the file
  std::int64_t size = 0;    ///< as its header says (a cut file may hold fewer)
};

// kMaxDebianMembers: how many members are looked through for the data member.
inline constexpr int kMaxDebianMembers = 16;

// findDebianData: the data member of the Debian package `input` holds; nothing
// when it holds no Debian package (no ar archive, or "debian-binary" is not
// its first member), or no data member among its first `kMaxDebianMembers`.
[[nodiscard]] std::optional<DebianMember> findDebianData(InputFile& input);

}  // namespace vexel::readers_internal
