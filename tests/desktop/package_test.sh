#!/usr/bin/env bash
# The Debian package, made by cpack -G DEB in this build folder (configured
# with -DCMAKE_INSTALL_PREFIX=/usr), checked as it stands:
#   - its control data: the libraries the binaries link and the programs
#     they start among the dependencies, and no maintainer script but
#     ldconfig;
#   - its files: all under /usr, each where its program looks (Qt's plug-in
#     folder, Tracker's rules and modules, the menus, the handler's entry),
#     and no path of the build or staging folder inside any of them;
#   - Baloo and Tracker, run as the desktop tests run them, with the
#     package's files unpacked into a temporary root;
#   - where mmdebstrap can make a clean Debian root (it downloads from the
#     Debian archive): apt installs the package there with what it depends
#     on, the vexel:// handler is a new user's default, the installed
#     programs run, and apt purge leaves no file behind.
#
#   package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
tests=$(cd "$(dirname "$0")" && pwd)

source "$tests/temporary_install.sh"
require_tools "scripts/install-deps.sh package" cpack dpkg-deb dpkg-shlibdeps
start_temporary_install vexel-package

rm -f "$build"/vexel_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || fail "cpack failed: $(tail -20 "$work/cpack.log")"
debs=("$build"/vexel_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single vexel_*.deb: ${debs[*]}"
deb=${debs[0]}
echo "made $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# Control data.
info=$(dpkg-deb --info "$deb")
field() { sed -n "s/^ $1: //p" <<<"$info"; }
[[ $(field Package) == vexel ]] || fail "Package: $(field Package)"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
# The names, versions dropped (alternatives stay whole).
names=$(sed 's/ *([^)]*)//g; s/, /\n/g' <<<"$depends")
for needed in libarchive13 'libicu*' 'libstdc++6' libkf5filemetadata3 libqt5core5a \
    libtracker-sparql-3.0-0 libglib2.0-0 '7zip | p7zip-full' xdg-utils libnotify-bin desktop-file-utils; do
  found=false
  while IFS= read -r name; do
    # shellcheck disable=SC2053 # a pattern on the right
    [[ $name == $needed ]] && found=true
  done <<<"$names"
  $found || fail "Depends lacks $needed: $depends"
done
# Maintainer scripts do nothing but run ldconfig (CPack's, for the
# package's shared library), so purging has nothing of theirs to undo.
mkdir -p "$work/control"
dpkg-deb -e "$deb" "$work/control"
for script in preinst postinst prerm postrm; do
  [[ -f $work/control/$script ]] || continue
  other=$(grep -vxE '#!/bin/sh|set -e|if \[ "\$1" = "(configure|remove)" \]; then|[[:space:]]*ldconfig|fi|' \
    "$work/control/$script" || true)
  [[ -z $other ]] || fail "$script does more than run ldconfig: $other"
done
echo "Depends: $depends"

# Files, where each program looks on this system.
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/files"
outside=$(grep -v -e '^/usr/' -e '^/$' -e '^/usr$' "$work/files" || true)
[[ -z $outside ]] || fail "files outside /usr: $outside"
qt_plugins=$(/usr/lib/qt5/bin/qmake -query QT_INSTALL_PLUGINS)
arch_libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expected=(
  /usr/bin/vexel-quicklook /usr/bin/vexel-mdimport /usr/bin/vexel-findersync /usr/bin/vexel-handoff
  /usr/bin/vexel-menu-run
  "$arch_libdir/vexel/VexelSpotlight.so"
  "$qt_plugins/kf5/kfilemetadata/kfilemetadata_vexelextractor.so"
  "$arch_libdir/tracker-miners-3.0/extract-modules/libextract-vexel.so"
  /usr/share/tracker3-miners/extract-rules/90-vexel-archives.rule
  /usr/share/applications/vexel-handoff.desktop
  /usr/share/kio/servicemenus/vexel-archive.desktop /usr/share/kio/servicemenus/vexel-compress.desktop
  /usr/share/nemo/actions/vexel-1-extract-here.nemo_action
  /usr/share/nautilus-python/extensions/vexel_menu.py
  /usr/share/vexel/recoll/rclvexel /usr/share/vexel/recoll/mimeconf /usr/share/vexel/recoll/mimemap
)
for file in "${expected[@]}"; do
  grep -qxF "$file" "$work/files" || fail "the package lacks $file"
done
# Tracker's own rules and modules are where this system's Tracker has them.
if tracker_files=$(dpkg -L tracker-extract 2>/dev/null); then
  grep -qx /usr/share/tracker3-miners/extract-rules <<<"$tracker_files" ||
    fail "this Tracker reads rules elsewhere: $(grep -m1 extract-rules <<<"$tracker_files")"
  grep -qx "$arch_libdir/tracker-miners-3.0/extract-modules" <<<"$tracker_files" ||
    fail "this Tracker loads modules elsewhere: $(grep -m1 extract-modules <<<"$tracker_files")"
fi
grep -qx 'ModulePath=libextract-vexel.so' "$root/usr/share/tracker3-miners/extract-rules/90-vexel-archives.rule" ||
  fail "the rule: $(grep ModulePath "$root"/usr/share/tracker3-miners/extract-rules/*.rule)"
grep -qx 'Exec=/usr/bin/vexel-handoff %u' "$root/usr/share/applications/vexel-handoff.desktop" ||
  fail "the handler's entry: $(grep Exec "$root/usr/share/applications/vexel-handoff.desktop")"
grep -q 'exec /usr/share/vexel/recoll/rclvexel;' "$root/usr/share/vexel/recoll/mimeconf" ||
  fail "the Recoll mimeconf: $(grep -m1 exec "$root/usr/share/vexel/recoll/mimeconf")"
leaked=$(grep -rlF -e "$build" -e "$source" -e "_CPack_Packages" "$root" || true)
[[ -z $leaked ]] || fail "build paths inside: $leaked"
echo "the package holds $(grep -c '[^/]$' "$work/files") files, each where its program looks"

# Baloo and Tracker with the package's files (the searches; the hostile
# archives are the desktop tests' part).
export VEXEL_INSTALLED_PREFIX=$root/usr VEXEL_SEARCH_ONLY=1
for run in "baloo_test.sh ${qt_plugins#/usr/}/kf5/kfilemetadata" tracker_test.sh; do
  set -- $run
  if [[ -x $(command -v baloo_file) || $1 != baloo_test.sh ]]; then
    status=0
    "$tests/$1" "$build" "$source" ${2:+"$2"} || status=$?
    [[ $status == 0 || $status == 77 ]] || fail "$1 with the package's files failed"
  fi
done
unset VEXEL_INSTALLED_PREFIX VEXEL_SEARCH_ONLY

# A clean Debian root: install, use, purge.
if ! command -v mmdebstrap >/dev/null; then
  echo "no clean-root install: mmdebstrap is not installed (scripts/install-deps.sh package)"
  exit 0
fi
suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
chroot_root=$work/clean
cp "$deb" "$work/vexel.deb"
cat >"$work/in-root.sh" <<'INROOT'
set -euo pipefail
fail() { echo "FAIL (clean root): $*" >&2; exit 1; }
find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /var/cache -o \
  -path /var/lib/apt -o -path /var/log -o -path /var/lib/dpkg \) -prune -o -print | sort >/tmp/before
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends /tmp/vexel.deb >/tmp/apt.log 2>&1 ||
  fail "apt could not install the package: $(tail -20 /tmp/apt.log)"
# What apt brought with it stays after the purge, as apt leaves it.
find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /var/cache -o \
  -path /var/lib/apt -o -path /var/log -o -path /var/lib/dpkg \) -prune -o -print | sort >/tmp/installed
dpkg -L vexel | sort >/tmp/owned
mkdir -p /tmp/user
handler=$(HOME=/tmp/user XDG_DATA_HOME=/tmp/user/data XDG_CONFIG_HOME=/tmp/user/config xdg-mime query default x-scheme-handler/vexel)
[[ $handler == vexel-handoff.desktop ]] || fail "a new user's vexel:// handler: '${handler}'"
printf 'x\n' >/tmp/inside.txt
(cd /tmp && 7zz a -bd -bso0 /tmp/a.zip inside.txt) || fail "7zz, which the package depends on, cannot make a ZIP"
[[ $(vexel-mdimport /tmp/a.zip) == inside.txt ]] || fail "vexel-mdimport: $(vexel-mdimport /tmp/a.zip 2>&1)"
vexel-quicklook --width 80 /tmp/a.zip | grep -q inside.txt || fail "vexel-quicklook: $(vexel-quicklook /tmp/a.zip 2>&1)"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q vexel >/tmp/purge.log 2>&1 || fail "apt purge: $(tail /tmp/purge.log)"
find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /var/cache -o \
  -path /var/lib/apt -o -path /var/log -o -path /var/lib/dpkg \) -prune -o -print | sort >/tmp/purged
# Paths of the package that remain must belong to another package now (a
# folder that a dependency has as well).
left=$(comm -13 /tmp/before /tmp/purged | comm -12 - /tmp/owned |
  while IFS= read -r path; do dpkg -S "$path" >/dev/null 2>&1 || echo "$path"; done)
[[ -z $left ]] || fail "left by apt purge: $left"
left=$(grep -rl vexel /usr/share/applications/ /etc 2>/dev/null || true)
[[ -z $left ]] || fail "files naming vexel after the purge: $left"
new=$(comm -13 /tmp/installed /tmp/purged)
[[ -z $new ]] || fail "files made by installing or purging: $new"
echo "apt installed $(wc -l </tmp/owned) paths with $(grep -c '^Setting up' /tmp/apt.log) packages; the purge left none"
INROOT
started=$SECONDS
mmdebstrap --quiet --variant=apt "$suite" "$chroot_root" \
  --customize-hook='cp "'"$work"'/vexel.deb" "'"$work"'/in-root.sh" "$1/tmp/"' \
  --customize-hook='chroot "$1" bash /tmp/in-root.sh' >"$work/mmdebstrap.log" 2>&1 ||
  fail "in a clean $suite root: $(grep -E 'FAIL|E:|error' "$work/mmdebstrap.log" | tail -20)"
grep -E '^apt installed' "$work/mmdebstrap.log" || true
echo "clean-root install and purge took $((SECONDS - started)) s"
