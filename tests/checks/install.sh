#!/usr/bin/env bash
# Installs the build into a temporary prefix, as for ~/.local, and checks that
# a desktop finds the program, its entry, icon and metadata there.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
id=org.morvastel.Morvastel
module=$(cd "$prefix" && find lib -path '*/morvastel/libmorvastel_opencv.so' | head -n 1)
[ -n "$module" ] || { echo "FAIL: the codec module is not installed"; exit 1; }
for file in bin/morvastel $module share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
            share/icons/hicolor/scalable/apps/$id.svg; do
    [ -s "$prefix/$file" ] || { echo "FAIL: $file not installed"; exit 1; }
done
[ -x "$prefix/bin/morvastel" ] || { echo "FAIL: bin/morvastel is not executable"; exit 1; }
# The program opens the codec module at its first decode.
if ldd "$prefix/$module" | grep 'not found'; then
    echo "FAIL: the codec module's libraries are not all found"; exit 1
fi
grep -qx 'Exec=morvastel' "$prefix/share/applications/$id.desktop"
grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop"
echo "installed"
