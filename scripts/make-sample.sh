#!/usr/bin/env bash
# Makes a small sample archive with nested folders and prints its path.
set -euo pipefail
dir=${1:-build/sample}
rm -rf "$dir"
mkdir -p "$dir/src/项目/docs" "$dir/src/项目/images" "$dir/src/项目/Viewer.app/Contents"
printf 'Hello from Vexel\n' > "$dir/src/项目/readme.txt"
for i in 1 2 10; do head -c $((i * 1500)) /dev/zero > "$dir/src/项目/docs/chapter$i.md"; done
head -c 40000 /dev/urandom > "$dir/src/项目/images/photo.jpg"
printf 'binary' > "$dir/src/项目/Viewer.app/Contents/Info.plist"
(cd "$dir/src" && bsdtar --format zip -cf ../sample.zip 项目)
echo "$dir/sample.zip"
