// archive_writer.h: tar and ZIP archives of any shape, written by python3's
// tarfile and zipfile: hostile names, links, devices and modes that the
// archivers on the machine refuse to write.
//
//   ASSERT_EQ(test::run(test::archiveCommand(dir / "evil.tar", {"l:q:../x", "f:a.txt:hello"})), 0);
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/command.h"

namespace vexel::test {

// archiveCommand: the shell command that writes `archive` holding
// `members`, each "KIND:NAME[:ARG[:MODE]]": f a file holding ARG ("x" when
// there is none), d a
// folder, l a symbolic link to ARG, h a hard link to ARG, c and b devices,
// p a named pipe; MODE in octal. The type follows the name: .zip (links
// hold their target as data, as ZIP stores them), .tar, .tar.gz/.tgz,
// .tar.xz, .tar.bz2, and .lz4 and .zst compressed afterwards by lz4 and
// zstd (so "evil.tar.lz4" can be renamed to look like a plain tar).
inline std::string archiveCommand(const std::filesystem::path& archive,
                                  const std::vector<std::string>& members) {
  constexpr const char* kWriter = R"(
import sys, io, stat, tarfile, zipfile
name, members = sys.argv[1], [(s + ':x' if s[0] == 'f' and s.count(':') == 1 else s).split(':', 3) for s in sys.argv[2:]]
def mode(s, default): return int(s[3], 8) if len(s) > 3 and s[3] else default
if name.endswith('.zip'):
  with zipfile.ZipFile(name, 'w') as z:
    for s in members:
      i = zipfile.ZipInfo(s[1] + ('/' if s[0] == 'd' else '')); i.create_system = 3
      kind = {'f': stat.S_IFREG, 'd': stat.S_IFDIR, 'l': stat.S_IFLNK}[s[0]]
      i.external_attr = (kind | mode(s, 0o755 if s[0] == 'd' else 0o644)) << 16
      z.writestr(i, s[2] if s[0] in 'fl' else '')
else:
  plain = name.rsplit('.', 1)[0] if name.endswith(('.lz4', '.zst')) else name
  kinds = {'gz': 'w:gz', 'tgz': 'w:gz', 'xz': 'w:xz', 'bz2': 'w:bz2'}
  with tarfile.open(plain, kinds.get(plain.rsplit('.', 1)[-1], 'w')) as t:
    for s in members:
      i = tarfile.TarInfo(s[1]); i.mtime = 1700000000
      types = {'d': tarfile.DIRTYPE, 'l': tarfile.SYMTYPE, 'h': tarfile.LNKTYPE,
               'c': tarfile.CHRTYPE, 'b': tarfile.BLKTYPE, 'p': tarfile.FIFOTYPE}
      if s[0] == 'f':
        data = s[2].encode(); i.size = len(data); i.mode = mode(s, 0o644)
        t.addfile(i, io.BytesIO(data)); continue
      i.type = types[s[0]]; i.mode = mode(s, 0o755 if s[0] == 'd' else 0o666)
      if s[0] in 'lh': i.linkname = s[2]
      if s[0] in 'cb': i.devmajor, i.devminor = 1, 3
      t.addfile(i)
)";
  std::string command =
      "python3 -c " + shellQuoted(std::string(kWriter)) + " " + shellQuoted(archive);
  for (const std::string& member : members) command += " " + shellQuoted(member);
  const std::filesystem::path plain = archive.parent_path() / archive.stem();
  if (archive.extension() == ".lz4") {
    command += " && lz4 -q --rm " + shellQuoted(plain) + " " + shellQuoted(archive);
  } else if (archive.extension() == ".zst") {
    command += " && zstd -q --rm " + shellQuoted(plain) + " -o " + shellQuoted(archive);
  }
  return command;
}

}  // namespace vexel::test
