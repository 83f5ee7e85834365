#!/usr/bin/env bash
# The Debian packages, made by cpack -G DEB in this build folder (configured
# with -DCMAKE_INSTALL_PREFIX=/usr), checked as they stand:
#   - their control data: the libraries the binaries link and the programs
#     they start among the dependencies; the core package depends on no
#     desktop's libraries, the KDE part on no GNOME ones and the GNOME part
#     on no Qt or KDE ones; no maintainer script but ldconfig, and the GNOME
#     part's removal of the Sushi links;
#   - their files: all under /usr (and the login step's autostart entry in
#     /etc/xdg), each where this release's program looks (Qt's plug-in
#     folder, Tracker's or LocalSearch's rules and modules, the menus, the
#     handler's entry), and no path of the build or staging folder inside;
#   - Baloo and Tracker, run as the desktop tests run them, with the
#     packages' files unpacked into a temporary root;
#   - where mmdebstrap can make a clean Debian root (it downloads from the
#     Debian archive): apt installs the core with the GNOME part, a new
#     user's login links the Sushi viewer, and apt brings no Qt or KDE
#     package; then the core with the KDE part, with no WebKitGTK or Tracker
#     package; the vexel:// handler is a new user's default, the installed
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

rm -f "$build"/vexel_*.deb "$build"/vexel-kde_*.deb "$build"/vexel-gnome_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || fail "cpack failed: $(tail -20 "$work/cpack.log")"
declare -A deb
for package in vexel vexel-kde vexel-gnome; do
  debs=("$build/${package}_"*.deb)
  [[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "cpack made no single ${package}_*.deb: ${debs[*]}"
  deb[$package]=${debs[0]}
  echo "made $(basename "${deb[$package]}") ($(stat -c %s "${deb[$package]}") bytes)"
done

# This release's names: KDE Frameworks 6 and LocalSearch on Debian 13, 5 and
# Tracker 3.4 on Debian 12.
arch_libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
if [[ -x /usr/lib/qt6/bin/qtpaths6 || -x $arch_libdir/qt6/bin/qtpaths ]] &&
    dpkg -s libkf6filemetadata-dev >/dev/null 2>&1; then
  kf=6
  qt_plugins=$arch_libdir/qt6/plugins
  kf_libs='libkf6filemetadata3 libqt6core6*'
else
  kf=5
  qt_plugins=$(/usr/lib/qt5/bin/qmake -query QT_INSTALL_PLUGINS)
  kf_libs='libkf5filemetadata3 libqt5core5a'
fi
# LocalSearch 3.8 is packaged as tracker-extract too.
if [[ -d /usr/share/localsearch3 ]]; then
  miner=localsearch-3.0 rules=localsearch3
else
  miner=tracker-miners-3.0 rules=tracker3-miners
fi

# Control data.
# names_of PACKAGE: the names in its Depends, versions dropped (alternatives
# stay whole), one a line.
names_of() { dpkg-deb -f "${deb[$1]}" Depends | sed 's/ *([^)]*)//g; s/, /\n/g'; }
# has NAMES PATTERN: whether one of the names matches the pattern.
has() {
  local name
  while IFS= read -r name; do
    # shellcheck disable=SC2053 # a pattern on the right
    [[ $name == $2 ]] && return 0
  done <<<"$1"
  return 1
}
for package in vexel vexel-kde vexel-gnome; do
  [[ $(dpkg-deb -f "${deb[$package]}" Package) == "$package" ]] ||
    fail "Package: $(dpkg-deb -f "${deb[$package]}" Package)"
  [[ $(dpkg-deb -f "${deb[$package]}" Architecture) == "$(dpkg --print-architecture)" ]] ||
    fail "$package: Architecture: $(dpkg-deb -f "${deb[$package]}" Architecture)"
  names=$(names_of "$package")
  case $package in
    vexel)
      needed=(libarchive13* 'libicu*' 'libstdc++6' '7zip | p7zip-full' xdg-utils libnotify-bin
        desktop-file-utils)
      foreign=('libqt*' 'libkf*' 'libtracker*' 'libtinysparql*' 'libwebkit*' 'libgtk*' 'baloo*') ;;
    vexel-kde)
      read -ra needed <<<"vexel baloo* $kf_libs"
      foreign=('libtracker*' 'libtinysparql*' 'libwebkit*' 'libgtk*' 'localsearch*' 'tracker*') ;;
    vexel-gnome)
      needed=(vexel 'libglib2.0-0*' tracker-extract)
      foreign=('libqt*' 'libkf*' 'baloo*' 'libwebkit*') ;;
  esac
  for name in "${needed[@]}"; do
    has "$names" "$name" || fail "$package: Depends lacks $name: $(dpkg-deb -f "${deb[$package]}" Depends)"
  done
  for name in "${foreign[@]}"; do
    ! has "$names" "$name" || fail "$package: Depends has $name: $(dpkg-deb -f "${deb[$package]}" Depends)"
  done
  echo "$package Depends: $(dpkg-deb -f "${deb[$package]}" Depends)"

  # Maintainer scripts do nothing but run ldconfig (CPack's, for the core
  # package's shared library), so purging has nothing of theirs to undo; the
  # GNOME part's postrm removes the links that logins made, and is the
  # source's.
  mkdir -p "$work/control/$package"
  dpkg-deb -e "${deb[$package]}" "$work/control/$package"
  for script in preinst postinst prerm postrm; do
    file=$work/control/$package/$script
    [[ -f $file ]] || continue
    if [[ $package == vexel-gnome && $script == postrm ]]; then
      cmp -s "$file" "$source/share/sushi/postrm" || fail "vexel-gnome's postrm is not share/sushi/postrm"
      continue
    fi
    other=$(grep -vxE '#!/bin/sh|set -e|if \[ "\$1" = "(configure|remove)" \]; then|[[:space:]]*ldconfig|fi|' \
      "$file" || true)
    [[ -z $other ]] || fail "$package: $script does more than run ldconfig: $other"
  done
done

# Files, where each program looks on this system.
root=$work/root
: >"$work/files"
for package in vexel vexel-kde vexel-gnome; do
  dpkg-deb -x "${deb[$package]}" "$root"
  dpkg-deb -c "${deb[$package]}" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/files-$package"
  cat "$work/files-$package" >>"$work/files"
done
outside=$(grep -v -e '^/usr/' -e '^/$' -e '^/usr$' -e '^/etc/$' -e '^/etc/xdg/$' -e '^/etc/xdg/autostart/$' \
  -e '^/etc/xdg/autostart/vexel-sushi-viewer.desktop$' "$work/files" || true)
[[ -z $outside ]] || fail "files outside /usr: $outside"
declare -A expected=(
  [vexel]="/usr/bin/vexel-quicklook /usr/bin/vexel-mdimport /usr/bin/vexel-findersync
    /usr/bin/vexel-handoff /usr/bin/vexel-menu-run $arch_libdir/vexel/VexelSpotlight.so
    /usr/share/applications/vexel-handoff.desktop /usr/share/nemo/actions/vexel-1-extract-here.nemo_action
    /usr/share/vexel/recoll/rclvexel /usr/share/vexel/recoll/mimeconf /usr/share/vexel/recoll/mimemap"
  [vexel-kde]="$qt_plugins/kf$kf/kfilemetadata/kfilemetadata_vexelextractor.so /usr/libexec/vexel/vexel-lister
    $qt_plugins/kf$kf/kfileitemaction/vexelfileitemaction.so"
  [vexel-gnome]="$arch_libdir/$miner/extract-modules/libextract-vexel.so
    /usr/share/$rules/extract-rules/90-vexel-archives.rule
    /usr/share/nautilus-python/extensions/vexel_menu.py /usr/share/sushi/viewers/vexel.js
    /usr/libexec/vexel/vexel-sushi-viewer /etc/xdg/autostart/vexel-sushi-viewer.desktop"
)
for package in vexel vexel-kde vexel-gnome; do
  for file in ${expected[$package]}; do
    grep -qxF "$file" "$work/files-$package" || fail "$package lacks $file"
  done
done
# Tracker's own rules and modules are where this system's Tracker has them.
if tracker_files=$(dpkg -L tracker-extract 2>/dev/null); then
  grep -qx "/usr/share/$rules/extract-rules" <<<"$tracker_files" ||
    fail "this Tracker reads rules elsewhere: $(grep -m1 extract-rules <<<"$tracker_files")"
  grep -qx "$arch_libdir/$miner/extract-modules" <<<"$tracker_files" ||
    fail "this Tracker loads modules elsewhere: $(grep -m1 extract-modules <<<"$tracker_files")"
fi
grep -qx 'ModulePath=libextract-vexel.so' "$root/usr/share/$rules/extract-rules/90-vexel-archives.rule" ||
  fail "the rule: $(grep ModulePath "$root/usr/share/$rules/extract-rules/"*.rule)"
grep -qx 'Exec=/usr/bin/vexel-handoff %u' "$root/usr/share/applications/vexel-handoff.desktop" ||
  fail "the handler's entry: $(grep Exec "$root/usr/share/applications/vexel-handoff.desktop")"
grep -q 'exec /usr/share/vexel/recoll/rclvexel;' "$root/usr/share/vexel/recoll/mimeconf" ||
  fail "the Recoll mimeconf: $(grep -m1 exec "$root/usr/share/vexel/recoll/mimeconf")"
grep -qx 'Exec="/usr/libexec/vexel/vexel-sushi-viewer"' "$root/etc/xdg/autostart/vexel-sushi-viewer.desktop" ||
  fail "the login step's entry: $(grep Exec "$root/etc/xdg/autostart/vexel-sushi-viewer.desktop")"
leaked=$(grep -rlF -e "$build" -e "$source" -e "_CPack_Packages" "$root" || true)
[[ -z $leaked ]] || fail "build paths inside: $leaked"
echo "the package holds $(grep -c '[^/]$' "$work/files") files, each where its program looks"

# Baloo and Tracker with the package's files (the searches; the hostile
# archives are the desktop tests' part).
export VEXEL_INSTALLED_PREFIX=$root/usr VEXEL_SEARCH_ONLY=1
for run in "baloo_test.sh ${qt_plugins#/usr/}/kf$kf/kfilemetadata" tracker_test.sh; do
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
for package in vexel vexel-kde vexel-gnome; do cp "${deb[$package]}" "$work/$package.deb"; done
cat >"$work/in-root.sh" <<'INROOT'
set -euo pipefail
fail() { echo "FAIL (clean root): $*" >&2; exit 1; }
snapshot() {
  find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /tmp -o -path /var/cache -o \
    -path /var/lib/apt -o -path /var/log -o -path /var/lib/dpkg \) -prune -o -print | sort >"$1"
}
export DEBIAN_FRONTEND=noninteractive
# A user made before the install, whose next login links the Sushi viewer.
useradd -m -s /bin/sh newuser
for part in gnome kde; do
  snapshot /tmp/before
  apt-get install -y -q --no-install-recommends /tmp/vexel.deb "/tmp/vexel-$part.deb" >/tmp/apt.log 2>&1 ||
    fail "apt could not install vexel and vexel-$part: $(tail -20 /tmp/apt.log)"
  # What apt brought with it stays after the purge, as apt leaves it.
  snapshot /tmp/installed
  dpkg -L vexel "vexel-$part" | sort -u >/tmp/owned
  brought=$(sed -n 's/^Setting up \([^: ]*\).*/\1/p' /tmp/apt.log)
  case $part in
    gnome) other='^(libqt|qt5|qt6|libkf|kf6|baloo|kio|plasma)' ;;
    kde) other='^(libwebkit|gir1.2-webkit|libtracker|tracker|localsearch|libtinysparql|tinysparql|gnome-sushi)' ;;
  esac
  wrong=$(grep -E "$other" <<<"$brought" || true)
  [[ -z $wrong ]] || fail "installing vexel-$part brought the other desktop's packages: $wrong"
  echo "apt installed vexel with vexel-$part: $(wc -l <<<"$brought") packages"
  mkdir -p /tmp/user
  handler=$(HOME=/tmp/user XDG_DATA_HOME=/tmp/user/data XDG_CONFIG_HOME=/tmp/user/config xdg-mime query default x-scheme-handler/vexel)
  [[ $handler == vexel-handoff.desktop ]] || fail "a new user's vexel:// handler: '${handler}'"
  printf 'x\n' >/tmp/inside.txt
  seven=$(command -v 7zz || command -v 7z) || fail "no 7-Zip, which the package depends on"
  rm -f /tmp/a.zip
  (cd /tmp && "$seven" a -bd -bso0 /tmp/a.zip inside.txt) || fail "$seven cannot make a ZIP"
  [[ $(vexel-mdimport /tmp/a.zip) == inside.txt ]] || fail "vexel-mdimport: $(vexel-mdimport /tmp/a.zip 2>&1)"
  vexel-quicklook --width 80 /tmp/a.zip | grep -q inside.txt || fail "vexel-quicklook: $(vexel-quicklook /tmp/a.zip 2>&1)"
  link=/home/newuser/.local/share/sushi/viewers/vexel.js
  if [[ $part == gnome ]]; then
    # The login: what the autostart entry runs, as the user.
    exec_line=$(sed -n 's/^Exec=//p' /etc/xdg/autostart/vexel-sushi-viewer.desktop)
    setpriv --reuid newuser --regid newuser --init-groups env HOME=/home/newuser sh -c "$exec_line" ||
      fail "the login step failed"
    [[ $(readlink "$link") == /usr/share/sushi/viewers/vexel.js && -f $link ]] ||
      fail "a login linked no viewer: $(ls -l "$link" 2>&1)"
    (. /etc/os-release; echo "the login linked the Sushi viewer for a new user on $PRETTY_NAME")
  fi
  apt-get purge -y -q vexel "vexel-$part" >/tmp/purge.log 2>&1 || fail "apt purge: $(tail /tmp/purge.log)"
  [[ ! -L $link ]] || fail "the purge left the user's link to the Sushi viewer"
  snapshot /tmp/purged
  # Paths of the package that remain must belong to another package now (a
  # folder that a dependency has as well).
  left=$(comm -13 /tmp/before /tmp/purged | comm -12 - /tmp/owned |
    while IFS= read -r path; do dpkg -S "$path" >/dev/null 2>&1 || echo "$path"; done)
  [[ -z $left ]] || fail "left by apt purge: $left"
  left=$(grep -rl vexel /usr/share/applications/ /etc 2>/dev/null || true)
  [[ -z $left ]] || fail "files naming vexel after the purge: $left"
  # The folders a login made in the user's home stay the user's.
  new=$(comm -13 /tmp/installed /tmp/purged | grep -v '^/home/newuser/\.local\(/share\(/sushi\(/viewers\)\?\)\?\)\?$' || true)
  [[ -z $new ]] || fail "files made by installing or purging: $new"
  echo "apt installed $(wc -l </tmp/owned) paths of vexel and vexel-$part; the purge left none"
  apt-get autoremove --purge -y -q >/dev/null 2>&1
done
INROOT
started=$SECONDS
mmdebstrap --quiet --variant=apt "$suite" "$chroot_root" \
  --customize-hook='cp "'"$work"'/vexel.deb" "'"$work"'/vexel-kde.deb" "'"$work"'/vexel-gnome.deb" "'"$work"'/in-root.sh" "$1/tmp/"' \
  --customize-hook='chroot "$1" bash /tmp/in-root.sh' >"$work/mmdebstrap.log" 2>&1 ||
  fail "in a clean $suite root: $(grep -E 'FAIL|E:|error' "$work/mmdebstrap.log" | tail -20)"
grep -E '^(apt installed|the login)' "$work/mmdebstrap.log" || true
echo "clean-root install and purge took $((SECONDS - started)) s"
