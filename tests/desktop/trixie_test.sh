#!/usr/bin/env bash
# Debian 13 (trixie: KDE Frameworks 6, Baloo 6, LocalSearch 3.8) in a clean
# root made by mmdebstrap, as a new user there would go: the README's
# commands install what the build needs and build for /usr without the
# benchmarks; the unit tests pass; cpack -G DEB makes the packages and apt
# installs them; Baloo 6 and LocalSearch index a folder of archives and
# `baloosearch6` and `localsearch search` find each archive by the names
# inside it, Chinese ones too (without content=); Dolphin's menu, built by
# KIO 6 with our plug-in, holds the extension's commands in its order; apt
# purge leaves none of the packages' files. With VEXEL_TRIXIE_DESKTOP=1
# (minutes more: Sushi, WebKitGTK and Xvfb to install), also GNOME Files'
# space bar, which shows a new user the outline once the login has linked
# the viewer, and the Properties window's archive section (Nautilus 48,
# where rows are markup). VEXEL_TRIXIE_SHOTS names a folder to keep their
# screenshots in.
#
#   [VEXEL_TRIXIE_DESKTOP=1] [VEXEL_TRIXIE_SHOTS=DIR] trixie_test.sh SOURCE_DIR
# Needs root (chroot, mounts) and mmdebstrap (scripts/install-deps.sh
# package); downloads from the Debian archive.
set -euo pipefail
source=$(cd "$1" && pwd)
tests=$(cd "$(dirname "$0")" && pwd)
source "$tests/temporary_install.sh"
require_tools "scripts/install-deps.sh package" mmdebstrap chroot mount
[[ $(id -u) == 0 ]] || skip_unless_ci "the Debian 13 root needs root (chroot)"

work=$(mktemp -d "${TMPDIR:-/tmp}/vexel-trixie.XXXXXX")
root=$work/root
mounted=()
cleanup() {
  local index
  for ((index = ${#mounted[@]} - 1; index >= 0; index--)); do
    umount -l "${mounted[$index]}" 2>/dev/null || true
  done
  # VEXEL_TRIXIE_SHOTS: a folder to keep the GNOME Files screenshots in.
  if [[ -n ${VEXEL_TRIXIE_SHOTS:-} ]]; then
    cp "$root"/tmp/space-bar/*.png "$root"/tmp/properties/*.png "$VEXEL_TRIXIE_SHOTS"/ 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { echo "[$((SECONDS - started)) s] $*"; }
started=$SECONDS
mmdebstrap --quiet --variant=apt --include=ca-certificates trixie "$root" \
  http://deb.debian.org/debian >"$work/mmdebstrap.log" 2>&1 ||
  fail "mmdebstrap trixie: $(tail -20 "$work/mmdebstrap.log")"
step "made a Debian 13 root"
# /dev/pts too: the suite runs programs on pseudo-terminals (script).
for dir in proc sys dev dev/pts; do
  mount --bind "/$dir" "$root/$dir"
  mounted+=("$root/$dir")
done
# The sources as committed and as changed, without build folders.
mkdir -p "$root/src"
(cd "$source" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) | tar -C "$root/src" -xf -
cp /etc/resolv.conf "$root/etc/resolv.conf"
# libarchive's test archives, where the suite reads them here.
fixtures=""
if [[ -n ${VEXEL_FIXTURES:-} && -d $VEXEL_FIXTURES ]]; then
  mkdir -p "$root/fixtures"
  mount --bind -o ro "$VEXEL_FIXTURES" "$root/fixtures"
  mounted+=("$root/fixtures")
  fixtures=/fixtures
fi

cat >"$root/in-root.sh" <<'INROOT'
set -euo pipefail
fail() { echo "FAIL (Debian 13): $*" >&2; exit 1; }
step() { echo "[$((SECONDS - started)) s] $*"; }
started=$SECONDS
export DEBIAN_FRONTEND=noninteractive VEXEL_CI=1
[[ -n $VEXEL_FIXTURES ]] || unset VEXEL_FIXTURES
cd /src
# The README's commands: install, build for /usr without the benchmarks,
# package.
scripts/install-deps.sh >/tmp/deps.log 2>&1 || fail "scripts/install-deps.sh: $(tail -20 /tmp/deps.log)"
step "installed the build's dependencies"
# Only the suites run here ("unit") are built, with the packages' files.
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVEXEL_WERROR=ON -DVEXEL_BUILD_BENCH=OFF -DVEXEL_BALOO=ON -DVEXEL_TRACKER=ON \
  -DVEXEL_TEST_LABELS=unit >/tmp/configure.log ||
  fail "configure: $(tail -20 /tmp/configure.log)"
grep -E 'Baloo extractor|Dolphin menu|Tracker extract' /tmp/configure.log
cmake --build build-release --parallel 2 >/tmp/build.log 2>&1 || fail "build: $(grep -A5 -E 'error|FAILED' /tmp/build.log | head -40)"
step "built"
ctest --test-dir build-release --parallel 2 -L unit >/tmp/unit.log 2>&1 ||
  fail "unit tests: $(grep -E 'Failed|\*\*\*' /tmp/unit.log | head -20)"
grep -E 'tests passed' /tmp/unit.log
step "ran the unit tests"
# Dolphin's menu as KDE Frameworks 6's own KFileItemActions builds it with
# the plug-in just built (a suite of the desktop label, which this build
# does not register: built and run by itself).
cmake --build build-release --parallel 2 --target vexel_dolphin_menu_tests >/tmp/dolphin-build.log 2>&1 ||
  fail "building the Dolphin menu test: $(grep -A5 -E 'error|FAILED' /tmp/dolphin-build.log | head -40)"
build-release/tests/desktop/vexel_dolphin_menu_tests >/tmp/dolphin.log 2>&1 ||
  fail "Dolphin's menu: $(grep -v -E '^\[ *(RUN|OK) ' /tmp/dolphin.log | tail -40)"
grep -E 'PASSED' /tmp/dolphin.log
step "built Dolphin's menu with KIO 6 and the plug-in"
(cd build-release && cpack -G DEB >/tmp/cpack.log 2>&1) || fail "cpack: $(tail -20 /tmp/cpack.log)"
for deb in build-release/vexel*.deb; do
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, Depends: $(dpkg-deb -f "$deb" Depends)"
done
apt-get install -y -q --no-install-recommends ./build-release/vexel_*.deb ./build-release/vexel-kde_*.deb \
  ./build-release/vexel-gnome_*.deb tracker-miner-fs dbus >/tmp/apt.log 2>&1 ||
  fail "apt install: $(tail -20 /tmp/apt.log)"
step "installed the packages"
arch_libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)
for file in "$arch_libdir/qt6/plugins/kf6/kfilemetadata/kfilemetadata_vexelextractor.so" \
    "$arch_libdir/qt6/plugins/kf6/kfileitemaction/vexelfileitemaction.so" \
    "$arch_libdir/localsearch-3.0/extract-modules/libextract-vexel.so" \
    /usr/share/localsearch3/extract-rules/90-vexel-archives.rule; do
  [[ -f $file ]] || fail "not installed where Debian 13's indexers look: $file"
done

# The archives, in a new user's home, and each indexer in a D-Bus session of
# that user's.
useradd -m -s /bin/bash tester
source /src/tests/desktop/temporary_install.sh
source /src/tests/desktop/search_archives.sh
home=/home/tester
make_search_archives "$home/archives" /tmp/src
chown -R tester: "$home"
declare -p words names chinese_names chinese_word gbk_word gbk_name >/tmp/archives.sh
chmod 644 /tmp/archives.sh
cat >/tmp/session.sh <<'SESSION'
set -euo pipefail
fail() { echo "FAIL (Debian 13, $indexer): $*" >&2; exit 1; }
source /tmp/archives.sh
cd "$HOME"
# check FIND: each archive found by its own word and the Chinese name,
# FIND printing the paths it finds, one a line.
check() {
  local got expected i
  for i in "${!words[@]}"; do
    got=$("$@" "${words[$i]}" | sort -u)
    [[ $got == "$HOME/archives/${names[$i]}" ]] ||
      fail "$* ${words[$i]}: expected ${names[$i]}, got: ${got:-nothing}"
  done
  got=$("$@" "$chinese_word" | sort -u)
  expected=$(printf "$HOME/archives/%s\n" "${chinese_names[@]}" | sort)
  [[ $got == "$expected" ]] || fail "$* $chinese_word: expected $expected, got: ${got:-nothing}"
  echo "$indexer: $* found ${#words[@]} archives by the names inside them, and $chinese_word in ${#chinese_names[@]}"
}
case $indexer in
  baloo)
    mkdir -p "$HOME/.config"
    printf '[Basic Settings]\nIndexing-Enabled=true\n\n[General]\nfolders[$e]=%s/archives/\nonly basic indexing=false\n' \
      "$HOME" >"$HOME/.config/baloofilerc"
    baloo_file=""
    for candidate in /usr/lib/*/libexec/kf6/baloo_file /usr/libexec/kf6/baloo_file; do
      [[ -x $candidate ]] && baloo_file=$candidate
    done
    [[ -x $baloo_file ]] || fail "no baloo_file of KDE Frameworks 6"
    "$baloo_file" 2>/tmp/baloo-$USER.log &
    baloo=$!
    trap 'kill $(pgrep -P $baloo) $baloo 2>/dev/null || true' EXIT
    archives=$(find "$HOME/archives" -type f | wc -l)
    for _ in $(seq 240); do
      status=$(balooctl6 status 2>/dev/null || true)
      total=$(sed -n 's/^Total files indexed: //p' <<<"$status")
      waiting=$(sed -n 's/^Files waiting for content indexing: //p' <<<"$status")
      [[ ${total:-0} -gt $archives && $waiting == 0 ]] && break
      sleep 0.5
    done
    [[ ${total:-0} -gt $archives && $waiting == 0 ]] || fail "Baloo 6 indexed ${total:-0} files: $status"
    baloo_found() { baloosearch6 "$1" 2>/dev/null | grep '^/' || true; }
    check baloo_found ;;
  localsearch)
    gsettings set org.freedesktop.Tracker3.Miner.Files index-recursive-directories "['$HOME/archives']"
    gsettings set org.freedesktop.Tracker3.Miner.Files index-single-directories "[]"
    gsettings set org.freedesktop.Tracker3.Miner.Files initial-sleep 0
    localsearch status >/dev/null 2>&1 || true   # starts the miner
    localsearch_found() {
      localsearch search --disable-color --disable-snippets -f "$1" 2>/dev/null |
        sed -n 's|^ *file://||p' | python3 -c 'import sys, urllib.parse
for line in sys.stdin: print(urllib.parse.unquote(line.strip()))'
    }
    # The extractor works through the folder; wait for the last archive.
    for _ in $(seq 240); do
      [[ -n $(localsearch_found "${words[-1]}") ]] && break
      sleep 0.5
    done
    check localsearch_found ;;
esac
SESSION
chmod 644 /tmp/session.sh
for indexer in baloo localsearch; do
  setpriv --reuid tester --regid tester --init-groups env -i HOME=$home USER=tester PATH=/usr/bin:/bin \
    LANG=C.UTF-8 XDG_RUNTIME_DIR=/tmp/runtime-$indexer GSETTINGS_BACKEND=keyfile QT_QPA_PLATFORM=offscreen \
    indexer=$indexer bash -c 'mkdir -p -m 700 "$XDG_RUNTIME_DIR" && timeout 300 dbus-run-session -- bash /tmp/session.sh' ||
    fail "$indexer: the search failed; its log ends: $(tail -5 /tmp/baloo-tester.log 2>/dev/null)"
done
step "searched"
# The next login of a user links the Sushi viewer (Debian 13's Sushi is 46).
exec_line=$(sed -n 's/^Exec=//p' /etc/xdg/autostart/vexel-sushi-viewer.desktop)
setpriv --reuid tester --regid tester --init-groups env -i HOME=$home PATH=/usr/bin:/bin sh -c "$exec_line" ||
  fail "the login step failed"
[[ -f $home/.local/share/sushi/viewers/vexel.js ]] || fail "a login linked no Sushi viewer"

if [[ $desktop == 1 ]]; then
  # GNOME Files' space bar (Sushi 46) for the user whose login linked the
  # viewer above: the outline of an archive, read through the
  # accessibility tree under Xvfb, in the user's own D-Bus session.
  # WebKitGTK 2.52 starts its web processes in a bubblewrap sandbox, which
  # needs user namespaces that a chroot does not give: without it here.
  # ImageMagick only for the screenshots VEXEL_TRIXIE_SHOTS keeps.
  apt-get install -y -q --no-install-recommends gnome-sushi python3-nautilus xvfb xauth xdotool \
    at-spi2-core python3-pyatspi ${shots:+imagemagick} \
    >/tmp/gui.log 2>&1 || fail "apt install the GNOME programs: $(tail -5 /tmp/gui.log)"
  step "installed Sushi and Xvfb"
  mkdir -p -m 1777 /tmp/.X11-unix
  setpriv --reuid tester --regid tester --init-groups env -i HOME=$home USER=tester \
    PATH=/usr/bin:/bin LANG=C.UTF-8 TZ=UTC XDG_RUNTIME_DIR=/tmp/runtime-gui \
    GSETTINGS_BACKEND=keyfile XDG_CURRENT_DESKTOP=GNOME GSK_RENDERER=cairo \
    WEBKIT_DISABLE_DMABUF_RENDERER=1 WEBKIT_DISABLE_COMPOSITING_MODE=1 WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1 \
    VEXEL_TRY_WORK=/tmp/space-bar VEXEL_TRY_OUT=/tmp/space-bar VEXEL_TRY_PREFIX=/usr VEXEL_TRY_SOURCE=/src \
    bash -c 'set -e; mkdir -p -m 700 "$XDG_RUNTIME_DIR"; mkdir -p "$VEXEL_TRY_WORK" "$HOME/.config/glib-2.0/settings"
      Xvfb :97 -screen 0 1368x768x24 -nolisten tcp >/tmp/space-bar/xvfb.log 2>&1 &
      xvfb=$!; trap "kill $xvfb" EXIT
      for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X97 ]] && break; sleep 0.1; done
      DISPLAY=:97 timeout 300 dbus-run-session -- python3 /src/tests/desktop/gnome_files_driver.py space-bar
      mkdir -p /tmp/properties
      DISPLAY=:97 VEXEL_TRY_WORK=/tmp/properties VEXEL_TRY_OUT=/tmp/properties \
        timeout 300 dbus-run-session -- python3 /src/tests/desktop/gnome_files_driver.py properties' ||
    fail "GNOME Files showed no outline on the space bar or wrong Properties rows (see above)"
  step "the space bar in GNOME Files shows the outline; Properties shows the archive's rows"
fi

apt-get purge -y -q vexel vexel-kde vexel-gnome >/tmp/purge.log 2>&1 || fail "apt purge: $(tail /tmp/purge.log)"
left=$(find /usr /etc -name '*vexel*' 2>/dev/null || true)
[[ -z $left ]] || fail "left by apt purge: $left"
[[ ! -e $home/.local/share/sushi/viewers/vexel.js ]] || fail "the purge left the Sushi link"
step "purged: no file of the packages left"
INROOT
chroot "$root" env VEXEL_FIXTURES="$fixtures" desktop="${VEXEL_TRIXIE_DESKTOP:-0}" \
  shots="${VEXEL_TRIXIE_SHOTS:+1}" bash /in-root.sh || fail "in the Debian 13 root (see above)"
echo "the Debian 13 stage took $((SECONDS - started)) s"
