#!/usr/bin/env bash
# Builds the Windows download: a zip of the 32-bit dremlix.exe and a short text for Windows
# users (README.txt, with CR LF line ends), and prints its SHA-256. Installs what the build
# lacks first (apt-get, with sudo when not root).
#
#   bash tools/windows_zip.sh [build-dir]      default build-win32/
#
# Two runs on the same commit give the same bytes, wherever the tree and the build directory
# are: the .exe carries no link time, and every file in the zip carries the commit's time
# (SOURCE_DATE_EPOCH, when set, overrides it), fixed permissions and no extra attributes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-win32}
# shellcheck source=prerequisites.sh
source "$root/tools/prerequisites.sh"
# shellcheck source=build_tree.sh
source "$root/tools/build_tree.sh"

needs=(cmake make file zip g++-mingw-w64-i686)
# git tells the commit's time, which every file in the zip carries.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && [ -e "$root/.git" ]; then
    needs+=(git)
fi
dremlix_need "to build the 32-bit Windows program and pack it" "${needs[@]}"

version=$(sed -n 's/^project(dremlix VERSION \([0-9][0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "windows_zip: no version in $root/CMakeLists.txt's project(dremlix VERSION ...)" >&2
    exit 1
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if ! SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null); then
        echo "windows_zip: cannot read the commit's time from $root (not a git checkout," \
            "or no git); set SOURCE_DATE_EPOCH to the sources' time, in seconds since 1970" >&2
        exit 1
    fi
    if [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
        echo "windows_zip: warning: the tree has uncommitted changes, so this zip is not" \
            "the commit's" >&2
    fi
fi

echo "Building the 32-bit dremlix.exe in $build ..."
# The options are given on every run: a tree left with other ones (a debug build) must not
# end up in the download.
dremlix_configure "$root" "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
exe=$build/dremlix.exe
kind=$(file -b "$exe")
if [[ $kind != "PE32 executable (console) Intel 80386"* ]]; then
    echo "windows_zip: $exe is not a 32-bit Windows console program: $kind" >&2
    exit 1
fi

zipfile=$build/dremlix-$version-win32.zip
stage=$build/windows-zip
rm -rf "$stage" "$zipfile"
mkdir -p "$stage"
cp "$exe" "$stage/dremlix.exe"
# Windows users read it in Notepad, which wanted CR LF line ends until Windows 10.
sed -e "s/@VERSION@/$version/g" -e 's/\r*$/\r/' "$root/tools/windows/README.txt" \
    >"$stage/README.txt"
chmod 0755 "$stage/dremlix.exe"
chmod 0644 "$stage/README.txt"
# zip keeps local time: the same zone everywhere gives the same stored times.
export TZ=UTC
touch -d "@$SOURCE_DATE_EPOCH" "$stage/dremlix.exe" "$stage/README.txt"
(cd "$stage" && zip -q -X -9 "$zipfile" README.txt dremlix.exe)

echo "$zipfile"
sha256sum "$zipfile" | sed 's/ .*//; s/^/SHA-256: /'
