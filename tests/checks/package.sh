#!/usr/bin/env bash
# Builds the Debian package from a Release build and checks it as a user
# would meet it: lintian, the AppStream and desktop-entry validators, exactly
# the files it should hold, and the program it contains starting in a real X
# server. Nothing is installed on the system.
set -euo pipefail
build=$1 realwindow=$2 closer=$3 probe=$4 cursors=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >/dev/null
debs=("$work"/morvastel_*.deb)
deb=${debs[0]}
echo "package: $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
grep -q libqt6widgets6 <<<"$depends" \
    || { echo "FAIL: Depends does not name Qt's widget library"; exit 1; }
# OpenCV's codecs come from the codec module, which dpkg-shlibdeps reads too.
grep -q libopencv-imgcodecs <<<"$depends" \
    || { echo "FAIL: Depends does not name OpenCV's image codecs"; exit 1; }
# HEIC and AVIF: libheif, which brings its decoders where they are plugins.
grep -q libheif1 <<<"$depends" \
    || { echo "FAIL: Depends does not name libheif"; exit 1; }

# The warnings the README names, where this lintian knows them: no Debian
# bug for a first upload to close, and AppStream's missing home page (below).
suppressed=()
for tag in initial-upload-closes-no-bugs appstream-metadata-validation-failed; do
    lintian-explain-tags "$tag" >/dev/null 2>&1 && suppressed+=("$tag")
done
status=0
report=$(lintian --fail-on error,warning --suppress-tags "$(IFS=,; echo "${suppressed[*]}")" \
    "$deb" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$report" || true
[ "$status" -eq 0 ] || { echo "FAIL: lintian"; exit 1; }

expected="./usr/bin/morvastel
./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/morvastel/libmorvastel_opencv.so
./usr/share/applications/org.morvastel.Morvastel.desktop
./usr/share/doc/morvastel/changelog.Debian.gz
./usr/share/doc/morvastel/copyright
./usr/share/icons/hicolor/scalable/apps/org.morvastel.Morvastel.svg
./usr/share/man/man1/morvastel.1.gz
./usr/share/metainfo/org.morvastel.Morvastel.metainfo.xml"
files=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
[ "$files" = "$expected" ] || { echo "FAIL: the package holds"; echo "$files"; exit 1; }

root=$work/root
dpkg-deb -x "$deb" "$root"
# No AppStream error or warning but one: AppStream 1.0 and later want a home
# page, and the project has none to name.
appstream() {
    local report
    report=$(appstreamcli "$@" --no-net 2>&1) || true
    echo "$report"
    grep -q 'Validation was successful\|Validation failed' <<<"$report" \
        || { echo "FAIL: appstreamcli $1 did not run"; return 1; }
    if grep -E '^ *[EW]: ' <<<"$report" | grep -v ': url-homepage-missing$'; then
        echo "FAIL: appstreamcli $1"
        return 1
    fi
}
appstream validate "$root/usr/share/metainfo/org.morvastel.Morvastel.metainfo.xml"
appstream validate-tree "$root"
desktop-file-validate "$root/usr/share/applications/org.morvastel.Morvastel.desktop"
checks/hardening.sh "$root/usr/bin/morvastel" \
    "$root/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/morvastel/libmorvastel_opencv.so"
"$realwindow" "$root/usr/bin/morvastel" "$closer" "$probe" "$cursors"
echo "package checked"
