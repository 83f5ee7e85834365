#!/usr/bin/env bash
# Baloo with the installed extractor plug-in: the build is installed into a
# temporary prefix, the program behind Dolphin's information panel shows
# the archive's facts, the real baloo_file indexes a folder of generated
# archives in a temporary home and D-Bus session, and baloosearch must find
# each archive by a name inside it (Chinese names with content=, which
# Baloo 5 needs for every file). Then hostile archives: a tar.bz2 whose
# first member is 64 GiB of zeros (skipping it takes many minutes; the
# listing stops at its time limit) and a ZIP of 2,000,000 files; Baloo must stay responsive, index a new archive
# after them, and nothing of ours may go on running in its extractor.
#
#   baloo_test.sh BUILD_DIR SOURCE_DIR INSTALL_DIR
# INSTALL_DIR: where the plug-in is installed below the prefix
# (Qt's plug-in folder, then kf5/kfilemetadata).
set -euo pipefail
build=$1
source=$2
install_dir=$3
tests=$(cd "$(dirname "$0")" && pwd)

source "$tests/temporary_install.sh"
source "$tests/search_archives.sh"
require_tools "scripts/install-deps.sh desktop" baloo_file baloosearch balooctl dbus-run-session \
  baloo_filemetadata_temp_extractor bsdtar zip python3
start_temporary_install vexel-baloo

# VEXEL_INSTALLED_PREFIX: an installation to test instead of the build's
# (the package test's, unpacked).
if [[ -n ${VEXEL_INSTALLED_PREFIX:-} ]]; then
  prefix=$VEXEL_INSTALLED_PREFIX
else
  prefix="$work/vexel prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi
[[ -f $prefix/$install_dir/kfilemetadata_vexelextractor.so ]] ||
  fail "the plug-in was not installed into $install_dir"
# Its lister, in libexec below the same prefix.
lister=$(find "$prefix" -path '*/vexel/vexel-lister' -type f)
[[ -n $lister && -x $lister ]] || fail "vexel-lister was not installed under $prefix"
lister=$(realpath "$lister")

home=$work/home
make_search_archives "$home/archives" "$work/src"
mkdir -p "$home/.config" "$work/runtime"
chmod 700 "$work/runtime"
cat >"$home/.config/baloofilerc" <<CONFIG
[Basic Settings]
Indexing-Enabled=true

[General]
folders[\$e]=$home/archives/
only basic indexing=false
CONFIG

# Inside the session: Baloo finds the plug-in through QT_PLUGIN_PATH, as
# under any prefix other than Qt's own; the extractor needs no display.
cat >"$work/session.sh" <<'SESSION'
set -euo pipefail
source "$TESTS/temporary_install.sh"
source "$TESTS/search_archives.sh"
# indexed COUNT: waits until Baloo has indexed COUNT files, contents too.
indexed() {
  local status total waiting
  for _ in $(seq 240); do
    status=$(balooctl status 2>/dev/null || true)
    total=$(sed -n 's/^Total files indexed: //p' <<<"$status")
    waiting=$(sed -n 's/^Files waiting for content indexing: //p' <<<"$status")
    [[ ${total:-0} -ge $1 && $waiting == 0 ]] && return 0
    sleep 0.5
  done
  fail "Baloo did not index $1 files within 120 s: $status"
}
# found QUERY: the files baloosearch finds, one a line, sorted.
found() {
  baloosearch "$1" 2>/dev/null | grep '^/' | sort || true
}
# The extractor's program, wherever this Baloo has it.
extractors=(/usr/lib/*/libexec/baloo_file_extractor /usr/libexec/baloo_file_extractor /usr/bin/baloo_file_extractor)
baloo_file 2>"$WORK/baloo.log" &
baloo=$!
# Baloo does not end with the session bus: stop it, and its extractor, here.
stop_baloo() {
  kill $(pgrep -P "$baloo") "$baloo" 2>/dev/null || true
  wait "$baloo" 2>/dev/null || true
}
trap stop_baloo EXIT
archives=$(find "$HOME/archives" -type f | wc -l)
indexed $((archives + 1))   # the folder itself is a file to Baloo
for i in "${!words[@]}"; do
  got=$(found "${words[$i]}")
  [[ $got == "$HOME/archives/${names[$i]}" ]] ||
    fail "baloosearch ${words[$i]}: expected ${names[$i]}, got: ${got:-nothing}"
done
got=$(found "content=$chinese_word")
expected=$(printf "$HOME/archives/%s\n" "${chinese_names[@]}" | sort)
[[ $got == "$expected" ]] || fail "baloosearch content=$chinese_word: expected $expected, got: ${got:-nothing}"
got=$(found "content=$gbk_word")
[[ $got == "$HOME/archives/$gbk_name" ]] || fail "baloosearch content=$gbk_word: got ${got:-nothing}"
# The facts for the information panel are not words of the file.
for word in 压缩包 字节 content=压缩包; do
  got=$(found "$word")
  [[ -z $got ]] || fail "baloosearch $word found: $got"
done
# What balooshow holds for one archive: the facts as Description.
balooshow -x "$HOME/archives/a.zip" 2>/dev/null | grep -q 'Description: ZIP 压缩包 · 2 个文件 · 1 个文件夹' ||
  fail "balooshow a.zip: $(balooshow -x "$HOME/archives/a.zip" 2>&1)"
echo "baloosearch found ${#words[@]} archives by the names inside them"

# VEXEL_SEARCH_ONLY=1 (the package test): no hostile archives.
[[ ${VEXEL_SEARCH_ONLY:-} == 1 ]] && exit 0

# Hostile archives, one at a time: each must leave Baloo's processes idle
# at once, nothing of ours still running in them, no child of theirs and
# no fork of the extractor.
count=$((archives + 1))
# The archives are listed by our sandboxed lister, a child of the extractor,
# never in the extractor itself: one is seen while the bzip2 bomb is listed.
(
  for _ in $(seq 150); do
    [[ -n $(processes_of "$LISTER") ]] && { touch "$WORK/lister-seen"; exit 0; }
    sleep 0.2
  done
) &
watcher=$!
for hostile in zeros-64g.tar.bz2 wide-2m.zip; do
  cp "$HOSTILE/$hostile" "$HOME/archives/"
  started=$SECONDS
  indexed $((count += 1))
  echo "Baloo indexed $hostile in $((SECONDS - started)) s"
  # Baloo ends its extractor when no file is left; any that is still there
  # (or a fork of it) must be at rest, with no child but our warm lister,
  # itself at rest.
  expect_quiet "$baloo" "baloo_file after $hostile"
  for extractor in $(processes_of "${extractors[@]}"); do
    expect_quiet "$extractor" "the extractor after $hostile" may-end
    expect_alone "$extractor" "after $hostile"
    for child in $(pgrep -P "$extractor" || true); do
      [[ $(readlink "/proc/$child/exe" 2>/dev/null) == "$LISTER" ]] ||
        fail "the extractor has a child after $hostile: $(ps -o args= -p "$child" || true)"
      expect_quiet "$child" "the lister after $hostile" may-end
    done
  done
done
wait "$watcher" || true
[[ -e $WORK/lister-seen ]] || fail "no vexel-lister ran while Baloo listed the hostile archives"
for lister in $(processes_of "$LISTER"); do
  [[ $(ps -o ppid= -p "$lister" | tr -d ' ') != 1 ]] || fail "an orphaned vexel-lister: $lister"
done
# Then an ordinary archive is indexed as before.
printf 'x\n' >"$WORK/aftermember.txt"
(cd "$WORK" && zip -q after.zip aftermember.txt) && mv "$WORK/after.zip" "$HOME/archives/"
indexed $((count += 1))
got=$(found aftermember)
[[ $got == "$HOME/archives/after.zip" ]] || fail "after the hostile archives: baloosearch aftermember: ${got:-nothing}"
echo "Baloo stayed responsive after the hostile archives"
SESSION

hostile=${VEXEL_HOSTILE_DIR:-$work/hostile}
mkdir -p "$hostile"
for kind in bzip2-bomb:zeros-64g.tar.bz2 wide-zip:wide-2m.zip; do
  [[ ${VEXEL_SEARCH_ONLY:-} == 1 || -s $hostile/${kind#*:} ]] ||
    python3 "$source/bench/make_hostile.py" "${kind%%:*}" "$hostile/${kind#*:}"
done

# Dolphin's information panel and tooltips show what
# baloo_filemetadata_temp_extractor gives for a file Baloo has not indexed:
# the Description, among properties it writes as a Qt data stream (strings
# in UTF-16).
QT_PLUGIN_PATH="$prefix/${install_dir%/kf5/kfilemetadata}" QT_QPA_PLATFORM=offscreen \
  baloo_filemetadata_temp_extractor "$home/archives/a.zip" 2>/dev/null >"$work/panel.bin" ||
  fail "baloo_filemetadata_temp_extractor failed on a.zip"
python3 - "$work/panel.bin" <<'PYTHON' || fail "the information panel gets no Description for a.zip"
import sys
data = open(sys.argv[1], "rb").read()
wanted = "ZIP 压缩包 · 2 个文件 · 1 个文件夹 · 原始大小 4 字节".encode("utf-16-be")
sys.exit(0 if wanted in data else 1)
PYTHON

declare -p words names chinese_names chinese_word gbk_word gbk_name >"$work/archives.sh"
(
  cd "$home"
  export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
    XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=offscreen \
    QT_PLUGIN_PATH="$prefix/${install_dir%/kf5/kfilemetadata}" TESTS=$tests WORK=$work HOSTILE=$hostile \
    LISTER=$lister \
    VEXEL_SEARCH_ONLY=${VEXEL_SEARCH_ONLY:-}
  timeout 600 dbus-run-session -- bash -c 'source "$WORK/archives.sh"; source "$WORK/session.sh"'
) || fail "in the Baloo session; its log ends: $(tail -5 "$work/baloo.log" 2>/dev/null)"
