#!/usr/bin/env bash
# Recoll with the installed filter, set up exactly as the README says: the
# build is installed into a temporary prefix whose name has a space, the
# README's commands run with that prefix and a temporary home, and recollq
# must then find each generated archive by the names inside it.
#
#   recoll_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2

source "$(dirname "$0")/temporary_install.sh"
require_tools "scripts/install-deps.sh desktop" recollindex recollq bsdtar python3
start_temporary_install vexel-recoll

prefix="$work/vexel prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# Archives: each holds a file whose name is a word of its own, and the same
# Chinese name; the word tells which archive a hit must be.
home=$work/home
src=$work/src
mkdir -p "$home/archives" "$src/项目"
printf 'x\n' >"$src/项目/项目计划书.txt"
make_archive() {  # WORD NAME COMMAND...: COMMAND runs in a folder holding 项目/
  local word=$1 name=$2
  shift 2
  printf 'x\n' >"$src/项目/${word}.txt"
  (cd "$src" && "$@" "$home/archives/$name" 项目) || fail "could not make $name"
  rm "$src/项目/${word}.txt"
}
make_archive zipmember sample.zip bsdtar --format zip -cf
make_archive jarmember sample.jar bsdtar --format zip -cf
make_archive tarmember plain.tar bsdtar -cf
make_archive targzmember a.tar.gz bsdtar -czf
make_archive tgzmember b.tgz bsdtar -czf
make_archive tarbzmember c.tar.bz2 bsdtar -cjf
make_archive tbzmember d.tbz bsdtar -cjf
make_archive tbztwomember e.tbz2 bsdtar -cjf
make_archive tarxzmember f.tar.xz bsdtar -cJf
make_archive txzmember g.txz bsdtar -cJf
make_archive tarlzmamember h.tar.lzma bsdtar --lzma -cf
make_archive cpiomember i.cpio bsdtar --format cpio -cf
make_archive isomember j.iso bsdtar --format iso9660 -cf
make_archive tarzmember l.tar.Z bsdtar -cZf
words=(zipmember jarmember tarmember targzmember tgzmember tarbzmember tbzmember tbztwomember
  tarxzmember txzmember tarlzmamember cpiomember isomember tarzmember)
names=(sample.zip sample.jar plain.tar a.tar.gz b.tgz c.tar.bz2 d.tbz e.tbz2 f.tar.xz g.txz
  h.tar.lzma i.cpio j.iso l.tar.Z)
if command -v zstd >/dev/null; then
  make_archive tarzstmember k.tar.zst bsdtar --zstd -cf
  words+=(tarzstmember) names+=(k.tar.zst)
fi
if command -v 7zz >/dev/null; then
  make_archive sevenzipmember sample.7z 7zz a -bd -bso0
  words+=(sevenzipmember) names+=(sample.7z)
  # A 7z split into 1 KiB volumes: the first one stands for the whole set.
  head -c 3000 /dev/urandom >"$src/项目/noise.bin"
  make_archive splitmember split.7z 7zz a -bd -bso0 -v1k
  rm "$src/项目/noise.bin"
  [[ -f $home/archives/split.7z.003 ]] || fail "7zz made no volumes"
  words+=(splitmember) names+=(split.7z.001)
fi
# A tar in a plain .gz reaches the filter after Recoll uncompressed it, and
# a compressed text file stays Recoll's.
make_archive gzmember backup.gz sh -c 'bsdtar -cf - "$2" | gzip >"$1"' sh
words+=(gzmember) names+=(backup.gz)
printf 'plainwords\n' | gzip >"$home/archives/notes.txt.gz"
words+=(plainwords) names+=(notes.txt.gz)
printf 'not an archive\n' >"$home/archives/broken.zip"

# The README's commands, with this prefix.
commands=$(awk '
  /^    prefix=\/usr\/local/ { inside = 1 }
  inside && /^$/ { exit }
  inside { sub(/^    /, ""); print }' "$source/README.md")
[[ $commands == *recollindex* ]] || fail "no Recoll commands found in README.md"
commands=$(printf '%s\n' "$commands" | sed "1s|^prefix=/usr/local|prefix=\"$prefix\"|")
(
  cd "$home"
  export HOME=$home
  unset RECOLL_CONFDIR
  # recollindex logs to standard error; the filter's own errors land there.
  bash -euc "$commands" >"$work/index.log" 2>&1
) || fail "the README's commands failed: $(tail -20 "$work/index.log")"
if grep -q RECFILTERROR "$work/index.log"; then
  fail "a filter failed: $(grep RECFILTERROR "$work/index.log")"
fi

query() {
  HOME=$home recollq -b "$1" 2>/dev/null | sed 's|^file://||' | sort
}
for i in "${!words[@]}"; do
  found=$(query "${words[$i]}")
  [[ $found == "$home/archives/${names[$i]}" ]] ||
    fail "recollq ${words[$i]}: expected ${names[$i]}, got: ${found:-nothing}"
done
chinese=$(query 项目计划书)
for name in "${names[@]}"; do
  [[ $name == notes.txt.gz ]] && continue
  grep -qx "$home/archives/$name" <<<"$chinese" || fail "recollq 项目计划书 misses $name: $chinese"
done
echo "recollq found ${#names[@]} files by the names inside them"
