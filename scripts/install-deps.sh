#!/usr/bin/env bash
# Installs what building and testing Vexel needs on a Debian machine, and only
# what is missing. Safe to run again.
set -euo pipefail

packages=(
  g++ clang cmake ninja-build pkg-config python3
  libarchive-dev libicu-dev googletest libgtest-dev libbenchmark-dev
  # LibFuzzer and the sanitizer runtimes of clang.
  libclang-rt-14-dev
  # Tools the tests use to make archives and to compare against.
  libarchive-tools 7zip xorriso cpio zstd xz-utils bzip2 lz4 lzma unzip zip
  # Peak memory in the comparison benchmarks (/usr/bin/time -v).
  time
  # Checks the context-menu desktop entries.
  desktop-file-utils
)
# Extra groups: "browser" for the headless rendering tests (with a font for
# the Chinese texts in their screenshots); "desktop" for the programs that
# ctest -L desktop drives (Recoll's command-line tools, which ask file for
# names that say nothing; lf and ranger inside tmux); "gui" for
# scripts/try-desktop.sh (the file managers under Xvfb, with a notification
# server, xdotool, the accessibility bus for choosing menu items, ImageMagick
# for the screenshots, kde-open5 for xdg-open under KDE, and the icon theme
# without which Dolphin's icons, where the clicks go, are blank).
if [[ " $* " == *" browser "* ]]; then packages+=(chromium fonts-wqy-microhei); fi
if [[ " $* " == *" desktop "* ]]; then packages+=(recollcmd file lf ranger tmux); fi
if [[ " $* " == *" gui "* ]]; then
  packages+=(nemo nautilus python3-nautilus dolphin kde-cli-tools breeze-icon-theme xvfb
    xdotool imagemagick dbus xdg-utils libnotify-bin notification-daemon fonts-wqy-microhei
    at-spi2-core python3-pyatspi)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
