#!/usr/bin/env bash
# GNOME Files' space-bar preview (GNOME Sushi) and Properties window
# (Nautilus), set up as the README says and driven under Xvfb, and the
# plug-in for Sushi 51 and later in a stand-in of Sushi: the build is
# installed into a temporary prefix whose name has a space and Chinese
# characters, a temporary home gets Sushi's viewer as a new user's login
# does (the installed autostart entry), and gnome_files_driver.py checks what the windows
# show through the accessibility tree. Screenshots go to BUILD_DIR/desktop/.
#
#   gnome_files_test.sh BUILD_DIR SOURCE_DIR sushi|sushi-plugin|properties
set -euo pipefail
build=$(cd "$1" && pwd)
source=$2
part=$3

source "$(dirname "$0")/temporary_install.sh"
require_tools "scripts/install-deps.sh desktop" Xvfb dbus-run-session gsettings bsdtar xdotool import
if ! /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
  skip_unless_ci "python3-pyatspi is not installed (scripts/install-deps.sh desktop)"
fi
case $part in
  sushi) require_tools "scripts/install-deps.sh desktop" sushi ;;
  sushi-plugin)
    require_tools "scripts/install-deps.sh desktop" gjs glib-compile-resources
    if ! gjs -c "imports.gi.versions.WebKit = '6.0'; imports.gi.WebKit; imports.gi.Adw" 2>/dev/null; then
      skip_unless_ci "WebKit 6.0 or libadwaita for gjs is missing (scripts/install-deps.sh desktop)"
    fi ;;
  properties)
    require_tools "scripts/install-deps.sh desktop" nautilus
    if ! ls /usr/lib/*/nautilus/extensions-4/libnautilus-python.so >/dev/null 2>&1; then
      skip_unless_ci "python3-nautilus is not installed (scripts/install-deps.sh desktop)"
    fi ;;
  *) echo "usage: gnome_files_test.sh BUILD_DIR SOURCE_DIR sushi|sushi-plugin|properties" >&2
     exit 2 ;;
esac

xvfb=""
on_exit() {
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; fi
}
start_temporary_install "vexel-gnome-$part"
out=$build/desktop
mkdir -p "$out"

prefix="$work/前缀 prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
home=$work/home
mkdir -p "$home/.config/glib-2.0/settings"

if [[ $part == sushi ]]; then
  # A new user's first login: what the installed autostart entry runs, in
  # the fresh home, with no per-user command of ours.
  entry=$prefix/etc/xdg/autostart/vexel-sushi-viewer.desktop
  [[ -f $entry ]] || fail "no autostart entry links the Sushi viewer at login"
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  [[ $exec_line == \"*\" ]] || fail "the entry's Exec: $exec_line"
  (cd "$home" && HOME=$home XDG_DATA_HOME=$home/.local/share "${exec_line:1:-1}") || fail "the login step failed"
  [[ $(readlink "$home/.local/share/sushi/viewers/vexel.js") == "$prefix/share/sushi/viewers/vexel.js" ]] ||
    fail "the login linked no viewer: $(ls -l "$home/.local/share/sushi/viewers" 2>&1)"
  # Run again at the next login, it leaves the link as it is.
  (cd "$home" && HOME=$home XDG_DATA_HOME=$home/.local/share "${exec_line:1:-1}") ||
    fail "the login step failed the second time"
  # The README's per-user step, for prefixes whose entry no session reads,
  # makes the same link.
  commands=$(awk '
    /^    prefix=\/usr  / { inside = 1 }
    inside && /^$/ { exit }
    inside { sub(/^    /, ""); print }' "$source/README.md")
  [[ $commands == *sushi/viewers* ]] || fail "no Sushi commands found in README.md"
  commands=$(printf '%s\n' "$commands" | sed "1s|^prefix=/usr |prefix=\"$prefix\" |")
  (cd "$home" && HOME=$home bash -euc "$commands") || fail "the README's Sushi step failed"
  [[ $(readlink "$home/.local/share/sushi/viewers/vexel.js") == "$prefix/share/sushi/viewers/vexel.js" ]] ||
    fail "the README's step changed the link"
  # The viewer runs the installed host by its absolute path: a stand-in
  # there records the options it is given and how long the host took.
  mv "$prefix/bin/vexel-quicklook" "$prefix/bin/vexel-quicklook.real"
  cat >"$prefix/bin/vexel-quicklook" <<'WRAPPER'
#!/bin/sh
started=$(date +%s.%N)
"$(dirname "$0")/vexel-quicklook.real" "$@"
status=$?
printf '%s %s %s\n' "$started" "$(date +%s.%N)" "$*" >>"$VEXEL_TRY_WORK/host-calls.txt"
exit $status
WRAPPER
  chmod +x "$prefix/bin/vexel-quicklook"
fi

display=99
while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1368x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X$display ]] && break; sleep 0.1; done

# WebKit draws nothing under Xvfb with its GPU paths, GTK 4 nothing with GL.
env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_RUNTIME_DIR -u NO_COLOR \
  HOME="$home" DISPLAY=":$display" LANG=C.UTF-8 TZ=UTC GSETTINGS_BACKEND=keyfile \
  XDG_CURRENT_DESKTOP=GNOME GSK_RENDERER=cairo \
  WEBKIT_DISABLE_DMABUF_RENDERER=1 WEBKIT_DISABLE_COMPOSITING_MODE=1 \
  XDG_DATA_DIRS="$prefix/share:/usr/local/share:/usr/share" PATH="$prefix/bin:$PATH" \
  VEXEL_TRY_WORK="$work" VEXEL_TRY_OUT="$out" VEXEL_TRY_PREFIX="$prefix" \
  VEXEL_TRY_SOURCE="$source" \
  dbus-run-session -- /usr/bin/python3 "$(dirname "$0")/gnome_files_driver.py" "$part"
