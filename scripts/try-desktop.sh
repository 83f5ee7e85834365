#!/usr/bin/env bash
# Tries Vexel's context menus in the real file managers: installs the build
# into a temporary prefix, starts Nemo, Nautilus and Dolphin one after the
# other under Xvfb in a private D-Bus session, right-clicks an archive, a
# text file and a folder with xdotool, chooses every Vexel item and checks
# the URL that a stand-in vexel:// handler (registered in a temporary home)
# receives; then removes the handler and checks that a menu item shows a
# notification. Screenshots go to BUILD_DIR/desktop/.
#
#   scripts/try-desktop.sh [BUILD_DIR] [nemo|nautilus|dolphin|pcmanfm|pcmanfm-qt|caja|thunar ...]
#
# Needs: scripts/install-deps.sh gui. Exit status 77 when something is missing
# (1 under CI, VEXEL_CI=1).
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$source/build}" && pwd)
shift || true
managers=${*:-nemo nautilus dolphin pcmanfm pcmanfm-qt caja thunar}

source "$source/tests/desktop/temporary_install.sh"
require_tools "scripts/install-deps.sh gui" Xvfb xdotool import dbus-run-session dbus-monitor \
  xdg-mime bsdtar /usr/lib/notification-daemon/notification-daemon
if ! /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
  skip_unless_ci "python3-pyatspi is not installed (scripts/install-deps.sh gui)"
fi
present=""
for manager in $managers; do
  if command -v "$manager" >/dev/null; then present+="$manager "; else echo "($manager is not installed)"; fi
done
if [[ -z $present ]]; then
  skip_unless_ci "none of $managers is installed"
fi

xvfb=""
on_exit() {
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; fi
}
start_temporary_install vexel-try
out=$build/desktop
mkdir -p "$out"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
home=$work/home
mkdir -p "$work/files/folder" "$home/.config/glib-2.0/settings" "$home/.local/share/applications"
cp "$("$source/scripts/make-sample.sh" "$work/sample")" "$work/files/sample.zip"
printf 'notes\n' >"$work/files/notes.txt"

# List views, so that rows sit where the driver expects them; GSettings
# reads this file with GSETTINGS_BACKEND=keyfile.
cat >"$home/.config/glib-2.0/settings/keyfile" <<'KEYS'
[org/nemo/preferences]
default-folder-viewer='list-view'

[org/gnome/nautilus/preferences]
default-folder-viewer='list-view'
KEYS

# caja-actions shows the Vexel submenu in the extension's order once its
# preferences say so (the README's step for Caja).
mkdir -p "$home/.config/caja-actions"
commands=$(awk '
  /^      mkdir -p ~\/.config\/caja-actions/ { inside = 1 }
  inside && /^$/ { exit }
  inside { sub(/^      /, ""); print }' "$source/README.md")
if [[ -n $commands ]]; then (cd "$home" && HOME=$home bash -euc "$commands"); fi

# Thunar's custom actions, added to the user's uca.xml as the README says.
commands=$(awk '
  /^      prefix=\/usr    # the prefix Vexel was installed into/ { inside = 1 }
  inside && /^$/ { exit }
  inside { sub(/^      /, ""); print }' "$source/README.md")
commands=$(printf '%s\n' "$commands" | sed "1s|^prefix=/usr |prefix=\"$work/prefix\" |")
if [[ -f /etc/xdg/Thunar/uca.xml ]]; then (cd "$home" && HOME=$home bash -euc "$commands"); fi

# The stand-in handler records each URL it is given.
cat >"$work/record-url" <<RECORD
#!/bin/sh
printf '%s\n' "\$@" >>"$work/urls.txt"
RECORD
chmod +x "$work/record-url"
cat >"$home/.local/share/applications/vexel-stand-in.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Name=Vexel stand-in handler
Exec=$work/record-url %u
MimeType=x-scheme-handler/vexel;
NoDisplay=true
DESKTOP
HOME=$home xdg-mime default vexel-stand-in.desktop x-scheme-handler/vexel

display=99
while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
sleep 1

# Dolphin's menu is a Qt plug-in: found through QT_PLUGIN_PATH under this
# prefix, as the README says for any prefix but /usr.
qt_plugins=$(find "$work/prefix" -type d -name kfileitemaction -printf '%h\n' | head -n 1)
qt_plugins=${qt_plugins%/*}

status=0
env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_CURRENT_DESKTOP -u XDG_RUNTIME_DIR \
  HOME="$home" DISPLAY=":$display" LANG=C.UTF-8 GSETTINGS_BACKEND=keyfile \
  XDG_DATA_DIRS="$work/prefix/share:/usr/local/share:/usr/share" \
  PATH="$work/prefix/bin:$PATH" QT_PLUGIN_PATH="$qt_plugins" \
  VEXEL_TRY_WORK="$work" VEXEL_TRY_OUT="$out" VEXEL_TRY_MANAGERS="$present" \
  dbus-run-session -- /usr/bin/python3 "$source/scripts/try-desktop-driver.py" || status=$?
echo "screenshots in $out"
exit "$status"
