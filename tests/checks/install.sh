#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop needs.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in bin/morvastel share/applications/morvastel.desktop \
            share/icons/hicolor/scalable/apps/morvastel.svg; do
    [ -s "$prefix/$file" ] || { echo "FAIL: $file not installed"; exit 1; }
done
[ -x "$prefix/bin/morvastel" ] || { echo "FAIL: bin/morvastel is not executable"; exit 1; }
desktop-file-validate "$prefix/share/applications/morvastel.desktop"
grep -qx 'Exec=morvastel' "$prefix/share/applications/morvastel.desktop"
echo "installed and valid"
