#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages that are missing: "run" for building and
# running the program, "test" for the tests as well. Does nothing when all are there.
set -euo pipefail

packages=(g++ cmake ninja-build qt6-base-dev libopencv-dev fonts-wqy-microhei fontconfig)
if [ "${1-run}" = test ]; then
    packages+=(xvfb xauth libx11-dev clang-format clang-tidy desktop-file-utils
               libbenchmark-dev dpkg-dev file lintian appstream libjpeg-turbo-progs
               xdotool imagemagick libtiff-tools libopenjp2-tools webp)
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
