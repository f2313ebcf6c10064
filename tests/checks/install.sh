#!/usr/bin/env bash
# Installs the build into a temporary prefix, as for ~/.local, and checks that
# a desktop finds the program, its entry, icon and metadata there.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
id=org.morvastel.Morvastel
for file in bin/morvastel share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
            share/icons/hicolor/scalable/apps/$id.svg; do
    [ -s "$prefix/$file" ] || { echo "FAIL: $file not installed"; exit 1; }
done
[ -x "$prefix/bin/morvastel" ] || { echo "FAIL: bin/morvastel is not executable"; exit 1; }
grep -qx 'Exec=morvastel' "$prefix/share/applications/$id.desktop"
grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop"
echo "installed"
