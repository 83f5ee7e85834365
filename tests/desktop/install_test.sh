#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs each installed host on
# a sample archive: the importer host must find its plug-in by itself, and
# the Recoll filter the importer host beside it. Then uninstalls through the
# install manifest and checks that nothing is left.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2

source "$(dirname "$0")/temporary_install.sh"
require_tools "libarchive-tools, python3" bsdtar python3
start_temporary_install vexel-install

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
cp "$manifest" "$work/manifest.txt"

for file in bin/vexel-quicklook bin/vexel-mdimport bin/vexel-findersync bin/vexel-menu-run bin/vexel-handoff \
    share/applications/vexel-handoff.desktop \
    share/nemo/actions/vexel-1-extract-here.nemo_action share/nemo/actions/vexel-5-compress.nemo_action \
    share/nautilus-python/extensions/vexel_menu.py share/vexel/recoll/rclvexel \
    share/file-manager/actions/vexel.desktop share/file-manager/actions/vexel-1-extract-here.desktop \
    share/vexel/thunar/uca-actions.xml share/sushi/viewers/vexel.js \
    share/sushi/plugins-1/vexel.js lib/sushi/plugins-1/vexel.js \
    share/vexel/recoll/mimeconf share/vexel/recoll/mimemap; do
  [[ -e $prefix/$file ]] || fail "$file was not installed"
done
ls "$prefix"/lib*/vexel/VexelSpotlight.so >/dev/null 2>&1 || fail "the importer plug-in was not installed"

sample=$("$source/scripts/make-sample.sh" "$work/sample")

# The installed programs only, from a folder far from the build, with no
# library path pointing into the build.
cd "$work"
unset LD_LIBRARY_PATH
export PATH=/usr/bin:/bin

"$prefix/bin/vexel-quicklook" --width 80 "$sample" >quicklook.txt || fail "vexel-quicklook failed"
grep -q "readme.txt" quicklook.txt || fail "vexel-quicklook: no rows: $(cat quicklook.txt)"
"$prefix/bin/vexel-quicklook" --html "$sample" >preview.html || fail "vexel-quicklook --html failed"
grep -q "<!DOCTYPE html>" preview.html || fail "vexel-quicklook --html wrote no page"

"$prefix/bin/vexel-mdimport" "$sample" >mdimport.txt || fail "vexel-mdimport did not import: $(cat mdimport.txt)"
grep -qx "项目/readme.txt" mdimport.txt || fail "vexel-mdimport: $(cat mdimport.txt)"

"$prefix/bin/vexel-findersync" menu "$sample" >menu.txt || fail "vexel-findersync menu failed"
[[ $(wc -l <menu.txt) -eq 5 ]] || fail "vexel-findersync menu: $(cat menu.txt)"
"$prefix/bin/vexel-findersync" run openInVexel: "$sample" >run.txt || fail "vexel-findersync run failed"
grep -q "^vexel://open?path=" run.txt || fail "vexel-findersync run: $(cat run.txt)"

# The handler's desktop entry names the installed program, quoted (the
# prefix has a space when the caller gives one), and is a valid entry.
entry=$prefix/share/applications/vexel-handoff.desktop
grep -q '^MimeType=x-scheme-handler/vexel;$' "$entry" || fail "vexel-handoff.desktop: $(cat "$entry")"
grep -qF "$prefix/bin/vexel-handoff" "$entry" || fail "vexel-handoff.desktop: $(grep Exec "$entry")"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entry" || fail "vexel-handoff.desktop does not validate"
fi

# The handler extracts the sample beside itself, reporting on standard error.
"$prefix/bin/vexel-handoff" "vexel://extract?path=$sample" 2>handoff.txt || fail "vexel-handoff: $(cat handoff.txt)"
[[ -f $(dirname "$sample")/项目/readme.txt ]] || fail "vexel-handoff extracted nothing: $(cat handoff.txt)"
"$prefix/bin/vexel-handoff" "http://example.com/" 2>/dev/null && fail "vexel-handoff took an http URL"

# Sushi's viewer runs the installed host by the absolute path written at
# install time (the prefix may have a space: a JavaScript string in quotes).
for viewer in share/sushi/viewers/vexel.js share/sushi/plugins-1/vexel.js lib/sushi/plugins-1/vexel.js; do
  grep -qF "const INSTALLED_HOST = '$prefix/bin/vexel-quicklook';" "$prefix/$viewer" ||
    fail "$viewer: $(grep INSTALLED_HOST "$prefix/$viewer")"
done

# Sushi 43 to 46 read viewers only from the home: the login step links the
# installed viewer there, and leaves a user's own file and a link of an
# install that is still there alone.
entry=$prefix/etc/xdg/autostart/vexel-sushi-viewer.desktop
[[ -f $entry ]] || fail "no autostart entry for the Sushi viewer"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$entry" || fail "vexel-sushi-viewer.desktop does not validate"
fi
linker=$(sed -n 's/^Exec="\(.*\)"$/\1/p' "$entry")
[[ $linker == "$prefix/libexec/vexel/vexel-sushi-viewer" && -x $linker ]] || fail "the entry's Exec: $(grep Exec "$entry")"
viewer=$prefix/share/sushi/viewers/vexel.js
# Each row: what the home holds before the login (none, own file, link to
# another viewer that exists, dangling link), what the link must be after.
printf 'mine\n' >"$work/other-viewer.js"
for row in "none|$viewer" "file|file" "other|$work/other-viewer.js" "dangling|$viewer"; do
  before=${row%%|*} after=${row#*|}
  home=$work/home-$before
  link=$home/.local/share/sushi/viewers/vexel.js
  mkdir -p "$(dirname "$link")"
  case $before in
    file) printf 'mine\n' >"$link" ;;
    other) ln -s "$work/other-viewer.js" "$link" ;;
    dangling) ln -s "$work/gone/vexel.js" "$link" ;;
  esac
  HOME=$home XDG_DATA_HOME= "$linker" || fail "the login step failed with $before"
  HOME=$home XDG_DATA_HOME= "$linker" || fail "the login step failed again with $before"
  if [[ $after == file ]]; then
    [[ ! -L $link && $(cat "$link") == mine ]] || fail "the login step replaced the user's own viewer"
  else
    [[ $(readlink "$link") == "$after" ]] || fail "with $before, the link is $(readlink "$link"), not $after"
  fi
done

# Recoll finds the filter by the absolute path written at install time.
grep -qF "application/zip = exec $prefix/share/vexel/recoll/rclvexel;" \
  "$prefix/share/vexel/recoll/mimeconf" || fail "mimeconf: $(grep zip "$prefix/share/vexel/recoll/mimeconf")"

# The filter finds the importer host of its own installation.
"$prefix/share/vexel/recoll/rclvexel" "$sample" >recoll.txt || fail "rclvexel failed"
cmp -s recoll.txt mdimport.txt || fail "rclvexel: $(cat recoll.txt)"

# The desktop indexers' plug-ins, where configure built them: the Tracker
# rule names the module by its absolute path, this prefix not being
# Tracker's own.
if [[ -n $(find "$prefix" -name 'libextract-vexel.so') ]]; then
  module=$(find "$prefix" -name 'libextract-vexel.so')
  rule=$(find "$prefix" -name '90-vexel-archives.rule')
  grep -qxF "ModulePath=$module" "$rule" || fail "the Tracker rule: $(grep ModulePath "$rule")"
fi
if [[ -n $(grep -i kfilemetadata "$work/manifest.txt") ]]; then
  grep -q '/kf5/kfilemetadata/kfilemetadata_vexelextractor.so$' "$work/manifest.txt" ||
    fail "the Baloo plug-in is not in a kf5/kfilemetadata folder: $(grep -i kfilemetadata "$work/manifest.txt")"
fi
# Dolphin's menu plug-in, where configure built it: in the folder of its
# Frameworks' file-item actions below Qt's plug-in folder.
for built in "$build"/plugins/kf*/kfileitemaction/vexelfileitemaction.so; do
  [[ -e $built ]] || continue
  kf_folder=$(basename "$(dirname "$(dirname "$built")")")
  grep -q "/$kf_folder/kfileitemaction/vexelfileitemaction.so\$" "$work/manifest.txt" ||
    fail "the Dolphin menu plug-in is not in a $kf_folder/kfileitemaction folder: $(grep -i kfileitemaction "$work/manifest.txt")"
done

# Uninstalling as the README says leaves no file behind.
xargs -d '\n' rm -f -- <"$work/manifest.txt"
left=$(find "$prefix" -type f -o -type l)
[[ -z $left ]] || fail "left after uninstalling: $left"
echo "installed, ran and uninstalled under $prefix"
