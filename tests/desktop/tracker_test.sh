#!/usr/bin/env bash
# Tracker 3 with the installed extract module and rule: the build is
# installed into a temporary prefix, the real tracker-miner-fs-3 (which
# starts tracker-extract-3, under its seccomp sandbox) indexes a folder of
# generated archives in a temporary home and D-Bus session, with Tracker's
# own rules and ours in the rules folder, and `tracker3 search` and the
# query GNOME Files 43 makes must find each archive by a name inside it,
# Chinese ones included. Then hostile archives (64 GiB of zeros in a
# tar.bz2, a ZIP of 2,000,000 files): Tracker must stay responsive, index a new
# archive after them, and nothing of ours may go on running in its
# extractor.
#
#   tracker_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
tests=$(cd "$(dirname "$0")" && pwd)

source "$tests/temporary_install.sh"
source "$tests/search_archives.sh"
require_tools "scripts/install-deps.sh desktop" tracker3 dbus-run-session gsettings bsdtar zip python3
[[ -x /usr/libexec/tracker-miner-fs-3 && -x /usr/libexec/tracker-extract-3 ]] || {
  skip_unless_ci "tracker-miner-fs-3 or tracker-extract-3 is not installed (scripts/install-deps.sh desktop)"
}
start_temporary_install vexel-tracker

# VEXEL_INSTALLED_PREFIX: an installation to test instead of the build's
# (the package test's, unpacked).
if [[ -n ${VEXEL_INSTALLED_PREFIX:-} ]]; then
  prefix=$VEXEL_INSTALLED_PREFIX
else
  prefix="$work/vexel prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi
rule=$(find "$prefix" -name '*vexel*.rule' | head -n 1)
[[ -n $rule ]] || fail "no Tracker rule was installed"

# Tracker reads rules from one folder: its own, and ours beside them. A
# rule that names its module by file name (installed under /usr) finds it
# in the modules folder: then that is Tracker's own, and ours beside them.
rules=$work/rules
mkdir -p "$rules"
cp /usr/share/tracker3-miners/extract-rules/*.rule "$rules/"
cp "$rule" "$rules/"
module_path=$(sed -n 's/^ModulePath=//p' "$rule")
modules=""
if [[ $module_path != /* ]]; then
  modules=$work/modules
  mkdir -p "$modules"
  ln -s /usr/lib/*/tracker-miners-3.0/extract-modules/*.so "$modules/"
  ln -s "$(find "$prefix" -name "$module_path" | head -n 1)" "$modules/$module_path"
fi

home=$work/home
make_search_archives "$home/archives" "$work/src"
mkdir -p "$work/runtime" "$work/tmp"
chmod 700 "$work/runtime"

# The miner skips configured folders under TMPDIR, so TMPDIR is a folder
# of its own, apart from the indexed one.
cat >"$work/session.sh" <<'SESSION'
set -euo pipefail
source "$TESTS/temporary_install.sh"
source "$TESTS/search_archives.sh"
# sparql QUERY: the query's rows from the miner's store.
sparql() {
  tracker3 sparql --dbus-service org.freedesktop.Tracker3.Miner.Files -q "$1" 2>/dev/null
}
# extracted COUNT: waits until COUNT files of the folder have been through
# the extractor (done or failed, Tracker marks each with the rule's hash).
extracted() {
  local count=0
  for _ in $(seq 240); do
    count=$(sparql "SELECT (COUNT(DISTINCT ?f) AS ?n) WHERE { ?f a nfo:FileDataObject ; nie:url ?u ;
        tracker:extractorHash ?h . FILTER (STRSTARTS(?u, \"file://$HOME/archives/\")) }" |
      sed -n 's/^ *\([0-9][0-9]*\)$/\1/p' | head -n 1)
    [[ ${count:-0} -ge $1 ]] && return 0
    sleep 0.5
  done
  fail "Tracker extracted ${count:-0} of $1 files within 120 s"
}
# found WORD: the files `tracker3 search` finds, one path a line, sorted.
found() {
  tracker3 search --disable-color --disable-snippets -f "$1" 2>/dev/null |
    sed -n 's|^ *file://||p' | python3 -c 'import sys, urllib.parse
for line in sys.stdin: print(urllib.parse.unquote(line.strip()))' | sort
}
# files_finds WORD: the files the search of GNOME Files 43 finds (its
# full-text query, as nautilus-search-engine-tracker.c makes it).
files_finds() {
  sparql "SELECT DISTINCT ?url WHERE {
      ?file a nfo:FileDataObject ; nie:url ?url .
      { ?content nie:isStoredAs ?file . ?content fts:match \"$1*\" }
      UNION { ?file nfo:fileName ?filename . FILTER(fn:contains(fn:lower-case(?filename), \"$1\")) }
    }" | sed -n 's|^ *file://||p' | python3 -c 'import sys, urllib.parse
for line in sys.stdin: print(urllib.parse.unquote(line.strip()))' | sort
}
# tracker_processes: the miner and the extractor of this session.
tracker_processes() {
  processes_of /usr/libexec/tracker-miner-fs-3 /usr/libexec/tracker-extract-3
}
tracker3 status >/dev/null 2>&1 || true   # starts the miner
archives=$(find "$HOME/archives" -type f | wc -l)
extracted "$archives"
for i in "${!words[@]}"; do
  got=$(found "${words[$i]}")
  [[ $got == "$HOME/archives/${names[$i]}" ]] ||
    fail "tracker3 search ${words[$i]}: expected ${names[$i]}, got: ${got:-nothing}"
done
expected=$(printf "$HOME/archives/%s\n" "${chinese_names[@]}" | sort)
got=$(found "$chinese_word")
[[ $got == "$expected" ]] || fail "tracker3 search $chinese_word: expected $expected, got: ${got:-nothing}"
got=$(files_finds "$chinese_word")
[[ $got == "$expected" ]] || fail "GNOME Files' query for $chinese_word: expected $expected, got: ${got:-nothing}"
got=$(found "$gbk_word")
[[ $got == "$HOME/archives/$gbk_name" ]] || fail "tracker3 search $gbk_word: got ${got:-nothing}"
# The archives are nfo:Archive, with their uncompressed size.
got=$(sparql "SELECT ?size WHERE { ?c nie:isStoredAs ?f ; a nfo:Archive ; nfo:uncompressedSize ?size .
    ?f nie:url \"file://$HOME/archives/a.zip\" }" | sed -n 's/^ *\([0-9][0-9]*\)$/\1/p')
[[ $got == 4 ]] || fail "a.zip: nfo:uncompressedSize is ${got:-missing}, expected 4"
echo "tracker3 search found ${#words[@]} archives by the names inside them"

# A ZIP whose paths make 2.4 MB of text: Tracker keeps whole lines within
# its max-bytes (1 MiB by default).
python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for i in range(40000): z.writestr("folder/a-rather-long-file-name-number-%08d.txt" % i, "")' \
  "$HOME/archives/long.zip"
extracted $((archives += 1))
got=$(sparql "SELECT (STRLEN(?t) AS ?n) WHERE { ?c nie:isStoredAs ?f ; nie:plainTextContent ?t .
    ?f nie:url \"file://$HOME/archives/long.zip\" }" | sed -n 's/^ *\([0-9][0-9]*\)$/\1/p')
((${got:-0} > 1048576 - 60 && ${got:-0} <= 1048576)) ||
  fail "long.zip: ${got:-no} bytes of text, expected whole lines up to 1 MiB"

# VEXEL_SEARCH_ONLY=1 (the package test): no hostile archives.
[[ ${VEXEL_SEARCH_ONLY:-} == 1 ]] && exit 0

# Hostile archives, one at a time: each must leave Tracker's processes idle
# at once, with nothing of ours still running in them and no fork of theirs.
count=$archives
for hostile in zeros-64g.tar.bz2 wide-2m.zip; do
  cp "$HOSTILE/$hostile" "$HOME/archives/"
  started=$SECONDS
  extracted $((count += 1))
  echo "Tracker extracted $hostile in $((SECONDS - started)) s"
  for pid in $(tracker_processes); do
    expect_quiet "$pid" "$(cat /proc/$pid/comm 2>/dev/null || echo "process $pid") after $hostile" may-end
    expect_alone "$pid" "after $hostile"
  done
done
# Its text, when the listing got far enough in time (the names are ASCII,
# so characters are bytes), stays within Tracker's max-bytes (1 MiB).
got=$(sparql "SELECT (STRLEN(?t) AS ?n) WHERE { ?c nie:isStoredAs ?f ; nie:plainTextContent ?t .
    ?f nie:url \"file://$HOME/archives/wide-2m.zip\" }" | sed -n 's/^ *\([0-9][0-9]*\)$/\1/p')
((${got:-0} <= 1048576)) || fail "wide-2m.zip: text of $got bytes, more than Tracker's 1 MiB"
echo "wide-2m.zip: ${got:-no} bytes of text"
# Then an ordinary archive is extracted as before. The extractor ends
# itself after 10 s without work, and Tracker 3.4 loses a file handed to
# it in that moment; so the archive comes once it has ended, and is whole
# when it appears.
for _ in $(seq 60); do
  [[ -z $(processes_of /usr/libexec/tracker-extract-3) ]] && break
  sleep 0.5
done
printf 'x\n' >"$WORK/aftermember.txt"
(cd "$WORK" && zip -q after.zip aftermember.txt) && mv "$WORK/after.zip" "$HOME/archives/"
extracted $((count += 1))
got=$(found aftermember)
[[ $got == "$HOME/archives/after.zip" ]] || fail "after the hostile archives: tracker3 search aftermember: ${got:-nothing}"
echo "Tracker stayed responsive after the hostile archives"
SESSION

hostile=${VEXEL_HOSTILE_DIR:-$work/hostile}
mkdir -p "$hostile"
for kind in bzip2-bomb:zeros-64g.tar.bz2 wide-zip:wide-2m.zip; do
  [[ ${VEXEL_SEARCH_ONLY:-} == 1 || -s $hostile/${kind#*:} ]] ||
    python3 "$source/bench/make_hostile.py" "${kind%%:*}" "$hostile/${kind#*:}"
done

declare -p words names chinese_names chinese_word gbk_word gbk_name >"$work/archives.sh"
(
  cd "$home"
  export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
    XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$work/runtime TMPDIR=$work/tmp \
    GSETTINGS_BACKEND=keyfile TRACKER_EXTRACTOR_RULES_DIR=$rules \
    ${modules:+TRACKER_EXTRACTORS_DIR=$modules} \
    TESTS=$tests WORK=$work HOSTILE=$hostile VEXEL_SEARCH_ONLY=${VEXEL_SEARCH_ONLY:-}
  schema=org.freedesktop.Tracker3.Miner.Files
  gsettings set $schema index-recursive-directories "['$home/archives']"
  gsettings set $schema index-single-directories "[]"
  gsettings set $schema index-applications false
  gsettings set $schema initial-sleep 0
  # The bus starts the miner and the extractor; they end with it.
  timeout 600 dbus-run-session -- bash -c 'source "$WORK/archives.sh"; source "$WORK/session.sh"' \
    2>"$work/tracker.log"
) || fail "in the Tracker session; its log ends: $(grep -v -i 'gvfs\|upower' "$work/tracker.log" | tail -8)"
