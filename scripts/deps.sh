#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages that are missing: "run" for building and
# running the program, "test" for the tests as well. Does nothing when all are there.
set -euo pipefail

packages=(g++ cmake ninja-build pkgconf qt6-base-dev libopencv-dev libjpeg-dev libpng-dev
          libwebp-dev libheif-dev libseccomp-dev fonts-wqy-microhei fontconfig)
if [ "${1-run}" = test ]; then
    packages+=(xvfb xauth libx11-dev libxfixes-dev libtiff-dev libopenexr-dev clang-format
               clang-tidy desktop-file-utils
               libbenchmark-dev dpkg-dev file lintian appstream libjpeg-turbo-progs
               xdotool imagemagick libtiff-tools libopenjp2-tools webp libheif-examples
               clang libclang-rt-dev devscripts)
fi

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
updated=false

install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    if [ "$updated" = false ]; then
        "${sudo[@]}" apt-get update
        updated=true
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"

# Where libheif's codecs are plugins (Debian 13 and later), libheif1 brings
# the decoders; the tests write HEIC and AVIF files with the encoders too.
if [ "${1-run}" = test ] && dpkg-query -W -f='${Status}' libheif-plugin-libde265 2>/dev/null | grep -q "ok installed"; then
    install_missing libheif-plugin-x265 libheif-plugin-aomenc
fi
