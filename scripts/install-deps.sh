#!/usr/bin/env bash
# Installs what building and testing Vexel needs on a Debian machine, and only
# what is missing. Safe to run again.
set -euo pipefail

# Debian 12 (bookworm) has KDE Frameworks 5 and Tracker 3.4; Debian 13
# (trixie) and later KDE Frameworks 6 and LocalSearch 3.8, still packaged
# as tracker-extract and tracker-miner-fs.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [[ $codename == bookworm ]]; then
  kfilemetadata=libkf5filemetadata-dev baloo=(baloo-kf5 libkf5baloowidgets-bin) kio=libkf5kio-dev
else
  kfilemetadata=libkf6filemetadata-dev baloo=(baloo6 libbaloowidgets-bin) kio=libkf6kio-dev
fi

packages=(
  g++ clang cmake ninja-build pkg-config python3
  # The formatting check (scripts/check-format.sh): Debian 12's is version 14.
  clang-format
  libarchive-dev liblzma-dev libicu-dev googletest libgtest-dev libbenchmark-dev
  # The Baloo plug-in's lister confines itself with a seccomp filter.
  libseccomp-dev
  # Tools the tests use to make archives and to compare against.
  libarchive-tools 7zip xorriso cpio zstd xz-utils bzip2 lz4 lzma unzip zip
  # Peak memory in the comparison benchmarks (/usr/bin/time -v).
  time
  # Checks the context-menu desktop entries; xdg-open and xdg-mime hand the
  # menus' URLs to vexel-handoff in the tests.
  desktop-file-utils xdg-utils
  # The receiver's tests run it as a user without privileges (useradd,
  # setpriv), mount a small file system, and write sparse tar files.
  passwd util-linux mount tar
  # The desktop indexers' plug-ins: Baloo's (KFileMetaData, Qt 5 or 6) and
  # Tracker's (tracker-sparql, GLib), and Dolphin's menu plug-in (KIO),
  # built in the main configuration.
  "$kfilemetadata" libtracker-sparql-3.0-dev "$kio"
  # cpack -G DEB: dpkg-shlibdeps, and file, which CPack runs on each binary.
  dpkg-dev file
)
# Extra groups: "browser" for the headless rendering tests (with a font for
# the Chinese texts in their screenshots); "desktop" for the programs that
# ctest -L desktop drives (Recoll's command-line tools, which ask file for
# names that say nothing; lf, ranger, vifm, Midnight Commander and nnn
# inside tmux; GNOME Sushi and Nautilus with python3-nautilus under Xvfb in
# a private D-Bus session, read through the accessibility bus, with
# xdotool, ImageMagick for the screenshots and a font for Chinese; gjs with
# WebKit 6.0, libadwaita and glib-compile-resources for the stand-in of
# Sushi 51; KDE's URL opener kde-open5 (Debian 13: kde-open), and
# notify-send with notification-daemon for vexel-handoff's notifications;
# Baloo, the extractor behind Dolphin's information panel, and Tracker
# (Debian 13: LocalSearch) with gsettings and pgrep; the Adwaita and Breeze
# icon themes, in which every icon name of our menus is looked up); "gui" for
# scripts/try-desktop.sh (the file managers under Xvfb, with a notification
# server, xdotool, the accessibility bus for choosing menu items, ImageMagick
# for the screenshots, kde-open5 for xdg-open under KDE, and the icon theme
# without which Dolphin's icons, where the clicks go, are blank) and for a
# desktop where vexel-handoff shows its notifications and asks for passwords
# (notify-send, zenity); "libcxx" for building with clang's own standard
# library; "sanitizers" for the AddressSanitizer and ThreadSanitizer builds
# (clang 19, whose runtimes hold their allocators' locks across fork: the
# threaded suites start programs, and GCC 12's can leave a child waiting
# forever on a lock another thread held); "package" for the Debian package test (dpkg-shlibdeps, and
# mmdebstrap for a clean Debian root to install it into).
if [[ " $* " == *" browser "* ]]; then packages+=(chromium fonts-wqy-microhei); fi
if [[ " $* " == *" desktop "* ]]; then
  packages+=(recollcmd file lf ranger tmux vifm mc nnn
    gnome-sushi nautilus python3-nautilus xvfb dbus at-spi2-core python3-pyatspi xdotool
    imagemagick fonts-wqy-microhei libglib2.0-bin gjs gir1.2-webkit-6.0 gir1.2-adw-1
    libglib2.0-dev-bin kde-cli-tools libnotify-bin notification-daemon
    "${baloo[@]}" tracker tracker-miner-fs tracker-extract dbus-daemon procps
    adwaita-icon-theme breeze-icon-theme)
fi
if [[ " $* " == *" package "* ]]; then packages+=(dpkg-dev mmdebstrap); fi
# llvm-19 brings the symbolizer clang 19's runtimes look for by name: without
# it ThreadSanitizer's reports carry no function names and its suppressions
# (which name glibc's functions) match nothing.
if [[ " $* " == *" sanitizers "* ]]; then packages+=(clang-19 libclang-rt-19-dev llvm-19); fi
if [[ " $* " == *" gui "* ]]; then
  packages+=(nemo nautilus python3-nautilus dolphin kde-cli-tools breeze-icon-theme xvfb
    xdotool imagemagick dbus xdg-utils libnotify-bin notification-daemon zenity fonts-wqy-microhei
    at-spi2-core python3-pyatspi pcmanfm libfm-modules pcmanfm-qt caja caja-actions thunar)
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
updated=false

# install_missing PACKAGE...: installs those of the packages not yet installed.
install_missing() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if ((${#missing[@]} == 0)); then return 0; fi
  echo "Installing: ${missing[*]}"
  if [[ $updated == false ]]; then
    "${sudo[@]}" apt-get update -qq
    updated=true
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"

# LibFuzzer and the sanitizer runtimes (and libc++) come in packages named
# after clang's major version, so they follow the clang installed above.
major=$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)
if [[ -z $major ]]; then
  echo "install-deps: cannot tell the version of clang from 'clang --version'" >&2
  exit 1
fi
clang_packages=()
# Before clang 14 the runtimes came with libclang-common, a dependency of clang.
if ((major >= 14)); then clang_packages+=("libclang-rt-$major-dev"); fi
if [[ " $* " == *" libcxx "* ]]; then clang_packages+=("libc++-$major-dev" "libc++abi-$major-dev"); fi
install_missing "${clang_packages[@]}"
